// Samples for scripts/check-literals: line 2 must pass, line 3 must be caught.
void Reset(Endpoint* control) { control->RequestValue = 0; }
void Info(char* buffer) { SendPlugRequest(0x50, 1, buffer, 31); }
