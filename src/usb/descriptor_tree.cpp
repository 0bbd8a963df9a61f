#include "usb/descriptor_tree.h"

#include <algorithm>
#include <cstring>
#include <utility>

// Beyond a zero length and a descriptor that runs past the end of its set, these
// also count as malformed, because their fields could not be read from them: a
// descriptor shorter than its own two-byte header, a configuration descriptor shorter
// than 9 bytes, an interface descriptor shorter than 9, an endpoint descriptor
// shorter than 7, a companion shorter than 6, a BOS header shorter than 5, and a
// known device capability shorter than its fields (7, 10, 20 bytes). A BOS set that
// declares more capabilities than it holds runs past its end as well.
//
// A setting whose descriptors run out before bNumEndpoints endpoints were found (the
// set ends, or the next interface descriptor begins) is not malformed: it keeps the
// endpoints it found and bNumEndpoints says how many, so entries 1..bNumEndpoints are
// never empty. Its DescriptorSpan ends with the last descriptor it walked, and the
// configuration walk goes on from there, so a following interface descriptor still
// becomes a setting of its own. After the twelfth foreign descriptor the span ends
// with that descriptor and the configuration walk steps over whatever follows it.

namespace {
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;
constexpr uint8_t kCompanionType = 0x30;
constexpr uint8_t kMaxEndpoints = 31;
constexpr int kForeignLimit = 12;
constexpr uint8_t kMaxSettings = 255;

// A descriptor header at pos that fits inside the set, or false.
bool DescriptorFits(const uint8_t* set, size_t limit, size_t pos, size_t minLength) {
  if (limit - pos < 2) return false;
  const uint8_t length = set[pos];
  return length != 0 && length >= minLength && pos + length <= limit;
}

// Walks one interface descriptor at offset and what belongs to it; nullptr when the
// set is malformed.
std::unique_ptr<UsbAltInterface> BuildAltInterface(const uint8_t* set, size_t limit, size_t offset,
                                                   DriverHandle handle, DescriptorForm form) {
  auto setting = std::make_unique<UsbAltInterface>();
  const uint8_t* d = set + offset;
  setting->bLength = d[0];
  setting->bDescriptorType = d[1];
  setting->bInterfaceNumber = d[2];
  setting->bAlternateSetting = d[3];
  setting->bInterfaceClass = d[5];
  setting->bInterfaceSubClass = d[6];
  setting->bInterfaceProtocol = d[7];
  setting->iInterface = d[8];
  setting->DescriptorSpan = d[0];
  const uint8_t wanted = std::min(d[4], kMaxEndpoints);
  uint8_t slot = 0;
  int foreign = 0;
  size_t pos = offset + d[0];
  while (slot < wanted && pos < limit) {
    if (!DescriptorFits(set, limit, pos, 2)) return nullptr;
    const uint8_t length = set[pos];
    const uint8_t type = set[pos + 1];
    if (type == kInterfaceType) break;  // the next setting begins
    setting->DescriptorSpan = static_cast<uint16_t>(setting->DescriptorSpan + length);
    if (type != kEndpointType) {
      if (++foreign >= kForeignLimit) break;
      pos += length;
      continue;
    }
    if (length < 7) return nullptr;
    const uint8_t* companion = nullptr;
    size_t next = pos + length;
    if (form == DescriptorForm::SuperSpeed && limit - next >= 2 &&
        set[next + 1] == kCompanionType) {
      if (!DescriptorFits(set, limit, next, 6)) return nullptr;
      companion = set + next;
      setting->DescriptorSpan = static_cast<uint16_t>(setting->DescriptorSpan + set[next]);
      next += set[next];
    }
    setting->AdoptEndpoint(++slot, UsbEndpoint::FromDescriptor(handle, set + pos, companion));
    pos = next;
  }
  setting->bNumEndpoints = slot;
  return setting;
}
}  // namespace

void UsbAltInterface::AdoptEndpoint(size_t index, std::unique_ptr<UsbEndpoint> endpoint) {
  Endpoints[index] = endpoint.get();
  ownedEndpoints_[index] = std::move(endpoint);
}

