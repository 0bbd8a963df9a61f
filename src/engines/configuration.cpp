#include "engines/configuration.h"

#include <atomic>

#include "log/event_log.h"

TestConfigRecord TestConfig;

int32_t TransferSizeIndex = -1;
int32_t TransferSize = 2097152;
int32_t QueueSizeIndex = -1;
uint8_t QueueSize = 64;

const char16_t* const TransferSizeNames[TRANSFER_SIZE_COUNT] = {u"64KB",  u"128KB", u"256KB",
                                                                u"512KB", u"1MB",   u"2MB"};
const char16_t* const QueueSizeNames[QUEUE_SIZE_COUNT] = {u"1",  u"2",  u"4", u"8",
                                                          u"16", u"32", u"64"};

const char16_t* const ConnectionTypeNames[4] = {nullptr, u"FullSpeed 12Mb/s", u"HighSpeed 480Mb/s",
                                                u"SuperSpeed 5Gb/s"};

namespace {

constexpr int32_t kBaseTransferSize = 65536;
constexpr int32_t kFullSpeedTransferChoices = 3;

bool BothDirections(uint32_t benchmarkMode) {
  return benchmarkMode == TestConfigRecord::ReadThenWrite ||
         benchmarkMode == TestConfigRecord::ReadAndWrite;
}

}  // namespace

static_assert(alignof(uint32_t) >= std::atomic_ref<uint32_t>::required_alignment);

bool VerboseLoggingOn() {
  return std::atomic_ref<uint32_t>(TestConfig.VerboseLogging).load(std::memory_order_relaxed) != 0;
}

void StoreTestConfig(const TestConfigRecord& config) {
  TestConfigRecord& to = TestConfig;
  to.ConnectionType = config.ConnectionType;
  to.TestMode = config.TestMode;
  to.BenchmarkMode = config.BenchmarkMode;
  to.EndpointType = config.EndpointType;
  to.InEndpointNumber = config.InEndpointNumber;
  to.OutEndpointNumber = config.OutEndpointNumber;
  to.BurstLength = config.BurstLength;
  to.PollingInterval = config.PollingInterval;
  to.Reserved = config.Reserved;
  to.IsoPacketsPerInterval = config.IsoPacketsPerInterval;
  to.Pattern = config.Pattern;
  to.ConstantValue = config.ConstantValue;
  to.LoopbackLoad = config.LoopbackLoad;
  std::atomic_ref<uint32_t>(to.VerboseLogging)
      .store(config.VerboseLogging, std::memory_order_relaxed);
  to.CheckBusErrors = config.CheckBusErrors;
  to.VerifyData = config.VerifyData;
  to.SaveLogAtEnd = config.SaveLogAtEnd;
}

uint32_t ConnectionTypeFromName(std::u16string_view name) {
  for (uint32_t type = TestConfigRecord::FullSpeed; type <= TestConfigRecord::SuperSpeed; ++type) {
    if (name == ConnectionTypeNames[type]) return type;
  }
  return 0;
}

void SetConfigDefaults() {
  const uint32_t saveLogAtEnd = TestConfig.SaveLogAtEnd;
  ResetTestConfig();
  TestConfig.SaveLogAtEnd = saveLogAtEnd;
}

void ResetTestConfig() {
  TestConfig = TestConfigRecord{};
  TransferSizeIndex = -1;
  TransferSize = 2097152;
  QueueSizeIndex = -1;
  QueueSize = 64;
}

void ApplySpeedDefaults() {
  TestConfig.PollingInterval = 1;
  switch (TestConfig.ConnectionType) {
    case TestConfigRecord::FullSpeed:
      TestConfig.BurstLength = 1;
      TestConfig.IsoPacketsPerInterval = 1;
      break;
    case TestConfigRecord::HighSpeed:
      TestConfig.BurstLength = 1;
      TestConfig.IsoPacketsPerInterval = 3;
      break;
    case TestConfigRecord::SuperSpeed:
      TestConfig.BurstLength = (TestConfig.TestMode == TestConfigRecord::Benchmark &&
                                TestConfig.BenchmarkMode == TestConfigRecord::ReadThenWrite)
                                   ? 12
                                   : 16;
      TestConfig.IsoPacketsPerInterval = 3;
      break;
    default:
      // No table row for an unknown speed: leave burst and packets alone.
      break;
  }
}

