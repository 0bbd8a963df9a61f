#include "plug/plug_requests.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "engines/log_capture.h"
#include "platform/message_box.h"
#include "plug/plug_selection.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

TestConfigRecord Benchmark(uint32_t speed, uint32_t type, uint32_t mode, uint8_t burst,
                           uint8_t packets) {
  TestConfigRecord config;
  config.TestMode = TestConfigRecord::Benchmark;
  config.ConnectionType = speed;
  config.EndpointType = type;
  config.BenchmarkMode = mode;
  config.BurstLength = burst;
  config.IsoPacketsPerInterval = packets;
  if (type == TestConfigRecord::Isochronous) config.InEndpointNumber = config.OutEndpointNumber = 3;
  return config;
}

TEST(PlugConfigBlockTest, BytesForLoopbackAndEverySpeedAndEndpointType) {
  TestConfigRecord loopback;  // defaults: SuperSpeed loopback, burst 16, 3 packets
  loopback.BenchmarkMode = 0;
  TestConfigRecord highLoopback = loopback;
  highLoopback.ConnectionType = 2;
  highLoopback.BurstLength = 1;
  TestConfigRecord superIso = Benchmark(3, 1, 2, 8, 2);
  superIso.OutEndpointNumber = 4;
  superIso.PollingInterval = 5;
  const struct {
    TestConfigRecord config;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {Benchmark(3, 2, 1, 16, 3), {1, 2, 1, 1, 0x10, 1, 0, 3, 0, 0xC0, 3, 2, 0, 0xC0}},
      // Both directions halve the bulk buffer.
      {Benchmark(3, 2, 0, 12, 3), {3, 2, 1, 1, 0x0C, 1, 0, 3, 0, 0x90, 3, 2, 0, 0x60}},
      {Benchmark(3, 2, 3, 12, 3), {3, 2, 1, 1, 0x0C, 1, 0, 3, 0, 0x90, 3, 2, 0, 0x60}},
      // 2 x 8 x 1024 = 0x4000 per interval; 3 x 32 x 1024 is kept to 16 bits.
      {superIso, {2, 1, 3, 4, 8, 5, 0, 2, 0, 0x40, 3, 2, 0, 0x40}},
      {Benchmark(3, 1, 1, 32, 3), {1, 1, 3, 3, 0x20, 1, 0, 3, 0, 0x80, 3, 2, 0, 0x80}},
      // High speed: 512-byte bulk and 1024-byte iso packets, one service interval of buffer.
      {Benchmark(2, 2, 2, 1, 3), {2, 2, 1, 1, 1, 1, 0, 3, 0, 6, 2, 2, 0, 0xC0}},
      {Benchmark(2, 1, 1, 1, 3), {1, 1, 3, 3, 1, 1, 0, 3, 0, 0x0C, 2, 2, 0, 0x0C}},
      // Full speed: 64-byte packets.
      {Benchmark(1, 1, 2, 1, 1), {2, 1, 3, 3, 1, 1, 0, 1, 0x40, 0, 1, 2, 0x40, 0}},
      {Benchmark(1, 2, 1, 1, 1), {1, 2, 1, 1, 1, 1, 0, 1, 0x40, 0, 1, 2, 0, 0xC0}},
      // Loopback sends burst 1 and 64 small buffers; offset 8 still uses the burst field.
      {loopback, {0, 2, 1, 1, 1, 1, 0, 3, 0, 0xC0, 3, 0x40, 0, 4}},
      {highLoopback, {0, 2, 1, 1, 1, 1, 0, 3, 0, 6, 2, 0x40, 0, 4}},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_THAT(BuildPlugConfigBlock(cases[i].config), ElementsAreArray(cases[i].bytes))
        << "case " << i;
}

PlugInfoBuffer Info(const std::string& text) {
  PlugInfoBuffer buffer{};
  std::memcpy(buffer.data(), text.data(), std::min(text.size(), buffer.size()));
  return buffer;
}

TEST(PlugInfoTest, FirmwareNumberFromTheTwoDigits) {
  EXPECT_EQ(ParseFirmwareNumber("FW Version V2.1 HW Version 1.0"), 21);
  EXPECT_EQ(ParseFirmwareNumber("ZED FW Version V2_3"), 23);
  EXPECT_EQ(ParseFirmwareNumber("FW Version 2.1"), std::nullopt);
  EXPECT_EQ(ParseFirmwareNumber("HW Version V1.0"), std::nullopt);
  EXPECT_EQ(ParseFirmwareNumber(""), std::nullopt);
  // Cut short or not digits: unknown, treated as the oldest.
  EXPECT_EQ(ParseFirmwareNumber("FW Version V2."), 0);
  EXPECT_EQ(ParseFirmwareNumber("FW Version V"), 0);
  EXPECT_EQ(ParseFirmwareNumber("FW Version Vx.y"), 0);
}

TEST(PlugInfoTest, TextEndsAtTheTerminatorOrAfter31BytesAndATagAtTheEndReadsNothingBeyond) {
  EXPECT_EQ(PlugInfoText(Info("FW Version V2.2")), "FW Version V2.2");
  EXPECT_EQ(PlugInfoText(PlugInfoBuffer{}), "");
  // 19 characters, then the 12-character tag filling the buffer to its 31st byte.
  PlugInfoBuffer buffer = Info(std::string(19, 'x') + "FW Version V");
  buffer[31] = '2';  // past the text: must not be taken as a digit
  const std::string_view text = PlugInfoText(buffer);
  ASSERT_EQ(text.size(), 31u);
  EXPECT_TRUE(HasFirmwareVersion(text));
  EXPECT_EQ(ParseFirmwareNumber(text), 0);
  // Only the major digit fits.
  EXPECT_EQ(ParseFirmwareNumber(PlugInfoText(Info(std::string(17, 'x') + "FW Version V2."))), 0);
  // Both fit exactly.
  EXPECT_EQ(ParseFirmwareNumber(PlugInfoText(Info(std::string(16, 'x') + "FW Version V2.4"))), 24);
}

class PlugInfoCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetPlugSelection();
    SetMessageBoxHandler(
        [this](void*, std::u16string_view text, std::u16string_view caption, uint32_t) {
          boxes_.push_back(Utf16ToUtf8(text) + " | " + Utf16ToUtf8(caption));
          return IDOK;
        });
  }
  void TearDown() override {
    SetMessageBoxHandler(nullptr);
    ResetPlugSelection();
  }
  std::vector<std::string> boxes_;
};

