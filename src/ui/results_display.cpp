#include "ui/results_display.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engines/run_state.h"
#include "engines/configuration.h"
#include "engines/statistics.h"
#include "log/debug_trace.h"
#include "log/event_log.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_selection.h"
#include "protocol/speed_codes.h"
#include "res/control_ids.h"
#include "res/pictures.h"
#include "ui/main_dialog.h"
#include "ui/main_window.h"

std::atomic<int32_t> LogLinesVisible{0};
std::atomic<int32_t> LogScrollPos{0};
std::atomic<int32_t> LogScrollRange{0};

namespace {

// Set from the moment an update is queued until it starts; records added meanwhile ride
// along with it.
std::atomic<bool> g_logUpdateQueued{false};

constexpr ui::Colour kBlack{0, 0, 0};
constexpr ui::Colour kBandLeft{96, 96, 96};
constexpr ui::Colour kBandRight{192, 192, 192};
constexpr ui::Brush kBandBrush{{192, 192, 192}};
// The gauge and the log lines share the panel: the gauge takes the right-hand 81
// pixels, the bands and the log lines start below the first 49.
constexpr int32_t kGaugeWidth = 81;
constexpr int32_t kBandsHeight = 49;

constexpr ui::Colour kCategoryColours[] = {
    {255, 255, 128},  // Information
    {150, 255, 255},  // Loopback
    {200, 150, 200},  // Benchmark
    {255, 64, 64},    // ERROR
    {255, 224, 129},  // Diagnostics
    {255, 255, 255},  // File op.
    {255, 255, 255},  // Results
    {255, 116, 61},   // Minor Error
    {128, 255, 128},  // PASS
};

// Stands in when no drawing context can be had: the routine runs through, draws nothing.
class NoCanvas : public ui::Canvas {
 public:
  void Rectangle(ui::Rect, const ui::Pen&, const ui::Brush&) override {}
  void FillRect(ui::Rect, const ui::Brush&) override {}
  bool GradientBand(ui::Rect, ui::Colour, ui::Colour) override { return true; }
  void Line(ui::Point, ui::Point, const ui::Pen&) override {}
  void Text(ui::Point, std::u16string_view, const ui::Font&, ui::Colour, const ui::Rect*) override {
  }
  void CopyPicture(ui::Point, const ui::MonoPicture&) override {}
};

struct GaugeScale {
  float fullScale;
  int32_t ticks;
  int32_t labelDx;
  int32_t labelDy;
};

GaugeScale ScaleFor(int32_t speed) {
  if (speed == SPEED_FULL) return {12.0f, 12, -29, 14};
  if (speed == SPEED_HIGH) return {480.0f, 40, -35, 0};
  return {4000.0f, 400, -35, 0};
}

// Figures come from other threads' arithmetic: an infinite or NaN one must not become
// an undefined conversion. Anything beyond a billion pixels is off the panel anyway.
int32_t Px(float value) {
  if (std::isnan(value)) return 0;
  return static_cast<int32_t>(std::clamp(value, -1.0e9f, 1.0e9f));
}

// A theoretical maximum of 0 (no run yet) would divide by zero: such a bar counts as
// 0 % and is painted red.
float Percent(float rate, float theoretical) {
  return theoretical > 0.0f ? rate / theoretical * 100.0f : 0.0f;
}

void DrawGauge(ui::Canvas& canvas, const ui::Rect& area, int32_t speed) {
  const GaugeScale scale = ScaleFor(speed);
  const float right = static_cast<float>(area.right);
  const float top = static_cast<float>(area.top);
  const float bottom = static_cast<float>(area.bottom);

  canvas.Rectangle({area.right - kGaugeWidth, area.top + kBandsHeight, area.right, area.bottom},
                   BlackPen, WhiteBrush);

  const float y0 = top + 88.0f;
  const float y1 = bottom - 40.0f;
  const float h = y1 - y0;
  const float x1 = right - 32.0f;
  const float x2 = right - 16.0f;
  const float xm = x2 - (x2 - x1) * 0.5f;
  const float readMax = TestStats.PublishedReadMaxRate.load();
  const float writeMax = TestStats.PublishedWriteMaxRate.load();
  const float theoretical = TestStats.TheoreticalMaxRate.load();
  const float fr = readMax / scale.fullScale;
  const float fw = writeMax / scale.fullScale;

  // The read bar turns green and yellow only above its thresholds, the write bar
  // already at them.
  const float readPercent = Percent(readMax, theoretical);
  const ui::Brush& readBrush =
      readPercent > 80.0f ? GreenBrush : (readPercent > 50.0f ? YellowBrush : RedBrush);
  canvas.Rectangle({Px(x1), Px(y0), Px(xm), Px(y1 - h * fr)}, BlackPen, BlackBrush);
  canvas.Rectangle({Px(x1), Px(y0 + h * (1.0f - fr)), Px(xm), Px(y1)}, BlackPen, readBrush);

  const float writePercent = Percent(writeMax, theoretical);
  const ui::Brush& writeBrush =
      writePercent >= 80.0f ? GreenBrush : (writePercent >= 50.0f ? YellowBrush : RedBrush);
  canvas.Rectangle({Px(xm), Px(y0), Px(x2), Px(y1 - h * fw)}, BlackPen, BlackBrush);
  canvas.Rectangle({Px(xm), Px(y0 + h * (1.0f - fw)), Px(x2), Px(y1)}, BlackPen, writeBrush);

  const int32_t axisX = Px(x1 - 5.0f);
  canvas.Line({axisX, Px(y0)}, {axisX, Px(y1)}, BlackPen);

  canvas.Text({area.right - 65, area.top + 53}, u"Max. Rate", LabelFont, kBlack, nullptr);
  const float maxRate = TestStats.PublishedMaxRate.load();
  // A rate that is not a number is as unknown as none at all.
  const std::u16string rateText =
      maxRate == 0.0f || std::isnan(maxRate) ? std::u16string(u"NA") : Format16("%d", Px(maxRate));
  canvas.Text({area.right - 50, area.top + 68}, rateText, LabelFont, kBlack, nullptr);

  const float step = h / static_cast<float>(scale.ticks);
  const int32_t quarter = static_cast<int32_t>(static_cast<float>(scale.ticks) * 0.25f);
  const int32_t labelShift = TestConfig.ConnectionType == SPEED_SUPER ? 10 : 0;
  for (int32_t i = 0; i <= scale.ticks; ++i) {
    const int32_t tickY = Px(y0 + step * static_cast<float>(i));
    if (i % quarter != 0) {
      canvas.Line({axisX, tickY}, {Px(x1 - 8.0f), tickY}, BlackPen);
      continue;
    }
    canvas.Line({axisX, tickY}, {Px(x1 - 15.0f), tickY}, BlackPen);
    const int32_t value =
        static_cast<int32_t>(scale.fullScale - static_cast<float>(i) * scale.fullScale /
                                                   static_cast<float>(scale.ticks));
    const int32_t labelX = Px(x1 + static_cast<float>(scale.labelDx)) - labelShift;
    const int32_t labelY =
        Px(y0 + step * static_cast<float>(i - 1) + static_cast<float>(scale.labelDy));
    canvas.Text({labelX, labelY}, Format16("%d", value), LabelFont, kBlack, nullptr);
    if (value == 0) {
      canvas.Text({Px(x1 - 45.0f), labelY + 14}, u"(Mb/s)", LabelFont, kBlack, nullptr);
      canvas.Text({Px(x1), Px(y1)}, u"R/W", LabelFont, kBlack, nullptr);
    }
  }
}

void FillBand(ui::Canvas& canvas, ui::Rect band) {
  if (!canvas.GradientBand(band, kBandLeft, kBandRight)) {
    canvas.Rectangle(band, BlackPen, kBandBrush);
  }
}

void DrawStatusBand(ui::Canvas& canvas, const ui::Rect& area) {
  FillBand(canvas, {0, 1, area.right, 25});
  canvas.Text({5, 4}, u"Results", BandFont, kBlack, nullptr);
  const std::u16string status = StatusText.Get();
  if (!status.empty()) {
    canvas.Text({210, 4}, u"Status: " + status + u"                                ", BandFont,
                kBlack, nullptr);
  }
}

void DrawCountersBand(ui::Canvas& canvas, const ui::Rect& area) {
  FillBand(canvas, {0, 25, area.right, 49});
  if (!ExitRequested || RunningTestThreads < 1) {
    std::u16string duration;
    FormatDuration(TestStats.ElapsedSeconds.load(), duration);
    canvas.Text({5, 28}, duration, BandFont, kBlack, nullptr);
    canvas.Text({210, 28},
                Format16("Operations: %d", static_cast<int>(TestStats.PublishedLoopCount.load())),
                BandFont, kBlack, nullptr);
    canvas.Text({370, 28}, Format16("Errors: %d", TestStats.PublishedErrorCount.load()), BandFont,
                kBlack, nullptr);
  } else {
    canvas.Text({5, 28}, u"Closing tests", BandFont, kBlack, nullptr);
  }
}

struct LogLine {
  std::u16string text;
  uint32_t category;
};

void DrawLogLines(ui::Canvas& canvas, const ui::Rect& area) {
  DebugTrace(u"DEBUG: DrawResults() Start painting Log background\n");
  const int32_t lineHeight = std::max<int32_t>(LogLineHeight.load(), 1);
  // A panel too short for the bands shows no lines rather than a negative count.
  const int32_t visible = std::max<int32_t>((area.bottom - area.top - 48) / lineHeight, 0);
  LogLinesVisible = visible;

  // Copy the lines out under the log's lock; paint after it is released.
  thread_local std::vector<LogLine> lines;
  lines.clear();
  {
    std::lock_guard lock(LogRecord->Lock());
    const int32_t count = static_cast<int32_t>(LogRecord->RecordCount());
    const int32_t n = std::min(count, visible);
    const int32_t first = LogScrollPos.load();
    for (int32_t i = 0; i < n; ++i) {
      uint32_t category = 0;
      int64_t time = 0;
      const char16_t* text = LogRecord->GetRecord(first + i, &category, &time);
      if (text == nullptr) continue;  // a missing record does not take a line
      lines.push_back({text, category});
    }
  }
  DebugTrace(u"DEBUG: DrawResults() Start writing out log\n");

  const int32_t lineRight = area.right - kGaugeWidth;
  const ui::Rect clip{area.left, area.top, lineRight, area.bottom};
  int32_t y = kBandsHeight;
  for (const LogLine& line : lines) {
    canvas.Rectangle({0, y, lineRight, y + lineHeight}, BlackPen,
                     ui::Brush{LogCategoryColour(line.category)});
    canvas.Text({5, y}, line.text, LabelFont, kBlack, &clip);
    y += lineHeight;
  }
  DebugTrace(u"DEBUG: DrawResults() Painting the rest as background\n");
  canvas.FillRect({area.left, y, lineRight, area.bottom}, WhiteBrush);
}

}  // namespace

