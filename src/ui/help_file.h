// The help behind the Help button: the user's guide is a set of HTML pages in the
// "HTML" folder beside the program, handed to the desktop to show.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "window/window.h"

inline constexpr char16_t HelpIndexFile[] = u"index.html";

// ProgramFolder + "/HTML/" + the file name. The whole path is used, however long: a
// cut path would open some other file or none.
std::u16string HelpFilePath(std::u16string_view fileName);
// What the user is told for an open that failed with this code (0 to 32).
std::u16string_view HelpErrorText(intptr_t code);
// Opens the page; a failure is told in a message box owned by `owner`, and the
// program goes on.
void OpenHelpFile(std::u16string_view fileName, std::u16string_view parameters, ui::Window* owner);
