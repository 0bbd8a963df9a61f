// The plug registry's table as it lies in shared memory: 32 slots of 44 bytes, no
// header. A slot is the plug's serial number, UTF-16 little-endian, zero-terminated in
// 40 bytes, then the owner's process id, 32-bit little-endian.
//
// Other processes write this memory, so nothing in it is trusted: a serial ends at its
// first zero or after 19 characters, whichever comes first, and any process id is
// just a number. Serials longer than 19 characters are cut to 19 when stored and when
// compared: two plugs that agree in their first 19 characters then count as one plug,
// which can refuse a plug needlessly but never lets two copies share one.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

constexpr uint32_t PLUG_REGISTRY_SLOTS = 32;
constexpr size_t PLUG_REGISTRY_SLOT_SIZE = 44;
constexpr size_t PLUG_REGISTRY_SIZE = PLUG_REGISTRY_SLOTS * PLUG_REGISTRY_SLOT_SIZE;
constexpr size_t PLUG_REGISTRY_SERIAL_LENGTH = 19;

struct PlugRegistrySlot {
  std::u16string Serial;
  uint32_t ProcessId = 0;
  bool operator==(const PlugRegistrySlot&) const = default;
};

using PlugRegistryTable = std::array<PlugRegistrySlot, PLUG_REGISTRY_SLOTS>;
using PlugRegistryBytes = std::span<const uint8_t, PLUG_REGISTRY_SIZE>;

// The serial as a slot holds it: up to its first zero, at most 19 characters.
std::u16string_view PlugRegistryKey(std::u16string_view serial);

PlugRegistryTable ReadPlugRegistry(PlugRegistryBytes bytes);
// Writes one slot whole: the serial's key, zero-filled, then the process id.
void WritePlugRegistrySlot(std::span<uint8_t, PLUG_REGISTRY_SIZE> bytes, uint32_t index,
                           std::u16string_view serial, uint32_t processId);

// What a claim of `serial` by process `processId` comes to. `heldElsewhere(i)` says
// whether a live instance other than this one owns slot i. A slot is:
// - another's when it is held elsewhere; its serial refuses the plug;
// - this instance's own when it carries processId (the last such slot counts);
// - free otherwise: a process id that is not positive, or one whose instance has gone
//   (a crashed copy, or a process that now has the id of a dead one).
struct PlugRegistryChoice {
  enum class Kind : uint8_t { InUse, OwnSlot, FreeSlot, NoRoom };
  Kind Result = Kind::NoRoom;
  uint32_t Slot = 0;  // the owner's slot for InUse, the slot to write otherwise
  bool operator==(const PlugRegistryChoice&) const = default;
};
// `skip(i)`: slot i is not to be written (a lock on it could not be taken).
PlugRegistryChoice ChoosePlugRegistrySlot(const PlugRegistryTable& table,
                                          std::u16string_view serial, uint32_t processId,
                                          const std::function<bool(uint32_t)>& heldElsewhere,
                                          const std::function<bool(uint32_t)>& skip = {});
