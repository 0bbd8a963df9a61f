#include "gadget/plug_gadget.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "gadget/fake_ffs.h"
#include "protocol/byte_order.h"
#include "protocol/info_string.h"
#include "protocol/plug_commands.h"

namespace {

constexpr uint8_t kVendorIn = 0xC0, kVendorOut = 0x40;

// The transport on a fake kernel, served on a thread of its own.
class Served {
 public:
  explicit Served(GadgetFaults faults = {}, uint8_t portSpeed = SPEED_SUPER)
      : bus_(files), gadget_(Identity(portSpeed), files, bus_, faults, Logger(), true) {
    thread_ = std::thread([this] { ok_ = gadget_.Run(&error_); });
  }
  ~Served() {
    gadget_.Stop();
    thread_.join();
    EXPECT_TRUE(ok_) << error_;
  }
  PlugGadget& Gadget() { return gadget_; }
  std::vector<std::string> Lines() {
    std::lock_guard lock(linesLock_);
    return lines_;
  }
  FakeFfs files;

 private:
  static PlugIdentity Identity(uint8_t speed) {
    PlugIdentity id;
    id.Serial = "G0001";
    id.PortSpeed = speed;
    return id;
  }
  GadgetLog Logger() {
    return [this](const std::string& line) {
      std::lock_guard lock(linesLock_);
      lines_.push_back(line);
    };
  }
  FakeBus bus_;
  std::mutex linesLock_;
  std::vector<std::string> lines_;
  PlugGadget gadget_;
  std::thread thread_;
  bool ok_ = false;
  std::string error_;
};

std::string Reply(const uint8_t* bytes, size_t length) {
  std::string hex = "reply";
  for (size_t i = 0; i < length; ++i) {
    char digits[4];
    std::snprintf(digits, sizeof digits, " %02x", bytes[i]);
    hex += digits;
  }
  return hex;
}

TEST(PlugGadget, DescriptorsGoOutBeforeBindingAndVendorRequestsReachTheModel) {
  Served s;
  ASSERT_TRUE(s.files.WaitFor([&] { return s.files.LogContains("attach 3"); }));
  const auto log = s.files.Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "descriptors");
  EXPECT_EQ(log[1], "strings");
  EXPECT_EQ(log[2], "attach 3");

  s.files.PushEvent(FfsEventType::Setup, {kVendorIn, PLUG_REQUEST_CODE, PLUG_CMD_INFO, 0, 31});
  uint8_t info[PLUG_INFO_LENGTH] = {};
  const std::string text = PlugFirmwareField(23) + " " + PlugHardwareField(PLUG_HARDWARE_VERSION);
  std::memcpy(info, text.data(), text.size());
  EXPECT_TRUE(s.files.WaitFor([&] { return s.files.LogContains(Reply(info, sizeof info)); }));
  uint8_t speed[4];
  PutLe32(speed, SPEED_SUPER);
  s.files.PushEvent(FfsEventType::Setup, {kVendorIn, PLUG_REQUEST_CODE, PLUG_CMD_SPEED, 0, 4});
  EXPECT_TRUE(s.files.WaitFor([&] { return s.files.LogContains(Reply(speed, 4)); }));
  // Unknown commands stall; a zero-length OUT command gets its status stage.
  s.files.PushEvent(FfsEventType::Setup, {kVendorIn, PLUG_REQUEST_CODE, 0x1234, 0, 4});
  EXPECT_TRUE(s.files.WaitFor([&] { return s.files.LogContains("stall"); }));
  s.files.PushEvent(FfsEventType::Setup, {kVendorOut, PLUG_REQUEST_CODE, PLUG_CMD_LED_STEP1, 0, 0});
  EXPECT_TRUE(s.files.WaitFor([&] { return s.files.LogContains("ack"); }));
}

