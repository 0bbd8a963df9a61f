#include "sim/bus_scheduler.h"

#include <algorithm>
#include <chrono>

#include "protocol/driver_requests.h"
#include "protocol/request_decoder.h"

uint64_t NowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// Link rates chosen for a plug on a good host controller. SuperSpeed bulk: 5 Gb/s
// signalling less 8b/10b coding and protocol overhead leaves about 450 MB/s; good
// hosts read about 440 MB/s and write a little slower (400 MB/s). High speed bulk:
// 13 packets of 512 bytes per microframe is about 53 MB/s in theory, 42/40 MB/s on
// real hosts. Full speed: 19 packets of 64 bytes per frame, about 1.1/1.0 MB/s. Each
// transfer also pays a small start-up latency: 20 us at SuperSpeed, one microframe
// (125 us) at high speed, one frame (1 ms) at full speed.
double DefaultLinkRate(uint8_t speed, bool in) {
  switch (speed) {
    case SPEED_SUPER:
      return in ? 440.0 : 400.0;
    case SPEED_HIGH:
      return in ? 42.0 : 40.0;
    default:
      return in ? 1.1 : 1.0;
  }
}

namespace {

uint64_t LatencyNs(uint8_t speed) {
  return speed == SPEED_SUPER ? 20'000 : speed == SPEED_HIGH ? 125'000 : 1'000'000;
}

}  // namespace

uint64_t TransferDurationNs(const SimPlug& plug, const PendingTransfer& p,
                            const SimOptions& options) {
  if (options.Unlimited) return 0;
  const PlugEndpoint* endpoint = plug.Model->FindEndpoint(p.EndpointAddress);
  const uint8_t speed = plug.Model->Speed();
  if (p.Records != nullptr && endpoint != nullptr) {
    // One packet per service interval of 2^(bInterval-1) frames or microframes.
    const uint64_t frame = speed == SPEED_FULL ? 1'000'000 : 125'000;
    const uint64_t interval = frame << (std::clamp<uint8_t>(endpoint->bInterval, 1, 16) - 1);
    return p.Packets * interval;
  }
  const bool in = IsInAddress(p.EndpointAddress);
  const double rate = options.RateMBps > 0 ? options.RateMBps : DefaultLinkRate(speed, in);
  return LatencyNs(speed) + static_cast<uint64_t>(p.Length / (rate * 1048576.0) * 1e9);
}

bool ProgressTransfer(SimPlug& plug, PendingTransfer& p, const SimOptions& options,
                      TransferOutcome* outcome) {
  PlugModel& model = *plug.Model;
  switch (p.Injected) {
    case Fault::Timeout:
      return false;  // the plug never answers; only an abort ends it
    case Fault::Stall:
      if (model.FindEndpoint(p.EndpointAddress)) plug.Halts.Set(p.EndpointAddress, true);
      *outcome = kTransferStalled;
      return true;
    case Fault::Error:
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
    // plug with nothing to send sends empty packets.
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
      p.Done = std::max(p.Done, offset + got);
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
  *outcome = kTransferDone;
  return true;
}

void QueueTransfer(SimPlug& plug, const PendingTransfer& p) {
  const int index = EndpointSlot(p.EndpointAddress);
  plug.Queues[index].Items.push_back(p);
  plug.Busy |= 1u << index;
}

uint64_t PumpQueues(SimPlug& plug, const SimOptions& options, uint64_t now) {
  uint64_t next = 0;
  bool moved = true;
  while (moved && plug.Busy != 0) {
    moved = false;
    next = 0;
    for (int index = 0; index < 32; ++index) {
      if ((plug.Busy & (1u << index)) == 0) continue;
      EndpointQueue& queue = plug.Queues[index];
      while (!queue.Items.empty()) {
        PendingTransfer& head = queue.Items.front();
        if (!head.Scheduled) {
          head.DueNs = std::max(now, queue.BusyUntilNs) + TransferDurationNs(plug, head, options);
          queue.BusyUntilNs = head.DueNs;
          head.Scheduled = true;
        }
        if (head.DueNs > now) {
          next = next == 0 ? head.DueNs : std::min(next, head.DueNs);
          break;
        }
        TransferOutcome outcome;
        if (!ProgressTransfer(plug, head, options, &outcome)) break;
        FinishTransfer(head, outcome);
        queue.Items.pop_front();
        moved = true;
      }
      if (queue.Items.empty()) plug.Busy &= ~(1u << index);
    }
  }
  return next;
}

void FailTransfers(SimPlug& plug, const TransferOutcome& outcome, uint8_t address,
                   bool allEndpoints, DriverHandle handle) {
  for (int index = 0; index < 32; ++index) {
    if (!allEndpoints && index != EndpointSlot(address)) continue;
    EndpointQueue& queue = plug.Queues[index];
    for (auto it = queue.Items.begin(); it != queue.Items.end();) {
      if (handle != INVALID_DRIVER_HANDLE && it->Handle != handle) {
        ++it;
        continue;
      }
      FinishTransfer(*it, outcome);
      it = queue.Items.erase(it);
    }
    // Transfers queued after an abort start from a fresh bus schedule.
    queue.BusyUntilNs = 0;
    if (queue.Items.empty()) plug.Busy &= ~(1u << index);
  }
}

void BusThread::Start(std::function<uint64_t(uint64_t now)> step) {
  step_ = std::move(step);
  thread_ = std::thread([this] { Run(); });
}

void BusThread::Stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  Wake();
  thread_.join();
}

void BusThread::Wake() {
  {
    std::lock_guard lock(lock_);
    woken_ = true;
  }
  wake_.notify_one();
}

void BusThread::Run() {
  id_.store(std::this_thread::get_id());
  while (!stopping_.load()) {
    const uint64_t next = step_(NowNs());
    std::unique_lock lock(lock_);
    if (woken_ || stopping_.load()) {
      woken_ = false;
      continue;
    }
    if (next == 0) {
      wake_.wait(lock, [this] { return woken_ || stopping_.load(); });
    } else {
      const uint64_t now = NowNs();
      if (next > now) {
        wake_.wait_for(lock, std::chrono::nanoseconds(next - now),
                       [this] { return woken_ || stopping_.load(); });
      }
    }
    woken_ = false;
  }
}
