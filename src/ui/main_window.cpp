#include "ui/main_window.h"

std::atomic<bool> ExitRequested{false};
