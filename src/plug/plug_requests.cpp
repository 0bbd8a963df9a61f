#include "plug/plug_requests.h"

#include <algorithm>
#include <mutex>

#include "log/event_log.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_selection.h"
#include "usb/driver_requests.h"
#include "usb/usb_device.h"
#include "usb/usb_endpoint.h"

namespace {

uint8_t DataFlowCode(const TestConfigRecord& config) {
  if (config.TestMode == TestConfigRecord::Loopback) return 0;
  switch (config.BenchmarkMode) {
    case TestConfigRecord::ReadOnly:
      return 1;  // the plug sends
    case TestConfigRecord::WriteOnly:
      return 2;  // the plug receives
    default:
      return 3;  // both directions
  }
}

uint32_t MaxPacketSize(const TestConfigRecord& config) {
  switch (config.ConnectionType) {
    case TestConfigRecord::FullSpeed:
      return 64;
    case TestConfigRecord::HighSpeed:
      return config.EndpointType == TestConfigRecord::Isochronous ? 1024 : 512;
    default:
      return 1024;  // SuperSpeed; no other speed reaches the plug
  }
}

// Versions below this one predate the current firmware.
constexpr int32_t kCurrentFirmware = 22;

constexpr std::string_view kFirmwareTag = "FW Version";
constexpr std::string_view kFirmwareVersionTag = "FW Version V";

constexpr uint32_t kLedPauseMs = 500;

// The control endpoint's request fields are set and used in one go; a request from
// another thread must not change them in between.
std::mutex g_requestLock;

}  // namespace

uint32_t PlugSpeedCode = 0;

void ResetPlugSpeedCode() {
  PlugSpeedCode = 0;
}

bool IsPlugOpen() {
  return PlugDevice != nullptr && PlugDevice->DeviceHandle != INVALID_DRIVER_HANDLE;
}

uint32_t SendPlugRequest(uint16_t command, uint32_t direction, void* buffer, uint32_t length) {
  std::lock_guard<std::mutex> guard(g_requestLock);
  if (!IsPlugOpen() || PlugDevice->ControlEndpoint == nullptr) return PLUG_NOT_OPEN;
  UsbControlEndpoint* control = PlugDevice->ControlEndpoint;
  control->Recipient = 0;    // device
  control->RequestType = 2;  // vendor
  control->RequestCode = 0;
  control->RequestValue = command;
  control->RequestIndex = 0;
  // Longer than a control transfer can carry: the endpoint refuses it as it stands.
  int32_t transferLength = length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
  auto* data = static_cast<uint8_t*>(buffer);
  const bool done = direction == PLUG_REQUEST_OUT ? control->ControlWrite(data, transferLength)
                                                  : control->ControlRead(data, transferLength);
  return done ? 1 : 0;
}

bool ReadPlugInfo(PlugInfoBuffer& buffer) {
  buffer.fill(0);
  const uint32_t result =
      SendPlugRequest(PlugCommand::Info, PLUG_REQUEST_IN, buffer.data(), PLUG_INFO_TEXT_LENGTH);
  buffer[PLUG_INFO_TEXT_LENGTH] = 0;
  return result == 1;
}

uint32_t ReadPlugSpeedCode() {
  uint8_t reply[4] = {};
  if (SendPlugRequest(PlugCommand::Speed, PLUG_REQUEST_IN, reply, sizeof reply) == 1) {
    PlugSpeedCode = GetLe32(reply);
  }
  return PlugSpeedCode;
}

void FlashLeds(PauseFunction pause) {
  if (!IsPlugOpen()) return;
  SendPlugRequest(PlugCommand::LedStep1, PLUG_REQUEST_OUT, nullptr, 0);
  if (pause) pause(kLedPauseMs);
  SendPlugRequest(PlugCommand::LedStep2, PLUG_REQUEST_OUT, nullptr, 0);
  if (pause) pause(kLedPauseMs);
  SendPlugRequest(PlugCommand::LedStep3, PLUG_REQUEST_OUT, nullptr, 0);
}

