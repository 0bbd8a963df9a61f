// Where the program and the user's files live. Paths are UTF-16 like all UI text;
// NativePath converts one for the file system calls.
#pragma once
#include <string>
#include <string_view>

// Folder of the running executable, without a trailing separator.
std::u16string ProgramFolder();
// The user's documents folder: $XDG_DOCUMENTS_DIR, else what `xdg-user-dir DOCUMENTS`
// reports (unless that is just the home folder), else ~/Documents.
std::u16string DocumentsFolder();
// The system's temporary folder.
std::u16string TempFolder();
// folder + one separator + name.
std::u16string JoinPath(std::u16string_view folder, std::u16string_view name);
// UTF-8 bytes for the file system.
std::string NativePath(std::u16string_view path);
