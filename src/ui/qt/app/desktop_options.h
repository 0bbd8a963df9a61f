// The desktop program's command line: the options both programs take (--simulate,
// --plug-id), its own (--help, --version, and the unattended screenshot run), and the
// program's arguments (DEBUGMODE, /S, /L), which go to the shell as they are.
#pragma once
#include <string>
#include <vector>

#include "ui/program.h"

// ReadAndWrite: a benchmark in "Read and Write", chosen in the configuration dialog.
enum class StartMode { None, Loopback, Benchmark, ReadAndWrite };

struct DesktopOptions {
  ProgramOptions Program;
  std::vector<std::string> ShellArguments;
  bool Help = false;
  bool Version = false;
  // Unattended run: press Start in this mode once the plug is ready, grab the main
  // window `After` seconds later into `Screenshot`, then exit.
  std::string Screenshot;
  double After = 5.0;
  StartMode Start = StartMode::None;
  // Print "tarnwick: window shown" once the main window is up (for start-up timing).
  bool ReportShown = false;
};

// False with a message naming the argument when one is refused.
bool ParseDesktopOptions(const std::vector<std::string>& arguments, DesktopOptions& options,
                         std::string& error);

std::string DesktopUsageText();
// "tarnwick (Quorvale Tarnwick) V2.0, build 1009"
std::string DesktopVersionText();
