// The device's raw descriptor sets as objects: one UsbConfiguration per
// configuration set, one UsbAltInterface per interface descriptor (alternate setting)
// holding its endpoint objects, and one UsbBosInfo per BOS set. Works on byte buffers
// alone; the driver handle is only stored into the endpoints it creates. Each object
// owns what it holds (a configuration its settings, a setting its endpoints), so
// releasing a configuration releases everything once; the control endpoint shown in
// entry 0 of a selected setting belongs to the device, never to the tree.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/driver_port.h"
#include "usb/usb_endpoint.h"

// Which parse a configuration set gets: the SuperSpeed form also reads the endpoint
// companion descriptors.
enum class DescriptorForm : uint8_t { Usb20, SuperSpeed };

// One alternate setting. It owns the endpoints of entries 1..bNumEndpoints; Endpoints
// itself is the view callers walk.
struct UsbAltInterface {
  UsbAltInterface() = default;
  UsbAltInterface(const UsbAltInterface&) = delete;
  UsbAltInterface& operator=(const UsbAltInterface&) = delete;

  // Entry 0: the device's control endpoint while the setting is selected (borrowed:
  // the device owns it); entries 1..bNumEndpoints: the endpoints in descriptor order,
  // never empty.
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

  // Takes the endpoint for entry index (1..31) and shows it there.
  void AdoptEndpoint(size_t index, std::unique_ptr<UsbEndpoint> endpoint);

 private:
  std::unique_ptr<UsbEndpoint> ownedEndpoints_[32];
};

struct UsbConfiguration {
  // One setting per interface descriptor, in order; the unused tail is null.
  std::array<std::unique_ptr<UsbAltInterface>, 255> AltSettings;
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
