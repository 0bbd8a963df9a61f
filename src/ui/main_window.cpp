#include "ui/main_window.h"

std::atomic<bool> ExitRequested{false};

void ResetMainWindowState() {
  ExitRequested = false;
}
