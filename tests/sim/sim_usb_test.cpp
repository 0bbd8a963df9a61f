// Simulated plugs driven through the program's own UsbDevice and endpoint classes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "protocol/plug_commands.h"
#include "protocol/plug_ids.h"
#include "sim_usb_support.h"

namespace {

TEST(SimUsb, DescriptorsAndSpeedCodeAtEachSpeed) {
  const struct {
    const char* Options;
    uint16_t bcdUSB;
    uint32_t Ep0PacketSize;
    uint16_t BulkPacket;
    bool High, Super;
    uint32_t SpeedCode;
  } cases[] = {{"speed=super", 0x0320, 512, 1024, false, true, 3},
               {"speed=high", 0x0210, 64, 512, true, false, 2},
               {"speed=full", 0x0200, 64, 64, false, false, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Options);
    Plug plug(c.Options, false);
    UsbDevice& device = plug.device;
    ASSERT_TRUE(device.Open(0));
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
    uint8_t code[4] = {};
    ASSERT_TRUE(VendorRequest(device, PLUG_CMD_SPEED, true, code, 4));
    EXPECT_EQ(GetLe32(code), c.SpeedCode);
  }
}

TEST(SimUsb, InformationStringShowsTheFirmwareVersionWhenThereIsOne) {
  for (auto [options, hasFirmware] : {std::pair{"firmware=21", true}, {"firmware=none", false}}) {
    Plug plug(options);
    char info[32] = {};
    ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_INFO, true, info, 31));
    const std::string text = info;
    EXPECT_EQ(text.find("FW Version") != std::string::npos, hasFirmware) << text;
    EXPECT_EQ(text.find("FW Version V2.1 HW Version") != std::string::npos, hasFirmware) << text;
    EXPECT_NE(text.find("HW Version"), std::string::npos) << text;
  }
}