TEST_F(PlugInfoCheckTest, LogsTheInfoWarnsOfOldFirmwareAndRefusesAMissingVersion) {
  const std::string info = "0 Plug Info: ";
  const std::string old = "3 Firmware is old, please update to the latest firmware";
  const std::string refused = "Firmware is not compatible, please update the firmware | Error";
  const struct {
    PlugInfoBuffer buffer;
    bool accepted;
    int32_t firmware;
    std::vector<std::string> records;  // category and text
    std::vector<std::string> boxes;
  } cases[] = {
      {Info("FW Version V2.1 HW Version 3"),
       true,
       21,
       {info + "FW Version V2.1 HW Version 3", old},
       {}},
      {Info("FW Version V2.2 HW Version 3"), true, 22, {info + "FW Version V2.2 HW Version 3"}, {}},
      {Info("FW Version 2.1"), true, 23, {info + "FW Version 2.1"}, {}},  // number left alone
      {Info("HW Version 3"), false, 23, {}, {refused}},
      {PlugInfoBuffer{}, false, 23, {}, {refused}},  // what a failed read leaves
  };
  for (const auto& c : cases) {
    LogCapture log;
    boxes_.clear();
    FirmwareNumber = 23;
    EXPECT_EQ(CheckPlugInfo(c.buffer), c.accepted);
    EXPECT_EQ(FirmwareNumber, c.firmware);
    std::vector<std::string> records;
    for (const auto& r : log.Records())
      records.push_back(std::to_string(r.category) + " " + r.text);
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(boxes_, c.boxes);
  }
}

std::vector<std::string> SpeedList(uint32_t code) {
  std::vector<std::string> entries;
  for (const char16_t* entry : SpeedListEntries(code)) entries.push_back(Utf16ToUtf8(entry));
  return entries;
}

TEST(SpeedListTest, OffersEverySpeedUpToThePlugsFastest) {
  EXPECT_THAT(SpeedList(3),
              ElementsAre("SuperSpeed 5Gb/s", "HighSpeed 480Mb/s", "FullSpeed 12Mb/s"));
  EXPECT_THAT(SpeedList(2), ElementsAre("HighSpeed 480Mb/s", "FullSpeed 12Mb/s"));
  EXPECT_THAT(SpeedList(1), ElementsAre("FullSpeed 12Mb/s"));
  EXPECT_THAT(SpeedList(0), IsEmpty());
  EXPECT_THAT(SpeedList(0xFFFFFFFF), IsEmpty());
}

}  // namespace
