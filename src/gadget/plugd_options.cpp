#include "gadget/plugd_options.h"

namespace {

bool GoodSerial(const std::string& s) {
  if (s.empty() || s.size() > PLUGD_MAX_SERIAL) return false;
  for (char c : s) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum && c != '-' && c != '_') return false;
  }
  return true;
}

}  // namespace

PlugdOptionsResult ParsePlugdOptions(const std::vector<std::string>& args) {
  PlugdOptionsResult result;
  PlugdOptions& o = result.Options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool hasValue = false;
    if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    auto take = [&]() {
      if (hasValue) return true;
      if (i + 1 >= args.size()) {
        result.Error = name + " needs a value; see --help.";
        return false;
      }
      value = args[++i];
      return true;
    };
    if (name == "--help" || name == "-h") {
      o.Help = true;
    } else if (name == "--verbose" || name == "-v") {
      o.Verbose = true;
    } else if (name == "--udc") {
      if (!take()) return result;
      o.Udc = value;
    } else if (name == "--serial") {
      if (!take()) return result;
      if (!GoodSerial(value)) {
        result.Error = "--serial \"" + value + "\": expected 1 to " +
                       std::to_string(PLUGD_MAX_SERIAL) + " letters, digits, '-' or '_'.";
        return result;
      }
      o.Serial = value;
    } else if (name == "--configfs") {
      if (!take()) return result;
      o.ConfigfsRoot = value;
    } else if (name == "--functionfs-mount") {
      if (!take()) return result;
      o.FunctionFsMount = value;
    } else if (name == "--fault") {
      if (!take()) return result;
      const GadgetFaultsResult faults = ParseGadgetFaults(value);
      if (!faults.Ok) {
        result.Error = "--fault: " + faults.Error;
        return result;
      }
      o.Faults = faults.Faults;
    } else {
      result.Error = "Unknown argument \"" + args[i] +
                     "\". Valid: --udc, --serial, --configfs, --functionfs-mount, --fault, "
                     "--verbose, --help.";
      return result;
    }
    if (hasValue && (name == "--help" || name == "-h" || name == "--verbose" || name == "-v")) {
      result.Error = name + " takes no value.";
      return result;
    }
  }
  if (o.ConfigfsRoot.empty() || o.FunctionFsMount.empty()) {
    result.Error = "--configfs and --functionfs-mount need a path.";
    return result;
  }
  result.Ok = true;
  return result;
}

std::string PlugdHelpText() {
  return R"(Usage: tarnwick-plugd [OPTIONS]

Turns a Linux machine with a USB device-mode port (a USB device controller, "UDC")
into a software USB 3.0 loopback plug that Tarnwick tests like the real one: the
plug's firmware runs on the board and is served to the host through the kernel's
USB gadget framework (configfs + FunctionFS). Runs as root, until SIGINT/SIGTERM.

Options:
  --udc NAME              device controller to bind to (default: the first in
                          /sys/class/udc)
  --serial TEXT           the plug's serial number, 1 to 19 letters, digits, '-'
                          or '_' (default: PLUGD0001)
  --configfs PATH         where configfs is mounted (default: /sys/kernel/config)
  --functionfs-mount PATH where to mount the plug's FunctionFS instance
                          (default: /dev/tarnwick-ffs)
  --fault LIST            inject faults into the plug's own transfers, for tests:
                          comma-separated KEY=N items, N counted per direction on
                          the data endpoints:
                            read-error-every=N   the Nth IN transfer stalls
                            write-error-every=N  the Nth OUT transfer stalls
                            short-read-every=N   the Nth IN transfer ends at half
                            corrupt-every=N      bytes of the Nth IN transfer flip
                            corrupt-bytes=K      how many (default 1)
  --verbose, -v           log every control request and bus event
  --help, -h              this text

Making a board a loopback plug:
  1. Kernel: USB gadget support with configfs (CONFIG_USB_CONFIGFS,
     CONFIG_USB_CONFIGFS_F_FS) and the board's device controller driver; the
     port in peripheral (or OTG) mode, e.g. dr_mode = "peripheral" in its
     device tree. Load the modules: modprobe libcomposite usb_f_fs.
  2. Check that the controller is there: ls /sys/class/udc
  3. Run: sudo tarnwick-plugd --serial MYPLUG01
     configfs is mounted at --configfs if it is not yet. The daemon creates
     the gadget usb_gadget/tarnwick, mounts FunctionFS, writes the plug's
     descriptors and binds; unplugging the cable is harmless, it waits.
  4. Connect the port to the host under test; on the host, tarnwick lists
     the plug (VID:PID 1209:000a) by its serial.

Every configuration the host sends makes the plug leave the bus and come back
with the new endpoint layout; a lower connection speed becomes the gadget's
max_speed. Device controllers choose endpoint numbers themselves: when one
cannot give the number a configuration asks for, the daemon logs a WARNING
naming the endpoint and the address it got; choose endpoint numbers that
controller can give (the log shows which).

Exit status: 0 after SIGINT/SIGTERM, 1 when the gadget could not be set up,
2 for bad arguments.
)";
}
