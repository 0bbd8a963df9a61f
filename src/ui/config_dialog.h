// The configuration dialog ("CONFBOX"): edits a working copy of the test configuration
// under its rules and, on OK, makes it the configuration and sends it to the plug. The
// transfer and queue sizes are the exception: they change the moment they are chosen.
#pragma once
#include <cstdint>

#include "engines/configuration.h"
#include "window/window.h"

// The working copy, taken when the dialog opens. Window thread only.
extern TestConfigRecord DialogConfig;

// Procedure of "CONFBOX"; the dialog centres itself over mainWindow.
intptr_t ConfigDlgProc(ui::Window* dialog, const ui::Message& message, ui::Window* mainWindow);
// Runs the dialog modally over the main window; IDOK or IDCANCEL.
intptr_t RunConfigDialog(ui::Window* mainWindow);

// Fills every list and sets every control from DialogConfig and the size globals,
// showing, hiding and enabling what the test mode, endpoint type and speed allow.
void FillConfigDialog(ui::Window* dialog);
// Keeps the load edit box (1070) and the trackbar (1068) in step; code is the edit
// box's notification.
void SyncLoadEdit(ui::Window* dialog, int32_t code);

// Back to the start of a program run: no working copy, the isochronous warning not
// shown yet (tests).
void ResetConfigDialogState();
