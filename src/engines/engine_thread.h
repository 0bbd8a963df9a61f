// Engine threads run detached: the window starts them and never joins them. The count
// of those still alive lets exit and tests wait until every one of them has returned,
// which RunningTestThreads (dropped a little before a thread returns) cannot promise.
#pragma once
#include <cstdint>
#include <functional>

// Starts body on a new thread. False when the system cannot make one.
bool StartEngineThread(std::function<void()> body);

int32_t EngineThreadsAlive();
// True once no engine thread is alive; false when timeoutMs ran out first.
bool WaitForEngineThreads(uint32_t timeoutMs);