ui::Colour LogCategoryColour(uint32_t category) {
  if (category < std::size(kCategoryColours)) return kCategoryColours[category];
  return {255, 255, 255};
}

void DrawResults(ui::Window* logPanel, int32_t kind, int32_t speed) {
  if (LogRecord == nullptr) {
    DebugTrace(u"DEBUG: DrawResults() LogRecord was NULL\n");
    return;
  }
  std::unique_ptr<ui::Canvas> canvas = logPanel != nullptr ? logPanel->GetCanvas() : nullptr;
  if (canvas) {
    DebugTrace(u"DEBUG: DrawResults() Retrieved DC for the entire window\n");
  } else {
    DebugTrace(
        u"DEBUG: DrawResults() Failed to retrieve DC for the entire window, return is "
        u"NULL\n");
    canvas = std::make_unique<NoCanvas>();
  }
  const ui::Rect area = LogArea.Load();
  if (kind == DRAW_ALL || kind == DRAW_GAUGE) DrawGauge(*canvas, area, speed);
  if (kind == DRAW_ALL || kind == DRAW_STATUS) DrawStatusBand(*canvas, area);
  if (kind == DRAW_ALL || kind == DRAW_COUNTERS) DrawCountersBand(*canvas, area);
  if (kind == DRAW_ALL || kind == DRAW_LOG) DrawLogLines(*canvas, area);
}

