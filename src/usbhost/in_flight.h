// The transfers of one open handle that libusb still holds, by endpoint, so that an
// abort can cancel exactly those and wait for each of them.
//
// libusb cancels asynchronously: libusb_cancel_transfer only asks, and the transfer
// completes later on the event thread. The abort request must not return before
// then (the caller frees its records right after), so every transfer goes through
// these steps:
//   Add        before libusb_submit_transfer (the completion may come at once)
//   Submitted  after a successful submission: a cancel that came meanwhile is
//              carried out now, for a transfer that was not yet libusb's to cancel
//   Finishing  first thing in the completion: nobody cancels it any more, its
//              libusb transfer may be freed
//   Remove     after its record has been completed: waiters see it gone
// CancelAndWait cancels what is in flight at the time of the call and waits until
// each of those has been removed; transfers submitted after it are left alone.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class InFlightTransfers {
 public:
  using Id = uint64_t;
  // Asks libusb to cancel one transfer; called with the table's lock held.
  using CancelFunction = std::function<void(void* transfer)>;
  // Called while waiting, without the lock, when the waiter must serve completions
  // itself (it is the event thread); returns after at most a short while.
  using PumpFunction = std::function<void()>;

  Id Add(uint8_t endpointAddress, void* transfer);
  void Submitted(Id id, const CancelFunction& cancel);
  void Finishing(Id id);
  void Remove(Id id);

  static constexpr int kAllEndpoints = -1;
  // endpoint: an endpoint address, or kAllEndpoints.
  void CancelAndWait(int endpoint, const CancelFunction& cancel, const PumpFunction& pump = {});

  size_t Count(int endpoint = kAllEndpoints) const;

 private:
  enum class State : uint8_t { Submitting, Flying, Finishing };
  struct Entry {
    Id Number;
    uint8_t Endpoint;
    State Now;
    bool CancelAsked;
    void* Transfer;
  };
  static bool Matches(const Entry& entry, int endpoint) {
    return endpoint == kAllEndpoints || entry.Endpoint == endpoint;
  }
  Entry* Find(Id id);

  mutable std::mutex lock_;
  std::condition_variable removed_;
  std::vector<Entry> entries_;  // few at a time: a queue depth per endpoint
  Id next_ = 0;
};
