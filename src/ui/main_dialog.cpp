#include "ui/main_dialog.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "engines/benchmark_sync.h"
#include "engines/configuration.h"
#include "engines/engine_thread.h"
#include "engines/run_state.h"
#include "engines/statistics.h"
#include "log/debug_trace.h"
#include "log/event_log.h"
#include "log/product_info.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "plug/plug_monitor.h"
#include "plug/plug_selection.h"
#include "protocol/plug_ids.h"
#include "res/control_ids.h"
#include "ui/main_window.h"
#include "ui/results_display.h"
#include "usb/usb_device.h"

using namespace res;

LogAreaRect LogArea;
std::atomic<int32_t> LogLineHeight{LabelFont.height};
std::atomic<ui::Window*> LogPanel{nullptr};
std::atomic<ui::Window*> PlugDisplayPanel{nullptr};
std::atomic<ui::Window*> LogScrollBar{nullptr};

ui::Rect LogAreaRect::Load() const {
  return {left_.load(), top_.load(), right_.load(), bottom_.load()};
}

void LogAreaRect::Store(ui::Rect rect) {
  left_ = rect.left;
  top_ = rect.top;
  right_ = rect.right;
  bottom_ = rect.bottom;
}

DrawingObjects CreateDrawingObjects(int32_t verticalPixelsPerInch) {
  ui::Font heavyFont{u"Tahoma", static_cast<int32_t>(verticalPixelsPerInch / 96.0 * 14.0), 900,
                     false};
  LogLineHeight = LabelFont.height;
  return {WhiteBrush, BlackBrush, GreenBrush, YellowBrush,
          RedBrush,   LabelFont,  heavyFont,  BandFont};
}

void KeepDialogHandles(ui::Window* mainWindow) {
  LogPanel = mainWindow != nullptr ? mainWindow->Control(IDC_LOG_PANEL) : nullptr;
  PlugDisplayPanel = mainWindow != nullptr ? mainWindow->Control(IDC_PLUG_DISPLAY) : nullptr;
  LogScrollBar = mainWindow != nullptr ? mainWindow->Control(IDC_LOG_SCROLL) : nullptr;
}

void ResetMainDialogState() {
  KeepDialogHandles(nullptr);
  LogArea.Store({});
  LogLineHeight = LabelFont.height;
}

namespace {

void EnableControl(ui::Window* mainWindow, int32_t id, bool enable) {
  if (ui::Window* control = mainWindow->Control(id)) control->Enable(enable);
}

}  // namespace

void DisableControlsForTest(ui::Window* mainWindow) {
  if (mainWindow == nullptr) return;
  static constexpr int32_t kControls[] = {
      IDC_START,          IDC_RESET_ALL,        IDC_EXIT,
      IDC_DEVICE_LABEL,   IDC_DEVICE_LIST,      IDC_TEST_MODE_GROUP,
      IDC_SELECT_GROUP,   IDC_LOOPBACK,         IDC_BENCHMARK,
      IDC_DURATION_LABEL, IDC_DURATION_EDIT,    IDC_CONFIGURE,
      IDC_SAVE_LOG,       IDC_CONNECTION_LABEL, IDC_CONNECTION_LIST,
      IDC_FLASH_LEDS,
  };
  for (int32_t id : kControls) EnableControl(mainWindow, id, false);
}

void RestoreIdleControls(ui::Window* mainWindow) {
  if (mainWindow == nullptr) return;
  EnableControl(mainWindow, IDC_STOP, false);
  static constexpr int32_t kAlways[] = {
      IDC_RESET_ALL,    IDC_EXIT,           IDC_DEVICE_LABEL,  IDC_DEVICE_LIST,
      IDC_SELECT_GROUP, IDC_DURATION_LABEL, IDC_DURATION_EDIT, IDC_SAVE_LOG,
  };
  for (int32_t id : kAlways) EnableControl(mainWindow, id, true);
  if (!PlugConnected) return;
  static constexpr int32_t kWithPlug[] = {
      IDC_START,     IDC_CONFIGURE,        IDC_TEST_MODE_GROUP, IDC_LOOPBACK,
      IDC_BENCHMARK, IDC_CONNECTION_LABEL, IDC_CONNECTION_LIST, IDC_FLASH_LEDS,
  };
  for (int32_t id : kWithPlug) EnableControl(mainWindow, id, true);
}

