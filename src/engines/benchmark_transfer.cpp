#include "engines/benchmark_transfer.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "engines/benchmark_sync.h"
#include "engines/configuration.h"
#include "engines/engine_timing.h"
#include "engines/find_test_endpoints.h"
#include "engines/patterns.h"
#include "engines/run_state.h"
#include "engines/statistics.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/overlapped.h"
#include "platform/text.h"
#include "platform/win_error.h"
#include "plug/plug_selection.h"
#include "protocol/driver_requests.h"
#include "usb/usb_endpoint.h"
#include "usb/usb_status.h"

namespace {

constexpr uint8_t kIsochronous = 1;

// Everything that tells the two workers apart.
struct WorkerSide {
  bool Read;
  std::atomic<UsbEndpoint*>* Endpoint;
  Event* WorkerDone;
  Event* BlockDone;
  Event* TurnEnded;  // the other worker may start
  CriticalSection* FiguresLock;
  int64_t TestStatsRecord::*BlockTicks;
  int32_t TestStatsRecord::*BlockBytes;
  std::atomic<int32_t> TestStatsRecord::*Errors;
  const char16_t* StartedLine;
  const char16_t* StoppedLine;
  const char16_t* FailedLine;
  uint32_t FailedCategory;
  const char16_t* TimeoutLine;
};

// One queued transfer. The buffer and the packet records live as long as the worker;
// the context lives from its submission to its completion.
struct Slot {
  std::unique_ptr<uint8_t[]> Buffer;
  std::unique_ptr<IsoPacketResult[]> Packets;
  Event Done{false, false};
  Overlapped Record;
  UsbEndpoint::RequestContext* Context = nullptr;
  Slot() { Record.hEvent = &Done; }
};

class TransferWorker {
 public:
  TransferWorker(const WorkerSide& side, int32_t blockLimit)
      : side_(side),
        endpoint_(side.Endpoint->load()),
        size_(TestStats.TransferSize),
        depth_(TestStats.QueueDepth),
        packets_(TestStats.PacketsPerTransfer),
        limit_(blockLimit),
        isochronous_(endpoint_ != nullptr && (endpoint_->bmAttributes & 3) == kIsochronous) {
    // The controller keeps the depth at 1..64; a worker started without one still keeps
    // a transfer in flight rather than waiting on an empty queue.
    depth_ = std::clamp(depth_, 1, BENCHMARK_SLOTS);
  }

  void Run() {
    if (endpoint_ == nullptr || size_ <= 0) return;
    endpoint_->SetDriverTransferSize(static_cast<uint32_t>(size_));
    if (!SetUpSlots()) {
      LogEvent(u"Test Stopped due to Error: Could not allocate memory buffers", LogCategory::Error);
      TestStopped = true;
      return;
    }
    blockStart_ = QueryPerformanceCounter();
    SubmitQueue();
    if (!TestStopped) TransferLoop();
    TearDown();
  }

  bool TurnEnded() const { return limit_ != 0 && transfers_ == limit_; }

 private:
  bool SetUpSlots() {
    slots_.reset(new (std::nothrow) Slot[BENCHMARK_SLOTS]);
    if (!slots_) return false;
    for (int32_t i = 0; i < BENCHMARK_SLOTS; ++i) {
      Slot& slot = slots_[i];
      slot.Buffer.reset(new (std::nothrow) uint8_t[size_]);
      slot.Packets.reset(new (std::nothrow) IsoPacketResult[PacketRecords()]());
      if (!slot.Buffer || !slot.Packets) return false;
      FillTestPattern(size_, slot.Buffer.get());
    }
    return true;
  }

  // Room for every packet record a completion can copy, even if the figure in TestStats
  // is smaller than the transfer needs.
  int32_t PacketRecords() const {
    const int32_t packetSize = endpoint_->MaxPacketSize;
    const int32_t needed = packetSize > 0 ? (size_ + packetSize - 1) / packetSize : 0;
    return std::max({packets_, needed, int32_t{1}});
  }

  void Submit(Slot& slot) {
    // A signal left by a request that completed inside its submission (nobody waited
    // for it) must not wake the wait for this one.
    slot.Done.Reset();
    slot.Context = endpoint_->SubmitTransfer(slot.Buffer.get(), size_, &slot.Record);
  }

  bool Rejected() const {
    return endpoint_->NtStatus.load() != 0 || endpoint_->UsbdStatus.load() != 0;
  }

