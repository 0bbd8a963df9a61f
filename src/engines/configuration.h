// The test configuration: what the next test does. One global record plus the four
// benchmark size globals beside it, the rules that keep them consistent, and the
// limits the configuration dialog enforces.
#pragma once
#include <cstdint>
#include <string_view>

#include "protocol/speed_codes.h"

struct TestConfigRecord {
  // ConnectionType
  static constexpr uint32_t FullSpeed = SPEED_FULL;
  static constexpr uint32_t HighSpeed = SPEED_HIGH;
  static constexpr uint32_t SuperSpeed = SPEED_SUPER;
  // TestMode
  static constexpr uint32_t Loopback = 0;
  static constexpr uint32_t Benchmark = 1;
  // BenchmarkMode
  static constexpr uint32_t ReadThenWrite = 0;
  static constexpr uint32_t ReadOnly = 1;
  static constexpr uint32_t WriteOnly = 2;
  static constexpr uint32_t ReadAndWrite = 3;
  // EndpointType: the USB transfer-type codes
  static constexpr uint32_t Isochronous = 1;
  static constexpr uint32_t Bulk = 2;
  // Pattern
  static constexpr uint32_t Incrementing = 0;
  static constexpr uint32_t Random = 1;
  static constexpr uint32_t Constant = 2;

  uint32_t ConnectionType = SuperSpeed;
  uint32_t TestMode = Loopback;
  uint32_t BenchmarkMode = ReadOnly;
  uint32_t EndpointType = Bulk;
  uint8_t InEndpointNumber = 1;
  uint8_t OutEndpointNumber = 1;
  uint8_t BurstLength = 16;
  uint8_t PollingInterval = 1;  // service interval exponent
  uint8_t Reserved = 0;         // sent to the plug in its own byte
  uint8_t IsoPacketsPerInterval = 3;
  uint32_t Pattern = Constant;
  uint8_t ConstantValue = 140;
  uint8_t LoopbackLoad = 100;  // percent
  uint32_t VerboseLogging = 0;
  uint32_t CheckBusErrors = 0;
  uint32_t VerifyData = 1;
  uint32_t SaveLogAtEnd = 0;

  bool operator==(const TestConfigRecord&) const = default;
};

// TestConfig and the four size globals below belong to this module (engines/
// configuration). Written on the window thread only; the engines read them while they
// stay unchanged (the controls that change them are disabled during a run).
extern TestConfigRecord TestConfig;

// The plug monitor runs all the time and reads VerboseLogging while the window thread
// may be changing the configuration: the flag is read and written whole, atomically.
// Everything else in TestConfig is read by the engines only while no control can change
// it.
bool VerboseLoggingOn();
// Makes config the configuration (the configuration dialog's OK), writing each field on
// its own and VerboseLogging atomically. Window thread.
void StoreTestConfig(const TestConfigRecord& config);

// Benchmark transfer settings: -1 index = not chosen yet.
extern int32_t TransferSizeIndex;
extern int32_t TransferSize;  // 65536 x 2^TransferSizeIndex
extern int32_t QueueSizeIndex;
extern uint8_t QueueSize;  // 2^QueueSizeIndex

constexpr int32_t TRANSFER_SIZE_COUNT = 6;
constexpr int32_t QUEUE_SIZE_COUNT = 7;
extern const char16_t* const TransferSizeNames[TRANSFER_SIZE_COUNT];  // "64KB" .. "2MB"
extern const char16_t* const QueueSizeNames[QUEUE_SIZE_COUNT];        // "1" .. "64"

// The connection-type list entries, indexed by ConnectionType (index 0 unused).
extern const char16_t* const ConnectionTypeNames[4];
// ConnectionType for a list entry's text, 0 when the text is none of them.
uint32_t ConnectionTypeFromName(std::u16string_view name);

// Every default except SaveLogAtEnd, which the dialog set-up owns.
void SetConfigDefaults();
// Back to the state at process start, SaveLogAtEnd included (tests).
void ResetTestConfig();

// Burst, interval and packets per interval for the chosen speed and test mode.
void ApplySpeedDefaults();

// The three corrections made before a configuration goes to the plug, in order, each
// with its Diagnostics record.
void CorrectTestConfig();

// ---- Limits the configuration dialog keeps ----

constexpr uint8_t MAX_POLLING_INTERVAL = 16;
constexpr uint8_t MAX_ENDPOINT_NUMBER = 15;

// Endpoint 7 carries the plug's display image and is never offered.
bool IsEndpointNumberOffered(uint32_t number);
// 1 below SuperSpeed; at SuperSpeed 12 when both directions share the bus, else 16.
uint8_t MaxBurstLength(uint32_t connectionType, uint32_t benchmarkMode);
// 1 at full speed, 3 at high speed and SuperSpeed.
uint8_t MaxIsoPacketsPerInterval(uint32_t connectionType);
bool IsValidConstantValue(int32_t value);
bool IsValidLoopbackLoad(int32_t value);
// Isochronous transfers are a benchmark option; the loopback always runs bulk.
bool IsIsochronousOffered(uint32_t testMode);
// Isochronous endpoints allow only the single-direction benchmark modes.
bool IsBenchmarkModeAllowed(uint32_t endpointType, uint32_t benchmarkMode);

// Switches a (working copy of the) configuration to another endpoint type, with the
// endpoint-number and benchmark-mode changes that go with it.
void SelectEndpointType(TestConfigRecord& config, uint32_t endpointType);
// Lowers BurstLength to its maximum; for when the dialog opens or the mode changes.
void ClampBurstLength(TestConfigRecord& config);

// Transfer sizes offered at a speed: the first three at full speed, else all six.
int32_t TransferSizeChoiceCount(uint32_t connectionType);
// What the dialog does before it shows the size lists: an unchosen or out-of-range
// index becomes a valid one and the sizes follow their indexes.
void PrepareBenchmarkSizes(uint32_t connectionType);
// Index setters that keep the sizes following; out-of-range indexes are refused.
bool SetTransferSizeIndex(int32_t index);
bool SetQueueSizeIndex(int32_t index);
