#include "ui/main_dialog.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "log/debug_trace.h"
#include "platform/message_box.h"
#include "ui_test_fixture.h"

namespace {

using namespace res;

// Controls that neither state routine touches stay usable at all times.
const std::set<int32_t> kNeverTouched = {IDC_CLEAR_SERIAL, IDC_HELP,      IDC_ABOUT,
                                         IDC_SERIAL_EDIT,  IDC_LOG_PANEL, IDC_LOG_SCROLL};

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
  for (int32_t id : kNeverTouched) EXPECT_TRUE(testing.count(id)) << id;

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

TEST_F(ControlStateTest, AnEngineThreadRestoresTheIdleStateThroughTheUiThread) {
  std::thread ui([this] { system_.RunMessageLoop(); });
  system_.Flush();
  DisableControlsForTest(main_);
  PlugConnected = true;
  std::thread engine([this] { RestoreIdleControls(main_); });
  engine.join();
  EXPECT_TRUE(main_->Control(IDC_START)->IsEnabled());
  EXPECT_TRUE(main_->Control(IDC_FLASH_LEDS)->IsEnabled());
  EXPECT_FALSE(main_->Control(IDC_STOP)->IsEnabled());
  system_.Quit(0);
  ui.join();
}

TEST_F(ControlStateTest, LowerLayersMessageBoxesReachTheUserOnlyOnceRouted) {
  system_.ScriptMessageBoxAnswers({IDNO});
  EXPECT_EQ(ShowMessageBox(main_, u"Wrong BOS Descriptor", u"Error", MB_YESNO), IDNO);
  const auto boxes = system_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].owner, main_);
  EXPECT_EQ(boxes[0].text, u"Wrong BOS Descriptor");
  EXPECT_EQ(boxes[0].caption, u"Error");

  // An installed window system alone routes nothing: the default answer, no box.
  InstallMessageBoxHandler(nullptr);
  ui::SetWindowSystem(&system_);
  EXPECT_EQ(ShowMessageBox(main_, u"quiet", u"Error", MB_YESNO), IDYES);
  EXPECT_EQ(system_.MessageBoxes().size(), 1u);
}

TEST_F(ControlStateTest, DrawingObjectsFollowTheScreen) {
  LogLineHeight = 0;
  DrawingObjects objects = CreateDrawingObjects(144);
  EXPECT_EQ(LogLineHeight.load(), 14);
  EXPECT_EQ(objects.HeavyFont.height, 21);
  EXPECT_EQ(objects.HeavyFont.weight, 900);
  EXPECT_EQ(objects.LabelFont, (ui::Font{u"Tahoma", 14, 700, false}));
  EXPECT_EQ(objects.BandFont, (ui::Font{u"Tahoma", 16, 700, true}));
  EXPECT_EQ(objects.GreenBrush.colour, (ui::Colour{100, 200, 100}));
  EXPECT_EQ(objects.YellowBrush.colour, (ui::Colour{200, 200, 30}));
  EXPECT_EQ(objects.RedBrush.colour, (ui::Colour{255, 100, 100}));
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

namespace {

// The trace goes to the documents folder of the environment; the test points it at a
// folder of its own.
class TraceTest : public MainDialogFixture {
 protected:
  void SetUp() override {
    MainDialogFixture::SetUp();
    folder_ = std::filesystem::temp_directory_path() /
              ("tarnwick-ui-trace-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    if (const char* old = std::getenv("XDG_DOCUMENTS_DIR")) saved_ = old;
    setenv("XDG_DOCUMENTS_DIR", folder_.c_str(), 1);
    DebugMode = true;
    OpenDebugTrace();
  }
  void TearDown() override {
    DebugMode = false;
    if (saved_) {
      setenv("XDG_DOCUMENTS_DIR", saved_->c_str(), 1);
    } else {
      unsetenv("XDG_DOCUMENTS_DIR");
    }
    std::filesystem::remove_all(folder_);
    MainDialogFixture::TearDown();
  }
  // The trace's lines without their time prefixes.
  std::vector<std::string> Lines() {
    std::ifstream file(Utf16ToUtf8(DebugTracePath()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t prefix = line.find("s - ");
      lines.push_back(prefix == std::string::npos ? line : line.substr(prefix + 4));
    }
    return lines;
  }

  std::filesystem::path folder_;
  std::optional<std::string> saved_;
};

TEST_F(TraceTest, LayoutAndPaintingLeaveTheirTraceLines) {
  LayoutLogArea(main_, 0, 0);
  LayoutLogArea(system_.CreateDialog("ABOUTBOX", nullptr, nullptr), 0, 0);
  DrawResults(Panel(), DRAW_LOG, 3);
  LogRecord = nullptr;
  DrawResults(Panel(), DRAW_LOG, 3);
  const std::vector<std::string> expected = {
      "DEBUG: Start resizing window ",
      "DEBUG: Sizing the graph with the dialog window",
      "DEBUG: Retrieved DC for the entire window",
      "DEBUG: Updating scroll bar setting, NewRange returned 0",
      "DEBUG: hwndlog was NULL ",
      "DEBUG: hwndScroll was NULL ",
      "DEBUG: DrawResults() Retrieved DC for the entire window",
      "DEBUG: DrawResults() Start painting Log background",
      "DEBUG: DrawResults() Start writing out log",
      "DEBUG: DrawResults() Painting the rest as background",
      "DEBUG: DrawResults() LogRecord was NULL",
  };
  EXPECT_EQ(Lines(), expected);
}

}  // namespace
