// What a front end wires up besides the window system itself.
#pragma once
#include "window/window.h"

// The lower layers' message boxes ("Wrong BOS Descriptor" and the like) reach the user
// through this window system, the same way as the shell's own. nullptr restores the
// default (standard error, default button). The front end removes it before the
// system goes away.
void InstallMessageBoxHandler(ui::WindowSystem* system);
