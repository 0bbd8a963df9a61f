// Simulated plugs driven through the program's own UsbDevice and endpoint classes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/message_box.h"
#include "platform/overlapped.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "sim/plug_model.h"
#include "sim_test_support.h"
#include "usb/plug_ids.h"
#include "usb/usb_device.h"

namespace {

UsbEndpoint* FindEndpoint(UsbDevice& device, uint8_t address) {
  for (uint8_t i = 1; i < device.CountEndpoints(); ++i) {
    if (device.EndpointTable[i]->bEndpointAddress == address) return device.EndpointTable[i];
  }
  return nullptr;
}

bool PlugCommand(UsbDevice& device, uint16_t command, bool in, void* data, int32_t length) {
  UsbControlEndpoint* control = device.ControlEndpoint;
  control->Recipient = 0;
  control->RequestType = 2;
  control->RequestCode = 0;
  control->RequestValue = command;
  control->RequestIndex = 0;
  return in ? control->ControlRead(static_cast<uint8_t*>(data), length)
            : control->ControlWrite(static_cast<uint8_t*>(data), length);
}

std::string PlugInfo(UsbDevice& device) {
  char info[32] = {};
  EXPECT_TRUE(PlugCommand(device, PLUG_CMD_INFO, true, info, 31));
  return info;
}

// Sends a configuration and waits for the plug to leave and come back; returns the
// notices the device's recipient saw.
std::vector<DeviceNotice> Reconfigure(UsbDevice& device, NoticeRecorder& recorder,
                                      const std::vector<uint8_t>& block) {
  size_t before = recorder.Snapshot().size();
  std::vector<uint8_t> copy = block;
  EXPECT_TRUE(PlugCommand(device, PLUG_CMD_CONFIG, false, copy.data(), 14));
  auto notices = recorder.WaitFor(before + 3);  // handle removal, interface removal, arrival
  EXPECT_EQ(notices.size(), before + 3);
  EXPECT_TRUE(device.Open(0));
  return std::vector<DeviceNotice>(notices.begin() + static_cast<long>(before), notices.end());
}

const std::vector<uint8_t> kBulkReadSuper = {0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00,
                                             0x03, 0x00, 0xC0, 0x03, 0x02, 0x00, 0xC0};

struct SpeedCase {
  const char* Options;
  uint16_t bcdUSB;
  uint32_t Ep0PacketSize;
  uint16_t BulkPacket;
  bool High, Super;
};

TEST(SimUsb, DescriptorsAtEachSpeed) {
  const SpeedCase cases[] = {{"speed=super", 0x0320, 512, 1024, false, true},
                             {"speed=high", 0x0210, 64, 512, true, false},
                             {"speed=full", 0x0200, 64, 64, false, false}};
  for (const SpeedCase& c : cases) {
    SCOPED_TRACE(c.Options);
    InstalledSim sim(c.Options);
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
    EXPECT_EQ(device.CountDevices(), 1);
    ASSERT_TRUE(device.Open(0));
    EXPECT_EQ(device.idVendor, PLUG_VENDOR_ID);
    EXPECT_EQ(device.idProduct, PLUG_PRODUCT_ID);
    EXPECT_EQ(device.bcdUSB, c.bcdUSB);
    EXPECT_EQ(device.Ep0PacketSize, c.Ep0PacketSize);
    EXPECT_EQ(device.IsHighSpeed, c.High);
    EXPECT_EQ(device.IsSuperSpeed, c.Super);
    EXPECT_EQ(device.BosInfo != nullptr, c.Super);
    if (c.Super) {
      EXPECT_NE(device.BosInfo->SuperSpeedCap, nullptr);
    }
    EXPECT_EQ(std::u16string(device.SerialNumberText), u"SIM0001");
    EXPECT_EQ(std::u16string(device.ManufacturerText), u"Quorvale");
    // Power-up layout: loopback on 0x01/0x81 plus the display endpoint.
    ASSERT_EQ(device.CountEndpoints(), 4);
    ASSERT_NE(device.BulkOutEndpoint, nullptr);
    EXPECT_EQ(device.BulkOutEndpoint->bEndpointAddress, 0x01);
    EXPECT_EQ(device.BulkInEndpoint->bEndpointAddress, 0x81);
    EXPECT_EQ(device.BulkInEndpoint->MaxPacketSize, c.BulkPacket);
    UsbEndpoint* display = FindEndpoint(device, PLUG_DISPLAY_ENDPOINT);
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(display->bmAttributes, 2);
  }
}

TEST(SimUsb, InformationStringAndSpeedCode) {
  {
    InstalledSim sim("firmware=21,speed=high");
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
    std::string info = PlugInfo(device);
    size_t at = info.find("FW Version V");
    ASSERT_NE(at, std::string::npos) << info;
    EXPECT_EQ(info[at + 12], '2');
    EXPECT_EQ(info[at + 14], '1');
    EXPECT_NE(info.find("HW Version"), std::string::npos);
    uint8_t code[4] = {};
    ASSERT_TRUE(PlugCommand(device, PLUG_CMD_SPEED, true, code, 4));
    EXPECT_EQ(GetLe32(code), 2u);
  }
  InstalledSim sim("firmware=none");
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  std::string info = PlugInfo(device);
  EXPECT_EQ(info.find("FW Version"), std::string::npos) << info;
  uint8_t code[4] = {};
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_SPEED, true, code, 4));
  EXPECT_EQ(GetLe32(code), 3u);
}

