// The Qt window layer where it goes beyond the shared contract: what the user sees and
// does in front of real widgets.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QTest>

#include "qt_test_support.h"
#include "res/control_ids.h"
#include "res/dialog_templates.h"
#include "res/pictures.h"
#include "ui/qt/scroll_range.h"

namespace ui::qt::test {
namespace {

class QtWindowTest : public ::testing::Test {
 protected:
  MessageProc Recorder(std::function<void(Window*, const Message&)> also = nullptr) {
    return [this, also](Window* window, const Message& message) -> intptr_t {
      {
        std::lock_guard lock(lock_);
        seen_.push_back(message);
      }
      if (also) also(window, message);
      return 0;
    };
  }
  std::vector<Message> Seen(MessageKind kind) {
    std::lock_guard lock(lock_);
    std::vector<Message> result;
    for (const Message& m : seen_) {
      if (m.kind == kind) result.push_back(m);
    }
    return result;
  }
  // The id of the control whose widget this is, or 0.
  static int32_t IdOf(Window* dialog, const QWidget* widget) {
    for (const auto& control : static_cast<QtWindow*>(dialog)->Template()->controls) {
      Window* window = dialog->Control(control.id);
      if (window != nullptr && WidgetOf(window) == widget) return control.id;
    }
    return 0;
  }

  std::mutex lock_;
  std::vector<Message> seen_;
  QtHarness harness_;  // gone first: nothing it still delivers finds the record gone
};

TEST_F(QtWindowTest, DialogsAreFixedFramesInTheirFontWithTheRightWidgets) {
  const int32_t dpi = harness_.System().Screen().pixelsPerInchY;
  for (const char* name : {"TARNWICK", "CONFBOX", "ABOUTBOX"}) {
    const res::DialogTemplate* dialogTemplate = res::FindDialogTemplate(name);
    Window* dialog = harness_.System().CreateDialog(name, nullptr, nullptr);
    const Rect unit = dialog->DialogUnitsToPixels({0, 0, 4, 8});
    OnGui([&] {
      QWidget* frame = WidgetOf(dialog);
      const QFont font = frame->font();
      // The face is one that is installed, at the template's size on this screen.
      EXPECT_EQ(QFontInfo(font).family(), font.family()) << name;
      EXPECT_EQ(font.pixelSize(), (dialogTemplate->fontPoints * dpi + 36) / 72) << name;
      // Dialog units come from that face: 4 across is its average letter, 8 down a line.
      const QFontMetrics metrics(font);
      const double average = metrics.horizontalAdvance(QStringLiteral(
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                             52.0;
      EXPECT_NEAR(unit.Width(), average, 1.0) << name;
      EXPECT_EQ(unit.Height(), metrics.height()) << name;

      EXPECT_EQ(frame->minimumSize(), frame->maximumSize()) << name;
      EXPECT_FALSE(frame->windowFlags() &
                   (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint));
      EXPECT_EQ(frame->windowFlags().testFlag(Qt::WindowCloseButtonHint),
                (dialogTemplate->style & res::SystemMenu) != 0)
          << name;
      const QList<QSize> sizes = frame->windowIcon().availableSizes();
      EXPECT_TRUE(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32))) << name;

      for (const res::ControlTemplate& control : dialogTemplate->controls) {
        if (control.id == res::IDC_STATIC) continue;
        QWidget* widget = WidgetOf(dialog->Control(control.id));
        const char* expected = "";
        switch (control.controlClass) {
          case ControlClass::GroupBox:
            expected = "QGroupBox";
            break;
          case ControlClass::Static:
            expected = "QLabel";
            break;
          case ControlClass::ComboBox:
            expected = "QComboBox";
            break;
          case ControlClass::Edit:
            expected = "QLineEdit";
            break;
          case ControlClass::PushButton:
            expected = "QPushButton";
            break;
          case ControlClass::RadioButton:
            expected = "QRadioButton";
            break;
          case ControlClass::CheckBox:
            expected = "QCheckBox";
            break;
          case ControlClass::ScrollBar:
            expected = "QScrollBar";
            break;
          case ControlClass::Trackbar:
            expected = "QSlider";
            break;
          default:
            break;
        }
        EXPECT_TRUE(widget->inherits(expected)) << name << " " << control.id;
        if (auto* combo = qobject_cast<QComboBox*>(widget)) {
          EXPECT_FALSE(combo->isEditable());
        }
        if (auto* slider = qobject_cast<QSlider*>(widget)) {
          EXPECT_NE(slider->tickPosition(), QSlider::NoTicks);
        }
        if (auto* edit = qobject_cast<QLineEdit*>(widget);
            edit && (control.style & res::NumberOnly)) {
          QString letters = QStringLiteral("1a");
          int at = 0;
          EXPECT_EQ(edit->validator()->validate(letters, at), QValidator::Invalid);
        }
      }
      // The banner sits in its picture control at its own size.
      for (QLabel* label : frame->findChildren<QLabel*>()) {
        if (!label->pixmap().isNull()) {
          EXPECT_EQ(label->pixmap().size(), QSize(200, 56)) << name;
        }
      }
    });
  }
}

TEST_F(QtWindowTest, KeyboardMovesBetweenControlsAndReachesTheProcedure) {
  Window* main = harness_.System().CreateDialog("TARNWICK", nullptr, Recorder());
  std::vector<int32_t> visited;
  OnGui([&] {
    QWidget* frame = WidgetOf(main);
    frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame));
    WidgetOf(main->Control(res::IDC_DEVICE_LIST))->setFocus();
    for (int i = 0; i < 14; ++i) {
      visited.push_back(IdOf(main, QApplication::focusWidget()));
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
  });
  // Template order, tab stops only, hidden and disabled ones skipped, the radio group once.
  const std::vector<int32_t> order = {res::IDC_DEVICE_LIST,
                                      res::IDC_CONNECTION_LIST,
                                      res::IDC_DURATION_EDIT,
                                      res::IDC_LOOPBACK,
                                      res::IDC_START,
                                      res::IDC_CONFIGURE,
                                      res::IDC_FLASH_LEDS,
                                      res::IDC_CLEAR_SERIAL,
                                      res::IDC_SAVE_LOG,
                                      res::IDC_RESET_ALL,
                                      res::IDC_HELP,
                                      res::IDC_ABOUT,
                                      IDC_EXIT,
                                      res::IDC_DEVICE_LIST};
  EXPECT_EQ(visited, order);
  {
    std::lock_guard lock(lock_);
    seen_.clear();
  }

