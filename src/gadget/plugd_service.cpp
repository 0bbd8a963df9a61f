#include "gadget/plugd_service.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "firmware/device_descriptors.h"
#include "gadget/configfs_gadget.h"
#include "gadget/ffs_files.h"

namespace {

constexpr const char* kGadgetName = "tarnwick";
constexpr const char* kFunctionName = "tarnwick";

bool EnsureConfigfs(const std::string& root, std::string* error) {
  struct stat st;
  if (stat((root + "/usb_gadget").c_str(), &st) == 0) return true;
  mkdir(root.c_str(), 0755);
  if (mount("none", root.c_str(), "configfs", 0, nullptr) == 0 &&
      stat((root + "/usb_gadget").c_str(), &st) == 0) {
    return true;
  }
  *error = "No usb_gadget folder in " + root +
           ": mount configfs there and load libcomposite (modprobe libcomposite)";
  return false;
}

}  // namespace

int RunPlugd(const PlugdOptions& options, const GadgetLog& log) {
  std::string error;
  auto fail = [&](const std::string& what) {
    log("ERROR: " + what);
    return 1;
  };
  std::string udc = options.Udc;
  if (udc.empty()) {
    const std::vector<std::string> udcs = ListUdcs(options.UdcClassPath);
    if (udcs.empty()) {
      return fail("No USB device controller in " + options.UdcClassPath +
                  ": this machine has no device-mode port, or its driver is not loaded");
    }
    udc = udcs.front();
  }
  const auto portSpeed = UdcMaxSpeed(options.UdcClassPath, udc);
  if (!portSpeed) return fail("Cannot read the maximum speed of controller \"" + udc + "\"");
  if (!EnsureConfigfs(options.ConfigfsRoot, &error)) return fail(error);

  PlugIdentity identity;
  identity.Serial = options.Serial;
  identity.PortSpeed = *portSpeed;
  // The kernel serves the device and configuration descriptors: give it the values
  // the plug's own would have at its fastest speed.
  const GadgetIdentity ids = GadgetIdentityFrom(BuildDeviceDescriptor(identity, *portSpeed),
                                                BuildConfigurationSet(*portSpeed, {}),
                                                PLUG_MANUFACTURER, PLUG_PRODUCT, options.Serial);
  ConfigfsGadget gadget(options.ConfigfsRoot, kGadgetName);
  if (!gadget.Create(ids, kFunctionName, &error)) {
    gadget.Remove();
    return fail(error);
  }
  bool mounted = false;
  if (!MountFunctionFs(kFunctionName, options.FunctionFsMount, &mounted, &error)) {
    gadget.Remove();
    return fail(error);
  }

  // SIGINT and SIGTERM are taken by sigwait below, never by the serving threads.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  InstallInterruptHandler();

  SystemFfsFiles files(options.FunctionFsMount);
  ConfigfsBus bus(gadget, udc);
  log("tarnwick-plugd: plug " + options.Serial + " on controller " + udc);
  std::atomic<int> status{0};
  {
    PlugGadget plug(identity, files, bus, options.Faults, log, options.Verbose);
    std::thread server([&] {
      std::string why;
      if (!plug.Run(&why)) {
        log("ERROR: " + why);
        status = 1;
        kill(getpid(), SIGTERM);  // ends the wait below
      }
    });
    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (status == 0) log("Stopping");
    plug.Stop();
    server.join();
  }
  if (mounted) UnmountFunctionFs(options.FunctionFsMount);
  gadget.Remove();
  return status.load();
}