std::unique_ptr<UsbConfiguration> BuildConfiguration(const uint8_t* set, size_t size,
                                                     DriverHandle handle, DescriptorForm form) {
  if (set == nullptr || size < 9) return nullptr;
  auto config = std::make_unique<UsbConfiguration>();
  config->bLength = set[0];
  config->bDescriptorType = set[1];
  config->wTotalLength = GetLe16(set + 2);
  config->bNumInterfaces = set[4];
  config->bConfigurationValue = set[5];
  config->iConfiguration = set[6];
  config->bmAttributes = set[7];
  config->bMaxPower = set[8];
  const size_t limit = std::min<size_t>(size, config->wTotalLength);
  if (!DescriptorFits(set, limit, 0, 9)) return nullptr;
  size_t offset = config->bLength;
  while (offset < limit && config->AltSettingTotal < kMaxSettings) {
    if (!DescriptorFits(set, limit, offset, 2)) return nullptr;
    size_t step = set[offset];
    if (set[offset + 1] == kInterfaceType) {
      if (step < 9) return nullptr;
      std::unique_ptr<UsbAltInterface> setting =
          BuildAltInterface(set, limit, offset, handle, form);
      if (!setting) return nullptr;
      step = setting->DescriptorSpan;
      config->AltSettings[config->AltSettingTotal++] = std::move(setting);
    }
    offset += step;
  }
  for (uint8_t i = 0; i < config->AltSettingTotal; ++i) {
    uint8_t count = 0;
    for (uint8_t j = 0; j < config->AltSettingTotal; ++j) {
      if (config->AltSettings[j]->bInterfaceNumber == config->AltSettings[i]->bInterfaceNumber) {
        ++count;
      }
    }
    config->AltSettings[i]->SettingsOfInterface = count;
  }
  return config;
}

std::unique_ptr<UsbBosInfo> BuildBosInfo(const uint8_t* set, size_t size) {
  if (set == nullptr || size < 5) return nullptr;
  auto info = std::make_unique<UsbBosInfo>();
  info->bLength = set[0];
  info->bDescriptorType = set[1];
  info->wTotalLength = GetLe16(set + 2);
  info->bNumDeviceCaps = set[4];
  if (info->bLength < 5) return nullptr;
  int32_t remaining = int32_t(info->wTotalLength) - info->bLength;
  if (remaining < 0 || info->bNumDeviceCaps == 0) return info;
  const size_t limit = std::min<size_t>(size, info->wTotalLength);
  size_t offset = info->bLength;
  for (uint8_t visited = 0; visited < info->bNumDeviceCaps && remaining >= 0; ++visited) {
    if (offset >= limit || limit - offset < 3 || !DescriptorFits(set, limit, offset, 3)) {
      return nullptr;
    }
    const uint8_t* d = set + offset;
    const uint8_t length = d[0];
    switch (d[2]) {
      case 2: {
        if (length < 7) return nullptr;
        auto cap = std::make_unique<UsbUsb20ExtensionCapability>();
        cap->bLength = d[0];
        cap->bDescriptorType = d[1];
        cap->bDevCapabilityType = d[2];
        cap->bmAttributes = GetLe32(d + 3);
        info->Usb20ExtCap = std::move(cap);
        break;
      }
      case 3: {
        if (length < 10) return nullptr;
        auto cap = std::make_unique<UsbSuperSpeedCapability>();
        cap->bLength = d[0];
        cap->bDescriptorType = d[1];
        cap->bDevCapabilityType = d[2];
        cap->bmAttributes = d[3];
        cap->wSpeedsSupported = GetLe16(d + 4);
        cap->bFunctionalitySupport = d[6];
        cap->bU1DevExitLat = d[7];
        cap->wU2DevExitLat = GetLe16(d + 8);
        info->SuperSpeedCap = std::move(cap);
        break;
      }
      case 4: {
        if (length < 20) return nullptr;
        auto cap = std::make_unique<UsbContainerIdCapability>();
        cap->bLength = d[0];
        cap->bDescriptorType = d[1];
        cap->bDevCapabilityType = d[2];
        std::memcpy(cap->ContainerId, d + 4, sizeof cap->ContainerId);
        info->ContainerIdCap = std::move(cap);
        break;
      }
      default:
        break;
    }
    remaining -= length;
    offset += length;
  }
  return info;
}