void UpdateLogScrollBar() {
  const int32_t count = LogRecord != nullptr ? static_cast<int32_t>(LogRecord->RecordCount()) : 0;
  const int32_t newRange = count - LogLinesVisible.load();
  DebugTraceFormat("DEBUG: Updating scroll bar setting, NewRange returned %d\n", newRange);
  const int32_t oldRange = LogScrollRange.load();
  // A view at the end stays at the end; a view the user scrolled up stays put.
  if (newRange != oldRange && LogScrollPos.load() == oldRange) LogScrollPos = newRange;
  LogScrollRange = newRange;

  ui::Window* bar = LogScrollBar.load();
  if (newRange > 0) {
    if (bar != nullptr) {
      bar->Show(true);
      bar->SetScrollInfo(0, newRange + 4, 5, LogScrollPos.load(), true);
    }
  } else {
    if (bar != nullptr) bar->Show(false);
    LogScrollRange = 0;
    LogScrollPos = 0;
  }
}

void OnLogScroll(ui::Window* /*mainWindow*/, uint32_t request) {
  const int32_t code = static_cast<int32_t>(request & 0xFFFF);
  const int32_t thumb = static_cast<int32_t>(request >> 16);
  const int32_t range = LogScrollRange.load();
  int32_t position = LogScrollPos.load();
  switch (code) {
    case ui::SB_LINEUP:
      if (position >= 1) --position;
      break;
    case ui::SB_LINEDOWN:
      if (position < range) ++position;
      break;
    case ui::SB_PAGEUP:
      position = position < 6 ? 0 : position - 5;
      break;
    case ui::SB_PAGEDOWN:
      position = position < range - 5 ? position + 5 : range;
      break;
    case ui::SB_THUMBTRACK:
      position = thumb;
      break;
    case ui::SB_TOP:
      position = 0;
      break;
    case ui::SB_BOTTOM:
      position = range;
      break;
    default:
      break;
  }
  LogScrollPos = position;
  if (ui::Window* bar = LogScrollBar.load()) bar->SetScrollPos(position, true);
  DrawResults(LogPanel.load(), DRAW_LOG, TestStats.RunSpeed.load());
}

