#include "engines/test_patterns.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "engines/log_capture.h"
#include "engines/test_config.h"
#include "engines/test_stats.h"

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr int32_t kBlock = 65536;

class PatternTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConfigDefaults();
    ResetTestStats();
    TestStats.TransferSize = kBlock;
  }
  void TearDown() override {
    SetConfigDefaults();
    ResetTestStats();
  }
  LogCapture log_;
};

TEST_F(PatternTest, IncrementingWrapsEvery256Bytes) {
  TestConfig.Pattern = 0;
  std::vector<uint8_t> buffer(kBlock, 0x55);
  FillTestPattern(kBlock, buffer.data());
  EXPECT_EQ(buffer[0], 0x00);
  EXPECT_EQ(buffer[255], 0xFF);
  EXPECT_EQ(buffer[256], 0x00);
  EXPECT_EQ(buffer[257], 0x01);
  EXPECT_EQ(buffer[kBlock - 1], 0xFF);
  for (int32_t i = 0; i < kBlock; ++i) ASSERT_EQ(buffer[i], i % 256) << "at " << i;
}

TEST_F(PatternTest, RandomRestartsFromTheSameSeedForEveryBuffer) {
  TestConfig.Pattern = 1;
  std::vector<uint8_t> first(kBlock), second(kBlock);
  FillTestPattern(kBlock, first.data());
  EXPECT_THAT(std::vector<uint8_t>(first.begin(), first.begin() + 8),
              ElementsAre(0x29, 0x23, 0xBE, 0x84, 0xE1, 0x6C, 0xD6, 0xAE));
  FillTestPattern(kBlock, second.data());
  EXPECT_EQ(first, second);
  // Not a short cycle: far into the buffer it still varies.
  EXPECT_NE(std::vector<uint8_t>(first.begin() + 8, first.begin() + 16),
            std::vector<uint8_t>(first.begin() + 40000, first.begin() + 40008));
}

TEST_F(PatternTest, ConstantFillsWithTheConfiguredByte) {
  std::vector<uint8_t> buffer(1000, 0x11);
  FillTestPattern(1000, buffer.data());
  EXPECT_THAT(buffer, Each(140));
  TestConfig.ConstantValue = 0;
  FillTestPattern(1000, buffer.data());
  EXPECT_THAT(buffer, Each(0));
}

TEST_F(PatternTest, NothingIsWrittenForEmptyLengthsOrUnknownPatterns) {
  std::vector<uint8_t> buffer(16, 0x77);
  FillTestPattern(0, buffer.data());
  FillTestPattern(-5, buffer.data());
  TestConfig.Pattern = 3;
  FillTestPattern(16, buffer.data());
  EXPECT_THAT(buffer, Each(0x77));
  // A short length touches only its own bytes.
  TestConfig.Pattern = 0;
  FillTestPattern(4, buffer.data());
  EXPECT_THAT(buffer, ElementsAre(0, 1, 2, 3, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77,
                                  0x77, 0x77, 0x77));
}

TEST_F(PatternTest, MatchingDataPassesWithoutRecords) {
  TestConfig.ConstantValue = 0;
  std::vector<uint8_t> sent(kBlock), received(kBlock, 0);
  FillTestPattern(kBlock, sent.data());
  TestConfig.VerboseLogging = 1;
  EXPECT_EQ(VerifyLoopbackData(received.data(), sent.data(), kBlock), 0);
  EXPECT_THAT(log_.Texts(), IsEmpty());
}

TEST_F(PatternTest, FullyCorruptBlockLogsTenByteLinesAndASummaryWhenVerbose) {
  TestConfig.VerboseLogging = 1;
  std::vector<uint8_t> sent(kBlock), received(kBlock, 0xC8);
  FillTestPattern(kBlock, sent.data());  // constant 140

  EXPECT_EQ(VerifyLoopbackData(received.data(), sent.data(), kBlock), kBlock);

  const auto records = log_.Records();
  ASSERT_EQ(records.size(), 11u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(records[i].text, "Byte verification error: Received value 200, Expected value 140");
  }
  EXPECT_EQ(records[10].text, "USB 3.0 data transfer error: 65536 of 65536 bytes incorrect.");
  for (const auto& record : records) EXPECT_EQ(record.category, LogCategory::Error);
}

TEST_F(PatternTest, WithoutVerboseOnlyTheSummaryIsLogged) {
  std::vector<uint8_t> sent(kBlock), received(kBlock, 0);
  FillTestPattern(kBlock, sent.data());
  EXPECT_EQ(VerifyLoopbackData(received.data(), sent.data(), kBlock), kBlock);
  EXPECT_THAT(log_.Texts(),
              ElementsAre("USB 3.0 data transfer error: 65536 of 65536 bytes incorrect."));
}

TEST_F(PatternTest, ScatteredErrorsAreAllFound) {
  std::vector<uint8_t> sent(kBlock, 140), received(kBlock, 140);
  for (int32_t at : {0, 4095, 4096, 30000, kBlock - 1}) received[at] = 7;
  EXPECT_EQ(VerifyLoopbackData(received.data(), sent.data(), kBlock), 5);
  EXPECT_THAT(log_.Texts(),
              ElementsAre("USB 3.0 data transfer error: 5 of 65536 bytes incorrect."));
}

TEST_F(PatternTest, CountsOnlyTheBytesReadAndReportsAgainstTheTransferSize) {
  TestConfig.VerboseLogging = 1;
  TestConfig.Pattern = 0;
  std::vector<uint8_t> sent(kBlock), received(kBlock);
  FillTestPattern(kBlock, sent.data());
  received = sent;
  received[3] = 0;           // 3 -> 0
  received[100] = 0xFF;      // 100 -> 255
  received[kBlock - 1] = 0;  // beyond the bytes read: not compared

  EXPECT_EQ(VerifyLoopbackData(received.data(), sent.data(), 200), 2);
  EXPECT_THAT(log_.Texts(),
              ElementsAre("Byte verification error: Received value 0, Expected value 3",
                          "Byte verification error: Received value 255, Expected value 100",
                          "USB 3.0 data transfer error: 2 of 65536 bytes incorrect."));
}

}  // namespace
