#include "engines/test_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engines/log_capture.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class TestConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestConfig.SaveLogAtEnd = 0;
    SetConfigDefaults();
  }
  void TearDown() override {
    TestConfig.SaveLogAtEnd = 0;
    SetConfigDefaults();
  }
  LogCapture log_;
};

TEST_F(TestConfigTest, DefaultsAreTheDocumentedOnesAndKeepSaveLogAtEnd) {
  TestConfig.ConnectionType = 1;
  TestConfig.Pattern = 0;
  TestConfig.BurstLength = 3;
  TestConfig.VerifyData = 0;
  TestConfig.SaveLogAtEnd = 1;
  TransferSizeIndex = 2;
  TransferSize = 262144;
  QueueSizeIndex = 1;
  QueueSize = 2;

  SetConfigDefaults();

  EXPECT_EQ(TestConfig.ConnectionType, 3u);
  EXPECT_EQ(TestConfig.TestMode, 0u);
  EXPECT_EQ(TestConfig.BenchmarkMode, 1u);
  EXPECT_EQ(TestConfig.EndpointType, 2u);
  EXPECT_EQ(TestConfig.InEndpointNumber, 1);
  EXPECT_EQ(TestConfig.OutEndpointNumber, 1);
  EXPECT_EQ(TestConfig.BurstLength, 16);
  EXPECT_EQ(TestConfig.PollingInterval, 1);
  EXPECT_EQ(TestConfig.Reserved, 0);
  EXPECT_EQ(TestConfig.IsoPacketsPerInterval, 3);
  EXPECT_EQ(TestConfig.Pattern, 2u);
  EXPECT_EQ(TestConfig.ConstantValue, 140);
  EXPECT_EQ(TestConfig.LoopbackLoad, 100);
  EXPECT_EQ(TestConfig.VerboseLogging, 0u);
  EXPECT_EQ(TestConfig.CheckBusErrors, 0u);
  EXPECT_EQ(TestConfig.VerifyData, 1u);
  EXPECT_EQ(TestConfig.SaveLogAtEnd, 1u) << "owned by the dialog set-up, not the defaults";
  EXPECT_EQ(TransferSizeIndex, -1);
  EXPECT_EQ(TransferSize, 2097152);
  EXPECT_EQ(QueueSizeIndex, -1);
  EXPECT_EQ(QueueSize, 64);
}

TEST_F(TestConfigTest, ConnectionTypeNamesMapBothWays) {
  EXPECT_EQ(ConnectionTypeFromName(u"SuperSpeed 5Gb/s"), 3u);
  EXPECT_EQ(ConnectionTypeFromName(u"HighSpeed 480Mb/s"), 2u);
  EXPECT_EQ(ConnectionTypeFromName(u"FullSpeed 12Mb/s"), 1u);
  EXPECT_EQ(ConnectionTypeFromName(u"SuperSpeed"), 0u);
  EXPECT_EQ(ConnectionTypeFromName(u""), 0u);
}

struct SpeedCase {
  uint32_t connectionType;
  uint32_t testMode;
  uint32_t benchmarkMode;
  uint8_t burst;
  uint8_t isoPackets;
};

class SpeedDefaultsTest : public TestConfigTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(SpeedDefaultsTest, SetsBurstIntervalAndPackets) {
  const SpeedCase& c = GetParam();
  TestConfig.ConnectionType = c.connectionType;
  TestConfig.TestMode = c.testMode;
  TestConfig.BenchmarkMode = c.benchmarkMode;
  TestConfig.BurstLength = 7;
  TestConfig.PollingInterval = 9;
  TestConfig.IsoPacketsPerInterval = 2;

  ApplySpeedDefaults();

  EXPECT_EQ(TestConfig.BurstLength, c.burst);
  EXPECT_EQ(TestConfig.PollingInterval, 1);
  EXPECT_EQ(TestConfig.IsoPacketsPerInterval, c.isoPackets);
}

INSTANTIATE_TEST_SUITE_P(Table, SpeedDefaultsTest,
                         ::testing::Values(SpeedCase{1, 0, 1, 1, 1}, SpeedCase{1, 1, 0, 1, 1},
                                           SpeedCase{2, 0, 1, 1, 3}, SpeedCase{2, 1, 0, 1, 3},
                                           SpeedCase{3, 1, 0, 12, 3}, SpeedCase{3, 1, 1, 16, 3},
                                           SpeedCase{3, 1, 2, 16, 3}, SpeedCase{3, 1, 3, 16, 3},
                                           SpeedCase{3, 0, 0, 16, 3}));

TEST_F(TestConfigTest, CorrectionsRunInOrderEachWithItsRecord) {
  TestConfig.TestMode = 0;
  TestConfig.EndpointType = 1;
  TestConfig.ConnectionType = 1;
  TestConfig.BurstLength = 16;
  TestConfig.IsoPacketsPerInterval = 3;

  CorrectTestConfig();

  EXPECT_EQ(TestConfig.EndpointType, 2u);
  EXPECT_EQ(TestConfig.BurstLength, 1);
  EXPECT_EQ(TestConfig.IsoPacketsPerInterval, 1);
  const auto records = log_.Records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].text, "Endpoint Type changed to BULK due to selecting loopback test");
  EXPECT_EQ(records[1].text, "Burst Length changed to 1 due to selecting a HS/FS device");
  EXPECT_EQ(records[2].text, "ISO Packets/PI changed to 1 due to selecting a HS/FS device");
  for (const auto& record : records) EXPECT_EQ(record.category, LogCategory::Diagnostics);
}

