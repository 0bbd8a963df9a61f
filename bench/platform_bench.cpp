// Completion waits under load: one completer thread sets the events of 64-deep queues
// while 1 or 8 threads each wait on their own queue's events in order, as the
// benchmark transfer threads wait on their records; the program's events beside a
// minimal per-event lock and condition (the raw reference) driven the same way.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDepth = 64;
constexpr int kRun = 16;

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

// The reference: an auto-reset event with a lock and condition of its own, nothing
// shared; like ours, a Set takes no lock unless its own waiter sleeps. Both kinds sit
// on cache lines of their own, as in a transfer worker's queue slot.
class alignas(64) RawEvent {
 public:
  void Set() {
    signaled_.store(true);
    if (sleepers_.load() > 0) {
      std::lock_guard lock(mutex_);
      changed_.notify_one();
    }
  }
  void Wait() {
    if (signaled_.exchange(false)) return;
    std::unique_lock lock(mutex_);
    sleepers_.fetch_add(1);
    changed_.wait(lock, [this] { return signaled_.exchange(false); });
    sleepers_.fetch_sub(1);
  }

 private:
  std::atomic<bool> signaled_{false};
  std::atomic<int> sleepers_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
};

struct alignas(64) OurEvent {
  Event Done{false, false};
  void Set() { Done.Set(); }
  void Wait() { WaitForSingleObject(&Done, INFINITE); }
};

// W waiter threads, each draining its own queue of kDepth events per round; the
// completer (the benchmark thread) completes one whole queue after the other, then
// waits until every waiter has taken all of its completions. While one queue is being
// completed the other waiters sleep on theirs, which is where a shared condition
// shows: each completion would wake them too.
template <typename E>
class Rig {
 public:
  explicit Rig(int waiters) : events_(waiters * kDepth) {
    for (int w = 0; w < waiters; ++w) threads_.emplace_back([this, w] { Waiter(w); });
  }
  ~Rig() {
    stop_.store(true);
    Round();
    for (auto& t : threads_) t.join();
  }

  // One round; its wall and process CPU seconds.
  std::pair<double, double> Round() {
    const int waiters = static_cast<int>(threads_.size());
    {
      std::lock_guard lock(doneLock_);
      remaining_ = waiters;
    }
    const Clock::time_point wall = Clock::now();
    const double cpu = ProcessCpuSeconds();
    for (int w = 0; w < waiters; ++w) {
      for (int slot = 0; slot < kDepth; ++slot) events_[w * kDepth + slot].Set();
    }
    std::unique_lock lock(doneLock_);
    allDone_.wait(lock, [this] { return remaining_ == 0; });
    return {std::chrono::duration<double>(Clock::now() - wall).count(), ProcessCpuSeconds() - cpu};
  }

 private:
  void Waiter(int w) {
    for (;;) {
      for (int slot = 0; slot < kDepth; ++slot) events_[w * kDepth + slot].Wait();
      const bool stopping = stop_.load();
      {
        std::lock_guard lock(doneLock_);
        if (--remaining_ == 0) allDone_.notify_one();
      }
      if (stopping) return;
    }
  }

  std::vector<E> events_;
  std::vector<std::thread> threads_;
  std::atomic<bool> stop_{false};
  std::mutex doneLock_;
  std::condition_variable allDone_;
  int remaining_ = 0;
};

// One round on our events and one on the reference per iteration, with the same
// threads and the same pattern, so both see the machine in the same state. x_raw =
// our time / raw time per completion, on wall time and on the whole process's CPU time
// (what waking the wrong threads burns).
void BM_CompletionWaits(benchmark::State& state) {
  const int waiters = static_cast<int>(state.range(0));
  auto ours = std::make_unique<Rig<OurEvent>>(waiters);
  auto raw = std::make_unique<Rig<RawEvent>>(waiters);
  double ourWall = 0, ourCpu = 0, rawWall = 0, rawCpu = 0;
  for (auto _ : state) {
    // Runs of rounds, so that each kind's threads settle between the switches.
    for (int i = 0; i < kRun; ++i) {
      auto [wall, cpu] = ours->Round();
      ourWall += wall;
      ourCpu += cpu;
    }
    for (int i = 0; i < kRun; ++i) {
      auto [wall, cpu] = raw->Round();
      rawWall += wall;
      rawCpu += cpu;
    }
  }
  ours.reset();
  raw.reset();
  const double completions = static_cast<double>(state.iterations()) * kRun * waiters * kDepth;
  state.counters["ns/completion"] = benchmark::Counter(ourWall / completions * 1e9);
  state.counters["raw_ns/completion"] = benchmark::Counter(rawWall / completions * 1e9);
  state.counters["x_raw"] = benchmark::Counter(ourWall / rawWall);
  state.counters["cpu_x_raw"] = benchmark::Counter(ourCpu / rawCpu);
}
BENCHMARK(BM_CompletionWaits)->Arg(1)->Arg(8)->UseRealTime();

// The fast path on its own: a transfer that completed inside its submission finds its
// event already set, on the same thread (the simulated plug at rate=unlimited).
void BM_SetThenWait(benchmark::State& state) {
  std::vector<OurEvent> ours(kDepth);
  std::vector<RawEvent> raw(kDepth);
  double ourSeconds = 0, rawSeconds = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    for (auto& e : ours) e.Set();
    for (auto& e : ours) e.Wait();
    ourSeconds += std::chrono::duration<double>(Clock::now() - start).count();
    start = Clock::now();
    for (auto& e : raw) e.Set();
    for (auto& e : raw) e.Wait();
    rawSeconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  const double completions = static_cast<double>(state.iterations()) * kDepth;
  state.counters["ns/completion"] = benchmark::Counter(ourSeconds / completions * 1e9);
  state.counters["raw_ns/completion"] = benchmark::Counter(rawSeconds / completions * 1e9);
  state.counters["x_raw"] = benchmark::Counter(ourSeconds / rawSeconds);
}
BENCHMARK(BM_SetThenWait);

}  // namespace

BENCHMARK_MAIN();
