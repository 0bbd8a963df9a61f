#include "usb/usb_endpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/win_error.h"
#include "usb/descriptor_sets.h"
#include "usb/fake_port.h"

namespace {
using namespace TestDescriptors;

class EndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port.Paths = {"fake0"};
    uint32_t error = 0;
    handle = port.Open("fake0", &error);
    ASSERT_NE(handle, INVALID_DRIVER_HANDLE);
  }

  std::unique_ptr<UsbEndpoint> Make(const Bytes& descriptor, const Bytes* companion = nullptr) {
    return UsbEndpoint::FromDescriptor(handle, descriptor.data(),
                                       companion ? companion->data() : nullptr);
  }
  UsbControlEndpoint* Control() {
    control = Make(Endpoint(0x00, 0x00, 512));
    return static_cast<UsbControlEndpoint*>(control.get());
  }
  DriverTransferBlock LastBlock(uint32_t code) {
    auto requests = port.RequestsWithCode(code);
    EXPECT_FALSE(requests.empty());
    if (requests.empty() || requests.back().Input.size() < DRIVER_TRANSFER_BLOCK_SIZE) return {};
    return ReadDriverTransferBlock(requests.back().Input.data());
  }

  FakePort port;
  DriverHandle handle = INVALID_DRIVER_HANDLE;
  std::unique_ptr<UsbEndpoint> control;
};

TEST_F(EndpointTest, MaxPacketSizeFollowsDescriptorAndCompanion) {
  auto bulk = Make(Endpoint(0x81, 2, 512, 4));
  EXPECT_EQ(bulk->MaxPacketSize, 512);
  EXPECT_EQ(bulk->PacketsPerInterval, 1);
  EXPECT_EQ(bulk->bInterval, 4);
  EXPECT_TRUE(bulk->IsIn);
  EXPECT_EQ(bulk->CompanionLength, 0);
  EXPECT_EQ(bulk->MaxBurst, 0);
  EXPECT_EQ(bulk->BytesPerInterval, 0);
  EXPECT_EQ(bulk->TimeoutMs, 10000u);
  EXPECT_EQ(bulk->TransferMode, 1u);
  EXPECT_NE(dynamic_cast<UsbBulkEndpoint*>(bulk.get()), nullptr);

  // High-bandwidth: two extra transactions per microframe.
  auto highBandwidth = Make(Endpoint(0x03, 1, 1024 | (2 << 11)));
  EXPECT_EQ(highBandwidth->PacketsPerInterval, 3);
  EXPECT_EQ(highBandwidth->MaxPacketSize, 3072);
  EXPECT_FALSE(highBandwidth->IsIn);
  EXPECT_NE(dynamic_cast<UsbIsocEndpoint*>(highBandwidth.get()), nullptr);

  const Bytes burst = Companion(15, 0, 0x1234);
  auto ssBulk = Make(Endpoint(0x02, 2, 1024), &burst);
  EXPECT_EQ(ssBulk->MaxPacketSize, 16384);
  EXPECT_EQ(ssBulk->MaxBurst, 15);
  EXPECT_EQ(ssBulk->CompanionLength, 6);
  EXPECT_EQ(ssBulk->CompanionType, 0x30);
  EXPECT_EQ(ssBulk->BytesPerInterval, 0x1234);

  const Bytes isoCompanion = Companion(15, 2);
  auto ssIso = Make(Endpoint(0x83, 1, 1024), &isoCompanion);
  EXPECT_EQ(ssIso->MaxPacketSize, 49152);
  EXPECT_EQ(ssIso->CompanionAttributes, 2);

  // 1024 x 16 x 4 does not fit the 16-bit field and wraps to 0.
  const Bytes mult3 = Companion(15, 3);
  EXPECT_EQ(Make(Endpoint(0x83, 1, 1024), &mult3)->MaxPacketSize, 0);

  // A control endpoint has no use for a companion and starts buffered, vendor.
  auto ctl = Make(Endpoint(0x00, 0, 64), &burst);
  auto* asControl = dynamic_cast<UsbControlEndpoint*>(ctl.get());
  ASSERT_NE(asControl, nullptr);
  EXPECT_EQ(ctl->MaxPacketSize, 64);
  EXPECT_EQ(ctl->MaxBurst, 0);
  EXPECT_EQ(ctl->TransferMode, 0u);
  EXPECT_EQ(asControl->RequestType, 2u);
  EXPECT_NE(dynamic_cast<UsbInterruptEndpoint*>(Make(Endpoint(0x84, 3, 8)).get()), nullptr);
}