TEST(SimUsb, ConfigurationMakesThePlugLeaveAndReturnWithTheNewLayout) {
  InstalledSim sim("reenum-ms=20");
  NoticeRecorder recorder;
  UsbDevice device(&recorder, PLUG_INTERFACE_CLASS, true);
  ASSERT_NE(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  const DriverHandle oldHandle = device.DeviceHandle;
  std::vector<uint8_t> block = kBulkReadSuper;
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_CONFIG, false, block.data(), 14));
  auto left = recorder.WaitFor(2);
  ASSERT_GE(left.size(), 2u);
  EXPECT_EQ(left[0].Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_FALSE(left[0].IsInterface);
  EXPECT_EQ(left[0].Handle, oldHandle);
  EXPECT_EQ(left[1].Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_TRUE(left[1].IsInterface);
  // The old handle is stale now.
  uint8_t speed[4] = {};
  EXPECT_FALSE(device.SendDeviceRequest(IOCTL_GET_SPEED, speed, 4));
  EXPECT_EQ(device.LastErrorCode, ERROR_DEVICE_NOT_CONNECTED);

  auto all = recorder.WaitFor(3);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].Event, DBT_DEVICEARRIVAL);
  EXPECT_TRUE(all[2].IsInterface);
  EXPECT_EQ(all[2].Path, left[1].Path);
  EXPECT_EQ(all[2].Path.compare(0, 26, "\\\\?\\usb#vid_1209&pid_000a#"), 0);

  ASSERT_TRUE(device.Open(0));
  EXPECT_EQ(std::u16string(device.SerialNumberText), u"SIM0001");
  ASSERT_EQ(device.CountEndpoints(), 3);
  EXPECT_EQ(device.BulkOutEndpoint, nullptr);
  ASSERT_NE(device.BulkInEndpoint, nullptr);
  EXPECT_EQ(device.BulkInEndpoint->bEndpointAddress, 0x81);
  EXPECT_EQ(device.BulkInEndpoint->MaxBurst, 15);
  EXPECT_EQ(device.BulkInEndpoint->MaxPacketSize, 16384);
}

