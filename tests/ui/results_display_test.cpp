#include "ui/results_display.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <thread>

#include "res/pictures.h"
#include "ui_test_fixture.h"

namespace {

using ui::headless::DrawCall;
using ui::headless::DrawKind;

// The panel is 600 x 400: gauge bars between x 568 and 584, from y 88 to y 360.
class ResultsDisplayTest : public MainDialogFixture {};

struct Label {
  std::u16string text;
  int32_t x;
  int32_t y;
  bool operator==(const Label&) const = default;
};

std::vector<Label> ScaleLabels(const std::vector<DrawCall>& calls) {
  std::vector<Label> labels;
  for (const DrawCall& call : calls) {
    if (call.kind != DrawKind::Text || call.text.empty()) continue;
    bool digits = true;
    for (char16_t c : call.text) digits = digits && c >= u'0' && c <= u'9';
    if (digits) labels.push_back({call.text, call.from.x, call.from.y});
  }
  return labels;
}

struct GaugeCase {
  int32_t speed;
  uint32_t connectionType;
  std::vector<Label> labels;
  int32_t ticks;
};

class GaugeScaleTest : public MainDialogFixture, public ::testing::WithParamInterface<GaugeCase> {};

TEST_P(GaugeScaleTest, LabelsAndTicksSitWhereTheScaleSays) {
  const GaugeCase& c = GetParam();
  TestConfig.ConnectionType = c.connectionType;
  const auto calls = Draw(DRAW_GAUGE, c.speed);
  EXPECT_EQ(ScaleLabels(calls), c.labels);

  const DrawCall* unit = FindText(calls, u"(Mb/s)");
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->from, (ui::Point{523, c.labels.back().y + 14}));
  const DrawCall* rw = FindText(calls, u"R/W");
  ASSERT_NE(rw, nullptr);
  EXPECT_EQ(rw->from, (ui::Point{568, 360}));
  EXPECT_EQ(rw->fontFace, u"Tahoma");
  EXPECT_EQ(rw->fontHeight, 14);

  int axis = 0, longTicks = 0, shortTicks = 0;
  for (const DrawCall& line : Of(calls, DrawKind::Line)) {
    ASSERT_EQ(line.from.x, 563);
    if (line.to.x == 563) {
      ++axis;
      EXPECT_EQ(line.from.y, 88);
      EXPECT_EQ(line.to.y, 360);
    } else if (line.to.x == 553) {
      ++longTicks;
    } else {
      EXPECT_EQ(line.to.x, 560);
      ++shortTicks;
    }
  }
  EXPECT_EQ(axis, 1);
  EXPECT_EQ(longTicks, 5);
  EXPECT_EQ(shortTicks, c.ticks + 1 - 5);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, GaugeScaleTest,
    ::testing::Values(
        GaugeCase{1,
                  1,
                  {{u"12", 539, 79},
                   {u"9", 539, 147},
                   {u"6", 539, 215},
                   {u"3", 539, 283},
                   {u"0", 539, 351}},
                  12},
        GaugeCase{2,
                  2,
                  {{u"480", 533, 81},
                   {u"360", 533, 149},
                   {u"240", 533, 217},
                   {u"120", 533, 285},
                   {u"0", 533, 353}},
                  40},
        // SuperSpeed labels move 10 pixels left for their longer numbers.
        GaugeCase{3,
                  3,
                  {{u"4000", 523, 87},
                   {u"3000", 523, 155},
                   {u"2000", 523, 223},
                   {u"1000", 523, 291},
                   {u"0", 523, 359}},
                  400},
        // Any other speed takes the SuperSpeed scale; the shift follows ConnectionType.
        GaugeCase{0,
                  2,
                  {{u"4000", 533, 87},
                   {u"3000", 533, 155},
                   {u"2000", 533, 223},
                   {u"1000", 533, 291},
                   {u"0", 533, 359}},
                  400}));