TEST_F(EndpointTest, DirectSubmissionSendsBareHeaderAndCallersBuffer) {
  auto out = Make(Endpoint(0x01, 2, 512));
  uint8_t data[100];
  for (int i = 0; i < 100; ++i) data[i] = uint8_t(i);
  int32_t length = 100;
  ASSERT_TRUE(out->TransferSync(data, length));
  EXPECT_EQ(length, 100);
  EXPECT_EQ(out->BytesTransferred, 100u);

  auto requests = port.RequestsWithCode(IOCTL_DIRECT_TRANSFER);
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_TRUE(r.Overlapped);
  ASSERT_EQ(r.InLength, 38u);
  EXPECT_EQ(r.OutLength, 100u);
  for (int i = 0; i <= 12; ++i) EXPECT_EQ(r.Input[i], 0) << "byte " << i;
  EXPECT_EQ(r.Input[13], 0x01);
  for (int i = 14; i < 38; ++i) EXPECT_EQ(r.Input[i], 0) << "byte " << i;
  EXPECT_EQ(r.OutData, Bytes(data, data + 100));
}

TEST_F(EndpointTest, BufferedSubmissionCarriesDataInsideTheBlock) {
  auto out = Make(Endpoint(0x02, 2, 512));
  out->TransferMode = 0;
  uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  int32_t length = 10;
  ASSERT_TRUE(out->TransferSync(data, length));
  EXPECT_EQ(length, 10);  // the fake reports header + data written back
  auto r = port.RequestsWithCode(IOCTL_BUFFERED_TRANSFER).at(0);
  ASSERT_EQ(r.InLength, 48u);
  EXPECT_EQ(r.OutLength, 48u);
  const DriverTransferBlock b = ReadDriverTransferBlock(r.Input.data());
  EXPECT_EQ(b.EndpointAddress, 0x02);
  EXPECT_EQ(b.bmRequestType, 0);
  EXPECT_EQ(b.wLength, 0);
  EXPECT_EQ(b.Timeout, 0u);
  EXPECT_EQ(b.PacketRecordOffset, 0u);
  EXPECT_EQ(b.PacketRecordLength, 0u);
  EXPECT_EQ(b.BufferOffset, 38u);
  EXPECT_EQ(b.BufferLength, 10u);
  EXPECT_EQ(Bytes(r.Input.begin() + 38, r.Input.end()), Bytes(data, data + 10));
}

