// One driver transfer request as a libusb transfer, and back: the request (as the
// shared decoder found it) fills a libusb_transfer; the finished libusb_transfer
// fills the request's block, data and packet records as the program reads them.
// Pure: no device, no context, so both directions are tested on their own.
#pragma once
#include <libusb.h>

#include <cstdint>
#include <vector>

#include "protocol/request_decoder.h"

// What the backend knows of one endpoint of the open device's interface.
struct HostEndpoint {
  uint8_t Address = 0;
  uint8_t Type = 0;            // USB_TRANSFER_BULK, _INTERRUPT or _ISOCHRONOUS
  uint32_t IntervalBytes = 0;  // isochronous: bytes per service interval
};

// Bytes of each isochronous packet for a transfer of length bytes in packets packets:
// a service interval's worth each, the last one what is left (0 past the data). A
// transfer that would not fit is spread evenly instead, so that no data is lost.
uint32_t IsoPacketBytes(uint32_t length, uint32_t packets, uint32_t intervalBytes);

// Fills transfer for request. endpoint is null for endpoint-0 requests. An endpoint-0
// request travels in controlBuffer (setup packet, then the data stage), which must
// live as long as the transfer. transfer must have been allocated with at least
// request.Packets isochronous packets. The callback, its user data and the handle are
// the caller's to set. ERROR_SUCCESS, or ERROR_INVALID_PARAMETER for a request this
// endpoint cannot carry.
uint32_t PrepareTransfer(const TransferRequest& request, const HostEndpoint* endpoint,
                         std::vector<uint8_t>* controlBuffer, libusb_transfer* transfer);

// The end of a transfer as the program sees it: the system error for its record and
// the byte count (the block's header included for the forms that answer with it).
struct CollectedTransfer {
  uint32_t Error = 0;
  uint32_t Bytes = 0;
};

// Writes the statuses into the request's block, an endpoint-0 IN data stage into the
// request's data and one IsoPacketResult per packet into its packet records.
CollectedTransfer CollectTransfer(const TransferRequest& request, const libusb_transfer& transfer);
