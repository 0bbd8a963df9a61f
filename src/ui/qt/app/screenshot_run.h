// The unattended run behind --screenshot: waits for the plug, presses Start (after the
// mode's radio button when one was asked for), grabs the main window a while later and
// presses Exit. Every press goes to the real widget, as a user's click would.
#pragma once
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>

#include "ui/qt/app/desktop_options.h"
#include "ui/qt/qt_window_system.h"
#include "window/window.h"

class ScreenshotRun : public QObject {
 public:
  ScreenshotRun(ui::qt::QtWindowSystem& system, QString file, StartMode mode,
                std::chrono::milliseconds after);

  // On the GUI thread, once the main dialog is set up.
  void Begin(ui::Window* mainWindow);
  // Whether the picture was written; after the loop has ended.
  bool Succeeded() const { return succeeded_; }

 private:
  enum class Step { ChooseMode, Configure, ChooseBenchmark, Start, Grab, Done };

  void Poll();
  bool PlugReady() const;
  bool Click(int32_t id, ui::Window* dialog = nullptr);
  // A click that may open a modal dialog, made after this poll has returned.
  void ClickLater(int32_t id, ui::Window* dialog = nullptr);
  void Finish(bool succeeded, const QString& message);

  ui::qt::QtWindowSystem& system_;
  QString file_;
  StartMode mode_;
  std::chrono::milliseconds after_;
  ui::Window* main_ = nullptr;
  QTimer poll_;
  Step step_ = Step::ChooseMode;
  std::chrono::steady_clock::time_point deadline_;
  std::chrono::steady_clock::time_point grabAt_;
  bool succeeded_ = false;
};
