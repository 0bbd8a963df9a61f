// The desktop program as a user meets it: the shell's main window on real Qt widgets over
// a simulated plug, worked through the widgets themselves. The program runs on the GUI
// thread as it does in tarnwick; the test is the user beside it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QSlider>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "engines/configuration.h"
#include "engines/engine_thread.h"
#include "engines/run_state.h"
#include "engines/shell_calls.h"
#include "engines/statistics.h"
#include "log/debug_trace.h"
#include "log/event_log.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_registry.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "protocol/plug_ids.h"
#include "qt_test_support.h"
#include "res/control_ids.h"
#include "res/dialog_templates.h"
#include "ui/app_main.h"
#include "ui/config_dialog.h"
#include "ui/main_dialog.h"
#include "ui/main_window.h"
#include "ui/program.h"
#include "ui/results_display.h"
#include "ui/shell_state.h"

namespace ui::qt::test {
namespace {

using namespace res;

class QtMainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    folder_ = std::filesystem::temp_directory_path() /
              ("tarnwick-qtmain-" + std::to_string(getpid()) + "-" + name);
    std::filesystem::create_directories(folder_);
    setenv("XDG_DOCUMENTS_DIR", folder_.c_str(), 1);
    setenv(PlugRegistryPrefixVariable, ("qtmain" + std::to_string(getpid()) + name).c_str(), 1);
    ResetShellState();
    g_self = this;
    SetLogRecordObserver(&Observe);
  }

  void TearDown() override {
    if (started_ && !ended_) {
      CloseWindow();
      EXPECT_TRUE(WaitUntil([this] { return ended_.load(); }, std::chrono::seconds(40)));
    }
    SetLogRecordObserver(nullptr);
    wiring_.reset();
    ResetShellState();
    g_self = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // The program on one simulated plug, up to the point where its loop serves and the
  // plug the scan chose is ready.
  void Run() {
    ProgramOptions program;
    program.Simulate = true;
    wiring_ = std::make_unique<ProgramWiring>();
    std::u16string error;
    ASSERT_TRUE(wiring_->Install(program, harness_.Qt(), MainWindowShellCalls(), error))
        << Utf16ToUtf8(error);
    ShellOptions options;
    options.Initialised = [this](Window* mainWindow) { main_ = mainWindow; };
    started_ = true;
    Gui().Post([this, options] {
      code_ = TarnwickMain(options, harness_.Qt());
      ended_ = true;
    });
    ASSERT_TRUE(WaitUntil([this] { return main_.load() != nullptr || ended_.load(); }));
    ASSERT_FALSE(ended_.load()) << "the program ended during its start-up";
    ASSERT_TRUE(WaitReady());
  }

  bool WaitReady() {
    return WaitUntil(
        [this] { return OnGuiResult([] { return PlugConnected && !ReenumerationPending; }); });
  }
  Window* Control(int32_t id) { return main_.load()->Control(id); }
  void Click(int32_t id) { harness_.Click(Control(id)); }
  bool Enabled(int32_t id) {
    return OnGuiResult([&] { return WidgetOf(Control(id))->isEnabled(); });
  }
  // The close box: Exit itself is not offered while a test runs.
  void CloseWindow() {
    harness_.System().Post([this] { WidgetOf(main_)->close(); });
  }

  // Types into an edit box of a dialog as the user does and then leaves it with Tab.
  void TypeAndLeave(Window* edit, const QString& text) {
    harness_.System().Post([edit, text] {
      auto* line = WidgetAs<QLineEdit>(edit);
      line->window()->activateWindow();
      line->setFocus();
      line->selectAll();
      QTest::keyClicks(line, text);
      QTest::keyClick(line, Qt::Key_Tab);
    });
    harness_.Flush();
  }

  QWidget* OpenDialogWidget(const char* templateName) {
    QWidget* widget = nullptr;
    WaitUntil([&] {
      widget = OnGuiResult([&]() -> QWidget* {
        QtWindow* dialog = harness_.Qt().FindDialog(templateName);
        return dialog != nullptr && dialog->Widget() != nullptr && dialog->Widget()->isVisible()
                   ? dialog->Widget()
                   : nullptr;
      });
      return widget != nullptr;
    });
    return widget;
  }
  Window* OpenDialog(const char* templateName) {
    return OpenDialogWidget(templateName) != nullptr ? harness_.Qt().FindDialog(templateName)
                                                     : nullptr;
  }

  // Whether the log panel's picture holds a line in the colour of this category.
  bool LogPanelShows(uint32_t category) {
    const Colour colour = LogCategoryColour(category);
    const QColor wanted(colour.red, colour.green, colour.blue);
    const QImage image = static_cast<QtWindow*>(Control(IDC_LOG_PANEL))->Image()->Snapshot();
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        if (image.pixelColor(x, y) == wanted) return true;
      }
    }
    return false;
  }

  size_t CountRecords(const std::string& start) {
    std::lock_guard lock(recordLock_);
    size_t count = 0;
    for (const std::string& text : records_) count += text.rfind(start, 0) == 0 ? 1 : 0;
    return count;
  }

  QtHarness harness_;
  std::unique_ptr<ProgramWiring> wiring_;
  std::filesystem::path folder_;
  std::atomic<Window*> main_{nullptr};
  std::atomic<bool> started_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> code_{-100};

 private:
  static void Observe(const char16_t* text, uint32_t, int64_t) {
    std::lock_guard lock(g_self->recordLock_);
    g_self->records_.push_back(Utf16ToUtf8(text));
  }
  static inline QtMainWindowTest* g_self = nullptr;
  std::mutex recordLock_;
  std::vector<std::string> records_;
};

