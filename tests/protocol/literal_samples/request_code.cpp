// Samples for scripts/check-literals: line 2 must pass, line 3 must be caught.
constexpr unsigned kSize = 0x2200;
constexpr unsigned kSpeedRequest = 0x22004C;