  // Fills the queue; a rejected submission stops the run.
  void SubmitQueue() {
    for (int32_t i = 0; i < depth_; ++i) {
      Submit(slots_[i]);
      if (Rejected()) {
        LogEvent(
            Format16("Xfer request rejected. NTSTATUS = 0x%x", endpoint_->NtStatus.load()).c_str(),
            LogCategory::Diagnostics);
        TestStopped = true;
        return;
      }
    }
  }

  // AwaitTransfer answers from the endpoint's last submission, which can have completed
  // at once while this slot's request is still with the driver: then wait for this one.
  // A completer sets the event before it stores the status, so this slot's event may
  // have been consumed by that wait while its status still reads as pending.
  bool AwaitSlot(Slot& slot, uint32_t timeoutMs) {
    if (!endpoint_->AwaitTransfer(&slot.Record, timeoutMs)) return false;
    if (OverlappedSignalled(&slot.Record)) return true;
    return WaitForSingleObject(&slot.Done, timeoutMs) == WAIT_OBJECT_0;
  }

  // Completes a request that an abort ended, so that each context is released exactly
  // once. One that the driver still holds after the wait keeps its buffer and context:
  // freeing memory the driver may still write is worse than losing it.
  void Retire(Slot& slot) {
    if (slot.Context == nullptr) return;
    if (!OverlappedSignalled(&slot.Record)) {
      WaitForSingleObject(&slot.Done, EngineTiming.WorkerDrainWaitMs);
    }
    if (!OverlappedSignalled(&slot.Record)) {
      (void)slot.Buffer.release();
      slot.Context = nullptr;
      return;
    }
    int32_t length = size_;
    endpoint_->CompleteTransfer(slot.Buffer.get(), length, &slot.Record, slot.Context);
    slot.Context = nullptr;
  }

  void CompleteSlot(Slot& slot) {
    int32_t length = size_;
    std::atomic<int32_t>& errors = TestStats.*side_.Errors;
    if (isochronous_) {
      const bool done = endpoint_->CompleteTransfer(slot.Buffer.get(), length, &slot.Record,
                                                    slot.Context, slot.Packets.get());
      slot.Context = nullptr;
      if (!done) {
        ++errors;
      } else {
        for (int32_t p = 0; p < packets_; ++p) {
          const IsoPacketResult& result = slot.Packets[p];
          if (result.Status == 0 && result.Length <= endpoint_->MaxPacketSize) {
            blockBytes_ += result.Length;
          } else {
            ++errors;
          }
        }
      }
      // Cleared whatever happened, so a completion that copies no records cannot be
      // counted with the last one's.
      for (int32_t p = 0; p < packets_; ++p) slot.Packets[p] = IsoPacketResult{};
      return;
    }
    const bool done =
        endpoint_->CompleteTransfer(slot.Buffer.get(), length, &slot.Record, slot.Context);
    slot.Context = nullptr;
    if (!done) {
      ++errors;
      LogEvent(side_.FailedLine, side_.FailedCategory);
    } else {
      // Every completed transfer counts whole: the plug moves full transfers.
      blockBytes_ += size_;
    }
  }

  void PublishBlock(int64_t now) {
    std::lock_guard lock(*side_.FiguresLock);
    TestStats.*side_.BlockTicks = now - blockStart_;
    TestStats.*side_.BlockBytes = static_cast<int32_t>(blockBytes_);
  }

  void RecoverFromTimeout(int32_t i) {
    LogEvent(side_.TimeoutLine, LogCategory::Error);
    ++TestStats.PublishedErrorCount;
    ++(TestStats.*side_.Errors);
    endpoint_->AbortTransfers();
    endpoint_->ResetEndpoint();
    EngineTiming.Pause(EngineTiming.WorkerRecoveryPauseMs);
    if (endpoint_->LastWinError.load() == ERROR_IO_PENDING) {
      WaitForSingleObject(&slots_[i].Done, EngineTiming.WorkerTransferWaitMs);
    }
    for (int32_t s = 0; s < depth_; ++s) Retire(slots_[s]);
    blockBytes_ = 0;
    blockStart_ = QueryPerformanceCounter();
    SubmitQueue();
  }