TEST_F(EndpointTest, ControlSetupPacketAndTimeoutSeconds) {
  UsbControlEndpoint* ep = Control();
  ep->Recipient = 0;
  ep->RequestType = 2;
  ep->RequestCode = 0xB1;
  ep->RequestValue = 0x1234;
  ep->RequestIndex = 0x5678;
  port.QueueAnswer(0, FakePort::Answer::WithData({9, 8, 7, 6}));
  uint8_t buffer[4] = {};
  int32_t length = 4;
  ep->TimeoutMs = 500;
  ASSERT_TRUE(ep->ControlRead(buffer, length));
  EXPECT_TRUE(ep->IsIn);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes({9, 8, 7, 6}));
  DriverTransferBlock b = LastBlock(IOCTL_EP0_TRANSFER);
  EXPECT_EQ(b.bmRequestType, 0xC0);
  EXPECT_EQ(b.bRequest, 0xB1);
  EXPECT_EQ(b.wValue, 0x1234);
  EXPECT_EQ(b.wIndex, 0x5678);
  EXPECT_EQ(b.wLength, 4);
  EXPECT_EQ(b.Timeout, 1u);
  EXPECT_EQ(b.EndpointAddress, 0);
  EXPECT_EQ(b.PacketRecordLength, 0u);
  EXPECT_EQ(b.BufferOffset, 38u);
  EXPECT_EQ(b.BufferLength, 4u);
  EXPECT_EQ(port.RequestsWithCode(IOCTL_EP0_TRANSFER).back().InLength, 42u);

  const std::pair<uint32_t, uint32_t> timeouts[] = {{0, 0}, {2500, 2}, {999, 1}, {1000, 1}};
  for (auto [ms, seconds] : timeouts) {
    ep->TimeoutMs = ms;
    uint8_t payload[3] = {0xAA, 0xBB, 0xCC};
    length = 3;
    ASSERT_TRUE(ep->ControlWrite(payload, length));
    b = LastBlock(IOCTL_EP0_TRANSFER);
    EXPECT_EQ(b.Timeout, seconds) << ms << " ms";
    EXPECT_EQ(b.bmRequestType, 0x40);
  }
  EXPECT_FALSE(ep->IsIn);
  EXPECT_EQ(port.RequestsWithCode(IOCTL_EP0_TRANSFER).back().OutData, Bytes({0xAA, 0xBB, 0xCC}));

  ep->Recipient = 2;
  ep->RequestType = 0;
  length = 0;
  ASSERT_TRUE(ep->ControlRead(nullptr, length));
  EXPECT_EQ(LastBlock(IOCTL_EP0_TRANSFER).bmRequestType, 0x82);
}

TEST_F(EndpointTest, IsochronousPacketRecords) {
  auto iso = Make(Endpoint(0x83, 1, 1024));
  std::vector<uint8_t> buffer(3000);
  Overlapped record;
  Event event(false, false);
  record.hEvent = &event;
  FakePort::Answer answer = FakePort::Answer::WithData(Bytes(3000, 0x5A));
  answer.Packets = {{0, 1024}, {0, 1024}, {0xC0000011, 952}};
  port.QueueAnswer(0x83, answer);
  auto* context = iso->SubmitTransfer(buffer.data(), 3000, &record);
  ASSERT_NE(context, nullptr);
  auto r = port.RequestsWithCode(IOCTL_DIRECT_TRANSFER).at(0);
  ASSERT_EQ(r.InLength, 38u + 24u);
  EXPECT_EQ(r.OutLength, 3000u);
  DriverTransferBlock b = ReadDriverTransferBlock(r.Input.data());
  EXPECT_EQ(b.PacketRecordOffset, 38u);
  EXPECT_EQ(b.PacketRecordLength, 24u);
  EXPECT_EQ(b.BufferOffset, 0u);
  EXPECT_EQ(b.BufferLength, 0u);

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
  b = LastBlock(IOCTL_BUFFERED_TRANSFER);
  EXPECT_EQ(b.PacketRecordLength, 16u);
  EXPECT_EQ(b.BufferOffset, 38u + 16u);
  EXPECT_EQ(b.BufferLength, 2048u);
  EXPECT_EQ(port.RequestsWithCode(IOCTL_BUFFERED_TRANSFER).at(0).InLength, 38u + 16u + 2048u);

  // No packets, no request.
  const size_t before = port.Requests().size();
  EXPECT_EQ(iso->SubmitTransfer(buffer.data(), 0, &record), nullptr);
  auto zero = Make(Endpoint(0x83, 1, 0));
  EXPECT_EQ(zero->SubmitTransfer(buffer.data(), 100, &record), nullptr);
  EXPECT_EQ(port.Requests().size(), before);
}