TEST_F(TestConfigTest, CorrectionsLeaveAValidConfigurationSilent) {
  // A SuperSpeed isochronous benchmark needs nothing corrected.
  TestConfig.TestMode = 1;
  TestConfig.EndpointType = 1;
  CorrectTestConfig();
  EXPECT_THAT(log_.Texts(), IsEmpty());
  EXPECT_EQ(TestConfig.EndpointType, 1u);
  EXPECT_EQ(TestConfig.BurstLength, 16);

  // Once corrected, a configuration passes again without records.
  TestConfig.TestMode = 0;
  TestConfig.ConnectionType = 1;
  CorrectTestConfig();
  EXPECT_EQ(log_.Texts().size(), 3u);
  CorrectTestConfig();
  EXPECT_EQ(log_.Texts().size(), 3u);
}

TEST_F(TestConfigTest, HighSpeedKeepsThreeIsoPacketsButDropsTheBurst) {
  TestConfig.TestMode = 1;
  TestConfig.EndpointType = 1;
  TestConfig.ConnectionType = 2;
  TestConfig.BurstLength = 16;
  TestConfig.IsoPacketsPerInterval = 3;

  CorrectTestConfig();

  EXPECT_EQ(TestConfig.EndpointType, 1u);
  EXPECT_EQ(TestConfig.BurstLength, 1);
  EXPECT_EQ(TestConfig.IsoPacketsPerInterval, 3);
  EXPECT_THAT(log_.Texts(),
              ElementsAre("Burst Length changed to 1 due to selecting a HS/FS device"));
}

TEST_F(TestConfigTest, LoopbackAtSuperSpeedOnlyForcesBulk) {
  TestConfig.EndpointType = 1;
  CorrectTestConfig();
  EXPECT_EQ(TestConfig.BurstLength, 16);
  EXPECT_THAT(log_.Texts(),
              ElementsAre("Endpoint Type changed to BULK due to selecting loopback test"));
}

TEST_F(TestConfigTest, DialogLimits) {
  for (uint32_t n : {0u, 7u, 16u}) EXPECT_FALSE(IsEndpointNumberOffered(n)) << n;
  for (uint32_t n : {1u, 6u, 8u, 15u}) EXPECT_TRUE(IsEndpointNumberOffered(n)) << n;

  // Burst above 1 only at SuperSpeed; 12 when both directions share the link.
  EXPECT_EQ(MaxBurstLength(1, 1), 1);
  EXPECT_EQ(MaxBurstLength(2, 1), 1);
  EXPECT_EQ(MaxBurstLength(3, 0), 12);
  EXPECT_EQ(MaxBurstLength(3, 3), 12);
  EXPECT_EQ(MaxBurstLength(3, 1), 16);
  EXPECT_EQ(MaxBurstLength(3, 2), 16);
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

  SelectEndpointType(config, 1);
  EXPECT_EQ(config.EndpointType, 1u);
  EXPECT_EQ(config.InEndpointNumber, 3);
  EXPECT_EQ(config.OutEndpointNumber, 3);
  EXPECT_EQ(config.BenchmarkMode, 1u);

  SelectEndpointType(config, 2);
  EXPECT_EQ(config.EndpointType, 2u);
  EXPECT_EQ(config.InEndpointNumber, 1);
  EXPECT_EQ(config.OutEndpointNumber, 1);

  // Bulk to bulk keeps the user's numbers; a write-only benchmark survives isochronous.
  config.InEndpointNumber = 4;
  SelectEndpointType(config, 2);
  EXPECT_EQ(config.InEndpointNumber, 4);
  config.BenchmarkMode = 2;
  SelectEndpointType(config, 1);
  EXPECT_EQ(config.BenchmarkMode, 2u);
  config.BenchmarkMode = 0;
  SelectEndpointType(config, 1);
  EXPECT_EQ(config.BenchmarkMode, 1u);

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

TEST_F(TestConfigTest, FullSpeedWithNoSizeChosenOffers256KB) {
  PrepareBenchmarkSizes(1);
  EXPECT_EQ(TransferSizeIndex, 2);
  EXPECT_EQ(TransferSize, 262144);
  EXPECT_EQ(QueueSizeIndex, 6);
  EXPECT_EQ(QueueSize, 64);
  EXPECT_EQ(TransferSizeChoiceCount(1), 3);
  EXPECT_EQ(std::u16string(TransferSizeNames[TransferSizeIndex]), u"256KB");
}

TEST_F(TestConfigTest, SizesFollowTheirIndexes) {
  PrepareBenchmarkSizes(3);
  EXPECT_EQ(TransferSizeIndex, 5);
  EXPECT_EQ(TransferSize, 2097152);
  EXPECT_EQ(std::u16string(TransferSizeNames[5]), u"2MB");

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
