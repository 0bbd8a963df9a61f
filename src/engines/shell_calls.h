// The engines' calls into the window code, as a table the shell fills in at start-up.
// The engines sit below the shell and never link it; tests install recording fakes
// or the real window functions. An entry left empty does nothing.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace ui {
class Window;
}

struct ShellCallTable {
  // Repaints part of the results display: kind 0 all, 1 status, 2 counters, 3 log
  // lines, 4 gauge; speed (1 full, 2 high, other SuperSpeed) scales the gauge.
  std::function<void(ui::Window* mainWindow, int32_t kind, int32_t speed)> DrawResults;
  // The idle and testing control states of the main dialog.
  std::function<void(ui::Window* mainWindow)> RestoreIdleControls;
  std::function<void(ui::Window* mainWindow)> DisableControlsForTest;
  // Text of the "Serial No." box, which names the log file saved at the end of a test.
  std::function<std::u16string(ui::Window* mainWindow)> SerialNumberText;
};

// Installed before any engine thread starts and left alone while one runs.
void InstallShellCalls(ShellCallTable calls);
// Back to the empty table (tests).
void ResetShellCalls();

// What the engines (and plug management) call.
void ShellDrawResults(ui::Window* mainWindow, int32_t kind, int32_t speed);
void ShellRestoreIdleControls(ui::Window* mainWindow);
void ShellDisableControlsForTest(ui::Window* mainWindow);
std::u16string ShellSerialNumberText(ui::Window* mainWindow);