TEST(SimUsb, ConfigurationMakesThePlugLeaveAndReturnWithTheNewLayout) {
  Plug plug("reenum-ms=20");
  UsbDevice& device = plug.device;
  ASSERT_NE(device.DeviceHandle, INVALID_DRIVER_HANDLE);
  const DriverHandle oldHandle = device.DeviceHandle;
  std::vector<uint8_t> block = kBulkReadSuper;
  ASSERT_TRUE(VendorRequest(device, PLUG_CMD_CONFIG, false, block.data(), 14));
  auto left = plug.recorder.WaitFor(2);
  ASSERT_GE(left.size(), 2u);
  EXPECT_EQ(left[0].Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_FALSE(left[0].IsInterface);
  EXPECT_EQ(left[0].Handle, oldHandle);
  EXPECT_EQ(left[1].Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_TRUE(left[1].IsInterface);
  uint8_t speed[4] = {};  // the old handle is stale now
  EXPECT_FALSE(device.SendDeviceRequest(IOCTL_GET_SPEED, speed, 4));
  EXPECT_EQ(device.LastErrorCode, ERROR_DEVICE_NOT_CONNECTED);

  auto all = plug.recorder.WaitFor(3);
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
  const struct {
    const char* Options;
    std::vector<uint8_t> Block;
    uint8_t Address;
    uint16_t MaxPacketSize;
    uint8_t PacketsPerInterval;
  } layouts[] = {
      {"speed=super", kIsoReadSuper, 0x83, 49152, 1},
      {"speed=high", {1, 1, 3, 3, 1, 1, 0, 3, 0, 0xC0, 2, 2, 0, 0xC0}, 0x83, 3072, 3},
      {"speed=full", {2, 1, 3, 3, 1, 1, 0, 1, 0x40, 0, 1, 2, 0x40, 0}, 0x03, 64, 1},
  };
  for (const auto& l : layouts) {
    SCOPED_TRACE(l.Options);
    Plug plug((std::string("reenum-ms=10,rate=unlimited,") + l.Options).c_str());
    Reconfigure(plug, l.Block);
    UsbEndpoint* iso = l.Address & 0x80 ? plug.device.IsocInEndpoint : plug.device.IsocOutEndpoint;
    ASSERT_NE(iso, nullptr);
    EXPECT_EQ(iso->bEndpointAddress, l.Address);
    EXPECT_EQ(iso->MaxPacketSize, l.MaxPacketSize);
    EXPECT_EQ(iso->PacketsPerInterval, l.PacketsPerInterval);
    std::vector<uint8_t> buffer(3 * 49152);
    IsoPacketResult packets[4];
    int32_t length = 250;
    if (iso == plug.device.IsocOutEndpoint) {  // taken packet by packet, the last one short
      ASSERT_TRUE(iso->TransferSync(buffer.data(), length, packets));
      EXPECT_EQ(packets[0].Length, 64u);
      EXPECT_EQ(packets[3].Length, 250u - 3 * 64);
    }
  }
}

TEST(SimUsb, IsochronousInCountsTheBytesItsPacketsCarry) {
  // The 2nd, 4th, ... transfer corrupted (5 bytes), the 3rd cut short.
  Plug plug("reenum-ms=10,rate=unlimited,corrupt-every=2,corrupt-bytes=5,short-read-every=3");
  Reconfigure(plug, kIsoReadSuper);
  UsbEndpoint* iso = plug.device.IsocInEndpoint;
  ASSERT_NE(iso, nullptr);
  constexpr int32_t kInterval = 49152;
  EXPECT_EQ(iso->BytesPerInterval, kInterval);
  std::vector<uint8_t> buffer(3 * kInterval);
  IsoPacketResult packets[3];
  int32_t length = 0;
  auto transfer = [&] {
    std::fill(buffer.begin(), buffer.end(), 0);
    length = 3 * kInterval;
    EXPECT_TRUE(iso->TransferSync(buffer.data(), length, packets));
    uint32_t carried = 0;
    for (const IsoPacketResult& packet : packets) carried += packet.Length;
    EXPECT_EQ(static_cast<uint32_t>(length), carried);
    EXPECT_EQ(iso->BytesTransferred.load(), carried);
    return carried;
  };
  // Bytes that differ from the value the plug filled their packet with.
  auto damaged = [&] {
    int count = 0;
    for (int i = 0; i < 3; ++i) {
      const uint8_t* packet = buffer.data() + i * kInterval;
      int histogram[256] = {};
      for (uint32_t b = 0; b < packets[i].Length; ++b) ++histogram[packet[b]];
      count += static_cast<int>(packets[i].Length) - *std::max_element(histogram, histogram + 256);
    }
    return count;
  };
  EXPECT_EQ(transfer(), 0u);  // an idle source sends empty packets
  ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_BENCH_START, false, nullptr, 0));
  EXPECT_EQ(transfer(), 3u * kInterval);
  EXPECT_EQ(damaged(), 5);
  EXPECT_EQ(transfer(), 3u * kInterval / 2);
  EXPECT_EQ(packets[2].Length, 0u);
  EXPECT_EQ(damaged(), 0);
  EXPECT_EQ(transfer(), 3u * kInterval);
  EXPECT_EQ(damaged(), 5);
}

// Keeps 64 reads in flight and resubmits each as it completes.
void Stream(UsbEndpoint* in, int rounds) {
  constexpr int kDepth = 64;
  std::vector<std::vector<uint8_t>> buffers(kDepth, std::vector<uint8_t>(65536));
  std::vector<PendingIo> ios(kDepth);
  std::vector<UsbEndpoint::RequestContext*> contexts(kDepth);
  for (int i = 0; i < kDepth; ++i) {
    contexts[i] = in->SubmitTransfer(buffers[i].data(), 65536, &ios[i].record);
    ASSERT_NE(contexts[i], nullptr);
  }
  for (int n = 0; n < rounds * kDepth; ++n) {
    int i = n % kDepth;
    ASSERT_EQ(WaitForSingleObject(&ios[i].event, 5000), WAIT_OBJECT_0) << n;
    int32_t length = 65536;
    ASSERT_TRUE(in->CompleteTransfer(buffers[i].data(), length, &ios[i].record, contexts[i]));
    ASSERT_EQ(length, 65536);
    // Each transfer of the plug's stream carries its sequence number, in order.
    ASSERT_EQ(buffers[i][0], static_cast<uint8_t>(n));
    ASSERT_EQ(buffers[i][65535], static_cast<uint8_t>(n));
    contexts[i] = n + kDepth < rounds * kDepth
                      ? in->SubmitTransfer(buffers[i].data(), 65536, &ios[i].record)
                      : nullptr;
  }
}

