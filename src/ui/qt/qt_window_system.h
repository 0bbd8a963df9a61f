// The window layer on Qt 6 Widgets. The thread that creates the system (with a
// QApplication already there) is the GUI thread; RunMessageLoop must run on it. The
// templates of res/ become real dialogs; message boxes and the save dialog use Qt's;
// timers, posted work and modal loops run on Qt's event loop; calls from other threads
// are carried to the GUI thread through a queue that is emptied, and then refuses to
// wait, once the loop has ended. "open" of a document runs the desktop's opener.
#pragma once
#include <QDBusConnection>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/qt/gui_queue.h"
#include "ui/qt/qt_window.h"
#include "window/window.h"

class QEventLoop;
class QWidget;

namespace ui::qt {

class SleepNotice;

// Power events the window layer delivers as PowerBroadcast codes.
constexpr int32_t PBT_APMSUSPEND = 4;
constexpr int32_t PBT_APMRESUMESUSPEND = 7;

class QtWindowSystem : public WindowSystem {
 public:
  QtWindowSystem();
  ~QtWindowSystem() override;

  Window* CreateDialog(std::string_view templateName, Window* owner,
                       MessageProc procedure) override;
  intptr_t RunModalDialog(std::string_view templateName, Window* owner,
                          MessageProc procedure) override;
  int MessageBox(Window* owner, std::u16string_view text, std::u16string_view caption,
                 uint32_t flags) override;
  std::optional<std::u16string> SaveFileDialog(Window* owner, std::u16string_view title,
                                               std::u16string_view filter,
                                               std::u16string_view initialName) override;
  intptr_t OpenDocument(std::u16string_view path, std::u16string_view parameters) override;
  void Beep() override;
  ScreenMetrics Screen() const override { return screen_; }

  void Post(std::function<void()> work) override { queue_.Post(std::move(work)); }
  void Invoke(const std::function<void()>& work) override { queue_.Invoke(work); }
  bool IsUiThread() const override { return queue_.IsGuiThread(); }
  int RunMessageLoop() override;
  void Quit(int code) override;

  // ---- The Qt side ----

  // The newest dialog from this template that is not destroyed, or nullptr.
  QtWindow* FindDialog(std::string_view templateName) const;
  // Posts the message to every dialog that is not destroyed, as the system tells every
  // top-level window of a power event. From any thread.
  void Broadcast(Message message);
  // Listens for the system's sleep announcement (logind, on the system bus unless another
  // is named) and broadcasts it as the suspend notice, and the wake-up as the resume
  // notice. Silently nothing where there is no such bus.
  void ListenForSleep(const QDBusConnection& bus = QDBusConnection::systemBus());
  // The GUI thread's queue of work from other threads.
  GuiQueue& Queue() { return queue_; }
  // The program "open" hands documents to (xdg-open unless replaced); it is run the way
  // ui/document_open.h describes, so both window layers report failures alike.
  void SetDocumentOpener(std::string program);
  // Nested loops running now (the outer loop, modal dialogs, boxes), GUI thread.
  int32_t LoopDepth() const { return static_cast<int32_t>(loops_.size()); }

 private:
  friend class QtWindow;

  QtWindow* BuildDialog(std::string_view templateName, QtWindow* owner, MessageProc procedure);
  void DestroyWindow(QtWindow* dialog);
  // Runs a nested loop on the GUI thread until it is told to end or Quit ends them all.
  void RunLoop(QEventLoop& loop);
  // A canvas on this control has ended: copy its picture to the screen, coalesced.
  void RequestCopy(QtWindow* control);
  int GuiMessageBox(QtWindow* owner, std::u16string_view text, std::u16string_view caption,
                    uint32_t flags);
  std::optional<std::u16string> GuiSaveFileDialog(QtWindow* owner, std::u16string_view title,
                                                  std::u16string_view filter,
                                                  std::u16string_view initialName);

  GuiQueue queue_;
  std::vector<QEventLoop*> loops_;  // GUI thread, innermost last
  std::atomic<bool> quit_{false};
  std::atomic<int> quitCode_{0};
  ScreenMetrics screen_;

  mutable std::mutex dialogLock_;
  std::vector<std::unique_ptr<QtWindow>> dialogs_;  // guarded by dialogLock_

  std::mutex openerLock_;
  std::string opener_ = "xdg-open";  // guarded by openerLock_
  std::unique_ptr<SleepNotice> sleep_;
};

}  // namespace ui::qt
