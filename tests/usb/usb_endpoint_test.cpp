#include "usb/usb_endpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/win_error.h"
#include "usb/descriptor_sets.h"
#include "usb/fake_port.h"

namespace {
using namespace TestDescriptors;
using Answer = FakePort::Answer;

struct Record : Overlapped {
  Event Done{false, false};
  Record() { hEvent = &Done; }
};

class EndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.Paths = {"fake0"};
    uint32_t error = 0;
    handle = port.Open("fake0", &error);
    ASSERT_NE(handle, INVALID_DRIVER_HANDLE);
  }

  std::unique_ptr<UsbEndpoint> Make(const Bytes& descriptor, const Bytes& companion = {}) {
    return UsbEndpoint::FromDescriptor(handle, descriptor.data(),
                                       companion.empty() ? nullptr : companion.data());
  }
  UsbControlEndpoint* Control() {
    control = Make(Endpoint(0x00, 0x00, 512));
    return static_cast<UsbControlEndpoint*>(control.get());
  }
  FakePort::Request Last(uint32_t code) {
    auto requests = port.RequestsWithCode(code);
    EXPECT_FALSE(requests.empty());
    return requests.empty() ? FakePort::Request{} : requests.back();
  }
  static Bytes Head(const FakePort::Request& r) {
    return Bytes(r.Input.begin(), r.Input.begin() + std::min<size_t>(r.Input.size(), 38));
  }

  FakePort port;
  DriverHandle handle = INVALID_DRIVER_HANDLE;
  std::unique_ptr<UsbEndpoint> control;
};

char KindOf(UsbEndpoint* ep) {
  if (dynamic_cast<UsbControlEndpoint*>(ep)) return 'C';
  if (dynamic_cast<UsbIsocEndpoint*>(ep)) return 'I';
  if (dynamic_cast<UsbBulkEndpoint*>(ep)) return 'B';
  return dynamic_cast<UsbInterruptEndpoint*>(ep) ? 'N' : '?';
}

TEST_F(EndpointTest, KindAndPacketSizeFromDescriptorAndCompanion) {
  struct Case {
    Bytes Descriptor, Companion;
    char Kind;
    uint16_t MaxPacket;
    uint8_t MaxBurst;
  };
  const Case cases[] = {
      {Endpoint(0x81, 2, 512), {}, 'B', 512, 0},
      {Endpoint(0x84, 3, 8), {}, 'N', 8, 0},
      {Endpoint(0x03, 1, 1024 | (2 << 11)), {}, 'I', 3072, 0},  // two extra per microframe
      {Endpoint(0x02, 2, 1024), Companion(15, 0, 0x1234), 'B', 16384, 15},
      {Endpoint(0x83, 1, 1024), Companion(15, 2), 'I', 49152, 15},
      {Endpoint(0x83, 1, 1024), Companion(15, 3), 'I', 0, 15},  // 1024 x 16 x 4 wraps to 0
      {Endpoint(0x00, 0, 64), Companion(15, 0), 'C', 64, 0},    // no use for a companion
  };
  for (const Case& c : cases) {
    auto ep = Make(c.Descriptor, c.Companion);
    SCOPED_TRACE(::testing::PrintToString(c.Descriptor));
    EXPECT_EQ(KindOf(ep.get()), c.Kind);
    EXPECT_EQ(ep->MaxPacketSize, c.MaxPacket);
    EXPECT_EQ(ep->MaxBurst, c.MaxBurst);
    EXPECT_EQ(ep->TransferMode, c.Kind == 'C' ? 0u : 1u);  // control starts buffered
  }
  EXPECT_EQ(Make(cases[3].Descriptor, cases[3].Companion)->BytesPerInterval, 0x1234);
}

