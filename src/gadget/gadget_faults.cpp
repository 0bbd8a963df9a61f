#include "gadget/gadget_faults.h"

#include <charconv>

namespace {

struct FaultKey {
  const char* Name;
  uint32_t GadgetFaults::*Field;
  uint32_t Min;
  uint32_t Max;
};

const FaultKey kKeys[] = {
    {"read-error-every", &GadgetFaults::ReadErrorEvery, 1, UINT32_MAX},
    {"write-error-every", &GadgetFaults::WriteErrorEvery, 1, UINT32_MAX},
    {"short-read-every", &GadgetFaults::ShortReadEvery, 1, UINT32_MAX},
    {"corrupt-every", &GadgetFaults::CorruptEvery, 1, UINT32_MAX},
    {"corrupt-bytes", &GadgetFaults::CorruptBytes, 1, 65536},
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string GadgetFaultKeyList() {
  std::string list;
  for (const FaultKey& key : kKeys) {
    if (!list.empty()) list += ", ";
    list += key.Name;
  }
  return list;
}

GadgetFaultsResult ParseGadgetFaults(std::string_view text) {
  GadgetFaultsResult result;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view item = Trim(text.substr(pos, comma - pos));
    pos = comma + 1;
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    const std::string_view name = Trim(item.substr(0, eq));
    const FaultKey* key = nullptr;
    for (const FaultKey& k : kKeys) {
      if (name == k.Name) key = &k;
    }
    if (key == nullptr) {
      result.Error = "Unknown fault \"" + std::string(name) +
                     "\". Valid faults: " + GadgetFaultKeyList() + ".";
      return result;
    }
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view() : Trim(item.substr(eq + 1));
    uint64_t n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size() || n < key->Min ||
        n > key->Max) {
      result.Error = "Bad value \"" + std::string(value) + "\" for fault \"" + key->Name +
                     "\": expected a number from " + std::to_string(key->Min) + " to " +
                     std::to_string(key->Max) + ".";
      return result;
    }
    result.Faults.*key->Field = static_cast<uint32_t>(n);
  }
  result.Ok = true;
  return result;
}

GadgetFault ChooseGadgetFault(const GadgetFaults& f, bool in, uint32_t count) {
  auto every = [count](uint32_t period) { return period != 0 && count % period == 0; };
  if (every(in ? f.ReadErrorEvery : f.WriteErrorEvery)) return GadgetFault::Error;
  if (in && every(f.ShortReadEvery)) return GadgetFault::Short;
  if (in && every(f.CorruptEvery)) return GadgetFault::Corrupt;
  return GadgetFault::None;
}

uint32_t ShortTransferLength(uint32_t length, uint32_t packetBytes) {
  const uint32_t half = length / 2;
  return half >= packetBytes && packetBytes != 0 ? half - half % packetBytes : half;
}