TEST(SimUsb, IsochronousLayoutsAndPacketResults) {
  InstalledSim sim("reenum-ms=10,rate=unlimited");
  NoticeRecorder recorder;
  UsbDevice device(&recorder, PLUG_INTERFACE_CLASS, true);
  // Isochronous read, endpoints 3, burst 16, interval 1, 3 packets per interval.
  const std::vector<uint8_t> iso = {0x01, 0x01, 0x03, 0x03, 0x10, 0x01, 0x00,
                                    0x03, 0x00, 0xC0, 0x03, 0x02, 0x00, 0xC0};
  Reconfigure(device, recorder, iso);
  ASSERT_NE(device.IsocInEndpoint, nullptr);
  UsbEndpoint* in = device.IsocInEndpoint;
  EXPECT_EQ(in->bEndpointAddress, 0x83);
  EXPECT_EQ(in->MaxPacketSize, 49152);
  EXPECT_EQ(in->BytesPerInterval, 49152);

  std::vector<uint8_t> buffer(3 * 49152);
  IsoPacketResult packets[3];
  int32_t length = static_cast<int32_t>(buffer.size());
  // Before the benchmark starts the plug has nothing to send: empty packets.
  ASSERT_TRUE(in->TransferSync(buffer.data(), length, packets));
  for (const IsoPacketResult& p : packets) EXPECT_EQ(p.Length, 0u);
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_BENCH_START, false, nullptr, 0));
  length = static_cast<int32_t>(buffer.size());
  ASSERT_TRUE(in->TransferSync(buffer.data(), length, packets));
  for (const IsoPacketResult& p : packets) {
    EXPECT_EQ(p.Status, 0u);
    EXPECT_EQ(p.Length, 49152u);
  }
  EXPECT_EQ(length, 3 * 49152);

  // High speed: 3 transactions of 1024 bytes per microframe.
  InstalledSim high("reenum-ms=10,speed=high");
  NoticeRecorder highRecorder;
  UsbDevice highDevice(&highRecorder, PLUG_INTERFACE_CLASS, true);
  std::vector<uint8_t> hsIso = iso;
  hsIso[4] = 1;
  hsIso[10] = 2;
  Reconfigure(highDevice, highRecorder, hsIso);
  ASSERT_NE(highDevice.IsocInEndpoint, nullptr);
  EXPECT_EQ(highDevice.IsocInEndpoint->PacketsPerInterval, 3);
  EXPECT_EQ(highDevice.IsocInEndpoint->MaxPacketSize, 3072);
}

TEST(SimUsb, LoopbackReturnsTheBytesAndHonoursFifoFlowControl) {
  InstalledSim sim("rate=unlimited");
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  UsbEndpoint* out = device.BulkOutEndpoint;
  UsbEndpoint* in = device.BulkInEndpoint;
  ASSERT_TRUE(out && in);
  std::vector<uint8_t> first(65536), second(65536), back(65536);
  for (size_t i = 0; i < first.size(); ++i) {
    first[i] = static_cast<uint8_t>(i * 31 + 7);
    second[i] = static_cast<uint8_t>(i ^ 0xA5);
  }
  int32_t length = 65536;
  ASSERT_TRUE(out->TransferSync(first.data(), length));
  EXPECT_EQ(length, 65536);

  // The FIFO is full: a second write waits until the host reads.
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  auto* context = out->SubmitTransfer(second.data(), 65536, &record);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(out->LastWinError.load(), ERROR_IO_PENDING);
  EXPECT_FALSE(event.IsSet());
  length = 65536;
  ASSERT_TRUE(in->TransferSync(back.data(), length));
  EXPECT_EQ(back, first);
  EXPECT_EQ(WaitForSingleObject(&event, 0), WAIT_OBJECT_0);
  length = 65536;
  EXPECT_TRUE(out->CompleteTransfer(second.data(), length, &record, context));
  EXPECT_EQ(length, 65536);
  length = 65536;
  ASSERT_TRUE(in->TransferSync(back.data(), length));
  EXPECT_EQ(back, second);

  // An empty FIFO: a read waits until data comes.
  context = in->SubmitTransfer(back.data(), 65536, &record);
  EXPECT_EQ(in->LastWinError.load(), ERROR_IO_PENDING);
  length = 65536;
  ASSERT_TRUE(out->TransferSync(first.data(), length));
  EXPECT_EQ(WaitForSingleObject(&event, 0), WAIT_OBJECT_0);
  length = 65536;
  EXPECT_TRUE(in->CompleteTransfer(back.data(), length, &record, context));
  EXPECT_EQ(back, first);
}

