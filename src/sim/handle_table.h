// The virtual driver's open handles. Every request looks its handle up without a
// lock: one packed word per slot (open bit, how often the slot was reused, plug, plug
// generation at open), written under the table's lock. A handle opened before its
// plug left the bus keeps the old generation and so goes stale.
//
// A handle's value names its slot and the slot's reuse count, so a closed handle's
// value is not given out again: a stale value reaches nothing, and whatever still
// refers to it (a queued request, a caller that closes twice) cannot hit the next
// handle in its slot. Values repeat only after 2^23 opens of one slot.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/driver_port.h"

class HandleTable {
 public:
  static constexpr uint32_t kMaxHandles = 4096;

  HandleTable();

  bool Lookup(DriverHandle handle, uint32_t* plug, uint32_t* generation) const;
  // A new handle on the plug, or INVALID_DRIVER_HANDLE with *error when none is free.
  DriverHandle Open(uint32_t plug, uint32_t generation, uint32_t* error);
  // False when the handle is not open; else *plug is its plug.
  bool Close(DriverHandle handle, uint32_t* plug);
  // The open handles of a plug that were opened during the given generation.
  std::vector<DriverHandle> HandlesOf(uint32_t plug, uint32_t generation) const;

 private:
  // Lookups read only these two.
  std::atomic<uint32_t> slots_{0};
  std::unique_ptr<std::atomic<uint64_t>[]> entries_;
  std::mutex lock_;  // writers
};
