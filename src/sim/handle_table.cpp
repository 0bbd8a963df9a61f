#include "sim/handle_table.h"

#include "platform/win_error.h"

namespace {

// Handle values step by 4 from here, as on the platform the tool was designed on.
constexpr DriverHandle kFirstHandle = 0x100;
constexpr uint64_t kOpen = uint64_t(1) << 63;

uint64_t Pack(uint32_t plug, uint32_t generation) {
  return kOpen | uint64_t(plug) << 32 | generation;
}
size_t SlotOf(DriverHandle handle) {
  return static_cast<size_t>((handle - kFirstHandle) / 4);
}
DriverHandle HandleOf(size_t slot) {
  return kFirstHandle + static_cast<DriverHandle>(slot) * 4;
}

}  // namespace

HandleTable::HandleTable() : entries_(new std::atomic<uint64_t>[kMaxHandles]) {
  for (uint32_t i = 0; i < kMaxHandles; ++i) entries_[i].store(0, std::memory_order_relaxed);
}

bool HandleTable::Lookup(DriverHandle handle, uint32_t* plug, uint32_t* generation) const {
  if (handle < kFirstHandle || (handle - kFirstHandle) % 4 != 0) return false;
  const size_t slot = SlotOf(handle);
  if (slot >= slots_.load(std::memory_order_acquire)) return false;
  const uint64_t entry = entries_[slot].load(std::memory_order_acquire);
  if ((entry & kOpen) == 0) return false;
  *plug = static_cast<uint32_t>(entry >> 32) & 0x7FFFFFFF;
  *generation = static_cast<uint32_t>(entry);
  return true;
}

DriverHandle HandleTable::Open(uint32_t plug, uint32_t generation, uint32_t* error) {
  std::lock_guard lock(lock_);
  // Closed slots are reused, as handle values are on the original platform.
  const uint32_t used = slots_.load(std::memory_order_relaxed);
  size_t slot = 0;
  while (slot < used && (entries_[slot].load(std::memory_order_relaxed) & kOpen)) ++slot;
  if (slot == kMaxHandles) {
    if (error) *error = ERROR_NOT_ENOUGH_MEMORY;
    return INVALID_DRIVER_HANDLE;
  }
  entries_[slot].store(Pack(plug, generation), std::memory_order_release);
  if (slot == used) slots_.store(used + 1, std::memory_order_release);
  if (error) *error = ERROR_SUCCESS;
  return HandleOf(slot);
}

bool HandleTable::Close(DriverHandle handle, uint32_t* plug) {
  std::lock_guard lock(lock_);
  uint32_t generation;
  if (!Lookup(handle, plug, &generation)) return false;
  entries_[SlotOf(handle)].fetch_and(~kOpen, std::memory_order_release);
  return true;
}

std::vector<DriverHandle> HandleTable::HandlesOf(uint32_t plug, uint32_t generation) const {
  std::vector<DriverHandle> handles;
  const uint32_t slots = slots_.load(std::memory_order_acquire);
  for (size_t slot = 0; slot < slots; ++slot) {
    uint32_t owner, opened;
    if (Lookup(HandleOf(slot), &owner, &opened) && owner == plug && opened == generation) {
      handles.push_back(HandleOf(slot));
    }
  }
  return handles;
}
