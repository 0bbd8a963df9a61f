#include "engines/bus_error_lines.h"

#include "protocol/bus_error_report.h"

namespace {

const char16_t* const kPhysicalLayerLines[] = {
    u"- 8b/10b Decode error(s) occurred.",
    u"- Elastic Buffer Overflow error(s) occurred.",
    u"- Elastic Buffer Underflow error(s) occurred.",
    u"- Receive Disparity error(s) occurred.",
    u"- Receive CRC-5 error(s) occurred.",
    u"- Receive CRC-16 error(s) occurred.",
    u"- Receive CRC-32 error(s) occurred.",
    u"- Training Sequence error(s) occurred.",
    u"- PHY Lock Loss error(s) occurred.",
};

const char16_t* const kLinkLayerLines[] = {
    u"- Header Packet acknowledgement has not been received by PENDING_HP_TIMEOUT.",
    u"- Received Rx Header Sequence Number does not match what is expected.",
    u"- Link Layer Block has failed to receive a Header Packet for three consecutive times. "
    u"Failures are CRC errors or spurious K - symbols.",
    u"- LGOOD_n Sequence Number does not match what is expected.",
    u"- LCRD_x Sequence does not match what is expected.",
    u"- Remote Rx Header Buffer Credit has not been received by CREDIT_HP_TIMEOUT.",
    u"- This indicates that an LGO_Ux, LAU, or LXU Link Command is missed.",
    u"- Received LGOOD_n does not match ACK Tx Header Sequence Number.",
    u"- PENDING_HP_TIMER timeout before receipt of Header Sequence Number LGOOD_n Link Command.",
    u"- Header Packet received during Header Sequence Number Advertisement.",
    u"- LCRD_x Link Command received during Header Sequence Number Advertisement.",
    u"- LGO_Ux Link Command received during Header Sequence Number Advertisement.",
    u"- CREDIT_HP_TIMER timeout before receipt of LCRD_x Link Command during Rx Header Buffer "
    u"Credit Advertisement.",
    u"- Header Packet received during Rx Header Buffer Credit Advertisement.",
    u"- LGO_Ux Link Command received during Rx Header Buffer Credit Advertisement.",
};

template <size_t N>
std::vector<const char16_t*> LinesFor(uint32_t flags, const char16_t* const (&lines)[N],
                                      uint32_t firstBit) {
  std::vector<const char16_t*> found;
  for (uint32_t bit = firstBit; bit < N; ++bit) {
    if ((flags >> bit) & 1) found.push_back(lines[bit]);
  }
  return found;
}

}  // namespace

std::vector<const char16_t*> PhysicalLayerFlagLines(uint32_t flags, int32_t firmwareNumber) {
  return LinesFor(flags, kPhysicalLayerLines, firmwareNumber >= PLUG_FIRMWARE_NEW_COUNTERS ? 0 : 1);
}

std::vector<const char16_t*> LinkLayerFlagLines(uint32_t flags) {
  return LinesFor(flags, kLinkLayerLines, 0);
}
