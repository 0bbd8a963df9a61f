#include "ui/qt/qt_window.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSlider>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <utility>

#include "ui/qt/qt_window_system.h"
#include "ui/qt/scroll_range.h"

namespace ui::qt {
namespace {

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string ToU16(const QString& text, size_t maxChars = SIZE_MAX) {
  const auto length = std::min(static_cast<size_t>(text.size()), maxChars);
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), length);
}

}  // namespace

QtWindow::QtWindow(QtWindowSystem* system, QtWindow* parent, int32_t id, ControlClass controlClass,
                   uint32_t style)
    : system_(system), parent_(parent), id_(id), class_(controlClass), style_(style) {}

QtWindow::~QtWindow() = default;

template <typename W, typename F>
void QtWindow::Change(F&& change) {
  system_->queue_.Invoke([&] {
    if (auto* widget = qobject_cast<W*>(widget_.data())) change(widget);
  });
}

template <typename W, typename R, typename F>
R QtWindow::Read(R neutral, F&& read) const {
  R result = neutral;
  system_->queue_.Invoke([&] {
    if (auto* widget = qobject_cast<W*>(widget_.data())) result = read(widget);
  });
  return result;
}

Window* QtWindow::Control(int32_t id) {
  for (auto& child : children_) {
    if (child->id_ == id) return child.get();
  }
  return nullptr;
}

// ---- State ----

void QtWindow::Enable(bool enable) {
  Change<QWidget>([&](QWidget* widget) { widget->setEnabled(enable); });
}

bool QtWindow::IsEnabled() const {
  // The control's own state, whatever its dialog's.
  return Read<QWidget>(
      false, [](QWidget* widget) { return !widget->testAttribute(Qt::WA_ForceDisabled); });
}

void QtWindow::Show(bool show) {
  Change<QWidget>([&](QWidget* widget) {
    widget->setVisible(show);
    if (class_ == ControlClass::RadioButton) RefreshRadioTabStops();
  });
}

bool QtWindow::IsVisible() const {
  // A control counts as visible when it will be as soon as its dialog is.
  return Read<QWidget>(false, [](QWidget* widget) {
    return widget->isWindow() ? widget->isVisible() : widget->isVisibleTo(widget->parentWidget());
  });
}

void QtWindow::SetText(std::u16string_view text) {
  const QString qtext = ToQString(text);
  Change<QWidget>([&](QWidget* widget) {
    if (widget->isWindow()) {
      widget->setWindowTitle(qtext);
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
      group->setTitle(qtext);
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      edit->setText(qtext);
      // An edit box reports every change of its text, whoever made it.
      Notify(EN_CHANGE);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(qtext);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      if (class_ == ControlClass::Static) label->setText(qtext);
    }
    // A drop-down list has no text of its own to set.
  });
}

std::u16string QtWindow::GetText(size_t maxChars) const {
  return Read<QWidget>(std::u16string(), [&](QWidget* widget) {
    if (widget->isWindow()) return ToU16(widget->windowTitle(), maxChars);
    if (auto* group = qobject_cast<QGroupBox*>(widget)) return ToU16(group->title(), maxChars);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return ToU16(edit->text(), maxChars);
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      return ToU16(button->text(), maxChars);
    }
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
      return combo->currentIndex() < 0 ? std::u16string() : ToU16(combo->currentText(), maxChars);
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) return ToU16(label->text(), maxChars);
    return std::u16string();
  });
}

void QtWindow::SetTextLimit(size_t maxChars) {
  Change<QLineEdit>([&](QLineEdit* edit) {
    // No limit is as much as the box can hold.
    edit->setMaxLength(maxChars == 0 ? 32767
                                     : static_cast<int>(std::min<size_t>(maxChars, INT_MAX)));
  });
}

// ---- Drop-down lists ----

void QtWindow::ComboReset() {
  Change<QComboBox>([](QComboBox* combo) {
    const QSignalBlocker quiet(combo);
    combo->clear();
  });
}

