#include "ui/window.h"

#include <atomic>

#include "platform/message_box.h"

namespace ui {
namespace {
std::atomic<WindowSystem*> g_system{nullptr};
}  // namespace

WindowSystem* GetWindowSystem() {
  return g_system.load(std::memory_order_acquire);
}

void SetWindowSystem(WindowSystem* system) {
  g_system.store(system, std::memory_order_release);
  // The lower layers' message boxes ("Wrong BOS Descriptor" and the like) then reach the
  // user the same way as the shell's own.
  if (system == nullptr) {
    SetMessageBoxHandler(nullptr);
    return;
  }
  SetMessageBoxHandler(
      [system](void* owner, std::u16string_view text, std::u16string_view caption, uint32_t flags) {
        return system->MessageBox(static_cast<Window*>(owner), text, caption, flags);
      });
}

}  // namespace ui
