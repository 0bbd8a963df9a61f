// Bus time on the virtual bus: each endpoint of a plug has a queue of transfers that
// take their turn, move data as far as the plug lets them and finish when their bus
// time has come; the bus thread serves whatever waits for time.
#pragma once
#include <algorithm>
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
// with *outcome saying how. Inline (below): on the fast path the plug's data copy
// runs inside it, and one more call frame between that copy and the request's own
// code shows in the benchmark stream.
inline bool ProgressTransfer(SimPlug& plug, PendingTransfer& transfer, const SimOptions& options,
                             TransferOutcome* outcome);

// An injected fault on an IN transfer stands for data lost on the wire: the plug
// loses the bytes the transfer would have carried, once. OUT data that is lost never
// reached the plug, and a halted endpoint moves no data.
void LoseTransferData(SimPlug& plug, PendingTransfer& transfer);

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

// Completions are due at exact times: without this the kernel may let each timed wait
// of the calling thread run tens of microseconds late. Once per thread.
void SetFineTimerSlack();
// Returns at due (NowNs): sleeps to just short of it and spins the rest.
void SleepUntilNs(uint64_t due);
// Spins until due, or until *stop is raised.
void SpinUntilNs(uint64_t due, const std::atomic<bool>* stop);

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

  // Waits this close to a deadline spin instead of sleeping: a wake-up from sleep comes
  // a few microseconds late, which a transfer of a few hundred would show.
  static constexpr uint64_t kSpinNs = 20'000;

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

inline bool ProgressTransfer(SimPlug& plug, PendingTransfer& p, const SimOptions& options,
                             TransferOutcome* outcome) {
  PlugModel& model = *plug.Model;
  switch (p.Injected) {
    case Fault::Timeout:
      LoseTransferData(plug, p);
      return false;  // the plug never answers; only an abort ends it
    case Fault::Stall:
      LoseTransferData(plug, p);
      if (model.FindEndpoint(p.EndpointAddress)) plug.Halts.Set(p.EndpointAddress, true);
      *outcome = kTransferStalled;
      return true;
    case Fault::Error:
      LoseTransferData(plug, p);
      *outcome = kTransferBusError;
      return true;
    default:
      break;
  }
  const PlugEndpoint* endpoint = model.FindEndpoint(p.EndpointAddress);
  if (endpoint == nullptr || plug.Halts.IsHalted(p.EndpointAddress)) {
    *outcome = kTransferStalled;
    return true;
  }
  const bool in = IsInAddress(p.EndpointAddress);
  if (p.Records != nullptr) {
    // Isochronous: one packet per service interval, no handshake and no retry; a
    // plug with nothing to send sends empty packets. The transfer moved what its
    // packets carried.
    const uint32_t per = endpoint->IntervalBytes();
    for (uint32_t i = 0; i < p.Packets; ++i) {
      const uint32_t offset = i * per;
      const uint32_t want = offset < p.Length ? std::min(per, p.Length - offset) : 0;
      uint32_t got = 0;
      if (want != 0) {
        EndpointIo io = in ? model.ReadEndpoint(p.EndpointAddress, p.Data + offset, want)
                           : model.WriteEndpoint(p.EndpointAddress, p.Data + offset, want, true);
        got = io.Status == EndpointStatus::Ok ? io.Bytes : 0;
      }
      if (!in) got = want;  // OUT packets leave the host whether or not the plug keeps them
      WriteIsoPacketResult({0, got}, p.Records + ISO_PACKET_RESULT_SIZE * i);
      p.Done += got;
    }
    if (p.Injected == Fault::Corrupt) {
      CorruptPackets(plug.Random, p.Data, p.Records, p.Packets, per, options.CorruptBytes);
    }
    *outcome = kTransferDone;
    return true;
  }
  EndpointIo io =
      in ? model.ReadEndpoint(p.EndpointAddress, p.Data + p.Done, p.Length - p.Done)
         : model.WriteEndpoint(p.EndpointAddress, p.Data + p.Done, p.Length - p.Done, true);
  if (io.Status == EndpointStatus::Stall) {
    *outcome = kTransferStalled;
    return true;
  }
  if (io.Status == EndpointStatus::Nak) return false;
  p.Done += io.Bytes;
  if (!io.TransferEnds && p.Done < p.Length) return false;
  if (p.Injected == Fault::Corrupt) CorruptData(plug.Random, p.Data, p.Done, options.CorruptBytes);
  // A short read hands over what it was cut to; the rest of what the plug had for it
  // is gone, unless the plug's own transfer ended there anyway.
  if (p.Cut != 0 && !io.ShortPacket) model.EndInTransferEarly(p.EndpointAddress, p.Cut);
  *outcome = kTransferDone;
  return true;
}