TEST_F(EndpointTest, SubmissionBlocksDirectAndBuffered) {
  auto out = Make(Endpoint(0x01, 2, 512));
  Bytes data(100);
  for (int i = 0; i < 100; ++i) data[i] = uint8_t(i);
  int32_t length = 100;
  ASSERT_TRUE(out->TransferSync(data.data(), length));
  EXPECT_EQ(length, 100);
  EXPECT_EQ(out->BytesTransferred, 100u);
  // Direct: a bare header naming the endpoint; the caller's buffer is the output.
  const auto direct = Last(IOCTL_DIRECT_TRANSFER);
  EXPECT_TRUE(direct.Overlapped);
  EXPECT_EQ(direct.Input, BlockBytes({.EndpointAddress = 0x01}));
  EXPECT_EQ(direct.OutLength, 100u);
  EXPECT_EQ(direct.OutData, data);

  // Buffered: the data follows the header inside the block.
  out->TransferMode = 0;
  length = 10;
  ASSERT_TRUE(out->TransferSync(data.data(), length));
  EXPECT_EQ(length, 10);
  const auto buffered = Last(IOCTL_BUFFERED_TRANSFER);
  EXPECT_EQ(buffered.OutLength, 48u);
  EXPECT_EQ(buffered.Input,
            Join({BlockBytes({.EndpointAddress = 0x01, .BufferOffset = 38, .BufferLength = 10}),
                  Bytes(data.begin(), data.begin() + 10)}));
}

TEST_F(EndpointTest, ControlSetupPacketAndTimeoutSeconds) {
  UsbControlEndpoint* ep = Control();
  ep->RequestCode = 0xB1;
  ep->RequestValue = 0x1234;
  ep->RequestIndex = 0x5678;
  port.QueueAnswer(0, Answer::WithData({9, 8, 7, 6}));
  uint8_t buffer[4] = {};
  int32_t length = 4;
  ep->TimeoutMs = 500;
  ASSERT_TRUE(ep->ControlRead(buffer, length));
  EXPECT_TRUE(ep->IsIn);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes({9, 8, 7, 6}));
  EXPECT_EQ(Last(IOCTL_EP0_TRANSFER).Input, Join({BlockBytes({.bmRequestType = 0xC0,
                                                              .bRequest = 0xB1,
                                                              .wValue = 0x1234,
                                                              .wIndex = 0x5678,
                                                              .wLength = 4,
                                                              .Timeout = 1,
                                                              .BufferOffset = 38,
                                                              .BufferLength = 4}),
                                                  Bytes(4, 0)}));

  // Whole seconds for the driver, rounded up.
  const std::pair<uint32_t, uint32_t> timeouts[] = {{0, 0}, {2500, 2}, {999, 1}, {1000, 1}};
  for (auto [ms, seconds] : timeouts) {
    ep->TimeoutMs = ms;
    uint8_t payload[3] = {0xAA, 0xBB, 0xCC};
    length = 3;
    ASSERT_TRUE(ep->ControlWrite(payload, length));
    const auto sent = Last(IOCTL_EP0_TRANSFER);
    EXPECT_EQ(sent.Input[0], 0x40);
    EXPECT_EQ(ReadDriverTransferBlock(sent.Input.data()).Timeout, seconds) << ms << " ms";
    EXPECT_EQ(sent.OutData, Bytes(payload, payload + 3));
  }
  EXPECT_FALSE(ep->IsIn);

  ep->Recipient = 2;
  ep->RequestType = 0;
  length = 0;
  ASSERT_TRUE(ep->ControlRead(nullptr, length));
  EXPECT_EQ(Last(IOCTL_EP0_TRANSFER).Input[0], 0x82);
}

