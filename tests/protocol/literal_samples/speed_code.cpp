// Samples for scripts/check-literals: line 2 must pass, line 3 must be caught.
constexpr int kFullSpeedTransferChoices = 3;
bool Fast(int speed) { return speed == 3; }
