// Failed transfers as text: the bus driver's status word in a compact form, and the
// burst of event-log records that explains one failure.
#pragma once
#include <cstddef>
#include <cstdint>

class UsbEndpoint;

constexpr size_t USBD_STATUS_TEXT_SIZE = 1024;

// Writes the state and status names of a UsbdStatus word into text (size bytes,
// always terminated) and returns text.
const char* DescribeUsbdStatus(uint32_t usbdStatus, char* text,
                               size_t size = USBD_STATUS_TEXT_SIZE);

// A short description of a driver NtStatus value, or nullptr when we have none.
const char16_t* NtStatusText(uint32_t ntStatus);

// Logs, as ERROR records: the context and the system error (0 for none), then what
// the endpoint (may be null) recorded of the failure.
void ReportDriverError(const char16_t* context, uint32_t systemError, const UsbEndpoint* endpoint);