TEST(PlugGadget, ConfigurationRequestRebindsWithTheNewLayoutAndSpeed) {
  Served s;
  ASSERT_TRUE(s.files.WaitFor([&] { return s.Gadget().Attachments() == 1; }));
  PlugConfig config;
  config.DataFlow = FLOW_PLUG_SENDS;
  config.InNumber = 3;
  config.ConnectionType = SPEED_HIGH;
  const PlugConfigBlock block = EncodePlugConfig(config);
  s.files.PushEvent(FfsEventType::Setup,
                    {kVendorOut, PLUG_REQUEST_CODE, PLUG_CMD_CONFIG, 0, PLUG_CONFIG_BLOCK_SIZE},
                    std::vector<uint8_t>(block.begin(), block.end()));
  ASSERT_TRUE(s.files.WaitFor([&] { return s.Gadget().Attachments() == 2; }));
  const auto log = s.files.Log();
  const std::vector<std::string> tail(log.end() - 4, log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"detach", "descriptors", "strings", "attach 2"}));
  // The new block describes the benchmark source on 0x83 beside the display.
  const auto blocks = s.files.DescriptorBlocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_NE(blocks[0], blocks[1]);
  PlugIdentity id;
  id.Serial = "G0001";
  PlugModel expected(id);
  SetupPacket setup{kVendorOut, PLUG_REQUEST_CODE, PLUG_CMD_CONFIG, 0, PLUG_CONFIG_BLOCK_SIZE};
  PlugConfigBlock copy = block;
  expected.HandleSetup(setup, copy.data());
  expected.LeaveBus();
  expected.ReturnToBus();
  EXPECT_EQ(blocks[1], BuildFfsDescriptors(expected.InterfaceDescriptorsForEverySpeed()));
}

TEST(PlugGadget, LoopbackDataComesBackWithItsShortEnd) {
  Served s;
  ASSERT_TRUE(s.files.WaitFor([&] { return s.Gadget().Attachments() == 1; }));
  std::vector<uint8_t> block(65536), tail(1000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13);
  for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<uint8_t>(i + 7);
  s.files.HostSend(0x01, block);
  s.files.HostSend(0x01, tail);
  std::vector<uint8_t> received;
  ASSERT_TRUE(s.files.WaitFor([&] {
    received.clear();
    for (const auto& chunk : s.files.HostReceived(0x81)) {
      received.insert(received.end(), chunk.begin(), chunk.end());
    }
    return received.size() >= block.size() + tail.size();
  }));
  std::vector<uint8_t> sent = block;
  sent.insert(sent.end(), tail.begin(), tail.end());
  EXPECT_EQ(received, sent);
  // The 1000-byte transfer ends in a short packet of its own.
  EXPECT_EQ(s.files.HostReceived(0x81).back().size(), 1000u);
}

TEST(PlugGadget, InjectedReadErrorStallsEveryNthInTransferAndDropsItsBlock) {
  GadgetFaults faults;
  faults.ReadErrorEvery = 2;
  Served s(faults);
  ASSERT_TRUE(s.files.WaitFor([&] { return s.Gadget().Attachments() == 1; }));
  for (uint8_t n = 1; n <= 3; ++n) {
    s.files.HostSend(0x01, std::vector<uint8_t>(100, n));
    // One transfer at a time, as the loopback test runs.
    ASSERT_TRUE(s.files.WaitFor([&] {
      return s.files.HostReceived(0x81).size() + (s.files.LogContains("halt ep2") ? 1 : 0) == n;
    }));
  }
  const auto received = s.files.HostReceived(0x81);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], std::vector<uint8_t>(100, 1));
  EXPECT_EQ(received[1], std::vector<uint8_t>(100, 3));
}

TEST(PlugGadget, EndpointNumbersTheControllerCannotGiveAreReported) {
  Served s;
  s.files.GiveAddress(PLUG_DISPLAY_ENDPOINT, 0x86);
  ASSERT_TRUE(s.files.WaitFor([&] { return s.Gadget().Attachments() == 1; }));
  s.files.PushEvent(FfsEventType::Enable);
  ASSERT_TRUE(s.files.WaitFor([&] { return !s.Gadget().Mismatches().empty(); }));
  const auto wrong = s.Gadget().Mismatches();
  ASSERT_EQ(wrong.size(), 1u);
  EXPECT_EQ(wrong[0].Wanted, PLUG_DISPLAY_ENDPOINT);
  EXPECT_EQ(wrong[0].Given, 0x86);
  EXPECT_EQ(wrong[0].Role, EndpointRole::Display);
  bool warned = false;
  for (const std::string& line : s.Lines()) {
    warned |= line.find("WARNING") != std::string::npos && line.find("0x87") != std::string::npos &&
              line.find("0x86") != std::string::npos;
  }
  EXPECT_TRUE(warned);
}

}  // namespace