// The level rectangles of the two bars (the ones not painted black).
struct Bars {
  const DrawCall* read = nullptr;
  const DrawCall* write = nullptr;
};
Bars LevelBars(const std::vector<DrawCall>& calls) {
  Bars bars;
  for (const DrawCall& call : calls) {
    if (call.kind != DrawKind::Rectangle || call.brush == BlackBrush) continue;
    if (call.rect.left == 568 && call.rect.right == 576) bars.read = &call;
    if (call.rect.left == 576 && call.rect.right == 584) bars.write = &call;
  }
  return bars;
}

TEST_F(ResultsDisplayTest, ReadBarChangesColourAboveTheThresholdsWriteBarAtThem) {
  TestStats.TheoreticalMaxRate = 1000.0f;
  struct Case {
    float rate;
    ui::Brush read;
    ui::Brush write;
  };
  for (const Case& c : {Case{800.0f, YellowBrush, GreenBrush}, Case{801.0f, GreenBrush, GreenBrush},
                        Case{500.0f, RedBrush, YellowBrush}, Case{501.0f, YellowBrush, YellowBrush},
                        Case{499.0f, RedBrush, RedBrush}}) {
    TestStats.PublishedReadMaxRate = c.rate;
    TestStats.PublishedWriteMaxRate = c.rate;
    const auto calls = Draw(DRAW_GAUGE, 3);
    const Bars bars = LevelBars(calls);
    ASSERT_NE(bars.read, nullptr);
    ASSERT_NE(bars.write, nullptr);
    EXPECT_EQ(bars.read->brush, c.read) << c.rate;
    EXPECT_EQ(bars.write->brush, c.write) << c.rate;
  }
  // No theoretical maximum yet: red, and no division by zero.
  TestStats.TheoreticalMaxRate = 0.0f;
  const auto calls = Draw(DRAW_GAUGE, 3);
  EXPECT_EQ(LevelBars(calls).read->brush, RedBrush);
  EXPECT_EQ(LevelBars(calls).write->brush, RedBrush);
}

TEST_F(ResultsDisplayTest, BarsFillFromTheBottomByTheirShareOfFullScale) {
  TestStats.PublishedReadMaxRate = 240.0f;   // half of 480
  TestStats.PublishedWriteMaxRate = 120.0f;  // a quarter
  const auto calls = Draw(DRAW_GAUGE, 2);
  const auto rectangles = Of(calls, DrawKind::Rectangle);
  ASSERT_EQ(rectangles.size(), 5u);
  EXPECT_EQ(rectangles[0].rect, (ui::Rect{519, 49, 600, 400}));  // the white panel
  EXPECT_EQ(rectangles[0].brush, WhiteBrush);
  EXPECT_EQ(rectangles[1].rect, (ui::Rect{568, 88, 576, 224}));
  EXPECT_EQ(rectangles[1].brush, BlackBrush);
  EXPECT_EQ(rectangles[2].rect, (ui::Rect{568, 224, 576, 360}));
  EXPECT_EQ(rectangles[3].rect, (ui::Rect{576, 88, 584, 292}));
  EXPECT_EQ(rectangles[4].rect, (ui::Rect{576, 292, 584, 360}));
}

TEST_F(ResultsDisplayTest, MaxRateShowsNaForZero) {
  auto calls = Draw(DRAW_GAUGE, 3);
  ASSERT_NE(FindText(calls, u"Max. Rate"), nullptr);
  EXPECT_EQ(FindText(calls, u"Max. Rate")->from, (ui::Point{535, 53}));
  ASSERT_NE(FindText(calls, u"NA"), nullptr);
  EXPECT_EQ(FindText(calls, u"NA")->from, (ui::Point{550, 68}));

  TestStats.PublishedMaxRate = 3123.9f;
  calls = Draw(DRAW_GAUGE, 3);
  EXPECT_EQ(FindText(calls, u"NA"), nullptr);
  ASSERT_NE(FindText(calls, u"3123"), nullptr);
  EXPECT_EQ(FindText(calls, u"3123")->from, (ui::Point{550, 68}));

  // Figures that are not numbers, or endless, still give a picture.
  TestStats.PublishedMaxRate = std::nanf("");
  TestStats.PublishedReadMaxRate = std::numeric_limits<float>::infinity();
  TestStats.PublishedWriteMaxRate = std::nanf("");
  calls = Draw(DRAW_GAUGE, 3);
  EXPECT_NE(FindText(calls, u"NA"), nullptr);
  EXPECT_EQ(Of(calls, DrawKind::Rectangle).size(), 5u);
}

