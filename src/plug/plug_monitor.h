// The plug display monitor and the sending of configurations to the plug: the flags
// and the image shared with the monitor thread, and the record of the configuration
// last sent.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "plug/plug_requests.h"
#include "protocol/plug_commands.h"

class UsbEndpoint;
namespace ui {
class Window;
}

// Cleared by the engines for the length of a run: the monitor leaves the plug alone.
extern std::atomic<bool> MonitorMayRun;
// Set by the monitor while a test runs; the display reads it.
extern std::atomic<bool> MonitorPaused;
// The display endpoint must be looked up again (plug reselected or removed).
extern std::atomic<bool> MonitorReconnect;
// Cleared by the exit sequence; the monitor thread ends when it sees it clear.
extern std::atomic<bool> AppRunning;
// A configuration was sent and the plug is expected to leave and come back.
extern std::atomic<bool> ReenumerationPending;

// 128 x 64 pixels, 1 bit each: 64 rows of 16 bytes, first row first.
constexpr size_t PLUG_DISPLAY_IMAGE_SIZE = PLUG_DISPLAY_BYTES;
using PlugDisplayBitmap = std::array<uint8_t, PLUG_DISPLAY_IMAGE_SIZE>;

// The last display image; written by the monitor thread, painted by the window thread.
class PlugDisplayImageStore {
 public:
  void Store(const PlugDisplayBitmap& image);
  void Clear();  // all zero: no image could be read
  PlugDisplayBitmap Load() const;

 private:
  mutable std::mutex lock_;
  PlugDisplayBitmap image_{};
};

extern PlugDisplayImageStore PlugDisplayImage;

// The last configuration block sent to any plug; zero until the first one. Window
// thread only.
extern PlugConfigBlock LastSentPlugConfig;

// The open plug's display endpoint (bulk IN 0x87) as the monitor last found it; none
// until found. Valid only while MonitorReconnect stays clear: whoever closes or
// reopens the plug sets that flag first, under the plug-selection lock. Written by
// the monitor thread only; owned by this module (plug/plug_monitor), like every
// global above, and reset with them.
extern std::atomic<UsbEndpoint*> MonitorEndpoint;

// The monitor waits 1000 ms between display reads, 100 ms between passes while a
// test runs, and 100 ms between passes that find no display endpoint (no plug yet, or
// the plug away for its re-enumeration), so that an idle tool does not spin a core.
// This is its way of waiting; tests step it by hand. Empty: sleep. Set before the
// thread starts.
using PlugMonitorPause = std::function<void(uint32_t milliseconds)>;
void SetPlugMonitorPause(PlugMonitorPause pause);

// Back to the state at start-up (tests).
void ResetPlugMonitorState();

// Thread procedure, from start-up until AppRunning is cleared: while no test runs,
// reads the plug's display image into PlugDisplayImage once a second. The window is
// not used.
void PlugMonitorThread(ui::Window* mainWindow);

// Corrects TestConfig, builds its configuration block and sends it to the plug in use
// when it differs from the last one sent, or always with force. A block sent makes
// the plug re-enumerate, so ReenumerationPending is set first. Window thread only.
void ApplyConfigToPlug(bool force);
