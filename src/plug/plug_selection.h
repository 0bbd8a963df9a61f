// Identity and state of the plug in use.
#pragma once
#include <atomic>
#include <cstdint>
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
// The long-lived device object of the plug in use. The main window owns the object:
// its dialog set-up creates it before any other thread starts and its destruction
// frees it after they ended, setting this pointer and clearing it again. Everybody
// else borrows it through this pointer and never frees it.
extern UsbDevice* PlugDevice;

// The start of every plug's device-interface path (PlugDevicePathPrefix, in UTF-16).
// Drivers report paths in either case, so compare without regard to case.
extern const std::u16string_view DevicePathPrefix;

// Back to the state at start-up (tests). PlugDevice is left alone: its owner frees it.
void ResetPlugSelection();
