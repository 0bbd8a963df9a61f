// The two status words a transfer request carries back: the driver's NtStatus and
// the bus driver's UsbdStatus. 0 is success in both.
#pragma once
#include <cstdint>

// NtStatus values the tool meets.
constexpr uint32_t NTSTATUS_UNSUCCESSFUL = 0xC0000001;
constexpr uint32_t NTSTATUS_INVALID_HANDLE = 0xC0000008;
constexpr uint32_t NTSTATUS_INVALID_PARAMETER = 0xC000000D;
constexpr uint32_t NTSTATUS_NO_SUCH_DEVICE = 0xC000000E;
constexpr uint32_t NTSTATUS_INVALID_DEVICE_REQUEST = 0xC0000010;
constexpr uint32_t NTSTATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
constexpr uint32_t NTSTATUS_DEVICE_NOT_CONNECTED = 0xC000009D;
constexpr uint32_t NTSTATUS_IO_TIMEOUT = 0xC00000B5;
constexpr uint32_t NTSTATUS_NOT_SUPPORTED = 0xC00000BB;
constexpr uint32_t NTSTATUS_CANCELLED = 0xC0000120;
constexpr uint32_t NTSTATUS_INVALID_DEVICE_STATE = 0xC0000184;

// UsbdStatus: the top four bits are the state, the rest the condition.
constexpr uint32_t USBD_STATE_MASK = 0xF0000000;
constexpr uint32_t USBD_CONDITION_MASK = 0x0FFFFFFF;
constexpr uint32_t USBD_STATE_SUCCESS = 0x00000000;
constexpr uint32_t USBD_STATE_PENDING = 0x40000000;
constexpr uint32_t USBD_STATE_ERROR = 0x80000000;
constexpr uint32_t USBD_STATE_HALTED = 0xC0000000;

// Conditions, written in the halted state as the bus driver reports them.
constexpr uint32_t USBD_STATUS_CRC = 0xC0000001;
constexpr uint32_t USBD_STATUS_BTSTUFF = 0xC0000002;
constexpr uint32_t USBD_STATUS_DATA_TOGGLE_MISMATCH = 0xC0000003;
constexpr uint32_t USBD_STATUS_STALL_PID = 0xC0000004;
constexpr uint32_t USBD_STATUS_DEV_NOT_RESPONDING = 0xC0000005;
constexpr uint32_t USBD_STATUS_PID_CHECK_FAILURE = 0xC0000006;
constexpr uint32_t USBD_STATUS_UNEXPECTED_PID = 0xC0000007;
constexpr uint32_t USBD_STATUS_DATA_OVERRUN = 0xC0000008;
constexpr uint32_t USBD_STATUS_DATA_UNDERRUN = 0xC0000009;
constexpr uint32_t USBD_STATUS_RESERVED1 = 0xC000000A;
constexpr uint32_t USBD_STATUS_RESERVED2 = 0xC000000B;
constexpr uint32_t USBD_STATUS_BUFFER_OVERRUN = 0xC000000C;
constexpr uint32_t USBD_STATUS_BUFFER_UNDERRUN = 0xC000000D;
constexpr uint32_t USBD_STATUS_NOT_ACCESSED = 0xC000000F;
constexpr uint32_t USBD_STATUS_FIFO = 0xC0000010;
constexpr uint32_t USBD_STATUS_ENDPOINT_HALTED = 0xC0000030;
constexpr uint32_t USBD_STATUS_BAD_START_FRAME = 0xC0000A00;
constexpr uint32_t USBD_STATUS_ISOCH_REQUEST_FAILED = 0xC0000B00;
constexpr uint32_t USBD_STATUS_FRAME_CONTROL_OWNED = 0xC0000C00;
constexpr uint32_t USBD_STATUS_FRAME_CONTROL_NOT_OWNED = 0xC0000D00;
// Software conditions of the bus driver: the request was cancelled, the device left.
constexpr uint32_t USBD_STATUS_CANCELED = 0xC0010000;
constexpr uint32_t USBD_STATUS_DEVICE_GONE = 0xC0007000;

constexpr uint32_t UsbdState(uint32_t usbdStatus) {
  return usbdStatus & USBD_STATE_MASK;
}
constexpr uint32_t UsbdCondition(uint32_t usbdStatus) {
  return usbdStatus & USBD_CONDITION_MASK;
}
