// Feeds arbitrary bytes to the plug registry's table reader, as another process might
// leave them, and traps when what the claim logic builds on breaks: serials bounded
// and free of zeros, a written slot read back as written with its neighbours intact,
// and a choice that names a slot the table really allows.
//
// Input: the 1408 table bytes, then 4 bytes saying which slots live copies hold (one
// bit per slot), 4 bytes of process id, the rest the wanted serial (UTF-16LE). Short
// inputs are padded with zeros.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "plug/plug_registry_table.h"

namespace {
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

uint32_t Word(const uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<uint8_t, PLUG_REGISTRY_SIZE + 8> head{};
  std::memcpy(head.data(), data, std::min(size, head.size()));
  std::u16string serial;
  for (size_t at = head.size(); at + 1 < size; at += 2) {
    serial.push_back(static_cast<char16_t>(data[at] | (data[at + 1] << 8)));
  }
  std::array<uint8_t, PLUG_REGISTRY_SIZE> bytes;
  std::memcpy(bytes.data(), head.data(), bytes.size());
  const uint32_t held = Word(head.data() + PLUG_REGISTRY_SIZE);
  const uint32_t processId = Word(head.data() + PLUG_REGISTRY_SIZE + 4);

  const PlugRegistryTable table = ReadPlugRegistry(bytes);
  for (const PlugRegistrySlot& slot : table) {
    Check(slot.Serial.size() <= PLUG_REGISTRY_SERIAL_LENGTH);
    Check(slot.Serial.find(u'\0') == std::u16string::npos);
  }
  const std::u16string_view key = PlugRegistryKey(serial);
  Check(key.size() <= PLUG_REGISTRY_SERIAL_LENGTH && key.find(u'\0') == key.npos);

  auto heldElsewhere = [&](uint32_t slot) { return ((held >> slot) & 1) != 0; };
  const PlugRegistryChoice choice = ChoosePlugRegistrySlot(table, serial, processId, heldElsewhere);
  Check(choice.Slot < PLUG_REGISTRY_SLOTS);
  bool anyTaken = false;
  for (uint32_t i = 0; i < PLUG_REGISTRY_SLOTS; ++i) {
    if (heldElsewhere(i) && table[i].Serial == key) anyTaken = true;
  }
  Check((choice.Result == PlugRegistryChoice::Kind::InUse) == anyTaken);
  if (choice.Result == PlugRegistryChoice::Kind::InUse) {
    Check(heldElsewhere(choice.Slot) && table[choice.Slot].Serial == key);
    return 0;
  }
  Check((choice.Result == PlugRegistryChoice::Kind::NoRoom) == (held == 0xFFFFFFFF));
  if (choice.Result == PlugRegistryChoice::Kind::NoRoom) return 0;
  Check(!heldElsewhere(choice.Slot));
  Check((choice.Result == PlugRegistryChoice::Kind::OwnSlot) ==
        (static_cast<int32_t>(processId) > 0 && table[choice.Slot].ProcessId == processId));

  std::array<uint8_t, PLUG_REGISTRY_SIZE> written = bytes;
  WritePlugRegistrySlot(written, choice.Slot, serial, processId);
  const PlugRegistryTable after = ReadPlugRegistry(written);
  for (uint32_t i = 0; i < PLUG_REGISTRY_SLOTS; ++i) {
    if (i == choice.Slot) {
      Check(after[i].Serial == key && after[i].ProcessId == processId);
    } else {
      Check(after[i] == table[i]);
    }
  }
  return 0;
}
