#include "ui/results_display.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <thread>

#include "res/pictures.h"
#include "ui_fixtures.h"

namespace {

// The panel is 600 x 400: gauge bars between x 568 and 584, from y 88 to y 360.
class ResultsDisplayTest : public MainDialogFixture {};

struct GaugeCase {
  int32_t speed;
  uint32_t connectionType;
  int32_t fullScale, labelX, topLabelY, ticks;
};
class GaugeScaleTest : public MainDialogFixture, public ::testing::WithParamInterface<GaugeCase> {};

TEST_P(GaugeScaleTest, FiveLabelsFromFullScaleToZeroAndTicksOnTheAxis) {
  const GaugeCase& c = GetParam();
  TestConfig.ConnectionType = c.connectionType;
  const auto calls = Draw(DRAW_GAUGE, c.speed);
  std::vector<DrawCall> labels;
  for (const DrawCall& call : Of(calls, DrawKind::Text)) {
    if (!call.text.empty() && std::all_of(call.text.begin(), call.text.end(), ::isdigit))
      labels.push_back(call);
  }
  ASSERT_EQ(labels.size(), 5u);
  for (int32_t i = 0; i < 5; ++i) {
    const DrawCall& label = labels[static_cast<size_t>(i)];
    EXPECT_EQ(label.text, Format16("%d", c.fullScale * (4 - i) / 4));
    EXPECT_EQ(label.from, (ui::Point{c.labelX, c.topLabelY + 68 * i}));
  }
  ASSERT_NE(FindText(calls, u"(Mb/s)"), nullptr);
  EXPECT_EQ(FindText(calls, u"(Mb/s)")->from, (ui::Point{523, labels.back().from.y + 14}));
  ASSERT_NE(FindText(calls, u"R/W"), nullptr);
  EXPECT_EQ(FindText(calls, u"R/W")->from, (ui::Point{568, 360}));

  int axis = 0, longTicks = 0, shortTicks = 0;
  for (const DrawCall& line : Of(calls, DrawKind::Line)) {
    ASSERT_EQ(line.from.x, 563);
    if (line.to.x == 563) {
      ++axis;
      EXPECT_EQ(line.from.y, 88);
      EXPECT_EQ(line.to.y, 360);
    } else {
      (line.to.x == 553 ? longTicks : shortTicks)++;
      EXPECT_TRUE(line.to.x == 553 || line.to.x == 560) << line.to.x;
    }
  }
  EXPECT_EQ(axis, 1);
  EXPECT_EQ(longTicks, 5);
  EXPECT_EQ(shortTicks, c.ticks + 1 - 5);
}

// SuperSpeed labels move 10 pixels left for their longer numbers; any other speed takes
// the SuperSpeed scale, while the shift follows ConnectionType.
INSTANTIATE_TEST_SUITE_P(Speeds, GaugeScaleTest,
                         ::testing::Values(GaugeCase{1, 1, 12, 539, 79, 12},
                                           GaugeCase{2, 2, 480, 533, 81, 40},
                                           GaugeCase{3, 3, 4000, 523, 87, 400},
                                           GaugeCase{0, 2, 4000, 533, 87, 400}));

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
  struct Case {
    float maximum, rate;
    ui::Brush read, write;
  };
  for (const Case& c :
       {Case{1000, 800, YellowBrush, GreenBrush}, Case{1000, 801, GreenBrush, GreenBrush},
        Case{1000, 500, RedBrush, YellowBrush}, Case{1000, 501, YellowBrush, YellowBrush},
        Case{1000, 499, RedBrush, RedBrush},
        Case{0, 499, RedBrush, RedBrush}}) {  // no maximum yet: no division by 0
    TestStats.TheoreticalMaxRate = c.maximum;
    TestStats.PublishedReadMaxRate = c.rate;
    TestStats.PublishedWriteMaxRate = c.rate;
    const auto calls = Draw(DRAW_GAUGE, 3);
    const Bars bars = LevelBars(calls);
    ASSERT_NE(bars.read, nullptr);
    ASSERT_NE(bars.write, nullptr);
    EXPECT_EQ(bars.read->brush, c.read) << c.rate;
    EXPECT_EQ(bars.write->brush, c.write) << c.rate;
  }
}

TEST_F(ResultsDisplayTest, BarsFillFromTheBottomByTheirShareOfFullScale) {
  TestStats.PublishedReadMaxRate = 240.0f;   // half of 480
  TestStats.PublishedWriteMaxRate = 120.0f;  // a quarter
  const auto rectangles = Of(Draw(DRAW_GAUGE, 2), DrawKind::Rectangle);
  ASSERT_EQ(rectangles.size(), 5u);
  EXPECT_EQ(rectangles[0].rect, (ui::Rect{519, 49, 600, 400}));  // the white panel
  EXPECT_EQ(rectangles[1].rect, (ui::Rect{568, 88, 576, 224}));
  EXPECT_EQ(rectangles[1].brush, BlackBrush);
  EXPECT_EQ(rectangles[2].rect, (ui::Rect{568, 224, 576, 360}));
  EXPECT_EQ(rectangles[3].rect, (ui::Rect{576, 88, 584, 292}));
  EXPECT_EQ(rectangles[4].rect, (ui::Rect{576, 292, 584, 360}));
}