  // Leaving the duration box tells the procedure; arrows move inside the radio group and
  // choose; Escape and Enter are the dialog's cancel and OK; the close box only asks.
  OnGui([&] {
    WidgetOf(main->Control(res::IDC_DURATION_EDIT))->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), WidgetOf(main->Control(res::IDC_LOOPBACK)));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_EQ(QApplication::focusWidget(), WidgetOf(main->Control(res::IDC_BENCHMARK)));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    WidgetOf(main->Control(IDC_EXIT))->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    WidgetOf(main)->close();
    EXPECT_TRUE(WidgetOf(main)->isVisible());
  });
  EXPECT_EQ(main->Control(res::IDC_BENCHMARK)->GetCheck(), BST_CHECKED);
  EXPECT_EQ(main->Control(res::IDC_LOOPBACK)->GetCheck(), BST_UNCHECKED);
  std::vector<std::pair<int32_t, int32_t>> commands;
  for (const Message& m : Seen(MessageKind::Command)) commands.emplace_back(m.id, m.code);
  const std::vector<std::pair<int32_t, int32_t>> expected = {{res::IDC_DURATION_EDIT, EN_KILLFOCUS},
                                                             {res::IDC_BENCHMARK, BN_CLICKED},
                                                             {res::IDC_CANCEL, BN_CLICKED},
                                                             {IDC_EXIT, BN_CLICKED}};
  EXPECT_EQ(commands, expected);
  EXPECT_EQ(Seen(MessageKind::Close).size(), 1u);
  // Tab now stops at the checked button of the group.
  OnGui([&] {
    WidgetOf(main->Control(res::IDC_DURATION_EDIT))->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), WidgetOf(main->Control(res::IDC_BENCHMARK)));
  });
}

