#include "engines/configuration.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engines/log_capture.h"
#include "platform/text.h"

namespace {

// Every field of a configuration in one line, so a whole record is one expectation.
std::string Fields(const TestConfigRecord& c) {
  return Format8(
      "speed %u test %u bench %u type %u in %d out %d burst %d interval %d reserved %d iso %d "
      "pattern %u constant %d load %d verbose %u bus %u verify %u save %u",
      c.ConnectionType, c.TestMode, c.BenchmarkMode, c.EndpointType, c.InEndpointNumber,
      c.OutEndpointNumber, c.BurstLength, c.PollingInterval, c.Reserved, c.IsoPacketsPerInterval,
      c.Pattern, c.ConstantValue, c.LoopbackLoad, c.VerboseLogging, c.CheckBusErrors, c.VerifyData,
      c.SaveLogAtEnd);
}

class TestConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override { ResetTestConfig(); }
  LogCapture log_;
};

TEST_F(TestConfigTest, DefaultsAreTheDocumentedOnesAndKeepSaveLogAtEnd) {
  TestConfig.ConnectionType = 1;
  TestConfig.BurstLength = 3;
  TestConfig.SaveLogAtEnd = 1;
  TransferSizeIndex = 2;
  TransferSize = 262144;
  QueueSize = 2;
  SetConfigDefaults();

  // SaveLogAtEnd belongs to the dialog set-up, not to the defaults.
  EXPECT_EQ(Fields(TestConfig),
            "speed 3 test 0 bench 1 type 2 in 1 out 1 burst 16 interval 1 reserved 0 iso 3 "
            "pattern 2 constant 140 load 100 verbose 0 bus 0 verify 1 save 1");
  EXPECT_EQ(TransferSizeIndex, -1);
  EXPECT_EQ(TransferSize, 2097152);
  EXPECT_EQ(QueueSizeIndex, -1);
  EXPECT_EQ(QueueSize, 64);

  // The reset is the start of the process: SaveLogAtEnd goes too.
  QueueSize = 2;
  ResetTestConfig();
  EXPECT_EQ(Fields(TestConfig), Fields(TestConfigRecord{}));
  EXPECT_EQ(TestConfig.SaveLogAtEnd, 0u);
  EXPECT_EQ(QueueSize, 64);
}

TEST_F(TestConfigTest, ConnectionTypeNamesMapBothWays) {
  EXPECT_EQ(ConnectionTypeFromName(u"SuperSpeed 5Gb/s"), 3u);
  EXPECT_EQ(ConnectionTypeFromName(u"HighSpeed 480Mb/s"), 2u);
  EXPECT_EQ(ConnectionTypeFromName(u"FullSpeed 12Mb/s"), 1u);
  EXPECT_EQ(ConnectionTypeFromName(u"SuperSpeed"), 0u);
  EXPECT_EQ(ConnectionTypeFromName(u""), 0u);
}

TEST_F(TestConfigTest, SpeedDefaultsSetBurstIntervalAndPackets) {
  const struct {
    uint32_t connectionType, testMode, benchmarkMode;
    uint8_t burst, isoPackets;
  } cases[] = {{1, 0, 1, 1, 1},  {1, 1, 0, 1, 1},  {2, 0, 1, 1, 3},
               {2, 1, 0, 1, 3},  {3, 1, 0, 12, 3}, {3, 1, 1, 16, 3},
               {3, 1, 2, 16, 3}, {3, 1, 3, 16, 3}, {3, 0, 0, 16, 3}};
  for (const auto& c : cases) {
    TestConfig.ConnectionType = c.connectionType;
    TestConfig.TestMode = c.testMode;
    TestConfig.BenchmarkMode = c.benchmarkMode;
    TestConfig.BurstLength = 7;
    TestConfig.PollingInterval = 9;
    TestConfig.IsoPacketsPerInterval = 2;
    ApplySpeedDefaults();
    EXPECT_EQ(TestConfig.BurstLength, c.burst) << c.connectionType << c.testMode << c.benchmarkMode;
    EXPECT_EQ(TestConfig.PollingInterval, 1);
    EXPECT_EQ(TestConfig.IsoPacketsPerInterval, c.isoPackets) << c.connectionType;
  }
}

