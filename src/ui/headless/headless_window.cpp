#include "ui/headless/headless_window.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/message_box.h"

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

int32_t MulDiv(int32_t value, int32_t numerator, int32_t denominator) {
  const int64_t product = static_cast<int64_t>(value) * numerator;
  const int64_t half = denominator / 2;
  return static_cast<int32_t>(product >= 0 ? (product + half) / denominator
                                           : (product - half) / denominator);
}

bool IsDigits(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

}  // namespace

// ---------------------------------------------------------------- HeadlessWindow

HeadlessWindow::HeadlessWindow(HeadlessWindowSystem* system, HeadlessWindow* parent, int32_t id,
                               ControlClass controlClass)
    : system_(system),
      parent_(parent),
      id_(id),
      class_(controlClass),
      drawing_(std::make_shared<DrawingRecord>()) {}

HeadlessWindow* HeadlessWindow::Dialog() {
  return parent_ != nullptr ? parent_ : this;
}

Window* HeadlessWindow::Control(int32_t id) {
  for (auto& child : children_) {
    if (child->id_ == id) return child.get();
  }
  return nullptr;
}

void HeadlessWindow::Change(const std::function<void()>& change) {
  system_->Invoke([&] {
    std::lock_guard lock(system_->StateLock());
    change();
  });
}

void HeadlessWindow::Notify(int32_t code) {
  Message message;
  message.kind = MessageKind::Command;
  message.id = id_;
  message.code = code;
  Dialog()->SendMessage(message);
}

void HeadlessWindow::Enable(bool enable) {
  Change([&] { enabled_ = enable; });
}

bool HeadlessWindow::IsEnabled() const {
  std::lock_guard lock(system_->StateLock());
  return enabled_;
}

void HeadlessWindow::Show(bool show) {
  Change([&] { visible_ = show; });
}

bool HeadlessWindow::IsVisible() const {
  std::lock_guard lock(system_->StateLock());
  return visible_;
}

void HeadlessWindow::SetText(std::u16string_view text) {
  Change([&] { text_ = text; });
  // An edit box reports every change of its text, whoever made it.
  if (class_ == ControlClass::Edit) Notify(EN_CHANGE);
}

std::u16string HeadlessWindow::GetText(size_t maxChars) const {
  std::lock_guard lock(system_->StateLock());
  return text_.substr(0, maxChars);
}

void HeadlessWindow::SetTextLimit(size_t maxChars) {
  Change([&] { textLimit_ = maxChars; });
}

void HeadlessWindow::ComboReset() {
  if (class_ != ControlClass::ComboBox) return;
  Change([&] {
    items_.clear();
    selection_ = CB_ERR;
  });
}

int32_t HeadlessWindow::ComboAdd(std::u16string_view text) {
  if (class_ != ControlClass::ComboBox) return CB_ERR;
  int32_t index = CB_ERR;
  Change([&] {
    items_.emplace_back(text);
    index = static_cast<int32_t>(items_.size()) - 1;
  });
  return index;
}

int32_t HeadlessWindow::ComboDelete(int32_t index) {
  if (class_ != ControlClass::ComboBox) return CB_ERR;
  int32_t left = CB_ERR;
  Change([&] {
    if (index < 0 || index >= static_cast<int32_t>(items_.size())) return;
    items_.erase(items_.begin() + index);
    if (selection_ == index) {
      selection_ = CB_ERR;
    } else if (selection_ > index) {
      --selection_;
    }
    left = static_cast<int32_t>(items_.size());
  });
  return left;
}

int32_t HeadlessWindow::ComboFind(std::u16string_view text) const {
  std::lock_guard lock(system_->StateLock());
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i] == text) return static_cast<int32_t>(i);
  }
  return CB_ERR;
}

int32_t HeadlessWindow::ComboSelect(int32_t index) {
  if (class_ != ControlClass::ComboBox) return CB_ERR;
  int32_t result = CB_ERR;
  Change([&] {
    if (index >= 0 && index < static_cast<int32_t>(items_.size())) {
      selection_ = index;
      text_ = items_[static_cast<size_t>(index)];
      result = index;
    } else {
      selection_ = CB_ERR;
      text_.clear();
    }
  });
  return result;
}

