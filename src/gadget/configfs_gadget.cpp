#include "gadget/configfs_gadget.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "protocol/byte_order.h"
#include "protocol/speed_codes.h"

namespace {

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

GadgetIdentity GadgetIdentityFrom(const std::vector<uint8_t>& device,
                                  const std::vector<uint8_t>& configuration,
                                  std::string manufacturer, std::string product,
                                  std::string serial) {
  GadgetIdentity id;
  if (device.size() >= 18) {
    id.bcdUSB = GetLe16(&device[2]);
    id.bDeviceClass = device[4];
    id.bDeviceSubClass = device[5];
    id.bDeviceProtocol = device[6];
    id.idVendor = GetLe16(&device[8]);
    id.idProduct = GetLe16(&device[10]);
    id.bcdDevice = GetLe16(&device[12]);
  }
  if (configuration.size() >= 9) {
    id.bmAttributes = configuration[7];
    // bMaxPower counts 8 mA units at SuperSpeed (USB 3.x) and 2 mA units below.
    const uint32_t unit = id.bcdUSB >= 0x0300 ? 8 : 2;
    id.MaxPowerMilliamps = configuration[8] * unit;
  }
  id.Manufacturer = std::move(manufacturer);
  id.Product = std::move(product);
  id.Serial = std::move(serial);
  return id;
}

const char* GadgetSpeedName(uint8_t speed) {
  switch (speed) {
    case SPEED_FULL:
      return "full-speed";
    case SPEED_HIGH:
      return "high-speed";
    default:
      return "super-speed";
  }
}

ConfigfsGadget::ConfigfsGadget(std::string configfsRoot, std::string name)
    : path_(std::move(configfsRoot) + "/usb_gadget/" + std::move(name)) {}

bool ConfigfsGadget::WriteAttribute(const std::string& relative, const std::string& value,
                                    std::string* error) {
  const std::string path = path_ + "/" + relative;
  // configfs takes one write per attribute; a plain folder (tests) needs the file
  // created and cut to the new value.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = SystemError("Cannot open", path);
    return false;
  }
  const std::string line = value + "\n";
  const ssize_t written = write(fd, line.data(), line.size());
  const int writeErrno = errno;
  close(fd);
  if (written != static_cast<ssize_t>(line.size())) {
    errno = written < 0 ? writeErrno : EIO;
    if (error) *error = SystemError("Cannot write \"" + value + "\" to", path);
    return false;
  }
  return true;
}

bool ConfigfsGadget::MakeDirectory(const std::string& relative, std::string* error) {
  const std::string path = relative.empty() ? path_ : path_ + "/" + relative;
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  if (error) *error = SystemError("Cannot create", path);
  return false;
}

bool ConfigfsGadget::Create(const GadgetIdentity& id, const std::string& function,
                            std::string* error) {
  function_ = "ffs." + function;
  struct stat st;
  if (stat(path_.c_str(), &st) == 0) {
    // Left bound by a run that did not end cleanly: free the controller first.
    Unbind(nullptr);
  } else if (!MakeDirectory("", error)) {
    return false;
  }
  const std::string english = "strings/0x409";
  const std::string config = "configs/c.1";
  const std::string link = config + "/" + function_;
  bool ok = WriteAttribute("idVendor", Hex(id.idVendor, 4), error) &&
            WriteAttribute("idProduct", Hex(id.idProduct, 4), error) &&
            WriteAttribute("bcdDevice", Hex(id.bcdDevice, 4), error) &&
            WriteAttribute("bcdUSB", Hex(id.bcdUSB, 4), error) &&
            WriteAttribute("bDeviceClass", Hex(id.bDeviceClass, 2), error) &&
            WriteAttribute("bDeviceSubClass", Hex(id.bDeviceSubClass, 2), error) &&
            WriteAttribute("bDeviceProtocol", Hex(id.bDeviceProtocol, 2), error) &&
            MakeDirectory("strings", error) && MakeDirectory(english, error) &&
            WriteAttribute(english + "/manufacturer", id.Manufacturer, error) &&
            WriteAttribute(english + "/product", id.Product, error) &&
            WriteAttribute(english + "/serialnumber", id.Serial, error) &&
            MakeDirectory("configs", error) && MakeDirectory(config, error) &&
            WriteAttribute(config + "/bmAttributes", Hex(id.bmAttributes, 2), error) &&
            WriteAttribute(config + "/MaxPower", std::to_string(id.MaxPowerMilliamps), error) &&
            MakeDirectory(config + "/strings", error) &&
            MakeDirectory(config + "/" + english, error) &&
            WriteAttribute(config + "/" + english + "/configuration", "Loopback", error) &&
            MakeDirectory("functions", error) && MakeDirectory("functions/" + function_, error);
  if (!ok) return false;
  const std::string target = path_ + "/functions/" + function_;
  const std::string linkPath = path_ + "/" + link;
  if (symlink(target.c_str(), linkPath.c_str()) != 0 && errno != EEXIST) {
    if (error) *error = SystemError("Cannot link", linkPath);
    return false;
  }
  return true;
}

bool ConfigfsGadget::SetMaxSpeed(uint8_t speed, std::string* error) {
  return WriteAttribute("max_speed", GadgetSpeedName(speed), error);
}

bool ConfigfsGadget::Bind(const std::string& udc, std::string* error) {
  return WriteAttribute("UDC", udc, error);
}

bool ConfigfsGadget::Unbind(std::string* error) {
  // An unbound gadget refuses an empty UDC (ENODEV): nothing to undo then.
  std::string ignored;
  if (WriteAttribute("UDC", "", &ignored) || errno == ENODEV) return true;
  if (error) *error = ignored;
  return false;
}

void ConfigfsGadget::Remove() {
  Unbind(nullptr);
  const std::string english = "strings/0x409";
  if (!function_.empty()) unlink((path_ + "/configs/c.1/" + function_).c_str());
  for (const std::string& dir :
       {"configs/c.1/" + english, std::string("configs/c.1"),
        function_.empty() ? std::string() : "functions/" + function_, english}) {
    if (!dir.empty()) rmdir((path_ + "/" + dir).c_str());
  }
  rmdir(path_.c_str());
}

std::vector<std::string> ListUdcs(const std::string& udcClassPath) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(udcClassPath, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<uint8_t> UdcMaxSpeed(const std::string& udcClassPath, const std::string& udc) {
  std::ifstream file(udcClassPath + "/" + udc + "/maximum_speed");
  std::string text;
  if (!std::getline(file, text)) return std::nullopt;
  if (text.rfind("super-speed", 0) == 0) return SPEED_SUPER;  // also super-speed-plus
  if (text == "high-speed" || text == "wireless") return SPEED_HIGH;
  if (text == "full-speed" || text == "low-speed") return SPEED_FULL;
  return std::nullopt;
}