// Keeps 64 reads in flight and resubmits each as it completes.
void Stream(UsbEndpoint* in, int rounds) {
  constexpr int kDepth = 64;
  std::vector<std::vector<uint8_t>> buffers(kDepth, std::vector<uint8_t>(65536));
  std::vector<std::unique_ptr<Event>> events;
  std::vector<Overlapped> records(kDepth);
  std::vector<UsbEndpoint::RequestContext*> contexts(kDepth);
  for (int i = 0; i < kDepth; ++i) {
    events.push_back(std::make_unique<Event>(false, false));
    records[i].hEvent = events[i].get();
    contexts[i] = in->SubmitTransfer(buffers[i].data(), 65536, &records[i]);
    ASSERT_NE(contexts[i], nullptr);
  }
  for (int n = 0; n < rounds * kDepth; ++n) {
    int i = n % kDepth;
    ASSERT_EQ(WaitForSingleObject(events[i].get(), 5000), WAIT_OBJECT_0) << n;
    int32_t length = 65536;
    ASSERT_TRUE(in->CompleteTransfer(buffers[i].data(), length, &records[i], contexts[i]));
    ASSERT_EQ(length, 65536);
    // Each transfer of the plug's stream carries its sequence number, in order.
    ASSERT_EQ(buffers[i][0], static_cast<uint8_t>(n));
    ASSERT_EQ(buffers[i][65535], static_cast<uint8_t>(n));
    contexts[i] = n + kDepth < rounds * kDepth
                      ? in->SubmitTransfer(buffers[i].data(), 65536, &records[i])
                      : nullptr;
  }
}

TEST(SimUsb, BenchmarkStreamsWith64TransfersInFlight) {
  for (const char* options : {"reenum-ms=10", "reenum-ms=10,rate=unlimited"}) {
    SCOPED_TRACE(options);
    InstalledSim sim(options);
    NoticeRecorder recorder;
    UsbDevice device(&recorder, PLUG_INTERFACE_CLASS, true);
    Reconfigure(device, recorder, kBulkReadSuper);
    ASSERT_NE(device.BulkInEndpoint, nullptr);
    ASSERT_TRUE(PlugCommand(device, PLUG_CMD_BENCH_START, false, nullptr, 0));
    Stream(device.BulkInEndpoint, 2);
    EXPECT_EQ(sim.port->PendingRequests(0), 0u);
  }
}

TEST(SimUsb, SinkTakesDataOnlyWhileTheBenchmarkRuns) {
  InstalledSim sim("reenum-ms=10,rate=unlimited");
  NoticeRecorder recorder;
  UsbDevice device(&recorder, PLUG_INTERFACE_CLASS, true);
  // Bulk, both directions, IN 2 and OUT 5, burst 4.
  const std::vector<uint8_t> both = {0x03, 0x02, 0x02, 0x05, 0x04, 0x01, 0x00,
                                     0x03, 0x00, 0x30, 0x03, 0x02, 0x00, 0x60};
  Reconfigure(device, recorder, both);
  UsbEndpoint* out = device.BulkOutEndpoint;
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->bEndpointAddress, 0x05);
  EXPECT_EQ(out->MaxPacketSize, 4096);
  ASSERT_NE(device.BulkInEndpoint, nullptr);
  EXPECT_EQ(device.BulkInEndpoint->bEndpointAddress, 0x82);
  std::vector<uint8_t> data(65536, 0x42);
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  auto* context = out->SubmitTransfer(data.data(), 65536, &record);
  EXPECT_EQ(out->LastWinError.load(), ERROR_IO_PENDING);  // the plug naks until started
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_BENCH_START, false, nullptr, 0));
  EXPECT_EQ(WaitForSingleObject(&event, 0), WAIT_OBJECT_0);
  int32_t length = 65536;
  EXPECT_TRUE(out->CompleteTransfer(data.data(), length, &record, context));
  EXPECT_EQ(length, 65536);
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_BENCH_END, false, nullptr, 0));
  context = out->SubmitTransfer(data.data(), 65536, &record);
  EXPECT_EQ(out->LastWinError.load(), ERROR_IO_PENDING);
  EXPECT_TRUE(out->AbortTransfers());
  length = 65536;
  EXPECT_FALSE(out->CompleteTransfer(data.data(), length, &record, context));

  // Isochronous write at full speed: one 64-byte packet per frame, each accepted.
  InstalledSim full("reenum-ms=10,rate=unlimited,speed=full");
  NoticeRecorder fullRecorder;
  UsbDevice fullDevice(&fullRecorder, PLUG_INTERFACE_CLASS, true);
  const std::vector<uint8_t> isoWrite = {0x02, 0x01, 0x03, 0x03, 0x01, 0x01, 0x00,
                                         0x01, 0x40, 0x00, 0x01, 0x02, 0x40, 0x00};
  Reconfigure(fullDevice, fullRecorder, isoWrite);
  UsbEndpoint* isoOut = fullDevice.IsocOutEndpoint;
  ASSERT_NE(isoOut, nullptr);
  EXPECT_EQ(isoOut->MaxPacketSize, 64);
  IsoPacketResult packets[4];
  length = 250;
  ASSERT_TRUE(isoOut->TransferSync(data.data(), length, packets));
  EXPECT_EQ(packets[0].Length, 64u);
  EXPECT_EQ(packets[3].Length, 250u - 3 * 64);
}

