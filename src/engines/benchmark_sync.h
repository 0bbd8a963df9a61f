// The benchmark's synchronisation objects: created once when the main dialog is set up
// and released at exit. The block-ready events carry a finished block from a transfer
// worker to the controller; the turn events hand the bus from one worker to the other
// in Read then Write; the finished events say a worker has ended; the figures locks
// keep each direction's (ticks, bytes) pair whole.
#pragma once
#include <cstdint>

#include "platform/critical_section.h"
#include "platform/event.h"

// Null until CreateBenchmarkSyncObjects; the engines check BenchmarkSyncReady first.
extern Event* BENCHMARK_READ_DONE;    // auto-reset, clear: a read block is published
extern Event* BENCHMARK_WRITE_DONE;   // auto-reset, clear: a write block is published
extern Event* ReadWorkerDone;         // manual-reset, set: no read worker runs
extern Event* WriteWorkerDone;        // manual-reset, set: no write worker runs
extern Event* BENCHMARK_START_READ;   // auto-reset, clear: the write worker's turn ended
extern Event* BENCHMARK_START_WRITE;  // auto-reset, clear: the read worker's turn ended
extern CriticalSection* ReadFiguresLock;
extern CriticalSection* WriteFiguresLock;

// Creates the six events and the two locks in their initial states; a second call
// leaves the existing ones alone.
void CreateBenchmarkSyncObjects();
// Releases them. Returns false and keeps them while RunningTestThreads is above 0
// (exit gave up waiting for a thread): it may still use them, and the process is ending.
bool ReleaseBenchmarkSyncObjects();
bool BenchmarkSyncReady();
