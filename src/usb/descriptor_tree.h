// The device's raw descriptor sets as objects: one UsbConfiguration per
// configuration set, one UsbAltInterface per interface descriptor (alternate setting)
// holding its endpoint objects, and one UsbBosInfo per BOS set. Works on byte buffers
// alone; the driver handle is only stored into the endpoints it creates.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/driver_port.h"
#include "usb/usb_endpoint.h"

// Which parse a configuration set gets: the SuperSpeed form also reads the endpoint
// companion descriptors.
enum class DescriptorForm : uint8_t { Usb20, SuperSpeed };

struct UsbAltInterface {
  UsbAltInterface() = default;
  UsbAltInterface(const UsbAltInterface&) = delete;
  UsbAltInterface& operator=(const UsbAltInterface&) = delete;
  // Releases the endpoints of entries 1 and up; entry 0 (the device's control
  // endpoint) is released by the configuration, once.
  ~UsbAltInterface();

  // Entry 0: the control endpoint once the setting is selected; entries
  // 1..bNumEndpoints: the endpoints in descriptor order, never empty.
  UsbEndpoint* Endpoints[32] = {};
  uint8_t bLength = 0;
  uint8_t bDescriptorType = 0;
  uint8_t bInterfaceNumber = 0;
  uint8_t bAlternateSetting = 0;
  // The endpoints the setting actually holds: the descriptor's count, lowered when
  // the set ends early or caps it at 31.
  uint8_t bNumEndpoints = 0;
  uint8_t bInterfaceClass = 0;
  uint8_t bInterfaceSubClass = 0;
  uint8_t bInterfaceProtocol = 0;
  uint8_t iInterface = 0;
  uint8_t SettingsOfInterface = 0;
  uint16_t DescriptorSpan = 0;
};

struct UsbConfiguration {
  UsbConfiguration() = default;
  UsbConfiguration(const UsbConfiguration&) = delete;
  UsbConfiguration& operator=(const UsbConfiguration&) = delete;
  // Releases the shared control endpoint once (the first setting holding it in
  // entry 0), then every setting with its endpoints.
  ~UsbConfiguration();

  UsbAltInterface* AltSettings[255] = {};  // owned; the unused tail is null
  uint8_t bLength = 0;
  uint8_t bDescriptorType = 0;
  uint16_t wTotalLength = 0;
  uint8_t bNumInterfaces = 0;
  uint8_t bConfigurationValue = 0;
  uint8_t iConfiguration = 0;
  uint8_t bmAttributes = 0;
  uint8_t bMaxPower = 0;
  uint8_t AltSettingTotal = 0;
};

struct UsbContainerIdCapability {
  uint8_t bLength = 0;
  uint8_t bDescriptorType = 0;
  uint8_t bDevCapabilityType = 0;
  uint8_t ContainerId[16] = {};
};

struct UsbUsb20ExtensionCapability {
  uint8_t bLength = 0;
  uint8_t bDescriptorType = 0;
  uint8_t bDevCapabilityType = 0;
  uint32_t bmAttributes = 0;
};

struct UsbSuperSpeedCapability {
  uint8_t bLength = 0;
  uint8_t bDescriptorType = 0;
  uint8_t bDevCapabilityType = 0;
  uint8_t bmAttributes = 0;
  uint16_t wSpeedsSupported = 0;
  uint8_t bFunctionalitySupport = 0;
  uint8_t bU1DevExitLat = 0;
  uint16_t wU2DevExitLat = 0;
};

struct UsbBosInfo {
  std::unique_ptr<UsbContainerIdCapability> ContainerIdCap;
  std::unique_ptr<UsbUsb20ExtensionCapability> Usb20ExtCap;
  std::unique_ptr<UsbSuperSpeedCapability> SuperSpeedCap;
  uint8_t bLength = 0;
  uint8_t bDescriptorType = 0;
  uint16_t wTotalLength = 0;
  uint8_t bNumDeviceCaps = 0;
};

// nullptr when the set is malformed. The walk never looks past the smaller of size
// and the set's own wTotalLength.
std::unique_ptr<UsbConfiguration> BuildConfiguration(const uint8_t* set, size_t size,
                                                     DriverHandle handle, DescriptorForm form);
std::unique_ptr<UsbBosInfo> BuildBosInfo(const uint8_t* set, size_t size);