TEST(SimUsb, AtAFiniteRateTransfersWaitForBusTime) {
  // 1 MB/s: a 64 KiB read needs about 60 ms of bus time, so it cannot be done inline.
  InstalledSim sim("reenum-ms=10,rate=1,plugs=3");
  NoticeRecorder recorder;
  UsbDevice device(&recorder, PLUG_INTERFACE_CLASS, false);
  EXPECT_EQ(device.CountDevices(), 3);
  ASSERT_TRUE(device.Open(2));
  EXPECT_EQ(std::u16string(device.SerialNumberText), u"SIM0003");
  std::vector<uint8_t> data(65536, 0x3C), back(65536);
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  UsbEndpoint* out = device.BulkOutEndpoint;
  auto* context = out->SubmitTransfer(data.data(), 65536, &record);
  EXPECT_EQ(out->LastWinError.load(), ERROR_IO_PENDING);
  EXPECT_EQ(sim.port->PendingRequests(2), 1u);
  EXPECT_EQ(sim.port->PendingRequests(0), 0u);
  ASSERT_EQ(WaitForSingleObject(&event, 5000), WAIT_OBJECT_0);
  int32_t length = 65536;
  EXPECT_TRUE(out->CompleteTransfer(data.data(), length, &record, context));
  length = 65536;
  ASSERT_TRUE(device.BulkInEndpoint->TransferSync(back.data(), length));
  EXPECT_EQ(back, data);
}

TEST(SimUsb, AbortCompletesEveryPendingRequest) {
  InstalledSim sim("reenum-ms=10");
  NoticeRecorder recorder;
  UsbDevice device(&recorder, PLUG_INTERFACE_CLASS, true);
  Reconfigure(device, recorder, kBulkReadSuper);
  UsbEndpoint* in = device.BulkInEndpoint;
  ASSERT_NE(in, nullptr);
  // No benchmark start: the plug naks and every read stays pending.
  constexpr int kDepth = 64;
  std::vector<uint8_t> buffer(kDepth * 1024);
  std::vector<std::unique_ptr<Event>> events;
  std::vector<Overlapped> records(kDepth);
  std::vector<UsbEndpoint::RequestContext*> contexts(kDepth);
  for (int i = 0; i < kDepth; ++i) {
    events.push_back(std::make_unique<Event>(false, false));
    records[i].hEvent = events[i].get();
    contexts[i] = in->SubmitTransfer(buffer.data() + i * 1024, 1024, &records[i]);
  }
  EXPECT_EQ(sim.port->PendingRequests(0), static_cast<uint32_t>(kDepth));
  EXPECT_TRUE(in->AbortTransfers());
  EXPECT_EQ(sim.port->PendingRequests(0), 0u);
  for (int i = 0; i < kDepth; ++i) {
    EXPECT_EQ(WaitForSingleObject(events[i].get(), 0), WAIT_OBJECT_0) << i;
    int32_t length = 1024;
    EXPECT_FALSE(in->CompleteTransfer(buffer.data() + i * 1024, length, &records[i], contexts[i]));
    EXPECT_EQ(in->NtStatus.load(), SIM_NTSTATUS_CANCELLED);
    EXPECT_EQ(in->UsbdStatus.load(), SIM_USBD_STATUS_CANCELED);
  }
}