TEST_F(TestConfigTest, CorrectionsRunInOrderEachWithItsRecord) {
  // Records as category and text; all three are Diagnostics (4).
  const std::string bulk = "4 Endpoint Type changed to BULK due to selecting loopback test";
  const std::string burst = "4 Burst Length changed to 1 due to selecting a HS/FS device";
  const std::string iso = "4 ISO Packets/PI changed to 1 due to selecting a HS/FS device";
  const struct {
    uint32_t testMode, endpointType, connectionType;
    std::string result;
    std::vector<std::string> records;
  } cases[] = {
      {0, 1, 1, "type 2 burst 1 iso 1", {bulk, burst, iso}},
      {1, 1, 2, "type 1 burst 1 iso 3", {burst}},  // high speed keeps three iso packets
      {0, 1, 3, "type 2 burst 16 iso 3", {bulk}},
      {1, 1, 3, "type 1 burst 16 iso 3", {}},  // a SuperSpeed iso benchmark needs nothing
  };
  for (const auto& c : cases) {
    LogCapture log;
    SetConfigDefaults();
    TestConfig.TestMode = c.testMode;
    TestConfig.EndpointType = c.endpointType;
    TestConfig.ConnectionType = c.connectionType;
    CorrectTestConfig();
    CorrectTestConfig();  // once corrected, the configuration passes again silently
    EXPECT_EQ(Format8("type %u burst %d iso %d", TestConfig.EndpointType, TestConfig.BurstLength,
                      TestConfig.IsoPacketsPerInterval),
              c.result);
    std::vector<std::string> records;
    for (const auto& r : log.Records())
      records.push_back(std::to_string(r.category) + " " + r.text);
    EXPECT_EQ(records, c.records) << c.result;
  }
}

TEST_F(TestConfigTest, DialogLimits) {
  for (uint32_t n : {0u, 7u, 16u}) EXPECT_FALSE(IsEndpointNumberOffered(n)) << n;
  for (uint32_t n : {1u, 6u, 8u, 15u}) EXPECT_TRUE(IsEndpointNumberOffered(n)) << n;

  // Burst above 1 only at SuperSpeed; 12 when both directions share the link.
  for (auto [speed, mode, burst] :
       {std::tuple{1u, 1u, 1}, {2u, 1u, 1}, {3u, 0u, 12}, {3u, 3u, 12}, {3u, 1u, 16}, {3u, 2u, 16}})
    EXPECT_EQ(MaxBurstLength(speed, mode), burst) << speed << " " << mode;
  EXPECT_EQ(MaxIsoPacketsPerInterval(1), 1);
  EXPECT_EQ(MaxIsoPacketsPerInterval(2), 3);

  EXPECT_FALSE(IsValidConstantValue(256));
  EXPECT_TRUE(IsValidConstantValue(0));
  EXPECT_FALSE(IsValidLoopbackLoad(0));
  EXPECT_TRUE(IsValidLoopbackLoad(100));
  EXPECT_FALSE(IsValidLoopbackLoad(101));

  // Isochronous endpoints: benchmark only, one direction at a time.
  EXPECT_FALSE(IsIsochronousOffered(0));
  EXPECT_TRUE(IsIsochronousOffered(1));
  EXPECT_FALSE(IsBenchmarkModeAllowed(1, 0));
  EXPECT_FALSE(IsBenchmarkModeAllowed(1, 3));
  EXPECT_TRUE(IsBenchmarkModeAllowed(1, 2));
  EXPECT_TRUE(IsBenchmarkModeAllowed(2, 3));
}

TEST_F(TestConfigTest, ChoosingIsochronousMovesEndpointsAndModeAndBulkMovesThemBack) {
  TestConfigRecord config;
  config.TestMode = 1;
  config.InEndpointNumber = 5;
  config.OutEndpointNumber = 6;
  config.BenchmarkMode = 3;
  auto select = [&config](uint32_t type) {
    SelectEndpointType(config, type);
    return Format8("type %u in %d out %d bench %u", config.EndpointType, config.InEndpointNumber,
                   config.OutEndpointNumber, config.BenchmarkMode);
  };
  EXPECT_EQ(select(1), "type 1 in 3 out 3 bench 1");
  EXPECT_EQ(select(2), "type 2 in 1 out 1 bench 1");
  // Bulk to bulk keeps the user's numbers; a write-only benchmark survives isochronous.
  config.InEndpointNumber = 4;
  EXPECT_EQ(select(2), "type 2 in 4 out 1 bench 1");
  config.BenchmarkMode = 2;
  EXPECT_EQ(select(1), "type 1 in 3 out 3 bench 2");
  config.BenchmarkMode = 0;
  EXPECT_EQ(select(1), "type 1 in 3 out 3 bench 1");
  EXPECT_EQ(TestConfig.EndpointType, 2u) << "a working copy is edited, not the global";
}

