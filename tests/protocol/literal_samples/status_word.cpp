// Samples for scripts/check-literals: line 2 must pass, line 3 must be caught.
constexpr unsigned kMask = 0x0FFFFFFF;
constexpr unsigned kStall = 0xC0000004;
