// The parts of the USB standard both ends of the plug's wire use: request codes,
// descriptor types and the bits of bmRequestType and bmAttributes.
#pragma once
#include <cstdint>

// bmRequestType: direction bit, type in bits 6..5, recipient in bits 4..0.
constexpr uint8_t USB_DIR_IN = 0x80;
constexpr uint8_t USB_TYPE_STANDARD = 0;
constexpr uint8_t USB_TYPE_CLASS = 1;
constexpr uint8_t USB_TYPE_VENDOR = 2;
constexpr uint8_t USB_RECIPIENT_DEVICE = 0;
constexpr uint8_t USB_RECIPIENT_INTERFACE = 1;
constexpr uint8_t USB_RECIPIENT_ENDPOINT = 2;

constexpr uint8_t RequestTypeOf(uint8_t bmRequestType) {
  return (bmRequestType >> 5) & 3;
}
constexpr uint8_t RecipientOf(uint8_t bmRequestType) {
  return bmRequestType & 0x1F;
}
constexpr uint8_t MakeRequestType(bool in, uint8_t type, uint8_t recipient) {
  return static_cast<uint8_t>((in ? USB_DIR_IN : 0) | (type & 3) << 5 | (recipient & 0x1F));
}

// Standard requests.
constexpr uint8_t USB_REQUEST_GET_STATUS = 0;
constexpr uint8_t USB_REQUEST_CLEAR_FEATURE = 1;
constexpr uint8_t USB_REQUEST_SET_FEATURE = 3;
constexpr uint8_t USB_REQUEST_GET_DESCRIPTOR = 6;
constexpr uint8_t USB_REQUEST_GET_CONFIGURATION = 8;
constexpr uint8_t USB_REQUEST_SET_CONFIGURATION = 9;
constexpr uint8_t USB_REQUEST_GET_INTERFACE = 10;
constexpr uint8_t USB_REQUEST_SET_INTERFACE = 11;
constexpr uint16_t USB_FEATURE_ENDPOINT_HALT = 0;

// Descriptor types.
constexpr uint8_t USB_DESCRIPTOR_DEVICE = 1;
constexpr uint8_t USB_DESCRIPTOR_CONFIGURATION = 2;
constexpr uint8_t USB_DESCRIPTOR_STRING = 3;
constexpr uint8_t USB_DESCRIPTOR_INTERFACE = 4;
constexpr uint8_t USB_DESCRIPTOR_ENDPOINT = 5;
constexpr uint8_t USB_DESCRIPTOR_BOS = 15;
constexpr uint8_t USB_DESCRIPTOR_DEVICE_CAPABILITY = 16;
constexpr uint8_t USB_DESCRIPTOR_SS_ENDPOINT_COMPANION = 0x30;

// Endpoint transfer types (bmAttributes bits 1..0), as the configuration codes them too.
constexpr uint8_t USB_TRANSFER_ISOCHRONOUS = 1;
constexpr uint8_t USB_TRANSFER_BULK = 2;
constexpr uint8_t USB_TRANSFER_INTERRUPT = 3;

constexpr bool IsInAddress(uint8_t bEndpointAddress) {
  return (bEndpointAddress & USB_DIR_IN) != 0;
}
// 0..15 for OUT endpoints, 16..31 for IN endpoints: one bit or slot per endpoint.
constexpr int EndpointSlot(uint8_t bEndpointAddress) {
  return (bEndpointAddress & 0x0F) | (IsInAddress(bEndpointAddress) ? 16 : 0);
}

// The eight bytes of a control transfer's setup stage.
struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};