int32_t QtWindow::ComboAdd(std::u16string_view text) {
  const QString qtext = ToQString(text);
  return Read<QComboBox>(CB_ERR, [&](QComboBox* combo) {
    const QSignalBlocker quiet(combo);
    const int selected = combo->currentIndex();
    combo->addItem(qtext);
    // Qt selects the first item added to an empty list; a list box does not.
    if (selected < 0) combo->setCurrentIndex(-1);
    return static_cast<int32_t>(combo->count() - 1);
  });
}

int32_t QtWindow::ComboDelete(int32_t index) {
  return Read<QComboBox>(CB_ERR, [&](QComboBox* combo) {
    if (index < 0 || index >= combo->count()) return CB_ERR;
    const QSignalBlocker quiet(combo);
    const int selected = combo->currentIndex();
    combo->removeItem(index);
    // Deleting the selected item leaves no selection, not its neighbour.
    if (selected == index) combo->setCurrentIndex(-1);
    return static_cast<int32_t>(combo->count());
  });
}

int32_t QtWindow::ComboFind(std::u16string_view text) const {
  const QString qtext = ToQString(text);
  return Read<QComboBox>(CB_ERR, [&](QComboBox* combo) {
    const int found = combo->findText(qtext, Qt::MatchExactly | Qt::MatchCaseSensitive);
    return found < 0 ? CB_ERR : static_cast<int32_t>(found);
  });
}

int32_t QtWindow::ComboSelect(int32_t index) {
  return Read<QComboBox>(CB_ERR, [&](QComboBox* combo) {
    const QSignalBlocker quiet(combo);
    if (index < 0 || index >= combo->count()) {
      combo->setCurrentIndex(-1);
      return CB_ERR;
    }
    combo->setCurrentIndex(index);
    return index;
  });
}

int32_t QtWindow::ComboSelection() const {
  return Read<QComboBox>(CB_ERR, [](QComboBox* combo) {
    return combo->currentIndex() < 0 ? CB_ERR : static_cast<int32_t>(combo->currentIndex());
  });
}

int32_t QtWindow::ComboCount() const {
  return Read<QComboBox>(0, [](QComboBox* combo) { return static_cast<int32_t>(combo->count()); });
}

std::u16string QtWindow::ComboItemText(int32_t index) const {
  return Read<QComboBox>(std::u16string(), [&](QComboBox* combo) {
    if (index < 0 || index >= combo->count()) return std::u16string();
    return ToU16(combo->itemText(index));
  });
}

// ---- Buttons ----

void QtWindow::SetCheck(int32_t state) {
  Change<QAbstractButton>([&](QAbstractButton* button) {
    if (!button->isCheckable()) return;
    button->setChecked(state == BST_CHECKED);
    if (class_ == ControlClass::RadioButton) RefreshRadioTabStops();
  });
}

int32_t QtWindow::GetCheck() const {
  return Read<QAbstractButton>(BST_UNCHECKED, [](QAbstractButton* button) {
    return button->isCheckable() && button->isChecked() ? BST_CHECKED : BST_UNCHECKED;
  });
}

// ---- Trackbars ----

void QtWindow::SetTrackRange(int32_t minimum, int32_t maximum) {
  if (class_ != ControlClass::Trackbar) return;
  Change<QSlider>([&](QSlider* slider) {
    rangeMinimum_ = minimum;
    rangeMaximum_ = std::max(minimum, maximum);
    slider->setRange(rangeMinimum_, rangeMaximum_);
    // A trackbar's page is a fifth of its range.
    slider->setPageStep(std::max(1, (rangeMaximum_ - rangeMinimum_) / 5));
  });
}

void QtWindow::SetTrackTickFrequency(int32_t frequency) {
  Change<QSlider>([&](QSlider* slider) { slider->setTickInterval(std::max(frequency, 0)); });
}

void QtWindow::SetTrackPos(int32_t position) {
  Change<QSlider>([&](QSlider* slider) { slider->setValue(position); });
}

int32_t QtWindow::TrackPos() const {
  return Read<QSlider>(0, [](QSlider* slider) { return static_cast<int32_t>(slider->value()); });
}