TEST_F(QtWindowTest, EnterPressesTheDefaultButton) {
  Window* about = harness_.System().CreateDialog("ABOUTBOX", nullptr, Recorder());
  OnGui([&] { QTest::keyClick(WidgetOf(about), Qt::Key_Enter); });
  const auto commands = Seen(MessageKind::Command);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].id, res::IDC_OK);
}

TEST(ScrollRangeTest, TheLastThumbPositionLeavesRoomForThePage) {
  EXPECT_EQ(ToSliderRange(0, 104, 5), (SliderRange{0, 100, 5}));
  EXPECT_EQ(ToSliderRange(0, 100, 0), (SliderRange{0, 100, 1}));
  EXPECT_EQ(ToSliderRange(0, 100, 1), (SliderRange{0, 100, 1}));
  EXPECT_EQ(ToSliderRange(10, 12, 5), (SliderRange{10, 10, 5}));  // page larger than the range
}

TEST_F(QtWindowTest, LogScrollBarReachesBothEndsOfALongLogAndMovesOnlyWhenTold) {
  // The log view's arithmetic: 1000 records, 5 visible, range 995, set as 0..range+4.
  constexpr int32_t kRange = 995;
  std::atomic<bool> follow{false};
  Window* main = harness_.System().CreateDialog(
      "TARNWICK", nullptr, Recorder([&](Window* window, const Message& message) {
        if (message.kind == MessageKind::VScroll && follow && message.code != SB_ENDSCROLL) {
          window->Control(res::IDC_LOG_SCROLL)
              ->SetScrollPos(static_cast<int32_t>(message.value), true);
        }
      }));
  Window* bar = main->Control(res::IDC_LOG_SCROLL);
  bar->SetScrollInfo(0, kRange + 4, 5, 0, true);
  OnGui([&] {
    auto* scroll = WidgetAs<QScrollBar>(bar);
    EXPECT_EQ(scroll->minimum(), 0);
    EXPECT_EQ(scroll->maximum(), kRange);
    EXPECT_EQ(scroll->pageStep(), 5);
    EXPECT_EQ(scroll->value(), 0);
    // The user at the top asks for the bottom: the report names the last record's place.
    scroll->triggerAction(QAbstractSlider::SliderToMaximum);
    EXPECT_EQ(scroll->value(), 0);  // nobody moved it
  });
  auto scrolls = Seen(MessageKind::VScroll);
  ASSERT_EQ(scrolls.size(), 1u);
  EXPECT_EQ(scrolls[0].code, SB_BOTTOM);
  EXPECT_EQ(scrolls[0].value, kRange);
  EXPECT_EQ(scrolls[0].id, res::IDC_LOG_SCROLL);

  bar->SetScrollPos(kRange, true);
  EXPECT_EQ(bar->ScrollPos(), kRange);
  follow = true;
  OnGui([&] {
    auto* scroll = WidgetAs<QScrollBar>(bar);
    EXPECT_EQ(scroll->value(), scroll->maximum());                // the thumb at the very bottom
    scroll->triggerAction(QAbstractSlider::SliderSingleStepAdd);  // nowhere further
    scroll->setSliderDown(true);
    scroll->setSliderPosition(3);
    scroll->setSliderDown(false);
  });
  scrolls = Seen(MessageKind::VScroll);
  ASSERT_EQ(scrolls.size(), 5u);
  EXPECT_EQ(scrolls[1].code, SB_LINEDOWN);
  EXPECT_EQ(scrolls[1].value, kRange);
  EXPECT_EQ(scrolls[2].code, SB_THUMBTRACK);
  EXPECT_EQ(scrolls[2].value, 3);
  EXPECT_EQ(scrolls[3].code, SB_THUMBPOSITION);
  EXPECT_EQ(scrolls[4].code, SB_ENDSCROLL);
  EXPECT_EQ(bar->ScrollPos(), 3);  // where the program put it
  bar->SetScrollPos(kRange + 4, true);
  EXPECT_EQ(bar->ScrollPos(), kRange);  // never past the last page
}