// Runs count loopback write+read pairs and returns, per pair, whether each side
// succeeded and how many bytes came back.
struct PairResult {
  bool WriteOk, ReadOk;
  int32_t ReadBytes;
  int Mismatches;
};
std::vector<PairResult> LoopbackPairs(UsbDevice& device, int count) {
  std::vector<PairResult> results;
  std::vector<uint8_t> out(65536), in(65536);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i);
  for (int n = 0; n < count; ++n) {
    PairResult r{};
    int32_t length = 65536;
    r.WriteOk = device.BulkOutEndpoint->TransferSync(out.data(), length);
    if (!r.WriteOk) device.BulkOutEndpoint->ResetEndpoint();
    length = 65536;
    std::fill(in.begin(), in.end(), 0);
    r.ReadOk = device.BulkInEndpoint->TransferSync(in.data(), length);
    r.ReadBytes = length;
    for (int i = 0; i < length && i < 65536; ++i) r.Mismatches += in[i] != out[i];
    if (!r.ReadOk) device.BulkInEndpoint->ResetEndpoint();
    results.push_back(r);
  }
  return results;
}

TEST(SimUsb, ReadAndWriteErrorsFailTheNthTransferOfTheirDirection) {
  InstalledSim sim("rate=unlimited,read-error-every=3,write-error-every=4");
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  auto r = LoopbackPairs(device, 4);
  EXPECT_TRUE(r[0].ReadOk && r[1].ReadOk && r[3].ReadOk);
  EXPECT_FALSE(r[2].ReadOk);
  EXPECT_EQ(device.BulkInEndpoint->UsbdStatus.load(), 0u);  // the 4th read succeeded
  EXPECT_TRUE(r[0].WriteOk && r[1].WriteOk && r[2].WriteOk);
  EXPECT_FALSE(r[3].WriteOk);
  EXPECT_EQ(device.BulkOutEndpoint->UsbdStatus.load(), SIM_USBD_STATUS_CRC);
  EXPECT_NE(device.BulkOutEndpoint->NtStatus.load(), 0u);
}

TEST(SimUsb, ShortReadsAndCorruptionShowInTheData) {
  {
    InstalledSim sim("rate=unlimited,short-read-every=2");
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
    auto r = LoopbackPairs(device, 2);
    EXPECT_EQ(r[0].ReadBytes, 65536);
    EXPECT_TRUE(r[1].ReadOk);
    EXPECT_EQ(r[1].ReadBytes, 32768);
  }
  InstalledSim sim("rate=unlimited,corrupt-every=2,corrupt-bytes=5");
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  auto r = LoopbackPairs(device, 3);
  EXPECT_EQ(r[0].Mismatches, 0);
  EXPECT_TRUE(r[1].ReadOk);
  EXPECT_EQ(r[1].Mismatches, 5);
  EXPECT_EQ(r[2].Mismatches, 0);
}