// ---- Scroll bars ----

void QtWindow::ApplySliderRange() {
  auto* bar = qobject_cast<QScrollBar*>(widget_.data());
  if (bar == nullptr) return;
  const SliderRange range = ToSliderRange(rangeMinimum_, rangeMaximum_, page_);
  position_ = std::clamp(position_, range.minimum, range.maximum);
  const QSignalBlocker quiet(bar);
  bar->setRange(range.minimum, range.maximum);
  bar->setPageStep(range.page);
  bar->setSingleStep(1);
  bar->setValue(position_);
}

void QtWindow::SetScrollInfo(int32_t minimum, int32_t maximum, int32_t page, int32_t position,
                             bool /*redraw*/) {
  Change<QScrollBar>([&](QScrollBar*) {
    rangeMinimum_ = minimum;
    rangeMaximum_ = maximum;
    page_ = page;
    position_ = position;
    ApplySliderRange();
  });
}

void QtWindow::SetScrollPos(int32_t position, bool /*redraw*/) {
  Change<QScrollBar>([&](QScrollBar*) {
    position_ = position;
    ApplySliderRange();
  });
}

int32_t QtWindow::ScrollPos() const {
  return Read<QScrollBar>(0, [this](QScrollBar*) { return position_; });
}

// ---- Geometry ----

void QtWindow::StoreBounds(Rect bounds) {
  std::lock_guard lock(boundsLock_);
  bounds_ = bounds;
}

Rect QtWindow::ClientRect() const {
  std::lock_guard lock(boundsLock_);
  if (class_ == ControlClass::Dialog) {
    // The frame's outer rectangle is kept; the client area is the template's size.
    return {0, 0, clientSize_.width(), clientSize_.height()};
  }
  return {0, 0, bounds_.Width(), bounds_.Height()};
}

Rect QtWindow::BoundsInParent() const {
  std::lock_guard lock(boundsLock_);
  return bounds_;
}

void QtWindow::Move(Rect bounds, bool /*repaint*/) {
  bool resized = false;
  Change<QWidget>([&](QWidget* widget) {
    if (widget->isWindow()) {
      // The bounds are the outer frame; the frame's own border stays as it is.
      const QRect frame = widget->frameGeometry();
      const QSize border = frame.size() - widget->size();
      const QSize client(std::max(1, bounds.Width() - border.width()),
                         std::max(1, bounds.Height() - border.height()));
      resized = client != widget->size();
      if (resized) widget->setFixedSize(client);
      widget->move(bounds.left, bounds.top);
      {
        std::lock_guard lock(boundsLock_);
        clientSize_ = client;
      }
      StoreBounds({bounds.left, bounds.top, bounds.left + client.width() + border.width(),
                   bounds.top + client.height() + border.height()});
    } else {
      widget->setGeometry(bounds.left, bounds.top, bounds.Width(), bounds.Height());
      if (image_) image_->Resize(widget->size());
      StoreBounds(bounds);
    }
  });
  if (resized) {
    Message message;
    message.kind = MessageKind::Size;
    message.value = ClientRect().Width();
    message.extra = ClientRect().Height();
    SendMessage(message);
  }
}

Rect QtWindow::DialogUnitsToPixels(Rect units) const {
  const QtWindow* dialog = parent_ != nullptr ? parent_ : this;
  return UnitsToPixels(units, dialog->units_);
}

// ---- Drawing ----

std::unique_ptr<Canvas> QtWindow::GetCanvas() {
  if (destroyed_ || !image_) return nullptr;
  return std::make_unique<ImageCanvas>(image_, [this] { system_->RequestCopy(this); });
}

void QtWindow::Invalidate() {
  Change<QWidget>([](QWidget* widget) { widget->update(); });
}

void QtWindow::SchedulePaintMessage() {
  // Painting the frame asks the procedure to paint its panels; it does so after this
  // paint, never inside it, and one request stands for any number of paints meanwhile.
  if (paintMessageDue_) return;
  paintMessageDue_ = true;
  system_->Post([this] {
    paintMessageDue_ = false;
    Message message;
    message.kind = MessageKind::Paint;
    Deliver(message);
  });
}

