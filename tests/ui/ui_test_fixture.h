// The main dialog on a headless window system (installed as the process's one, with
// the message-box route), with an event log and the display's shared state reset, for
// the tests of the shell's display and control states.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engines/configuration.h"
#include "engines/run_state.h"
#include "engines/statistics.h"
#include "log/event_log.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_selection.h"
#include "res/control_ids.h"
#include "ui/front_end.h"
#include "ui/headless/headless_window_system.h"
#include "ui/main_dialog.h"
#include "ui/main_window.h"
#include "ui/results_display.h"

class MainDialogFixture : public ::testing::Test {
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
    ResetTestStats();
    ResetRunState();
    ResetPlugMonitorState();
    ResetPlugSelection();
    ResetTestConfig();
    ResetMainWindowState();
    ResetMainDialogState();
    ResetResultsDisplay();
    ui::SetWindowSystem(&system_);
    InstallMessageBoxHandler(&system_);
    main_ = system_.CreateDialog("TARNWICK", nullptr, nullptr);
    KeepDialogHandles(main_);
    CreateDrawingObjects(96);
    LogArea.Store({0, 0, 600, 400});
  }

  void TearDown() override {
    SetLogRecordAddedHook(nullptr);
    InstallMessageBoxHandler(nullptr);
    ui::SetWindowSystem(nullptr);
    ResetMainDialogState();
    ResetResultsDisplay();
    ResetMainWindowState();
    ResetPlugSelection();
    ResetPlugMonitorState();
    LogRecord = nullptr;
    ResetTestConfig();
  }

  ui::headless::HeadlessWindow* Control(int32_t id) {
    return static_cast<ui::headless::HeadlessWindow*>(main_->Control(id));
  }
  ui::headless::HeadlessWindow* Panel() { return Control(res::IDC_LOG_PANEL); }
  ui::headless::HeadlessWindow* Bar() { return Control(res::IDC_LOG_SCROLL); }

  // What one DrawResults call painted.
  std::vector<ui::headless::DrawCall> Draw(int32_t kind, int32_t speed) {
    Panel()->Drawing()->Clear();
    DrawResults(Panel(), kind, speed);
    return Panel()->Drawing()->Calls();
  }

  static std::vector<ui::headless::DrawCall> Of(const std::vector<ui::headless::DrawCall>& calls,
                                                ui::headless::DrawKind kind) {
    std::vector<ui::headless::DrawCall> result;
    for (const auto& call : calls) {
      if (call.kind == kind) result.push_back(call);
    }
    return result;
  }
  static const ui::headless::DrawCall* FindText(const std::vector<ui::headless::DrawCall>& calls,
                                                std::u16string_view text) {
    for (const auto& call : calls) {
      if (call.kind == ui::headless::DrawKind::Text && call.text == text) return &call;
    }
    return nullptr;
  }

  void AddRecords(int count, uint32_t category = LogCategory::Information) {
    std::lock_guard lock(log_->Lock());
    for (int i = 0; i < count; ++i) {
      log_->AddRecord(Format16("record %d", i).c_str(), category);
    }
  }

  static inline Logger* log_ = nullptr;
  ui::headless::HeadlessWindowSystem system_;
  ui::Window* main_ = nullptr;
};