TEST_F(QtMainWindowTest, ControlsSitWhereTheTemplatePutsThem) {
  Run();
  const DialogTemplate* main = FindDialogTemplate("TARNWICK");
  OnGui([&] {
    EXPECT_TRUE(WidgetOf(main_)->isVisible());
    EXPECT_EQ(WidgetOf(main_)->windowTitle(), QStringLiteral("Quorvale(TM) Tarnwick"));
    for (const ControlTemplate& control : main->controls) {
      if (control.id == IDC_STATIC) continue;
      Rect rect = main_.load()->DialogUnitsToPixels(
          {control.x, control.y, control.x + control.width, control.y + control.height});
      // The log panel reaches down to its scroll bar's end.
      if (control.id == IDC_LOG_PANEL)
        rect.bottom = Control(IDC_LOG_SCROLL)->BoundsInParent().bottom;
      QWidget* widget = WidgetOf(Control(control.id));
      ASSERT_NE(widget, nullptr) << control.id;
      // A drop-down list's template height counts its open list; closed it is one line.
      const int height =
          control.controlClass == ControlClass::ComboBox ? widget->height() : rect.Height();
      EXPECT_EQ(widget->geometry(), QRect(rect.left, rect.top, rect.Width(), height)) << control.id;
    }
  });
}

TEST_F(QtMainWindowTest, StartShowsLoopLinesAndRisingCountersUntilStop) {
  Run();
  ASSERT_TRUE(Enabled(IDC_START));
  Click(IDC_START);
  ASSERT_TRUE(WaitUntil([this] { return LogPanelShows(LogCategory::Loopback); }));
  const uint32_t loops = TestStats.PublishedLoopCount;
  EXPECT_TRUE(WaitUntil([&] { return TestStats.PublishedLoopCount > loops; }));
  EXPECT_FALSE(Enabled(IDC_START));

  // Stop is offered a few seconds into the run.
  ASSERT_TRUE(WaitUntil([this] { return Enabled(IDC_STOP); }));
  Click(IDC_STOP);
  EXPECT_TRUE(WaitUntil([] { return EngineThreadsAlive() == 0; }));
  EXPECT_TRUE(WaitUntil([this] { return Enabled(IDC_START); }));
  EXPECT_EQ(CountRecords("RESULTS:"), 1u);
}

