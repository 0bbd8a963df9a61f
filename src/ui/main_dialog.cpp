#include "ui/main_dialog.h"

#include "log/debug_trace.h"
#include "plug/plug_selection.h"
#include "res/control_ids.h"
#include "ui/results_display.h"

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
