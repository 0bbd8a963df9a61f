// The simulated plug at rate=unlimited, driven through the program's endpoint code,
// beside the raw memory work for the same bytes measured in the same run:
//  - 64 KiB bulk IN transfers kept 64 deep, against memset of the same buffers;
//  - loopback write+read pairs of 64 KiB, against two memcpy (into the plug's FIFO
//    and back out).
// At rate=unlimited every transfer completes inside the caller's request, so all of
// the work runs on the benchmark thread: the ratios are taken on that thread's CPU
// time, which a busy machine does not distort. throughput_ratio = raw time / our
// time (1.0 = as fast as the memory work alone), x_raw its inverse; wall_ratio is
// the same on wall-clock time. The bulk IN stream is also measured straight at the
// driver port, to tell the virtual driver's share from the endpoint code's.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/driver_port.h"
#include "platform/event.h"
#include "platform/overlapped.h"
#include "protocol/driver_requests.h"
#include "protocol/plug_commands.h"
#include "protocol/plug_ids.h"
#include "sim/sim_driver.h"
#include "sim/sim_options.h"
#include "usb/usb_device.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Span {
  Clock::time_point Wall;
  double Cpu;
};

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

Span Now() {
  return {Clock::now(), ThreadCpuSeconds()};
}
constexpr int32_t kBlock = 65536;
constexpr int kDepth = 64;

struct Elapsed {
  double Wall = 0, Cpu = 0;
  Elapsed& operator+=(const Elapsed& other) {
    Wall += other.Wall;
    Cpu += other.Cpu;
    return *this;
  }
};

Elapsed Since(const Span& start) {
  Span end = Now();
  return {std::chrono::duration<double>(end.Wall - start.Wall).count(), end.Cpu - start.Cpu};
}

void Report(benchmark::State& state, double bytesPerIteration, Elapsed ours, Elapsed raw) {
  const double bytes = static_cast<double>(state.iterations()) * bytesPerIteration;
  state.counters["MB/s"] = benchmark::Counter(bytes / ours.Cpu / 1048576.0);
  state.counters["raw_MB/s"] = benchmark::Counter(bytes / raw.Cpu / 1048576.0);
  state.counters["throughput_ratio"] = benchmark::Counter(raw.Cpu / ours.Cpu);
  state.counters["x_raw"] = benchmark::Counter(ours.Cpu / raw.Cpu);
  state.counters["wall_ratio"] = benchmark::Counter(raw.Wall / ours.Wall);
}