int32_t HeadlessWindow::ComboSelection() const {
  std::lock_guard lock(system_->StateLock());
  return selection_;
}

int32_t HeadlessWindow::ComboCount() const {
  std::lock_guard lock(system_->StateLock());
  return static_cast<int32_t>(items_.size());
}

std::u16string HeadlessWindow::ComboItemText(int32_t index) const {
  std::lock_guard lock(system_->StateLock());
  if (index < 0 || index >= static_cast<int32_t>(items_.size())) return {};
  return items_[static_cast<size_t>(index)];
}

void HeadlessWindow::SetCheck(int32_t state) {
  Change([&] { check_ = state; });
}

int32_t HeadlessWindow::GetCheck() const {
  std::lock_guard lock(system_->StateLock());
  return check_;
}

void HeadlessWindow::SetTrackRange(int32_t minimum, int32_t maximum) {
  Change([&] {
    track_.minimum = minimum;
    track_.maximum = maximum;
    track_.position = std::clamp(track_.position, minimum, std::max(minimum, maximum));
  });
}

void HeadlessWindow::SetTrackTickFrequency(int32_t frequency) {
  Change([&] { track_.frequency = frequency; });
}

void HeadlessWindow::SetTrackPos(int32_t position) {
  Change([&] {
    track_.position =
        std::clamp(position, track_.minimum, std::max(track_.minimum, track_.maximum));
  });
}

int32_t HeadlessWindow::TrackPos() const {
  std::lock_guard lock(system_->StateLock());
  return track_.position;
}

void HeadlessWindow::SetScrollInfo(int32_t minimum, int32_t maximum, int32_t page, int32_t position,
                                   bool /*redraw*/) {
  Change([&] {
    scroll_.minimum = minimum;
    scroll_.maximum = maximum;
    scroll_.page = page;
    scroll_.position = position;
  });
}

void HeadlessWindow::SetScrollPos(int32_t position, bool /*redraw*/) {
  Change([&] { scroll_.position = position; });
}

int32_t HeadlessWindow::ScrollPos() const {
  std::lock_guard lock(system_->StateLock());
  return scroll_.position;
}

Rect HeadlessWindow::ClientRect() const {
  std::lock_guard lock(system_->StateLock());
  return {0, 0, bounds_.Width(), bounds_.Height()};
}

Rect HeadlessWindow::BoundsInParent() const {
  std::lock_guard lock(system_->StateLock());
  return bounds_;
}

void HeadlessWindow::Move(Rect bounds, bool /*repaint*/) {
  bool resized = false;
  Change([&] {
    resized = bounds.Width() != bounds_.Width() || bounds.Height() != bounds_.Height();
    bounds_ = bounds;
  });
  if (resized && class_ == ControlClass::Dialog) {
    Message message;
    message.kind = MessageKind::Size;
    message.value = bounds.Width();
    message.extra = bounds.Height();
    SendMessage(message);
  }
}

Rect HeadlessWindow::DialogUnitsToPixels(Rect units) const {
  const HeadlessWindow* dialog = parent_ != nullptr ? parent_ : this;
  const int32_t left = MulDiv(units.left, dialog->unitX_, 4);
  const int32_t top = MulDiv(units.top, dialog->unitY_, 8);
  return {left, top, left + MulDiv(units.Width(), dialog->unitX_, 4),
          top + MulDiv(units.Height(), dialog->unitY_, 8)};
}

std::unique_ptr<Canvas> HeadlessWindow::GetCanvas() {
  if (destroyed_) return nullptr;
  return std::make_unique<RecordingCanvas>(drawing_);
}

void HeadlessWindow::Invalidate() {
  Change([&] { ++invalidateCount_; });
}

bool HeadlessWindow::SetTimer(int32_t id, uint32_t milliseconds) {
  if (class_ != ControlClass::Dialog || destroyed_) return false;
  {
    std::lock_guard lock(system_->queueLock_);
    system_->timers_[{this, id}] = {milliseconds, system_->Now() + milliseconds};
  }
  system_->WakeUp();
  return true;
}

void HeadlessWindow::KillTimer(int32_t id) {
  std::lock_guard lock(system_->queueLock_);
  system_->timers_.erase({this, id});
}

