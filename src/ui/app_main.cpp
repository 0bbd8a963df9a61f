#include "ui/app_main.h"

#include <atomic>

#include "engines/configuration.h"
#include "engines/run_state.h"
#include "engines/statistics.h"
#include "log/debug_trace.h"
#include "log/event_log.h"
#include "plug/plug_registry.h"
#include "ui/main_dialog.h"
#include "ui/main_window.h"
#include "ui/results_display.h"

namespace {

constexpr char16_t kDebugModeArgument[] = u"DEBUGMODE";
std::atomic<bool> g_threadsOutlivedExit{false};

bool SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  auto upper = [](char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
  };
  for (size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

void ParseCommandLine(const std::vector<std::u16string>& arguments) {
  DebugMode = false;
  for (const std::u16string& argument : arguments) {
    if (SameIgnoringCase(argument, kDebugModeArgument)) AnnounceDebugMode();
  }
}

void TraceScreen(const ui::WindowSystem& system) {
  if (!DebugMode) return;
  const ui::ScreenMetrics screen = system.Screen();
  const float scale = static_cast<float>(screen.pixelsPerInchY) / 96.0f;
  DebugTraceFormat("HORZRES - %d VERTRES - %d\n", screen.width, screen.height);
  DebugTraceFormat("LOGPIXELSY - %d LOGPIXELSX - %d DPIScale - %f\n", screen.pixelsPerInchY,
                   screen.pixelsPerInchX, static_cast<double>(scale));
  DebugTrace(u"DEBUG: Creating main window\n");
}

void ExitSteps() {
  DebugTrace(u"DEBUG: Deleting any currently locked plug from shared memory for this PID\n");
  ReleasePlugs();
  SetLogRecordAddedHook(nullptr);
  g_threadsOutlivedExit = !ReleaseTestThreadLeftovers(EXIT_THREAD_WAIT_MS);
  // A device object kept for a thread that would not end tells nobody of notices now.
  MainNotices.SetWindow(nullptr);
}

}  // namespace

bool TestThreadsOutlivedExit() {
  return g_threadsOutlivedExit.load();
}

int TarnwickMain(const ShellOptions& options, ui::WindowSystem& system) {
  ui::SetWindowSystem(&system);
  g_threadsOutlivedExit = false;
  ExitRequested = false;
  TestStats.PublishedMaxRate = 0.0f;
  TestStats.PublishedReadMaxRate = 0.0f;
  TestStats.PublishedWriteMaxRate = 0.0f;
  TestStats.PublishedLoopCount = 0;
  TestStats.PublishedErrorCount = 0;
  TestStats.DurationLimitMinutes = 0.0f;
  TestStats.RunStartTime = 0;
  TestStats.ElapsedSeconds = 0;
  RunningTestThreads = 0;
  InstallLogDisplayHook();

  ParseCommandLine(options.Arguments);
  WriteDebugHeader();
  TraceScreen(system);

  DebugTrace(
      u"DEBUG: Creating or getting a copy of the shared memory and shared memory mutex "
      u"objects\n");
  OpenPlugRegistry();
  DebugTrace(u"DEBUG: Initializing test configuration\n");
  SetConfigDefaults();

  DebugTrace(u"DEBUG: Creating and displaying window\n");
  ui::Window* mainWindow = system.CreateDialog("TARNWICK", nullptr, &MainWindowProc);
  if (mainWindow == nullptr) {
    DebugTrace(u"DEBUG: Failed to create dialog, return is NULL\n");
    ExitSteps();
    return 1;
  }
  DebugTrace(u"DEBUG: Finished creating dialog\n");
  const bool wasVisible = mainWindow->IsVisible();
  mainWindow->Show(true);
  DebugTrace(wasVisible
                 ? u"DEBUG: ShowWindow returned nonzero, the window was previously visible \n"
                 : u"DEBUG: ShowWindow returned zero, the window was previously hidden\n");

  DebugTrace(u"DEBUG: Initializing dialog\n");
  if (!InitDialog(mainWindow, options.Arguments)) {
    ExitSteps();
    return -1;
  }
  DebugTrace(u"DEBUG: Finishing initialization of dialog\n");
  if (options.Initialised) options.Initialised(mainWindow);

  const int code = system.RunMessageLoop();
  ExitSteps();
  return code;
}
