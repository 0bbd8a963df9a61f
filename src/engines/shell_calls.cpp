#include "engines/shell_calls.h"

#include <utility>

namespace {
ShellCallTable g_calls;
}  // namespace

void InstallShellCalls(ShellCallTable calls) {
  g_calls = std::move(calls);
}

void ResetShellCalls() {
  g_calls = ShellCallTable{};
}

void ShellDrawResults(ui::Window* mainWindow, int32_t kind, int32_t speed) {
  if (g_calls.DrawResults) g_calls.DrawResults(mainWindow, kind, speed);
}

void ShellRestoreIdleControls(ui::Window* mainWindow) {
  if (g_calls.RestoreIdleControls) g_calls.RestoreIdleControls(mainWindow);
}

void ShellDisableControlsForTest(ui::Window* mainWindow) {
  if (g_calls.DisableControlsForTest) g_calls.DisableControlsForTest(mainWindow);
}

std::u16string ShellSerialNumberText(ui::Window* mainWindow) {
  return g_calls.SerialNumberText ? g_calls.SerialNumberText(mainWindow) : std::u16string();
}

void ShellRateLogged(RateDirection direction, double mbps) {
  if (g_calls.RateLogged) g_calls.RateLogged(direction, mbps);
}

void ShellResultsWritten(const RunFigures& figures) {
  if (g_calls.ResultsWritten) g_calls.ResultsWritten(figures);
}
