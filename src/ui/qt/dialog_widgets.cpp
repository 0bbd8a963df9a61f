#include "ui/qt/dialog_widgets.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollBar>
#include <QSlider>
#include <algorithm>
#include <cstring>

#include "res/pictures.h"
#include "ui/qt/dialog_font.h"
#include "ui/qt/qt_window.h"

namespace ui::qt {
namespace {

// A closed drop-down list is one line of text high; the template's height is that of
// the list when it is open.
constexpr int32_t kClosedComboUnits = 12;

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QImage MonoImage(const MonoPicture& picture) {
  const int32_t rowBytes = (picture.width + 7) / 8;
  QImage image(picture.width, picture.height, QImage::Format_Mono);
  image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
  for (int32_t row = 0; row < picture.height; ++row) {
    std::memcpy(image.scanLine(row),
                picture.bits.data() + static_cast<size_t>(row) * picture.stride,
                static_cast<size_t>(rowBytes));
  }
  return image;
}

Qt::WindowFlags FrameFlags(const res::DialogTemplate& dialogTemplate) {
  // A template with a window class of its own is the program's main window; the others
  // are dialogs over it. Neither can be resized, minimised or maximised.
  Qt::WindowFlags flags = dialogTemplate.className.empty() ? Qt::Dialog : Qt::Window;
  flags |= Qt::CustomizeWindowHint;
  if (dialogTemplate.style & res::Caption) flags |= Qt::WindowTitleHint;
  if (dialogTemplate.style & res::SystemMenu) {
    flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  }
  return flags;
}

// Radio buttons and check boxes answer a click anywhere on the control, not only on
// their mark and text.
template <typename Button>
class WholeButton : public Button {
 public:
  using Button::Button;

 protected:
  bool hitButton(const QPoint& pos) const override { return this->rect().contains(pos); }
};

}  // namespace

// ---- DialogWidget ----

DialogWidget::DialogWidget(QtWindow* window, QWidget* owner, Qt::WindowFlags flags)
    : QWidget(owner, flags), window_(window) {}

void DialogWidget::Watch(QWidget* control, QtWindow* window) {
  watched_[control] = window;
  control->installEventFilter(this);
}

void DialogWidget::Command(int32_t id) {
  Message message;
  message.kind = MessageKind::Command;
  message.id = id;
  message.code = BN_CLICKED;
  window_->Deliver(message);
}

void DialogWidget::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      // The dialog manager's cancel: the procedure decides what it means.
      Command(2);
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
      // Enter presses the focused push button, else the default one, else asks for OK.
      if (auto* button = qobject_cast<QPushButton*>(focusWidget());
          button != nullptr && button->isEnabled() && button->window() == this) {
        button->click();
        return;
      }
      for (QPushButton* button : findChildren<QPushButton*>()) {
        if (button->isDefault() && button->isEnabled() && button->isVisibleTo(this)) {
          button->click();
          return;
        }
      }
      Command(1);
      return;
    }
    default:
      QWidget::keyPressEvent(event);
  }
}

void DialogWidget::closeEvent(QCloseEvent* event) {
  // The close box and Alt+F4 only ask; the procedure closes the window if it wants to.
  event->ignore();
  Message message;
  message.kind = MessageKind::Close;
  window_->Deliver(message);
}

void DialogWidget::paintEvent(QPaintEvent* /*event*/) {
  window_->SchedulePaintMessage();
}

void DialogWidget::StoreFrame() {
  const QRect frame = frameGeometry();
  window_->StoreBounds(
      {frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()});
}

void DialogWidget::moveEvent(QMoveEvent* /*event*/) {
  StoreFrame();
}

void DialogWidget::resizeEvent(QResizeEvent* /*event*/) {
  StoreFrame();
}

bool DialogWidget::eventFilter(QObject* watched, QEvent* event) {
  auto it = watched_.find(watched);
  if (it == watched_.end()) return QWidget::eventFilter(watched, event);
  QtWindow* control = it->second;
  if (event->type() == QEvent::FocusOut && control->Class() == ControlClass::Edit) {
    control->Notify(EN_KILLFOCUS);
  } else if (event->type() == QEvent::KeyPress && control->Class() == ControlClass::RadioButton) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_Left || key == Qt::Key_Right) {
      control->OnKeyInRadioGroup(key);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

// ---- PanelLabel ----

PanelLabel::PanelLabel(std::shared_ptr<PanelImage> image, QWidget* parent)
    : QLabel(parent), image_(std::move(image)) {}

void PanelLabel::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    if (image_->CopyTo(painter)) return;
  }
  QLabel::paintEvent(event);
}