TEST(SimUsb, BenchmarkStreamsWith64TransfersInFlight) {
  for (const char* options : {"reenum-ms=10", "reenum-ms=10,rate=unlimited"}) {
    SCOPED_TRACE(options);
    Plug plug(options);
    Reconfigure(plug, kBulkReadSuper);
    ASSERT_NE(plug.device.BulkInEndpoint, nullptr);
    ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_BENCH_START, false, nullptr, 0));
    Stream(plug.device.BulkInEndpoint, 2);
    EXPECT_EQ(plug.sim.port->PendingRequests(0), 0u);
  }
}

TEST(SimUsb, SinkTakesDataOnlyWhileTheBenchmarkRuns) {
  std::vector<uint8_t> data(65536, 0x42);
  int32_t length = 65536;
  Plug plug("reenum-ms=10,rate=unlimited");
  // Bulk, both directions, IN 2 and OUT 5, burst 4.
  Reconfigure(plug,
              {0x03, 0x02, 0x02, 0x05, 0x04, 0x01, 0x00, 0x03, 0x00, 0x30, 0x03, 0x02, 0x00, 0x60});
  UsbEndpoint* out = plug.device.BulkOutEndpoint;
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->bEndpointAddress, 0x05);
  EXPECT_EQ(out->MaxPacketSize, 4096);
  ASSERT_NE(plug.device.BulkInEndpoint, nullptr);
  EXPECT_EQ(plug.device.BulkInEndpoint->bEndpointAddress, 0x82);
  PendingIo io;
  auto* context = out->SubmitTransfer(data.data(), 65536, &io.record);
  EXPECT_EQ(out->LastWinError.load(), ERROR_IO_PENDING);  // the plug naks until started
  ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_BENCH_START, false, nullptr, 0));
  EXPECT_TRUE(io.Done());
  EXPECT_TRUE(out->CompleteTransfer(data.data(), length, &io.record, context));
  EXPECT_EQ(length, 65536);
  ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_BENCH_END, false, nullptr, 0));
  context = out->SubmitTransfer(data.data(), 65536, &io.record);
  EXPECT_EQ(out->LastWinError.load(), ERROR_IO_PENDING);
  EXPECT_TRUE(out->AbortTransfers());
  EXPECT_FALSE(out->CompleteTransfer(data.data(), length = 65536, &io.record, context));
}

TEST(SimUsb, TransfersFinishedByTheirWaiterKeepTheBusSchedule) {
  Plug plug("rate=400");
  UsbEndpoint* out = plug.device.BulkOutEndpoint;
  UsbEndpoint* in = plug.device.BulkInEndpoint;
  ASSERT_NE(out, nullptr);
  ASSERT_NE(in, nullptr);
  constexpr int32_t kSize = 4096;
  const uint64_t cost = 20'000 + kSize * 1'000'000'000ull / (400ull * 1048576);
  std::vector<uint8_t> data(2 * kSize, 0x5A), back(2 * kSize);
  // Two writes queued together: the first waited for by a waiter that finishes it, the
  // second left to the bus thread.
  PendingIo first, second;
  const uint64_t start = NowNs();
  auto* firstContext = out->SubmitTransfer(data.data(), kSize, &first.record);
  auto* secondContext = out->SubmitTransfer(data.data() + kSize, kSize, &second.record);
  ASSERT_EQ(WaitForOverlapped(&first.record, 5000), WAIT_OBJECT_0);
  EXPECT_GE(NowNs() - start, cost);
  ASSERT_EQ(WaitForSingleObject(&second.event, 5000), WAIT_OBJECT_0);
  EXPECT_GE(NowNs() - start, 2 * cost);
  int32_t length = kSize;
  EXPECT_TRUE(out->CompleteTransfer(data.data(), length, &first.record, firstContext));
  EXPECT_TRUE(out->CompleteTransfer(data.data(), length = kSize, &second.record, secondContext));

  const uint64_t readStart = NowNs();
  ASSERT_TRUE(in->TransferSync(back.data(), length = 2 * kSize));
  EXPECT_GE(NowNs() - readStart, 20'000 + 2 * (cost - 20'000));
  EXPECT_EQ(back, data);
}

