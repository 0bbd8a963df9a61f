// The benchmark's transfer workers: each keeps a queue of overlapped transfers running
// on one endpoint (reads on the IN endpoint, writes on the OUT endpoint), resubmits
// every transfer as soon as it completes, and publishes each pass over the queue (a
// block) to the controller. Time-outs are recovered from by aborting, resetting and
// refilling the queue.
#pragma once
#include <cstdint>

// Thread procedures. blockLimit: 0 for no limit, else the transfers after which the
// worker ends its turn (Read then Write); read once, at start.
void BenchmarkReadThread(const int32_t* blockLimit);
void BenchmarkWriteThread(const int32_t* blockLimit);

// Slots every worker sets up, whatever the queue depth.
constexpr int32_t BENCHMARK_SLOTS = 64;
