// The results display: the results box (two title bands, the rate gauge) and the
// coloured event-log lines painted into the log panel, the log scroll bar, and the
// mirror of the plug's own display.
#pragma once
#include <atomic>
#include <cstdint>

#include "window/window.h"

class PlugDisplayImageStore;

// What DrawResults repaints.
enum : int32_t {
  DRAW_ALL = 0,
  DRAW_STATUS = 1,
  DRAW_COUNTERS = 2,
  DRAW_LOG = 3,
  DRAW_GAUGE = 4,
};

// The log view's state, owned here. The scroll position and range are written on the
// user-interface thread; LogLinesVisible by whichever thread repaints the log lines.
extern std::atomic<int32_t> LogLinesVisible;  // log lines that fit below the bands
extern std::atomic<int32_t> LogScrollPos;     // record shown on the first log line
extern std::atomic<int32_t> LogScrollRange;   // largest LogScrollPos
// Back to the start: no lines known to fit, the view at the top, no update queued.
void ResetResultsDisplay();

// Background of a log line for a record category; white for unknown categories.
ui::Colour LogCategoryColour(uint32_t category);

// Paints into the log panel's image from any thread, never waiting for the
// user-interface thread (engine threads paint the status, counters and gauge this way).
// speed (1 full, 2 high, other SuperSpeed) only sets the gauge's scale.
void DrawResults(ui::Window* logPanel, int32_t kind, int32_t speed);
// Follows the record count: new range, the view kept at the end if it was there, the
// scroll bar shown only when the log does not fit. User-interface thread.
void UpdateLogScrollBar();
// A vertical scroll request: low 16 bits the scroll code, high 16 bits the thumb.
void OnLogScroll(ui::Window* mainWindow, uint32_t request);
// The plug's picture, or "Test in Progress" while the monitor is paused on a
// connected plug.
void BlitPlugDisplay(const PlugDisplayImageStore& image);

// The event log's hook, run on the thread that added a record: marks the log changed
// and, unless an update is already queued, queues one ShowNewestLogRecords on the
// user-interface thread. However many records arrive meanwhile, they cost one update.
// Without a window system nothing shows the log and nothing is queued.
void LogRecordAdded();
// The update, on the user-interface thread: the scroll range follows the record count,
// the view jumps to the newest record and the log lines are repainted.
void ShowNewestLogRecords();
void InstallLogDisplayHook();