TEST_F(ResultsDisplayTest, MaxRateShowsNaForZeroAndBadFiguresStillGiveAPicture) {
  auto calls = Draw(DRAW_GAUGE, 3);
  ASSERT_NE(FindText(calls, u"NA"), nullptr);
  EXPECT_EQ(FindText(calls, u"NA")->from, (ui::Point{550, 68}));
  TestStats.PublishedMaxRate = 3123.9f;
  calls = Draw(DRAW_GAUGE, 3);
  EXPECT_EQ(FindText(calls, u"NA"), nullptr);
  ASSERT_NE(FindText(calls, u"3123"), nullptr);
  EXPECT_EQ(FindText(calls, u"3123")->from, (ui::Point{550, 68}));

  TestStats.PublishedMaxRate = std::nanf("");
  TestStats.PublishedReadMaxRate = std::numeric_limits<float>::infinity();
  TestStats.PublishedWriteMaxRate = std::nanf("");
  calls = Draw(DRAW_GAUGE, 3);
  EXPECT_NE(FindText(calls, u"NA"), nullptr);
  EXPECT_EQ(Of(calls, DrawKind::Rectangle).size(), 5u);
}

TEST_F(ResultsDisplayTest, StatusBandIsAGradientWithResultsAndTheStatusFlatWithoutGradients) {
  StatusText.Set(u"LOOPBACK test - Complete");
  auto calls = Draw(DRAW_STATUS, 3);
  ASSERT_EQ(Of(calls, DrawKind::Text).size(), 2u);
  ASSERT_NE(FindText(calls, u"Results"), nullptr);
  EXPECT_EQ(FindText(calls, u"Results")->from, (ui::Point{5, 4}));
  const DrawCall* status =
      FindText(calls, u"Status: LOOPBACK test - Complete" + std::u16string(32, u' '));
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->from, (ui::Point{210, 4}));
  const auto bands = Of(calls, DrawKind::Gradient);
  ASSERT_EQ(bands.size(), 1u);
  EXPECT_EQ(bands[0].rect, (ui::Rect{0, 1, 600, 25}));
  EXPECT_TRUE(Of(calls, DrawKind::Line).empty());  // nothing of the gauge

  Panel()->Drawing()->SetGradientAvailable(false);
  calls = Draw(DRAW_COUNTERS, 3);
  EXPECT_TRUE(Of(calls, DrawKind::Gradient).empty());
  const auto rectangles = Of(calls, DrawKind::Rectangle);
  ASSERT_EQ(rectangles.size(), 1u);
  EXPECT_EQ(rectangles[0].rect, (ui::Rect{0, 25, 600, 49}));
}

TEST_F(ResultsDisplayTest, CountersBandGivesWayToClosingTestsOnlyWhileExitWaitsForThreads) {
  TestStats.ElapsedSeconds = 3725;
  TestStats.PublishedLoopCount = 42;
  TestStats.PublishedErrorCount = 3;
  struct Case {
    bool exit;
    int32_t threads;
    bool closing;
  };
  for (const Case& c :
       {Case{false, 0, false}, Case{true, 1, true}, Case{true, 0, false}, Case{false, 2, false}}) {
    ExitRequested = c.exit;
    RunningTestThreads = c.threads;
    const auto texts = Of(Draw(DRAW_COUNTERS, 3), DrawKind::Text);
    if (c.closing) {
      ASSERT_EQ(texts.size(), 1u);
      EXPECT_EQ(texts[0].text, u"Closing tests");
      EXPECT_EQ(texts[0].from, (ui::Point{5, 28}));
      continue;
    }
    ASSERT_EQ(texts.size(), 3u) << c.exit << c.threads;
    EXPECT_EQ(texts[0].text, u"Duration: 001h 02m 05s");
    EXPECT_EQ(texts[0].from, (ui::Point{5, 28}));
    EXPECT_EQ(texts[1].text, u"Operations: 42");
    EXPECT_EQ(texts[1].from, (ui::Point{210, 28}));
    EXPECT_EQ(texts[2].text, u"Errors: 3");
    EXPECT_EQ(texts[2].from, (ui::Point{370, 28}));
  }
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
    EXPECT_EQ(texts[i].text, Format16("category %u", categories[i]));
    EXPECT_EQ(texts[i].from, (ui::Point{5, y}));
    EXPECT_EQ(texts[i].clip, (ui::Rect{0, 0, 519, 400}));
  }
  // Errors and passes stand out; a category the log does not know is white.
  const ui::Colour white{255, 255, 255};
  EXPECT_NE(LogCategoryColour(LogCategory::Error), LogCategoryColour(LogCategory::Pass));
  EXPECT_NE(LogCategoryColour(LogCategory::Error), LogCategoryColour(LogCategory::Information));
  EXPECT_EQ(rectangles[7].brush.colour, white);
  EXPECT_EQ(LogCategoryColour(9), white);
  const auto fills = Of(calls, DrawKind::Fill);
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].rect, (ui::Rect{0, 49 + 8 * 14, 519, 400}));
  EXPECT_EQ(FindText(calls, u"Results"), nullptr);  // only the log part
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
  LogScrollPos = 90;  // past the end: the missing records take no lines
  const auto tail = Of(Draw(DRAW_LOG, 3), DrawKind::Text);
  ASSERT_EQ(tail.size(), 10u);
  EXPECT_EQ(tail.back().text, u"record 99");
}

