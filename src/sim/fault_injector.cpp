#include "sim/fault_injector.h"

#include <algorithm>

#include "protocol/byte_order.h"
#include "protocol/driver_requests.h"

bool AnyTransferFaults(const SimOptions& o) {
  return o.ReadErrorEvery || o.WriteErrorEvery || o.ShortReadEvery || o.CorruptEvery ||
         o.TimeoutEvery || o.ReadTimeoutEvery || o.WriteTimeoutEvery || o.StallEvery ||
         o.ReadStallEvery || o.WriteStallEvery;
}

Fault ChooseFault(const SimOptions& o, bool in, uint32_t count) {
  auto every = [count](uint32_t period) { return period != 0 && count % period == 0; };
  if (every(o.TimeoutEvery) || every(in ? o.ReadTimeoutEvery : o.WriteTimeoutEvery)) {
    return Fault::Timeout;
  }
  if (every(o.StallEvery) || every(in ? o.ReadStallEvery : o.WriteStallEvery)) return Fault::Stall;
  if (every(in ? o.ReadErrorEvery : o.WriteErrorEvery)) return Fault::Error;
  if (in && every(o.ShortReadEvery)) return Fault::Short;
  if (in && every(o.CorruptEvery)) return Fault::Corrupt;
  return Fault::None;
}

uint32_t ShortReadLength(uint32_t length, uint32_t packetBytes) {
  const uint32_t half = length / 2;
  return half >= packetBytes && packetBytes != 0 ? half - half % packetBytes : half;
}

namespace {

// Calls flip(position, mask) for count positions spread evenly over length bytes,
// in ascending order, from a random start.
template <typename Flip>
void SpreadFlips(std::mt19937& random, uint32_t length, uint32_t count, Flip flip) {
  if (length == 0 || count == 0) return;
  count = std::min(count, length);
  const uint32_t step = std::max<uint32_t>(1, length / count);
  const uint32_t start = random() % step;
  for (uint32_t i = 0; i < count; ++i) {
    flip(start + i * step, static_cast<uint8_t>(1 + random() % 255));
  }
}

}  // namespace

void CorruptData(std::mt19937& random, uint8_t* data, uint32_t length, uint32_t count) {
  SpreadFlips(random, length, count, [data](uint32_t at, uint8_t mask) { data[at] ^= mask; });
}

void CorruptPackets(std::mt19937& random, uint8_t* data, const uint8_t* records, uint32_t packets,
                    uint32_t slotBytes, uint32_t count) {
  uint32_t carried = 0;
  for (uint32_t i = 0; i < packets; ++i) {
    carried += ReadIsoPacketResult(records + i * ISO_PACKET_RESULT_SIZE).Length;
  }
  // Positions count through the carried bytes, packet after packet.
  uint32_t packet = 0, packetStart = 0;
  SpreadFlips(random, carried, count, [&](uint32_t at, uint8_t mask) {
    while (at >=
           packetStart + ReadIsoPacketResult(records + packet * ISO_PACKET_RESULT_SIZE).Length) {
      packetStart += ReadIsoPacketResult(records + packet * ISO_PACKET_RESULT_SIZE).Length;
      ++packet;
    }
    data[size_t(packet) * slotBytes + (at - packetStart)] ^= mask;
  });
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
