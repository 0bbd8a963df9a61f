#include "ui/headless/headless_window.h"

#include <algorithm>
#include <utility>

#include "ui/headless/headless_window_system.h"

namespace ui::headless {
namespace {

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

void HeadlessWindow::TakeFont(int32_t points, int32_t pixelsPerInchY) {
  // Dialog base units of the font: the character cell height with leading, and the
  // average character width of a sans face of that height.
  const int32_t cell = MulDiv(points, pixelsPerInchY, 72);
  unitY_ = MulDiv(cell, 6, 5);
  unitX_ = MulDiv(unitY_, 6, 13);
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
  system_->loop_.SetTimer(this, id, milliseconds);
  return true;
}

void HeadlessWindow::KillTimer(int32_t id) {
  system_->loop_.KillTimer(this, id);
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
  system_->thread_.Wake();
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

void HeadlessWindow::UserClicked() {
  if (!IsEnabled() || !IsVisible() || destroyed_) return;
  if (style_ & res::AutoRadio) {
    // The group runs from the nearest group start at or before the button up to the
    // next group start.
    auto& siblings = parent_->children_;
    auto self = std::find_if(siblings.begin(), siblings.end(),
                             [&](const auto& c) { return c.get() == this; });
    auto first = self;
    while (first != siblings.begin() && !((*first)->style_ & res::GroupStart)) --first;
    std::lock_guard lock(system_->StateLock());
    for (auto it = first; it != siblings.end(); ++it) {
      if (it != first && ((*it)->style_ & res::GroupStart)) break;
      if ((*it)->class_ == ControlClass::RadioButton) (*it)->check_ = BST_UNCHECKED;
    }
    check_ = BST_CHECKED;
  } else if (style_ & res::AutoCheck) {
    std::lock_guard lock(system_->StateLock());
    check_ = check_ == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
  }
  Notify(BN_CLICKED);
}

void HeadlessWindow::UserSelected(int32_t index) {
  if (!IsEnabled() || destroyed_) return;
  if (ComboSelect(index) == CB_ERR) return;
  Notify(CBN_SELENDOK);
}

void HeadlessWindow::UserTyped(std::u16string_view text) {
  if (!IsEnabled() || destroyed_) return;
  if ((style_ & res::NumberOnly) && !IsDigits(text)) {
    system_->Beep();  // the box refuses anything but digits
    return;
  }
  {
    std::lock_guard lock(system_->StateLock());
    text_ = textLimit_ > 0 ? text.substr(0, textLimit_) : text;
  }
  Notify(EN_CHANGE);
}

void HeadlessWindow::UserLeft() {
  if (!destroyed_) Notify(EN_KILLFOCUS);
}

void HeadlessWindow::UserScrolled(int32_t code, int32_t thumb) {
  if (!IsEnabled() || destroyed_) return;
  Message message;
  message.id = id_;
  message.code = code;
  message.value = thumb;
  message.kind = (style_ & res::Vertical) ? MessageKind::VScroll : MessageKind::HScroll;
  if (class_ == ControlClass::Trackbar) {
    // A trackbar moves its own thumb before it reports.
    std::lock_guard lock(system_->StateLock());
    const int32_t page = std::max(1, (track_.maximum - track_.minimum) / 5);
    int32_t position = track_.position;
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
        position = track_.minimum;
        break;
      case SB_BOTTOM:
        position = track_.maximum;
        break;
      default:
        break;
    }
    track_.position =
        std::clamp(position, track_.minimum, std::max(track_.minimum, track_.maximum));
  }
  Dialog()->SendMessage(message);
}

void HeadlessWindow::UserClosed() {
  Message message;
  message.kind = MessageKind::Close;
  Dialog()->SendMessage(message);
}

}  // namespace ui::headless