void HeadlessWindow::PostMessage(Message message) {
  HeadlessWindow* dialog = Dialog();
  system_->Post([dialog, message = std::move(message)] {
    if (!dialog->destroyed_ && dialog->procedure_) dialog->procedure_(dialog, message);
  });
}

intptr_t HeadlessWindow::SendMessage(const Message& message) {
  if (class_ != ControlClass::Dialog || !procedure_) return 0;
  intptr_t result = 0;
  system_->Invoke([&] {
    if (!destroyed_) result = procedure_(this, message);
  });
  return result;
}

void HeadlessWindow::EndDialog(intptr_t result) {
  HeadlessWindow* dialog = Dialog();
  dialog->modalResult_ = result;
  dialog->modalEnded_ = true;
  system_->WakeUp();
}

void HeadlessWindow::Destroy() {
  system_->DestroyWindow(Dialog());
}

HeadlessWindow::TrackState HeadlessWindow::Track() const {
  std::lock_guard lock(system_->StateLock());
  return track_;
}

HeadlessWindow::ScrollState HeadlessWindow::Scroll() const {
  std::lock_guard lock(system_->StateLock());
  return scroll_;
}

size_t HeadlessWindow::TextLimit() const {
  std::lock_guard lock(system_->StateLock());
  return textLimit_;
}

uint32_t HeadlessWindow::Style() const {
  return style_;
}

int32_t HeadlessWindow::InvalidateCount() const {
  std::lock_guard lock(system_->StateLock());
  return invalidateCount_;
}

bool HeadlessWindow::IsDestroyed() const {
  return destroyed_;
}

// ---------------------------------------------------------------- HeadlessWindowSystem

HeadlessWindowSystem::HeadlessWindowSystem() = default;

HeadlessWindowSystem::~HeadlessWindowSystem() {
  if (GetWindowSystem() == this) SetWindowSystem(nullptr);
}

int64_t HeadlessWindowSystem::Now() const {
  if (manualTimers_) return manualNow_;
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void HeadlessWindowSystem::WakeUp() {
  { std::lock_guard lock(queueLock_); }
  queueWake_.notify_all();
}

bool HeadlessWindowSystem::IsUiThread() const {
  return uiThread_.load() == std::this_thread::get_id();
}

void HeadlessWindowSystem::Post(std::function<void()> work) {
  {
    std::lock_guard lock(queueLock_);
    queue_.push_back(std::move(work));
  }
  queueWake_.notify_all();
}

void HeadlessWindowSystem::Invoke(const std::function<void()>& work) {
  if (IsUiThread()) {
    work();
    return;
  }
  std::unique_lock lock(queueLock_);
  if (!looping_) {
    // No user-interface thread is serving: the caller stands in for it.
    lock.unlock();
    work();
    return;
  }
  bool done = false;
  queue_.push_back([&] {
    work();
    {
      std::lock_guard doneLock(queueLock_);
      done = true;
    }
    queueWake_.notify_all();
  });
  queueWake_.notify_all();
  queueWake_.wait(lock, [&] { return done; });
}

void HeadlessWindowSystem::RunTimerTicks() {
  // Called with queueLock_ held: queues one tick per due timer.
  const int64_t now = Now();
  for (auto& [key, entry] : timers_) {
    if (entry.due > now) continue;
    entry.due += entry.period;
    if (entry.due <= now) entry.due = now + entry.period;  // missed ticks coalesce
    auto* window = const_cast<Window*>(key.first);
    const int32_t id = key.second;
    queue_.push_back([this, window, id] {
      {
        std::lock_guard lock(queueLock_);
        if (timers_.find({window, id}) == timers_.end()) return;  // killed meanwhile
      }
      Message message;
      message.kind = MessageKind::Timer;
      message.id = id;
      window->SendMessage(message);
    });
  }
}

void HeadlessWindowSystem::Pump(const std::function<bool()>& done) {
  ++loopDepth_;
  for (;;) {
    std::function<void()> item;
    {
      std::unique_lock lock(queueLock_);
      for (;;) {
        if (quit_ || (done && done())) {
          --loopDepth_;
          return;
        }
        if (!manualTimers_) RunTimerTicks();
        if (!queue_.empty()) {
          item = std::move(queue_.front());
          queue_.pop_front();
          break;
        }
        if (!manualTimers_ && !timers_.empty()) {
          int64_t next = INT64_MAX;
          for (const auto& [key, entry] : timers_) next = std::min(next, entry.due);
          queueWake_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(next - Now(), 1)));
        } else {
          queueWake_.wait(lock);
        }
      }
    }
    item();
  }
}