// ---- Icon ----

QIcon ProgramIcon() {
  QIcon icon;
  for (const res::IconImage& image : res::FindIconGroup("TARNWICK")) {
    if (image.pixels.size() < static_cast<size_t>(image.size) * static_cast<size_t>(image.size)) {
      continue;
    }
    const QImage argb(reinterpret_cast<const uchar*>(image.pixels.data()), image.size, image.size,
                      image.size * 4, QImage::Format_ARGB32);
    icon.addPixmap(QPixmap::fromImage(argb.copy()));
  }
  return icon;
}

// ---- DialogBuilder ----

std::unique_ptr<QtWindow> DialogBuilder::Build(QtWindowSystem* system,
                                               const res::DialogTemplate& dialogTemplate,
                                               QtWindow* owner, MessageProc procedure,
                                               int32_t pixelsPerInch) {
  auto dialog =
      std::make_unique<QtWindow>(system, nullptr, 0, ControlClass::Dialog, dialogTemplate.style);
  dialog->template_ = &dialogTemplate;
  dialog->procedure_ = std::move(procedure);

  QWidget* ownerWidget = owner != nullptr ? owner->Dialog()->Widget() : nullptr;
  auto* frame = new DialogWidget(dialog.get(), ownerWidget, FrameFlags(dialogTemplate));
  const QFont font = DialogFont(dialogTemplate.fontFace, dialogTemplate.fontPoints, pixelsPerInch);
  frame->setFont(font);
  frame->setWindowTitle(ToQString(dialogTemplate.title));
  frame->setWindowIcon(ProgramIcon());
  dialog->units_ = DialogBaseUnits(font);
  const Rect client =
      UnitsToPixels({0, 0, dialogTemplate.width, dialogTemplate.height}, dialog->units_);
  frame->setFixedSize(client.Width(), client.Height());
  dialog->clientSize_ = frame->size();
  const QColor background = frame->palette().color(QPalette::Window);

  for (const res::ControlTemplate& control : dialogTemplate.controls) {
    auto child = std::make_unique<QtWindow>(system, dialog.get(), control.id, control.controlClass,
                                            control.style);
    const QString text = ToQString(control.text);
    const uint32_t style = control.style;
    const int32_t height =
        control.controlClass == ControlClass::ComboBox ? kClosedComboUnits : control.height;
    const Rect bounds = UnitsToPixels(
        {control.x, control.y, control.x + control.width, control.y + height}, dialog->units_);
    QtWindow* window = child.get();
    QWidget* widget = nullptr;
    Qt::FocusPolicy focus = (style & res::TabStop) ? Qt::StrongFocus : Qt::ClickFocus;

    switch (control.controlClass) {
      case ControlClass::GroupBox: {
        auto* group = new QGroupBox(text, frame);
        // A group box only frames its neighbours; clicks go through it to them.
        group->setAttribute(Qt::WA_TransparentForMouseEvents);
        widget = group;
        focus = Qt::NoFocus;
        break;
      }
      case ControlClass::Static: {
        // A static without text is a panel the program draws; it starts as a blank
        // picture and never shows what lies behind it.
        const bool drawn = control.text.empty();
        child->image_ =
            std::make_shared<PanelImage>(QSize(bounds.Width(), bounds.Height()), background, drawn);
        auto* label = new PanelLabel(child->image_, frame);
        label->setText(text);
        label->setWordWrap(true);
        Qt::Alignment alignment = Qt::AlignTop;
        alignment |= (style & res::RightAligned) ? Qt::AlignRight
                     : (style & res::Centred)    ? Qt::AlignHCenter
                                                 : Qt::AlignLeft;
        label->setAlignment(alignment);
        if (style & res::Sunken) label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        if (drawn) label->setAttribute(Qt::WA_OpaquePaintEvent);
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        widget = label;
        focus = Qt::NoFocus;
        break;
      }
      case ControlClass::StaticImage: {
        auto* label = new QLabel(frame);
        if (const MonoPicture* picture = res::FindBitmap(control.imageId)) {
          label->setPixmap(QPixmap::fromImage(MonoImage(*picture)));
        }
        label->setAlignment((style & res::Centred) ? Qt::AlignCenter
                                                   : Qt::AlignLeft | Qt::AlignTop);
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        widget = label;
        focus = Qt::NoFocus;
        break;
      }
      case ControlClass::ComboBox: {
        auto* combo = new QComboBox(frame);
        const Rect list =
            UnitsToPixels({0, 0, 0, control.height - kClosedComboUnits}, dialog->units_);
        const int itemHeight = QFontMetrics(font).height() + 4;
        combo->setMaxVisibleItems(std::max(1, list.Height() / itemHeight));
        QObject::connect(combo, &QComboBox::activated, combo,
                         [window](int) { window->Notify(CBN_SELENDOK); });
        widget = combo;
        break;
      }
      case ControlClass::Edit: {
        auto* edit = new QLineEdit(text, frame);
        edit->setFrame((style & res::Bordered) != 0);
        if (style & res::NumberOnly) {
          edit->setValidator(
              new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
        }
        QObject::connect(edit, &QLineEdit::textEdited, edit,
                         [window](const QString&) { window->Notify(EN_CHANGE); });
        frame->Watch(edit, window);
        widget = edit;
        break;
      }
      case ControlClass::PushButton: {
        auto* button = new QPushButton(text, frame);
        button->setAutoDefault(false);
        button->setDefault((style & res::DefaultButton) != 0);
        QObject::connect(button, &QAbstractButton::clicked, button,
                         [window] { window->OnButtonClicked(); });
        widget = button;
        break;
      }
      case ControlClass::RadioButton:
      case ControlClass::CheckBox: {
        QAbstractButton* button = nullptr;
        if (control.controlClass == ControlClass::RadioButton) {
          auto* radio = new WholeButton<QRadioButton>(text, frame);
          // Groups follow the template's group starts, not the common parent, and a
          // program may uncheck every button of one: the group is kept here.
          radio->setAutoExclusive(false);
          frame->Watch(radio, window);
          button = radio;
        } else {
          button = new WholeButton<QCheckBox>(text, frame);
        }
        QObject::connect(button, &QAbstractButton::clicked, button,
                         [window] { window->OnButtonClicked(); });
        widget = button;
        break;
      }
      case ControlClass::ScrollBar:
      case ControlClass::Trackbar: {
        const Qt::Orientation orientation = (style & res::Vertical) ? Qt::Vertical : Qt::Horizontal;
        QAbstractSlider* slider = nullptr;
        if (control.controlClass == ControlClass::ScrollBar) {
          slider = new QScrollBar(orientation, frame);
          focus = (style & res::TabStop) ? Qt::StrongFocus : Qt::NoFocus;
          child->rangeMaximum_ = 100;
        } else {
          auto* track = new QSlider(orientation, frame);
          if (style & res::AutoTicks) {
            track->setTickPosition(orientation == Qt::Horizontal ? QSlider::TicksBelow
                                                                 : QSlider::TicksRight);
            track->setTickInterval(1);
          }
          slider = track;
        }
        slider->setRange(0, 100);
        QObject::connect(slider, &QAbstractSlider::actionTriggered, slider,
                         [window](int action) { window->OnSliderAction(action); });
        QObject::connect(slider, &QAbstractSlider::sliderReleased, slider,
                         [window] { window->OnSliderReleased(); });
        widget = slider;
        break;
      }
      case ControlClass::Dialog:
        break;
    }
    if (widget == nullptr) continue;
    widget->setGeometry(bounds.left, bounds.top, bounds.Width(), bounds.Height());
    widget->setFocusPolicy(focus);
    if (style & res::Disabled) widget->setEnabled(false);
    if (style & res::Hidden) widget->hide();
    child->widget_ = widget;
    child->bounds_ = bounds;
    dialog->children_.push_back(std::move(child));
  }
  for (auto& child : dialog->children_) {
    if (child->class_ == ControlClass::RadioButton) child->RefreshRadioTabStops();
  }

  // Over the owner when there is one, else in the middle of the screen.
  QRect area;
  if (ownerWidget != nullptr) {
    area = ownerWidget->window()->frameGeometry();
  } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    area = screen->availableGeometry();
  }
  if (area.isValid()) {
    frame->move(area.left() + (area.width() - frame->width()) / 2,
                area.top() + (area.height() - frame->height()) / 2);
  }
  dialog->widget_ = frame;
  const QRect outer = frame->frameGeometry();
  dialog->bounds_ = {outer.left(), outer.top(), outer.left() + outer.width(),
                     outer.top() + outer.height()};
  return dialog;
}

}  // namespace ui::qt
