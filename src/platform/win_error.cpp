#include "platform/win_error.h"

const char16_t* SystemErrorText(uint32_t code) {
  switch (code) {
    case ERROR_SUCCESS: return u"The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND: return u"The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND: return u"The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED: return u"Access is denied.";
    case ERROR_INVALID_HANDLE: return u"The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY: return u"Not enough memory is available to process this command.";
    case ERROR_BAD_COMMAND: return u"The device does not recognize the command.";
    case ERROR_CRC: return u"Data error (cyclic redundancy check).";
    case ERROR_GEN_FAILURE: return u"A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION: return u"The device is being used by another process.";
    case ERROR_NOT_SUPPORTED: return u"The request is not supported.";
    case ERROR_INVALID_PARAMETER: return u"The parameter is incorrect.";
    case ERROR_SEM_TIMEOUT: return u"The time-out period expired.";
    case ERROR_INSUFFICIENT_BUFFER: return u"The data area passed is too small.";
    case ERROR_BUSY: return u"The requested resource is in use.";
    case ERROR_ALREADY_EXISTS: return u"The object already exists.";
    case WAIT_TIMEOUT: return u"The wait operation timed out.";
    case ERROR_NO_MORE_ITEMS: return u"No more data is available.";
    case ERROR_NO_SUCH_DEVICE: return u"The specified device does not exist.";
    case ERROR_OPERATION_ABORTED: return u"The I/O operation has been aborted.";
    case ERROR_IO_INCOMPLETE: return u"The I/O operation is still in progress.";
    case ERROR_IO_PENDING: return u"The I/O operation is in progress.";
    case ERROR_DEVICE_NOT_CONNECTED: return u"The device is not connected.";
    case ERROR_NOT_FOUND: return u"Element not found.";
    default: return nullptr;
  }
}