class ArrivalWaiter : public DeviceNoticeRecipient {
 public:
  void OnDeviceNotice(const DeviceNotice& notice) override {
    std::lock_guard lock(mutex_);
    if (notice.Event == DBT_DEVICEARRIVAL) arrived_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [this] { return arrived_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool arrived_ = false;
};

bool VendorRequest(UsbDevice& device, uint16_t command, uint8_t* data, int32_t length) {
  UsbControlEndpoint* control = device.ControlEndpoint;
  control->Recipient = 0;
  control->RequestType = 2;
  control->RequestCode = 0;
  control->RequestValue = command;
  return control->ControlWrite(data, length);
}

// What a queued transfer needs besides its data, kept together as a transfer worker
// keeps it: one slot's record, event and context share a cache line.
struct alignas(64) Slot {
  Event Done{false, false};
  Overlapped Record;
  UsbEndpoint::RequestContext* Context = nullptr;
  uint8_t* Data = nullptr;
  Slot() { Record.hEvent = &Done; }
};

// The raw work an IN pass stands for: one memset per queued buffer.
Elapsed RawFill(std::vector<std::vector<uint8_t>>& buffers, int64_t& fill) {
  const Span start = Now();
  for (auto& buffer : buffers) {
    std::memset(buffer.data(), static_cast<int>(fill++), buffer.size());
    benchmark::ClobberMemory();
  }
  return Since(start);
}

// Reconfigures the plug for a SuperSpeed bulk benchmark in which the plug sends (burst
// 16), waits for it to come back, reopens it and starts the benchmark data.
bool StartBulkInBenchmark(UsbDevice& device, ArrivalWaiter& waiter) {
  uint8_t block[14] = {0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00,
                       0x03, 0x00, 0xC0, 0x03, 0x02, 0x00, 0xC0};
  return VendorRequest(device, PLUG_CMD_CONFIG, block, 14) && waiter.Wait() && device.Open(0) &&
         device.BulkInEndpoint != nullptr &&
         VendorRequest(device, PLUG_CMD_BENCH_START, nullptr, 0);
}

void BM_BulkInQueue64(benchmark::State& state) {
  SimDriverPort port(ParseSimOptions("rate=unlimited,reenum-ms=1").Options);
  SetDriverPort(&port);
  ArrivalWaiter waiter;
  UsbDevice device(&waiter, PLUG_INTERFACE_CLASS, true);
  if (!StartBulkInBenchmark(device, waiter)) {
    state.SkipWithError("simulated plug did not come up in benchmark mode");
    SetDriverPort(nullptr);
    return;
  }
  UsbEndpoint* in = device.BulkInEndpoint;
  std::vector<std::vector<uint8_t>> buffers(kDepth, std::vector<uint8_t>(kBlock));
  std::vector<Slot> slots(kDepth);
  for (int i = 0; i < kDepth; ++i) {
    slots[i].Data = buffers[i].data();
    slots[i].Context = in->SubmitTransfer(buffers[i].data(), kBlock, &slots[i].Record);
  }
  // One iteration is one pass over the queue, followed by the raw work on the same
  // buffers, so both see the same machine at the same moment.
  int64_t failures = 0;
  Elapsed ours{}, raw{};
  int64_t fill = 0;
  for (auto _ : state) {
    const Span start = Now();
    for (int slot = 0; slot < kDepth; ++slot) {
      Slot& s = slots[slot];
      in->AwaitTransfer(&s.Record, 2000);
      int32_t length = kBlock;
      failures += !in->CompleteTransfer(s.Data, length, &s.Record, s.Context);
      s.Context = in->SubmitTransfer(s.Data, kBlock, &s.Record);
    }
    ours += Since(start);
    raw += RawFill(buffers, fill);
  }
  for (int i = 0; i < kDepth; ++i) {
    int32_t length = kBlock;
    in->CompleteTransfer(buffers[i].data(), length, &slots[i].Record, slots[i].Context);
  }
  Report(state, double(kDepth) * kBlock, ours, raw);
  state.counters["failures"] = benchmark::Counter(static_cast<double>(failures));
  device.CloseDevice();
  SetDriverPort(nullptr);
}
BENCHMARK(BM_BulkInQueue64)->UseRealTime();

// The same stream straight at the driver port, without the endpoint classes: shows
// how much of the cost above is the virtual driver's own.
void BM_BulkInQueue64AtPort(benchmark::State& state) {
  SimDriverPort port(ParseSimOptions("rate=unlimited,reenum-ms=1").Options);
  SetDriverPort(&port);
  ArrivalWaiter waiter;
  UsbDevice device(&waiter, PLUG_INTERFACE_CLASS, true);
  if (!StartBulkInBenchmark(device, waiter)) {
    state.SkipWithError("simulated plug did not come up in benchmark mode");
    SetDriverPort(nullptr);
    return;
  }
  const DriverHandle handle = device.DeviceHandle;
  std::vector<std::vector<uint8_t>> buffers(kDepth, std::vector<uint8_t>(kBlock));
  std::vector<Slot> slots(kDepth);
  uint8_t request[DRIVER_TRANSFER_BLOCK_SIZE];
  int64_t failures = 0;
  Elapsed ours{}, raw{};
  int64_t fill = 0;
  for (auto _ : state) {
    const Span start = Now();
    for (int slot = 0; slot < kDepth; ++slot) {
      DriverTransferBlock header;
      header.EndpointAddress = 0x81;
      WriteDriverTransferBlock(header, request);
      uint32_t bytes = 0, error = 0;
      failures += !GetDriverPort().IoControl(handle, IOCTL_DIRECT_TRANSFER, request, sizeof request,
                                             buffers[slot].data(), kBlock, &bytes,
                                             &slots[slot].Record, &error);
      WaitForSingleObject(&slots[slot].Done, 0);
    }
    ours += Since(start);
    raw += RawFill(buffers, fill);
  }
  Report(state, double(kDepth) * kBlock, ours, raw);
  state.counters["failures"] = benchmark::Counter(static_cast<double>(failures));
  device.CloseDevice();
  SetDriverPort(nullptr);
}
BENCHMARK(BM_BulkInQueue64AtPort)->UseRealTime();

void BM_LoopbackPair(benchmark::State& state) {
  SimOptions options = ParseSimOptions("rate=unlimited").Options;
  SimDriverPort port(options);
  SetDriverPort(&port);
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  if (device.BulkOutEndpoint == nullptr || device.BulkInEndpoint == nullptr) {
    state.SkipWithError("simulated plug has no loopback endpoints");
    SetDriverPort(nullptr);
    return;
  }
  std::vector<uint8_t> out(kBlock, 0x8C), in(kBlock), fifo(kBlock);
  constexpr int kPairs = 16;  // per iteration, each followed by the raw work
  int64_t failures = 0;
  Elapsed ours{}, raw{};
  for (auto _ : state) {
    const Span start = Now();
    for (int n = 0; n < kPairs; ++n) {
      int32_t length = kBlock;
      failures += !device.BulkOutEndpoint->TransferSync(out.data(), length);
      length = kBlock;
      failures += !device.BulkInEndpoint->TransferSync(in.data(), length);
      benchmark::ClobberMemory();
    }
    ours += Since(start);
    const Span rawStart = Now();
    for (int n = 0; n < kPairs; ++n) {
      std::memcpy(fifo.data(), out.data(), kBlock);
      benchmark::ClobberMemory();
      std::memcpy(in.data(), fifo.data(), kBlock);
      benchmark::ClobberMemory();
    }
    raw += Since(rawStart);
  }
  Report(state, 2.0 * kPairs * kBlock, ours, raw);
  state.counters["failures"] = benchmark::Counter(static_cast<double>(failures));
  device.CloseDevice();
  SetDriverPort(nullptr);
}
BENCHMARK(BM_LoopbackPair)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
