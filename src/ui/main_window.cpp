#include "ui/main_window.h"

#include <charconv>
#include <string>

#include "engines/benchmark_sync.h"
#include "engines/benchmark_test.h"
#include "engines/configuration.h"
#include "engines/engine_thread.h"
#include "engines/loopback_test.h"
#include "engines/run_state.h"
#include "engines/statistics.h"
#include "log/debug_trace.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "protocol/device_path.h"
#include "protocol/plug_ids.h"
#include "res/control_ids.h"
#include "ui/about_box.h"
#include "ui/config_dialog.h"
#include "ui/help_file.h"
#include "ui/log_save.h"
#include "ui/main_dialog.h"
#include "ui/results_display.h"

using namespace res;

std::atomic<bool> ExitRequested{false};
MainWindowNotices MainNotices;

namespace {

constexpr char16_t kNoPlugText[] = u"Please select a USB plug from the available devices list";
constexpr char16_t kNoPlugTitle[] = u"No plug selected";
// The Duration box is read as at most this many characters.
constexpr size_t kDurationChars = 7;
// A serial is copied into a zeroed buffer of 64 characters.
constexpr size_t kMaxSerialChars = 63;
// The last Serial No. characters that name a saved log file.
constexpr size_t kSerialBoxChars = 20;

std::atomic<ShellClock> g_clock{&CalendarTime};
int32_t g_exitWaitTicks = 0;  // window thread

int64_t Now() {
  return g_clock.load()();
}

bool Verbose() {
  return TestConfig.VerboseLogging != 0;
}

ui::Window* Control(ui::Window* mainWindow, int32_t id) {
  return mainWindow != nullptr ? mainWindow->Control(id) : nullptr;
}

bool PlugSelected() {
  return IsPlugOpen();
}

void ShowNoPlugMessage(ui::Window* mainWindow) {
  if (ui::WindowSystem* system = ui::GetWindowSystem())
    system->MessageBox(mainWindow, kNoPlugText, kNoPlugTitle, MB_OK);
}

char16_t Lower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  }
  return true;
}

// Whether the test threads (engine and transfer workers) have all returned.
bool TestThreadsGone() {
  return RunningTestThreads.load() <= 0 && EngineThreadsAlive() == 0;
}

// "0.5", " 2", "1e-1": a number at the start of the text as the C library reads one;
// text that is no number gives 0.
float ReadMinutes(std::u16string_view text) {
  std::string narrow = Narrow8(text);
  size_t start = narrow.find_first_not_of(" \t");
  if (start == std::string::npos) return 0.0f;
  if (narrow[start] == '+') ++start;
  float value = 0.0f;
  const auto result = std::from_chars(narrow.data() + start, narrow.data() + narrow.size(), value);
  return result.ec == std::errc() ? value : 0.0f;
}

// ---- timers ----

void OnDisplayTimer(ui::Window* mainWindow) {
  if (!TestStopped) {
    const int64_t now = Now();
    const int64_t start = TestStats.RunStartTime;
    if (start > 0) {
      const int64_t elapsed = now - start;
      const float minutes = TestStats.DurationLimitMinutes;
      const auto limit = static_cast<int64_t>(minutes * 60.0f);
      if (elapsed > limit && minutes > 0.0f) {
        if (ui::WindowSystem* system = ui::GetWindowSystem()) system->Beep();
        StopTest();
      } else {
        TestStats.ElapsedSeconds = elapsed;
      }
    }
    DrawResults(LogPanel.load(), DRAW_COUNTERS, TestStats.RunSpeed.load());
    DrawResults(LogPanel.load(), DRAW_GAUGE, TestStats.RunSpeed.load());
  }
  BlitPlugDisplay(PlugDisplayImage);
  (void)mainWindow;
}

void OnStopEnableTimer(ui::Window* mainWindow) {
  if (PlugConnected) {
    if (ui::Window* stop = Control(mainWindow, IDC_STOP)) stop->Enable(true);
  }
  mainWindow->KillTimer(TIMER_STOP_ENABLE);
}

