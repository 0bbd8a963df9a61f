#include "plug/plug_registry_table.h"

namespace {

constexpr size_t kProcessIdOffset = 40;

size_t SlotOffset(uint32_t index) {
  return PLUG_REGISTRY_SLOT_SIZE * index;
}

bool IsPositive(uint32_t processId) {
  return static_cast<int32_t>(processId) > 0;
}

}  // namespace

std::u16string_view PlugRegistryKey(std::u16string_view serial) {
  serial = serial.substr(0, serial.find(u'\0'));
  return serial.substr(0, PLUG_REGISTRY_SERIAL_LENGTH);
}

PlugRegistryTable ReadPlugRegistry(PlugRegistryBytes bytes) {
  PlugRegistryTable table;
  for (uint32_t i = 0; i < PLUG_REGISTRY_SLOTS; ++i) {
    const uint8_t* slot = bytes.data() + SlotOffset(i);
    for (size_t c = 0; c < PLUG_REGISTRY_SERIAL_LENGTH; ++c) {
      const char16_t unit = static_cast<char16_t>(slot[2 * c] | (slot[2 * c + 1] << 8));
      if (unit == 0) break;
      table[i].Serial.push_back(unit);
    }
    const uint8_t* id = slot + kProcessIdOffset;
    table[i].ProcessId = static_cast<uint32_t>(id[0]) | (static_cast<uint32_t>(id[1]) << 8) |
                         (static_cast<uint32_t>(id[2]) << 16) |
                         (static_cast<uint32_t>(id[3]) << 24);
  }
  return table;
}

void WritePlugRegistrySlot(std::span<uint8_t, PLUG_REGISTRY_SIZE> bytes, uint32_t index,
                           std::u16string_view serial, uint32_t processId) {
  if (index >= PLUG_REGISTRY_SLOTS) return;
  // Built whole first, so the shared copy changes in one short copy.
  std::array<uint8_t, PLUG_REGISTRY_SLOT_SIZE> slot{};
  const std::u16string_view key = PlugRegistryKey(serial);
  for (size_t c = 0; c < key.size(); ++c) {
    slot[2 * c] = static_cast<uint8_t>(key[c] & 0xFF);
    slot[2 * c + 1] = static_cast<uint8_t>(key[c] >> 8);
  }
  for (size_t b = 0; b < 4; ++b) {
    slot[kProcessIdOffset + b] = static_cast<uint8_t>(processId >> (8 * b));
  }
  std::copy(slot.begin(), slot.end(), bytes.begin() + SlotOffset(index));
}

PlugRegistryChoice ChoosePlugRegistrySlot(const PlugRegistryTable& table,
                                          std::u16string_view serial, uint32_t processId,
                                          const std::function<bool(uint32_t)>& heldElsewhere,
                                          const std::function<bool(uint32_t)>& skip) {
  const std::u16string_view key = PlugRegistryKey(serial);
  bool haveOwn = false;
  bool haveFree = false;
  uint32_t own = 0;
  uint32_t firstFree = 0;
  for (uint32_t i = 0; i < PLUG_REGISTRY_SLOTS; ++i) {
    if (heldElsewhere(i)) {
      if (table[i].Serial == key) return {PlugRegistryChoice::Kind::InUse, i};
      continue;
    }
    if (skip && skip(i)) continue;
    if (IsPositive(processId) && table[i].ProcessId == processId) {
      haveOwn = true;
      own = i;
    } else if (!haveFree) {
      haveFree = true;
      firstFree = i;
    }
  }
  if (haveOwn) return {PlugRegistryChoice::Kind::OwnSlot, own};
  if (haveFree) return {PlugRegistryChoice::Kind::FreeSlot, firstFree};
  return {PlugRegistryChoice::Kind::NoRoom, 0};
}