TEST_F(ResultsDisplayTest, KindZeroDrawsEverythingAndNothingWithoutALog) {
  AddRecords(2);
  const auto calls = Draw(DRAW_ALL, 3);
  for (const char16_t* text : {u"Max. Rate", u"Results", u"Operations: 0", u"record 1"})
    EXPECT_NE(FindText(calls, text), nullptr) << Utf16ToUtf8(text);
  DrawResults(nullptr, DRAW_ALL, 3);  // no panel, no context: harmless
  LogRecord = nullptr;
  EXPECT_TRUE(Draw(DRAW_ALL, 3).empty());
}

struct ScrollCase {
  int32_t code, thumb, from, to;
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
  EXPECT_EQ((std::array{scroll.minimum, scroll.maximum, scroll.page, scroll.position}),
            (std::array{0, 9, 5, 5}));

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
  const auto texts = Of(Panel()->Drawing()->Calls(), DrawKind::Text);
  ASSERT_EQ(texts.size(), 25u);
  EXPECT_EQ(texts.back().text, u"newest");
}

// The user-interface thread on a loop of its own, which the test can hold busy.
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
  // The last 25 records on view, the newest at the bottom, and the scroll bar agrees.
  void ExpectViewOnNewest() {
    const int32_t count = static_cast<int32_t>(log_->RecordCount());
    EXPECT_EQ(LogScrollRange.load(), count - 25);
    EXPECT_EQ(LogScrollPos.load(), count - 25);
    EXPECT_EQ(Bar()->Scroll().position, count - 25);
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

  // None of this may wait for the busy user-interface thread.
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
    auto canvas = Panel()->GetCanvas();  // the user-interface thread's paint waits
    LogEvent(u"first", LogCategory::Loopback);
    while (LogScrollRange.load() != 31 - 25) std::this_thread::yield();  // rescrolled
    LogEvent(u"second", LogCategory::Loopback);
  }
  system_.Flush();
  ExpectViewOnNewest();
}

TEST_F(LogViewThreadsTest, RecordsRacingTheUpdateAreNeverLeftUnshown) {
  // Updates run while records still arrive; the last must still end up on screen.
  LogFromFourThreads(2500);
  system_.Flush();
  ExpectViewOnNewest();
}

TEST_F(ResultsDisplayTest, PlugDisplayShowsTheImageUnlessPausedOnAConnectedPlug) {
  auto* panel = Control(res::IDC_PLUG_DISPLAY);
  PlugDisplayBitmap image{};
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  PlugDisplayImage.Store(image);
  const std::vector<uint8_t> plugBits(image.begin(), image.end());
  const ui::MonoPicture* plate = res::FindBitmap(res::IDB_TEST_IN_PROGRESS);
  const std::vector<uint8_t> plateBits(plate->bits.begin(), plate->bits.end());
  struct Case {
    bool paused, connected;
    const std::vector<uint8_t>& bits;
  };
  for (const Case& c : {Case{false, false, plugBits}, Case{true, false, plugBits},
                        Case{true, true, plateBits}, Case{false, true, plugBits}}) {
    MonitorPaused = c.paused;
    PlugConnected = c.connected;
    panel->Drawing()->Clear();
    BlitPlugDisplay(PlugDisplayImage);
    const auto pictures = Of(panel->Drawing()->Calls(), DrawKind::Picture);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].from, (ui::Point{0, 0}));
    EXPECT_EQ(pictures[0].pictureWidth, 128);
    EXPECT_EQ(pictures[0].pictureHeight, 64);
    EXPECT_EQ(pictures[0].pictureBits, c.bits) << c.paused << c.connected;
  }
}

}  // namespace