TEST(SimUsb, AbortCompletesEveryPendingRequest) {
  Plug plug("reenum-ms=10");
  Reconfigure(plug, kBulkReadSuper);
  UsbEndpoint* in = plug.device.BulkInEndpoint;
  ASSERT_NE(in, nullptr);
  // No benchmark start: the plug naks and every read stays pending.
  constexpr int kDepth = 64;
  std::vector<uint8_t> buffer(kDepth * 1024);
  std::vector<PendingIo> ios(kDepth);
  std::vector<UsbEndpoint::RequestContext*> contexts(kDepth);
  for (int i = 0; i < kDepth; ++i) {
    contexts[i] = in->SubmitTransfer(buffer.data() + i * 1024, 1024, &ios[i].record);
  }
  EXPECT_EQ(plug.sim.port->PendingRequests(0), static_cast<uint32_t>(kDepth));
  EXPECT_TRUE(in->AbortTransfers());
  EXPECT_EQ(plug.sim.port->PendingRequests(0), 0u);
  for (int i = 0; i < kDepth; ++i) {
    EXPECT_TRUE(ios[i].Done()) << i;
    int32_t length = 1024;
    EXPECT_FALSE(
        in->CompleteTransfer(buffer.data() + i * 1024, length, &ios[i].record, contexts[i]));
    EXPECT_EQ(in->NtStatus.load(), NTSTATUS_CANCELLED);
    EXPECT_EQ(in->UsbdStatus.load(), USBD_STATUS_CANCELED);
  }
}

TEST(SimUsb, FailedReadsLoseTheirDataTimeoutsNeedAnAbortStallsAReset) {
  std::vector<uint8_t> data(65536), back(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 1024);
  int32_t length = 65536;
  // A failed read loses the block it would have carried, reset or not.
  const struct {
    const char* Options;
    uint32_t Nt, Usbd;
  } failures[] = {{"rate=unlimited,timeout-every=2", NTSTATUS_CANCELLED, USBD_STATUS_CANCELED},
                  {"rate=unlimited,read-error-every=2", NTSTATUS_UNSUCCESSFUL, USBD_STATUS_CRC}};
  for (const auto& [options, status, usbd] : failures) {
    SCOPED_TRACE(options);
    Plug plug(options);
    UsbEndpoint* in = plug.device.BulkInEndpoint;
    in->TimeoutMs = 50;
    ASSERT_TRUE(plug.device.BulkOutEndpoint->TransferSync(data.data(), length = 65536));
    EXPECT_TRUE(in->TransferSync(back.data(), length = 1024));
    EXPECT_FALSE(in->TransferSync(back.data(), length = 1024));  // a time-out is aborted
    EXPECT_EQ(in->NtStatus.load(), status);
    EXPECT_EQ(in->UsbdStatus.load(), usbd);
    EXPECT_EQ(plug.sim.port->PendingRequests(0), 0u);
    EXPECT_TRUE(in->TransferSync(back.data(), length = 1024));
    EXPECT_EQ(back[0], 2);
  }
  Plug plug("rate=unlimited,stall-every=3");
  UsbEndpoint* in = plug.device.BulkInEndpoint;
  ASSERT_TRUE(plug.device.BulkOutEndpoint->TransferSync(data.data(), length = 65536));
  auto read = [&] { return in->TransferSync(back.data(), length = 1024); };
  EXPECT_TRUE(read());
  EXPECT_TRUE(read());
  EXPECT_FALSE(read());  // the 3rd halts the endpoint
  EXPECT_EQ(in->UsbdStatus.load(), USBD_STATUS_STALL_PID);
  EXPECT_FALSE(read());  // still halted
  EXPECT_TRUE(in->ResetEndpoint());
  // The reset also emptied the plug's loopback buffer: what comes back is new.
  ASSERT_TRUE(plug.device.BulkOutEndpoint->TransferSync(data.data() + 10 * 1024, length = 1024));
  EXPECT_TRUE(read());
  EXPECT_EQ(length, 1024);
  EXPECT_EQ(back[0], 10);
}