int HeadlessWindowSystem::RunMessageLoop() {
  const std::thread::id previous = uiThread_.load();
  uiThread_ = std::this_thread::get_id();
  {
    std::lock_guard lock(queueLock_);
    looping_ = true;
  }
  Pump(nullptr);
  std::deque<std::function<void()>> rest;
  int code = 0;
  {
    std::lock_guard lock(queueLock_);
    looping_ = false;
    rest.swap(queue_);
    code = quitCode_;
    quit_ = false;
  }
  // Callers waiting in Invoke are released: their work still runs, here.
  for (auto& item : rest) item();
  uiThread_ = previous;
  return code;
}

void HeadlessWindowSystem::Quit(int code) {
  {
    std::lock_guard lock(queueLock_);
    quit_ = true;
    quitCode_ = code;
  }
  queueWake_.notify_all();
}

HeadlessWindow* HeadlessWindowSystem::BuildDialog(std::string_view templateName,
                                                  HeadlessWindow* owner, MessageProc procedure) {
  const res::DialogTemplate* dialogTemplate = res::FindDialogTemplate(templateName);
  if (dialogTemplate == nullptr) return nullptr;
  auto dialog = std::make_unique<HeadlessWindow>(this, nullptr, 0, ControlClass::Dialog);
  dialog->template_ = dialogTemplate;
  dialog->procedure_ = std::move(procedure);
  dialog->text_ = dialogTemplate->title;
  dialog->style_ = dialogTemplate->style;
  // Dialog base units of the template's font: the character cell height with leading,
  // and the average character width of a sans face of that height.
  const int32_t cell = MulDiv(dialogTemplate->fontPoints, Screen().pixelsPerInchY, 72);
  dialog->unitY_ = MulDiv(cell, 6, 5);
  dialog->unitX_ = MulDiv(dialog->unitY_, 6, 13);
  Rect origin{100, 100, 100, 100};
  if (owner != nullptr) origin = owner->BoundsInParent();
  const Rect size =
      dialog->DialogUnitsToPixels({0, 0, dialogTemplate->width, dialogTemplate->height});
  dialog->bounds_ = {origin.left, origin.top, origin.left + size.right, origin.top + size.bottom};
  for (const res::ControlTemplate& control : dialogTemplate->controls) {
    auto child =
        std::make_unique<HeadlessWindow>(this, dialog.get(), control.id, control.controlClass);
    child->style_ = control.style;
    child->text_ = control.text;
    child->visible_ = (control.style & res::Hidden) == 0;
    child->enabled_ = (control.style & res::Disabled) == 0;
    // A closed drop-down list is one line high; the template height includes the list.
    const int32_t height = control.controlClass == ControlClass::ComboBox ? 12 : control.height;
    child->bounds_ = dialog->DialogUnitsToPixels(
        {control.x, control.y, control.x + control.width, control.y + height});
    dialog->children_.push_back(std::move(child));
  }
  HeadlessWindow* result = dialog.get();
  {
    std::lock_guard lock(queueLock_);
    dialogs_.push_back(std::move(dialog));
  }
  queueWake_.notify_all();
  Message create;
  create.kind = MessageKind::Create;
  result->SendMessage(create);
  Message init;
  init.kind = MessageKind::InitDialog;
  result->SendMessage(init);
  return result;
}

Window* HeadlessWindowSystem::CreateDialog(std::string_view templateName, Window* owner,
                                           MessageProc procedure) {
  HeadlessWindow* dialog = nullptr;
  Invoke([&] {
    dialog = BuildDialog(templateName, static_cast<HeadlessWindow*>(owner), std::move(procedure));
  });
  return dialog;
}

