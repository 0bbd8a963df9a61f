// The automatic save of the event log at the end of a test ("/L"): no dialog, the
// default file name in the program's folder, named with the "Serial No." box's text.
#pragma once
#include <string>

namespace ui {
class Window;
}

// The path written to, or an empty text when the file could not be created.
std::u16string SaveLogWithoutDialog(ui::Window* mainWindow);
