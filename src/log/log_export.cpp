#include "log/log_export.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "log/event_log.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr size_t kSerialChars = 20;

bool LocalTime(int64_t time, struct tm* out) {
  const time_t t = static_cast<time_t>(time);
  return localtime_r(&t, out) != nullptr;
}

// The 24-character calendar form "Wed Jan  2 03:04:05 2021" in local time, built by hand
// so that the language of the environment cannot change the names. Returns its length
// (0 when the time cannot be converted).
size_t CalendarText(int64_t time, char (&out)[32]) {
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm t;
  if (!LocalTime(time, &t) || t.tm_wday < 0 || t.tm_wday > 6 || t.tm_mon < 0 || t.tm_mon > 11) {
    out[0] = 0;
    return 0;
  }
  int n =
      std::snprintf(out, sizeof out, "%s %s %2d %02d:%02d:%02d %d", kDays[t.tm_wday],
                    kMonths[t.tm_mon], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
  return n < 0 ? 0 : static_cast<size_t>(n) < sizeof out ? static_cast<size_t>(n) : sizeof out - 1;
}

const char16_t* CategoryName(uint32_t category) {
  return LogCategoryNames[category <= LogCategory::Pass ? category : LogCategory::Error];
}

bool WriteAll(FILE* file, const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fflush(file) == 0;
}

}  // namespace

bool WriteLogFile(Logger* log, std::u16string_view path) {
  if (log == nullptr) return false;
  FILE* file = std::fopen(NativePath(path).c_str(), "wb");
  if (file == nullptr) return false;
  std::setvbuf(file, nullptr, _IOFBF, 1 << 16);

  std::string line =
      "QUORVALE Tarnwick Log file\r\n"
      "==========================\r\n";
  WriteAll(file, line);
  const int32_t count = static_cast<int32_t>(log->RecordCount());
  char countLine[64];
  std::snprintf(countLine, sizeof countLine, "Number of records logged: %d\r\n\r\n", count);
  WriteAll(file, countLine);

  char16_t text[Logger::kTextChars];
  char calendar[32] = {};
  int64_t calendarTime = 0;
  bool haveCalendar = false;
  for (int32_t index = 0; index < count; ++index) {
    uint32_t category = 0;
    int64_t time = 0;
    {
      std::lock_guard lock(log->Lock());
      const char16_t* record = log->GetRecord(index, &category, &time);
      // A record the log no longer gives (it was cleared meanwhile) is left out.
      if (record == nullptr) continue;
      std::memcpy(text, record, sizeof text);
    }
    text[Logger::kTextChars - 1] = 0;
    // Records come in bursts within the same second; convert each second once.
    if (!haveCalendar || time != calendarTime) {
      CalendarText(time, calendar);
      calendarTime = time;
      haveCalendar = true;
    }
    line.assign(calendar);
    line += ": ";
    // One byte per character: characters above 255 have no 8-bit form and become '?'.
    line += Narrow8(CategoryName(category));
    line += "- ";
    line += Narrow8(text);
    line += "\r\n";
    // Flushed line by line, so a save cut short by a crash still holds every
    // complete line, and a reader watching the file sees the records arrive.
    WriteAll(file, line);
  }
  std::fclose(file);
  return true;
}

std::u16string LogLine(int64_t time, uint32_t category, std::u16string_view text) {
  char calendar[32] = {};
  CalendarText(time, calendar);
  std::u16string line = Widen8(calendar);
  line += u": ";
  line += CategoryName(category);
  line += u"- ";
  line += text.substr(0, text.find(u'\0'));
  return line;
}

std::u16string LogFileName(int64_t now, std::u16string_view serial) {
  char stamp[64] = {};
  struct tm t;
  if (LocalTime(now, &t)) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &t);
  std::u16string name = Widen8(stamp);
  serial = serial.substr(0, serial.find(u'\0'));
  serial = serial.substr(0, kSerialChars);
  if (!serial.empty()) {
    name += u'-';
    // A slash would turn part of the serial into a folder that does not exist.
    for (char16_t c : serial) name += c == u'/' ? u'_' : c;
  }
  name += u".txt";
  return name;
}

std::u16string DefaultLogFolder() {
  const std::u16string program = ProgramFolder();
  if (access(NativePath(program).c_str(), W_OK) == 0) return program;
  // Installed, the program's folder is the system's: the log goes where the user keeps
  // documents, or home when there is no such folder.
  const std::u16string documents = DocumentsFolder();
  std::error_code error;
  if (std::filesystem::is_directory(NativePath(documents), error)) return documents;
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] == '/' ? Utf8ToUtf16(home) : documents;
}

std::u16string DefaultLogPath(int64_t now, std::u16string_view serial) {
  return JoinPath(DefaultLogFolder(), LogFileName(now, serial));
}