TEST_F(QtWindowTest, TrackbarMovesItsThumbBeforeItReports) {
  std::vector<int32_t> positions;
  Window* conf = harness_.System().CreateDialog(
      "CONFBOX", nullptr, Recorder([&](Window* window, const Message& message) {
        if (message.kind == MessageKind::HScroll) {
          positions.push_back(window->Control(res::IDC_LOAD_TRACKBAR)->TrackPos());
        }
      }));
  Window* track = conf->Control(res::IDC_LOAD_TRACKBAR);
  track->SetTrackRange(1, 100);
  track->SetTrackTickFrequency(10);
  track->SetTrackPos(50);
  OnGui([&] {
    auto* slider = WidgetAs<QSlider>(track);
    EXPECT_EQ(slider->tickInterval(), 10);
    QTest::keyClick(slider, Qt::Key_Right);
    QTest::keyClick(slider, Qt::Key_PageUp);
    QTest::keyClick(slider, Qt::Key_End);
  });
  const auto scrolls = Seen(MessageKind::HScroll);
  ASSERT_EQ(scrolls.size(), 3u);
  // The codes name where the position goes: "down" is towards the maximum.
  EXPECT_EQ(scrolls[0].code, SB_LINEDOWN);
  EXPECT_EQ(scrolls[1].code, SB_PAGEDOWN);
  EXPECT_EQ(scrolls[2].code, SB_BOTTOM);
  EXPECT_EQ(positions, (std::vector<int32_t>{51, 70, 100}));  // a page is a fifth of 99
}

TEST_F(QtWindowTest, TimersTickOnTheGuiThreadUntilKilled) {
  std::atomic<int> ones{0}, threes{0};
  std::atomic<bool> offGui{false};
  Window* main = harness_.System().CreateDialog(
      "TARNWICK", nullptr, [&](Window* window, const Message& message) -> intptr_t {
        if (message.kind != MessageKind::Timer) return 0;
        if (!harness_.System().IsUiThread()) offGui = true;
        if (message.id == 3) {
          ++threes;
          window->KillTimer(3);  // a one-shot
        } else {
          ++ones;
        }
        return 0;
      });
  EXPECT_FALSE(main->Control(res::IDC_START)->SetTimer(1, 10));  // controls have none
  ASSERT_TRUE(main->SetTimer(1, 10));
  ASSERT_TRUE(main->SetTimer(3, 10));
  ASSERT_TRUE(WaitUntil([&] { return ones >= 5; }));
  main->KillTimer(1);
  harness_.Flush();
  const int afterKill = ones;
  EXPECT_FALSE(OnGuiResult([&] { return static_cast<QtWindow*>(main)->TimerActive(1); }));
  harness_.Flush();
  EXPECT_EQ(ones.load(), afterKill);
  EXPECT_EQ(threes.load(), 1);
  EXPECT_FALSE(offGui.load());
}

TEST_F(QtWindowTest, PaintingTheFrameAsksTheProcedureToPaintItsPanelsOnce) {
  std::atomic<int> paints{0};
  Window* main = harness_.System().CreateDialog(
      "TARNWICK", nullptr, [&](Window* window, const Message& message) -> intptr_t {
        if (message.kind != MessageKind::Paint) return 0;
        ++paints;
        // What the shell does: repaint the drawn panels, which must not paint the frame.
        window->Control(res::IDC_LOG_PANEL)->Invalidate();
        auto canvas = window->Control(res::IDC_LOG_PANEL)->GetCanvas();
        canvas->FillRect({0, 0, 50, 50}, Brush{{255, 255, 255}});
        return 0;
      });
  ASSERT_TRUE(WaitUntil([&] { return paints >= 1; }));
  for (int i = 0; i < 5; ++i) OnGui([] { QApplication::processEvents(); });
  // Showing the frame took a paint or two; painting the panels added none.
  const int settled = paints;
  EXPECT_LE(settled, 2);
  for (int i = 0; i < 5; ++i) OnGui([] { QApplication::processEvents(); });
  EXPECT_EQ(paints.load(), settled);
  main->Invalidate();
  ASSERT_TRUE(WaitUntil([&] { return paints > settled; }));
}

}  // namespace
}  // namespace ui::qt::test