  void TransferLoop() {
    int32_t i = 0;
    int64_t nextBlockStart = blockStart_;
    while (!TestStopped) {
      if (!PlugConnected) break;
      Slot& slot = slots_[i];
      if (!AwaitSlot(slot, EngineTiming.WorkerTransferWaitMs)) {
        RecoverFromTimeout(i);
        i = 0;
        continue;
      }
      CompleteSlot(slot);
      if (limit_ == 0 || transfers_ < limit_) {
        ++transfers_;
        if (i == depth_ - 1) nextBlockStart = QueryPerformanceCounter();
        Submit(slot);
        if (Rejected()) {
          ++(TestStats.*side_.Errors);
          const std::u16string text =
              Format16("Test Stopped due to Error: Xfer request rejected. NTSTATUS = 0x%x",
                       endpoint_->NtStatus.load());
          ReportDriverError(text.c_str(), endpoint_->LastWinError.load(), endpoint_);
          TestStopped = true;
          break;
        }
      }
      ++i;
      if (i == depth_ || TurnEnded()) {
        const int64_t now = QueryPerformanceCounter();
        i = 0;
        PublishBlock(now);
        blockBytes_ = 0;
        if (TurnEnded()) break;
        side_.BlockDone->Set();
        // Let the controller take the block now: a busy machine may otherwise not run it
        // until later blocks have overwritten this one, and the blocks it then misses
        // are the slow ones, which makes the reported rate too high. The time this takes
        // falls in the next block.
        std::this_thread::yield();
        blockStart_ = nextBlockStart;
      }
    }
  }

  void TearDown() {
    if (!slots_) return;
    endpoint_->AbortTransfers();
    for (int32_t s = 0; s < depth_; ++s) Retire(slots_[s]);
    slots_.reset();
  }

  const WorkerSide& side_;
  UsbEndpoint* const endpoint_;
  const int32_t size_;
  int32_t depth_;
  const int32_t packets_;
  const int32_t limit_;
  const bool isochronous_;
  std::unique_ptr<Slot[]> slots_;
  // Wider than the published figure: the count has no reason to wrap in a long run.
  int64_t transfers_ = 0;
  int64_t blockBytes_ = 0;
  int64_t blockStart_ = 0;
};

void RunWorker(const WorkerSide& side, const int32_t* blockLimit) {
  side.WorkerDone->Reset();
  ++RunningTestThreads;
  if (TestConfig.VerboseLogging) LogEvent(side.StartedLine, LogCategory::Diagnostics);
  bool turnEnded = false;
  {
    TransferWorker worker(side, blockLimit != nullptr ? *blockLimit : 0);
    worker.Run();
    turnEnded = worker.TurnEnded();
  }
  // The read worker says it stopped before it signals, the write worker after.
  if (side.Read && TestConfig.VerboseLogging) LogEvent(side.StoppedLine, LogCategory::Diagnostics);
  side.WorkerDone->Set();
  if (turnEnded) {
    side.TurnEnded->Set();
    side.BlockDone->Set();
  }
  if (!side.Read && TestConfig.VerboseLogging) LogEvent(side.StoppedLine, LogCategory::Diagnostics);
  --RunningTestThreads;
}

}  // namespace

void BenchmarkReadThread(const int32_t* blockLimit) {
  if (!BenchmarkSyncReady()) return;
  const WorkerSide side{true,
                        &TestInEndpoint,
                        ReadWorkerDone,
                        BENCHMARK_READ_DONE,
                        BENCHMARK_START_WRITE,
                        ReadFiguresLock,
                        &TestStatsRecord::ReadBlockTicks,
                        &TestStatsRecord::ReadBlockBytes,
                        &TestStatsRecord::ReadErrors,
                        u"Benchmark Read Thread started",
                        u"Benchmark Read Thread stopped",
                        u"Benchmark read failed",
                        LogCategory::Diagnostics,
                        u"Timeout reading benchmark data"};
  RunWorker(side, blockLimit);
}

void BenchmarkWriteThread(const int32_t* blockLimit) {
  if (!BenchmarkSyncReady()) return;
  const WorkerSide side{false,
                        &TestOutEndpoint,
                        WriteWorkerDone,
                        BENCHMARK_WRITE_DONE,
                        BENCHMARK_START_READ,
                        WriteFiguresLock,
                        &TestStatsRecord::WriteBlockTicks,
                        &TestStatsRecord::WriteBlockBytes,
                        &TestStatsRecord::WriteErrors,
                        u"Benchmark Write Thread started",
                        u"Benchmark Write Thread stopped",
                        u"Benchmark write failed",
                        LogCategory::Error,
                        u"Timeout writing benchmark data"};
  RunWorker(side, blockLimit);
}
