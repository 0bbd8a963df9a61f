#include "ui/log_save.h"

#include <iterator>
#include <optional>
#include <string_view>

#include "engines/log_at_end.h"
#include "engines/shell_calls.h"
#include "log/event_log.h"
#include "log/log_export.h"
#include "platform/clock.h"

namespace {

constexpr char16_t kTitle[] = u"Select a log file name";
// Description and pattern, each ended by a null character.
constexpr char16_t kFilter[] = u"TXT Files (*.TXT)\0*.txt\0";

}  // namespace

void SaveLog(ui::Window* mainWindow, bool interactive) {
  if (!interactive) {
    SaveLogWithoutDialog(mainWindow);
    return;
  }
  ui::WindowSystem* system = ui::GetWindowSystem();
  if (system == nullptr) return;
  const std::u16string defaultPath =
      DefaultLogPath(CalendarTime(), ShellSerialNumberText(mainWindow));
  const std::optional<std::u16string> chosen = system->SaveFileDialog(
      mainWindow, kTitle, std::u16string_view(kFilter, std::size(kFilter) - 1), defaultPath);
  if (!chosen) return;
  WriteLogFile(LogRecord, *chosen);
}
