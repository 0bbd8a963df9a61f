#include "protocol/bus_error_report.h"

#include "protocol/byte_order.h"

void WriteBusErrorReport(const BusErrorReport& r, uint8_t* d) {
  PutLe32(d, r.PhyCount);
  PutLe32(d + 4, r.LinkCount);
  PutLe32(d + 8, r.PhyFlags);
  PutLe32(d + 12, r.LinkFlags);
}

BusErrorReport ReadBusErrorReport(const uint8_t* s) {
  return {GetLe32(s), GetLe32(s + 4), GetLe32(s + 8), GetLe32(s + 12)};
}
