#include "engines/patterns.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "engines/configuration.h"
#include "engines/log_capture.h"
#include "engines/statistics.h"

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr int32_t kBlock = 65536;

class PatternTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TearDown();
    TestStats.TransferSize = kBlock;
  }
  void TearDown() override {
    ResetTestConfig();
    ResetTestStats();
  }
  LogCapture log_;
};

TEST_F(PatternTest, IncrementingAndConstantFillOnlyTheGivenLength) {
  TestConfig.Pattern = 0;
  std::vector<uint8_t> buffer(kBlock + 4, 0x77);
  FillTestPattern(kBlock, buffer.data());
  for (int32_t i = 0; i < kBlock; ++i) ASSERT_EQ(buffer[i], i % 256) << "at " << i;
  EXPECT_THAT(std::vector<uint8_t>(buffer.begin() + kBlock, buffer.end()), Each(0x77));
  // A length that ends inside a 256-byte period.
  std::vector<uint8_t> odd(700, 0x77);
  FillTestPattern(600, odd.data());
  for (int32_t i = 0; i < 600; ++i) ASSERT_EQ(odd[i], i % 256) << "at " << i;
  EXPECT_THAT(std::vector<uint8_t>(odd.begin() + 600, odd.end()), Each(0x77));

  TestConfig.Pattern = 2;
  for (uint8_t value : {140, 0}) {
    TestConfig.ConstantValue = value;
    FillTestPattern(1000, buffer.data());
    EXPECT_THAT(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 1000), Each(value));
    EXPECT_EQ(buffer[1000], 1000 % 256);
  }
  // Nothing is written for empty lengths or unknown patterns.
  const std::vector<uint8_t> before = buffer;
  FillTestPattern(0, buffer.data());
  FillTestPattern(-5, buffer.data());
  TestConfig.Pattern = 3;
  FillTestPattern(16, buffer.data());
  EXPECT_EQ(buffer, before);
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

TEST_F(PatternTest, WithoutVerboseOnlyTheSummaryOfScatteredErrors) {
  std::vector<uint8_t> sent(kBlock, 140), received(kBlock, 140);
  EXPECT_EQ(VerifyLoopbackData(received.data(), sent.data(), kBlock), 0);
  EXPECT_THAT(log_.Texts(), IsEmpty());
  for (int32_t at : {0, 4095, 4096, 30000, kBlock - 1}) received[at] = 7;
  EXPECT_EQ(VerifyLoopbackData(received.data(), sent.data(), kBlock), 5);
  EXPECT_THAT(log_.Texts(),
              ElementsAre("USB 3.0 data transfer error: 5 of 65536 bytes incorrect."));
}

TEST_F(PatternTest, ComparesOnlyTheBytesReadAndReportsAgainstTheTransferSize) {
  TestConfig.VerboseLogging = 1;
  TestConfig.Pattern = 0;
  std::vector<uint8_t> sent(kBlock);
  FillTestPattern(kBlock, sent.data());
  std::vector<uint8_t> received = sent;
  received[3] = 0;
  received[100] = 0xFF;
  received[kBlock - 1] = 0;  // beyond the bytes read
  EXPECT_EQ(VerifyLoopbackData(received.data(), sent.data(), 200), 2);
  EXPECT_THAT(log_.Texts(),
              ElementsAre("Byte verification error: Received value 0, Expected value 3",
                          "Byte verification error: Received value 255, Expected value 100",
                          "USB 3.0 data transfer error: 2 of 65536 bytes incorrect."));
}

}  // namespace
