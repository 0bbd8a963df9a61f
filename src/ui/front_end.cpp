#include "ui/front_end.h"

#include "platform/message_box.h"

void InstallMessageBoxHandler(ui::WindowSystem* system) {
  if (system == nullptr) {
    SetMessageBoxHandler(nullptr);
    return;
  }
  SetMessageBoxHandler(
      [system](void* owner, std::u16string_view text, std::u16string_view caption, uint32_t flags) {
        return system->MessageBox(static_cast<ui::Window*>(owner), text, caption, flags);
      });
}
