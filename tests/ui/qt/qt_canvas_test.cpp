// Drawn panels: any thread paints into the panel's image through a canvas, the GUI
// thread only copies the image to the screen.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QImage>
#include <QWidget>
#include <atomic>
#include <thread>
#include <vector>

#include "qt_test_support.h"
#include "res/control_ids.h"

namespace ui::qt::test {
namespace {

class PaintCounter : public QObject {
 public:
  std::atomic<int> paints{0};

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

class QtCanvasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    main_ = harness_.System().CreateDialog("TARNWICK", nullptr, nullptr);
    panel_ = static_cast<QtWindow*>(main_->Control(res::IDC_LOG_PANEL));
  }
  QImage Picture() { return panel_->Image()->Snapshot(); }
  // Paints on a thread of its own, as the engines do.
  void PaintOnWorker(const std::function<void(Canvas&)>& paint) {
    std::thread worker([&] {
      auto canvas = panel_->GetCanvas();
      ASSERT_NE(canvas, nullptr);
      paint(*canvas);
    });
    worker.join();
  }

  QtHarness harness_;
  Window* main_ = nullptr;
  QtWindow* panel_ = nullptr;
};

constexpr Pen kBlackPen{{0, 0, 0}, 1};
constexpr Font kLabelFont{u"Tahoma", 14, 700, false};

TEST_F(QtCanvasTest, ThePictureHoldsWhatTheCallsDrewAndThePanelShowsIt) {
  const uint8_t bits[] = {0x80, 0x01, 0xEE, 0xEE, 0x00, 0x00, 0xEE, 0xEE};  // stride 4
  PaintOnWorker([&](Canvas& canvas) {
    canvas.FillRect({0, 0, 10, 10}, Brush{{255, 0, 0}});
    canvas.Rectangle({20, 0, 30, 10}, kBlackPen, Brush{{255, 255, 128}});
    canvas.GradientBand({0, 20, 100, 30}, {96, 96, 96}, {192, 192, 192});
    canvas.Line({0, 40}, {10, 40}, kBlackPen);
    const Rect clip{0, 50, 8, 70};
    canvas.Text({0, 50}, u"WWWW", kLabelFont, {0, 0, 0}, &clip);
    canvas.CopyPicture({50, 0}, MonoPicture{16, 2, 4, bits});
  });
  const QImage picture = Picture();
  auto at = [&](int x, int y) { return picture.pixelColor(x, y); };
  EXPECT_EQ(at(0, 0), QColor(255, 0, 0));
  EXPECT_EQ(at(9, 9), QColor(255, 0, 0));
  EXPECT_NE(at(10, 10), QColor(255, 0, 0));  // right and bottom edges are outside
  EXPECT_EQ(at(20, 0), QColor(0, 0, 0));     // the outline is inside the rectangle
  EXPECT_EQ(at(29, 9), QColor(0, 0, 0));
  EXPECT_EQ(at(25, 5), QColor(255, 255, 128));
  EXPECT_NE(at(30, 5), QColor(0, 0, 0));
  EXPECT_NEAR(at(0, 25).red(), 96, 3);  // the gradient runs left to right
  EXPECT_NEAR(at(99, 25).red(), 192, 3);
  EXPECT_EQ(at(9, 40), QColor(0, 0, 0));  // a line stops short of its end point
  EXPECT_NE(at(10, 40), QColor(0, 0, 0));
  int inside = 0, outside = 0;
  for (int y = 50; y < 70; ++y) {
    for (int x = 0; x < 40; ++x) (at(x, y).lightness() < 128 ? (x < 8 ? inside : outside) : x)++;
  }
  EXPECT_GT(inside, 0);
  EXPECT_EQ(outside, 0);                        // the clip holds the text in
  EXPECT_EQ(at(50, 0), QColor(255, 255, 255));  // 1 bits white, most significant leftmost
  EXPECT_EQ(at(51, 0), QColor(0, 0, 0));
  EXPECT_EQ(at(65, 0), QColor(255, 255, 255));
  EXPECT_EQ(at(50, 1), QColor(0, 0, 0));            // the second row starts a stride on
  EXPECT_EQ(at(52, 2), picture.pixelColor(52, 3));  // nothing below the picture's rows

  // The panel on the screen is the picture.
  const QImage shown = OnGuiResult([&] { return panel_->Widget()->grab().toImage(); });
  for (QPoint p : {QPoint(0, 0), QPoint(20, 0), QPoint(25, 5), QPoint(50, 0), QPoint(51, 0)}) {
    EXPECT_EQ(shown.pixelColor(p), picture.pixelColor(p)) << p.x() << "," << p.y();
  }
}

TEST_F(QtCanvasTest, PaintersNeverWaitForTheGuiThreadAndOneCopyCoversManyPaints) {
  PaintCounter* counting = OnGuiResult([&] {
    auto* made = new PaintCounter;
    panel_->Widget()->installEventFilter(made);
    return made;
  });
  PaintCounter& counter = *counting;
  harness_.Flush();
  // The GUI thread is held up while four threads paint a thousand times.
  std::atomic<bool> release{false};
  harness_.System().Post([&] {
    while (!release) std::this_thread::yield();
  });
  const int before = counter.paints;
  std::vector<std::thread> painters;
  for (int t = 0; t < 4; ++t) {
    painters.emplace_back([&, t] {
      for (int i = 0; i < 250; ++i) {
        auto canvas = panel_->GetCanvas();
        canvas->FillRect({t * 10, 0, t * 10 + 10, 10}, Brush{{0, static_cast<uint8_t>(i), 0}});
      }
    });
  }
  for (auto& painter : painters) painter.join();
  release = true;
  harness_.Flush();
  for (int i = 0; i < 3; ++i) OnGui([] { QCoreApplication::processEvents(); });
  EXPECT_GE(counter.paints - before, 1);
  EXPECT_LE(counter.paints - before, 2);
  EXPECT_EQ(Picture().pixelColor(35, 5), QColor(0, 249, 0));
  OnGui([&] { delete counting; });
}

TEST_F(QtCanvasTest, OneCanvasAtATimeAndNoneOnceTheDialogIsGone) {
  auto held = panel_->GetCanvas();
  std::atomic<bool> secondHas{false};
  std::thread second([&] {
    auto canvas = panel_->GetCanvas();
    secondHas = true;
  });
  // The second painter waits for as long as the first holds the image.
  EXPECT_FALSE(WaitUntil([&] { return secondHas.load(); }, std::chrono::milliseconds(50)));
  held.reset();
  second.join();
  EXPECT_TRUE(secondHas.load());

  // The dialog goes while a thread keeps painting its panel: the painter runs out of
  // canvases, nothing is painted into a widget that is gone.
  std::atomic<int> painted{0};
  std::thread painter([&] {
    while (auto canvas = panel_->GetCanvas()) {
      canvas->FillRect({0, 0, 5, 5}, Brush{{1, 2, 3}});
      ++painted;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return painted > 10; }));
  main_->Destroy();
  painter.join();
  EXPECT_EQ(panel_->GetCanvas(), nullptr);
  harness_.Flush();
  EXPECT_EQ(OnGuiResult([&] { return panel_->Widget(); }), nullptr);
}

}  // namespace
}  // namespace ui::qt::test
