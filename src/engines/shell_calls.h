// The engines' calls into the window code, as a table the shell fills in at start-up.
// The engines sit below the shell and never link it; tests install recording fakes
// or the real window functions. An entry left empty does nothing.
#pragma once
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace ui {
class Window;
}

// Which traffic a logged rate or a set of result figures is about: the loopback's round
// trip, or one direction of the benchmark.
enum class RateDirection : uint8_t { Loopback, Read, Write };

// One direction's figures as the result block states them (Mb/s; NaN where the block
// has no such line).
struct DirectionFigures {
  bool Present = false;
  double MaxMbps = std::numeric_limits<double>::quiet_NaN();
  double MinMbps = std::numeric_limits<double>::quiet_NaN();
  double AverageMbps = std::numeric_limits<double>::quiet_NaN();
  uint64_t Bytes = 0;
  uint64_t Operations = 0;  // loops or blocks
};

// What a run's result block is written from, handed over just before it is written.
struct RunFigures {
  uint32_t TestMode = 0;  // TestConfigRecord's Loopback or Benchmark
  int64_t StartTime = 0;  // calendar seconds; 0 = not known
  DirectionFigures Loopback, Read, Write;
  // Both benchmark directions together (read and write modes); NaN otherwise.
  double AverageMbps = std::numeric_limits<double>::quiet_NaN();
  double MinMbps = std::numeric_limits<double>::quiet_NaN();
  int64_t PhysicalLayerErrors = 0;
  int64_t LinkLayerErrors = 0;
};

struct ShellCallTable {
  // Repaints part of the results display: kind 0 all, 1 status, 2 counters, 3 log
  // lines, 4 gauge; speed (1 full, 2 high, other SuperSpeed) scales the gauge.
  std::function<void(ui::Window* mainWindow, int32_t kind, int32_t speed)> DrawResults;
  // The idle and testing control states of the main dialog.
  std::function<void(ui::Window* mainWindow)> RestoreIdleControls;
  std::function<void(ui::Window* mainWindow)> DisableControlsForTest;
  // Text of the "Serial No." box, which names the log file saved at the end of a test.
  std::function<std::u16string(ui::Window* mainWindow)> SerialNumberText;
  // Observers of a run, called on the engine thread: each rate line as it is logged
  // (a loop line's rate, a block's rate), and the figures of the result block.
  std::function<void(RateDirection direction, double mbps)> RateLogged;
  std::function<void(const RunFigures& figures)> ResultsWritten;
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
void ShellRateLogged(RateDirection direction, double mbps);
void ShellResultsWritten(const RunFigures& figures);
