#include "plug/plug_monitor.h"

#include <chrono>
#include <thread>

#include "engines/configuration.h"
#include "log/event_log.h"
#include "plug/plug_selection.h"
#include "protocol/usb_standard.h"
#include "usb/usb_device.h"
#include "usb/usb_endpoint.h"

std::atomic<bool> MonitorMayRun{true};
std::atomic<bool> MonitorPaused{false};
std::atomic<bool> MonitorReconnect{true};
std::atomic<bool> AppRunning{true};
std::atomic<bool> ReenumerationPending{false};

PlugDisplayImageStore PlugDisplayImage;
PlugConfigBlock LastSentPlugConfig{};
std::atomic<UsbEndpoint*> MonitorEndpoint{nullptr};

namespace {

constexpr uint32_t kReadPeriodMs = 1000;
constexpr uint32_t kPausedPassMs = 100;
constexpr uint32_t kSearchPassMs = 100;
constexpr uint32_t kDisplayTimeoutMs = 50;

PlugMonitorPause g_pause;

void Pause(uint32_t milliseconds) {
  if (g_pause) {
    g_pause(milliseconds);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

bool Verbose() {
  return VerboseLoggingOn();
}

// With the plug ready and the endpoint to be looked up again, walks the open plug's
// endpoint table for the display endpoint. True when this lookup found it.
bool LookUpDisplayEndpoint() {
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(PlugSelectionLock);
    if (!PlugConnected || !MonitorReconnect || !IsPlugOpen()) return false;
    MonitorEndpoint = nullptr;
    const uint8_t count = PlugDevice->CountEndpoints();
    for (uint8_t i = 0; i < count; ++i) {
      UsbEndpoint* endpoint = PlugDevice->EndpointTable[i];
      if (endpoint == nullptr || endpoint->bmAttributes != USB_TRANSFER_BULK ||
          endpoint->bEndpointAddress != PLUG_DISPLAY_ENDPOINT) {
        continue;
      }
      MonitorEndpoint = endpoint;
      endpoint->TimeoutMs = kDisplayTimeoutMs;
      MonitorReconnect = false;
      found = true;
    }
  }
  if (found && Verbose()) {
    LogEvent(u"Voltage read thread now connected to USB device", LogCategory::Diagnostics);
  }
  return found;
}

enum class DisplayRead { Done, Failed, EndpointGone };

// The endpoint is used only under the plug-selection lock and only while
// MonitorReconnect is clear, which a reselection or reopening sets before it
// touches the device.
DisplayRead ReadDisplayImage(PlugDisplayBitmap& image) {
  std::lock_guard<std::mutex> guard(PlugSelectionLock);
  UsbEndpoint* endpoint = MonitorEndpoint;
  if (MonitorReconnect || endpoint == nullptr) return DisplayRead::EndpointGone;
  int32_t length = static_cast<int32_t>(image.size());
  const bool done = endpoint->TransferSync(image.data(), length);
  // Part of an image is no image.
  return done && length == static_cast<int32_t>(image.size()) ? DisplayRead::Done
                                                              : DisplayRead::Failed;
}

// One image a second until a test starts, the program closes or the endpoint must be
// looked up again.
void ReadWhileIdle(PlugDisplayBitmap& image) {
  while (MonitorMayRun && AppRunning) {
    switch (ReadDisplayImage(image)) {
      case DisplayRead::Done:
        PlugDisplayImage.Store(image);
        break;
      case DisplayRead::Failed:
        PlugDisplayImage.Clear();
        if (Verbose()) {
          LogEvent(u"Timeout reading voltage level, device might be busy",
                   LogCategory::Diagnostics);
        }
        break;
      case DisplayRead::EndpointGone:
        return;
    }
    Pause(kReadPeriodMs);
    if (MonitorReconnect) return;
  }
}

}  // namespace

void PlugDisplayImageStore::Store(const PlugDisplayBitmap& image) {
  std::lock_guard<std::mutex> guard(lock_);
  image_ = image;
}

void PlugDisplayImageStore::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  image_.fill(0);
}

PlugDisplayBitmap PlugDisplayImageStore::Load() const {
  std::lock_guard<std::mutex> guard(lock_);
  return image_;
}

void ResetPlugMonitorState() {
  MonitorMayRun = true;
  MonitorPaused = false;
  MonitorReconnect = true;
  AppRunning = true;
  ReenumerationPending = false;
  PlugDisplayImage.Clear();
  LastSentPlugConfig.fill(0);
  MonitorEndpoint = nullptr;
  g_pause = nullptr;
}

void SetPlugMonitorPause(PlugMonitorPause pause) {
  g_pause = std::move(pause);
}

void PlugMonitorThread(ui::Window* /*mainWindow*/) {
  // Whether MonitorEndpoint is usable; kept across a test, so the reads resume after
  // it without a new lookup.
  bool found = false;
  PlugDisplayBitmap image{};
  while (AppRunning) {
    if (!MonitorMayRun) {
      MonitorPaused = true;
      Pause(kPausedPassMs);
      continue;
    }
    MonitorPaused = false;
    if (LookUpDisplayEndpoint()) found = true;
    if (!found) {
      Pause(kSearchPassMs);
      continue;
    }
    if (!MonitorReconnect) {
      ReadWhileIdle(image);
      if (!MonitorReconnect) continue;
    }
    PlugDisplayImage.Clear();
    MonitorEndpoint = nullptr;
    found = false;
  }
}

void ApplyConfigToPlug(bool force) {
  CorrectTestConfig();
  PlugConfigBlock block = BuildPlugConfigBlock(TestConfig);
  if (!force && block == LastSentPlugConfig) return;
  ReenumerationPending = true;
  LogEvent(u"Starting plug re-enumeration due to config change", LogCategory::Information);
  LastSentPlugConfig = block;
  // The plug answers by leaving the bus; whether it took the block shows when it comes
  // back, so the result is not looked at here.
  SendPlugRequest(PlugCommand::Configure, PLUG_REQUEST_OUT, block.data(),
                  static_cast<uint32_t>(block.size()));
}