intptr_t HeadlessWindowSystem::RunModalDialog(std::string_view templateName, Window* owner,
                                              MessageProc procedure) {
  intptr_t result = -1;
  auto run = [&] {
    HeadlessWindow* dialog =
        BuildDialog(templateName, static_cast<HeadlessWindow*>(owner), std::move(procedure));
    if (dialog == nullptr) return;
    // A modal dialog destroyed from its own procedure ends its loop as well.
    Pump([dialog] { return dialog->modalEnded_.load() || dialog->destroyed_.load(); });
    result = dialog->modalResult_;
    DestroyWindow(dialog);
  };
  if (IsUiThread()) {
    run();
    return result;
  }
  bool looping = false;
  {
    std::lock_guard lock(queueLock_);
    looping = looping_;
  }
  if (looping) {
    Invoke(run);
    return result;
  }
  // No loop is running: the caller serves as the user-interface thread meanwhile.
  const std::thread::id previous = uiThread_.load();
  uiThread_ = std::this_thread::get_id();
  {
    std::lock_guard lock(queueLock_);
    looping_ = true;
  }
  run();
  {
    std::lock_guard lock(queueLock_);
    looping_ = false;
  }
  uiThread_ = previous;
  return result;
}

void HeadlessWindowSystem::DestroyWindow(HeadlessWindow* window) {
  if (window == nullptr || window->destroyed_) return;
  Message message;
  message.kind = MessageKind::Destroy;
  window->SendMessage(message);
  {
    std::lock_guard lock(queueLock_);
    for (auto it = timers_.begin(); it != timers_.end();) {
      it = it->first.first == window ? timers_.erase(it) : std::next(it);
    }
  }
  // The object itself lives on with the system: other threads may still hold it.
  window->destroyed_ = true;
  for (auto& child : window->children_) child->destroyed_ = true;
  queueWake_.notify_all();
}

int HeadlessWindowSystem::MessageBox(Window* owner, std::u16string_view text,
                                     std::u16string_view caption, uint32_t flags) {
  if (!IsUiThread()) {
    bool looping = false;
    {
      std::lock_guard lock(queueLock_);
      looping = looping_;
    }
    if (looping) {
      int answer = 0;
      Invoke([&] { answer = MessageBox(owner, text, caption, flags); });
      return answer;
    }
  }
  MessageBoxRecord record;
  record.owner = owner;
  record.text = text;
  record.caption = caption;
  record.flags = flags;
  size_t index = 0;
  int scripted = 0;
  bool hold = false;
  std::function<void(const MessageBoxRecord&)> observer;
  {
    std::lock_guard lock(boxLock_);
    index = boxes_.size();
    boxes_.push_back(record);
    if (!scriptedAnswers_.empty()) {
      scripted = scriptedAnswers_.front();
      scriptedAnswers_.pop_front();
    }
    hold = holdBoxes_ && scripted == 0;
    if (hold) openBoxes_.push_back(index);
    observer = boxObserver_;
  }
  boxWake_.notify_all();
  if (observer) observer(record);

  int answer = scripted;
  if (hold) {
    auto answered = [this, index] {
      std::lock_guard lock(boxLock_);
      return boxes_[index].answer != 0;
    };
    if (IsUiThread()) {
      Pump(answered);  // the box is modal: the thread keeps serving meanwhile
    } else {
      std::unique_lock lock(boxLock_);
      boxWake_.wait(lock, [&] { return boxes_[index].answer != 0; });
    }
    std::lock_guard lock(boxLock_);
    answer = boxes_[index].answer;
    // Quit while open: the box goes with the loop.
    auto open = std::find(openBoxes_.begin(), openBoxes_.end(), index);
    if (open != openBoxes_.end()) openBoxes_.erase(open);
  }
  if (answer == 0) answer = DefaultAnswer(flags);
  {
    std::lock_guard lock(boxLock_);
    boxes_[index].answer = answer;
  }
  boxWake_.notify_all();
  return answer;
}

void HeadlessWindowSystem::SetMessageBoxObserver(
    std::function<void(const MessageBoxRecord&)> observer) {
  std::lock_guard lock(boxLock_);
  boxObserver_ = std::move(observer);
}

void HeadlessWindowSystem::ScriptMessageBoxAnswers(std::vector<int> answers) {
  std::lock_guard lock(boxLock_);
  scriptedAnswers_.insert(scriptedAnswers_.end(), answers.begin(), answers.end());
}

void HeadlessWindowSystem::SetHoldMessageBoxes(bool hold) {
  std::lock_guard lock(boxLock_);
  holdBoxes_ = hold;
}