TEST_F(ResultsDisplayTest, StatusBandShowsResultsAndTheStatus) {
  auto calls = Draw(DRAW_STATUS, 3);
  ASSERT_EQ(Of(calls, DrawKind::Text).size(), 1u);
  const DrawCall* results = FindText(calls, u"Results");
  ASSERT_NE(results, nullptr);
  EXPECT_EQ(results->from, (ui::Point{5, 4}));
  EXPECT_TRUE(results->italic);
  EXPECT_EQ(results->fontHeight, 16);
  const auto bands = Of(calls, DrawKind::Gradient);
  ASSERT_EQ(bands.size(), 1u);
  EXPECT_EQ(bands[0].rect, (ui::Rect{0, 1, 600, 25}));
  EXPECT_EQ(bands[0].colour, (ui::Colour{96, 96, 96}));
  EXPECT_EQ(bands[0].colour2, (ui::Colour{192, 192, 192}));

  StatusText.Set(u"LOOPBACK test - Complete");
  calls = Draw(DRAW_STATUS, 3);
  const DrawCall* status =
      FindText(calls, u"Status: LOOPBACK test - Complete                                ");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->from, (ui::Point{210, 4}));
  // Nothing of the other parts.
  EXPECT_EQ(FindText(calls, u"Max. Rate"), nullptr);
  EXPECT_TRUE(Of(calls, DrawKind::Line).empty());
}

TEST_F(ResultsDisplayTest, BandsAreFlatWithoutGradients) {
  Panel()->Drawing()->SetGradientAvailable(false);
  const auto calls = Draw(DRAW_COUNTERS, 3);
  EXPECT_TRUE(Of(calls, DrawKind::Gradient).empty());
  const auto rectangles = Of(calls, DrawKind::Rectangle);
  ASSERT_EQ(rectangles.size(), 1u);
  EXPECT_EQ(rectangles[0].rect, (ui::Rect{0, 25, 600, 49}));
  EXPECT_EQ(rectangles[0].brush.colour, (ui::Colour{192, 192, 192}));
}

TEST_F(ResultsDisplayTest, CountersBandOrClosingTests) {
  TestStats.ElapsedSeconds = 3725;
  TestStats.PublishedLoopCount = 42;
  TestStats.PublishedErrorCount = 3;
  auto calls = Draw(DRAW_COUNTERS, 3);
  ASSERT_NE(FindText(calls, u"Duration: 001h 02m 05s"), nullptr);
  EXPECT_EQ(FindText(calls, u"Duration: 001h 02m 05s")->from, (ui::Point{5, 28}));
  ASSERT_NE(FindText(calls, u"Operations: 42"), nullptr);
  EXPECT_EQ(FindText(calls, u"Operations: 42")->from, (ui::Point{210, 28}));
  ASSERT_NE(FindText(calls, u"Errors: 3"), nullptr);
  EXPECT_EQ(FindText(calls, u"Errors: 3")->from, (ui::Point{370, 28}));
  EXPECT_EQ(FindText(calls, u"Closing tests"), nullptr);

  // Exit asked for while a test thread still runs.
  ExitRequested = true;
  RunningTestThreads = 1;
  calls = Draw(DRAW_COUNTERS, 3);
  const auto texts = Of(calls, DrawKind::Text);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].text, u"Closing tests");
  EXPECT_EQ(texts[0].from, (ui::Point{5, 28}));

  // Once the threads are gone the counters come back.
  RunningTestThreads = 0;
  calls = Draw(DRAW_COUNTERS, 3);
  EXPECT_NE(FindText(calls, u"Operations: 42"), nullptr);
  // Without exit, running threads show the counters.
  ExitRequested = false;
  RunningTestThreads = 2;
  calls = Draw(DRAW_COUNTERS, 3);
  EXPECT_EQ(FindText(calls, u"Closing tests"), nullptr);
}