void LayoutLogArea(ui::Window* mainWindow, int32_t /*width*/, int32_t /*height*/) {
  ui::Window* panel = mainWindow != nullptr ? mainWindow->Control(IDC_LOG_PANEL) : nullptr;
  ui::Window* scroll = mainWindow != nullptr ? mainWindow->Control(IDC_LOG_SCROLL) : nullptr;
  if (panel == nullptr) DebugTrace(u"DEBUG: hwndlog was NULL \n");
  if (scroll == nullptr) DebugTrace(u"DEBUG: hwndScroll was NULL \n");
  if (panel == nullptr || scroll == nullptr) return;

  DebugTrace(u"DEBUG: Start resizing window \n");
  const int32_t scrollBottom = scroll->BoundsInParent().bottom;
  const ui::Rect panelBounds = panel->BoundsInParent();
  DebugTrace(u"DEBUG: Sizing the graph with the dialog window\n");
  panel->Move({panelBounds.left, panelBounds.top, panelBounds.right, scrollBottom}, false);

  std::unique_ptr<ui::Canvas> canvas = panel->GetCanvas();
  DebugTrace(canvas ? u"DEBUG: Retrieved DC for the entire window\n"
                    : u"DEBUG: Failed to retrieve DC for the entire window, return is NULL\n");
  LogArea.Store(panel->ClientRect());
  canvas.reset();

  UpdateLogScrollBar();
}

// ---- set-up, Reset All, and what the window owns ----

namespace {

constexpr char16_t kNoSerial[] = u"No Serial";
// Only the first arguments after the program name are looked at for the switches.
constexpr size_t kSwitchArguments = 4;

DrawingObjects g_drawing;  // window thread
// The event log and the device object this window made (and frees).
Logger* g_log = nullptr;
UsbDevice* g_device = nullptr;

// The monitor thread and the wait that lets its pauses end early.
std::thread g_monitor;  // window thread
std::mutex g_monitorLock;
std::condition_variable g_monitorWake;

void MonitorPause(uint32_t milliseconds) {
  std::unique_lock lock(g_monitorLock);
  g_monitorWake.wait_for(lock, std::chrono::milliseconds(milliseconds),
                         [] { return !AppRunning.load(); });
}

void StartPlugMonitor(ui::Window* mainWindow) {
  SetPlugMonitorPause(&MonitorPause);
  AppRunning = true;
  g_monitor = std::thread(PlugMonitorThread, mainWindow);
}

bool SameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  };
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

void ReadSwitches(ui::Window* mainWindow, const std::vector<std::u16string>& arguments) {
  ui::Window* label = mainWindow->Control(IDC_SERIAL_LABEL);
  ui::Window* box = mainWindow->Control(IDC_SERIAL_EDIT);
  if (label != nullptr) label->Show(false);
  if (box != nullptr) box->Show(false);
  TestConfig.SaveLogAtEnd = 0;
  const size_t count = std::min(arguments.size(), kSwitchArguments);
  for (size_t i = 0; i < count; ++i) {
    if (SameIgnoringCase(arguments[i], u"/S")) {
      if (label != nullptr) label->Show(true);
      if (box != nullptr) box->Show(true);
    } else if (SameIgnoringCase(arguments[i], u"/L")) {
      TestConfig.SaveLogAtEnd = 1;
    }
  }
}

bool TestThreadsGone() {
  return RunningTestThreads.load() <= 0 && EngineThreadsAlive() == 0;
}

void ReleaseThreadResources() {
  if (g_device != nullptr) {
    {
      std::lock_guard guard(PlugSelectionLock);
      if (PlugDevice == g_device) PlugDevice = nullptr;
    }
    MainNotices.SetWindow(nullptr);
    delete g_device;
    g_device = nullptr;
  }
  if (g_log != nullptr) {
    if (LogRecord == g_log) LogRecord = nullptr;
    delete g_log;
    g_log = nullptr;
  }
  ReleaseBenchmarkSyncObjects();
}

}  // namespace

