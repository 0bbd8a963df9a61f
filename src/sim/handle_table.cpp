#include "sim/handle_table.h"

#include "platform/win_error.h"

namespace {

// Handle values step by 4 from here, as on the platform the tool was designed on.
constexpr DriverHandle kFirstHandle = 0x100;
// Entry: open bit, 23 bits of reuse count, 8 bits of plug, 32 bits of plug generation.
constexpr uint64_t kOpen = uint64_t(1) << 63;
constexpr int kReuseShift = 40;
constexpr uint64_t kReuseMask = (uint64_t(1) << 23) - 1;

uint64_t Pack(uint64_t reuse, uint32_t plug, uint32_t generation) {
  return kOpen | reuse << kReuseShift | uint64_t(plug & 0xFF) << 32 | generation;
}
uint64_t ReuseOf(uint64_t entry) {
  return (entry >> kReuseShift) & kReuseMask;
}
DriverHandle HandleOf(size_t slot, uint64_t reuse) {
  return kFirstHandle + static_cast<DriverHandle>((reuse * HandleTable::kMaxHandles + slot) * 4);
}

}  // namespace

HandleTable::HandleTable() : entries_(new std::atomic<uint64_t>[kMaxHandles]) {
  for (uint32_t i = 0; i < kMaxHandles; ++i) entries_[i].store(0, std::memory_order_relaxed);
}

bool HandleTable::Lookup(DriverHandle handle, uint32_t* plug, uint32_t* generation) const {
  if (handle < kFirstHandle || (handle - kFirstHandle) % 4 != 0) return false;
  const uint64_t index = static_cast<uint64_t>(handle - kFirstHandle) / 4;
  const size_t slot = index % kMaxHandles;
  if (slot >= slots_.load(std::memory_order_acquire)) return false;
  const uint64_t entry = entries_[slot].load(std::memory_order_acquire);
  if ((entry & kOpen) == 0 || ReuseOf(entry) != index / kMaxHandles) return false;
  *plug = static_cast<uint32_t>(entry >> 32) & 0xFF;
  *generation = static_cast<uint32_t>(entry);
  return true;
}

DriverHandle HandleTable::Open(uint32_t plug, uint32_t generation, uint32_t* error) {
  std::lock_guard lock(lock_);
  const uint32_t used = slots_.load(std::memory_order_relaxed);
  size_t slot = 0;
  while (slot < used && (entries_[slot].load(std::memory_order_relaxed) & kOpen)) ++slot;
  if (slot == kMaxHandles) {
    if (error) *error = ERROR_NOT_ENOUGH_MEMORY;
    return INVALID_DRIVER_HANDLE;
  }
  // A fresh slot starts at 0; a closed one comes back under its next value.
  const uint64_t reuse =
      slot < used ? (ReuseOf(entries_[slot].load(std::memory_order_relaxed)) + 1) & kReuseMask : 0;
  entries_[slot].store(Pack(reuse, plug, generation), std::memory_order_release);
  if (slot == used) slots_.store(used + 1, std::memory_order_release);
  if (error) *error = ERROR_SUCCESS;
  return HandleOf(slot, reuse);
}

bool HandleTable::Close(DriverHandle handle, uint32_t* plug) {
  std::lock_guard lock(lock_);
  uint32_t generation;
  if (!Lookup(handle, plug, &generation)) return false;
  const size_t slot = static_cast<size_t>((handle - kFirstHandle) / 4) % kMaxHandles;
  entries_[slot].fetch_and(~kOpen, std::memory_order_release);
  return true;
}

std::vector<DriverHandle> HandleTable::HandlesOf(uint32_t plug, uint32_t generation) const {
  std::vector<DriverHandle> handles;
  const uint32_t slots = slots_.load(std::memory_order_acquire);
  for (size_t slot = 0; slot < slots; ++slot) {
    const uint64_t entry = entries_[slot].load(std::memory_order_acquire);
    if ((entry & kOpen) && (static_cast<uint32_t>(entry >> 32) & 0xFF) == plug &&
        static_cast<uint32_t>(entry) == generation) {
      handles.push_back(HandleOf(slot, ReuseOf(entry)));
    }
  }
  return handles;
}
