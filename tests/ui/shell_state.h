// Every global the shell and the layers below it keep, back to its start: a program run
// in a test process leaves them as the program left them.
#pragma once
#include "engines/configuration.h"
#include "engines/run_state.h"
#include "engines/shell_calls.h"
#include "engines/statistics.h"
#include "log/debug_trace.h"
#include "plug/plug_monitor.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "protocol/plug_ids.h"
#include "ui/config_dialog.h"
#include "ui/main_dialog.h"
#include "ui/main_window.h"
#include "ui/results_display.h"

inline void ResetShellState() {
  ResetTestStats();
  ResetRunState();
  ResetPlugMonitorState();
  ResetPlugSelection();
  ResetPlugSpeedCode();
  ResetTestConfig();
  ResetConfigDialogState();
  ResetMainWindowState();
  ResetMainDialogState();
  ResetResultsDisplay();
  ResetDebugTrace();
  ResetShellCalls();
  ResetPlugIds();
}
