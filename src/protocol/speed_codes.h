// The two ways the wire numbers a bus speed, and the one mapping between them.
#pragma once
#include <cstdint>

// Connection speed codes: the configuration's ConnectionType, the plug's answer to the
// speed request and byte 10 of the configuration block all use these.
enum ConnectionSpeed : uint8_t {
  SPEED_FULL = 1,   // 12 Mb/s
  SPEED_HIGH = 2,   // 480 Mb/s
  SPEED_SUPER = 3,  // 5 Gb/s
};

// Answers of the driver's connection-speed request (IOCTL_GET_SPEED). The program
// reads 2 as high speed, 4 as SuperSpeed and anything else as full speed.
enum DriverSpeed : uint32_t {
  DRIVER_SPEED_FULL = 1,
  DRIVER_SPEED_HIGH = 2,
  DRIVER_SPEED_SUPER = 4,
};

constexpr bool IsConnectionSpeed(uint32_t code) {
  return code >= SPEED_FULL && code <= SPEED_SUPER;
}

constexpr DriverSpeed DriverSpeedFor(uint32_t connectionSpeed) {
  switch (connectionSpeed) {
    case SPEED_SUPER:
      return DRIVER_SPEED_SUPER;
    case SPEED_HIGH:
      return DRIVER_SPEED_HIGH;
    default:
      return DRIVER_SPEED_FULL;
  }
}

constexpr ConnectionSpeed ConnectionSpeedFor(uint32_t driverSpeed) {
  switch (driverSpeed) {
    case DRIVER_SPEED_SUPER:
      return SPEED_SUPER;
    case DRIVER_SPEED_HIGH:
      return SPEED_HIGH;
    default:
      return SPEED_FULL;
  }
}

// Largest data packet of the plug's data endpoints at a speed: 64 at full speed, 512
// for bulk and 1024 for isochronous at high speed, 1024 at SuperSpeed.
constexpr uint16_t PlugMaxPacketSize(uint32_t connectionSpeed, bool isochronous) {
  switch (connectionSpeed) {
    case SPEED_FULL:
      return 64;
    case SPEED_HIGH:
      return isochronous ? 1024 : 512;
    default:
      return 1024;
  }
}
