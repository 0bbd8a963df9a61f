// The window layer without a screen: dialogs and controls are state in memory, the
// user-interface thread is whichever thread runs RunMessageLoop, message boxes are
// answered by script (default button unless told otherwise) and reported to an
// observer, and drawing is recorded. Tests and the command-line front end use it; they
// act as the user through the User* calls.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "res/dialog_templates.h"
#include "ui/headless/recording_canvas.h"
#include "ui/window.h"

namespace ui::headless {

class HeadlessWindowSystem;

class HeadlessWindow : public Window {
 public:
  HeadlessWindow(HeadlessWindowSystem* system, HeadlessWindow* parent, int32_t id,
                 ControlClass controlClass);

  int32_t Id() const override { return id_; }
  ControlClass Class() const override { return class_; }
  Window* Parent() const override { return parent_; }
  Window* Control(int32_t id) override;

  void Enable(bool enable) override;
  bool IsEnabled() const override;
  void Show(bool show) override;
  bool IsVisible() const override;

  void SetText(std::u16string_view text) override;
  std::u16string GetText(size_t maxChars) const override;
  void SetTextLimit(size_t maxChars) override;

  void ComboReset() override;
  int32_t ComboAdd(std::u16string_view text) override;
  int32_t ComboDelete(int32_t index) override;
  int32_t ComboFind(std::u16string_view text) const override;
  int32_t ComboSelect(int32_t index) override;
  int32_t ComboSelection() const override;
  int32_t ComboCount() const override;
  std::u16string ComboItemText(int32_t index) const override;

  void SetCheck(int32_t state) override;
  int32_t GetCheck() const override;

  void SetTrackRange(int32_t minimum, int32_t maximum) override;
  void SetTrackTickFrequency(int32_t frequency) override;
  void SetTrackPos(int32_t position) override;
  int32_t TrackPos() const override;

  void SetScrollInfo(int32_t minimum, int32_t maximum, int32_t page, int32_t position,
                     bool redraw) override;
  void SetScrollPos(int32_t position, bool redraw) override;
  int32_t ScrollPos() const override;

  Rect ClientRect() const override;
  Rect BoundsInParent() const override;
  void Move(Rect bounds, bool repaint) override;
  Rect DialogUnitsToPixels(Rect units) const override;

  std::unique_ptr<Canvas> GetCanvas() override;
  void Invalidate() override;

  bool SetTimer(int32_t id, uint32_t milliseconds) override;
  void KillTimer(int32_t id) override;
  void PostMessage(Message message) override;
  intptr_t SendMessage(const Message& message) override;
  void EndDialog(intptr_t result) override;
  void Destroy() override;

  // What tests look at beyond the Window interface.
  struct TrackState {
    int32_t minimum = 0, maximum = 100, frequency = 1, position = 0;
  };
  struct ScrollState {
    int32_t minimum = 0, maximum = 100, page = 0, position = 0;
  };
  TrackState Track() const;
  ScrollState Scroll() const;
  size_t TextLimit() const;
  uint32_t Style() const;
  int32_t InvalidateCount() const;
  bool IsDestroyed() const;
  const res::DialogTemplate* Template() const { return template_; }
  // The drawing record of this window; every canvas taken on it writes here.
  std::shared_ptr<DrawingRecord> Drawing() const { return drawing_; }
  HeadlessWindow* Dialog();  // itself for a dialog, the parent for a control

 private:
  friend class HeadlessWindowSystem;
  // Runs a change on the user-interface thread, under the state lock.
  void Change(const std::function<void()>& change);
  // Sends a control notification to the dialog's procedure.
  void Notify(int32_t code);

  HeadlessWindowSystem* system_;
  HeadlessWindow* parent_;
  const int32_t id_;
  const ControlClass class_;
  const res::DialogTemplate* template_ = nullptr;  // dialogs
  MessageProc procedure_;                          // dialogs
  std::vector<std::unique_ptr<HeadlessWindow>> children_;
  std::shared_ptr<DrawingRecord> drawing_;

  // Guarded by the system's state lock.
  uint32_t style_ = 0;
  bool enabled_ = true;
  bool visible_ = true;
  std::u16string text_;
  size_t textLimit_ = 0;
  std::vector<std::u16string> items_;
  int32_t selection_ = CB_ERR;
  int32_t check_ = BST_UNCHECKED;
  TrackState track_;
  ScrollState scroll_;
  Rect bounds_;
  int32_t invalidateCount_ = 0;
  int32_t unitX_ = 6;  // dialog base units in pixels (dialogs)
  int32_t unitY_ = 13;

