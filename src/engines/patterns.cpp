#include "engines/patterns.h"

#include <algorithm>
#include <cstring>

#include "engines/configuration.h"
#include "engines/statistics.h"
#include "log/event_log.h"
#include "platform/text.h"

namespace {

// The classic C-library generator, so random buffers match those of earlier versions
// byte for byte.
class PatternRandom {
 public:
  uint32_t Next() {
    state_ = state_ * 214013u + 2531011u;
    return (state_ >> 16) & 0x7FFF;
  }

 private:
  uint32_t state_ = 1;
};

constexpr int32_t kLoggedMismatches = 10;
constexpr int32_t kVerifyChunk = 4096;

}  // namespace

void FillTestPattern(int32_t length, uint8_t* buffer) {
  PatternRandom random;
  if (length <= 0 || buffer == nullptr) return;
  switch (TestConfig.Pattern) {
    case TestConfigRecord::Incrementing: {
      // One 256-byte period, then whole copies of it: the benchmark fills its 64
      // buffers (up to 128 MiB) at every worker start.
      const int32_t period = std::min(length, 256);
      for (int32_t i = 0; i < period; ++i) buffer[i] = static_cast<uint8_t>(i);
      for (int32_t at = period; at < length; at += period) {
        std::memcpy(buffer + at, buffer, static_cast<size_t>(std::min(period, length - at)));
      }
      break;
    }
    case TestConfigRecord::Random:
      for (int32_t i = 0; i < length; ++i) buffer[i] = static_cast<uint8_t>(random.Next());
      break;
    case TestConfigRecord::Constant:
      std::memset(buffer, TestConfig.ConstantValue, static_cast<size_t>(length));
      break;
    default:
      break;
  }
}

int32_t VerifyLoopbackData(const uint8_t* received, const uint8_t* transmitted, int32_t bytesRead) {
  if (received == nullptr || transmitted == nullptr) return 0;
  const bool verbose = TestConfig.VerboseLogging != 0;
  int32_t mismatches = 0;
  // Clean chunks are skipped with a block compare; only a chunk that differs is
  // walked byte by byte. Still one pass over the block.
  for (int32_t chunk = 0; chunk < bytesRead; chunk += kVerifyChunk) {
    const int32_t end = std::min(bytesRead, chunk + kVerifyChunk);
    if (std::memcmp(received + chunk, transmitted + chunk, static_cast<size_t>(end - chunk)) == 0) {
      continue;
    }
    for (int32_t i = chunk; i < end; ++i) {
      if (received[i] == transmitted[i]) continue;
      if (verbose && mismatches < kLoggedMismatches) {
        LogEvent(Format16("Byte verification error: Received value %d, Expected value %d",
                          received[i], transmitted[i])
                     .c_str(),
                 LogCategory::Error);
      }
      ++mismatches;
    }
  }
  if (mismatches > 0) {
    LogEvent(Format16("USB 3.0 data transfer error: %d of %d bytes incorrect.", mismatches,
                      static_cast<int>(TestStats.TransferSize.load()))
                 .c_str(),
             LogCategory::Error);
  }
  return mismatches;
}
