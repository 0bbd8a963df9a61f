#include "engines/statistics.h"

#include <gtest/gtest.h>

#include "engines/configuration.h"
#include "platform/text.h"

namespace {

class StatsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetTestConfig(); }
  void TearDown() override { ResetTestConfig(); }
};

std::string Duration(int64_t seconds) {
  std::u16string text = u"stale";
  FormatDuration(seconds, text);
  return Utf16ToUtf8(text);
}

TEST_F(StatsTest, DurationSplitsHoursMinutesAndSeconds) {
  EXPECT_EQ(Duration(3725), "Duration: 001h 02m 05s");
  EXPECT_EQ(Duration(123456LL * 3600 + 61), "Duration: 123456h 01m 01s");
  EXPECT_EQ(Duration(-5), "Duration: 000h 00m 00s");
}

TEST_F(StatsTest, DeviceLabelNamesTheConfiguredSpeed) {
  const struct {
    uint32_t connectionType;
    uint32_t plug;
    const char* label;
  } cases[] = {{3, 0, "Device: Plug-0 (SuperSpeed 5Gb/s)"},
               {2, 3, "Device: Plug-3 (HighSpeed 480Mb/s)"},
               {1, 12, "Device: Plug-12 (FullSpeed 12Mb/s)"},
               {0, 1, "Device: Plug-1"},
               {4, 1, "Device: Plug-1"}};
  for (const auto& c : cases) {
    TestConfig.ConnectionType = c.connectionType;
    std::u16string label = u"stale";
    FormatDeviceLabel(label, c.plug);
    EXPECT_EQ(Utf16ToUtf8(label), c.label);
  }
}

TEST_F(StatsTest, MaxTheoreticalRateIsFixedForBulkAndFollowsTheIsoSettings) {
  const struct {
    uint32_t endpointType, connectionType;
    uint8_t burst, isoPackets, interval;
    float rate;
  } cases[] = {
      {2, 3, 16, 3, 1, 3880.0f},
      {2, 2, 16, 3, 1, 425.984f},
      {2, 1, 16, 3, 1, 9.216f},
      {2, 7, 16, 3, 1, 0.0f},
      {1, 3, 16, 3, 1, 3000.0f},
      {1, 3, 32, 3, 1, 2000.0f},      // 32 x 3 x 1024 bytes per interval kept to 16 bits: 32768
      {1, 2, 1, 1, 4, 7.8125f},       // 8 microframes = 1 ms
      {1, 1, 1, 1, 2, 0.244140625f},  // full speed counts whole frames: 64 bytes every 2 ms
      {1, 1, 1, 1, 0, 0.48828125f},   // an interval of 0 never divides by zero
  };
  for (const auto& c : cases) {
    TestConfig.EndpointType = c.endpointType;
    TestConfig.ConnectionType = c.connectionType;
    TestConfig.BurstLength = c.burst;
    TestConfig.IsoPacketsPerInterval = c.isoPackets;
    TestConfig.PollingInterval = c.interval;
    EXPECT_FLOAT_EQ(MaxTheoreticalRate(), c.rate) << c.endpointType << " " << c.connectionType;
  }
}

TEST_F(StatsTest, RatesAndTheirLines) {
  // One Mb/s is 131072 bytes per second; no time is no rate.
  EXPECT_DOUBLE_EQ(RateMbps(131072.0, 1000000.0), 1.0);
  EXPECT_EQ(RateMbps(131072.0, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(TicksToMicroseconds(25000000LL, 10000000LL), 2500000.0);
  EXPECT_EQ(Utf16ToUtf8(FormatRateLine(u"Read block 3: ", 3880.0)),
            "Read block 3: 3880.0 Mb/s (485.0 MB/s)");
  EXPECT_EQ(Utf16ToUtf8(FormatRateLine(u"x ", 7.8125)), "x 7.8 Mb/s (1.0 MB/s)");
}

}  // namespace