  std::atomic<bool> destroyed_{false};  // read by drawing threads
  // Modal loop state.
  std::atomic<bool> modalEnded_{false};
  std::atomic<intptr_t> modalResult_{0};
};

struct MessageBoxRecord {
  Window* owner = nullptr;
  std::u16string text;
  std::u16string caption;
  uint32_t flags = 0;
  int answer = 0;  // 0 while the box is still open
};

class HeadlessWindowSystem : public WindowSystem {
 public:
  HeadlessWindowSystem();
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
  void Beep() override;
  ScreenMetrics Screen() const override;
  void Post(std::function<void()> work) override;
  void Invoke(const std::function<void()>& work) override;
  bool IsUiThread() const override;
  int RunMessageLoop() override;
  void Quit(int code) override;

  // ---- Scripting, for tests and the command-line front end ----

  // Called on the user-interface thread as each box opens (answer still 0).
  void SetMessageBoxObserver(std::function<void(const MessageBoxRecord&)> observer);
  // Answers for the next boxes, in order; after them the default button again.
  void ScriptMessageBoxAnswers(std::vector<int> answers);
  // Held boxes stay open (a nested loop keeps the user-interface thread serving) until
  // AnswerMessageBox; scripted answers still come first.
  void SetHoldMessageBoxes(bool hold);
  // Answers the oldest open held box; false when none is open.
  bool AnswerMessageBox(int answer);
  // Waits (up to timeoutMs) until at least `count` boxes have opened since the start.
  bool WaitForMessageBoxes(size_t count, uint32_t timeoutMs = 10000);
  std::vector<MessageBoxRecord> MessageBoxes() const;
  size_t OpenMessageBoxCount() const;

  void ScriptSaveFileAnswer(std::optional<std::u16string> path);
  std::vector<std::u16string> SaveFileDialogTitles() const;
  void ScriptOpenDocumentResult(intptr_t result);
  std::vector<std::u16string> OpenedDocuments() const;
  int32_t BeepCount() const;
  void SetScreen(ScreenMetrics metrics);

  // Timers run on real time unless made manual; then only AdvanceTime moves them.
  void SetManualTimers(bool manual);
  void AdvanceTime(uint32_t milliseconds);
  bool TimerActive(const Window* window, int32_t id) const;

  // The user's hand: each is posted to the user-interface thread as the real control
  // would report it (the caller does not wait; Flush does).
  void UserClick(Window* button);
  void UserSelect(Window* combo, int32_t index);
  void UserType(Window* edit, std::u16string_view text);
  void UserLeave(Window* edit);
  void UserScroll(Window* bar, int32_t code, int32_t thumb);
  void UserClose(Window* dialog);
  // Waits until everything posted so far has run.
  void Flush();

  // Dialogs by template name (the newest one that is not destroyed), or nullptr.
  HeadlessWindow* FindDialog(std::string_view templateName) const;
  bool WaitForDialog(std::string_view templateName, uint32_t timeoutMs = 10000);
  int32_t LoopDepth() const { return loopDepth_.load(); }

 private:
  friend class HeadlessWindow;
  struct TimerEntry {
    uint32_t period;
    int64_t due;
  };

  std::mutex& StateLock() { return stateLock_; }
  int64_t Now() const;
  // Serves the queue and the timers on the user-interface thread until done() holds,
  // the system quits, or (outer loop) forever.
  void Pump(const std::function<bool()>& done);
  HeadlessWindow* BuildDialog(std::string_view templateName, HeadlessWindow* owner,
                              MessageProc procedure);
  void RunTimerTicks();
  void DestroyWindow(HeadlessWindow* window);
  void WakeUp();

  mutable std::mutex stateLock_;  // control state of every window

  mutable std::mutex queueLock_;
  std::condition_variable queueWake_;
  std::deque<std::function<void()>> queue_;
  std::map<std::pair<const Window*, int32_t>, TimerEntry> timers_;
  bool manualTimers_ = false;
  int64_t manualNow_ = 0;
  bool looping_ = false;
  bool quit_ = false;
  int quitCode_ = 0;
  std::atomic<std::thread::id> uiThread_{};
  std::atomic<int32_t> loopDepth_{0};

  std::vector<std::unique_ptr<HeadlessWindow>> dialogs_;  // guarded by queueLock_

  mutable std::mutex boxLock_;
  std::condition_variable boxWake_;
  std::function<void(const MessageBoxRecord&)> boxObserver_;
  std::deque<int> scriptedAnswers_;
  bool holdBoxes_ = false;
  std::vector<MessageBoxRecord> boxes_;
  std::deque<size_t> openBoxes_;  // indexes into boxes_

  std::optional<std::u16string> saveAnswer_;
  std::vector<std::u16string> saveTitles_;
  intptr_t openResult_ = 33;
  std::vector<std::u16string> opened_;
  std::atomic<int32_t> beeps_{0};
  ScreenMetrics screen_;
};

}  // namespace ui::headless