bool HeadlessWindowSystem::AnswerMessageBox(int answer) {
  {
    std::lock_guard lock(boxLock_);
    if (openBoxes_.empty()) return false;
    boxes_[openBoxes_.front()].answer = answer;
    openBoxes_.pop_front();
  }
  boxWake_.notify_all();
  WakeUp();
  return true;
}

bool HeadlessWindowSystem::WaitForMessageBoxes(size_t count, uint32_t timeoutMs) {
  std::unique_lock lock(boxLock_);
  return boxWake_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return boxes_.size() >= count; });
}

std::vector<MessageBoxRecord> HeadlessWindowSystem::MessageBoxes() const {
  std::lock_guard lock(boxLock_);
  return boxes_;
}

size_t HeadlessWindowSystem::OpenMessageBoxCount() const {
  std::lock_guard lock(boxLock_);
  return openBoxes_.size();
}

std::optional<std::u16string> HeadlessWindowSystem::SaveFileDialog(
    Window* /*owner*/, std::u16string_view title, std::u16string_view /*filter*/,
    std::u16string_view /*initialName*/) {
  std::lock_guard lock(boxLock_);
  saveTitles_.emplace_back(title);
  return saveAnswer_;
}

void HeadlessWindowSystem::ScriptSaveFileAnswer(std::optional<std::u16string> path) {
  std::lock_guard lock(boxLock_);
  saveAnswer_ = std::move(path);
}

std::vector<std::u16string> HeadlessWindowSystem::SaveFileDialogTitles() const {
  std::lock_guard lock(boxLock_);
  return saveTitles_;
}

intptr_t HeadlessWindowSystem::OpenDocument(std::u16string_view path,
                                            std::u16string_view /*parameters*/) {
  std::lock_guard lock(boxLock_);
  opened_.emplace_back(path);
  return openResult_;
}

void HeadlessWindowSystem::ScriptOpenDocumentResult(intptr_t result) {
  std::lock_guard lock(boxLock_);
  openResult_ = result;
}

std::vector<std::u16string> HeadlessWindowSystem::OpenedDocuments() const {
  std::lock_guard lock(boxLock_);
  return opened_;
}

void HeadlessWindowSystem::Beep() {
  ++beeps_;
}

int32_t HeadlessWindowSystem::BeepCount() const {
  return beeps_.load();
}

ScreenMetrics HeadlessWindowSystem::Screen() const {
  std::lock_guard lock(boxLock_);
  return screen_;
}

void HeadlessWindowSystem::SetScreen(ScreenMetrics metrics) {
  std::lock_guard lock(boxLock_);
  screen_ = metrics;
}

void HeadlessWindowSystem::SetManualTimers(bool manual) {
  {
    std::lock_guard lock(queueLock_);
    manualTimers_ = manual;
    manualNow_ = 0;
    timers_.clear();
  }
  queueWake_.notify_all();
}

void HeadlessWindowSystem::AdvanceTime(uint32_t milliseconds) {
  {
    std::lock_guard lock(queueLock_);
    if (!manualTimers_) return;
    const int64_t target = manualNow_ + milliseconds;
    // Step from tick to tick so that each timer fires as often as its period says, in
    // the order of their due times.
    for (;;) {
      int64_t next = INT64_MAX;
      for (const auto& [key, entry] : timers_) next = std::min(next, entry.due);
      if (next > target) break;
      manualNow_ = next;
      RunTimerTicks();
    }
    manualNow_ = target;
  }
  queueWake_.notify_all();
}

bool HeadlessWindowSystem::TimerActive(const Window* window, int32_t id) const {
  std::lock_guard lock(queueLock_);
  return timers_.find({window, id}) != timers_.end();
}

void HeadlessWindowSystem::UserClick(Window* button) {
  auto* control = static_cast<HeadlessWindow*>(button);
  Post([this, control] {
    if (!control->IsEnabled() || !control->IsVisible() || control->destroyed_) return;
    if (control->style_ & res::AutoRadio) {
      // The group runs from the nearest group start at or before the button up to the
      // next group start.
      auto& siblings = control->parent_->children_;
      auto self = std::find_if(siblings.begin(), siblings.end(),
                               [&](const auto& c) { return c.get() == control; });
      auto first = self;
      while (first != siblings.begin() && !((*first)->style_ & res::GroupStart)) --first;
      std::lock_guard lock(stateLock_);
      for (auto it = first; it != siblings.end(); ++it) {
        if (it != first && ((*it)->style_ & res::GroupStart)) break;
        if ((*it)->class_ == ControlClass::RadioButton) (*it)->check_ = BST_UNCHECKED;
      }
      control->check_ = BST_CHECKED;
    } else if (control->style_ & res::AutoCheck) {
      std::lock_guard lock(stateLock_);
      control->check_ = control->check_ == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
    }
    control->Notify(BN_CLICKED);
  });
}