TEST_F(EndpointTest, IsochronousPacketRecords) {
  auto iso = Make(Endpoint(0x83, 1, 1024));
  std::vector<uint8_t> buffer(3000);
  Record record;
  Answer answer = Answer::WithData(Bytes(3000, 0x5A));
  answer.Packets = {{0, 1024}, {0, 1024}, {0xC0000011, 952}};
  port.QueueAnswer(0x83, answer);
  auto* context = iso->SubmitTransfer(buffer.data(), 3000, &record);
  ASSERT_NE(context, nullptr);
  // Direct form: the header and three packet records, the data in the caller's buffer.
  const auto direct = Last(IOCTL_DIRECT_TRANSFER);
  EXPECT_EQ(
      direct.Input,
      Join({BlockBytes(
                {.EndpointAddress = 0x83, .PacketRecordOffset = 38, .PacketRecordLength = 24}),
            Bytes(24, 0)}));
  EXPECT_EQ(direct.OutLength, 3000u);

  IsoPacketResult packets[4] = {{7, 7}, {7, 7}, {7, 7}, {7, 7}};
  int32_t length = 3000;
  EXPECT_TRUE(iso->CompleteTransfer(buffer.data(), length, &record, context, packets));
  EXPECT_EQ(length, 3000);
  EXPECT_EQ(buffer[2999], 0x5A);
  EXPECT_EQ(packets[1].Length, 1024u);
  EXPECT_EQ(packets[2].Status, 0xC0000011u);
  EXPECT_EQ(packets[2].Length, 952u);
  EXPECT_EQ(packets[3].Status, 7u);  // only the transfer's own records are written

  // Buffered form: records first, then the data.
  iso->TransferMode = 0;
  length = 2048;
  ASSERT_TRUE(iso->TransferSync(buffer.data(), length));
  const auto buffered = Last(IOCTL_BUFFERED_TRANSFER);
  EXPECT_EQ(Head(buffered), BlockBytes({.EndpointAddress = 0x83,
                                        .PacketRecordOffset = 38,
                                        .PacketRecordLength = 16,
                                        .BufferOffset = 54,
                                        .BufferLength = 2048}));
  EXPECT_EQ(buffered.InLength, 38u + 16u + 2048u);

  // No packets, no request.
  const size_t before = port.Requests().size();
  EXPECT_EQ(iso->SubmitTransfer(buffer.data(), 0, &record), nullptr);
  EXPECT_EQ(Make(Endpoint(0x83, 1, 0))->SubmitTransfer(buffer.data(), 100, &record), nullptr);
  EXPECT_EQ(port.Requests().size(), before);
}

TEST_F(EndpointTest, CompletionReadBack) {
  auto in = Make(Endpoint(0x81, 2, 512));
  in->TransferMode = 0;
  Bytes payload(100);
  for (int i = 0; i < 100; ++i) payload[i] = uint8_t(200 - i);
  port.QueueAnswer(0x81, Answer::WithData(payload));
  Bytes buffer(256, 0xEE);
  int32_t length = 256;
  ASSERT_TRUE(in->TransferSync(buffer.data(), length));
  EXPECT_EQ(length, 100);  // 38 + 100 reported
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 100), payload);
  EXPECT_EQ(buffer[100], 0xEE);

  // A count of 0 is 0 bytes, not minus the header, and copies nothing.
  Answer none = Answer::WithData(payload);
  none.Bytes = 0;
  port.QueueAnswer(0x81, none);
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  length = 256;
  ASSERT_TRUE(in->TransferSync(buffer.data(), length));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(in->BytesTransferred, 0u);
  EXPECT_EQ(buffer[0], 0xEE);

  // A bus error fails the transfer but still reports the bytes and keeps the statuses.
  Answer stalled = Answer::WithData(Bytes(12, 1));
  stalled.UsbdStatus = 0xC0000004;
  port.QueueAnswer(0x81, stalled);
  length = 256;
  EXPECT_FALSE(in->TransferSync(buffer.data(), length));
  EXPECT_EQ(length, 12);
  EXPECT_EQ(in->UsbdStatus, 0xC0000004u);
  EXPECT_EQ(in->NtStatus, 0u);
}

TEST_F(EndpointTest, SyncTimeoutAbortsAndLeavesNothingPending) {
  auto in = Make(Endpoint(0x81, 2, 512));
  in->TimeoutMs = 1;
  port.QueueAnswer(0x81, Answer::Pending());
  uint8_t buffer[64];
  int32_t length = 64;
  EXPECT_FALSE(in->TransferSync(buffer, length));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(port.PendingCount(), 0u);
  auto aborts = port.RequestsWithCode(IOCTL_ABORT_ENDPOINT);
  ASSERT_EQ(aborts.size(), 1u);
  EXPECT_EQ(aborts[0].Input, Bytes({0x81}));
  EXPECT_TRUE(aborts[0].Overlapped);
  EXPECT_EQ(in->LastWinError, ERROR_IO_PENDING);
  EXPECT_NE(in->NtStatus, 0u);

  // The abort request itself may pend; it is waited for.
  port.AbortAnswersPending = true;
  port.QueueAnswer(0x81, Answer::Pending());
  length = 64;
  EXPECT_FALSE(in->TransferSync(buffer, length));
  EXPECT_EQ(port.PendingCount(), 0u);
  EXPECT_EQ(port.RequestsWithCode(IOCTL_ABORT_ENDPOINT).size(), 2u);
}