TEST_F(ResultsDisplayTest, LogLinesTakeTheirCategoryColoursAndTheRestIsWhite) {
  const std::vector<uint32_t> categories = {
      LogCategory::Information, LogCategory::Loopback,   LogCategory::Benchmark, LogCategory::Error,
      LogCategory::Diagnostics, LogCategory::MinorError, LogCategory::Pass,      42};
  {
    std::lock_guard lock(log_->Lock());
    for (uint32_t category : categories) {
      log_->AddRecord(Format16("category %u", category).c_str(), category);
    }
  }
  const auto calls = Draw(DRAW_LOG, 3);
  EXPECT_EQ(LogLinesVisible.load(), (400 - 48) / 14);
  const auto rectangles = Of(calls, DrawKind::Rectangle);
  const auto texts = Of(calls, DrawKind::Text);
  ASSERT_EQ(rectangles.size(), 8u);
  ASSERT_EQ(texts.size(), 8u);
  for (size_t i = 0; i < 8; ++i) {
    const int32_t y = 49 + 14 * static_cast<int32_t>(i);
    EXPECT_EQ(rectangles[i].rect, (ui::Rect{0, y, 519, y + 14}));
    EXPECT_EQ(rectangles[i].brush.colour, LogCategoryColour(categories[i])) << i;
    EXPECT_EQ(rectangles[i].pen, BlackPen);
    EXPECT_EQ(texts[i].text, Format16("category %u", categories[i]));
    EXPECT_EQ(texts[i].from, (ui::Point{5, y}));
    EXPECT_TRUE(texts[i].clipped);
    EXPECT_EQ(texts[i].clip, (ui::Rect{0, 0, 519, 400}));
    EXPECT_EQ(texts[i].fontHeight, 14);
    EXPECT_EQ(texts[i].fontWeight, 700);
  }
  // Errors stand out in red, passes in green; a category the log does not know is white.
  EXPECT_EQ(LogCategoryColour(LogCategory::Error), (ui::Colour{255, 64, 64}));
  EXPECT_EQ(LogCategoryColour(LogCategory::Pass), (ui::Colour{128, 255, 128}));
  EXPECT_EQ(rectangles[7].brush.colour, (ui::Colour{255, 255, 255}));
  EXPECT_EQ(LogCategoryColour(9), (ui::Colour{255, 255, 255}));
  const auto fills = Of(calls, DrawKind::Fill);
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].rect, (ui::Rect{0, 49 + 8 * 14, 519, 400}));
  EXPECT_EQ(fills[0].brush, WhiteBrush);
  // Only the log part.
  EXPECT_EQ(FindText(calls, u"Results"), nullptr);
  EXPECT_EQ(FindText(calls, u"Max. Rate"), nullptr);
}

TEST_F(ResultsDisplayTest, LogLinesStartAtTheScrollPositionAndFillTheArea) {
  AddRecords(100);
  LogScrollPos = 30;
  const auto calls = Draw(DRAW_LOG, 3);
  const auto texts = Of(calls, DrawKind::Text);
  ASSERT_EQ(texts.size(), 25u);
  EXPECT_EQ(texts.front().text, u"record 30");
  EXPECT_EQ(texts.back().text, u"record 54");
  EXPECT_EQ(Of(calls, DrawKind::Fill)[0].rect.top, 49 + 25 * 14);

  // Past the end: the missing records take no lines.
  LogScrollPos = 90;
  const auto tail = Of(Draw(DRAW_LOG, 3), DrawKind::Text);
  ASSERT_EQ(tail.size(), 10u);
  EXPECT_EQ(tail.back().text, u"record 99");
}

