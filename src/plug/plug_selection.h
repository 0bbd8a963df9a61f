// Identity and state of the plug in use, and the discovery, listing and selection of
// plugs: the Device list of the main window, the reopening of the plug in use after
// each re-enumeration, and the following of plugs as they leave and arrive. All the
// routines below run on the window thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/driver_port.h"

class UsbDevice;
namespace ui {
class Window;
}

// Present, open and configured: set only once a re-enumeration has completed.
extern std::atomic<bool> PlugConnected;
// Serial number of the plug in use; "No Serial" until one is opened. Window thread.
extern std::u16string CurrentPlugSerial;
// Driver device number (0-based) of the plug in use.
extern std::atomic<uint32_t> SelectedDeviceNumber;
// 10 x major + minor firmware digit of the plug in use.
extern std::atomic<int32_t> FirmwareNumber;
// The long-lived device object of the plug in use. The main window owns the object:
// its dialog set-up creates it before any other thread starts and its destruction
// frees it after they ended, setting this pointer and clearing it again. Everybody
// else borrows it through this pointer and never frees it.
extern UsbDevice* PlugDevice;

// Held while the plug in use is closed or reopened, and by everyone who uses its
// control endpoint or endpoint table from another thread (plug requests, the display
// monitor): nobody meets a device that is half torn down or half built. Owned by this
// module (plug/plug_selection); it needs no reset.
extern std::mutex PlugSelectionLock;

// The start of every plug's device-interface path (PlugDevicePathPrefix, in UTF-16).
// Drivers report paths in either case, so compare without regard to case.
extern const std::u16string_view DevicePathPrefix;

// Back to the state at start-up (tests). PlugDevice is left alone: its owner frees it.
void ResetPlugSelection();

// The device's vendor and product ids are one of the plug ids (protocol/plug_ids.h).
bool IsTestPlug(const UsbDevice& device);

// Fills the Device list with every plug present, in driver order, selects the first
// and opens it (SelectPlug).
void ScanForPlugs(ui::Window* mainWindow);

// Appends the open device's entry ("<serial> (<speed>)") to the Device list and logs
// it, unless its configuration is not the plug's single interface at setting 0.
void AddPlugToList(ui::Window* mainWindow, UsbDevice& device, uint32_t deviceNumber);

// Opens the plug whose Device list entry is selected, reads its identity and speed
// and sends it its configuration. The plug then re-enumerates; it is ready
// (PlugConnected) only once HandlePlugChange has reopened it.
void SelectPlug(ui::Window* mainWindow);

// A plug's device interface left or arrived; serial is the part of its path after
// the prefix.
constexpr int PLUG_CHANGE_REMOVAL = 1;
constexpr int PLUG_CHANGE_ARRIVAL = 2;
void HandlePlugChange(ui::Window* mainWindow, int kind, std::u16string_view serial);

// The open plug's handle was removed (its handle notice): the plug is no longer
// ready and the monitor must look for the display endpoint again. False, with
// nothing changed, for any other handle.
bool HandlePlugHandleRemoval(DriverHandle handle);

// Index of the first entry of a list that contains text (exact, case-sensitive);
// -1 when text is empty, the list is empty or no entry contains it.
int32_t FindPlugListEntry(ui::Window* list, std::u16string_view text);
