// The user of the headless window system, played by a test or the command-line front
// end: the hand on the controls (each action reaches the user-interface thread as the
// real control would report it) and the answers to message boxes and the save-file and
// open-document requests, with a record of what was asked.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/headless/ui_thread.h"
#include "window/window.h"

namespace ui::headless {

class HeadlessWindow;

struct MessageBoxRecord {
  Window* owner = nullptr;
  std::u16string text;
  std::u16string caption;
  uint32_t flags = 0;
  int answer = 0;  // 0 while the box is still open
};

class ScriptedUser {
 public:
  explicit ScriptedUser(UiThread& thread) : thread_(thread) {}

  // ---- The hand: posted to the user-interface thread; the caller does not wait.
  void Click(HeadlessWindow* button);
  void Select(HeadlessWindow* combo, int32_t index);
  void Type(HeadlessWindow* edit, std::u16string_view text);
  void Leave(HeadlessWindow* edit);
  void Scroll(HeadlessWindow* bar, int32_t code, int32_t thumb);
  void Close(HeadlessWindow* dialog);

  // ---- Message boxes.
  // A box opens, on the user-interface thread (or on a caller standing in for it):
  // recorded, shown to the observer, then answered by script, by the default button,
  // or, when held, by AnswerMessageBox. `serveUntil` keeps the user-interface thread
  // serving while a held box is open (empty: the caller just waits).
  int Open(MessageBoxRecord record,
           const std::function<void(const std::function<bool()>&)>& serveUntil);
  void SetObserver(std::function<void(const MessageBoxRecord&)> observer);
  void ScriptAnswers(std::vector<int> answers);
  void SetHold(bool hold);
  bool Answer(int answer);  // the oldest open held box; false when none is open
  bool WaitForBoxes(size_t count, uint32_t timeoutMs);
  std::vector<MessageBoxRecord> Boxes() const;
  size_t OpenBoxCount() const;

  // ---- Save-file dialog, "open" of documents, beeps.
  std::optional<std::u16string> SaveFile(std::u16string_view title);
  void ScriptSaveFileAnswer(std::optional<std::u16string> path);
  std::vector<std::u16string> SaveFileTitles() const;
  intptr_t OpenDocument(std::u16string_view path);
  void ScriptOpenDocumentResult(intptr_t result);
  std::vector<std::u16string> OpenedDocuments() const;
  void Beep();
  int32_t BeepCount() const;

 private:
  UiThread& thread_;

  mutable std::mutex lock_;
  std::condition_variable boxWake_;
  // All guarded by lock_.
  std::function<void(const MessageBoxRecord&)> observer_;
  std::deque<int> scriptedAnswers_;
  bool hold_ = false;
  std::vector<MessageBoxRecord> boxes_;
  std::deque<size_t> openBoxes_;  // indexes into boxes_
  std::optional<std::u16string> saveAnswer_;
  std::vector<std::u16string> saveTitles_;
  intptr_t openResult_ = 33;
  std::vector<std::u16string> opened_;
  int32_t beeps_ = 0;
};

}  // namespace ui::headless
