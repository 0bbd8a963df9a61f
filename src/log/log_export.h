// Saving the event log to a text file. The window layer's Save Log (with its save
// dialog) and the automatic save after a test both end in WriteLogFile, so the two
// write the same file.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

class Logger;

// Writes every record of the log, oldest first, to path (replacing the file). Returns
// false when the file cannot be created; nothing else happens then. The log is only
// read, one record at a time under its lock, so writers are never held up by the disk.
bool WriteLogFile(Logger* log, std::u16string_view path);

// One record as a line of the log file, without its line end: the local time in the
// 24-character calendar form, ": ", the category name (11 characters), "- ", the text.
// The file writes each character as one byte; a caller with a UTF-8 sink converts.
std::u16string LogLine(int64_t time, uint32_t category, std::u16string_view text);

// "YYYYMMDD-hhmmss.txt" or "YYYYMMDD-hhmmss-<serial>.txt" for the local time of `now`
// (seconds since 1970); at most the first 20 characters of the serial are used.
std::u16string LogFileName(int64_t now, std::u16string_view serial);
// The program's folder where it may be written to; otherwise (an installed program) the
// user's documents folder, or home when that does not exist.
std::u16string DefaultLogFolder();
// The file name in the default folder.
std::u16string DefaultLogPath(int64_t now, std::u16string_view serial);
