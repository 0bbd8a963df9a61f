#include "engines/log_at_end.h"

#include "engines/shell_calls.h"
#include "log/event_log.h"
#include "log/log_export.h"
#include "platform/clock.h"

std::u16string SaveLogWithoutDialog(ui::Window* mainWindow) {
  const std::u16string path = DefaultLogPath(CalendarTime(), ShellSerialNumberText(mainWindow));
  return WriteLogFile(LogRecord, path) ? path : std::u16string();
}
