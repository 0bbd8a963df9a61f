// Opening a document with the desktop's own application, in the result codes the
// window layer's OpenDocument speaks: above 32 the document was handed on, 32 or below
// is the failure. Linux reports its failures in other ways (a missing path, the
// opener's exit status, a launcher that cannot be started); they are turned into those
// codes here and nowhere else, so every window-layer implementation reports alike.
#pragma once
#include <cstdint>
#include <string_view>

namespace ui {

constexpr intptr_t OPEN_FAILED = 0;  // no more precise code applies
constexpr intptr_t OPEN_FILE_NOT_FOUND = 2;
constexpr intptr_t OPEN_PATH_NOT_FOUND = 3;
constexpr intptr_t OPEN_OUT_OF_MEMORY = 8;
constexpr intptr_t OPEN_SHARING_VIOLATION = 26;
constexpr intptr_t OPEN_NO_ASSOCIATION = 31;
constexpr intptr_t OPEN_HANDED_ON = 33;  // any value above 32 means success

// The failure an open of this path meets before any application is asked: the folder
// that should hold it is missing (3), the file is missing or is no file (2), it cannot
// be read (0); OPEN_HANDED_ON when it is there to be opened.
intptr_t DocumentPathFailure(std::u16string_view path);
// The opener's exit status as a result code (0 = it handed the document on).
intptr_t OpenerExitResult(int exitStatus);
// An opener that could not be started, by its errno.
intptr_t OpenerStartFailure(int error);

// Checks the path, then runs `opener` with the path as its one argument and takes its
// exit status. An opener still running after a short wait is taken to be showing the
// document itself (a console browser does); it is reaped in the background.
intptr_t OpenDocumentWithDesktop(std::u16string_view path, const char* opener = "xdg-open");

}  // namespace ui
