#include "ui/qt/app/screenshot_run.h"

#include <QAbstractButton>
#include <QPixmap>
#include <cstdio>

#include "plug/plug_monitor.h"
#include "plug/plug_selection.h"
#include "res/control_ids.h"
#include "ui/qt/qt_window.h"

namespace {

// Selecting the plug and its re-enumeration after a mode change take a few seconds
// each; a plug not ready after this long will not become ready.
constexpr auto kReadyLimit = std::chrono::seconds(60);
constexpr auto kPollPeriod = std::chrono::milliseconds(50);

}  // namespace

ScreenshotRun::ScreenshotRun(ui::qt::QtWindowSystem& system, QString file, StartMode mode,
                             std::chrono::milliseconds after)
    : system_(system), file_(std::move(file)), mode_(mode), after_(after) {
  poll_.setInterval(kPollPeriod);
  connect(&poll_, &QTimer::timeout, this, [this] { Poll(); });
}

void ScreenshotRun::Begin(ui::Window* mainWindow) {
  main_ = mainWindow;
  deadline_ = std::chrono::steady_clock::now() + kReadyLimit;
  poll_.start();
}

bool ScreenshotRun::PlugReady() const {
  return PlugConnected && !ReenumerationPending;
}

bool ScreenshotRun::Click(int32_t id, ui::Window* dialog) {
  auto* control = static_cast<ui::qt::QtWindow*>((dialog != nullptr ? dialog : main_)->Control(id));
  auto* button = control != nullptr ? qobject_cast<QAbstractButton*>(control->Widget()) : nullptr;
  if (button == nullptr || !button->isEnabled() || !button->isVisible()) return false;
  button->click();
  return true;
}

void ScreenshotRun::ClickLater(int32_t id, ui::Window* dialog) {
  QTimer::singleShot(0, this, [this, id, dialog] { Click(id, dialog); });
}

void ScreenshotRun::Poll() {
  const auto now = std::chrono::steady_clock::now();
  switch (step_) {
    case Step::ChooseMode:
    case Step::Configure:
    case Step::ChooseBenchmark:
    case Step::Start:
      if (now > deadline_) {
        Finish(false, QStringLiteral("the plug did not become ready"));
        return;
      }
      if (!PlugReady()) return;
      if (step_ == Step::ChooseMode) {
        const int32_t radio = mode_ == StartMode::Loopback ? res::IDC_LOOPBACK
                              : mode_ == StartMode::None   ? 0
                                                           : res::IDC_BENCHMARK;
        // A mode change re-enumerates the plug: the next step waits for it to be back.
        if (radio != 0 && main_->Control(radio)->GetCheck() == 0) Click(radio);
        step_ = mode_ == StartMode::ReadAndWrite ? Step::Configure : Step::Start;
        return;
      }
      if (step_ == Step::Configure) {
        ClickLater(res::IDC_CONFIGURE);
        step_ = Step::ChooseBenchmark;
        return;
      }
      if (step_ == Step::ChooseBenchmark) {
        ui::qt::QtWindow* dialog = system_.FindDialog("CONFBOX");
        if (dialog == nullptr || dialog->Widget() == nullptr || !dialog->Widget()->isVisible())
          return;
        Click(res::IDC_READ_AND_WRITE, dialog);
        ClickLater(res::IDC_OK, dialog);
        step_ = Step::Start;
        return;
      }
      if (!Click(res::IDC_START)) return;
      grabAt_ = now + after_;
      step_ = Step::Grab;
      return;
    case Step::Grab: {
      if (now < grabAt_) return;
      QWidget* window = static_cast<ui::qt::QtWindow*>(main_)->Widget();
      if (window == nullptr || !window->grab().save(file_, "PNG")) {
        Finish(false, QStringLiteral("cannot write ") + file_);
      } else {
        Finish(true, QString());
      }
      return;
    }
    case Step::Done:
      return;
  }
}

void ScreenshotRun::Finish(bool succeeded, const QString& message) {
  succeeded_ = succeeded;
  step_ = Step::Done;
  poll_.stop();
  if (!message.isEmpty()) std::fprintf(stderr, "tarnwick: screenshot: %s\n", qPrintable(message));
  // The close box: unlike the Exit button it is there while a test runs.
  if (QWidget* window = static_cast<ui::qt::QtWindow*>(main_)->Widget()) window->close();
}
