// Samples for scripts/check-literals: line 2 must pass, line 3 must be caught.
const char* kText = "status=USBD_STATUS_PID_CHECK_FAILURE]";
const char* kPath = "\\\\?\\usb#vid_1209&pid_000a#";
