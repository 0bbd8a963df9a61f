// The user of tarnwick-cli: a thread that works the headless main window as a person
// would (selects the plug, chooses the test and connection, fills the configuration
// dialog, presses Start, Stop on a signal), collects what the run measured and writes
// the results. The shell itself runs unchanged on the user-interface thread.
#pragma once
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engines/shell_calls.h"
#include "ui/cli/cli_options.h"
#include "ui/headless/headless_window_system.h"
#include "ui/run_report.h"

class CliSession {
 public:
  CliSession(const CliOptions& options, ui::headless::HeadlessWindowSystem& system);
  ~CliSession();
  CliSession(const CliSession&) = delete;
  CliSession& operator=(const CliSession&) = delete;

  // The run's observers, added to the engines' call table before it is installed.
  void AddObservers(ShellCallTable& calls);
  // From the shell, on the user-interface thread, once the main dialog is set up: the
  // user's thread starts.
  void Begin(ui::Window* mainWindow);
  // SIGINT or SIGTERM (any thread): Stop during a run, giving up before one.
  void Interrupt() { interrupted_ = true; }
  // After the shell has returned: waits for the user's thread; the exit status.
  int Finish();

  // Whether event-log records go to standard output (not with --list or --json -).
  bool PrintsRecords() const;

 private:
  enum class Readiness { Ready, NotUsable, TimedOut, Interrupted };
  enum class Verdict { Accepted, Refused };

  void Drive();
  int Run();
  int SelectPlug();
  int ChooseTest();
  int ChooseConnection();
  int ApplySettings();
  Verdict ApplySetting(ui::Window* dialog, const CliSetting& setting, std::string& valid);
  int StartAndWait();
  int WriteOutputs(bool runHadErrors);
  RunReport BuildReport(bool runHadErrors);
  bool RunHadErrors();

  Readiness WaitUntilReady();
  int ReadyOrFail(const char* after);
  void WaitForLoop();
  void Flush() { system_.Flush(); }
  ui::Window* Control(int32_t id) { return main_->Control(id); }

  const CliOptions& options_;
  ui::headless::HeadlessWindowSystem& system_;
  ui::Window* main_ = nullptr;
  std::thread user_;
  std::atomic<bool> interrupted_{false};
  std::atomic<bool> loopRunning_{false};
  int status_ = CLI_EXIT_NO_TEST;
  std::vector<std::string> scanned_;  // the Device list as the first scan left it

  // What the engine reported, under lock_.
  std::mutex lock_;
  std::chrono::steady_clock::time_point runStart_{};
  std::map<RateDirection, std::vector<RateSample>> series_;
  std::optional<RunFigures> figures_;
};

// Prints an error of the program's own: "tarnwick-cli: <text>" on standard error.
void CliError(const std::string& text);
// Whether a file can be written at this path (an existing file is left as it was).
bool CanWriteFile(const std::string& path);
