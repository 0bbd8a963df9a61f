// The window layer without a screen: dialogs and controls are state in memory, the
// user-interface thread is whichever thread runs RunMessageLoop, message boxes are
// answered by script (default button unless told otherwise) and reported to an
// observer, and drawing is recorded. Tests and the command-line front end use it; they
// act as the user through the User* calls.
//
// Its parts: HeadlessWindow (control state), UiThread (cross-thread calls), MessageLoop
// (loop and timers), ScriptedUser (the user's hand and answers).
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/headless/headless_window.h"
#include "ui/headless/message_loop.h"
#include "ui/headless/scripted_user.h"
#include "ui/headless/ui_thread.h"
#include "window/window.h"

namespace ui::headless {

class HeadlessWindowSystem : public WindowSystem {
 public:
  HeadlessWindowSystem() = default;
  ~HeadlessWindowSystem() override;

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
  void Beep() override { user_.Beep(); }
  ScreenMetrics Screen() const override;
  void Post(std::function<void()> work) override { thread_.Post(std::move(work)); }
  void Invoke(const std::function<void()>& work) override { thread_.Invoke(work); }
  bool IsUiThread() const override { return thread_.IsUiThread(); }
  int RunMessageLoop() override { return loop_.Run(); }
  void Quit(int code) override { loop_.Quit(code); }

  // ---- Scripting, for tests and the command-line front end ----

  // Called on the user-interface thread as each box opens (answer still 0).
  void SetMessageBoxObserver(std::function<void(const MessageBoxRecord&)> observer) {
    user_.SetObserver(std::move(observer));
  }
  // Answers for the next boxes, in order; after them the default button again.
  void ScriptMessageBoxAnswers(std::vector<int> answers) {
    user_.ScriptAnswers(std::move(answers));
  }
  // Held boxes stay open (a nested loop keeps the user-interface thread serving) until
  // AnswerMessageBox; scripted answers still come first.
  void SetHoldMessageBoxes(bool hold) { user_.SetHold(hold); }
  // Answers the oldest open held box; false when none is open.
  bool AnswerMessageBox(int answer) { return user_.Answer(answer); }
  // Waits (up to timeoutMs) until at least `count` boxes have opened since the start.
  bool WaitForMessageBoxes(size_t count, uint32_t timeoutMs = 10000) {
    return user_.WaitForBoxes(count, timeoutMs);
  }
  std::vector<MessageBoxRecord> MessageBoxes() const { return user_.Boxes(); }
  size_t OpenMessageBoxCount() const { return user_.OpenBoxCount(); }

  void ScriptSaveFileAnswer(std::optional<std::u16string> path) {
    user_.ScriptSaveFileAnswer(std::move(path));
  }
  std::vector<std::u16string> SaveFileDialogTitles() const { return user_.SaveFileTitles(); }
  void ScriptOpenDocumentResult(intptr_t result) { user_.ScriptOpenDocumentResult(result); }
  std::vector<std::u16string> OpenedDocuments() const { return user_.OpenedDocuments(); }
  int32_t BeepCount() const { return user_.BeepCount(); }
  void SetScreen(ScreenMetrics metrics);

  // Timers run on real time unless made manual; then only AdvanceTime moves them.
  void SetManualTimers(bool manual) { loop_.SetManualTimers(manual); }
  void AdvanceTime(uint32_t milliseconds) { loop_.AdvanceTime(milliseconds); }
  bool TimerActive(const Window* window, int32_t id) const { return loop_.TimerActive(window, id); }

  // The user's hand: each is posted to the user-interface thread as the real control
  // would report it (the caller does not wait; Flush does).
  void UserClick(Window* button) { user_.Click(Headless(button)); }
  void UserSelect(Window* combo, int32_t index) { user_.Select(Headless(combo), index); }
  void UserType(Window* edit, std::u16string_view text) { user_.Type(Headless(edit), text); }
  void UserLeave(Window* edit) { user_.Leave(Headless(edit)); }
  void UserScroll(Window* bar, int32_t code, int32_t thumb) {
    user_.Scroll(Headless(bar), code, thumb);
  }
  void UserClose(Window* dialog) { user_.Close(Headless(dialog)); }
  // Waits until everything posted so far has run. With no loop running, the caller
  // runs it (and whatever that work posts in turn) itself.
  void Flush();

  // Dialogs by template name (the newest one that is not destroyed), or nullptr.
  HeadlessWindow* FindDialog(std::string_view templateName) const;
  bool WaitForDialog(std::string_view templateName, uint32_t timeoutMs = 10000);
  int32_t LoopDepth() const { return loop_.Depth(); }

 private:
  friend class HeadlessWindow;

  static HeadlessWindow* Headless(Window* window) { return static_cast<HeadlessWindow*>(window); }
  std::mutex& StateLock() { return stateLock_; }
  HeadlessWindow* BuildDialog(std::string_view templateName, HeadlessWindow* owner,
                              MessageProc procedure);
  void DestroyWindow(HeadlessWindow* window);

  mutable std::mutex stateLock_;  // control state of every window
  UiThread thread_;
  MessageLoop loop_{thread_};
  ScriptedUser user_{thread_};

  mutable std::mutex dialogLock_;
  std::condition_variable dialogWake_;
  std::vector<std::unique_ptr<HeadlessWindow>> dialogs_;  // guarded by dialogLock_

  mutable std::mutex screenLock_;
  ScreenMetrics screen_;  // guarded by screenLock_
};

}  // namespace ui::headless
