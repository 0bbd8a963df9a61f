#include "plug/plug_requests.h"

#include <algorithm>
#include <mutex>

#include "log/event_log.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_selection.h"
#include "protocol/byte_order.h"
#include "protocol/speed_codes.h"
#include "protocol/usb_standard.h"
#include "usb/usb_device.h"
#include "usb/usb_endpoint.h"

namespace {

uint8_t DataFlowCode(const TestConfigRecord& config) {
  if (config.TestMode == TestConfigRecord::Loopback) return FLOW_LOOPBACK;
  switch (config.BenchmarkMode) {
    case TestConfigRecord::ReadOnly:
      return FLOW_PLUG_SENDS;
    case TestConfigRecord::WriteOnly:
      return FLOW_PLUG_RECEIVES;
    default:
      return FLOW_BOTH;
  }
}

// Versions below this one predate the current firmware.
constexpr int32_t kCurrentFirmware = 22;

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
  control->Recipient = USB_RECIPIENT_DEVICE;
  control->RequestType = USB_TYPE_VENDOR;
  control->RequestCode = PLUG_REQUEST_CODE;
  control->RequestValue = command;
  control->RequestIndex = PLUG_REQUEST_INDEX;
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
      SendPlugRequest(PlugCommand::Info, PLUG_REQUEST_IN, buffer.data(), PLUG_INFO_LENGTH);
  buffer[PLUG_INFO_LENGTH] = 0;
  return result == 1;
}

uint32_t ReadPlugSpeedCode() {
  uint8_t reply[PLUG_SPEED_REPLY_SIZE] = {};
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
  const bool isochronous = config.EndpointType == TestConfigRecord::Isochronous;
  // Kept to 16 bits, as the plug reads it.
  const uint32_t bytesPerInterval = (config.IsoPacketsPerInterval * config.BurstLength *
                                     PlugMaxPacketSize(config.ConnectionType, isochronous)) &
                                    0xFFFF;

  PlugConfig fields;
  fields.DataFlow = DataFlowCode(config);
  fields.EndpointType = static_cast<uint8_t>(config.EndpointType);
  fields.InNumber = config.InEndpointNumber;
  fields.OutNumber = config.OutEndpointNumber;
  fields.Burst = loopback ? 1 : config.BurstLength;
  fields.Interval = config.PollingInterval;
  fields.Reserved = config.Reserved;
  fields.IsoPackets = config.IsoPacketsPerInterval;
  fields.BytesPerInterval = static_cast<uint16_t>(bytesPerInterval);
  fields.ConnectionType = static_cast<uint8_t>(config.ConnectionType);
  fields.BufferCount = loopback ? 64 : 2;
  if (loopback) {
    fields.BufferSize = 1024;
  } else if (isochronous) {
    fields.BufferSize = static_cast<uint16_t>(bytesPerInterval);
  } else {
    fields.BufferSize = bothDirections ? 0x6000 : 0xC000;
  }
  return EncodePlugConfig(fields);
}

std::string_view PlugInfoText(const PlugInfoBuffer& buffer) {
  const auto* text = reinterpret_cast<const char*>(buffer.data());
  const auto* end = std::find(text, text + PLUG_INFO_LENGTH, '\0');
  return std::string_view(text, static_cast<size_t>(end - text));
}

std::vector<const char16_t*> SpeedListEntries(uint32_t speedCode) {
  std::vector<const char16_t*> entries;
  if (!IsConnectionSpeed(speedCode)) return entries;
  for (uint32_t type = speedCode; type >= SPEED_FULL; --type) {
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
