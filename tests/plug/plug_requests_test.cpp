#include "plug/plug_requests.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engines/log_capture.h"
#include "platform/message_box.h"
#include "plug/plug_selection.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::vector<uint8_t> Bytes(const PlugConfigBlock& block) {
  return std::vector<uint8_t>(block.begin(), block.end());
}

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

TEST(PlugConfigBlockTest, SuperSpeedBulkRead) {
  EXPECT_THAT(Bytes(BuildPlugConfigBlock(Benchmark(3, 2, 1, 16, 3))),
              ElementsAre(0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00, 0x03, 0x00, 0xC0, 0x03, 0x02,
                          0x00, 0xC0));
}

TEST(PlugConfigBlockTest, BothDirectionsHalveTheBulkBuffer) {
  for (uint32_t mode : {0u, 3u}) {
    EXPECT_THAT(Bytes(BuildPlugConfigBlock(Benchmark(3, 2, mode, 12, 3))),
                ElementsAre(0x03, 0x02, 0x01, 0x01, 0x0C, 0x01, 0x00, 0x03, 0x00, 0x90, 0x03, 0x02,
                            0x00, 0x60))
        << "mode " << mode;
  }
  EXPECT_EQ(BuildPlugConfigBlock(Benchmark(3, 2, 2, 16, 3))[0], 0x02);
}

TEST(PlugConfigBlockTest, HighAndFullSpeedUseTheirPacketSizes) {
  // High-speed bulk: 512-byte packets.
  EXPECT_THAT(Bytes(BuildPlugConfigBlock(Benchmark(2, 2, 2, 1, 3))),
              ElementsAre(0x02, 0x02, 0x01, 0x01, 0x01, 0x01, 0x00, 0x03, 0x00, 0x06, 0x02, 0x02,
                          0x00, 0xC0));
  // High-speed isochronous: 1024-byte packets; the buffer is one service interval.
  EXPECT_THAT(Bytes(BuildPlugConfigBlock(Benchmark(2, 1, 1, 1, 3))),
              ElementsAre(0x01, 0x01, 0x03, 0x03, 0x01, 0x01, 0x00, 0x03, 0x00, 0x0C, 0x02, 0x02,
                          0x00, 0x0C));
  // Full-speed isochronous: 64-byte packets.
  EXPECT_THAT(Bytes(BuildPlugConfigBlock(Benchmark(1, 1, 2, 1, 1))),
              ElementsAre(0x02, 0x01, 0x03, 0x03, 0x01, 0x01, 0x00, 0x01, 0x40, 0x00, 0x01, 0x02,
                          0x40, 0x00));
  // Full-speed bulk.
  EXPECT_THAT(Bytes(BuildPlugConfigBlock(Benchmark(1, 2, 1, 1, 1))),
              ElementsAre(0x01, 0x02, 0x01, 0x01, 0x01, 0x01, 0x00, 0x01, 0x40, 0x00, 0x01, 0x02,
                          0x00, 0xC0));
}

TEST(PlugConfigBlockTest, SuperSpeedIsochronousCarriesEveryField) {
  TestConfigRecord config = Benchmark(3, 1, 2, 8, 2);
  config.InEndpointNumber = 3;
  config.OutEndpointNumber = 4;
  config.PollingInterval = 5;
  // 2 x 8 x 1024 = 16384 = 0x4000
  EXPECT_THAT(Bytes(BuildPlugConfigBlock(config)),
              ElementsAre(0x02, 0x01, 0x03, 0x04, 0x08, 0x05, 0x00, 0x02, 0x00, 0x40, 0x03, 0x02,
                          0x00, 0x40));
}

TEST(PlugConfigBlockTest, LoopbackAlwaysSendsBurstOneAnd64SmallBuffers) {
  TestConfigRecord config;  // defaults: SuperSpeed loopback, burst 16, 3 packets
  config.BenchmarkMode = 0;
  // Offset 8 still uses the burst field as it stands.
  EXPECT_THAT(Bytes(BuildPlugConfigBlock(config)),
              ElementsAre(0x00, 0x02, 0x01, 0x01, 0x01, 0x01, 0x00, 0x03, 0x00, 0xC0, 0x03, 0x40,
                          0x00, 0x04));
  config.ConnectionType = 2;
  config.BurstLength = 1;
  EXPECT_THAT(Bytes(BuildPlugConfigBlock(config)),
              ElementsAre(0x00, 0x02, 0x01, 0x01, 0x01, 0x01, 0x00, 0x03, 0x00, 0x06, 0x02, 0x40,
                          0x00, 0x04));
}

