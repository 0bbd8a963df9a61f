#include "sim/fault_injector.h"

#include <algorithm>

#include "protocol/byte_order.h"

bool AnyTransferFaults(const SimOptions& o) {
  return o.ReadErrorEvery || o.WriteErrorEvery || o.ShortReadEvery || o.CorruptEvery ||
         o.TimeoutEvery || o.StallEvery;
}

Fault ChooseFault(const SimOptions& o, bool in, uint32_t count) {
  auto every = [count](uint32_t period) { return period != 0 && count % period == 0; };
  if (every(o.TimeoutEvery)) return Fault::Timeout;
  if (every(o.StallEvery)) return Fault::Stall;
  if (every(in ? o.ReadErrorEvery : o.WriteErrorEvery)) return Fault::Error;
  if (in && every(o.ShortReadEvery)) return Fault::Short;
  if (in && every(o.CorruptEvery)) return Fault::Corrupt;
  return Fault::None;
}

uint32_t ShortReadLength(uint32_t length, uint32_t packetBytes) {
  const uint32_t half = length / 2;
  return half >= packetBytes && packetBytes != 0 ? half - half % packetBytes : half;
}

void CorruptData(std::mt19937& random, uint8_t* data, uint32_t length, uint32_t count) {
  if (length == 0 || count == 0) return;
  count = std::min(count, length);
  const uint32_t step = std::max<uint32_t>(1, length / count);
  const uint32_t start = random() % step;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t flip = static_cast<uint8_t>(1 + random() % 255);
    data[(start + i * step) % length] ^= flip;
  }
}

void BreakConfigurationSet(std::vector<uint8_t>& set, bool superSpeed) {
  // Back past the companion (6 bytes at SuperSpeed) and 3 bytes into the endpoint.
  const size_t cut = superSpeed ? 9 : 3;
  if (set.size() < 4 + cut) return;
  const uint16_t total = static_cast<uint16_t>(set.size() - cut);
  PutLe16(&set[2], total);
  set.resize(total);
}

void BreakBos(std::vector<uint8_t>& bos) {
  if (bos.size() < 6) return;
  const size_t second = size_t(bos[0]) + bos[bos[0]];
  if (second < bos.size()) bos[second] = 0;
}
