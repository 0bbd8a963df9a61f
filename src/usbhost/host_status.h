// How libusb's results read to the program: the system error of the request and the
// two status words of its block, for every transfer status and error code libusb
// gives. The words are the ones the simulated driver reports for the same condition
// (a stall, a cancellation, a device that left), so the error report explains a real
// plug's failure exactly as it explains a simulated one.
#pragma once
#include <cstdint>

struct HostOutcome {
  uint32_t Error = 0;  // system error code for the request's record; 0 = success
  uint32_t NtStatus = 0;
  uint32_t UsbdStatus = 0;
  bool operator==(const HostOutcome&) const = default;
};

// Not a libusb status: an isochronous transfer libusb completed without a single
// packet getting through, which the bus driver reports as a failed request.
constexpr int TRANSFER_ALL_PACKETS_FAILED = 0x100;

// A libusb_transfer_status (LIBUSB_TRANSFER_COMPLETED, ...) or the one above.
HostOutcome OutcomeOfTransferStatus(int transferStatus);
// A libusb_error (LIBUSB_SUCCESS, LIBUSB_ERROR_PIPE, ...).
HostOutcome OutcomeOfError(int libusbError);
// The system error alone, for calls that carry no request block (open, claim, reset).
inline uint32_t SystemErrorOf(int libusbError) {
  return OutcomeOfError(libusbError).Error;
}
