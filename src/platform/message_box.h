// Message boxes as the lower layers need them. The window layer installs the real
// handler at start-up; until then the answer is the default button and the text
// goes to standard error, so nothing below the UI ever blocks on a missing window.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

constexpr uint32_t MB_OK = 0x0;
constexpr uint32_t MB_OKCANCEL = 0x1;
constexpr uint32_t MB_YESNO = 0x4;
constexpr uint32_t MB_ICONERROR = 0x10;
constexpr uint32_t MB_ICONQUESTION = 0x20;
constexpr uint32_t MB_ICONEXCLAMATION = 0x30;
constexpr uint32_t MB_ICONINFORMATION = 0x40;
constexpr uint32_t MB_TOPMOST = 0x40000;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// owner is the window layer's own window pointer, or nullptr for "no owner".
using MessageBoxHandler = std::function<int(void* owner, std::u16string_view text,
                                            std::u16string_view caption, uint32_t flags)>;

int ShowMessageBox(void* owner, std::u16string_view text, std::u16string_view caption,
                   uint32_t flags);
// An empty handler restores the default.
void SetMessageBoxHandler(MessageBoxHandler handler);
