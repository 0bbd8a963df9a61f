// Bus time on the virtual bus: each endpoint of a plug has a queue of transfers that
// take their turn, move data as far as the plug lets them and finish when their bus
// time has come; the bus thread serves whatever waits for time.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "protocol/request_decoder.h"
#include "sim/sim_options.h"
#include "sim/sim_plug.h"

uint64_t NowNs();

// Default link rate in MB/s (2^20 bytes per second) for a speed code and direction.
double DefaultLinkRate(uint8_t speed, bool in);

// Bus time a transfer takes once it is the head of its queue.
uint64_t TransferDurationNs(const SimPlug& plug, const PendingTransfer& transfer,
                            const SimOptions& options);

// Moves data for one transfer as far as the plug allows. True when it has ended,
// with *outcome saying how.
bool ProgressTransfer(SimPlug& plug, PendingTransfer& transfer, const SimOptions& options,
                      TransferOutcome* outcome);

// Writes the statuses into the transfer's block and completes its record.
inline void FinishTransfer(const PendingTransfer& transfer, const TransferOutcome& outcome) {
  WriteTransferStatus(transfer.Block, outcome.NtStatus, outcome.UsbdStatus);
  if (transfer.Record) {
    CompleteOverlapped(transfer.Record, outcome.Error, transfer.HeaderBytes + transfer.Done);
  }
}

// Queues the transfer behind those of its endpoint.
void QueueTransfer(SimPlug& plug, const PendingTransfer& transfer);

// Serves every queue of the plug that can move. Returns the earliest time at which a
// waiting transfer becomes due, or 0 when none waits for time.
uint64_t PumpQueues(SimPlug& plug, const SimOptions& options, uint64_t now);

// Ends the queued transfers of one endpoint (or of all) with outcome; with a handle,
// only those sent on it.
void FailTransfers(SimPlug& plug, const TransferOutcome& outcome, uint8_t address,
                   bool allEndpoints, DriverHandle handle = INVALID_DRIVER_HANDLE);

// The thread that serves what waits for time. step(now) does the work and returns the
// next time it wants to run, or 0 for "when woken".
class BusThread {
 public:
  BusThread() = default;
  ~BusThread() { Stop(); }
  BusThread(const BusThread&) = delete;
  BusThread& operator=(const BusThread&) = delete;

  void Start(std::function<uint64_t(uint64_t now)> step);
  void Stop();
  void Wake();
  bool IsCurrentThread() const { return std::this_thread::get_id() == id_.load(); }

 private:
  void Run();

  std::function<uint64_t(uint64_t)> step_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool woken_ = false;  // guarded by lock_
  std::atomic<bool> stopping_{false};
  std::atomic<std::thread::id> id_{};
  std::thread thread_;
};
