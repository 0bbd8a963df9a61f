#include "ui/main_dialog.h"

#include <set>

#include "ui_fixtures.h"

namespace {

using namespace res;

class ControlStateTest : public MainDialogFixture {
 protected:
  void SetAll(bool enabled) {
    for (const ControlTemplate& control : FindDialogTemplate("TARNWICK")->controls) {
      if (control.id != IDC_STATIC) main_->Control(control.id)->Enable(enabled);
    }
  }
  std::set<int32_t> Enabled() {
    std::set<int32_t> result;
    for (const ControlTemplate& control : FindDialogTemplate("TARNWICK")->controls) {
      if (control.id != IDC_STATIC && main_->Control(control.id)->IsEnabled()) {
        result.insert(control.id);
      }
    }
    return result;
  }
  static std::set<int32_t> Minus(const std::set<int32_t>& a, const std::set<int32_t>& b) {
    std::set<int32_t> result;
    for (int32_t id : a) {
      if (!b.count(id)) result.insert(id);
    }
    return result;
  }
};

TEST_F(ControlStateTest, IdleWithAPlugUndoesTheTestingStateAndStopsStop) {
  SetAll(true);
  const std::set<int32_t> all = Enabled();
  DisableControlsForTest(main_);
  const std::set<int32_t> testing = Enabled();
  const std::set<int32_t> disabled = Minus(all, testing);
  EXPECT_TRUE(disabled.count(IDC_START));
  EXPECT_TRUE(disabled.count(IDC_EXIT));
  EXPECT_TRUE(testing.count(IDC_STOP));  // left to the Start command's delayed enabling
  for (int32_t id : {IDC_CLEAR_SERIAL, IDC_HELP, IDC_ABOUT, IDC_SERIAL_EDIT, IDC_LOG_PANEL})
    EXPECT_TRUE(testing.count(id)) << id;

  PlugConnected = true;
  RestoreIdleControls(main_);
  EXPECT_EQ(Enabled(), Minus(all, {IDC_STOP}));

  SetAll(false);
  DisableControlsForTest(main_);
  EXPECT_TRUE(Enabled().empty());  // never enables anything
}

TEST_F(ControlStateTest, AfterATestWithoutAPlugOnlyTheSelectionDurationLogAndExitWork) {
  SetAll(true);
  const std::set<int32_t> all = Enabled();
  DisableControlsForTest(main_);
  std::set<int32_t> stateControls = Minus(all, Enabled());
  stateControls.insert(IDC_STOP);
  PlugConnected = false;  // the plug went during the run
  RestoreIdleControls(main_);
  const std::set<int32_t> usable = {IDC_RESET_ALL,     IDC_EXIT,         IDC_DEVICE_LABEL,
                                    IDC_DEVICE_LIST,   IDC_SELECT_GROUP, IDC_DURATION_LABEL,
                                    IDC_DURATION_EDIT, IDC_SAVE_LOG};
  EXPECT_EQ(Minus(stateControls, Minus(stateControls, Enabled())), usable);
  EXPECT_FALSE(main_->Control(IDC_START)->IsEnabled());
}

TEST_F(ControlStateTest, LowerLayersMessageBoxesReachTheUserOnlyOnceRouted) {
  system_.ScriptMessageBoxAnswers({IDNO});
  EXPECT_EQ(ShowMessageBox(main_, u"Wrong BOS Descriptor", u"Error", MB_YESNO), IDNO);
  const auto boxes = system_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].owner, main_);
  EXPECT_EQ(boxes[0].text, u"Wrong BOS Descriptor");

  // An installed window system alone routes nothing: the default answer, no box.
  InstallMessageBoxHandler(nullptr);
  ui::SetWindowSystem(&system_);
  EXPECT_EQ(ShowMessageBox(main_, u"quiet", u"Error", MB_YESNO), IDYES);
  EXPECT_EQ(system_.MessageBoxes().size(), 1u);
}

TEST_F(ControlStateTest, DrawingObjectsScaleWithTheScreen) {
  LogLineHeight = 0;
  const DrawingObjects objects = CreateDrawingObjects(144);
  EXPECT_EQ(LogLineHeight.load(), 14);
  EXPECT_EQ(objects.HeavyFont.height, 21);
  EXPECT_EQ(CreateDrawingObjects(120).HeavyFont.height, 17);  // 17.5 truncated
}

TEST_F(ControlStateTest, LayoutStretchesTheLogPanelToTheScrollBarsBottom) {
  const ui::Rect before = Panel()->BoundsInParent();
  const ui::Rect bar = Bar()->BoundsInParent();
  ASSERT_NE(before.bottom, bar.bottom);
  LayoutLogArea(main_, 0, 0);
  const ui::Rect after = Panel()->BoundsInParent();
  EXPECT_EQ(after, (ui::Rect{before.left, before.top, before.right, bar.bottom}));
  EXPECT_EQ(LogArea.Load(), (ui::Rect{0, 0, after.Width(), after.Height()}));
  // The scroll bar follows: an empty log needs none.
  EXPECT_FALSE(Bar()->IsVisible());

  // A dialog without the log controls is left alone.
  LogArea.Store({0, 0, 1, 1});
  ui::Window* about = system_.CreateDialog("ABOUTBOX", nullptr, nullptr);
  LayoutLogArea(about, 0, 0);
  LayoutLogArea(nullptr, 0, 0);
  EXPECT_EQ(LogArea.Load(), (ui::Rect{0, 0, 1, 1}));
}

}  // namespace