TEST_F(EndpointTest, SyncTransferWaitsForALateCompletion) {
  auto in = Make(Endpoint(0x81, 2, 512));
  in->TimeoutMs = 60000;
  Answer late = Answer::Pending();
  late.Data = {1, 2, 3};
  port.QueueAnswer(0x81, late);
  std::thread device([this] {
    while (port.PendingCount() == 0) std::this_thread::yield();
    port.CompletePending();
  });
  uint8_t buffer[8] = {};
  int32_t length = 8;
  EXPECT_TRUE(in->TransferSync(buffer, length));
  device.join();
  EXPECT_EQ(length, 3);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_TRUE(port.RequestsWithCode(IOCTL_ABORT_ENDPOINT).empty());
}

TEST_F(EndpointTest, QueuedTransfersAwaitThenComplete) {
  auto out = Make(Endpoint(0x01, 2, 512));
  port.DefaultAnswer = Answer::Pending();
  Record records[2];
  uint8_t buffers[2][16] = {};
  UsbEndpoint::RequestContext* contexts[2];
  for (int i = 0; i < 2; ++i) {
    contexts[i] = out->SubmitTransfer(buffers[i], 16, &records[i]);
    ASSERT_NE(contexts[i], nullptr);
  }
  EXPECT_EQ(out->LastWinError, ERROR_IO_PENDING);
  EXPECT_FALSE(out->AwaitTransfer(&records[0], 0));
  port.CompletePending(1);
  EXPECT_TRUE(out->AwaitTransfer(&records[0], 0));
  int32_t length = 16;
  EXPECT_TRUE(out->CompleteTransfer(buffers[0], length, &records[0], contexts[0]));
  EXPECT_EQ(length, 16);
  // After an abort the second still has to be completed, and fails.
  EXPECT_TRUE(out->AbortTransfers());
  length = 16;
  EXPECT_FALSE(out->CompleteTransfer(buffers[1], length, &records[1], contexts[1]));
  EXPECT_EQ(port.PendingCount(), 0u);
}

TEST_F(EndpointTest, SubmissionRecordsStatusesOnlyForDataEndpoints) {
  auto in = Make(Endpoint(0x81, 2, 512));
  Answer failed;
  failed.UsbdStatus = 0xC0000030;
  failed.NtStatus = 0xC0000001;
  port.QueueAnswer(0x81, failed);
  Record record;
  uint8_t buffer[8];
  auto* context = in->SubmitTransfer(buffer, 8, &record);
  EXPECT_EQ(in->UsbdStatus, 0xC0000030u);  // completed at once: read straight away
  EXPECT_EQ(in->NtStatus, 0xC0000001u);
  EXPECT_EQ(in->LastWinError, 0u);
  int32_t length = 8;
  EXPECT_FALSE(in->CompleteTransfer(buffer, length, &record, context));

  port.QueueAnswer(0x81, Answer::Pending());
  context = in->SubmitTransfer(buffer, 8, &record);
  EXPECT_EQ(in->UsbdStatus, 0u);  // pending: the block still holds its zeros
  EXPECT_EQ(in->LastWinError, ERROR_IO_PENDING);
  port.CompletePending();
  length = 8;
  EXPECT_TRUE(in->CompleteTransfer(buffer, length, &record, context));

  UsbControlEndpoint* ep0 = Control();
  ep0->UsbdStatus = 5;
  port.QueueAnswer(0, failed);
  context = ep0->SubmitTransfer(buffer, 8, &record);
  EXPECT_EQ(ep0->UsbdStatus, 5u);  // the control form records only the error
  length = 8;
  EXPECT_FALSE(ep0->CompleteTransfer(buffer, length, &record, context));
  EXPECT_EQ(ep0->UsbdStatus, 0xC0000030u);
}

