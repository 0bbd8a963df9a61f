#include "plug/plug_monitor.h"

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