TEST_F(ResultsDisplayTest, KindZeroDrawsEverything) {
  AddRecords(2);
  const auto calls = Draw(DRAW_ALL, 3);
  EXPECT_NE(FindText(calls, u"Max. Rate"), nullptr);
  EXPECT_NE(FindText(calls, u"Results"), nullptr);
  EXPECT_NE(FindText(calls, u"Operations: 0"), nullptr);
  EXPECT_NE(FindText(calls, u"record 1"), nullptr);
}

TEST_F(ResultsDisplayTest, NothingIsDrawnWithoutALogAndNoContextIsHarmless) {
  LogRecord = nullptr;
  EXPECT_TRUE(Draw(DRAW_ALL, 3).empty());
  LogRecord = log_;
  AddRecords(3);
  DrawResults(nullptr, DRAW_ALL, 3);  // no panel, no context
  EXPECT_EQ(LogLinesVisible.load(), 25);
}

struct ScrollCase {
  int32_t code;
  int32_t thumb;
  int32_t from;
  int32_t to;
};

class LogScrollTest : public MainDialogFixture, public ::testing::WithParamInterface<ScrollCase> {};

TEST_P(LogScrollTest, ScrollCodesMoveThePosition) {
  const ScrollCase& c = GetParam();
  AddRecords(45);
  DrawResults(Panel(), DRAW_LOG, 3);  // 25 lines fit
  UpdateLogScrollBar();
  ASSERT_EQ(LogScrollRange.load(), 20);
  LogScrollPos = c.from;
  Panel()->Drawing()->Clear();
  OnLogScroll(main_, static_cast<uint32_t>(c.code) | (static_cast<uint32_t>(c.thumb) << 16));
  EXPECT_EQ(LogScrollPos.load(), c.to);
  EXPECT_EQ(Bar()->ScrollPos(), c.to);
  // The log lines were repainted from the new position.
  const auto texts = Of(Panel()->Drawing()->Calls(), DrawKind::Text);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front().text, Format16("record %d", c.to));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, LogScrollTest,
    ::testing::Values(ScrollCase{ui::SB_LINEUP, 0, 0, 0}, ScrollCase{ui::SB_LINEUP, 0, 5, 4},
                      ScrollCase{ui::SB_LINEDOWN, 0, 19, 20},
                      ScrollCase{ui::SB_LINEDOWN, 0, 20, 20}, ScrollCase{ui::SB_PAGEUP, 0, 5, 0},
                      ScrollCase{ui::SB_PAGEUP, 0, 6, 1}, ScrollCase{ui::SB_PAGEDOWN, 0, 14, 19},
                      ScrollCase{ui::SB_PAGEDOWN, 0, 15, 20},
                      ScrollCase{ui::SB_THUMBTRACK, 7, 12, 7},
                      ScrollCase{ui::SB_THUMBPOSITION, 7, 12, 12}, ScrollCase{ui::SB_TOP, 0, 12, 0},
                      ScrollCase{ui::SB_BOTTOM, 0, 3, 20},
                      ScrollCase{ui::SB_ENDSCROLL, 9, 12, 12}));

TEST_F(ResultsDisplayTest, ScrollBarAppearsOnlyWhenTheLogDoesNotFit) {
  AddRecords(10);
  DrawResults(Panel(), DRAW_LOG, 3);
  LogScrollPos = 3;  // stale
  UpdateLogScrollBar();
  EXPECT_FALSE(Bar()->IsVisible());
  EXPECT_EQ(LogScrollRange.load(), 0);
  EXPECT_EQ(LogScrollPos.load(), 0);

  AddRecords(20);  // 30 records, 25 lines
  UpdateLogScrollBar();
  EXPECT_TRUE(Bar()->IsVisible());
  EXPECT_EQ(LogScrollRange.load(), 5);
  EXPECT_EQ(LogScrollPos.load(), 5);  // the view was at the end and stays there
  const auto scroll = Bar()->Scroll();
  EXPECT_EQ(scroll.minimum, 0);
  EXPECT_EQ(scroll.maximum, 9);
  EXPECT_EQ(scroll.page, 5);
  EXPECT_EQ(scroll.position, 5);

  // A view the user scrolled up keeps its place when the range grows.
  LogScrollPos = 2;
  AddRecords(3);
  UpdateLogScrollBar();
  EXPECT_EQ(LogScrollRange.load(), 8);
  EXPECT_EQ(LogScrollPos.load(), 2);
}

