// The whole program over simulated plugs: TarnwickMain on a thread of its own as the
// user-interface thread of a headless window system, the test as the user. Timers are
// manual unless a test asks for real ones; the duration limit reads a clock the test
// sets; the registry and the documents folder are the test's own.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engines/configuration.h"
#include "engines/engine_thread.h"
#include "engines/run_state.h"
#include "engines/shell_calls.h"
#include "engines/statistics.h"
#include "log/debug_trace.h"
#include "log/event_log.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_registry.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "protocol/plug_ids.h"
#include "res/control_ids.h"
#include "ui/app_main.h"
#include "ui/config_dialog.h"
#include "ui/headless/headless_window_system.h"
#include "ui/main_dialog.h"
#include "ui/main_window.h"
#include "ui/program.h"
#include "ui/results_display.h"
#include "ui/shell_state.h"

class ShellTest : public ::testing::Test {
 protected:
  struct Record {
    std::string text;
    uint32_t category;
  };

  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    folder_ = std::filesystem::temp_directory_path() /
              ("tarnwick-shell-" + std::to_string(getpid()) + "-" + name);
    std::filesystem::create_directories(folder_);
    setenv("XDG_DOCUMENTS_DIR", folder_.c_str(), 1);
    setenv(PlugRegistryPrefixVariable, ("shell" + std::to_string(getpid()) + name).c_str(), 1);
    ResetShellState();
    serving_ = ended_ = false;
    main_ = nullptr;
    g_self = this;
    SetLogRecordObserver(&ObserveRecord);
    Clock() = 1000000;
    SetShellClock([] { return Clock().load(); });
  }

  void TearDown() override {
    Close();
    if (loop_.joinable()) {
      system_.Quit(0);
      loop_.join();
    }
    SetLogRecordObserver(nullptr);
    wiring_.reset();
    ResetShellState();
    g_self = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  static std::atomic<int64_t>& Clock() {
    static std::atomic<int64_t> now{0};
    return now;
  }

  // The program with these simulated plugs and this command line, until its loop serves.
  void Run(const std::string& sim, std::vector<std::u16string> arguments = {},
           bool manualTimers = true) {
    ProgramOptions program;
    program.Simulate = true;
    program.SimOptions = sim;
    wiring_ = std::make_unique<ProgramWiring>();
    std::u16string error;
    ASSERT_TRUE(wiring_->Install(program, system_, MainWindowShellCalls(), error))
        << Utf16ToUtf8(error);
    system_.SetManualTimers(manualTimers);
    ShellOptions options;
    options.Arguments = std::move(arguments);
    options.Initialised = [this](ui::Window* mainWindow) {
      main_ = mainWindow;
      system_.Post([this] { serving_ = true; });
    };
    loop_ = std::thread([this, options] {
      code_ = TarnwickMain(options, system_);
      ended_ = true;
    });
    ASSERT_TRUE(WaitFor([this] { return serving_.load() || ended_.load(); }, false));
    ASSERT_FALSE(ended_.load()) << "the program ended during its start-up";
  }

  // Ends the program (if it runs) and starts from scratch, for table-driven runs.
  void Restart() {
    TearDown();
    SetUp();
  }

  // Waits, bounded, until the condition holds.
  bool WaitFor(const std::function<bool()>& condition, bool flush = true) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (true) {
      if (flush && !ended_) system_.Flush();
      if (condition()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // The plug in use is connected and no re-enumeration is under way.
  bool Ready() {
    bool ready = false;
    system_.Invoke([&] { ready = PlugConnected && !ReenumerationPending; });
    return ready;
  }
  bool WaitReady() {
    return WaitFor([this] { return Ready(); });
  }
  bool WaitEngineEnd() {
    return WaitFor([] { return EngineThreadsAlive() == 0; });
  }

  // Verbose logging on, as the configuration dialog's OK stores it.
  void SetVerbose() {
    system_.Invoke([] {
      TestConfigRecord config = TestConfig;
      config.VerboseLogging = 1;
      StoreTestConfig(config);
    });
  }

  ui::headless::HeadlessWindow* Control(int32_t id) {
    return static_cast<ui::headless::HeadlessWindow*>(main_->Control(id));
  }
  void Click(int32_t id) {
    system_.UserClick(Control(id));
    system_.Flush();
  }
  // A command as the control (or a keyboard shortcut) sends it, enabled or not.
  void Command(int32_t id) {
    ui::Message message;
    message.kind = ui::MessageKind::Command;
    message.id = id;
    message.code = ui::BN_CLICKED;
    main_->SendMessage(message);
  }
  void Post(ui::Message message) {
    main_->PostMessage(std::move(message));
    system_.Flush();
  }
  void Tick() {
    system_.AdvanceTime(DISPLAY_PERIOD_MS);
    system_.Flush();
  }

  // The close box; with manual timers the exit's wait for test threads is stepped.
  void Close() {
    if (!loop_.joinable()) return;
    system_.UserClose(main_);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (!ended_ && std::chrono::steady_clock::now() < end) {
      system_.AdvanceTime(EXIT_WAIT_PERIOD_MS);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (ended_) loop_.join();
  }

  std::vector<Record> Records() {
    std::lock_guard lock(recordLock_);
    return records_;
  }
  // The texts of the records after the first `since`.
  std::vector<std::string> Texts(size_t since = 0) {
    std::vector<std::string> texts;
    for (const Record& record : Records()) texts.push_back(record.text);
    texts.erase(texts.begin(),
                texts.begin() + static_cast<ptrdiff_t>(std::min(since, texts.size())));
    return texts;
  }
  int Count(const std::string& text) {
    const auto texts = Texts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }
  int IndexOf(const std::string& text) {  // -1: none
    const auto texts = Texts();
    const auto found = std::find(texts.begin(), texts.end(), text);
    return found == texts.end() ? -1 : static_cast<int>(found - texts.begin());
  }
  std::vector<std::string> Boxes() {
    std::vector<std::string> boxes;
    for (const auto& box : system_.MessageBoxes())
      boxes.push_back(Utf16ToUtf8(box.caption) + "|" + Utf16ToUtf8(box.text));
    return boxes;
  }
  // The trace file's lines without their time stamps.
  std::vector<std::string> TraceLines() {
    std::ifstream file(folder_ / "Quorvale" / "Tarnwick" / "TarnwickLog.txt", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t text = line.find("s - ");
      if (text != std::string::npos) lines.push_back(line.substr(text + 4));
    }
    return lines;
  }

  std::filesystem::path folder_;
  ui::headless::HeadlessWindowSystem system_;
  std::unique_ptr<ProgramWiring> wiring_;
  ui::Window* main_ = nullptr;
  std::thread loop_;
  std::atomic<bool> serving_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> code_{-100};

 private:
  static void ObserveRecord(const char16_t* text, uint32_t category, int64_t) {
    std::lock_guard lock(g_self->recordLock_);
    g_self->records_.push_back({Utf16ToUtf8(text), category});
  }
  static inline ShellTest* g_self = nullptr;
  std::mutex recordLock_;
  std::vector<Record> records_;
};