TEST_F(TestConfigTest, BurstIsLoweredToTheModesMaximum) {
  TestConfigRecord config;
  config.BurstLength = 16;
  config.BenchmarkMode = 0;
  ClampBurstLength(config);
  EXPECT_EQ(config.BurstLength, 12);
  config.BenchmarkMode = 1;
  ClampBurstLength(config);
  EXPECT_EQ(config.BurstLength, 12) << "raising is the user's choice, not the clamp's";
  config.ConnectionType = 2;
  ClampBurstLength(config);
  EXPECT_EQ(config.BurstLength, 1);
}

TEST_F(TestConfigTest, SizesFollowTheirIndexesAndFullSpeedOffers256KBAtMost) {
  PrepareBenchmarkSizes(3);  // no size chosen yet
  EXPECT_EQ(TransferSizeIndex, 5);
  EXPECT_EQ(TransferSize, 2097152);
  EXPECT_EQ(std::u16string(TransferSizeNames[5]), u"2MB");
  ResetTestConfig();  // no size chosen again
  PrepareBenchmarkSizes(1);
  EXPECT_EQ(TransferSizeIndex, 2);
  EXPECT_EQ(TransferSize, 262144);
  EXPECT_EQ(QueueSizeIndex, 6);
  EXPECT_EQ(QueueSize, 64);
  EXPECT_EQ(TransferSizeChoiceCount(1), 3);
  EXPECT_EQ(std::u16string(TransferSizeNames[TransferSizeIndex]), u"256KB");

  ASSERT_TRUE(SetTransferSizeIndex(4));
  EXPECT_EQ(TransferSize, 1048576);
  PrepareBenchmarkSizes(1);  // the same choice seen at full speed
  EXPECT_EQ(TransferSizeIndex, 2);
  EXPECT_EQ(TransferSize, 262144);
  PrepareBenchmarkSizes(2);  // an index within the list stays
  EXPECT_EQ(TransferSizeIndex, 2);

  ASSERT_TRUE(SetQueueSizeIndex(3));
  EXPECT_EQ(QueueSize, 8);
  EXPECT_EQ(std::u16string(QueueSizeNames[3]), u"8");
  EXPECT_FALSE(SetQueueSizeIndex(7));
  EXPECT_FALSE(SetTransferSizeIndex(-1));
  EXPECT_FALSE(SetTransferSizeIndex(6));
  EXPECT_EQ(QueueSize, 8);
  EXPECT_EQ(TransferSize, 262144);
}

}  // namespace

// Every field is stored, whatever fields the record gains: a record whose every byte is
// unlike the defaults must come out equal.
TEST_F(TestConfigTest, StoringTakesEveryField) {
  TestConfigRecord wanted;
  std::memset(static_cast<void*>(&wanted), 0xA5, sizeof wanted);
  StoreTestConfig(wanted);
  EXPECT_TRUE(TestConfig == wanted);
  EXPECT_TRUE(VerboseLoggingOn());
}

// The monitor thread reads the verbose flag while the window thread stores whole
// configurations; under the thread sanitizer this must show no race.
TEST_F(TestConfigTest, TheVerboseFlagIsReadWhileConfigurationsAreStored) {
  std::atomic<bool> done{false};
  std::thread monitor([&] {
    bool last = false;
    while (!done) last = VerboseLoggingOn() || last;
  });
  TestConfigRecord config;
  for (int i = 0; i < 2000; ++i) {
    config.VerboseLogging = static_cast<uint32_t>(i % 2);
    config.LoopbackLoad = static_cast<uint8_t>(1 + i % 100);
    StoreTestConfig(config);
  }
  done = true;
  monitor.join();
  EXPECT_TRUE(VerboseLoggingOn());
  EXPECT_EQ(TestConfig.LoopbackLoad, 100);
}
