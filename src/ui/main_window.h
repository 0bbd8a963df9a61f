// Shell state of the main window.
#pragma once
#include <atomic>

// Set by the Exit command before the clean-up; the results display then shows
// "Closing tests" while test threads are still winding down.
extern std::atomic<bool> ExitRequested;
// Back to the start: no exit asked for.
void ResetMainWindowState();
