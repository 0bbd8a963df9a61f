#include "plug/plug_monitor.h"

#include "engines/configuration.h"
#include "log/event_log.h"

std::atomic<bool> MonitorMayRun{true};
std::atomic<bool> MonitorPaused{false};
std::atomic<bool> MonitorReconnect{true};
std::atomic<bool> AppRunning{true};
std::atomic<bool> ReenumerationPending{false};

PlugDisplayImageStore PlugDisplayImage;
PlugConfigBlock LastSentPlugConfig{};

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