void FinishExit(ui::Window* mainWindow) {
  if (Verbose()) {
    LogEvent(u"Cleanup - closing USB devices & releasing resources", LogCategory::Diagnostics);
  }
  // A thread that outlived the wait may still use them; the exit steps release them
  // once it is gone.
  if (TestThreadsGone()) ReleaseBenchmarkSyncObjects();
  mainWindow->Destroy();
}

void OnExitWaitTimer(ui::Window* mainWindow) {
  ++g_exitWaitTicks;
  if (!TestThreadsGone() && g_exitWaitTicks < EXIT_WAIT_TICKS) return;
  mainWindow->KillTimer(TIMER_EXIT_WAIT);
  FinishExit(mainWindow);
}

void OnTimer(ui::Window* mainWindow, int32_t id) {
  switch (id) {
    case TIMER_DISPLAY:
      OnDisplayTimer(mainWindow);
      break;
    case TIMER_STOP_ENABLE:
      OnStopEnableTimer(mainWindow);
      break;
    case TIMER_EXIT_WAIT:
      OnExitWaitTimer(mainWindow);
      break;
    default:
      break;
  }
}

// ---- device change ----

void OnDeviceArrival(ui::Window* mainWindow, const ui::Message& message) {
  if (Verbose()) LogEvent(u"DBT_DEVICEARRIVAL", LogCategory::Diagnostics);
  if (message.id != DBT_DEVTYP_DEVICEINTERFACE) return;
  if (Verbose()) LogEventText(u"New device: %s", message.text.c_str(), LogCategory::Diagnostics);
  const std::optional<std::u16string> serial = PlugSerialOfPath(message.text);
  if (!serial) return;
  if (Verbose()) LogEvent(u"Matched quorvale ID string", LogCategory::Diagnostics);
  HandlePlugChange(mainWindow, PLUG_CHANGE_ARRIVAL, *serial);
}

void OnDeviceRemoval(ui::Window* mainWindow, const ui::Message& message) {
  if (message.id == DBT_DEVTYP_DEVICEINTERFACE) {
    if (const std::optional<std::u16string> serial = PlugSerialOfPath(message.text))
      HandlePlugChange(mainWindow, PLUG_CHANGE_REMOVAL, *serial);
  } else if (message.id == DBT_DEVTYP_HANDLE) {
    HandlePlugHandleRemoval(static_cast<DriverHandle>(message.value));
  }
}

// ---- commands ----

void OnConnectionTypeChosen(ui::Window* mainWindow) {
  ui::Window* list = Control(mainWindow, IDC_CONNECTION_LIST);
  const std::u16string chosen =
      list != nullptr ? list->ComboItemText(list->ComboSelection()) : std::u16string();
  if (const uint32_t type = ConnectionTypeFromName(chosen); type != 0) {
    TestConfig.ConnectionType = type;
  }
  ApplySpeedDefaults();
  DisableControlsForTest(mainWindow);
  ApplyConfigToPlug(false);
  // Nothing new went to the plug, so no re-enumeration will bring the controls back.
  if (!ReenumerationPending) RestoreIdleControls(mainWindow);
}

void OnTestModeChosen(ui::Window* mainWindow, uint32_t mode) {
  DisableControlsForTest(mainWindow);
  TestConfig.TestMode = mode;
  if (mode == TestConfigRecord::Loopback) TestConfig.EndpointType = TestConfigRecord::Bulk;
  ApplySpeedDefaults();
  ApplyConfigToPlug(true);
  // Without a plug nothing was sent; no re-enumeration will bring the controls back.
  if (!ReenumerationPending) RestoreIdleControls(mainWindow);
}