void BlitPlugDisplay(const PlugDisplayImageStore& image) {
  ui::Window* panel = PlugDisplayPanel.load();
  if (panel == nullptr) return;
  std::unique_ptr<ui::Canvas> canvas = panel->GetCanvas();
  if (!canvas) return;
  if (MonitorPaused && PlugConnected) {
    if (const ui::MonoPicture* picture = res::FindBitmap(res::IDB_TEST_IN_PROGRESS)) {
      canvas->CopyPicture({0, 0}, *picture);
    }
    return;
  }
  const PlugDisplayBitmap bits = image.Load();
  canvas->CopyPicture({0, 0}, ui::MonoPicture{128, 64, 16, bits});
}

void ResetResultsDisplay() {
  LogLinesVisible = 0;
  LogScrollPos = 0;
  LogScrollRange = 0;
  g_logUpdateQueued = false;
}

void LogRecordAdded() {
  // Most records find an update already queued: one read and done.
  if (g_logUpdateQueued.load(std::memory_order_acquire)) return;
  ui::WindowSystem* system = ui::GetWindowSystem();
  if (system == nullptr) return;
  if (g_logUpdateQueued.exchange(true)) return;
  system->Post(&ShowNewestLogRecords);
}

void ShowNewestLogRecords() {
  // Cleared before the log is read: a record added from here on queues the next update,
  // one added before is seen by this one.
  g_logUpdateQueued = false;
  UpdateLogScrollBar();
  const int32_t position = LogScrollRange.load();
  LogScrollPos = position;
  if (ui::Window* bar = LogScrollBar.load()) bar->SetScrollPos(position, true);
  DrawResults(LogPanel.load(), DRAW_LOG, TestStats.RunSpeed.load());
}

void InstallLogDisplayHook() {
  SetLogRecordAddedHook(&LogRecordAdded);
}