TEST_F(EndpointTest, CompletionReadBack) {
  auto in = Make(Endpoint(0x81, 2, 512));
  in->TransferMode = 0;
  Bytes payload(100);
  for (int i = 0; i < 100; ++i) payload[i] = uint8_t(200 - i);
  port.QueueAnswer(0x81, FakePort::Answer::WithData(payload));
  Bytes buffer(256, 0xEE);
  int32_t length = 256;
  ASSERT_TRUE(in->TransferSync(buffer.data(), length));
  EXPECT_EQ(length, 100);  // 38 + 100 reported
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 100), payload);
  EXPECT_EQ(buffer[100], 0xEE);

  // A count of 0 is 0 bytes, not minus the header, and copies nothing.
  FakePort::Answer none = FakePort::Answer::WithData(payload);
  none.Bytes = 0;
  port.QueueAnswer(0x81, none);
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  length = 256;
  ASSERT_TRUE(in->TransferSync(buffer.data(), length));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(in->BytesTransferred, 0u);
  EXPECT_EQ(buffer[0], 0xEE);

  // Direct: the count is the data itself and nothing comes through the block.
  in->TransferMode = 1;
  port.QueueAnswer(0x81, FakePort::Answer::WithData(payload));
  length = 256;
  ASSERT_TRUE(in->TransferSync(buffer.data(), length));
  EXPECT_EQ(length, 100);
  EXPECT_EQ(buffer[0], 200);

  // A bus error fails the transfer but still reports the bytes and keeps the statuses.
  FakePort::Answer stalled = FakePort::Answer::WithData(Bytes(12, 1));
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
  port.QueueAnswer(0x81, FakePort::Answer::Pending());
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
  port.QueueAnswer(0x81, FakePort::Answer::Pending());
  length = 64;
  EXPECT_FALSE(in->TransferSync(buffer, length));
  EXPECT_EQ(port.PendingCount(), 0u);
  EXPECT_EQ(port.RequestsWithCode(IOCTL_ABORT_ENDPOINT).size(), 2u);
}

