#include "ui/headless/scripted_user.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/message_box.h"
#include "ui/headless/headless_window.h"

namespace ui::headless {
namespace {

constexpr uint32_t MB_TYPEMASK = 0xF;
constexpr uint32_t MB_DEFMASK = 0xF00;
constexpr uint32_t MB_DEFBUTTON2 = 0x100;

int DefaultAnswer(uint32_t flags) {
  const bool second = (flags & MB_DEFMASK) == MB_DEFBUTTON2;
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return second ? IDCANCEL : IDOK;
    case MB_YESNO:
      return second ? IDNO : IDYES;
    default:
      return IDOK;
  }
}

}  // namespace

void ScriptedUser::Click(HeadlessWindow* button) {
  thread_.Post([button] { button->UserClicked(); });
}

void ScriptedUser::Select(HeadlessWindow* combo, int32_t index) {
  thread_.Post([combo, index] { combo->UserSelected(index); });
}

void ScriptedUser::Type(HeadlessWindow* edit, std::u16string_view text) {
  thread_.Post([edit, typed = std::u16string(text)] { edit->UserTyped(typed); });
}

void ScriptedUser::Leave(HeadlessWindow* edit) {
  thread_.Post([edit] { edit->UserLeft(); });
}

void ScriptedUser::Scroll(HeadlessWindow* bar, int32_t code, int32_t thumb) {
  thread_.Post([bar, code, thumb] { bar->UserScrolled(code, thumb); });
}

void ScriptedUser::Close(HeadlessWindow* dialog) {
  thread_.Post([dialog] { dialog->UserClosed(); });
}

int ScriptedUser::Open(MessageBoxRecord record,
                       const std::function<void(const std::function<bool()>&)>& serveUntil) {
  size_t index = 0;
  int scripted = 0;
  bool hold = false;
  std::function<void(const MessageBoxRecord&)> observer;
  {
    std::lock_guard lock(lock_);
    index = boxes_.size();
    boxes_.push_back(record);
    if (!scriptedAnswers_.empty()) {
      scripted = scriptedAnswers_.front();
      scriptedAnswers_.pop_front();
    }
    hold = hold_ && scripted == 0;
    if (hold) openBoxes_.push_back(index);
    observer = observer_;
  }
  boxWake_.notify_all();
  if (observer) observer(record);

  int answer = scripted;
  if (hold) {
    auto answered = [this, index] {
      std::lock_guard lock(lock_);
      return boxes_[index].answer != 0;
    };
    if (serveUntil) {
      serveUntil(answered);  // the box is modal: the thread keeps serving meanwhile
    } else {
      std::unique_lock lock(lock_);
      boxWake_.wait(lock, [&] { return boxes_[index].answer != 0; });
    }
    std::lock_guard lock(lock_);
    answer = boxes_[index].answer;
    // A loop that quits while the box is open takes the box with it.
    std::erase(openBoxes_, index);
  }
  if (answer == 0) answer = DefaultAnswer(record.flags);
  {
    std::lock_guard lock(lock_);
    boxes_[index].answer = answer;
  }
  boxWake_.notify_all();
  return answer;
}

void ScriptedUser::SetObserver(std::function<void(const MessageBoxRecord&)> observer) {
  std::lock_guard lock(lock_);
  observer_ = std::move(observer);
}

void ScriptedUser::ScriptAnswers(std::vector<int> answers) {
  std::lock_guard lock(lock_);
  scriptedAnswers_.insert(scriptedAnswers_.end(), answers.begin(), answers.end());
}

void ScriptedUser::SetHold(bool hold) {
  std::lock_guard lock(lock_);
  hold_ = hold;
}

bool ScriptedUser::Answer(int answer) {
  {
    std::lock_guard lock(lock_);
    if (openBoxes_.empty()) return false;
    boxes_[openBoxes_.front()].answer = answer;
    openBoxes_.pop_front();
  }
  boxWake_.notify_all();
  thread_.Wake();
  return true;
}

bool ScriptedUser::WaitForBoxes(size_t count, uint32_t timeoutMs) {
  std::unique_lock lock(lock_);
  return boxWake_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return boxes_.size() >= count; });
}

std::vector<MessageBoxRecord> ScriptedUser::Boxes() const {
  std::lock_guard lock(lock_);
  return boxes_;
}

size_t ScriptedUser::OpenBoxCount() const {
  std::lock_guard lock(lock_);
  return openBoxes_.size();
}

std::optional<std::u16string> ScriptedUser::SaveFile(std::u16string_view title) {
  std::lock_guard lock(lock_);
  saveTitles_.emplace_back(title);
  return saveAnswer_;
}

void ScriptedUser::ScriptSaveFileAnswer(std::optional<std::u16string> path) {
  std::lock_guard lock(lock_);
  saveAnswer_ = std::move(path);
}

std::vector<std::u16string> ScriptedUser::SaveFileTitles() const {
  std::lock_guard lock(lock_);
  return saveTitles_;
}

intptr_t ScriptedUser::OpenDocument(std::u16string_view path) {
  std::lock_guard lock(lock_);
  opened_.emplace_back(path);
  return openResult_;
}

void ScriptedUser::ScriptOpenDocumentResult(intptr_t result) {
  std::lock_guard lock(lock_);
  openResult_ = result;
}

std::vector<std::u16string> ScriptedUser::OpenedDocuments() const {
  std::lock_guard lock(lock_);
  return opened_;
}

void ScriptedUser::Beep() {
  std::lock_guard lock(lock_);
  ++beeps_;
}

int32_t ScriptedUser::BeepCount() const {
  std::lock_guard lock(lock_);
  return beeps_;
}

}  // namespace ui::headless
