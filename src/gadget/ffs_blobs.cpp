#include "gadget/ffs_blobs.h"

#include "protocol/byte_order.h"

namespace {

constexpr uint16_t kEnglishUs = 0x0409;

void Append32(std::vector<uint8_t>& v, uint32_t x) {
  const size_t at = v.size();
  v.resize(at + 4);
  PutLe32(&v[at], x);
}

}  // namespace

std::optional<uint32_t> CountDescriptors(const std::vector<uint8_t>& list) {
  uint32_t count = 0;
  size_t at = 0;
  while (at < list.size()) {
    const uint8_t length = list[at];
    if (length < 2 || at + length > list.size()) return std::nullopt;
    at += length;
    ++count;
  }
  return count;
}

std::vector<uint8_t> BuildFfsDescriptors(const std::array<std::vector<uint8_t>, 3>& perSpeed) {
  std::array<uint32_t, 3> counts{};
  for (size_t i = 0; i < perSpeed.size(); ++i) {
    const auto count = CountDescriptors(perSpeed[i]);
    if (!count || *count == 0) return {};
    counts[i] = *count;
  }
  std::vector<uint8_t> block;
  Append32(block, FFS_DESCRIPTORS_MAGIC_V2);
  Append32(block, 0);  // length, filled in below
  Append32(block, FFS_HAS_FS_DESC | FFS_HAS_HS_DESC | FFS_HAS_SS_DESC | FFS_ALL_CTRL_RECIP);
  for (uint32_t count : counts) Append32(block, count);
  for (const auto& list : perSpeed) block.insert(block.end(), list.begin(), list.end());
  PutLe32(&block[4], static_cast<uint32_t>(block.size()));
  return block;
}

std::vector<uint8_t> BuildFfsStrings(const std::string& interfaceName) {
  std::vector<uint8_t> block;
  Append32(block, FFS_STRINGS_MAGIC);
  Append32(block, 0);
  Append32(block, 1);  // strings per language
  Append32(block, 1);  // languages
  block.push_back(static_cast<uint8_t>(kEnglishUs));
  block.push_back(static_cast<uint8_t>(kEnglishUs >> 8));
  block.insert(block.end(), interfaceName.begin(), interfaceName.end());
  block.push_back(0);
  PutLe32(&block[4], static_cast<uint32_t>(block.size()));
  return block;
}

std::optional<FfsEvent> ParseFfsEvent(const uint8_t* e) {
  if (e[8] > static_cast<uint8_t>(FfsEventType::Resume)) return std::nullopt;
  FfsEvent event;
  event.Type = static_cast<FfsEventType>(e[8]);
  event.Setup.bmRequestType = e[0];
  event.Setup.bRequest = e[1];
  event.Setup.wValue = GetLe16(e + 2);
  event.Setup.wIndex = GetLe16(e + 4);
  event.Setup.wLength = GetLe16(e + 6);
  return event;
}

std::array<uint8_t, FFS_EVENT_SIZE> EncodeFfsEvent(const FfsEvent& event) {
  std::array<uint8_t, FFS_EVENT_SIZE> e{};
  e[0] = event.Setup.bmRequestType;
  e[1] = event.Setup.bRequest;
  PutLe16(&e[2], event.Setup.wValue);
  PutLe16(&e[4], event.Setup.wIndex);
  PutLe16(&e[6], event.Setup.wLength);
  e[8] = static_cast<uint8_t>(event.Type);
  return e;
}
