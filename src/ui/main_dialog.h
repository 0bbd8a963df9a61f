// The main dialog's drawing objects, its two control states (idle and testing) and the
// layout of the log area.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "window/window.h"

inline constexpr ui::Pen BlackPen{{0, 0, 0}, 1};
inline constexpr ui::Brush WhiteBrush{{255, 255, 255}};
inline constexpr ui::Brush BlackBrush{{0, 0, 0}};
inline constexpr ui::Brush GreenBrush{{100, 200, 100}};
inline constexpr ui::Brush YellowBrush{{200, 200, 30}};
inline constexpr ui::Brush RedBrush{{255, 100, 100}};
inline constexpr ui::Font LabelFont{u"Tahoma", 14, 700, false};
inline constexpr ui::Font BandFont{u"Tahoma", 16, 700, true};

struct DrawingObjects {
  ui::Brush WhiteBrush, BlackBrush, GreenBrush, YellowBrush, RedBrush;
  ui::Font LabelFont, HeavyFont, BandFont;
};

// The brushes and fonts of the results display. Only the heavy font depends on the
// screen (its height scales with the vertical pixels per inch). Also sets
// LogLineHeight to the label font's height.
DrawingObjects CreateDrawingObjects(int32_t verticalPixelsPerInch);

// Client rectangle of the log panel (left and top 0), set by LayoutLogArea and read by
// every thread that paints.
class LogAreaRect {
 public:
  ui::Rect Load() const;
  void Store(ui::Rect rect);

 private:
  std::atomic<int32_t> left_{0}, top_{0}, right_{0}, bottom_{0};
};
extern LogAreaRect LogArea;
extern std::atomic<int32_t> LogLineHeight;

// Controls other parts paint or scroll; kept when the main dialog is set up.
extern std::atomic<ui::Window*> LogPanel;          // 1047
extern std::atomic<ui::Window*> PlugDisplayPanel;  // 1052
extern std::atomic<ui::Window*> LogScrollBar;      // 1050
// Takes the three handles above from the main dialog (nullptr clears them).
void KeepDialogHandles(ui::Window* mainWindow);
// Back to the start: no handles, an empty LogArea, the label font's line height.
void ResetMainDialogState();

// Testing state: every control that could disturb a run is disabled (Stop is left to
// the Start command's delayed enabling).
void DisableControlsForTest(ui::Window* mainWindow);
// Idle state: Stop off; the selection, duration and log controls on; the test controls
// on only while a plug is connected.
void RestoreIdleControls(ui::Window* mainWindow);
// Stretches the log panel down to the scroll bar's bottom edge and takes its new size
// as LogArea. The width and height of the size notice are not needed.
void LayoutLogArea(ui::Window* mainWindow, int32_t width, int32_t height);

// The one-time set-up of the main dialog, after it is shown: drawing objects, the event
// log, the benchmark's synchronisation objects, the plug device object, "No Serial",
// the plug scan, the switches "/S" (serial box shown) and "/L" (log saved after every
// test) among the first four arguments in any letter case, the test mode buttons, the
// Duration box, and the plug monitor thread. False when the plug device object cannot
// be had (told in a message box); the program must then end with -1.
bool InitDialog(ui::Window* mainWindow, const std::vector<std::u16string>& arguments);
// Reset All: the published figures and the log cleared, the banner record, a new scan
// for plugs. The flag is not used.
void ResetStatsAndDevices(ui::Window* mainWindow, bool unused);
// The banner record that starts every log: maker, product, version and build.
std::u16string BannerText();

// The plug monitor thread the set-up starts. Its pauses end early once it is told to
// stop (WakePlugMonitor after AppRunning is cleared); StopPlugMonitor waits for it.
void WakePlugMonitor();
void StopPlugMonitor();

// The window's destruction: the drawing objects go, and so do the event log, the plug
// device object and the benchmark's objects unless a test thread still runs.
void ReleaseMainDialogObjects();
// At the very end: waits up to timeoutMs for the test threads, then releases whatever
// the destruction had to keep for them. False (everything kept) when one still runs.
bool ReleaseTestThreadLeftovers(uint32_t timeoutMs);
