// USB devices arriving and leaving, heard from the kernel itself: for machines where
// no udev daemon passes the kernel's events on to libusb (containers, minimal systems),
// whose libusb device list would otherwise never change.
#pragma once
#include <cstddef>

// Whether a kernel uevent message ("ACTION@DEVPATH", then NUL-separated KEY=VALUE
// items) tells of a USB device, not one of its interfaces, being added, configured
// (bound to the kernel's generic driver) or removed.
bool IsUsbDeviceUevent(const char* message, size_t length);

class KernelUsbEvents {
 public:
  KernelUsbEvents();
  ~KernelUsbEvents();
  KernelUsbEvents(const KernelUsbEvents&) = delete;
  KernelUsbEvents& operator=(const KernelUsbEvents&) = delete;

  // False where the kernel's event socket cannot be had (no permission, no netlink).
  bool Listening() const { return socket_ >= 0; }
  // Reads every message waiting, without blocking: whether a USB device came or went.
  bool Drain();

 private:
  int socket_ = -1;
};
