// tarnwick-cli: the shell over the headless window, worked by a scripted user.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "ui/app_main.h"
#include "ui/cli/cli_options.h"
#include "ui/cli/cli_session.h"
#include "ui/cli/cli_usage.h"
#include "ui/headless/headless_window_system.h"
#include "ui/main_window.h"
#include "ui/program.h"

namespace {

// A signal this soon after the first is the same request delivered twice (timeout(1)
// signals the child and its process group), not the user insisting.
constexpr auto kSecondSignalAfter = std::chrono::seconds(1);

// SIGINT and SIGTERM are taken by one thread: the first stops the run as the Stop
// button would, a later one ends the program at once.
void WatchSignals(const sigset_t& signals, CliSession& session) {
  std::thread([signals, &session] {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) return;
    session.Interrupt();
    const auto first = std::chrono::steady_clock::now();
    do {
      if (sigwait(&signals, &signal) != 0) return;
    } while (std::chrono::steady_clock::now() - first < kSecondSignalAfter);
    static const char kAgain[] = "tarnwick-cli: interrupted again, leaving at once\n";
    (void)!write(STDERR_FILENO, kAgain, sizeof kAgain - 1);
    _exit(128 + signal);
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  CliOptions options;
  std::string error;
  if (!ParseCliOptions(arguments, options, error)) {
    CliError(error);
    return CLI_EXIT_USAGE;
  }
  if (options.Help) {
    std::fputs(CliUsageText().c_str(), stdout);
    return CLI_EXIT_PASS;
  }
  if (options.Version) {
    std::printf("%s\n", CliVersionText().c_str());
    return CLI_EXIT_PASS;
  }
  // Every record is a line of its own, seen as it comes even through a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // Blocked before any thread exists, so that every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  ui::headless::HeadlessWindowSystem system;
  CliSession session(options, system);
  ShellCallTable calls = MainWindowShellCalls();
  session.AddObservers(calls);
  ProgramWiring wiring;
  std::u16string wiringError;
  if (!wiring.Install(options.Program, system, calls, wiringError)) {
    CliError(Utf16ToUtf8(wiringError));
    return options.Program.Simulate ? CLI_EXIT_USAGE : CLI_EXIT_NO_TEST;
  }
  WatchSignals(signals, session);

  ShellOptions shell;
  shell.Arguments = ShellArguments(options.ShellArguments);
  shell.Initialised = [&session](ui::Window* mainWindow) { session.Begin(mainWindow); };
  const int code = RunTarnwick(shell, system);
  const int status = session.Finish();
  return code != 0 ? CLI_EXIT_NO_TEST : status;
}