void OnCommand(ui::Window* mainWindow, const ui::Message& message) {
  switch (message.id) {
    case IDC_START:
      StartTest(mainWindow);
      break;
    case IDC_STOP:
      StopTest();
      break;
    case IDC_CONFIGURE:
      if (PlugSelected()) {
        RunConfigDialog(mainWindow);
      } else {
        ShowNoPlugMessage(mainWindow);
      }
      break;
    case IDC_FLASH_LEDS:
      if (PlugSelected()) {
        FlashLeds();
      } else {
        ShowNoPlugMessage(mainWindow);
      }
      break;
    case IDC_CLEAR_SERIAL:
      if (ui::Window* serial = Control(mainWindow, IDC_SERIAL_EDIT)) serial->SetText(u"");
      break;
    case IDC_SAVE_LOG:
      SaveLog(mainWindow, true);
      break;
    case IDC_RESET_ALL:
      ResetStatsAndDevices(mainWindow, false);
      break;
    case IDC_HELP:
      OpenHelpFile(HelpIndexFile, u"", mainWindow);
      break;
    case IDC_ABOUT:
      RunAboutBox(mainWindow);
      break;
    case IDC_EXIT:
      BeginExit(mainWindow);
      break;
    case IDC_DEVICE_LIST:
      if (message.code == ui::CBN_SELENDOK) SelectPlug(mainWindow);
      break;
    case IDC_CONNECTION_LIST:
      if (message.code == ui::CBN_SELENDOK) OnConnectionTypeChosen(mainWindow);
      break;
    case IDC_LOOPBACK:
      OnTestModeChosen(mainWindow, TestConfigRecord::Loopback);
      break;
    case IDC_BENCHMARK:
      OnTestModeChosen(mainWindow, TestConfigRecord::Benchmark);
      break;
    default:
      break;
  }
}

void OnDestroy() {
  // The monitor writes to the log; it has been told to end and is waited for here.
  StopPlugMonitor();
  ReleaseMainDialogObjects();
  if (ui::WindowSystem* system = ui::GetWindowSystem()) system->Quit(0);
}

// Traces around a message, as the debug trace has always shown them.
struct MessageTrace {
  const char16_t* before;
  const char16_t* after;
};

MessageTrace TraceOf(ui::MessageKind kind) {
  switch (kind) {
    case ui::MessageKind::Create:
      return {u"DEBUG: Processing WM_CREATE message\n", nullptr};
    case ui::MessageKind::Timer:
      return {nullptr, u"DEBUG: Finished processing WM_TIMER message\n"};
    case ui::MessageKind::Paint:
      return {u"DEBUG: Processing WM_PAINT message\n",
              u"DEBUG: Finished processing WM_PAINT message\n"};
    case ui::MessageKind::Size:
      return {u"DEBUG: Processing WM_SIZE message\n",
              u"DEBUG: Finished processing WM_SIZE message\n"};
    case ui::MessageKind::Command:
      return {u"DEBUG: Processing WM_COMMAND message\n",
              u"DEBUG: Finished processing WM_COMMAND message\n"};
    case ui::MessageKind::VScroll:
      return {u"DEBUG: Processing WM_VSCROLL message\n",
              u"DEBUG: Finished processing WM_VSCROLL message\n"};
    case ui::MessageKind::HScroll:
      return {u"DEBUG: Processing WM_HSCROLL message\n",
              u"DEBUG: Finished processing WM_HSCROLL message\n"};
    case ui::MessageKind::PowerBroadcast:
      return {u"DEBUG: Processing WM_POWERBROADCAST message\n",
              u"DEBUG: Finished processing WM_POWERBROADCAST message\n"};
    case ui::MessageKind::DeviceChange:
      return {u"DEBUG: Processing WM_DEVICECHANGE message\n",
              u"DEBUG: Finished processing WM_DEVICECHANGE message\n"};
    case ui::MessageKind::Destroy:
      return {u"DEBUG: Processing WM_DESTROY message\n",
              u"DEBUG: Finished processing WM_DESTROY message\n"};
    default:
      return {nullptr, nullptr};
  }
}

