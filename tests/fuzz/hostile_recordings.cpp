#include "hostile_recordings.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/driver_port.h"
#include "protocol/plug_commands.h"
#include "protocol/plug_ids.h"
#include "sim/sim_driver.h"
#include "sim/sim_options.h"
#include "usb/usb_device.h"

namespace {

class ArrivalWaiter : public DeviceNoticeRecipient {
 public:
  void OnDeviceNotice(const DeviceNotice& notice) override {
    std::lock_guard lock(mutex_);
    if (notice.Event == DBT_DEVICEARRIVAL) arrived_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return arrived_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool arrived_ = false;
};

bool Configure(const std::vector<uint8_t>& block) {
  ArrivalWaiter waiter;
  UsbDevice device(&waiter, PLUG_INTERFACE_CLASS, true);
  UsbControlEndpoint* control = device.ControlEndpoint;
  if (control == nullptr) return false;
  control->RequestValue = PLUG_CMD_CONFIG;
  std::vector<uint8_t> copy = block;
  int32_t length = static_cast<int32_t>(copy.size());
  return control->ControlWrite(copy.data(), length) && waiter.Wait();
}

}  // namespace

HostileRecording RecordSimulatedPlug(const std::string& name, const std::string& options,
                                     const std::vector<uint8_t>& configuration) {
  HostileRecording recording;
  recording.Name = name;
  // Unlimited: every transfer ends inside its request, so the recording is the same
  // however busy the machine is.
  SimDriverPort sim(ParseSimOptions("rate=unlimited,reenum-ms=1," + options).Options);
  SetDriverPort(&sim);
  if (configuration.empty() || Configure(configuration)) {
    DeviceScript script;
    HostilePort port(script, &sim);
    SetDriverPort(&port);
    recording.Session = RunHostileSession(script, port);
    recording.Script = script.Recorded();
  }
  SetDriverPort(nullptr);
  return recording;
}

std::vector<HostileRecording> RecordSeedSessions() {
  return {
      RecordSimulatedPlug("loopback_super", "", {}),
      RecordSimulatedPlug("loopback_high", "speed=high", {}),
      RecordSimulatedPlug("loopback_full_no_version", "speed=full,firmware=none", {}),
      // SuperSpeed isochronous read: IN 3, burst 16, three packets per interval.
      RecordSimulatedPlug("iso_read_super", "", {1, 1, 3, 3, 16, 1, 0, 3, 0, 0xC0, 3, 2, 0, 0xC0}),
      // High-speed isochronous write: OUT 3, two transactions per microframe.
      RecordSimulatedPlug("iso_write_high", "speed=high",
                          {2, 1, 3, 3, 1, 1, 0, 2, 0, 0x08, 2, 2, 0, 0x08}),
      // SuperSpeed bulk in both directions: IN 2, OUT 5, burst 4.
      RecordSimulatedPlug("bulk_both_super", "", {3, 2, 2, 5, 4, 1, 0, 3, 0, 0x30, 3, 2, 0, 0x60}),
  };
}
