#include "usbhost/in_flight.h"

#include <algorithm>

InFlightTransfers::Entry* InFlightTransfers::Find(Id id) {
  for (Entry& entry : entries_) {
    if (entry.Number == id) return &entry;
  }
  return nullptr;
}

InFlightTransfers::Id InFlightTransfers::Add(uint8_t endpointAddress, void* transfer) {
  std::lock_guard lock(lock_);
  const Id id = ++next_;
  entries_.push_back({id, endpointAddress, State::Submitting, false, transfer});
  return id;
}

void InFlightTransfers::Submitted(Id id, const CancelFunction& cancel) {
  std::lock_guard lock(lock_);
  Entry* entry = Find(id);
  if (entry == nullptr || entry->Now != State::Submitting) return;  // finished already
  entry->Now = State::Flying;
  if (entry->CancelAsked) cancel(entry->Transfer);
}

void InFlightTransfers::Finishing(Id id) {
  std::lock_guard lock(lock_);
  if (Entry* entry = Find(id)) entry->Now = State::Finishing;
}

void InFlightTransfers::Remove(Id id) {
  {
    std::lock_guard lock(lock_);
    std::erase_if(entries_, [id](const Entry& entry) { return entry.Number == id; });
  }
  removed_.notify_all();
}

void InFlightTransfers::CancelAndWait(int endpoint, const CancelFunction& cancel,
                                      const PumpFunction& pump) {
  std::unique_lock lock(lock_);
  std::vector<Id> waitFor;
  for (Entry& entry : entries_) {
    if (!Matches(entry, endpoint)) continue;
    waitFor.push_back(entry.Number);
    if (entry.Now == State::Flying) {
      cancel(entry.Transfer);
    } else if (entry.Now == State::Submitting) {
      entry.CancelAsked = true;
    }
  }
  auto pending = [&] {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
      return std::find(waitFor.begin(), waitFor.end(), entry.Number) != waitFor.end();
    });
  };
  while (pending()) {
    if (pump) {
      lock.unlock();
      pump();
      lock.lock();
    } else {
      removed_.wait(lock);
    }
  }
}

size_t InFlightTransfers::Count(int endpoint) const {
  std::lock_guard lock(lock_);
  return std::count_if(entries_.begin(), entries_.end(),
                       [endpoint](const Entry& entry) { return Matches(entry, endpoint); });
}