intptr_t Dispatch(ui::Window* mainWindow, const ui::Message& message) {
  switch (message.kind) {
    case ui::MessageKind::Create: {
      const bool set = mainWindow->SetTimer(TIMER_DISPLAY, DISPLAY_PERIOD_MS);
      DebugTraceFormat("DEBUG: SetTimer returned %d\n", set ? TIMER_DISPLAY : 0);
      return 0;
    }
    case ui::MessageKind::Timer:
      OnTimer(mainWindow, message.id);
      return 0;
    case ui::MessageKind::Paint:
      if (ui::Window* panel = LogPanel.load()) panel->Invalidate();
      DrawResults(LogPanel.load(), DRAW_ALL, TestStats.RunSpeed.load());
      BlitPlugDisplay(PlugDisplayImage);
      return 0;
    case ui::MessageKind::Size:
      LayoutLogArea(mainWindow, static_cast<int32_t>(message.value),
                    static_cast<int32_t>(message.extra));
      return 0;
    case ui::MessageKind::Command:
      OnCommand(mainWindow, message);
      return 0;
    case ui::MessageKind::VScroll:
      OnLogScroll(mainWindow, (static_cast<uint32_t>(message.code) & 0xFFFF) |
                                  (static_cast<uint32_t>(message.value) << 16));
      return 0;
    case ui::MessageKind::HScroll:
      return 0;
    case ui::MessageKind::PowerBroadcast:
      if (message.code == PBT_APMSUSPEND) {
        TestStopped = true;
        LogEvent(u"Suspend", LogCategory::Error);
      }
      return 0;
    case ui::MessageKind::DeviceChange:
      if (message.code == static_cast<int32_t>(DBT_DEVICEARRIVAL)) {
        OnDeviceArrival(mainWindow, message);
      } else if (message.code == static_cast<int32_t>(DBT_DEVICEREMOVECOMPLETE)) {
        OnDeviceRemoval(mainWindow, message);
      }
      return 1;
    case ui::MessageKind::Close:
      // The close box must not leave a test running with its window gone.
      BeginExit(mainWindow);
      return 0;
    case ui::MessageKind::Destroy:
      OnDestroy();
      return 0;
    default:
      return 0;
  }
}

}  // namespace

void ResetMainWindowState() {
  ExitRequested = false;
  g_clock = &CalendarTime;
  g_exitWaitTicks = 0;
  MainNotices.SetWindow(nullptr);
}

void SetShellClock(ShellClock clock) {
  g_clock = clock != nullptr ? clock : &CalendarTime;
}

ui::Message DeviceChangeMessage(const DeviceNotice& notice) {
  ui::Message message;
  message.kind = ui::MessageKind::DeviceChange;
  message.code = static_cast<int32_t>(notice.Event);
  message.id = notice.IsInterface ? DBT_DEVTYP_DEVICEINTERFACE : DBT_DEVTYP_HANDLE;
  if (notice.IsInterface) message.text = Widen8(notice.Path);
  message.value = static_cast<int64_t>(notice.Handle);
  return message;
}

void MainWindowNotices::OnDeviceNotice(const DeviceNotice& notice) {
  if (ui::Window* window = window_.load()) window->PostMessage(DeviceChangeMessage(notice));
}

std::optional<std::u16string> PlugSerialOfPath(std::u16string_view path) {
  bool matched = StartsWithIgnoringCase(path, DevicePathPrefix);
  // Plugs added by id have prefixes of their own.
  for (const PlugId& id : PlugIds()) {
    if (matched) break;
    const std::u16string prefix =
        Widen8(DevicePathFor(id, "").substr(0, PLUG_DEVICE_PATH_PREFIX_LENGTH));
    matched = StartsWithIgnoringCase(path, prefix);
  }
  if (!matched) return std::nullopt;
  const std::u16string_view rest = path.substr(PLUG_DEVICE_PATH_PREFIX_LENGTH);
  const size_t end = rest.find(u'#');
  if (end == std::u16string_view::npos) return std::nullopt;
  return std::u16string(rest.substr(0, std::min(end, kMaxSerialChars)));
}

