#include "window/window.h"

#include <atomic>

namespace ui {
namespace {
std::atomic<WindowSystem*> g_system{nullptr};
}  // namespace

WindowSystem* GetWindowSystem() {
  return g_system.load(std::memory_order_acquire);
}

void SetWindowSystem(WindowSystem* system) {
  g_system.store(system, std::memory_order_release);
}

}  // namespace ui
