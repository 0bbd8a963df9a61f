// Feeds every input to the configuration parser in both forms and to the BOS parser,
// and traps when a parsed tree breaks what its users rely on: settings packed from
// the front, endpoint entries 1..bNumEndpoints present and nothing after them, spans
// inside the set.
#include <cstddef>
#include <cstdint>

#include "usb/descriptor_tree.h"

namespace {
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckConfiguration(const UsbConfiguration* config, size_t size) {
  if (config == nullptr) return;
  for (size_t i = 0; i < 255; ++i) {
    const UsbAltInterface* setting = config->AltSettings[i].get();
    Check((setting != nullptr) == (i < config->AltSettingTotal));
    if (setting == nullptr) continue;
    Check(setting->bNumEndpoints <= 31);
    Check(setting->DescriptorSpan <= size);
    Check(setting->SettingsOfInterface >= 1);
    Check(setting->Endpoints[0] == nullptr);
    for (size_t e = 1; e < 32; ++e) {
      const UsbEndpoint* endpoint = setting->Endpoints[e];
      Check((endpoint != nullptr) == (e <= setting->bNumEndpoints));
      if (endpoint != nullptr) Check(endpoint->bDescriptorType == 5);
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (DescriptorForm form : {DescriptorForm::Usb20, DescriptorForm::SuperSpeed}) {
    std::unique_ptr<UsbConfiguration> config = BuildConfiguration(data, size, 0x10, form);
    CheckConfiguration(config.get(), size);
  }
  std::unique_ptr<UsbBosInfo> bos = BuildBosInfo(data, size);
  if (bos && bos->SuperSpeedCap) Check(bos->SuperSpeedCap->bLength >= 10);
  return 0;
}
