#include "usb/usb_status.h"

#include <cstdio>
#include <string>

#include "log/event_log.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "usb/usb_endpoint.h"

namespace {

const char* StateText(uint32_t usbdStatus) {
  switch (usbdStatus >> 28) {
    case 0x0:
      return " [state=SUCCESS ";
    case 0x4:
      return " [state=PENDING ";
    case 0x8:
      return " [state=ERROR   ";
    case 0xC:
      return " [state=STALLED ";
    default:
      return "";
  }
}

// Keyed by the condition bits alone with both top state bits set, so a condition reads
// the same in every state, including the unnamed ones (0x10000005 is still "not
// responding").
const char* ConditionText(uint32_t usbdStatus) {
  switch ((usbdStatus & 0x0FFFFFFF) | 0xC0000000) {
    case 0xC0000001:
      return "status=USBD_STATUS_CRC]";
    case 0xC0000002:
      return "status=USBD_STATUS_BTSTUFF]";
    case 0xC0000003:
      return "status=USBD_STATUS_DATA_TOGGLE_MISMATCH]";
    case 0xC0000004:
      return "status=USBD_STATUS_STALL_PID]";
    case 0xC0000005:
      return "status=USBD_STATUS_DEV_NOT_RESPONDING]";
    case 0xC0000006:
      return "status=USBD_STATUS_PID_CHECK_FAILURE]";
    case 0xC0000007:
      return "status=USBD_STATUS_UNEXPECTED_PID]";
    case 0xC0000008:
      return "status=USBD_STATUS_DATA_OVERRUN]";
    case 0xC0000009:
      return "status=USBD_STATUS_DATA_UNDERRUN]";
    case 0xC000000A:
      return "status=USBD_STATUS_RESERVED1]";
    case 0xC000000B:
      return "status=USBD_STATUS_RESERVED2]";
    case 0xC000000C:
      return "status=USBD_STATUS_BUFFER_OVERRUN]";
    case 0xC000000D:
      return "status=USBD_STATUS_BUFFER_UNDERRUN]";
    case 0xC000000F:
      return "status=USBD_STATUS_NOT_ACCESSED]";
    case 0xC0000010:
      return "status=USBD_STATUS_FIFO]";
    case 0xC0000030:
      return "status=USBD_STATUS_ENDPOINT_HALTED]";
    case 0xC0000A00:
      return "status=USBD_STATUS_BAD_START_FRAME]";
    case 0xC0000B00:
      return "status=USBD_STATUS_ISOCH_REQUEST_FAILED]";
    case 0xC0000C00:
      return "status=USBD_STATUS_FRAME_CONTROL_OWNED]";
    case 0xC0000D00:
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
  if ((usbdStatus & 0x0FFFFFFF) == 0) {
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
    case 0xC0000001:
      return u"The driver could not complete the operation.";
    case 0xC0000008:
      return u"The handle given to the driver is not valid.";
    case 0xC000000D:
      return u"The driver was given a parameter it cannot use.";
    case 0xC000000E:
      return u"The device does not exist.";
    case 0xC0000010:
      return u"The device does not support this request.";
    case 0xC000009A:
      return u"The system lacks the resources to complete the request.";
    case 0xC000009D:
      return u"The device is not connected.";
    case 0xC00000B5:
      return u"The request timed out.";
    case 0xC00000BB:
      return u"The request is not supported.";
    case 0xC0000120:
      return u"The request was cancelled.";
    case 0xC0000184:
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
