#include "ui/qt/qt_window_system.h"

#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "ui/qt/dialog_widgets.h"
#include "ui/qt/sleep_notice.h"
#include "ui/qt/standard_dialogs.h"
#include "window/document_open.h"

namespace ui::qt {

QtWindowSystem::QtWindowSystem() {
  // Windows end when the program destroys them, never because the last one closed.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    screen_.width = screen->geometry().width();
    screen_.height = screen->geometry().height();
    screen_.pixelsPerInchX = static_cast<int32_t>(screen->logicalDotsPerInchX() + 0.5);
    screen_.pixelsPerInchY = static_cast<int32_t>(screen->logicalDotsPerInchY() + 0.5);
  }
}

QtWindowSystem::~QtWindowSystem() {
  if (GetWindowSystem() == this) SetWindowSystem(nullptr);
  sleep_.reset();
  queue_.Close();
  std::vector<std::unique_ptr<QtWindow>> dialogs;
  {
    std::lock_guard lock(dialogLock_);
    dialogs.swap(dialogs_);
  }
  // Every window knows it is gone before any widget goes, so nothing a dying widget
  // reports (a focus leaving, say) reaches a procedure.
  for (auto& dialog : dialogs) {
    dialog->destroyed_ = true;
    for (auto& child : dialog->children_) child->destroyed_ = true;
  }
  for (auto& dialog : dialogs) delete dialog->widget_.data();
}

// ---- Dialogs ----

QtWindow* QtWindowSystem::BuildDialog(std::string_view templateName, QtWindow* owner,
                                      MessageProc procedure) {
  const res::DialogTemplate* dialogTemplate = res::FindDialogTemplate(templateName);
  if (dialogTemplate == nullptr) return nullptr;
  std::unique_ptr<QtWindow> built = DialogBuilder::Build(
      this, *dialogTemplate, owner, std::move(procedure), screen_.pixelsPerInchY);
  QtWindow* dialog = built.get();
  {
    std::lock_guard lock(dialogLock_);
    dialogs_.push_back(std::move(built));
  }
  Message create;
  create.kind = MessageKind::Create;
  dialog->Deliver(create);
  Message init;
  init.kind = MessageKind::InitDialog;
  dialog->Deliver(init);
  return dialog;
}

Window* QtWindowSystem::CreateDialog(std::string_view templateName, Window* owner,
                                     MessageProc procedure) {
  QtWindow* dialog = nullptr;
  queue_.Invoke([&] {
    dialog = BuildDialog(templateName, static_cast<QtWindow*>(owner), std::move(procedure));
    // Shown once its procedure has set it up, as a dialog appears after initialisation.
    if (dialog != nullptr && !dialog->IsDestroyed() && dialog->Widget() != nullptr) {
      dialog->Widget()->show();
    }
  });
  return dialog;
}

intptr_t QtWindowSystem::RunModalDialog(std::string_view templateName, Window* owner,
                                        MessageProc procedure) {
  intptr_t result = -1;
  queue_.Invoke([&] {
    QtWindow* dialog =
        BuildDialog(templateName, static_cast<QtWindow*>(owner), std::move(procedure));
    if (dialog == nullptr) return;
    QWidget* widget = dialog->Widget();
    if (!dialog->IsDestroyed() && !dialog->modalEnded_ && widget != nullptr) {
      widget->setWindowModality(Qt::ApplicationModal);
      widget->show();
      QEventLoop loop;
      dialog->modalLoop_ = &loop;
      RunLoop(loop);
      dialog->modalLoop_ = nullptr;
    }
    result = dialog->modalResult_;
    DestroyWindow(dialog);
  });
  return result;
}

void QtWindowSystem::DestroyWindow(QtWindow* dialog) {
  if (dialog == nullptr || dialog->IsDestroyed()) return;
  Message message;
  message.kind = MessageKind::Destroy;
  dialog->Deliver(message);
  for (auto& [id, timer] : dialog->timers_) timer->stop();
  dialog->destroyed_ = true;
  for (auto& child : dialog->children_) child->destroyed_ = true;
  if (QWidget* widget = dialog->Widget()) {
    widget->hide();
    // Later: the widget may be the one whose signal is running now.
    widget->deleteLater();
  }
  if (dialog->modalLoop_ != nullptr) dialog->modalLoop_->exit();
}

QtWindow* QtWindowSystem::FindDialog(std::string_view templateName) const {
  std::lock_guard lock(dialogLock_);
  for (auto it = dialogs_.rbegin(); it != dialogs_.rend(); ++it) {
    if (!(*it)->IsDestroyed() && (*it)->Template()->name == templateName) return it->get();
  }
  return nullptr;
}

void QtWindowSystem::Broadcast(Message message) {
  std::lock_guard lock(dialogLock_);
  for (auto& dialog : dialogs_) {
    if (!dialog->IsDestroyed()) dialog->PostMessage(message);
  }
}

