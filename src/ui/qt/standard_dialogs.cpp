#include "ui/qt/standard_dialogs.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QString>

#include "platform/message_box.h"

namespace ui::qt {
namespace {

constexpr uint32_t MB_TYPEMASK = 0xF;
constexpr uint32_t MB_ICONMASK = 0xF0;
constexpr uint32_t MB_DEFMASK = 0xF00;
constexpr uint32_t MB_YESNOCANCEL = 0x3;
constexpr uint32_t MB_DEFBUTTON2 = 0x100;
constexpr uint32_t MB_DEFBUTTON3 = 0x200;

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The buttons of the flags, in the order the default-button bits count them.
QList<QMessageBox::StandardButton> Buttons(uint32_t flags) {
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {QMessageBox::Ok, QMessageBox::Cancel};
    case MB_YESNOCANCEL:
      return {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel};
    case MB_YESNO:
      return {QMessageBox::Yes, QMessageBox::No};
    default:
      return {QMessageBox::Ok};
  }
}

int AnswerOf(QMessageBox::StandardButton button) {
  switch (button) {
    case QMessageBox::Ok:
      return IDOK;
    case QMessageBox::Cancel:
      return IDCANCEL;
    case QMessageBox::Yes:
      return IDYES;
    case QMessageBox::No:
      return IDNO;
    default:
      return 0;
  }
}

int DefaultIndex(uint32_t flags, int count) {
  const uint32_t which = flags & MB_DEFMASK;
  const int index = which == MB_DEFBUTTON2 ? 1 : which == MB_DEFBUTTON3 ? 2 : 0;
  return index < count ? index : 0;
}

}  // namespace

int DefaultAnswer(uint32_t flags) {
  const QList<QMessageBox::StandardButton> buttons = Buttons(flags);
  return AnswerOf(buttons[DefaultIndex(flags, static_cast<int>(buttons.size()))]);
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, std::u16string_view text,
                                            std::u16string_view caption, uint32_t flags) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR:
      icon = QMessageBox::Critical;
      break;
    case MB_ICONQUESTION:
      icon = QMessageBox::Question;
      break;
    case MB_ICONEXCLAMATION:
      icon = QMessageBox::Warning;
      break;
    case MB_ICONINFORMATION:
      icon = QMessageBox::Information;
      break;
    default:
      break;
  }
  auto box = std::make_unique<QMessageBox>(icon, ToQString(caption), ToQString(text),
                                           QMessageBox::NoButton, owner);
  const QList<QMessageBox::StandardButton> buttons = Buttons(flags);
  for (QMessageBox::StandardButton button : buttons) box->addButton(button);
  box->setDefaultButton(buttons[DefaultIndex(flags, static_cast<int>(buttons.size()))]);
  // Texts are shown as they are, never as markup.
  box->setTextFormat(Qt::PlainText);
  box->setWindowModality(owner != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
  // After the modality, which would otherwise take the hint away again.
  if (flags & MB_TOPMOST) box->setWindowFlag(Qt::WindowStaysOnTopHint);
  return box;
}

int MessageBoxAnswer(const QMessageBox& box, uint32_t flags) {
  QAbstractButton* clicked = box.clickedButton();
  const int answer = clicked != nullptr ? AnswerOf(box.standardButton(clicked)) : 0;
  return answer != 0 ? answer : DefaultAnswer(flags);
}

std::unique_ptr<QFileDialog> MakeSaveDialog(QWidget* owner, std::u16string_view title,
                                            std::u16string_view filter,
                                            std::u16string_view initialPath) {
  auto dialog = std::make_unique<QFileDialog>(owner, ToQString(title));
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setWindowModality(Qt::ApplicationModal);

  const QStringList parts = ToQString(filter).split(QChar(u'\0'), Qt::SkipEmptyParts);
  const QString description = parts.value(0);
  QString pattern = parts.value(1);
  if (pattern.isEmpty()) {
    const auto match = QRegularExpression(QStringLiteral("\\(([^)]*)\\)")).match(description);
    pattern = match.hasMatch() ? match.captured(1) : QString();
  }
  if (!description.isEmpty()) {
    // The description names its patterns in brackets; matching ignores case.
    dialog->setNameFilter(description.contains(u'(') || pattern.isEmpty()
                              ? description
                              : QStringLiteral("%1 (%2)").arg(description, pattern));
  }
  const auto extension =
      QRegularExpression(QStringLiteral("^\\*\\.(\\w+)")).match(pattern.trimmed());
  if (extension.hasMatch()) dialog->setDefaultSuffix(extension.captured(1).toLower());

  if (!initialPath.empty()) {
    const QFileInfo initial(ToQString(initialPath));
    if (!initial.path().isEmpty() && initial.dir().exists()) {
      dialog->setDirectory(initial.absolutePath());
    }
    dialog->selectFile(initial.fileName());
  }
  return dialog;
}

}  // namespace ui::qt