TEST(SimUsb, BusErrorCountersFollowMaskAndStartStop) {
  uint8_t report[16];
  auto readReport = [&](UsbDevice& device) {
    std::memset(report, 0xEE, sizeof report);
    EXPECT_TRUE(VendorRequest(device, PLUG_CMD_ERROR_COUNTERS, true, report, 16));
  };
  {
    Plug plug("phy-errors=3,link-errors=2,phy-flags=0x3,link-flags=0x11");
    readReport(plug.device);  // firmware 2.3 counts only after the start command
    EXPECT_EQ(GetLe32(report), 0u);
    EXPECT_EQ(GetLe32(report + 8), 0u);
    ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_PREPARE_COUNTERS, false, nullptr, 0));
    uint8_t mask[4];
    PutLe32(mask, 0x0010'01FE);  // physical kinds 1-8, link kind 4 only
    ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_ERROR_MASK, false, mask, 4));
    ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_START_COUNTING, false, nullptr, 0));
    for (int i = 0; i < 2; ++i) {  // counts per read, since the previous one
      readReport(plug.device);
      EXPECT_EQ(GetLe32(report), 3u);
      EXPECT_EQ(GetLe32(report + 4), 2u);
      EXPECT_EQ(GetLe32(report + 8), 0x2u);
      EXPECT_EQ(GetLe32(report + 12), 0x10u);
    }
    ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_END_MONITORING, false, nullptr, 0));
    readReport(plug.device);
    EXPECT_EQ(GetLe32(report + 4), 0u);
  }
  Plug old("firmware=22,phy-errors=1,phy-flags=0x3,link-flags=0x1");
  uint8_t shortMask[2];
  PutLe16(shortMask, 0x01FE);
  ASSERT_TRUE(VendorRequest(old.device, PLUG_CMD_ERROR_MASK, false, shortMask, 2));
  readReport(old.device);
  EXPECT_EQ(GetLe32(report), 1u);
  EXPECT_EQ(GetLe32(report + 8), 0x2u);
  EXPECT_EQ(GetLe32(report + 12), 0x1u);
}