TEST(PlugConfigBlockTest, BytesPerIntervalIsKeptTo16Bits) {
  // 3 x 32 x 1024 = 98304 = 0x18000
  const PlugConfigBlock block = BuildPlugConfigBlock(Benchmark(3, 1, 1, 32, 3));
  EXPECT_EQ(block[8], 0x00);
  EXPECT_EQ(block[9], 0x80);
  EXPECT_EQ(block[12], 0x00);
  EXPECT_EQ(block[13], 0x80);
}

PlugInfoBuffer Info(const std::string& text) {
  PlugInfoBuffer buffer{};
  std::memcpy(buffer.data(), text.data(), std::min(text.size(), buffer.size()));
  return buffer;
}

TEST(PlugInfoTest, FirmwareNumberFromTheTwoDigits) {
  EXPECT_EQ(ParseFirmwareNumber("FW Version V2.1 HW Version 1.0"), 21);
  EXPECT_EQ(ParseFirmwareNumber("ZED FW Version V2_3"), 23);
  EXPECT_EQ(ParseFirmwareNumber("FW Version V9.9"), 99);
  EXPECT_EQ(ParseFirmwareNumber("FW Version 2.1"), std::nullopt);
  EXPECT_EQ(ParseFirmwareNumber("HW Version V1.0"), std::nullopt);
  EXPECT_EQ(ParseFirmwareNumber(""), std::nullopt);
  // Cut short or not digits: unknown, treated as the oldest.
  EXPECT_EQ(ParseFirmwareNumber("FW Version V2."), 0);
  EXPECT_EQ(ParseFirmwareNumber("FW Version V"), 0);
  EXPECT_EQ(ParseFirmwareNumber("FW Version Vx.y"), 0);
}

TEST(PlugInfoTest, TextEndsAtTheTerminatorOrAfter31Bytes) {
  EXPECT_EQ(PlugInfoText(Info("FW Version V2.2")), "FW Version V2.2");
  PlugInfoBuffer full;
  full.fill('A');  // even a stray last byte is never part of the text
  EXPECT_EQ(PlugInfoText(full), std::string(31, 'A'));
  EXPECT_EQ(PlugInfoText(PlugInfoBuffer{}), "");
}

TEST(PlugInfoTest, VersionTagAtTheVeryEndOfTheBufferReadsNothingBeyondIt) {
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
  LogCapture log_;
  std::vector<std::string> boxes_;
};

TEST_F(PlugInfoCheckTest, OldFirmwareIsUsedWithAWarning) {
  EXPECT_TRUE(CheckPlugInfo(Info("FW Version V2.1 HW Version 3")));
  EXPECT_EQ(FirmwareNumber, 21);
  const auto records = log_.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "Plug Info: FW Version V2.1 HW Version 3");
  EXPECT_EQ(records[0].category, LogCategory::Information);
  EXPECT_EQ(records[1].text, "Firmware is old, please update to the latest firmware");
  EXPECT_EQ(records[1].category, LogCategory::Error);
  EXPECT_THAT(boxes_, IsEmpty());
}

TEST_F(PlugInfoCheckTest, CurrentFirmwareGetsNoWarning) {
  EXPECT_TRUE(CheckPlugInfo(Info("FW Version V2.2 HW Version 3")));
  EXPECT_EQ(FirmwareNumber, 22);
  EXPECT_THAT(log_.Texts(), ElementsAre("Plug Info: FW Version V2.2 HW Version 3"));
}

TEST_F(PlugInfoCheckTest, MissingVersionRefusesThePlug) {
  FirmwareNumber = 23;
  EXPECT_FALSE(CheckPlugInfo(Info("HW Version 3")));
  EXPECT_THAT(boxes_,
              ElementsAre("Firmware is not compatible, please update the firmware | Error"));
  EXPECT_THAT(log_.Texts(), IsEmpty());
  EXPECT_EQ(FirmwareNumber, 23);
  // A zeroed buffer (what a failed read leaves) fails the same way.
  EXPECT_FALSE(CheckPlugInfo(PlugInfoBuffer{}));
  EXPECT_EQ(boxes_.size(), 2u);
}

TEST_F(PlugInfoCheckTest, VersionWithoutTheVLeavesTheNumberAlone) {
  FirmwareNumber = 23;
  EXPECT_TRUE(CheckPlugInfo(Info("FW Version 2.1")));
  EXPECT_EQ(FirmwareNumber, 23);
  EXPECT_THAT(log_.Texts(), ElementsAre("Plug Info: FW Version 2.1"));
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
  EXPECT_THAT(SpeedList(4), IsEmpty());
  EXPECT_THAT(SpeedList(0xFFFFFFFF), IsEmpty());
}

}  // namespace