std::u16string BannerText() {
  return std::u16string(ProductMaker) + u" " + ProductName + u" " + ProductVersion + u" " +
         ProductBuild;
}

bool InitDialog(ui::Window* mainWindow, const std::vector<std::u16string>& arguments) {
  ui::WindowSystem* system = ui::GetWindowSystem();
  const ui::ScreenMetrics screen = system != nullptr ? system->Screen() : ui::ScreenMetrics{};
  g_log = new Logger();
  LogRecord = g_log;
  g_drawing = CreateDrawingObjects(screen.pixelsPerInchY);

  DebugTrace(u"DEBUG: InitDialog() Setting up initial windows sizes\n");
  const ui::Rect client = mainWindow->ClientRect();
  LayoutLogArea(mainWindow, client.Width(), client.Height());
  KeepDialogHandles(mainWindow);

  CreateBenchmarkSyncObjects();
  TestStats.CounterFrequency = QueryPerformanceFrequency();

  MainNotices.SetWindow(mainWindow);
  g_device = new (std::nothrow) UsbDevice(&MainNotices, PLUG_INTERFACE_CLASS, true);
  PlugDevice = g_device;
  if (g_device == nullptr) {
    ShowMessageBox(mainWindow, u"Could not open USB device object", u"Error opening device", MB_OK);
    return false;
  }
  PlugDevice->CloseDevice();
  CurrentPlugSerial = kNoSerial;

  DebugTrace(u"DEBUG: Reloading USB devices, resetting stats and dialog\n");
  ResetStatsAndDevices(mainWindow, false);
  DebugTrace(u"DEBUG: Finishing reload of USB devices, reset of stats and dialog\n");

  ReadSwitches(mainWindow, arguments);
  const bool benchmark = TestConfig.TestMode == TestConfigRecord::Benchmark;
  if (ui::Window* button = mainWindow->Control(IDC_BENCHMARK))
    button->SetCheck(benchmark ? ui::BST_CHECKED : ui::BST_UNCHECKED);
  if (ui::Window* button = mainWindow->Control(IDC_LOOPBACK))
    button->SetCheck(benchmark ? ui::BST_UNCHECKED : ui::BST_CHECKED);
  if (ui::Window* duration = mainWindow->Control(IDC_DURATION_EDIT)) duration->SetText(u"0");
  TestStopped = true;
  StartPlugMonitor(mainWindow);
  return true;
}

void ResetStatsAndDevices(ui::Window* mainWindow, bool /*unused*/) {
  TestStats.PublishedMaxRate = 0.0f;
  TestStats.PublishedReadMaxRate = 0.0f;
  TestStats.PublishedWriteMaxRate = 0.0f;
  TestStats.PublishedLoopCount = 0;
  TestStats.PublishedErrorCount = 0;
  TestStats.RunStartTime = 0;
  TestStats.ElapsedSeconds = 0;
  if (Logger* log = LogRecord) {
    std::lock_guard lock(log->Lock());
    log->Clear();
  }
  LogScrollPos = 0;
  UpdateLogScrollBar();
  mainWindow->Invalidate();
  LogEvent(BannerText().c_str(), LogCategory::Information);
  ScanForPlugs(mainWindow);
}

void WakePlugMonitor() {
  // Under the lock, so that a pause about to begin sees the change.
  std::lock_guard lock(g_monitorLock);
  g_monitorWake.notify_all();
}

void StopPlugMonitor() {
  if (!g_monitor.joinable()) return;
  AppRunning = false;
  WakePlugMonitor();
  g_monitor.join();
  SetPlugMonitorPause(nullptr);
}

void ReleaseMainDialogObjects() {
  g_drawing = DrawingObjects{};
  KeepDialogHandles(nullptr);
  if (TestThreadsGone()) ReleaseThreadResources();
}

bool ReleaseTestThreadLeftovers(uint32_t timeoutMs) {
  if (!WaitForEngineThreads(timeoutMs) || RunningTestThreads.load() > 0) return false;
  ReleaseThreadResources();
  return true;
}
