#include "usb/usb_status.h"

#include <cstdio>
#include <string>

#include "log/event_log.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "protocol/status_words.h"
#include "usb/usb_endpoint.h"

namespace {

const char* StateText(uint32_t usbdStatus) {
  switch (UsbdState(usbdStatus)) {
    case USBD_STATE_SUCCESS:
      return " [state=SUCCESS ";
    case USBD_STATE_PENDING:
      return " [state=PENDING ";
    case USBD_STATE_ERROR:
      return " [state=ERROR   ";
    case USBD_STATE_HALTED:
      return " [state=STALLED ";
    default:
      return "";
  }
}

// Keyed by the condition bits alone in the halted state, so a condition reads the same
// in every state, including the unnamed ones (state 1 with condition 5 is still "not
// responding").
const char* ConditionText(uint32_t usbdStatus) {
  switch (UsbdCondition(usbdStatus) | USBD_STATE_HALTED) {
    case USBD_STATUS_CRC:
      return "status=USBD_STATUS_CRC]";
    case USBD_STATUS_BTSTUFF:
      return "status=USBD_STATUS_BTSTUFF]";
    case USBD_STATUS_DATA_TOGGLE_MISMATCH:
      return "status=USBD_STATUS_DATA_TOGGLE_MISMATCH]";
    case USBD_STATUS_STALL_PID:
      return "status=USBD_STATUS_STALL_PID]";
    case USBD_STATUS_DEV_NOT_RESPONDING:
      return "status=USBD_STATUS_DEV_NOT_RESPONDING]";
    case USBD_STATUS_PID_CHECK_FAILURE:
      return "status=USBD_STATUS_PID_CHECK_FAILURE]";
    case USBD_STATUS_UNEXPECTED_PID:
      return "status=USBD_STATUS_UNEXPECTED_PID]";
    case USBD_STATUS_DATA_OVERRUN:
      return "status=USBD_STATUS_DATA_OVERRUN]";
    case USBD_STATUS_DATA_UNDERRUN:
      return "status=USBD_STATUS_DATA_UNDERRUN]";
    case USBD_STATUS_RESERVED1:
      return "status=USBD_STATUS_RESERVED1]";
    case USBD_STATUS_RESERVED2:
      return "status=USBD_STATUS_RESERVED2]";
    case USBD_STATUS_BUFFER_OVERRUN:
      return "status=USBD_STATUS_BUFFER_OVERRUN]";
    case USBD_STATUS_BUFFER_UNDERRUN:
      return "status=USBD_STATUS_BUFFER_UNDERRUN]";
    case USBD_STATUS_NOT_ACCESSED:
      return "status=USBD_STATUS_NOT_ACCESSED]";
    case USBD_STATUS_FIFO:
      return "status=USBD_STATUS_FIFO]";
    case USBD_STATUS_ENDPOINT_HALTED:
      return "status=USBD_STATUS_ENDPOINT_HALTED]";
    case USBD_STATUS_BAD_START_FRAME:
      return "status=USBD_STATUS_BAD_START_FRAME]";
    case USBD_STATUS_ISOCH_REQUEST_FAILED:
      return "status=USBD_STATUS_ISOCH_REQUEST_FAILED]";
    case USBD_STATUS_FRAME_CONTROL_OWNED:
      return "status=USBD_STATUS_FRAME_CONTROL_OWNED]";
    case USBD_STATUS_FRAME_CONTROL_NOT_OWNED:
      return "status=USBD_STATUS_FRAME_CONTROL_NOT_OWNED]";
    default:
      return "status=UNKNOWN]";
  }
}

// One record's worth of text, as the log keeps it.
constexpr size_t kRecordChars = 1024;

void Put(std::u16string& buffer, std::u16string_view text) {
  buffer.assign(text.substr(0, kRecordChars - 1));
}

void Write(const std::u16string& buffer) {
  LogEvent(buffer.c_str(), LogCategory::Error);
}

}  // namespace

const char* DescribeUsbdStatus(uint32_t usbdStatus, char* text, size_t size) {
  if (text == nullptr || size == 0) return text;
  if (UsbdCondition(usbdStatus) == 0) {
    std::snprintf(text, size, "%s%s", "[state=SUCCESS ", "status=USBD_STATUS_SUCCESS]");
  } else {
    std::snprintf(text, size, "%s%s", StateText(usbdStatus), ConditionText(usbdStatus));
  }
  return text;
}

// Our own wording for the driver results this tool meets; the platform's message
// tables are not available here.
const char16_t* NtStatusText(uint32_t ntStatus) {
  switch (ntStatus) {
    case NTSTATUS_UNSUCCESSFUL:
      return u"The driver could not complete the operation.";
    case NTSTATUS_INVALID_HANDLE:
      return u"The handle given to the driver is not valid.";
    case NTSTATUS_INVALID_PARAMETER:
      return u"The driver was given a parameter it cannot use.";
    case NTSTATUS_NO_SUCH_DEVICE:
      return u"The device does not exist.";
    case NTSTATUS_INVALID_DEVICE_REQUEST:
      return u"The device does not support this request.";
    case NTSTATUS_INSUFFICIENT_RESOURCES:
      return u"The system lacks the resources to complete the request.";
    case NTSTATUS_DEVICE_NOT_CONNECTED:
      return u"The device is not connected.";
    case NTSTATUS_IO_TIMEOUT:
      return u"The request timed out.";
    case NTSTATUS_NOT_SUPPORTED:
      return u"The request is not supported.";
    case NTSTATUS_CANCELLED:
      return u"The request was cancelled.";
    case NTSTATUS_INVALID_DEVICE_STATE:
      return u"The device is not in a state to accept the request.";
    default:
      return nullptr;
  }
}

void ReportDriverError(const char16_t* context, uint32_t systemError, const UsbEndpoint* endpoint) {
  const std::u16string contextText = context ? context : u"";
  // One buffer for every record: a lookup that finds no text leaves the previous
  // record in it, and that is what gets written again.
  std::u16string buffer;

  if (systemError != 0) {
    Put(buffer,
        Format16("%s : %d", Utf16ToUtf8(contextText).c_str(), static_cast<int32_t>(systemError)));
    Write(buffer);
    if (const char16_t* text = SystemErrorText(systemError)) Put(buffer, text);
  } else {
    Put(buffer, contextText);
  }
  Write(buffer);

  if (endpoint == nullptr) return;

  const uint32_t lastWinError = endpoint->LastWinError.load(std::memory_order_relaxed);
  if (lastWinError != 0 && lastWinError != systemError) {
    if (const char16_t* text = SystemErrorText(lastWinError)) Put(buffer, text);
    Write(buffer);
  }

  const uint32_t ntStatus = endpoint->NtStatus.load(std::memory_order_relaxed);
  if (ntStatus != 0) {
    Put(buffer, Format16("USB device driver error reported: 0x%x", ntStatus));
    Write(buffer);
    if (const char16_t* text = NtStatusText(ntStatus)) {
      Put(buffer, text);
      Write(buffer);
    }
  }

  const uint32_t usbdStatus = endpoint->UsbdStatus.load(std::memory_order_relaxed);
  if (usbdStatus != 0) {
    Put(buffer, Format16("USB request status reported: 0x%x", usbdStatus));
    Write(buffer);
    char statusText[USBD_STATUS_TEXT_SIZE];
    DescribeUsbdStatus(usbdStatus, statusText);
    Put(buffer, u"Endpt UsbdStatus: " + Widen8(statusText));
    Write(buffer);
  }
}
