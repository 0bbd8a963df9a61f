// The main window on a headless window system whose loop runs on a thread of its own,
// so that modal dialogs opened over it run as they do in the program while the test
// plays the user. The event log and the configuration start from their defaults.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "engines/configuration.h"
#include "log/event_log.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "res/control_ids.h"
#include "ui/config_dialog.h"
#include "ui/front_end.h"
#include "ui/headless/headless_window_system.h"

class DialogFixture : public ::testing::Test {
 protected:
  using Window = ui::headless::HeadlessWindow;

  static void SetUpTestSuite() { log_ = new Logger(); }
  static void TearDownTestSuite() {
    delete log_;
    log_ = nullptr;
  }

  void SetUp() override {
    LogRecord = log_;
    {
      std::lock_guard lock(log_->Lock());
      log_->Clear();
    }
    ResetTestConfig();
    ResetConfigDialogState();
    ResetPlugMonitorState();
    ui::SetWindowSystem(&system_);
    InstallMessageBoxHandler(&system_);
    loop_ = std::thread([this] { system_.RunMessageLoop(); });
    main_ = static_cast<Window*>(system_.CreateDialog("TARNWICK", nullptr, nullptr));
  }

  void TearDown() override {
    system_.Quit(0);
    loop_.join();
    InstallMessageBoxHandler(nullptr);
    ui::SetWindowSystem(nullptr);
    ResetPlugMonitorState();
    ResetConfigDialogState();
    LogRecord = nullptr;
    ResetTestConfig();
  }

  // Runs a modal dialog over the main window on the user-interface thread and returns
  // it once it has been set up; its result arrives in modalResult_.
  Window* OpenModal(const char* templateName, std::function<intptr_t(ui::Window*)> run) {
    modalResult_ = kStillOpen;
    system_.Post([this, run] { modalResult_ = run(main_); });
    EXPECT_TRUE(system_.WaitForDialog(templateName));
    system_.Flush();  // the set-up has run once the thread serves its queue again
    return system_.FindDialog(templateName);
  }

  // The user's hand on one control of a dialog; each waits until the dialog reacted.
  Window* Control(Window* dialog, int32_t id) { return static_cast<Window*>(dialog->Control(id)); }
  void Click(Window* dialog, int32_t id) {
    system_.UserClick(dialog->Control(id));
    system_.Flush();
  }
  void Choose(Window* dialog, int32_t id, std::u16string_view entry) {
    const int32_t index = dialog->Control(id)->ComboFind(entry);
    ASSERT_NE(index, ui::CB_ERR) << "no entry " << Utf16ToUtf8(entry) << " in list " << id;
    system_.UserSelect(dialog->Control(id), index);
    system_.Flush();
  }
  void TypeAndLeave(Window* dialog, int32_t id, std::u16string_view text) {
    system_.UserType(dialog->Control(id), text);
    system_.UserLeave(dialog->Control(id));
    system_.Flush();
  }

  std::vector<std::u16string> Entries(Window* dialog, int32_t id) {
    std::vector<std::u16string> entries;
    ui::Window* list = dialog->Control(id);
    for (int32_t i = 0; i < list->ComboCount(); ++i) entries.push_back(list->ComboItemText(i));
    return entries;
  }
  std::u16string Chosen(Window* dialog, int32_t id) {
    ui::Window* list = dialog->Control(id);
    return list->ComboItemText(list->ComboSelection());
  }

  int32_t RecordsWithText(std::u16string_view text) {
    std::lock_guard lock(log_->Lock());
    int32_t count = 0;
    for (int32_t i = 0; i < static_cast<int32_t>(log_->RecordCount()); ++i) {
      uint32_t category = 0;
      int64_t time = 0;
      if (log_->GetRecord(i, &category, &time) == text) ++count;
    }
    return count;
  }

  static constexpr intptr_t kStillOpen = -100;
  static inline Logger* log_ = nullptr;
  ui::headless::HeadlessWindowSystem system_;
  std::thread loop_;
  Window* main_ = nullptr;
  std::atomic<intptr_t> modalResult_{kStillOpen};
};
