#include "engines/benchmark_sync.h"

#include "engines/run_state.h"

Event* BENCHMARK_READ_DONE = nullptr;
Event* BENCHMARK_WRITE_DONE = nullptr;
Event* ReadWorkerDone = nullptr;
Event* WriteWorkerDone = nullptr;
Event* BENCHMARK_START_READ = nullptr;
Event* BENCHMARK_START_WRITE = nullptr;
CriticalSection* ReadFiguresLock = nullptr;
CriticalSection* WriteFiguresLock = nullptr;

void CreateBenchmarkSyncObjects() {
  if (BenchmarkSyncReady()) return;
  BENCHMARK_READ_DONE = new Event(false, false);
  BENCHMARK_WRITE_DONE = new Event(false, false);
  ReadWorkerDone = new Event(true, true);
  WriteWorkerDone = new Event(true, true);
  BENCHMARK_START_READ = new Event(false, false);
  BENCHMARK_START_WRITE = new Event(false, false);
  ReadFiguresLock = new CriticalSection;
  WriteFiguresLock = new CriticalSection;
}

bool ReleaseBenchmarkSyncObjects() {
  if (RunningTestThreads > 0) return false;
  for (Event** event : {&BENCHMARK_READ_DONE, &BENCHMARK_WRITE_DONE, &ReadWorkerDone,
                        &WriteWorkerDone, &BENCHMARK_START_READ, &BENCHMARK_START_WRITE}) {
    delete *event;
    *event = nullptr;
  }
  delete ReadFiguresLock;
  ReadFiguresLock = nullptr;
  delete WriteFiguresLock;
  WriteFiguresLock = nullptr;
  return true;
}

bool BenchmarkSyncReady() {
  return BENCHMARK_READ_DONE != nullptr && BENCHMARK_WRITE_DONE != nullptr &&
         ReadWorkerDone != nullptr && WriteWorkerDone != nullptr &&
         BENCHMARK_START_READ != nullptr && BENCHMARK_START_WRITE != nullptr &&
         ReadFiguresLock != nullptr && WriteFiguresLock != nullptr;
}