TEST_F(ResultsDisplayTest, ANewRecordJumpsTheViewToTheNewestOnTheUiThread) {
  InstallLogDisplayHook();
  DrawResults(Panel(), DRAW_LOG, 3);
  for (int i = 0; i < 40; ++i) LogEvent(Format16("event %d", i).c_str(), LogCategory::Loopback);
  // Nothing moves until the user-interface thread gets to the queued update.
  EXPECT_EQ(LogScrollPos.load(), 0);
  system_.Flush();
  EXPECT_EQ(LogScrollRange.load(), 15);
  EXPECT_EQ(LogScrollPos.load(), 15);
  OnLogScroll(main_, ui::SB_TOP);
  EXPECT_EQ(LogScrollPos.load(), 0);

  Panel()->Drawing()->Clear();
  LogEvent(u"newest", LogCategory::Pass);
  system_.Flush();
  EXPECT_EQ(LogScrollPos.load(), 16);
  EXPECT_EQ(Bar()->ScrollPos(), 16);
  const auto calls = Panel()->Drawing()->Calls();
  const auto texts = Of(calls, DrawKind::Text);
  ASSERT_EQ(texts.size(), 25u);
  EXPECT_EQ(texts.back().text, u"newest");
  EXPECT_EQ(Of(calls, DrawKind::Rectangle).back().brush.colour, (ui::Colour{128, 255, 128}));
}

// The user-interface thread runs a loop of its own; the test can hold it busy, as a long
// paint or a modal box would.
class LogViewThreadsTest : public MainDialogFixture {
 protected:
  void SetUp() override {
    MainDialogFixture::SetUp();
    InstallLogDisplayHook();
    ui_ = std::thread([this] { system_.RunMessageLoop(); });
    system_.Flush();
    system_.Invoke([this] { DrawResults(Panel(), DRAW_LOG, 3); });  // 25 lines fit
  }
  void TearDown() override {
    system_.Quit(0);
    ui_.join();
    MainDialogFixture::TearDown();
  }
  // Returns once the user-interface thread is held; it goes on when `release` is set.
  void HoldUiThread(std::shared_future<void> release) {
    std::promise<void> held;
    system_.Post([&held, release] {
      held.set_value();
      release.wait();
    });
    held.get_future().wait();
  }
  static void LogFromFourThreads(int perThread) {
    std::vector<std::thread> engines;
    for (int t = 0; t < 4; ++t) {
      engines.emplace_back([t, perThread] {
        for (int i = 0; i < perThread; ++i) {
          LogEvent(Format16("engine %d line %d", t, i).c_str(), LogCategory::Benchmark);
        }
      });
    }
    for (auto& engine : engines) engine.join();
  }
  // The view shows the last 25 records, the newest at the bottom, and the scroll bar
  // agrees.
  void ExpectViewOnNewest() {
    const int32_t count = static_cast<int32_t>(log_->RecordCount());
    EXPECT_EQ(LogScrollRange.load(), count - 25);
    EXPECT_EQ(LogScrollPos.load(), count - 25);
    EXPECT_EQ(Bar()->Scroll().position, count - 25);
    EXPECT_EQ(Bar()->Scroll().maximum, count - 25 + 4);
    // Paints on one panel never interleave, so the last 25 texts are the last paint's.
    const auto texts = Of(Panel()->Drawing()->Calls(), DrawKind::Text);
    ASSERT_GE(texts.size(), 25u);
    std::lock_guard lock(log_->Lock());
    for (int32_t i = 0; i < 25; ++i) {
      uint32_t category = 0;
      int64_t time = 0;
      EXPECT_EQ(texts[texts.size() - 25 + static_cast<size_t>(i)].text,
                log_->GetRecord(count - 25 + i, &category, &time));
    }
  }

  std::thread ui_;
};

