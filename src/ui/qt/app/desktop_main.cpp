// tarnwick: the shell over the Qt window layer, on real plugs or simulated ones.
#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/message_box.h"
#include "platform/text.h"
#include "ui/app_main.h"
#include "ui/main_window.h"
#include "ui/program.h"
#include "ui/qt/app/desktop_options.h"
#include "ui/qt/app/screenshot_run.h"
#include "ui/qt/dialog_widgets.h"
#include "ui/qt/qt_window_system.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

// Without any display Qt would end the process with a message about its platform
// plugin; this says what the user can do instead.
bool DisplayAvailable() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
  DesktopOptions options;
  std::string error;
  // Checked before Qt starts, so that --help, --version and a mistyped option work
  // without a display.
  if (!ParseDesktopOptions(Arguments(argc, argv), options, error)) {
    std::fprintf(stderr, "tarnwick: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options.Help) {
    std::fputs(DesktopUsageText().c_str(), stdout);
    return 0;
  }
  if (options.Version) {
    std::printf("%s\n", DesktopVersionText().c_str());
    return 0;
  }
  if (!DisplayAvailable()) {
    std::fputs(
        "tarnwick: no display (DISPLAY and WAYLAND_DISPLAY are not set): run it on a desktop, "
        "under xvfb-run, or use tarnwick-cli, the same tool on the command line\n",
        stderr);
    return kExitFailure;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tarnwick"));
  QApplication::setDesktopFileName(QStringLiteral("tarnwick"));
  QApplication::setWindowIcon(ui::qt::ProgramIcon());
  // Qt has taken its own options (-platform and the like) out of argv now.
  options = DesktopOptions();
  ParseDesktopOptions(Arguments(argc, argv), options, error);

  ui::qt::QtWindowSystem system;
  system.ListenForSleep();
  ProgramWiring wiring;
  std::u16string wiringError;
  if (!wiring.Install(options.Program, system, MainWindowShellCalls(), wiringError)) {
    std::fprintf(stderr, "tarnwick: %s\n", Utf16ToUtf8(wiringError).c_str());
    system.MessageBox(nullptr, wiringError, u"Tarnwick", MB_OK | MB_ICONERROR);
    return options.Program.Simulate ? kExitUsage : kExitFailure;
  }

  std::optional<ScreenshotRun> screenshot;
  ShellOptions shell;
  shell.Arguments = ShellArguments(options.ShellArguments);
  if (!options.Screenshot.empty()) {
    screenshot.emplace(system, QString::fromStdString(options.Screenshot), options.Start,
                       std::chrono::milliseconds(static_cast<int64_t>(options.After * 1000.0)));
    shell.Initialised = [&screenshot](ui::Window* mainWindow) { screenshot->Begin(mainWindow); };
  }
  if (options.ReportShown) {
    shell.Initialised = [first = shell.Initialised](ui::Window* mainWindow) {
      if (first) first(mainWindow);
      // After the loop's first round, which paints the window.
      QTimer::singleShot(0, [] {
        std::fputs("tarnwick: window shown\n", stdout);
        std::fflush(stdout);
      });
    };
  }
  const int code = RunTarnwick(shell, system);
  if (screenshot && !screenshot->Succeeded()) return kExitFailure;
  return code;
}