TEST(SimUsb, TimeoutsNeedAnAbortAndStallsNeedAReset) {
  {
    InstalledSim sim("rate=unlimited,timeout-every=2");
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
    UsbEndpoint* in = device.BulkInEndpoint;
    in->TimeoutMs = 50;
    std::vector<uint8_t> data(65536);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 1024);
    int32_t length = 65536;
    ASSERT_TRUE(device.BulkOutEndpoint->TransferSync(data.data(), length));
    std::vector<uint8_t> back(1024);
    length = 1024;
    EXPECT_TRUE(in->TransferSync(back.data(), length));
    length = 1024;
    EXPECT_FALSE(in->TransferSync(back.data(), length));  // never answered, so aborted
    EXPECT_EQ(in->NtStatus.load(), SIM_NTSTATUS_CANCELLED);
    EXPECT_EQ(sim.port->PendingRequests(0), 0u);
    length = 1024;
    EXPECT_TRUE(in->TransferSync(back.data(), length));
    EXPECT_EQ(back[0], 1);  // the timed-out read took nothing
  }
  InstalledSim sim("rate=unlimited,stall-every=3");
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  UsbEndpoint* in = device.BulkInEndpoint;
  std::vector<uint8_t> data(65536, 0x11);
  int32_t written = 65536;
  ASSERT_TRUE(device.BulkOutEndpoint->TransferSync(data.data(), written));
  auto read = [&] {
    int32_t length = 1024;
    return in->TransferSync(data.data(), length);
  };
  EXPECT_TRUE(read());
  EXPECT_TRUE(read());
  EXPECT_FALSE(read());  // the 3rd halts the endpoint
  EXPECT_EQ(in->UsbdStatus.load(), SIM_USBD_STATUS_STALL);
  EXPECT_FALSE(read());  // still halted
  EXPECT_TRUE(in->ResetEndpoint());
  EXPECT_TRUE(read());
}

TEST(SimUsb, BusErrorCountersFollowMaskAndStartStop) {
  InstalledSim sim("phy-errors=3,link-errors=2,phy-flags=0x3,link-flags=0x11");
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  uint8_t report[16];
  auto readReport = [&] {
    std::memset(report, 0xEE, sizeof report);
    EXPECT_TRUE(PlugCommand(device, PLUG_CMD_ERROR_COUNTERS, true, report, 16));
  };
  readReport();  // firmware 2.3 counts only after the start command
  EXPECT_EQ(GetLe32(report), 0u);
  EXPECT_EQ(GetLe32(report + 8), 0u);
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_PREPARE_COUNTERS, false, nullptr, 0));
  uint8_t mask[4];
  PutLe32(mask, 0x0010'01FE);  // physical kinds 1-8, link kind 4 only
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_ERROR_MASK, false, mask, 4));
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_START_COUNTING, false, nullptr, 0));
  for (int i = 0; i < 2; ++i) {  // counts per read, since the previous one
    readReport();
    EXPECT_EQ(GetLe32(report), 3u);
    EXPECT_EQ(GetLe32(report + 4), 2u);
    EXPECT_EQ(GetLe32(report + 8), 0x2u);
    EXPECT_EQ(GetLe32(report + 12), 0x10u);
  }
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_END_MONITORING, false, nullptr, 0));
  readReport();
  EXPECT_EQ(GetLe32(report + 4), 0u);

  InstalledSim old("firmware=22,phy-errors=1,phy-flags=0x3,link-flags=0x1");
  UsbDevice oldDevice(nullptr, PLUG_INTERFACE_CLASS, true);
  uint8_t shortMask[2];
  PutLe16(shortMask, 0x01FE);
  ASSERT_TRUE(PlugCommand(oldDevice, PLUG_CMD_ERROR_MASK, false, shortMask, 2));
  uint8_t oldReport[16];
  ASSERT_TRUE(PlugCommand(oldDevice, PLUG_CMD_ERROR_COUNTERS, true, oldReport, 16));
  EXPECT_EQ(GetLe32(oldReport), 1u);
  EXPECT_EQ(GetLe32(oldReport + 8), 0x2u);
  EXPECT_EQ(GetLe32(oldReport + 12), 0x1u);
}

