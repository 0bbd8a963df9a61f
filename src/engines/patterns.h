// Transmit-buffer contents for every test, and the loopback's check of what came back.
#pragma once
#include <cstdint>

// Fills length bytes by TestConfig's Pattern; lengths of 0 or below and unknown
// patterns leave the buffer untouched.
void FillTestPattern(int32_t length, uint8_t* buffer);

// Compares bytesRead bytes; returns the number that differ and logs them (at most 10
// byte lines, only with verbose logging, then one summary line).
int32_t VerifyLoopbackData(const uint8_t* received, const uint8_t* transmitted, int32_t bytesRead);
