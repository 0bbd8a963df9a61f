#include "engines/test_stats.h"

#include <gtest/gtest.h>

#include "engines/test_config.h"
#include "platform/text.h"

namespace {

class StatsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetConfigDefaults(); }
  void TearDown() override { SetConfigDefaults(); }
};

std::string Duration(int64_t seconds) {
  std::u16string text = u"stale";
  FormatDuration(seconds, text);
  return Utf16ToUtf8(text);
}

TEST_F(StatsTest, DurationSplitsHoursMinutesAndSeconds) {
  EXPECT_EQ(Duration(3725), "Duration: 001h 02m 05s");
  EXPECT_EQ(Duration(0), "Duration: 000h 00m 00s");
  EXPECT_EQ(Duration(59), "Duration: 000h 00m 59s");
  EXPECT_EQ(Duration(3599), "Duration: 000h 59m 59s");
  EXPECT_EQ(Duration(1000LL * 3600), "Duration: 1000h 00m 00s");
  EXPECT_EQ(Duration(123456LL * 3600 + 61), "Duration: 123456h 01m 01s");
  EXPECT_EQ(Duration(-5), "Duration: 000h 00m 00s");
}

TEST_F(StatsTest, DeviceLabelNamesTheConfiguredSpeed) {
  std::u16string label;
  FormatDeviceLabel(label, 0);
  EXPECT_EQ(Utf16ToUtf8(label), "Device: Plug-0 (SuperSpeed 5Gb/s)");
  TestConfig.ConnectionType = 2;
  FormatDeviceLabel(label, 3);
  EXPECT_EQ(Utf16ToUtf8(label), "Device: Plug-3 (HighSpeed 480Mb/s)");
  TestConfig.ConnectionType = 1;
  FormatDeviceLabel(label, 12);
  EXPECT_EQ(Utf16ToUtf8(label), "Device: Plug-12 (FullSpeed 12Mb/s)");
  TestConfig.ConnectionType = 0;
  FormatDeviceLabel(label, 1);
  EXPECT_EQ(Utf16ToUtf8(label), "Device: Plug-1");
  TestConfig.ConnectionType = 4;
  FormatDeviceLabel(label, 1);
  EXPECT_EQ(Utf16ToUtf8(label), "Device: Plug-1");
}

TEST_F(StatsTest, BulkRatesAreFixedPerSpeed) {
  TestConfig.EndpointType = 2;
  TestConfig.ConnectionType = 3;
  EXPECT_FLOAT_EQ(MaxTheoreticalRate(), 3880.0f);
  TestConfig.ConnectionType = 2;
  EXPECT_FLOAT_EQ(MaxTheoreticalRate(), 425.984f);
  TestConfig.ConnectionType = 1;
  EXPECT_FLOAT_EQ(MaxTheoreticalRate(), 9.216f);
  TestConfig.ConnectionType = 7;
  EXPECT_EQ(MaxTheoreticalRate(), 0.0f);
}

TEST_F(StatsTest, IsochronousRateFollowsBurstPacketsAndInterval) {
  TestConfig.EndpointType = 1;
  TestConfig.ConnectionType = 3;
  TestConfig.BurstLength = 16;
  TestConfig.IsoPacketsPerInterval = 3;
  TestConfig.PollingInterval = 1;
  EXPECT_FLOAT_EQ(MaxTheoreticalRate(), 3000.0f);

  TestConfig.ConnectionType = 2;
  TestConfig.BurstLength = 1;
  TestConfig.IsoPacketsPerInterval = 1;
  TestConfig.PollingInterval = 4;  // 8 microframes = 1 ms
  EXPECT_FLOAT_EQ(MaxTheoreticalRate(), 7.8125f);

  // Full speed counts whole frames: 64 bytes every 2 ms.
  TestConfig.ConnectionType = 1;
  TestConfig.PollingInterval = 2;
  EXPECT_FLOAT_EQ(MaxTheoreticalRate(), 64.0f / 2.0f * 1000.0f * 8.0f / 1048576.0f);

  // An interval of 0 never divides by zero.
  TestConfig.PollingInterval = 0;
  EXPECT_FLOAT_EQ(MaxTheoreticalRate(), 64.0f * 1000.0f * 8.0f / 1048576.0f);
}

TEST_F(StatsTest, BytesPerIntervalIsKeptTo16Bits) {
  TestConfig.EndpointType = 1;
  TestConfig.ConnectionType = 3;
  TestConfig.BurstLength = 32;  // 32 x 3 x 1024 = 98304, wraps to 32768
  TestConfig.IsoPacketsPerInterval = 3;
  EXPECT_FLOAT_EQ(MaxTheoreticalRate(), 32768.0f / 125.0f * 1000000.0f * 8.0f / 1048576.0f);
}

TEST_F(StatsTest, UnitsAndTimeConversion) {
  // One Mb/s is 131072 bytes per second.
  EXPECT_DOUBLE_EQ(RateMbps(131072.0, 1000000.0), 1.0);
  EXPECT_DOUBLE_EQ(RateMbps(131072.0, 500000.0), 2.0);
  EXPECT_EQ(RateMbps(131072.0, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(MegabytesPerSecond(8.0), 1.0);
  // Nanosecond ticks and a 10 MHz counter give the same microseconds.
  EXPECT_DOUBLE_EQ(TicksToMicroseconds(2500000000LL, 1000000000LL), 2500000.0);
  EXPECT_DOUBLE_EQ(TicksToMicroseconds(25000000LL, 10000000LL), 2500000.0);
  EXPECT_DOUBLE_EQ(TicksToMicroseconds(3, 3000000LL), 1.0);
}

TEST_F(StatsTest, RateLinesHaveOneShape) {
  EXPECT_EQ(Utf16ToUtf8(FormatRateLine(u"Read block 3: ", 3880.0)),
            "Read block 3: 3880.0 Mb/s (485.0 MB/s)");
  EXPECT_EQ(Utf16ToUtf8(FormatRateLine(u"", 1.0)), "1.0 Mb/s (0.1 MB/s)");
  EXPECT_EQ(Utf16ToUtf8(FormatRateLine(u"x ", 7.8125)), "x 7.8 Mb/s (1.0 MB/s)");
}

}  // namespace