TEST_F(EndpointTest, FailedOrMissingRequestsMoveNothing) {
  auto in = Make(Endpoint(0x81, 2, 512));
  uint8_t buffer[16] = {};
  int32_t length = 77;
  EXPECT_FALSE(in->CompleteTransfer(nullptr, length, nullptr, nullptr));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(in->BytesTransferred, 0u);

  // Completing a request still in flight aborts it rather than releasing it under the driver.
  port.QueueAnswer(0x81, Answer::Pending());
  Record inFlight;
  auto* context = in->SubmitTransfer(buffer, 16, &inFlight);
  length = 16;
  EXPECT_FALSE(in->CompleteTransfer(buffer, length, &inFlight, context));
  EXPECT_EQ(port.PendingCount(), 0u);
  EXPECT_EQ(length, 0);

  port.QueueAnswer(0x81, Answer::Refused(ERROR_DEVICE_NOT_CONNECTED));
  length = 8;
  EXPECT_FALSE(in->TransferSync(buffer, length));
  EXPECT_EQ(in->LastWinError, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(length, 0);

  port.QueueAnswer(0x81, Answer::Refused(ERROR_GEN_FAILURE));
  Record refused;  // status 0: a refused request must not read as a success
  context = in->SubmitTransfer(buffer, 8, &refused);
  EXPECT_FALSE(in->AwaitTransfer(&refused, 0));
  length = 8;
  EXPECT_FALSE(in->CompleteTransfer(buffer, length, &refused, context));

  // An invalid handle makes no request, and a stale "pending" must not make the
  // synchronous transfer wait for one.
  port.ClearRequests();
  in->DeviceHandle = INVALID_DRIVER_HANDLE;
  in->LastWinError = ERROR_IO_PENDING;
  length = 8;
  EXPECT_FALSE(in->TransferSync(buffer, length));
  EXPECT_EQ(length, 0);
  EXPECT_TRUE(port.Requests().empty());
}

TEST_F(EndpointTest, ResetAndTransferSize) {
  auto in = Make(Endpoint(0x81, 2, 512));
  EXPECT_TRUE(in->ResetEndpoint());
  const auto reset = Last(IOCTL_RESET_ENDPOINT);
  EXPECT_EQ(reset.Input, Bytes({0x81}));
  EXPECT_EQ(reset.OutLength, 0u);
  EXPECT_FALSE(reset.Overlapped);
  port.FailCodes[IOCTL_RESET_ENDPOINT] = ERROR_GEN_FAILURE;
  EXPECT_FALSE(in->ResetEndpoint());
  EXPECT_EQ(in->LastWinError, ERROR_GEN_FAILURE);

  // Whole packets, rounded up.
  const struct {
    uint16_t Packet;
    uint32_t Asked, Sent;
  } sizes[] = {{512, 1, 512}, {512, 0, 0}, {512, 1025, 1536}, {1024, 1000, 1024}};
  for (const auto& s : sizes) {
    Make(Endpoint(0x82, 2, s.Packet))->SetDriverTransferSize(s.Asked);
    const auto r = Last(IOCTL_SET_TRANSFER_SIZE);
    Bytes expected(TRANSFER_SIZE_BLOCK_SIZE);
    WriteTransferSizeBlock(0x82, s.Sent, expected.data());
    EXPECT_EQ(r.Input, expected) << s.Asked << " of " << s.Packet;
    EXPECT_FALSE(r.Overlapped);
  }
  port.FailCodes[IOCTL_SET_TRANSFER_SIZE] = ERROR_ACCESS_DENIED;
  in->SetDriverTransferSize(1000);
  EXPECT_EQ(in->LastWinError, ERROR_ACCESS_DENIED);

  // No packet size, no request.
  Make(Endpoint(0x83, 2, 0))->SetDriverTransferSize(100);
  EXPECT_EQ(port.RequestsWithCode(IOCTL_SET_TRANSFER_SIZE).size(), 5u);
}

TEST_F(EndpointTest, TransfersOnSeveralThreadsAtOnce) {
  auto in = Make(Endpoint(0x81, 2, 512));
  auto out = Make(Endpoint(0x01, 2, 512));
  std::atomic<int> failures{0};
  auto run = [&failures](UsbEndpoint* ep) {
    uint8_t buffer[32] = {};
    for (int i = 0; i < 200; ++i) {
      int32_t length = 32;
      if (!ep->TransferSync(buffer, length)) ++failures;
      (void)ep->LastWinError.load();
    }
  };
  std::thread a(run, in.get());
  std::thread b(run, out.get());
  std::thread c([&] {
    for (int i = 0; i < 200; ++i) in->TimeoutMs = 5000 + i;
  });
  run(in.get());
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
