// The shell's windows on a headless window system installed as the process's one (with
// the message-box route), over an event log and shared state reset to their defaults.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engines/configuration.h"
#include "engines/run_state.h"
#include "engines/statistics.h"
#include "log/event_log.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_selection.h"
#include "res/control_ids.h"
#include "ui/config_dialog.h"
#include "ui/front_end.h"
#include "ui/headless/headless_window_system.h"
#include "ui/main_dialog.h"
#include "ui/main_window.h"
#include "ui/results_display.h"

using HeadlessWindow = ui::headless::HeadlessWindow;
using ui::headless::DrawCall;
using ui::headless::DrawKind;

class UiFixture : public ::testing::Test {
 protected:
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
    ResetShared();
    ui::SetWindowSystem(&system_);
    InstallMessageBoxHandler(&system_);
  }
  void TearDown() override {
    SetLogRecordAddedHook(nullptr);
    InstallMessageBoxHandler(nullptr);
    ui::SetWindowSystem(nullptr);
    ResetShared();
    LogRecord = nullptr;
  }
  static void ResetShared() {
    ResetTestStats();
    ResetRunState();
    ResetPlugMonitorState();
    ResetPlugSelection();
    ResetTestConfig();
    ResetConfigDialogState();
    ResetMainWindowState();
    ResetMainDialogState();
    ResetResultsDisplay();
  }

  void AddRecords(int count, uint32_t category = LogCategory::Information) {
    std::lock_guard lock(log_->Lock());
    for (int i = 0; i < count; ++i) log_->AddRecord(Format16("record %d", i).c_str(), category);
  }
  int32_t RecordsWithText(std::u16string_view text) {
    std::lock_guard lock(log_->Lock());
    int32_t count = 0;
    for (int32_t i = 0; i < static_cast<int32_t>(log_->RecordCount()); ++i) {
      if (log_->GetRecord(i, nullptr, nullptr) == text) ++count;
    }
    return count;
  }

  static inline Logger* log_ = nullptr;
  ui::headless::HeadlessWindowSystem system_;
};

// The main dialog, its drawing objects and log area set up, the loop not running: the
// test thread stands in for the user-interface thread.
class MainDialogFixture : public UiFixture {
 protected:
  void SetUp() override {
    UiFixture::SetUp();
    main_ = system_.CreateDialog("TARNWICK", nullptr, nullptr);
    KeepDialogHandles(main_);
    CreateDrawingObjects(96);
    LogArea.Store({0, 0, 600, 400});
  }

  HeadlessWindow* Control(int32_t id) { return static_cast<HeadlessWindow*>(main_->Control(id)); }
  HeadlessWindow* Panel() { return Control(res::IDC_LOG_PANEL); }
  HeadlessWindow* Bar() { return Control(res::IDC_LOG_SCROLL); }

  // What one DrawResults call painted.
  std::vector<DrawCall> Draw(int32_t kind, int32_t speed) {
    Panel()->Drawing()->Clear();
    DrawResults(Panel(), kind, speed);
    return Panel()->Drawing()->Calls();
  }
  static std::vector<DrawCall> Of(const std::vector<DrawCall>& calls, DrawKind kind) {
    std::vector<DrawCall> result;
    for (const auto& call : calls) {
      if (call.kind == kind) result.push_back(call);
    }
    return result;
  }
  static const DrawCall* FindText(const std::vector<DrawCall>& calls, std::u16string_view text) {
    for (const auto& call : calls) {
      if (call.kind == DrawKind::Text && call.text == text) return &call;
    }
    return nullptr;
  }

  ui::Window* main_ = nullptr;
};

// The main window with the loop on a thread of its own, so that modal dialogs opened
// over it run as in the program while the test plays the user.
class DialogFixture : public UiFixture {
 protected:
  void SetUp() override {
    UiFixture::SetUp();
    loop_ = std::thread([this] { system_.RunMessageLoop(); });
    main_ = static_cast<HeadlessWindow*>(system_.CreateDialog("TARNWICK", nullptr, nullptr));
  }
  void TearDown() override {
    system_.Quit(0);
    loop_.join();
    UiFixture::TearDown();
  }

  // Runs a modal dialog over the main window and returns it once set up; its result
  // arrives in modalResult_.
  HeadlessWindow* OpenModal(const char* templateName, std::function<intptr_t(ui::Window*)> run) {
    modalResult_ = kStillOpen;
    system_.Post([this, run] { modalResult_ = run(main_); });
    EXPECT_TRUE(system_.WaitForDialog(templateName));
    system_.Flush();
    return system_.FindDialog(templateName);
  }

  // The user's hand on one control of a dialog; each waits until the dialog reacted.
  void Click(ui::Window* dialog, int32_t id) {
    system_.UserClick(dialog->Control(id));
    system_.Flush();
  }
  void Choose(ui::Window* dialog, int32_t id, std::u16string_view entry) {
    const int32_t index = dialog->Control(id)->ComboFind(entry);
    ASSERT_NE(index, ui::CB_ERR) << "no entry " << Utf16ToUtf8(entry) << " in list " << id;
    system_.UserSelect(dialog->Control(id), index);
    system_.Flush();
  }
  void TypeAndLeave(ui::Window* dialog, int32_t id, std::u16string_view text) {
    system_.UserType(dialog->Control(id), text);
    system_.UserLeave(dialog->Control(id));
    system_.Flush();
  }
  std::vector<std::u16string> Entries(ui::Window* dialog, int32_t id) {
    std::vector<std::u16string> entries;
    ui::Window* list = dialog->Control(id);
    for (int32_t i = 0; i < list->ComboCount(); ++i) entries.push_back(list->ComboItemText(i));
    return entries;
  }
  std::u16string Chosen(ui::Window* dialog, int32_t id) {
    ui::Window* list = dialog->Control(id);
    return list->ComboItemText(list->ComboSelection());
  }

  static constexpr intptr_t kStillOpen = -100;
  std::thread loop_;
  HeadlessWindow* main_ = nullptr;
  std::atomic<intptr_t> modalResult_{kStillOpen};
};