// ---- Timers and messages ----

bool QtWindow::SetTimer(int32_t id, uint32_t milliseconds) {
  if (class_ != ControlClass::Dialog || destroyed_) return false;
  bool set = false;
  system_->queue_.Invoke([&] {
    if (destroyed_ || widget_.isNull()) return;
    std::unique_ptr<QTimer>& timer = timers_[id];
    if (!timer) {
      timer = std::make_unique<QTimer>();
      QObject::connect(timer.get(), &QTimer::timeout, [this, id] {
        Message message;
        message.kind = MessageKind::Timer;
        message.id = id;
        Deliver(message);
      });
    }
    // As with system timers, a period below 10 ms is 10 ms.
    timer->start(static_cast<int>(std::clamp<uint32_t>(milliseconds, 10, INT_MAX)));
    set = true;
  });
  return set;
}

void QtWindow::KillTimer(int32_t id) {
  system_->queue_.Invoke([&] {
    // Stopped, not deleted: the timer may be the very one whose tick is running.
    if (auto it = timers_.find(id); it != timers_.end()) it->second->stop();
  });
}

bool QtWindow::TimerActive(int32_t id) const {
  auto it = timers_.find(id);
  return it != timers_.end() && it->second->isActive();
}

void QtWindow::PostMessage(Message message) {
  QtWindow* dialog = Dialog();
  system_->Post([dialog, message = std::move(message)] { dialog->Deliver(message); });
}

intptr_t QtWindow::SendMessage(const Message& message) {
  if (class_ != ControlClass::Dialog || !procedure_) return 0;
  intptr_t result = 0;
  system_->queue_.Invoke([&] { result = Deliver(message); });
  return result;
}

intptr_t QtWindow::Deliver(const Message& message) {
  if (destroyed_ || !procedure_) return 0;
  return procedure_(this, message);
}

void QtWindow::Notify(int32_t code) {
  Message message;
  message.kind = MessageKind::Command;
  message.id = id_;
  message.code = code;
  Dialog()->Deliver(message);
}

void QtWindow::EndDialog(intptr_t result) {
  QtWindow* dialog = Dialog();
  dialog->modalResult_ = result;
  dialog->modalEnded_ = true;
  system_->queue_.Invoke([dialog] {
    if (dialog->modalLoop_ != nullptr) dialog->modalLoop_->exit();
  });
}

void QtWindow::Destroy() {
  QtWindow* dialog = Dialog();
  system_->queue_.Invoke([this, dialog] { system_->DestroyWindow(dialog); });
}

// ---- The user's hand ----

std::vector<QtWindow*> QtWindow::RadioGroup() {
  std::vector<QtWindow*> group;
  if (parent_ == nullptr) return group;
  const auto& siblings = parent_->children_;
  auto self = std::find_if(siblings.begin(), siblings.end(),
                           [this](const auto& sibling) { return sibling.get() == this; });
  if (self == siblings.end()) return group;
  // A group runs from the nearest group start at or before the button to the next one.
  auto first = self;
  while (first != siblings.begin() && !((*first)->style_ & res::GroupStart)) --first;
  for (auto it = first; it != siblings.end(); ++it) {
    if (it != first && ((*it)->style_ & res::GroupStart)) break;
    if ((*it)->class_ == ControlClass::RadioButton) group.push_back(it->get());
  }
  return group;
}

void QtWindow::RefreshRadioTabStops() {
  const std::vector<QtWindow*> group = RadioGroup();
  if (group.empty()) return;
  // Tab reaches a radio group once, at its checked button (else its first); the arrow
  // keys move inside it.
  const bool tabStop = (group.front()->style_ & res::TabStop) != 0;
  QtWindow* stop = group.front();
  for (QtWindow* member : group) {
    auto* button = qobject_cast<QAbstractButton*>(member->widget_.data());
    if (button != nullptr && button->isChecked()) {
      stop = member;
      break;
    }
  }
  for (QtWindow* member : group) {
    if (QWidget* widget = member->widget_.data()) {
      widget->setFocusPolicy(tabStop && member == stop ? Qt::StrongFocus : Qt::ClickFocus);
    }
  }
}

