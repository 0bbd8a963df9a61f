// The benchmark controller: sizes the transfers and the queue, starts the transfer
// workers the benchmark mode asks for, takes each block they publish and logs its rate,
// and ends with the "OVERALL BENCHMARK RESULT:" block (or the error lines).
#pragma once
#include <cstdint>

namespace ui {
class Window;
}

// Thread procedure, started with TestStopped clear; ends when TestStopped is set or the
// plug goes away.
void BenchmarkControlThread(ui::Window* mainWindow);

// Bytes per transfer for an endpoint's MaxPacketSize; sets TestStats' packets per
// transfer.
int32_t BenchmarkTransferSize(uint16_t maxPacketSize);

// Transfers each worker keeps in flight: as many as the theoretical rate completes in a
// second, at most queueSize and 64, at least 1.
int32_t BenchmarkQueueDepth(float theoreticalRate, int32_t transferSize, uint8_t queueSize);

// The block limit handed to the workers: the queue depth in Read then Write, else 0.
// Owned by the controller; a global so that it outlives any worker reading it.
extern int32_t BenchmarkBlockLimit;
