#include "usbhost/host_transfer.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/win_error.h"
#include "protocol/driver_requests.h"
#include "usbhost/host_status.h"

uint32_t IsoPacketBytes(uint32_t length, uint32_t packets, uint32_t intervalBytes) {
  if (packets == 0) return 0;
  const uint32_t even = static_cast<uint32_t>((uint64_t(length) + packets - 1) / packets);
  return std::max(intervalBytes, even);
}

uint32_t PrepareTransfer(const TransferRequest& request, const HostEndpoint* endpoint,
                         std::vector<uint8_t>* controlBuffer, libusb_transfer* transfer) {
  if (request.Length > INT_MAX - LIBUSB_CONTROL_SETUP_SIZE) return ERROR_INVALID_PARAMETER;
  const int length = static_cast<int>(request.Length);
  if (request.Form == TransferForm::Endpoint0) {
    const SetupPacket& setup = request.Setup;
    controlBuffer->assign(LIBUSB_CONTROL_SETUP_SIZE + setup.wLength, 0);
    libusb_fill_control_setup(controlBuffer->data(), setup.bmRequestType, setup.bRequest,
                              setup.wValue, setup.wIndex, setup.wLength);
    if (!IsInAddress(setup.bmRequestType) && setup.wLength != 0) {
      std::memcpy(controlBuffer->data() + LIBUSB_CONTROL_SETUP_SIZE, request.Data, setup.wLength);
    }
    // The block gives whole seconds; 0 leaves the request without a limit, as the
    // caller's own wait and abort bound it.
    const uint32_t seconds = GetLe32(request.Block + 8);
    const unsigned int timeoutMs =
        seconds > UINT_MAX / 1000 ? UINT_MAX : static_cast<unsigned int>(seconds * 1000);
    libusb_fill_control_transfer(transfer, nullptr, controlBuffer->data(), nullptr, nullptr,
                                 timeoutMs);
    return ERROR_SUCCESS;
  }
  if (endpoint == nullptr || endpoint->Address != request.EndpointAddress) {
    return ERROR_INVALID_PARAMETER;
  }
  // Data endpoints run without a libusb time-out: the program waits and aborts itself.
  switch (endpoint->Type) {
    case USB_TRANSFER_BULK:
      libusb_fill_bulk_transfer(transfer, nullptr, endpoint->Address, request.Data, length, nullptr,
                                nullptr, 0);
      return ERROR_SUCCESS;
    case USB_TRANSFER_INTERRUPT:
      libusb_fill_interrupt_transfer(transfer, nullptr, endpoint->Address, request.Data, length,
                                     nullptr, nullptr, 0);
      return ERROR_SUCCESS;
    case USB_TRANSFER_ISOCHRONOUS: {
      if (request.Packets == 0 || request.Packets > INT_MAX) return ERROR_INVALID_PARAMETER;
      const int packets = static_cast<int>(request.Packets);
      libusb_fill_iso_transfer(transfer, nullptr, endpoint->Address, request.Data, length, packets,
                               nullptr, nullptr, 0);
      const uint32_t per = IsoPacketBytes(request.Length, request.Packets, endpoint->IntervalBytes);
      uint32_t left = request.Length;
      for (int i = 0; i < packets; ++i) {
        const uint32_t bytes = std::min(per, left);
        transfer->iso_packet_desc[i].length = bytes;
        left -= bytes;
      }
      return ERROR_SUCCESS;
    }
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

CollectedTransfer CollectTransfer(const TransferRequest& request, const libusb_transfer& transfer) {
  int status = transfer.status;
  uint32_t data = transfer.actual_length > 0 ? static_cast<uint32_t>(transfer.actual_length) : 0;
  if (transfer.type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS && transfer.num_iso_packets > 0) {
    // libusb lays the packets end to end in the buffer; the count is how far the data
    // reaches, as a driver reports a direct transfer's extent.
    data = 0;
    uint32_t offset = 0;
    bool anyDone = false;
    for (int i = 0; i < transfer.num_iso_packets; ++i) {
      const libusb_iso_packet_descriptor& packet = transfer.iso_packet_desc[i];
      const bool done = packet.status == LIBUSB_TRANSFER_COMPLETED;
      anyDone = anyDone || done;
      if (done && packet.actual_length > 0) data = std::max(data, offset + packet.actual_length);
      if (request.Records != nullptr && uint32_t(i) < request.Packets) {
        const IsoPacketResult result{done ? 0 : OutcomeOfTransferStatus(packet.status).UsbdStatus,
                                     done ? packet.actual_length : 0};
        WriteIsoPacketResult(result, request.Records + ISO_PACKET_RESULT_SIZE * i);
      }
      offset += packet.length;
    }
    if (status == LIBUSB_TRANSFER_COMPLETED && !anyDone) status = TRANSFER_ALL_PACKETS_FAILED;
  }
  data = std::min(data, request.Length);
  if (request.Form == TransferForm::Endpoint0 && IsInAddress(request.Setup.bmRequestType) &&
      data != 0) {
    std::memcpy(request.Data, transfer.buffer + LIBUSB_CONTROL_SETUP_SIZE, data);
  }
  const HostOutcome outcome = OutcomeOfTransferStatus(status);
  WriteTransferStatus(request.Block, outcome.NtStatus, outcome.UsbdStatus);
  return {outcome.Error, request.HeaderBytes + data};
}
