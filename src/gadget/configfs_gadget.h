// The plug's gadget in configfs: ids, strings and one configuration holding the
// FunctionFS function, bound to a device controller (UDC) and unbound again for a
// re-enumeration. The kernel serves the device, configuration and BOS descriptors
// from these values; the interface below them comes from FunctionFS.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What configfs takes for the device and its one configuration.
struct GadgetIdentity {
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0;
  uint16_t bcdUSB = 0;
  uint8_t bDeviceClass = 0;
  uint8_t bDeviceSubClass = 0;
  uint8_t bDeviceProtocol = 0;
  uint8_t bmAttributes = 0x80;
  uint32_t MaxPowerMilliamps = 0;
  std::string Manufacturer, Product, Serial;
};

// The values of a device descriptor and the header of a configuration set (as the
// firmware's descriptor helpers build them), with the three strings.
GadgetIdentity GadgetIdentityFrom(const std::vector<uint8_t>& deviceDescriptor,
                                  const std::vector<uint8_t>& configurationSet,
                                  std::string manufacturer, std::string product,
                                  std::string serial);

// "super-speed", "high-speed", "full-speed": the gadget's max_speed values.
const char* GadgetSpeedName(uint8_t speed);

class ConfigfsGadget {
 public:
  // configfsRoot is where configfs is mounted (/sys/kernel/config); the gadget lives
  // in usb_gadget/<name> below it.
  ConfigfsGadget(std::string configfsRoot, std::string name);

  // Writes the gadget's ids, strings and configuration and links the FunctionFS
  // function "ffs.<function>" into it. A gadget of the same name left behind by an
  // earlier run is unbound and reused.
  bool Create(const GadgetIdentity& identity, const std::string& function, std::string* error);
  bool SetMaxSpeed(uint8_t speed, std::string* error);
  bool Bind(const std::string& udc, std::string* error);
  bool Unbind(std::string* error);
  // Takes the gadget apart again, leaves first; best effort.
  void Remove();

  const std::string& Path() const { return path_; }

 private:
  bool WriteAttribute(const std::string& relative, const std::string& value, std::string* error);
  bool MakeDirectory(const std::string& relative, std::string* error);

  std::string path_;
  std::string function_;
};

// The device controllers in /sys/class/udc (or another folder), by name.
std::vector<std::string> ListUdcs(const std::string& udcClassPath);
// The fastest speed a controller offers, from its maximum_speed; nullopt when it
// cannot be read or names no speed the plug knows.
std::optional<uint8_t> UdcMaxSpeed(const std::string& udcClassPath, const std::string& udc);
