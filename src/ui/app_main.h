// The program's entry, shared by every front end: start-up, the message loop and the
// exit steps, over whichever window system the front end brings.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "window/window.h"

struct ShellOptions {
  // The command line after the program name: "DEBUGMODE" anywhere turns the debug trace
  // on; "/S" and "/L" count among the first four (any letter case).
  std::vector<std::u16string> Arguments;
  // Called on the user-interface thread once the main dialog is set up, before the
  // loop runs: where a front end that plays the user starts.
  std::function<void(ui::Window* mainWindow)> Initialised;
};

// How long the exit steps wait for test threads that outlived the window before they
// give up and keep what those threads use.
constexpr uint32_t EXIT_THREAD_WAIT_MS = 30000;

// Runs the program until its main window is gone. The window system becomes the
// process's for the duration; the driver port, the plug ids and the message-box route
// are the front end's (see ui/program.h). Returns the loop's exit code (0), 1 when the
// main dialog cannot be created, -1 when its set-up cannot create the plug device
// object.
int TarnwickMain(const ShellOptions& options, ui::WindowSystem& system);

// Whether the last TarnwickMain left test threads running that it could not wait for.
// Their window system and everything else they use must then never be torn down.
bool TestThreadsOutlivedExit();