PlugConfigBlock BuildPlugConfigBlock(const TestConfigRecord& config) {
  const bool loopback = config.TestMode == TestConfigRecord::Loopback;
  const bool bothDirections = config.BenchmarkMode == TestConfigRecord::ReadThenWrite ||
                              config.BenchmarkMode == TestConfigRecord::ReadAndWrite;
  // Kept to 16 bits, as the plug reads it.
  const uint32_t bytesPerInterval =
      (config.IsoPacketsPerInterval * config.BurstLength * MaxPacketSize(config)) & 0xFFFF;

  PlugConfigBlock block{};
  block[0] = DataFlowCode(config);
  block[1] = static_cast<uint8_t>(config.EndpointType);
  block[2] = config.InEndpointNumber;
  block[3] = config.OutEndpointNumber;
  block[4] = loopback ? 1 : config.BurstLength;
  block[5] = config.PollingInterval;
  block[6] = config.Reserved;
  block[7] = config.IsoPacketsPerInterval;
  PutLe16(&block[8], static_cast<uint16_t>(bytesPerInterval));
  block[10] = static_cast<uint8_t>(config.ConnectionType);
  block[11] = loopback ? 64 : 2;
  uint32_t bufferSize;
  if (loopback) {
    bufferSize = 1024;
  } else if (config.EndpointType == TestConfigRecord::Isochronous) {
    bufferSize = bytesPerInterval;
  } else {
    bufferSize = bothDirections ? 0x6000 : 0xC000;
  }
  PutLe16(&block[12], static_cast<uint16_t>(bufferSize));
  return block;
}

std::string_view PlugInfoText(const PlugInfoBuffer& buffer) {
  const auto* text = reinterpret_cast<const char*>(buffer.data());
  const auto* end = std::find(text, text + PLUG_INFO_TEXT_LENGTH, '\0');
  return std::string_view(text, static_cast<size_t>(end - text));
}

bool HasFirmwareVersion(std::string_view info) {
  return info.find(kFirmwareTag) != std::string_view::npos;
}

std::optional<int32_t> ParseFirmwareNumber(std::string_view info) {
  const size_t start = info.find(kFirmwareVersionTag);
  if (start == std::string_view::npos) return std::nullopt;
  // The digits are the 13th and 15th characters from the tag's start. When the text
  // ends before them, or they are not digits, the version is unknown and counts as
  // the oldest (0), so the user is told to update and the older commands are used.
  const size_t major = start + kFirmwareVersionTag.size();
  const size_t minor = major + 2;
  if (minor >= info.size()) return 0;
  const char majorDigit = info[major];
  const char minorDigit = info[minor];
  if (majorDigit < '0' || majorDigit > '9' || minorDigit < '0' || minorDigit > '9') return 0;
  return 10 * (majorDigit - '0') + (minorDigit - '0');
}

std::vector<const char16_t*> SpeedListEntries(uint32_t speedCode) {
  std::vector<const char16_t*> entries;
  if (speedCode < TestConfigRecord::FullSpeed || speedCode > TestConfigRecord::SuperSpeed) {
    return entries;
  }
  for (uint32_t type = speedCode; type >= TestConfigRecord::FullSpeed; --type) {
    entries.push_back(ConnectionTypeNames[type]);
  }
  return entries;
}

bool CheckPlugInfo(const PlugInfoBuffer& buffer, void* owner) {
  const std::string_view info = PlugInfoText(buffer);
  if (!HasFirmwareVersion(info)) {
    ShowMessageBox(owner, u"Firmware is not compatible, please update the firmware", u"Error",
                   MB_OK | MB_ICONERROR);
    return false;
  }
  LogEventText(u"Plug Info: %s", Widen8(info).c_str(), LogCategory::Information);
  if (const std::optional<int32_t> number = ParseFirmwareNumber(info)) {
    FirmwareNumber = *number;
    if (*number < kCurrentFirmware) {
      LogEvent(u"Firmware is old, please update to the latest firmware", LogCategory::Error);
    }
  }
  return true;
}