TEST(SimUsb, RemovedPlugFailsPendingRequestsAndStaysAway) {
  InstalledSim sim("remove-after-ms=30");
  NoticeRecorder recorder;
  UsbDevice device(&recorder, PLUG_INTERFACE_CLASS, true);
  UsbEndpoint* in = device.BulkInEndpoint;
  std::vector<uint8_t> buffer(1024);
  Event event(false, false);
  Overlapped record;
  record.hEvent = &event;
  auto* context = in->SubmitTransfer(buffer.data(), 1024, &record);  // waits for data
  auto notices = recorder.WaitFor(2);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1].Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(WaitForSingleObject(&event, 0), WAIT_OBJECT_0);
  int32_t length = 1024;
  EXPECT_FALSE(in->CompleteTransfer(buffer.data(), length, &record, context));
  EXPECT_EQ(in->NtStatus.load(), SIM_NTSTATUS_DEVICE_GONE);
  length = 1024;
  EXPECT_FALSE(in->TransferSync(buffer.data(), length));
  EXPECT_EQ(in->LastWinError.load(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(device.CountDevices(), 0);
  EXPECT_FALSE(sim.port->PlugPresent(0));
}

TEST(SimUsb, NoReturnKeepsThePlugAwayAfterAConfiguration) {
  InstalledSim sim("reenum-ms=1,no-return");
  NoticeRecorder recorder;
  UsbDevice device(&recorder, PLUG_INTERFACE_CLASS, true);
  std::vector<uint8_t> block = kBulkReadSuper;
  ASSERT_TRUE(PlugCommand(device, PLUG_CMD_CONFIG, false, block.data(), 14));
  ASSERT_EQ(recorder.WaitFor(2).size(), 2u);
  // Long past the re-enumeration time the plug is still gone and said nothing more.
  Sleep(50);
  EXPECT_EQ(recorder.Snapshot().size(), 2u);
  EXPECT_EQ(device.CountDevices(), 0);
}

TEST(SimUsb, MalformedDescriptorSetsAreRefusedByTheDevice) {
  std::vector<std::u16string> captions;
  SetMessageBoxHandler([&](void*, std::u16string_view, std::u16string_view caption, uint32_t) {
    captions.emplace_back(caption);
    return IDOK;
  });
  {
    InstalledSim sim("bad-config");
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
    EXPECT_FALSE(device.Open(0));
  }
  {
    InstalledSim sim("bad-bos");
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
    EXPECT_FALSE(device.Open(0));
  }
  {
    InstalledSim sim("bad-config,speed=high");
    UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
    EXPECT_FALSE(device.Open(0));
  }
  SetMessageBoxHandler(nullptr);
  ASSERT_EQ(captions.size(), 3u);
  EXPECT_EQ(captions[0], u"Wrong Device Configuration");
  EXPECT_EQ(captions[1], u"Wrong BOS Descriptor");
  EXPECT_EQ(captions[2], u"Wrong Device Configuration");
}

TEST(SimUsb, MonitorReadsTheDisplayWhileAnEngineMovesData) {
  InstalledSim sim("rate=unlimited");
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  UsbEndpoint* display = FindEndpoint(device, PLUG_DISPLAY_ENDPOINT);
  ASSERT_NE(display, nullptr);
  display->TimeoutMs = 50;
  std::atomic<bool> done{false};
  std::atomic<int> images{0}, badImages{0};
  std::thread monitor([&] {
    uint8_t image[PLUG_DISPLAY_BYTES];
    while (!done.load()) {
      int32_t length = PLUG_DISPLAY_BYTES;
      if (display->TransferSync(image, length) && length == 1024 && (image[0] & 0x80)) {
        images.fetch_add(1);
      } else {
        badImages.fetch_add(1);
      }
    }
  });
  std::thread control([&] {
    UsbDevice other(nullptr, PLUG_INTERFACE_CLASS, false);
    ASSERT_TRUE(other.Open(0));  // a second handle on the same plug
    while (!done.load()) {
      char info[32] = {};
      PlugCommand(other, PLUG_CMD_INFO, true, info, 31);
      PlugCommand(other, PLUG_CMD_LED_STEP1, false, nullptr, 0);
    }
  });
  auto pairs = LoopbackPairs(device, 200);
  done.store(true);
  monitor.join();
  control.join();
  for (const PairResult& r : pairs) {
    ASSERT_TRUE(r.WriteOk && r.ReadOk);
    ASSERT_EQ(r.Mismatches, 0);
  }
  EXPECT_GT(images.load(), 0);
  EXPECT_EQ(badImages.load(), 0);
}

}  // namespace
