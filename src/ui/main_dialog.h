// The main dialog's drawing objects, its two control states (idle and testing) and the
// layout of the log area.
#pragma once
#include <atomic>
#include <cstdint>

#include "ui/window.h"

inline constexpr ui::Pen BlackPen{{0, 0, 0}, 1};
inline constexpr ui::Brush WhiteBrush{{255, 255, 255}};
inline constexpr ui::Brush BlackBrush{{0, 0, 0}};
inline constexpr ui::Brush GreenBrush{{100, 200, 100}};
inline constexpr ui::Brush YellowBrush{{200, 200, 30}};
inline constexpr ui::Brush RedBrush{{255, 100, 100}};
inline constexpr ui::Font LabelFont{u"Tahoma", 14, 700, false};
inline constexpr ui::Font BandFont{u"Tahoma", 16, 700, true};

struct DrawingObjects {
  ui::Brush whiteBrush, blackBrush, greenBrush, yellowBrush, redBrush;
  ui::Font labelFont, heavyFont, bandFont;
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
