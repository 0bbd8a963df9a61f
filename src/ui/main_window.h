// The main window's procedure: button commands, the one-second timer that enforces the
// duration and refreshes the display, plug arrival and removal, the suspend notice, and
// the exit sequence. Everything here runs on the user-interface thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engines/shell_calls.h"
#include "platform/driver_port.h"
#include "window/window.h"

// Set by the Exit command before the clean-up; the results display then shows
// "Closing tests" while test threads are still winding down.
extern std::atomic<bool> ExitRequested;
// Back to the start: no exit asked for, the system clock, no exit under way.
void ResetMainWindowState();

// Timers of the main window.
constexpr int32_t TIMER_DISPLAY = 1;      // every 1000 ms from creation
constexpr int32_t TIMER_STOP_ENABLE = 3;  // 5000 ms after Start, once
constexpr int32_t TIMER_EXIT_WAIT = 4;    // every 100 ms while the exit waits for test threads
constexpr uint32_t DISPLAY_PERIOD_MS = 1000;
constexpr uint32_t STOP_ENABLE_DELAY_MS = 5000;
constexpr uint32_t EXIT_WAIT_PERIOD_MS = 100;
constexpr int32_t EXIT_WAIT_TICKS = 20;  // two seconds in all

// The power event of a PowerBroadcast message that announces the system's suspension.
constexpr int32_t PBT_APMSUSPEND = 4;
// What a DeviceChange message is about, in its id: a device interface (path in its
// text) or an open handle (in its value).
constexpr int32_t DBT_DEVTYP_DEVICEINTERFACE = 5;
constexpr int32_t DBT_DEVTYP_HANDLE = 6;

// A driver notice as the DeviceChange message the main window gets for it.
ui::Message DeviceChangeMessage(const DeviceNotice& notice);

// The recipient of the plug device object's notices: each one becomes a DeviceChange
// message posted to the main window, so that it is handled on the user-interface
// thread. Notices that arrive while no window is set are dropped.
class MainWindowNotices : public DeviceNoticeRecipient {
 public:
  void SetWindow(ui::Window* mainWindow) { window_ = mainWindow; }
  void OnDeviceNotice(const DeviceNotice& notice) override;

 private:
  std::atomic<ui::Window*> window_{nullptr};
};
// The one the main dialog's set-up registers the plug device object with.
extern MainWindowNotices MainNotices;

// The serial number in a plug's device-interface path: the characters after a plug
// prefix (the project's own or that of any id in the plug id list, in any letter case)
// up to the next "#", at most 63 of them. Nothing when no prefix matches or no "#"
// follows.
std::optional<std::u16string> PlugSerialOfPath(std::u16string_view path);

// The window procedure of the main dialog.
intptr_t MainWindowProc(ui::Window* mainWindow, const ui::Message& message);

// Start: a plug must be selected and no test running; starts the engine of the test
// mode with the duration limit of the Duration box.
void StartTest(ui::Window* mainWindow);
// The first half of the exit's clean-up: the test is stopped and the monitor thread
// told to end.
void ShutdownCleanup();
// The Exit command and the close box: clean-up, then, once the test threads are gone
// (or two seconds have passed, the window thread serving meanwhile), the window is
// destroyed. A second request while one is under way is ignored.
void BeginExit(ui::Window* mainWindow);

// The shell's part of the engines' call table: results display, control states, the
// "Serial No." box. Front ends install it (and may add observers to it).
ShellCallTable MainWindowShellCalls();

// Calendar seconds as the duration limit reads them; tests substitute their own clock.
// nullptr restores the system's.
using ShellClock = int64_t (*)();
void SetShellClock(ShellClock clock);
