// Feeds any bytes to the decoders of what the plug and the driver send: the
// configuration block, the information string, the device path and the bus-error
// report, and traps when one accepts something it should not or does not give the
// same bytes back.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "protocol/bus_error_report.h"
#include "protocol/config_block.h"
#include "protocol/device_path.h"
#include "protocol/info_string.h"
#include "protocol/plug_commands.h"

namespace {
void Check(bool condition) {
  if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PlugConfig config;
  if (DecodePlugConfig(data, size, &config)) {
    Check(size >= PLUG_CONFIG_BLOCK_SIZE);
    Check(config.DataFlow <= FLOW_BOTH);
    Check(config.InNumber >= 1 && config.InNumber <= 15);
    Check((config.InNumber | USB_DIR_IN) != PLUG_DISPLAY_ENDPOINT);
    Check(config.Burst >= 1 && config.Burst <= 16);
    const PlugConfigBlock again = EncodePlugConfig(config);
    Check(std::memcmp(again.data(), data, again.size()) == 0);
  }

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto number = ParseFirmwareNumber(text)) {
    Check(*number >= 0 && *number <= 99);
    Check(HasFirmwareVersion(text));
  }

  if (const auto serial = PlugSerialFromPath(text)) {
    Check(serial->find('#') == std::string::npos);
    Check(serial->size() + PLUG_DEVICE_PATH_PREFIX_LENGTH <= size);
    const auto prefix = PlugDevicePathPrefix();
    Check(SameDevicePath(text.substr(0, prefix.size()),
                         std::string_view(prefix.data(), prefix.size())));
  }

  if (size >= PLUG_BUS_ERROR_REPORT_SIZE) {
    uint8_t back[PLUG_BUS_ERROR_REPORT_SIZE];
    WriteBusErrorReport(ReadBusErrorReport(data), back);
    Check(std::memcmp(back, data, sizeof back) == 0);
  }
  return 0;
}