TEST_F(EndpointTest, SyncTransferWaitsForALateCompletion) {
  auto in = Make(Endpoint(0x81, 2, 512));
  in->TimeoutMs = 60000;
  FakePort::Answer late = FakePort::Answer::Pending();
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
  port.DefaultAnswer = FakePort::Answer::Pending();
  Event events[2] = {Event(false, false), Event(false, false)};
  Overlapped records[2];
  uint8_t buffers[2][16] = {};
  UsbEndpoint::RequestContext* contexts[2];
  for (int i = 0; i < 2; ++i) {
    records[i].hEvent = &events[i];
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
  FakePort::Answer failed;
  failed.UsbdStatus = 0xC0000030;
  failed.NtStatus = 0xC0000001;
  port.QueueAnswer(0x81, failed);
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  uint8_t buffer[8];
  auto* context = in->SubmitTransfer(buffer, 8, &record);
  EXPECT_EQ(in->UsbdStatus, 0xC0000030u);  // completed at once: read straight away
  EXPECT_EQ(in->NtStatus, 0xC0000001u);
  EXPECT_EQ(in->LastWinError, 0u);
  int32_t length = 8;
  EXPECT_FALSE(in->CompleteTransfer(buffer, length, &record, context));

  port.QueueAnswer(0x81, FakePort::Answer::Pending());
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

TEST_F(EndpointTest, CompletingARequestStillInFlightDoesNotReleaseItUnderTheDriver) {
  auto out = Make(Endpoint(0x01, 2, 512));
  port.QueueAnswer(0x01, FakePort::Answer::Pending());
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  uint8_t buffer[16] = {};
  auto* context = out->SubmitTransfer(buffer, 16, &record);
  int32_t length = 16;
  EXPECT_FALSE(out->CompleteTransfer(buffer, length, &record, context));
  EXPECT_EQ(port.PendingCount(), 0u);
  EXPECT_EQ(length, 0);
}

TEST_F(EndpointTest, NoRequestMeansAFailedTransferOfNothing) {
  auto in = Make(Endpoint(0x81, 2, 512));
  int32_t length = 77;
  EXPECT_FALSE(in->CompleteTransfer(nullptr, length, nullptr, nullptr));
  EXPECT_EQ(length, 0);
  EXPECT_EQ(in->BytesTransferred, 0u);

  // An invalid handle makes no request, and a stale "pending" must not make the
  // synchronous transfer wait for one.
  in->DeviceHandle = INVALID_DRIVER_HANDLE;
  in->LastWinError = ERROR_IO_PENDING;
  uint8_t buffer[8];
  length = 8;
  EXPECT_FALSE(in->TransferSync(buffer, length));
  EXPECT_EQ(length, 0);
  EXPECT_TRUE(port.Requests().empty());
}

TEST_F(EndpointTest, RefusedSubmission) {
  auto in = Make(Endpoint(0x81, 2, 512));
  port.QueueAnswer(0x81, FakePort::Answer::Refused(ERROR_DEVICE_NOT_CONNECTED));
  uint8_t buffer[8];
  int32_t length = 8;
  EXPECT_FALSE(in->TransferSync(buffer, length));
  EXPECT_EQ(in->LastWinError, ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(length, 0);

  port.QueueAnswer(0x81, FakePort::Answer::Refused(ERROR_GEN_FAILURE));
  Event event(false, false);
  Overlapped record;  // status 0: a refused request must not read as a success
  record.hEvent = &event;
  auto* context = in->SubmitTransfer(buffer, 8, &record);
  EXPECT_FALSE(in->AwaitTransfer(&record, 0));
  length = 8;
  EXPECT_FALSE(in->CompleteTransfer(buffer, length, &record, context));
}

TEST_F(EndpointTest, ResetAndTransferSize) {
  auto in = Make(Endpoint(0x81, 2, 512));
  EXPECT_TRUE(in->ResetEndpoint());
  auto reset = port.RequestsWithCode(IOCTL_RESET_ENDPOINT).at(0);
  EXPECT_EQ(reset.Input, Bytes({0x81}));
  EXPECT_EQ(reset.OutLength, 0u);
  EXPECT_FALSE(reset.Overlapped);
  port.FailCodes[IOCTL_RESET_ENDPOINT] = ERROR_GEN_FAILURE;
  EXPECT_FALSE(in->ResetEndpoint());
  EXPECT_EQ(in->LastWinError, ERROR_GEN_FAILURE);

  auto sizeOf = [&](size_t i) {
    auto r = port.RequestsWithCode(IOCTL_SET_TRANSFER_SIZE).at(i);
    EXPECT_EQ(r.InLength, 5u);
    EXPECT_FALSE(r.Overlapped);
    uint8_t address = 0;
    uint32_t size = 0;
    ReadTransferSizeBlock(r.Input.data(), &address, &size);
    EXPECT_EQ(address, 0x81);
    return size;
  };
  in->SetDriverTransferSize(1);
  EXPECT_EQ(sizeOf(0), 512u);
  in->SetDriverTransferSize(0);
  EXPECT_EQ(sizeOf(1), 0u);
  in->SetDriverTransferSize(1025);
  EXPECT_EQ(sizeOf(2), 1536u);
  auto big = Make(Endpoint(0x82, 2, 1024));
  port.FailCodes[IOCTL_SET_TRANSFER_SIZE] = ERROR_ACCESS_DENIED;
  big->SetDriverTransferSize(1000);
  EXPECT_EQ(big->LastWinError, ERROR_ACCESS_DENIED);
  auto r = port.RequestsWithCode(IOCTL_SET_TRANSFER_SIZE).back();
  EXPECT_EQ(GetLe32(r.Input.data() + 1), 1024u);

  // No packet size, no request.
  auto none = Make(Endpoint(0x83, 2, 0));
  none->SetDriverTransferSize(100);
  EXPECT_EQ(port.RequestsWithCode(IOCTL_SET_TRANSFER_SIZE).size(), 4u);
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
