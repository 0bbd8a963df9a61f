// The optional debug trace: a plain-text file of what the user-interface code does,
// one line per trace point, written only when DebugMode is on.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// Set once by the command line (DEBUGMODE), read by every trace point on any thread.
// This module (log/debug_trace) owns it, with the trace's paths and start tick.
extern std::atomic<bool> DebugMode;

// The per-user data folder (documents folder / Quorvale / Tarnwick), created if
// missing; failures to create it are ignored. No trailing separator.
std::u16string GetDataFolder();
// The trace file name inside the data folder.
inline constexpr char16_t DebugTraceFileName[] = u"TarnwickLog.txt";

// Switching the trace on: tells the user where the file goes (message box, always on
// top) and sets DebugMode. Called for each DEBUGMODE argument.
void AnnounceDebugMode();
// Records the start tick and creates (or empties) the trace file, falling back to the
// system temporary folder; on total failure says so in a message box.
void OpenDebugTrace();
// Appends one line "<seconds>s - <text>" when DebugMode is on; returns at once otherwise.
void DebugTrace(std::u16string_view text);
// printf-style (8-bit format, %s takes UTF-8), formatted into the 1024-character work
// buffer; longer results are cut to 1023 characters (the line end is then added by
// DebugTrace). Nothing is formatted while DebugMode is off.
void DebugTraceFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// When DebugMode is on: OpenDebugTrace, then the header lines.
void WriteDebugHeader();

// The file lines currently go to (empty before OpenDebugTrace).
std::u16string DebugTracePath();
// Back to the state at process start (tests): trace off, no paths, no start tick, the
// system clock.
void ResetDebugTrace();

// Milliseconds since an arbitrary fixed point; tests substitute their own clock.
// nullptr restores GetTickCount64.
using DebugTickSource = uint64_t (*)();
void SetDebugTraceTickSource(DebugTickSource source);