TEST_F(QtMainWindowTest, ConfigureAboutAndSaveLogThroughTheirWidgets) {
  Run();
  const uint8_t constant = TestConfig.ConstantValue;

  Click(IDC_CONFIGURE);
  Window* config = OpenDialog("CONFBOX");
  ASSERT_NE(config, nullptr);
  Window* load = config->Control(IDC_LOAD_EDIT);
  TypeAndLeave(load, QStringLiteral("0"));
  EXPECT_EQ(load->GetText(16), u"1");
  EXPECT_EQ(
      OnGuiResult([&] { return WidgetAs<QSlider>(config->Control(IDC_LOAD_TRACKBAR))->value(); }),
      1);
  TypeAndLeave(load, QStringLiteral("250"));
  EXPECT_EQ(load->GetText(16), u"100");
  TypeAndLeave(load, QStringLiteral("40"));

  TypeAndLeave(config->Control(IDC_CONSTANT_EDIT), QStringLiteral("300"));
  ASSERT_TRUE(WaitUntil([this] { return harness_.OpenBoxes() == 1; }));
  EXPECT_EQ(OnGuiResult([] {
              for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                  return box->windowTitle();
              }
              return QString();
            }),
            QStringLiteral("Tarnwick Error"));
  EXPECT_TRUE(harness_.AnswerBox(IDOK));
  EXPECT_TRUE(WaitUntil([&] { return config->Control(IDC_CONSTANT_EDIT)->GetText(16) == u"170"; }));

  harness_.Click(config->Control(IDC_OK));
  EXPECT_TRUE(
      WaitUntil([&] { return OpenDialog("CONFBOX") == nullptr || config->IsVisible() == false; }));
  EXPECT_EQ(OnGuiResult([] { return TestConfig.LoopbackLoad; }), 40);
  EXPECT_EQ(OnGuiResult([] { return TestConfig.ConstantValue; }), constant);
  ASSERT_TRUE(WaitReady());

  Click(IDC_ABOUT);
  Window* about = OpenDialog("ABOUTBOX");
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->Control(IDC_ABOUT_VERSION)->GetText(64), u"Tarnwick V2.0 (1009) WIN64");
  harness_.Click(about->Control(IDC_OK));
  EXPECT_TRUE(WaitUntil([&] {
    return OnGuiResult([&] { return WidgetOf(about) == nullptr || !WidgetOf(about)->isVisible(); });
  }));

  Click(IDC_SAVE_LOG);
  QFileDialog* save = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    save = OnGuiResult([]() -> QFileDialog* {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible())
          return dialog;
      }
      return nullptr;
    });
    return save != nullptr;
  }));
  const std::filesystem::path chosen = folder_ / "chosen.txt";
  OnGui([&] {
    auto* edit = save->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(edit, nullptr);
    edit->selectAll();
    QTest::keyClicks(edit, QString::fromStdString(chosen.string()));
  });
  harness_.System().Post([save] { static_cast<QDialog*>(save)->accept(); });
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(chosen); }));
  harness_.Flush();
  // The records written are those of the log: the plug's selection among them.
  std::ifstream file(chosen);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Information"), std::string::npos) << text;
}

TEST_F(QtMainWindowTest, ExitDuringATestWaitsForItsThreads) {
  Run();
  Click(IDC_START);
  ASSERT_TRUE(WaitUntil([this] { return LogPanelShows(LogCategory::Loopback); }));
  CloseWindow();
  ASSERT_TRUE(WaitUntil([this] { return ended_.load(); }, std::chrono::seconds(30)));
  EXPECT_EQ(code_.load(), 0);
  EXPECT_EQ(EngineThreadsAlive(), 0);
  EXPECT_FALSE(TestThreadsOutlivedExit());
}

}  // namespace
}  // namespace ui::qt::test