void QtWindow::OnButtonClicked() {
  auto* button = qobject_cast<QAbstractButton*>(widget_.data());
  if (button == nullptr || destroyed_) return;
  if (class_ == ControlClass::RadioButton) {
    if (style_ & res::AutoRadio) {
      for (QtWindow* member : RadioGroup()) {
        if (auto* other = qobject_cast<QAbstractButton*>(member->widget_.data())) {
          other->setChecked(member == this);
        }
      }
    } else {
      button->setChecked(!button->isChecked());  // a plain radio button waits to be told
    }
    RefreshRadioTabStops();
  } else if (class_ == ControlClass::CheckBox && !(style_ & res::AutoCheck)) {
    button->setChecked(!button->isChecked());
  }
  Notify(BN_CLICKED);
}

void QtWindow::OnKeyInRadioGroup(int key) {
  std::vector<QtWindow*> group = RadioGroup();
  std::erase_if(group, [](QtWindow* member) {
    const QWidget* widget = member->widget_.data();
    return widget == nullptr || !widget->isEnabled() || widget->isHidden();
  });
  auto self = std::find(group.begin(), group.end(), this);
  if (group.size() < 2 || self == group.end()) return;
  const bool forward = key == Qt::Key_Down || key == Qt::Key_Right;
  const size_t index = static_cast<size_t>(self - group.begin());
  QtWindow* target = group[(index + (forward ? 1 : group.size() - 1)) % group.size()];
  target->widget_->setFocus(Qt::TabFocusReason);
  // Moving onto an automatic radio button chooses it, as a click would.
  if (target->style_ & res::AutoRadio) target->OnButtonClicked();
}

void QtWindow::OnSliderAction(int action) {
  auto* slider = qobject_cast<QAbstractSlider*>(widget_.data());
  if (slider == nullptr || destroyed_) return;
  int32_t code = 0;
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
      code = SB_LINEDOWN;
      break;
    case QAbstractSlider::SliderSingleStepSub:
      code = SB_LINEUP;
      break;
    case QAbstractSlider::SliderPageStepAdd:
      code = SB_PAGEDOWN;
      break;
    case QAbstractSlider::SliderPageStepSub:
      code = SB_PAGEUP;
      break;
    case QAbstractSlider::SliderToMinimum:
      code = SB_TOP;
      break;
    case QAbstractSlider::SliderToMaximum:
      code = SB_BOTTOM;
      break;
    case QAbstractSlider::SliderMove:
      code = SB_THUMBTRACK;
      break;
    default:
      return;
  }
  // A trackbar moves its own thumb before it reports; a scroll bar only reports, and
  // its thumb goes where the program then puts it.
  if (class_ == ControlClass::Trackbar) slider->setValue(slider->sliderPosition());
  Message message;
  message.kind = (style_ & res::Vertical) ? MessageKind::VScroll : MessageKind::HScroll;
  message.id = id_;
  message.code = code;
  message.value = slider->sliderPosition();
  Dialog()->Deliver(message);
  if (class_ == ControlClass::ScrollBar && !slider->isSliderDown() && widget_) {
    slider->setValue(position_);
  }
}

void QtWindow::OnSliderReleased() {
  auto* slider = qobject_cast<QAbstractSlider*>(widget_.data());
  if (slider == nullptr || destroyed_) return;
  Message message;
  message.kind = (style_ & res::Vertical) ? MessageKind::VScroll : MessageKind::HScroll;
  message.id = id_;
  message.code = SB_THUMBPOSITION;
  message.value = slider->sliderPosition();
  Dialog()->Deliver(message);
  message.code = SB_ENDSCROLL;
  message.value = 0;
  Dialog()->Deliver(message);
  if (class_ == ControlClass::ScrollBar && widget_) slider->setValue(position_);
}

}  // namespace ui::qt
