// Feeds any text to the simulation option parser (it comes from the command line) and
// traps when an answer breaks its promises: either options or a message, a message
// short whatever was typed, accepted values inside their ranges, and a key given
// twice refused.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/sim_options.h"

namespace {
void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool HasItem(std::string_view text) {
  return text.find_first_not_of(" \t,") != std::string_view::npos;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const SimOptionsResult r = ParseSimOptions(text);
  static const size_t keyList = SimOptionKeyList().size();
  if (!r.Ok) {
    // Echoes are cut to 32 characters (each may widen to one unit per byte).
    Check(!r.Error.empty() && r.Error.size() < keyList + 256);
    return 0;
  }
  Check(r.Error.empty());
  const SimOptions& o = r.Options;
  Check(o.Plugs >= 1 && o.Plugs <= SIM_MAX_PLUGS);
  Check(o.Speed == SPEED_SUPER || o.Speed == SPEED_HIGH || o.Speed == SPEED_FULL);
  Check(o.SerialPrefix.size() <= SIM_MAX_SERIAL_PREFIX);
  for (char c : o.SerialPrefix) {
    Check((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
          c == '_');
  }
  Check(o.Firmware <= 99);
  Check(o.Unlimited ? o.RateMBps == 0.0
                    : (o.RateMBps == 0.0 || (o.RateMBps >= 1 && o.RateMBps <= 100000)));
  Check(o.CorruptBytes >= 1 && o.CorruptBytes <= 65536);
  Check(o.PhyFlags <= 0x1FF && o.LinkFlags <= 0x7FFF);
  Check(o.ReenumMs <= 600000 && o.RemoveAfterMs <= 86400000);
  // Every key it took, given again, is one too many.
  if (HasItem(text)) Check(!ParseSimOptions(std::string(text) + "," + std::string(text)).Ok);
  return 0;
}
