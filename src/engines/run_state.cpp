#include "engines/run_state.h"

#include "engines/statistics.h"

std::atomic<bool> TestStopped{false};
std::atomic<int32_t> RunningTestThreads{0};

SharedText StatusText;
SharedText DeviceLabel;

void SharedText::Set(std::u16string_view text) {
  std::lock_guard<std::mutex> guard(lock_);
  text_.assign(text);
}

std::u16string SharedText::Get() const {
  std::lock_guard<std::mutex> guard(lock_);
  return text_;
}

void SharedText::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  text_.clear();
}

void StopTest() {
  TestStopped = true;
  TestStats.RunStartTime = 0;
}

void ResetRunState() {
  TestStopped = false;
  RunningTestThreads = 0;
  StatusText.Clear();
  DeviceLabel.Clear();
}
