// Plug selection as the tool runs it: the headless main dialog, the real control
// states behind the shell calls, simulated plugs behind a tap, and device notices posted
// to the main window procedure. The test thread is the user-interface thread: Settle
// runs what the notices posted until the condition holds.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engines/configuration.h"
#include "engines/log_capture.h"
#include "engines/shell_calls.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "plug/sim_bus.h"
#include "protocol/device_path.h"
#include "protocol/plug_ids.h"
#include "res/control_ids.h"
#include "ui/front_end.h"
#include "ui/headless/headless_window_system.h"
#include "ui/main_dialog.h"
#include "ui/main_window.h"
#include "usb/usb_device.h"

class PlugWindowTest : public ::testing::Test {
 protected:
  class ShellNotices : public DeviceNoticeRecipient {
   public:
    explicit ShellNotices(PlugWindowTest& test) : test_(test) {}
    void OnDeviceNotice(const DeviceNotice& notice) override {
      test_.system_.Post(
          [this, notice] { MainWindowProc(test_.main_, DeviceChangeMessage(notice)); });
    }

   private:
    PlugWindowTest& test_;
  };

  void SetUp() override {
    ResetPlugMonitorState();
    ResetPlugSelection();
    ResetTestConfig();
    TestConfig.VerboseLogging = 1;
    ResetPlugSpeedCode();
    {
      std::lock_guard lock(LogRecord->Lock());
      LogRecord->Clear();
    }
    {
      std::lock_guard lock(shellLock_);
      shell_.clear();
    }
    ui::SetWindowSystem(&system_);
    InstallMessageBoxHandler(&system_);
    main_ = system_.CreateDialog("TARNWICK", nullptr, nullptr);
    ShellCallTable calls;
    calls.RestoreIdleControls = [this](ui::Window* window) {
      Shell(PlugConnected ? "restore, plug connected" : "restore");
      RestoreIdleControls(window);
    };
    calls.DisableControlsForTest = [this](ui::Window* window) {
      Shell("disable");
      DisableControlsForTest(window);
    };
    InstallShellCalls(calls);
  }

  void TearDown() override {
    PlugDevice = nullptr;
    device_.reset();  // no notices from here on
    bus_.reset();
    system_.Flush();
    ResetShellCalls();
    InstallMessageBoxHandler(nullptr);
    ui::SetWindowSystem(nullptr);
    ResetPlugMonitorState();
    ResetPlugSelection();
    ResetTestConfig();
    ResetPlugSpeedCode();
  }

  // Simulated plugs, and the device object as the dialog's set-up leaves it.
  void Plugs(const std::string& options) {
    bus_ = std::make_unique<SimBus>(options);
    device_ = std::make_unique<UsbDevice>(&notices_, PLUG_INTERFACE_CLASS, true);
    device_->CloseDevice();
    PlugDevice = device_.get();
  }

  bool Settle(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (true) {
      system_.Flush();
      if (condition()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  bool SettleConnected() {
    return Settle([] { return PlugConnected.load(); });
  }

  ui::Window* Control(int32_t id) { return main_->Control(id); }
  ui::Window* DeviceList() { return Control(res::IDC_DEVICE_LIST); }
  std::vector<std::string> Items(int32_t id) {
    std::vector<std::string> items;
    ui::Window* list = Control(id);
    for (int32_t i = 0; i < list->ComboCount(); ++i)
      items.push_back(Utf16ToUtf8(list->ComboItemText(i)));
    return items;
  }
  std::string Selected(int32_t id) {
    ui::Window* list = Control(id);
    return list->ComboSelection() < 0 ? "<none>"
                                      : Utf16ToUtf8(list->ComboItemText(list->ComboSelection()));
  }
  std::vector<std::string> Boxes() {
    std::vector<std::string> boxes;
    for (const auto& box : system_.MessageBoxes())
      boxes.push_back(Utf16ToUtf8(box.caption) + "|" + Utf16ToUtf8(box.text));
    return boxes;
  }
  std::vector<std::string> ShellCalls() {
    std::lock_guard lock(shellLock_);
    return shell_;
  }
  int Records(const std::string& text) {
    const auto texts = log_.Texts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }
  // The records after the first `count`.
  std::vector<std::string> RecordsAfter(size_t count) {
    const auto texts = log_.Texts();
    return {texts.begin() + static_cast<ptrdiff_t>(std::min(count, texts.size())), texts.end()};
  }
  void SelectEntry(const char16_t* text) {
    DeviceList()->ComboSelect(DeviceList()->ComboFind(text));
  }
  std::string OpenSerial() const {
    return IsPlugOpen() ? Utf16ToUtf8(PlugDevice->SerialNumberText) : "<closed>";
  }

  LogCapture log_;
  ui::headless::HeadlessWindowSystem system_;
  ui::Window* main_ = nullptr;
  ShellNotices notices_{*this};
  std::unique_ptr<SimBus> bus_;
  std::unique_ptr<UsbDevice> device_;

 private:
  void Shell(std::string call) {
    std::lock_guard lock(shellLock_);
    shell_.push_back(std::move(call));
  }
  std::mutex shellLock_;
  std::vector<std::string> shell_;
};
