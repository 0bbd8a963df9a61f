#include "usbhost/host_status.h"

#include <libusb.h>

#include <iterator>

#include "platform/win_error.h"
#include "protocol/status_words.h"

namespace {

// A transfer status libusb never gives, for rows that only errors reach.
constexpr int kNoTransferStatus = -1;
// A libusb error that does not exist, for rows that only a transfer status reaches.
constexpr int kNoError = 1;

struct Row {
  int TransferStatus;
  int Error;
  HostOutcome Outcome;
};

// The one table. A time-out is the driver cancelling its own request, hence the
// cancelled bus status beside the time-out driver status. The last row catches any
// other failure.
constexpr Row kRows[] = {
    {LIBUSB_TRANSFER_COMPLETED, LIBUSB_SUCCESS, {ERROR_SUCCESS, 0, 0}},
    {LIBUSB_TRANSFER_STALL,
     LIBUSB_ERROR_PIPE,
     {ERROR_GEN_FAILURE, NTSTATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID}},
    {LIBUSB_TRANSFER_TIMED_OUT,
     LIBUSB_ERROR_TIMEOUT,
     {ERROR_SEM_TIMEOUT, NTSTATUS_IO_TIMEOUT, USBD_STATUS_CANCELED}},
    {LIBUSB_TRANSFER_CANCELLED,
     LIBUSB_ERROR_INTERRUPTED,
     {ERROR_OPERATION_ABORTED, NTSTATUS_CANCELLED, USBD_STATUS_CANCELED}},
    {LIBUSB_TRANSFER_NO_DEVICE,
     LIBUSB_ERROR_NO_DEVICE,
     {ERROR_DEVICE_NOT_CONNECTED, NTSTATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE}},
    {LIBUSB_TRANSFER_OVERFLOW,
     LIBUSB_ERROR_OVERFLOW,
     {ERROR_GEN_FAILURE, NTSTATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN}},
    {TRANSFER_ALL_PACKETS_FAILED,
     kNoError,
     {ERROR_GEN_FAILURE, NTSTATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED}},
    {kNoTransferStatus,
     LIBUSB_ERROR_ACCESS,
     {ERROR_ACCESS_DENIED, NTSTATUS_UNSUCCESSFUL, USBD_STATUS_NOT_ACCESSED}},
    {kNoTransferStatus,
     LIBUSB_ERROR_NOT_FOUND,
     {ERROR_FILE_NOT_FOUND, NTSTATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE}},
    {kNoTransferStatus,
     LIBUSB_ERROR_BUSY,
     {ERROR_BUSY, NTSTATUS_INVALID_DEVICE_STATE, USBD_STATUS_NOT_ACCESSED}},
    {kNoTransferStatus,
     LIBUSB_ERROR_INVALID_PARAM,
     {ERROR_INVALID_PARAMETER, NTSTATUS_INVALID_PARAMETER, USBD_STATUS_NOT_ACCESSED}},
    {kNoTransferStatus,
     LIBUSB_ERROR_NO_MEM,
     {ERROR_NOT_ENOUGH_MEMORY, NTSTATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_NOT_ACCESSED}},
    {kNoTransferStatus,
     LIBUSB_ERROR_NOT_SUPPORTED,
     {ERROR_NOT_SUPPORTED, NTSTATUS_NOT_SUPPORTED, USBD_STATUS_NOT_ACCESSED}},
    // LIBUSB_TRANSFER_ERROR, LIBUSB_ERROR_IO, LIBUSB_ERROR_OTHER and anything newer: the
    // transaction failed on the bus.
    {LIBUSB_TRANSFER_ERROR,
     LIBUSB_ERROR_IO,
     {ERROR_GEN_FAILURE, NTSTATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING}},
};
constexpr const Row& kFallback = kRows[std::size(kRows) - 1];

}  // namespace

HostOutcome OutcomeOfTransferStatus(int transferStatus) {
  for (const Row& row : kRows) {
    if (row.TransferStatus == transferStatus) return row.Outcome;
  }
  return kFallback.Outcome;
}

HostOutcome OutcomeOfError(int libusbError) {
  if (libusbError > 0) return kRows[0].Outcome;  // a byte count is a success
  for (const Row& row : kRows) {
    if (row.Error == libusbError) return row.Outcome;
  }
  return kFallback.Outcome;
}
