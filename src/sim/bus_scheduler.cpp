#include "sim/bus_scheduler.h"

#include <sys/prctl.h>

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

void LoseTransferData(SimPlug& plug, PendingTransfer& p) {
  if (p.Lost || !IsInAddress(p.EndpointAddress) || plug.Halts.IsHalted(p.EndpointAddress)) return;
  p.Lost = true;
  const PlugEndpoint* endpoint = plug.Model->FindEndpoint(p.EndpointAddress);
  if (endpoint == nullptr) return;
  if (p.Records == nullptr) {
    plug.Model->LoseInTransfer(p.EndpointAddress, p.Length);
    return;
  }
  // Each isochronous packet is a transfer of its own to the plug.
  const uint32_t per = endpoint->IntervalBytes();
  for (uint32_t i = 0; i < p.Packets; ++i) {
    const uint32_t offset = i * per;
    if (offset < p.Length)
      plug.Model->LoseInTransfer(p.EndpointAddress, std::min(per, p.Length - offset));
  }
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
          // Bus time runs from the request's arrival or the end of the one before it,
          // whichever is later, never from when this thread got round to it: a late
          // wake-up delays one completion, not every one after it.
          head.DueNs =
              std::max(head.SubmitNs, queue.BusyUntilNs) + TransferDurationNs(plug, head, options);
          queue.BusyUntilNs = head.DueNs;
          head.Scheduled = true;
        }
        if (!head.Ended) {
          // Data moves as soon as the transfer has the bus, so that what is left at
          // its due time is only the completion.
          const uint32_t before = head.Done;
          if (!ProgressTransfer(plug, head, options, &head.Outcome)) {
            // Data that moved here may have made room, or brought data, for another
            // queue: a plug moves data as long as both sides have room.
            moved = moved || head.Done != before;
            break;
          }
          head.Ended = true;
          moved = true;
        }
        if (head.DueNs > now) {
          // One that its waiter completes itself is not the bus thread's to wait for.
          if (!head.Awaited) next = next == 0 ? head.DueNs : std::min(next, head.DueNs);
          break;
        }
        FinishTransfer(head, head.Outcome);
        if (head.Outcome.Error == ERROR_SUCCESS) plug.MovedBytes += head.Done;
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
  SetFineTimerSlack();
  while (!stopping_.load()) {
    const uint64_t next = step_(NowNs());
    std::unique_lock lock(lock_);
    if (woken_ || stopping_.load()) {
      woken_ = false;
      continue;
    }
    bool slept = false;
    if (next == 0) {
      wake_.wait(lock, [this] { return woken_ || stopping_.load(); });
    } else if (next > NowNs() + kSpinNs) {
      // Sleep to just short of the deadline; the rest is spun below.
      const std::chrono::steady_clock::time_point until{std::chrono::nanoseconds(next - kSpinNs)};
      wake_.wait_until(lock, until, [this] { return woken_ || stopping_.load(); });
      slept = true;
    }
    if (woken_ || stopping_.load()) {
      woken_ = false;
      continue;
    }
    // While it slept, the transfer it woke for may have been taken over by its waiter
    // (or ended otherwise): look again before spinning for it.
    if (slept) continue;
    lock.unlock();
    SpinUntilNs(next, &stopping_);
  }
}

void SetFineTimerSlack() {
  thread_local bool set = false;
  if (set) return;
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  set = true;
}

void SpinUntilNs(uint64_t due, const std::atomic<bool>* stop) {
  while (NowNs() < due && (stop == nullptr || !stop->load())) {
  }
}

void SleepUntilNs(uint64_t due) {
  SetFineTimerSlack();
  if (due > NowNs() + BusThread::kSpinNs) {
    std::this_thread::sleep_until(
        std::chrono::steady_clock::time_point{std::chrono::nanoseconds(due - BusThread::kSpinNs)});
  }
  SpinUntilNs(due, nullptr);
}