void QtWindowSystem::ListenForSleep(const QDBusConnection& bus) {
  queue_.Invoke([this, &bus] {
    sleep_ = std::make_unique<SleepNotice>(bus, [this](bool sleeping) {
      Message message;
      message.kind = MessageKind::PowerBroadcast;
      message.code = sleeping ? PBT_APMSUSPEND : PBT_APMRESUMESUSPEND;
      Broadcast(message);
    });
  });
}

void QtWindowSystem::RequestCopy(QtWindow* control) {
  auto copy = [control] {
    if (const auto& image = control->Image()) image->CopyStarted();
    if (QWidget* widget = control->Widget()) widget->update();
  };
  if (IsUiThread()) {
    copy();
  } else {
    queue_.Post(copy);
  }
}

// ---- Loops ----

void QtWindowSystem::RunLoop(QEventLoop& loop) {
  if (quit_) return;
  loops_.push_back(&loop);
  loop.exec();
  loops_.pop_back();
}

int QtWindowSystem::RunMessageLoop() {
  if (!IsUiThread()) return -1;
  queue_.Open();
  {
    QEventLoop loop;
    RunLoop(loop);
  }
  const int code = quitCode_.load();
  quit_ = false;
  // Callers still waiting for this thread are served now, and later ones no longer wait.
  queue_.Close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return code;
}

void QtWindowSystem::Quit(int code) {
  quitCode_ = code;
  quit_ = true;
  auto endLoops = [this] {
    // Innermost first: each modal loop returns to the one around it, which ends too.
    for (auto it = loops_.rbegin(); it != loops_.rend(); ++it) (*it)->exit(0);
  };
  if (IsUiThread()) {
    endLoops();
  } else {
    queue_.Post(endLoops);
  }
}

// ---- The system's own dialogs ----

int QtWindowSystem::GuiMessageBox(QtWindow* owner, std::u16string_view text,
                                  std::u16string_view caption, uint32_t flags) {
  if (quit_) return DefaultAnswer(flags);  // the program is ending: nobody to ask
  QWidget* ownerWidget = owner != nullptr ? owner->Dialog()->Widget() : nullptr;
  std::unique_ptr<QMessageBox> box = MakeMessageBox(ownerWidget, text, caption, flags);
  QEventLoop loop;
  QObject::connect(box.get(), &QDialog::finished, &loop, [&loop] { loop.exit(); });
  box->show();
  RunLoop(loop);
  box->hide();
  return MessageBoxAnswer(*box, flags);
}

int QtWindowSystem::MessageBox(Window* owner, std::u16string_view text, std::u16string_view caption,
                               uint32_t flags) {
  int answer = DefaultAnswer(flags);
  queue_.Invoke(
      [&] { answer = GuiMessageBox(static_cast<QtWindow*>(owner), text, caption, flags); });
  return answer;
}

std::optional<std::u16string> QtWindowSystem::GuiSaveFileDialog(QtWindow* owner,
                                                                std::u16string_view title,
                                                                std::u16string_view filter,
                                                                std::u16string_view initialName) {
  if (quit_) return std::nullopt;
  QWidget* ownerWidget = owner != nullptr ? owner->Dialog()->Widget() : nullptr;
  std::unique_ptr<QFileDialog> dialog = MakeSaveDialog(ownerWidget, title, filter, initialName);
  QEventLoop loop;
  QObject::connect(dialog.get(), &QDialog::finished, &loop, [&loop] { loop.exit(); });
  dialog->show();
  RunLoop(loop);
  dialog->hide();
  const QStringList chosen = dialog->selectedFiles();
  if (dialog->result() != QDialog::Accepted || chosen.isEmpty()) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(chosen.front().utf16()),
                        static_cast<size_t>(chosen.front().size()));
}

std::optional<std::u16string> QtWindowSystem::SaveFileDialog(Window* owner,
                                                             std::u16string_view title,
                                                             std::u16string_view filter,
                                                             std::u16string_view initialName) {
  std::optional<std::u16string> chosen;
  queue_.Invoke([&] {
    chosen = GuiSaveFileDialog(static_cast<QtWindow*>(owner), title, filter, initialName);
  });
  return chosen;
}

void QtWindowSystem::SetDocumentOpener(std::string program) {
  std::lock_guard lock(openerLock_);
  opener_ = std::move(program);
}

intptr_t QtWindowSystem::OpenDocument(std::u16string_view path,
                                      std::u16string_view /*parameters*/) {
  std::string opener;
  {
    std::lock_guard lock(openerLock_);
    opener = opener_;
  }
  return OpenDocumentWithDesktop(path, opener.c_str());
}

void QtWindowSystem::Beep() {
  queue_.Post([] { QApplication::beep(); });
}

}  // namespace ui::qt