TEST(SimUsb, RemovedPlugFailsPendingRequestsAndStaysAway) {
  Plug plug("remove-after-ms=30");
  UsbEndpoint* in = plug.device.BulkInEndpoint;
  std::vector<uint8_t> buffer(1024);
  PendingIo io;
  auto* context = in->SubmitTransfer(buffer.data(), 1024, &io.record);  // waits for data
  auto notices = plug.recorder.WaitFor(2);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1].Event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_TRUE(io.Done());
  int32_t length = 1024;
  EXPECT_FALSE(in->CompleteTransfer(buffer.data(), length, &io.record, context));
  EXPECT_EQ(in->NtStatus.load(), NTSTATUS_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(in->TransferSync(buffer.data(), length = 1024));
  EXPECT_EQ(in->LastWinError.load(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(plug.device.CountDevices(), 0);
  EXPECT_FALSE(plug.sim.port->PlugPresent(0));
}

TEST(SimUsb, NoReturnKeepsThePlugAwayAfterAConfiguration) {
  Plug plug("reenum-ms=1,no-return");
  std::vector<uint8_t> block = kBulkReadSuper;
  ASSERT_TRUE(VendorRequest(plug.device, PLUG_CMD_CONFIG, false, block.data(), 14));
  ASSERT_EQ(plug.recorder.WaitFor(2).size(), 2u);
  // Long past the re-enumeration time the plug is still gone and said nothing more.
  Sleep(50);
  EXPECT_EQ(plug.recorder.Snapshot().size(), 2u);
  EXPECT_EQ(plug.device.CountDevices(), 0);
}

TEST(SimUsb, MalformedDescriptorSetsAreRefusedByTheDevice) {
  std::vector<std::u16string> captions;
  SetMessageBoxHandler([&](void*, std::u16string_view, std::u16string_view caption, uint32_t) {
    captions.emplace_back(caption);
    return IDOK;
  });
  const char* const options[] = {"bad-config", "bad-bos", "bad-config,speed=high"};
  for (const char* text : options) {
    Plug plug(text, false);
    EXPECT_FALSE(plug.device.Open(0)) << text;
  }
  SetMessageBoxHandler(nullptr);
  EXPECT_EQ(captions,
            (std::vector<std::u16string>{u"Wrong Device Configuration", u"Wrong BOS Descriptor",
                                         u"Wrong Device Configuration"}));
}

TEST(SimUsb, MonitorReadsTheDisplayWhileAnEngineMovesData) {
  Plug plug("rate=unlimited");
  UsbEndpoint* display = FindEndpoint(plug.device, PLUG_DISPLAY_ENDPOINT);
  ASSERT_NE(display, nullptr);
  display->TimeoutMs = 50;
  std::atomic<bool> done{false};
  std::atomic<int> images{0}, badImages{0};
  std::thread monitor([&] {
    uint8_t image[PLUG_DISPLAY_BYTES];
    while (!done.load()) {
      int32_t length = PLUG_DISPLAY_BYTES;
      const bool good = display->TransferSync(image, length) && length == 1024 && (image[0] & 0x80);
      (good ? images : badImages).fetch_add(1);
    }
  });
  std::thread control([&] {
    UsbDevice other(nullptr, PLUG_INTERFACE_CLASS, false);
    ASSERT_TRUE(other.Open(0));  // a second handle on the same plug
    while (!done.load()) {
      char info[32] = {};
      VendorRequest(other, PLUG_CMD_INFO, true, info, 31);
      VendorRequest(other, PLUG_CMD_LED_STEP1, false, nullptr, 0);
    }
  });
  int intact = 0;
  for (uint32_t loop = 1; loop <= 200; ++loop) intact += RunLoop(plug.device, loop).Intact;
  done.store(true);
  monitor.join();
  control.join();
  EXPECT_EQ(intact, 200);
  EXPECT_GT(images.load(), 0);
  EXPECT_EQ(badImages.load(), 0);
}

TEST(SimUsb, DeviceObjectsOpeningAndClosingBesideEachOtherKeepTheirRequests) {
  // Discovery beside the monitor and an engine: several device objects on one plug,
  // opened and closed at will, each reading the display at the plug's own pace.
  Plug plug("rate=1000", false);
  constexpr int kObjects = 8;
  constexpr int kRounds = 40;
  std::atomic<int> failed{0}, cancelled{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kObjects; ++t) {
    threads.emplace_back([&] {
      UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, false);
      uint8_t image[PLUG_DISPLAY_BYTES];
      for (int round = 0; round < kRounds; ++round) {
        if (!device.Open(0)) {
          failed.fetch_add(1);
          continue;
        }
        UsbEndpoint* display = FindEndpoint(device, PLUG_DISPLAY_ENDPOINT);
        for (int read = 0; display != nullptr && read < 3; ++read) {
          int32_t length = PLUG_DISPLAY_BYTES;
          if (!display->TransferSync(image, length)) {
            failed.fetch_add(1);
            if (display->NtStatus.load() == NTSTATUS_CANCELLED) cancelled.fetch_add(1);
          }
        }
        device.CloseDevice();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(cancelled.load(), 0);
  EXPECT_EQ(failed.load(), 0);
}

}  // namespace
