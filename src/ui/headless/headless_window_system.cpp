#include "ui/headless/headless_window_system.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace ui::headless {

HeadlessWindowSystem::~HeadlessWindowSystem() {
  if (GetWindowSystem() == this) SetWindowSystem(nullptr);
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
  dialog->TakeFont(dialogTemplate->fontPoints, Screen().pixelsPerInchY);
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
    std::lock_guard lock(dialogLock_);
    dialogs_.push_back(std::move(dialog));
  }
  dialogWake_.notify_all();
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
  Invoke([&] { dialog = BuildDialog(templateName, Headless(owner), std::move(procedure)); });
  return dialog;
}

intptr_t HeadlessWindowSystem::RunModalDialog(std::string_view templateName, Window* owner,
                                              MessageProc procedure) {
  intptr_t result = -1;
  auto run = [&] {
    HeadlessWindow* dialog = BuildDialog(templateName, Headless(owner), std::move(procedure));
    if (dialog == nullptr) return;
    // A modal dialog destroyed from its own procedure ends its loop as well.
    loop_.Pump([dialog] { return dialog->modalEnded_.load() || dialog->destroyed_.load(); });
    result = dialog->modalResult_;
    DestroyWindow(dialog);
  };
  if (IsUiThread()) {
    run();
    return result;
  }
  // With no loop running, the caller serves as the user-interface thread meanwhile.
  UiThread::Serving standIn(thread_, std::try_to_lock);
  if (standIn.Owns()) {
    run();
  } else {
    Invoke(run);
  }
  return result;
}

void HeadlessWindowSystem::DestroyWindow(HeadlessWindow* window) {
  if (window == nullptr || window->destroyed_) return;
  Message message;
  message.kind = MessageKind::Destroy;
  window->SendMessage(message);
  loop_.KillTimersOf(window);
  // The object itself lives on with the system: other threads may still hold it.
  window->destroyed_ = true;
  for (auto& child : window->children_) child->destroyed_ = true;
  thread_.Wake();
}

int HeadlessWindowSystem::MessageBox(Window* owner, std::u16string_view text,
                                     std::u16string_view caption, uint32_t flags) {
  if (!IsUiThread() && thread_.Served()) {
    int answer = 0;
    Invoke([&] { answer = MessageBox(owner, text, caption, flags); });
    return answer;
  }
  MessageBoxRecord record{owner, std::u16string(text), std::u16string(caption), flags, 0};
  if (!IsUiThread()) return user_.Open(std::move(record), nullptr);
  return user_.Open(std::move(record),
                    [this](const std::function<bool()>& answered) { loop_.Pump(answered); });
}

std::optional<std::u16string> HeadlessWindowSystem::SaveFileDialog(
    Window* /*owner*/, std::u16string_view title, std::u16string_view /*filter*/,
    std::u16string_view /*initialName*/) {
  return user_.SaveFile(title);
}

intptr_t HeadlessWindowSystem::OpenDocument(std::u16string_view path,
                                            std::u16string_view /*parameters*/) {
  return user_.OpenDocument(path);
}

ScreenMetrics HeadlessWindowSystem::Screen() const {
  std::lock_guard lock(screenLock_);
  return screen_;
}

void HeadlessWindowSystem::SetScreen(ScreenMetrics metrics) {
  std::lock_guard lock(screenLock_);
  screen_ = metrics;
}

void HeadlessWindowSystem::Flush() {
  if (IsUiThread()) return;  // everything before this call has run already
  UiThread::Serving standIn(thread_, std::try_to_lock);
  if (!standIn.Owns()) {
    Invoke([] {});
    return;
  }
  while (UiThread::Work work = thread_.TryTake()) work();
}

HeadlessWindow* HeadlessWindowSystem::FindDialog(std::string_view templateName) const {
  std::lock_guard lock(dialogLock_);
  for (auto it = dialogs_.rbegin(); it != dialogs_.rend(); ++it) {
    if (!(*it)->destroyed_ && (*it)->template_->name == templateName) return it->get();
  }
  return nullptr;
}

bool HeadlessWindowSystem::WaitForDialog(std::string_view templateName, uint32_t timeoutMs) {
  std::unique_lock lock(dialogLock_);
  return dialogWake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return std::any_of(dialogs_.begin(), dialogs_.end(), [&](const auto& dialog) {
      return !dialog->destroyed_ && dialog->template_->name == templateName;
    });
  });
}

}  // namespace ui::headless