intptr_t MainWindowProc(ui::Window* mainWindow, const ui::Message& message) {
  const MessageTrace trace = TraceOf(message.kind);
  if (trace.before != nullptr) DebugTrace(trace.before);
  const intptr_t result = Dispatch(mainWindow, message);
  if (trace.after != nullptr) DebugTrace(trace.after);
  return result;
}

void StartTest(ui::Window* mainWindow) {
  if (!PlugSelected()) {
    ShowNoPlugMessage(mainWindow);
    return;
  }
  if (TestStopped) {
    DisableControlsForTest(mainWindow);
    TestStats.PublishedMaxRate = 0.0f;
    TestStats.PublishedReadMaxRate = 0.0f;
    TestStats.PublishedWriteMaxRate = 0.0f;
    TestStats.PublishedLoopCount = 0;
    TestStats.PublishedErrorCount = 0;
    ui::Window* duration = Control(mainWindow, IDC_DURATION_EDIT);
    TestStats.DurationLimitMinutes =
        ReadMinutes(duration != nullptr ? duration->GetText(kDurationChars) : u"");
    TestStats.RunStartTime = Now();
    TestStats.ElapsedSeconds = 0;
    TestStopped = false;
    bool started = true;
    if (TestConfig.TestMode == TestConfigRecord::Loopback) {
      started = StartEngineThread([mainWindow] { LoopbackTestThread(mainWindow); });
    } else if (TestConfig.TestMode == TestConfigRecord::Benchmark) {
      started = StartEngineThread([mainWindow] { BenchmarkControlThread(mainWindow); });
    } else {
      LogEvent(u"No test mode selected", LogCategory::Information);
    }
    if (!started) {
      // No thread will ever restore the idle state or set the flag again.
      LogEvent(u"Could not start the test thread", LogCategory::Error);
      StopTest();
      RestoreIdleControls(mainWindow);
    }
  } else {
    LogEvent(u"A ZED 3.0 uriv is running already", LogCategory::Information);
  }
  mainWindow->SetTimer(TIMER_STOP_ENABLE, STOP_ENABLE_DELAY_MS);
}

void ShutdownCleanup() {
  TestStopped = true;
  AppRunning = false;
  WakePlugMonitor();
  StopTest();
  if (Verbose()) LogEvent(u"Cleanup - waiting for threads to finish", LogCategory::Diagnostics);
}

void BeginExit(ui::Window* mainWindow) {
  DebugTrace(u"DEBUG: In the case of IDC_EXIT from WM_COMMAND message\n");
  if (ExitRequested.exchange(true)) return;
  ShutdownCleanup();
  g_exitWaitTicks = 0;
  // The wait runs on the timer rather than in a sleep: a winding-down engine still
  // calls into the window (its idle controls), and this thread must serve it.
  if (TestThreadsGone() || !mainWindow->SetTimer(TIMER_EXIT_WAIT, EXIT_WAIT_PERIOD_MS)) {
    FinishExit(mainWindow);
  }
}

ShellCallTable MainWindowShellCalls() {
  ShellCallTable calls;
  calls.DrawResults = [](ui::Window* /*mainWindow*/, int32_t kind, int32_t speed) {
    DrawResults(LogPanel.load(), kind, speed);
  };
  calls.RestoreIdleControls = [](ui::Window* mainWindow) { RestoreIdleControls(mainWindow); };
  calls.DisableControlsForTest = [](ui::Window* mainWindow) { DisableControlsForTest(mainWindow); };
  calls.SerialNumberText = [](ui::Window* mainWindow) {
    ui::Window* serial = Control(mainWindow, IDC_SERIAL_EDIT);
    return serial != nullptr ? serial->GetText(kSerialBoxChars) : std::u16string();
  };
  return calls;
}
