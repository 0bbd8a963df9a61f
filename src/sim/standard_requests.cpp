#include "sim/standard_requests.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "firmware/device_descriptors.h"

namespace {

uint32_t CopyReply(const std::vector<uint8_t>& source, uint8_t* data, uint16_t wLength) {
  const uint32_t n = std::min<uint32_t>(wLength, static_cast<uint32_t>(source.size()));
  if (n) std::memcpy(data, source.data(), n);
  return n;
}

bool GetDescriptor(const SimPlug& plug, const SetupPacket& s, uint8_t* data, uint32_t* length) {
  const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
  const uint8_t index = static_cast<uint8_t>(s.wValue);
  const ServedDescriptors& served = plug.Descriptors;
  switch (type) {
    case USB_DESCRIPTOR_DEVICE:
      *length = CopyReply(served.Device, data, s.wLength);
      return true;
    case USB_DESCRIPTOR_CONFIGURATION:
      if (index != 0) return false;
      *length = CopyReply(served.Configuration, data, s.wLength);
      return true;
    case USB_DESCRIPTOR_STRING: {
      const std::vector<uint8_t> text = BuildStringDescriptor(plug.Model->Identity(), index);
      if (text.empty()) return false;
      *length = CopyReply(text, data, s.wLength);
      return true;
    }
    case USB_DESCRIPTOR_BOS:
      if (served.Bos.empty()) return false;
      *length = CopyReply(served.Bos, data, s.wLength);
      return true;
    default:
      return false;
  }
}

}  // namespace

ServedDescriptors ServeDescriptors(const PlugModel& model, const SimOptions& options) {
  const uint8_t speed = model.Speed();
  ServedDescriptors served;
  served.Device = BuildDeviceDescriptor(model.Identity(), speed);
  served.Configuration = BuildConfigurationSet(speed, model.InterfaceDescriptors(speed));
  served.Bos = BuildBos(model.Identity(), speed);
  if (options.BadConfig) BreakConfigurationSet(served.Configuration, speed == SPEED_SUPER);
  if (options.BadBos) BreakBos(served.Bos);
  return served;
}

bool HandleStandardRequest(SimPlug& plug, const SetupPacket& s, uint8_t* data, uint32_t* length) {
  const bool in = (s.bmRequestType & USB_DIR_IN) != 0;
  const uint8_t recipient = RecipientOf(s.bmRequestType);
  const uint8_t endpoint = static_cast<uint8_t>(s.wIndex);
  switch (s.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR:
      return in && GetDescriptor(plug, s, data, length);
    case USB_REQUEST_GET_STATUS:
      if (!in || s.wLength < 2) return false;
      data[0] = recipient == USB_RECIPIENT_ENDPOINT && plug.Halts.IsHalted(endpoint) ? 1 : 0;
      data[1] = 0;
      *length = 2;
      return true;
    case USB_REQUEST_GET_CONFIGURATION:
      if (!in || s.wLength < 1) return false;
      data[0] = 1;
      *length = 1;
      return true;
    case USB_REQUEST_GET_INTERFACE:
      if (!in || s.wLength < 1) return false;
      data[0] = 0;
      *length = 1;
      return true;
    case USB_REQUEST_SET_CONFIGURATION:
    case USB_REQUEST_SET_INTERFACE:
      return !in && s.wValue <= 1;
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE:
      if (in || recipient != USB_RECIPIENT_ENDPOINT || s.wValue != USB_FEATURE_ENDPOINT_HALT) {
        return false;
      }
      if (!plug.Model->FindEndpoint(endpoint)) return false;
      plug.Halts.Set(endpoint, s.bRequest == USB_REQUEST_SET_FEATURE);
      // A cleared halt resets the endpoint in the firmware too.
      if (s.bRequest == USB_REQUEST_CLEAR_FEATURE) plug.Model->ResetEndpoint(endpoint);
      return true;
    default:
      return false;
  }
}
