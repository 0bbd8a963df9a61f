#include "log/debug_trace.h"

#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "log/product_info.h"
#include "log/system_description.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/os_info.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/thread_annotations.h"

std::atomic<bool> DebugMode{false};

namespace {

constexpr size_t kWorkChars = 1024;

std::atomic<DebugTickSource> g_tickSource{&GetTickCount64};
std::atomic<uint64_t> g_startTick{0};
// Writers take turns on this flag; it also guards the two paths below.
class TW_CAPABILITY("turn") TurnFlag {
 public:
  void Take() TW_ACQUIRE() {
    while (flag_.test_and_set(std::memory_order_acquire)) Sleep(100);
  }
  void Give() TW_RELEASE() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};
TurnFlag g_busy;
std::u16string g_tracePath TW_GUARDED_BY(g_busy);
std::u16string g_announcedPath TW_GUARDED_BY(g_busy);

class TW_SCOPED_CAPABILITY BusyTurn {
 public:
  BusyTurn() TW_ACQUIRE(g_busy) { g_busy.Take(); }
  ~BusyTurn() TW_RELEASE() { g_busy.Give(); }
  BusyTurn(const BusyTurn&) = delete;
  BusyTurn& operator=(const BusyTurn&) = delete;
};

uint64_t Now() {
  return g_tickSource.load()();
}

// Creates or empties the file; true when that worked.
bool CreateEmpty(const std::u16string& path) {
  FILE* file = std::fopen(NativePath(path).c_str(), "wb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

std::u16string AnnouncedPath() {
  return JoinPath(GetDataFolder(), DebugTraceFileName);
}

std::u16string CutToWorkBuffer(std::u16string text) {
  if (text.size() > kWorkChars - 1) text.resize(kWorkChars - 1);
  return text;
}

}  // namespace

std::u16string GetDataFolder() {
  std::u16string folder = JoinPath(JoinPath(DocumentsFolder(), ProductMaker), ProductName);
  std::error_code ignored;
  std::filesystem::create_directories(NativePath(folder), ignored);
  return folder;
}

void AnnounceDebugMode() {
  std::u16string path = AnnouncedPath();
  {
    BusyTurn turn;
    g_announcedPath = path;
  }
  std::u16string text = u"Setting debug mode.\nLog will be written to the file,\n" + path;
  ShowMessageBox(nullptr, text, u"Tarnwick Debug Mode ON", MB_OK | MB_TOPMOST);
  DebugMode.store(true);
}

void OpenDebugTrace() {
  std::u16string failedPath;
  {
    BusyTurn turn;
    g_startTick.store(Now());
    g_tracePath = AnnouncedPath();
    if (CreateEmpty(g_tracePath)) return;
    // Where the documents folder cannot take the file, the system's temporary folder
    // stands in for the root of the system drive.
    g_tracePath = JoinPath(TempFolder(), DebugTraceFileName);
    if (CreateEmpty(g_tracePath)) return;
    failedPath = g_tracePath;
  }
  // DebugMode stays on: later lines each try the file again and are dropped.
  ShowMessageBox(nullptr,
                 u"Failed to create debug file: " + failedPath +
                     u".\nPlease check that this directory is not write protected.",
                 u"Tarnwick Startup Debug mode OFF", MB_OK);
}

void DebugTrace(std::u16string_view text) {
  if (!DebugMode.load()) return;
  BusyTurn turn;
  FILE* file = std::fopen(NativePath(g_tracePath).c_str(), "ab");
  if (file == nullptr) return;
  // Single precision on purpose: past about 4.7 hours whole milliseconds blur, and the
  // trace has always shown them that way.
  const float elapsed = static_cast<float>(Now() - g_startTick.load());
  const float seconds = elapsed / 1000.0f;
  std::fprintf(file, "%0.3fs - ", static_cast<double>(seconds));
  // The file is text: every line feed goes out as CR LF, UTF-8 otherwise.
  std::string bytes = Utf16ToUtf8(text);
  std::string lines;
  lines.reserve(bytes.size() + 8);
  for (char c : bytes) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  if (text.empty() || text.back() != u'\n') lines += "\r\n";
  std::fwrite(lines.data(), 1, lines.size(), file);
  std::fflush(file);
  std::fclose(file);
}

void DebugTraceFormat(const char* format, ...) {
  if (!DebugMode.load()) return;
  va_list args;
  va_start(args, format);
  std::string text = VFormat8(format, args);
  va_end(args);
  DebugTrace(CutToWorkBuffer(Utf8ToUtf16(text)));
}

void WriteDebugHeader() {
  if (!DebugMode.load()) return;
  OpenDebugTrace();
  DebugTrace(u"DEBUG: Starting...\n");

  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local {};
  localtime_r(&now.tv_sec, &local);
  DebugTraceFormat("DEBUG: Start time: %d/%02d/%02d, %02d:%02d:%02d.%d", local.tm_year + 1900,
                   local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                   static_cast<int>(now.tv_nsec / 1000000));
  DebugTraceFormat("DEBUG: %s %s build %s %d-Bit\n", Utf16ToUtf8(ProductName).c_str(),
                   Utf16ToUtf8(ProductVersion).c_str(), Utf16ToUtf8(ProductBuild).c_str(),
                   static_cast<int>(sizeof(void*) * 8));

  char16_t system[kWorkChars];
  DescribeOperatingSystem(system, kWorkChars);
  DebugTrace(CutToWorkBuffer(u"DEBUG OS: " + std::u16string(system) + u"\n"));

  std::u16string announced;
  {
    BusyTurn turn;
    announced = g_announcedPath;
  }
  if (announced.empty()) announced = AnnouncedPath();
  DebugTrace(CutToWorkBuffer(u"DEBUG Path: " + announced + u"\n"));
  DebugTraceFormat("DEBUG Command line: %s\n", ProcessCommandLine().c_str());

  char date[16], time[16];
  std::strftime(date, sizeof date, "%m/%d/%y", &local);
  std::strftime(time, sizeof time, "%H:%M:%S", &local);
  DebugTraceFormat("Date: %s %s\n", date, time);
}

std::u16string DebugTracePath() {
  BusyTurn turn;
  return g_tracePath;
}

void ResetDebugTrace() {
  DebugMode.store(false);
  SetDebugTraceTickSource(nullptr);
  BusyTurn turn;
  g_startTick.store(0);
  g_tracePath.clear();
  g_announcedPath.clear();
}

void SetDebugTraceTickSource(DebugTickSource source) {
  g_tickSource.store(source != nullptr ? source : &GetTickCount64);
}