void HeadlessWindowSystem::UserSelect(Window* combo, int32_t index) {
  auto* control = static_cast<HeadlessWindow*>(combo);
  Post([control, index] {
    if (!control->IsEnabled() || control->destroyed_) return;
    if (control->ComboSelect(index) == CB_ERR) return;
    control->Notify(CBN_SELENDOK);
  });
}

void HeadlessWindowSystem::UserType(Window* edit, std::u16string_view text) {
  auto* control = static_cast<HeadlessWindow*>(edit);
  Post([this, control, typed = std::u16string(text)] {
    if (!control->IsEnabled() || control->destroyed_) return;
    if ((control->style_ & res::NumberOnly) && !IsDigits(typed)) {
      Beep();  // the box refuses anything but digits
      return;
    }
    {
      std::lock_guard lock(stateLock_);
      control->text_ = control->textLimit_ > 0 ? typed.substr(0, control->textLimit_) : typed;
    }
    control->Notify(EN_CHANGE);
  });
}

void HeadlessWindowSystem::UserLeave(Window* edit) {
  auto* control = static_cast<HeadlessWindow*>(edit);
  Post([control] {
    if (!control->destroyed_) control->Notify(EN_KILLFOCUS);
  });
}

void HeadlessWindowSystem::UserScroll(Window* bar, int32_t code, int32_t thumb) {
  auto* control = static_cast<HeadlessWindow*>(bar);
  Post([this, control, code, thumb] {
    if (!control->IsEnabled() || control->destroyed_) return;
    Message message;
    message.id = control->id_;
    message.code = code;
    message.value = thumb;
    message.kind = (control->style_ & res::Vertical) ? MessageKind::VScroll : MessageKind::HScroll;
    if (control->class_ == ControlClass::Trackbar) {
      // A trackbar moves its own thumb before it reports.
      std::lock_guard lock(stateLock_);
      auto& track = control->track_;
      const int32_t page = std::max(1, (track.maximum - track.minimum) / 5);
      int32_t position = track.position;
      switch (code) {
        case SB_LINEUP:
          position -= 1;
          break;
        case SB_LINEDOWN:
          position += 1;
          break;
        case SB_PAGEUP:
          position -= page;
          break;
        case SB_PAGEDOWN:
          position += page;
          break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION:
          position = thumb;
          break;
        case SB_TOP:
          position = track.minimum;
          break;
        case SB_BOTTOM:
          position = track.maximum;
          break;
        default:
          break;
      }
      track.position = std::clamp(position, track.minimum, std::max(track.minimum, track.maximum));
    }
    control->Dialog()->SendMessage(message);
  });
}

void HeadlessWindowSystem::UserClose(Window* dialog) {
  auto* window = static_cast<HeadlessWindow*>(dialog);
  Post([window] {
    Message message;
    message.kind = MessageKind::Close;
    window->Dialog()->SendMessage(message);
  });
}

void HeadlessWindowSystem::Flush() {
  Invoke([] {});
}

HeadlessWindow* HeadlessWindowSystem::FindDialog(std::string_view templateName) const {
  std::lock_guard lock(queueLock_);
  for (auto it = dialogs_.rbegin(); it != dialogs_.rend(); ++it) {
    if (!(*it)->destroyed_ && (*it)->template_->name == templateName) return it->get();
  }
  return nullptr;
}

bool HeadlessWindowSystem::WaitForDialog(std::string_view templateName, uint32_t timeoutMs) {
  std::unique_lock lock(queueLock_);
  return queueWake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return std::any_of(dialogs_.begin(), dialogs_.end(), [&](const auto& dialog) {
      return !dialog->destroyed_ && dialog->template_->name == templateName;
    });
  });
}

}  // namespace ui::headless
