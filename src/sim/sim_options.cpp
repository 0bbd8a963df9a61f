#include "sim/sim_options.h"

#include <charconv>
#include <cstdlib>
#include <iterator>

#include "platform/text.h"

namespace {

enum class Kind { Count, Flag, Speed, Serial, Firmware, Rate, Mask };

struct KeyInfo {
  const char* Name;
  Kind Type;
  uint32_t Min;
  uint32_t Max;
  uint32_t SimOptions::*Field;  // for Count keys
};

const KeyInfo kKeys[] = {
    {"plugs", Kind::Count, 1, SIM_MAX_PLUGS, &SimOptions::Plugs},
    {"speed", Kind::Speed, 0, 0, nullptr},
    {"serial", Kind::Serial, 0, 0, nullptr},
    {"firmware", Kind::Firmware, 0, 0, nullptr},
    {"rate", Kind::Rate, 1, 100000, nullptr},
    {"reenum-ms", Kind::Count, 0, 600000, &SimOptions::ReenumMs},
    {"seed", Kind::Count, 0, UINT32_MAX, &SimOptions::Seed},
    // Every-N faults: 0 is off, as when the key is not given.
    {"read-error-every", Kind::Count, 0, UINT32_MAX, &SimOptions::ReadErrorEvery},
    {"write-error-every", Kind::Count, 0, UINT32_MAX, &SimOptions::WriteErrorEvery},
    {"short-read-every", Kind::Count, 0, UINT32_MAX, &SimOptions::ShortReadEvery},
    {"corrupt-every", Kind::Count, 0, UINT32_MAX, &SimOptions::CorruptEvery},
    {"corrupt-bytes", Kind::Count, 1, 65536, &SimOptions::CorruptBytes},
    {"timeout-every", Kind::Count, 0, UINT32_MAX, &SimOptions::TimeoutEvery},
    {"read-timeout-every", Kind::Count, 0, UINT32_MAX, &SimOptions::ReadTimeoutEvery},
    {"write-timeout-every", Kind::Count, 0, UINT32_MAX, &SimOptions::WriteTimeoutEvery},
    {"stall-every", Kind::Count, 0, UINT32_MAX, &SimOptions::StallEvery},
    {"read-stall-every", Kind::Count, 0, UINT32_MAX, &SimOptions::ReadStallEvery},
    {"write-stall-every", Kind::Count, 0, UINT32_MAX, &SimOptions::WriteStallEvery},
    {"phy-errors", Kind::Count, 0, 1000000, &SimOptions::PhyErrors},
    {"link-errors", Kind::Count, 0, 1000000, &SimOptions::LinkErrors},
    {"phy-flags", Kind::Mask, 0, 0x1FF, &SimOptions::PhyFlags},
    {"link-flags", Kind::Mask, 0, 0x7FFF, &SimOptions::LinkFlags},
    {"remove-after-ms", Kind::Count, 0, 86400000, &SimOptions::RemoveAfterMs},
    {"no-return", Kind::Flag, 0, 0, nullptr},
    {"bad-config", Kind::Flag, 0, 0, nullptr},
    {"bad-bos", Kind::Flag, 0, 0, nullptr},
};

std::u16string Fail(const std::string& what) {
  return Utf8ToUtf16(what + " Valid options: ") + SimOptionKeyList() + u".";
}

// What the user typed, in quotes, cut to a length a message can carry (at a
// character boundary, so that the cut leaves valid UTF-8 text).
std::string Quoted(std::string_view text) {
  constexpr size_t kMaxEcho = 32;
  if (text.size() <= kMaxEcho) return "\"" + std::string(text) + "\"";
  size_t cut = kMaxEcho;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return "\"" + std::string(text.substr(0, cut)) + "...\"";
}

std::string BadValue(std::string_view key, std::string_view value, const std::string& expected) {
  return "Bad value " + Quoted(value) + " for simulation option \"" + std::string(key) +
         "\": expected " + expected + ".";
}

bool ParseNumber(std::string_view text, uint64_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string Range(uint32_t min, uint32_t max) {
  return "a number from " + std::to_string(min) + " to " + std::to_string(max);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Returns an empty text on success, else the message without the key list.
std::string Apply(const KeyInfo& key, std::string_view value, bool hasValue, SimOptions* out) {
  if (key.Type == Kind::Flag) {
    bool on = true;
    if (hasValue) {
      if (value == "1" || value == "yes" || value == "true") {
        on = true;
      } else if (value == "0" || value == "no" || value == "false") {
        on = false;
      } else {
        return BadValue(key.Name, value, "no value, or 1/0");
      }
    }
    std::string_view name = key.Name;
    if (name == "no-return") out->NoReturn = on;
    if (name == "bad-config") out->BadConfig = on;
    if (name == "bad-bos") out->BadBos = on;
    return {};
  }
  if (!hasValue || value.empty()) {
    return "Simulation option \"" + std::string(key.Name) + "\" needs a value.";
  }
  switch (key.Type) {
    case Kind::Speed:
      if (value == "super") {
        out->Speed = SPEED_SUPER;
      } else if (value == "high") {
        out->Speed = SPEED_HIGH;
      } else if (value == "full") {
        out->Speed = SPEED_FULL;
      } else {
        return BadValue(key.Name, value, "super, high or full");
      }
      return {};
    case Kind::Serial: {
      bool good = value.size() <= SIM_MAX_SERIAL_PREFIX;
      for (char c : value) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum && c != '-' && c != '_') good = false;
      }
      if (!good) {
        return BadValue(
            key.Name, value,
            "1 to " + std::to_string(SIM_MAX_SERIAL_PREFIX) + " letters, digits, '-' or '_'");
      }
      out->SerialPrefix = std::string(value);
      return {};
    }
    case Kind::Firmware:
      if (value == "none") {
        out->HasFirmware = false;
        return {};
      }
      if (value.size() != 2 || value[0] < '0' || value[0] > '9' || value[1] < '0' ||
          value[1] > '9') {
        return BadValue(key.Name, value, "two digits (23 for V2.3) or none");
      }
      out->HasFirmware = true;
      out->Firmware = static_cast<uint8_t>((value[0] - '0') * 10 + (value[1] - '0'));
      return {};
    case Kind::Rate: {
      if (value == "unlimited") {
        out->Unlimited = true;
        out->RateMBps = 0.0;
        return {};
      }
      uint64_t n = 0;
      if (!ParseNumber(value, &n) || n < key.Min || n > key.Max) {
        return BadValue(key.Name, value, Range(key.Min, key.Max) + " (MB/s) or unlimited");
      }
      out->Unlimited = false;
      out->RateMBps = static_cast<double>(n);
      return {};
    }
    case Kind::Count:
    case Kind::Mask: {
      uint64_t n = 0;
      if (!ParseNumber(value, &n) || n < key.Min || n > key.Max) {
        return BadValue(key.Name, value, Range(key.Min, key.Max));
      }
      out->*key.Field = static_cast<uint32_t>(n);
      return {};
    }
    case Kind::Flag:
      break;
  }
  return {};
}

}  // namespace

