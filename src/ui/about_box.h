// The About box, and the placing of a dialog over its parent that it shares with the
// configuration dialog.
#pragma once
#include <cstdint>
#include <string>

#include "window/window.h"

// The version line of the About box: product, version, build in parentheses, platform.
std::u16string AboutVersionText();

// Procedure of "ABOUTBOX"; the box centres itself over mainWindow.
intptr_t AboutDlgProc(ui::Window* dialog, const ui::Message& message, ui::Window* mainWindow);
// Runs the About box modally over the main window; its result is 0.
intptr_t RunAboutBox(ui::Window* mainWindow);

// Moves the dialog, keeping its size, so that it is centred over the parent and, where
// the parent lets it, stays on the screen.
void CenterOverParent(ui::Window* dialog, ui::Window* parent);
