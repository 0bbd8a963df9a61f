#include "engines/find_test_endpoints.h"

#include "engines/configuration.h"
#include "log/event_log.h"
#include "plug/plug_selection.h"
#include "usb/usb_device.h"
#include "usb/usb_endpoint.h"

std::atomic<UsbEndpoint*> TestInEndpoint{nullptr};
std::atomic<UsbEndpoint*> TestOutEndpoint{nullptr};

bool FindTestEndpoints() {
  TestInEndpoint = nullptr;
  TestOutEndpoint = nullptr;
  UsbEndpoint* in = nullptr;
  UsbEndpoint* out = nullptr;
  UsbDevice* device = PlugDevice;
  const uint8_t count = device != nullptr ? device->CountEndpoints() : 0;
  for (uint8_t index = 1; index < count; ++index) {
    UsbEndpoint* endpoint = device->EndpointTable[index];
    if (endpoint == nullptr || endpoint->bmAttributes != TestConfig.EndpointType) continue;
    const uint8_t address = endpoint->bEndpointAddress;
    if ((address & 0x80) != 0) {
      if ((address & 0x7F) == TestConfig.InEndpointNumber) in = endpoint;
    } else if (address == TestConfig.OutEndpointNumber) {
      out = endpoint;
    }
  }
  TestInEndpoint = in;
  TestOutEndpoint = out;
  if (in == nullptr && out == nullptr) {
    if (TestConfig.VerboseLogging)
      LogEvent(u"Failure to find end points", LogCategory::Diagnostics);
    return false;
  }
  return true;
}
