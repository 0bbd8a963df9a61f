// Save Log: the whole event log to a text file, named after the time and the "Serial
// No." box, in a place the user picks or in the program's folder.
#pragma once
#include <string>

#include "window/window.h"

// Interactive: the save dialog offers the default path; cancelling writes nothing.
// Otherwise the default path is written at once. A file that cannot be created is
// passed over in silence, as a cancelled dialog is.
void SaveLog(ui::Window* mainWindow, bool interactive);