std::u16string SimOptionKeyList() {
  std::string list;
  for (const KeyInfo& key : kKeys) {
    if (!list.empty()) list += ", ";
    list += key.Name;
  }
  return Utf8ToUtf16(list);
}

SimOptionsResult ParseSimOptions(std::string_view text) {
  SimOptionsResult result;
  bool given[std::size(kKeys)] = {};
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view item = Trim(text.substr(pos, comma - pos));
    pos = comma + 1;
    if (item.empty()) continue;
    size_t eq = item.find('=');
    std::string_view name = Trim(item.substr(0, eq));
    std::string_view value =
        eq == std::string_view::npos ? std::string_view() : Trim(item.substr(eq + 1));
    if (name.empty()) {
      result.Error = Fail("Simulation option " + Quoted(item) + " has no name.");
      return result;
    }
    const KeyInfo* key = nullptr;
    for (const KeyInfo& k : kKeys) {
      if (name == k.Name) key = &k;
    }
    if (key == nullptr) {
      result.Error = Fail("Unknown simulation option " + Quoted(name) + ".");
      return result;
    }
    // Which of two values would hold is anybody's guess: refuse the second.
    bool& seen = given[key - kKeys];
    if (seen) {
      result.Error = Fail("Simulation option \"" + std::string(key->Name) + "\" is given twice.");
      return result;
    }
    seen = true;
    std::string problem = Apply(*key, value, eq != std::string_view::npos, &result.Options);
    if (!problem.empty()) {
      result.Error = Fail(problem);
      return result;
    }
  }
  result.Ok = true;
  return result;
}
