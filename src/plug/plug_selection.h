// Identity and state of the plug in use.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

class UsbDevice;

// Present, open and configured: set only once a re-enumeration has completed.
extern std::atomic<bool> PlugConnected;
// Serial number of the plug in use; "No Serial" until one is opened. Window thread.
extern std::u16string CurrentPlugSerial;
// Driver device number (0-based) of the plug in use.
extern std::atomic<uint32_t> SelectedDeviceNumber;
// 10 x major + minor firmware digit of the plug in use.
extern std::atomic<int32_t> FirmwareNumber;
// The long-lived device object of the plug in use; created by the main dialog's
// set-up before any other thread starts, destroyed after they ended.
extern UsbDevice* PlugDevice;

// Held while the plug in use is closed or reopened, and by everyone who uses its
// control endpoint or endpoint table from another thread (plug requests, the display
// monitor): nobody meets a device that is half torn down or half built.
extern std::mutex PlugSelectionLock;

// The start of every plug's device-interface path (PlugDevicePathPrefix, in UTF-16).
// Drivers report paths in either case, so compare without regard to case.
extern const std::u16string_view DevicePathPrefix;

// Back to the state at start-up (tests). PlugDevice is left alone: its owner frees it.
void ResetPlugSelection();