void CorrectTestConfig() {
  if (TestConfig.TestMode == TestConfigRecord::Loopback &&
      TestConfig.EndpointType != TestConfigRecord::Bulk) {
    TestConfig.EndpointType = TestConfigRecord::Bulk;
    LogEvent(u"Endpoint Type changed to BULK due to selecting loopback test",
             LogCategory::Diagnostics);
  }
  if (TestConfig.ConnectionType != TestConfigRecord::SuperSpeed && TestConfig.BurstLength > 1) {
    TestConfig.BurstLength = 1;
    LogEvent(u"Burst Length changed to 1 due to selecting a HS/FS device",
             LogCategory::Diagnostics);
  }
  if (TestConfig.ConnectionType == TestConfigRecord::FullSpeed &&
      TestConfig.IsoPacketsPerInterval > 1) {
    TestConfig.IsoPacketsPerInterval = 1;
    LogEvent(u"ISO Packets/PI changed to 1 due to selecting a HS/FS device",
             LogCategory::Diagnostics);
  }
}

bool IsEndpointNumberOffered(uint32_t number) {
  return number >= 1 && number <= MAX_ENDPOINT_NUMBER && number != 7;
}

uint8_t MaxBurstLength(uint32_t connectionType, uint32_t benchmarkMode) {
  if (connectionType != TestConfigRecord::SuperSpeed) return 1;
  return BothDirections(benchmarkMode) ? 12 : 16;
}

uint8_t MaxIsoPacketsPerInterval(uint32_t connectionType) {
  return connectionType == TestConfigRecord::HighSpeed ||
                 connectionType == TestConfigRecord::SuperSpeed
             ? 3
             : 1;
}

bool IsValidConstantValue(int32_t value) {
  return value >= 0 && value <= 255;
}

bool IsValidLoopbackLoad(int32_t value) {
  return value >= 1 && value <= 100;
}

bool IsIsochronousOffered(uint32_t testMode) {
  return testMode == TestConfigRecord::Benchmark;
}

bool IsBenchmarkModeAllowed(uint32_t endpointType, uint32_t benchmarkMode) {
  if (benchmarkMode > TestConfigRecord::ReadAndWrite) return false;
  return endpointType != TestConfigRecord::Isochronous || !BothDirections(benchmarkMode);
}

void SelectEndpointType(TestConfigRecord& config, uint32_t endpointType) {
  if (endpointType == TestConfigRecord::Isochronous) {
    config.InEndpointNumber = 3;
    config.OutEndpointNumber = 3;
    if (BothDirections(config.BenchmarkMode)) config.BenchmarkMode = TestConfigRecord::ReadOnly;
  } else if (endpointType == TestConfigRecord::Bulk &&
             config.EndpointType == TestConfigRecord::Isochronous) {
    config.InEndpointNumber = 1;
    config.OutEndpointNumber = 1;
  }
  config.EndpointType = endpointType;
}

void ClampBurstLength(TestConfigRecord& config) {
  const uint8_t maximum = MaxBurstLength(config.ConnectionType, config.BenchmarkMode);
  if (config.BurstLength > maximum) config.BurstLength = maximum;
}

int32_t TransferSizeChoiceCount(uint32_t connectionType) {
  return connectionType == TestConfigRecord::FullSpeed ? kFullSpeedTransferChoices
                                                       : TRANSFER_SIZE_COUNT;
}

void PrepareBenchmarkSizes(uint32_t connectionType) {
  const int32_t choices = TransferSizeChoiceCount(connectionType);
  // Unchosen (-1) and too large (full speed offers only three) both become the largest
  // size offered.
  if (TransferSizeIndex < 0 || TransferSizeIndex >= choices) TransferSizeIndex = choices - 1;
  TransferSize = kBaseTransferSize << TransferSizeIndex;
  if (QueueSizeIndex < 0 || QueueSizeIndex >= QUEUE_SIZE_COUNT)
    QueueSizeIndex = QUEUE_SIZE_COUNT - 1;
  QueueSize = static_cast<uint8_t>(1u << QueueSizeIndex);
}

bool SetTransferSizeIndex(int32_t index) {
  if (index < 0 || index >= TRANSFER_SIZE_COUNT) return false;
  TransferSizeIndex = index;
  TransferSize = kBaseTransferSize << index;
  return true;
}

bool SetQueueSizeIndex(int32_t index) {
  if (index < 0 || index >= QUEUE_SIZE_COUNT) return false;
  QueueSizeIndex = index;
  QueueSize = static_cast<uint8_t>(1u << index);
  return true;
}