TEST_F(LogViewThreadsTest, ManyRecordsFromFourThreadsCostOneRepaintAndEndOnTheNewest) {
  std::promise<void> release;
  HoldUiThread(release.get_future().share());
  Panel()->Drawing()->Clear();

  // 10000 records while the user-interface thread is busy; an engine thread also paints
  // its status band meanwhile. None of it may wait for the user-interface thread.
  auto engines = std::async(std::launch::async, [this] {
    LogFromFourThreads(2500);
    StatusText.Set(u"BENCHMARK test - Running");
    DrawResults(Panel(), DRAW_STATUS, 3);
  });
  const bool finished = engines.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  release.set_value();
  engines.wait();
  ASSERT_TRUE(finished) << "a record or a paint waited for the user-interface thread";

  system_.Flush();
  EXPECT_EQ(log_->RecordCount(), 10000u);
  // The status band, then one log update for all 10000 records.
  EXPECT_EQ(Panel()->Drawing()->PaintCount(), 2u);
  EXPECT_NE(FindText(Panel()->Drawing()->Calls(),
                     u"Status: BENCHMARK test - Running" + std::u16string(32, u' ')),
            nullptr);
  ExpectViewOnNewest();
}

TEST_F(LogViewThreadsTest, ARecordAddedWhileTheViewIsBeingPaintedGetsAnUpdateOfItsOwn) {
  AddRecords(30);
  {
    // Holding the panel's image keeps the user-interface thread's paint waiting.
    auto canvas = Panel()->GetCanvas();
    LogEvent(u"first", LogCategory::Loopback);
    while (LogScrollRange.load() != 31 - 25) std::this_thread::yield();  // rescrolled
    LogEvent(u"second", LogCategory::Loopback);
  }
  system_.Flush();
  ExpectViewOnNewest();
}

TEST_F(LogViewThreadsTest, RecordsRacingTheUpdateAreNeverLeftUnshown) {
  // The user-interface thread free this time: updates run while records still arrive,
  // and the last record added must still end up on screen.
  LogFromFourThreads(2500);
  system_.Flush();
  ExpectViewOnNewest();
}

TEST_F(ResultsDisplayTest, PlugDisplayShowsTheImageOrTestInProgress) {
  auto* panel = Control(res::IDC_PLUG_DISPLAY);
  PlugDisplayBitmap image{};
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  PlugDisplayImage.Store(image);

  BlitPlugDisplay(PlugDisplayImage);
  auto pictures = Of(panel->Drawing()->Calls(), DrawKind::Picture);
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_EQ(pictures[0].from, (ui::Point{0, 0}));
  EXPECT_EQ(pictures[0].pictureWidth, 128);
  EXPECT_EQ(pictures[0].pictureHeight, 64);
  EXPECT_EQ(pictures[0].pictureBits, std::vector<uint8_t>(image.begin(), image.end()));

  // Paused without a plug: still the plug's image.
  MonitorPaused = true;
  panel->Drawing()->Clear();
  BlitPlugDisplay(PlugDisplayImage);
  EXPECT_EQ(Of(panel->Drawing()->Calls(), DrawKind::Picture)[0].pictureBits,
            std::vector<uint8_t>(image.begin(), image.end()));

  PlugConnected = true;
  panel->Drawing()->Clear();
  BlitPlugDisplay(PlugDisplayImage);
  pictures = Of(panel->Drawing()->Calls(), DrawKind::Picture);
  ASSERT_EQ(pictures.size(), 1u);
  const ui::MonoPicture* plate = res::FindBitmap(res::IDB_TEST_IN_PROGRESS);
  EXPECT_EQ(pictures[0].pictureBits, std::vector<uint8_t>(plate->bits.begin(), plate->bits.end()));

  // The monitor resumes: the plug's picture returns.
  MonitorPaused = false;
  panel->Drawing()->Clear();
  BlitPlugDisplay(PlugDisplayImage);
  EXPECT_EQ(Of(panel->Drawing()->Calls(), DrawKind::Picture)[0].pictureBits,
            std::vector<uint8_t>(image.begin(), image.end()));
}

}  // namespace
