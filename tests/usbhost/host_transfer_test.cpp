// Driver requests as libusb transfers and back, on real libusb_transfer objects with
// no device behind them: what libusb is asked to do for each form, and what the
// program reads back from the finished transfer.
#include "usbhost/host_transfer.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "platform/win_error.h"
#include "protocol/status_words.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct FreeTransfer {
  void operator()(libusb_transfer* t) const { libusb_free_transfer(t); }
};
using TransferPtr = std::unique_ptr<libusb_transfer, FreeTransfer>;

// A request block as the endpoint classes build it, decoded as the backend does.
struct Built {
  Bytes Block;
  Bytes Data;  // the caller's buffer of a direct transfer
  TransferRequest Request;
};

// The data area after the header holds 1, 2, 3 ... (a control or buffered request's
// data stage); a direct request's data is the separate, zeroed Data.
Built Decode(uint32_t ioctl, const DriverTransferBlock& h, uint32_t extra, uint32_t length = 0) {
  Built b;
  b.Block.assign(DRIVER_TRANSFER_BLOCK_SIZE + extra, 0);
  WriteDriverTransferBlock(h, b.Block.data());
  const bool direct = ioctl == IOCTL_DIRECT_TRANSFER;
  for (uint32_t i = 0; !direct && i < extra; ++i) {
    b.Block[DRIVER_TRANSFER_BLOCK_SIZE + i] = uint8_t(i + 1);
  }
  b.Data.assign(length, 0);
  EXPECT_EQ(DecodeTransferRequest(ioctl, b.Block.data(), b.Block.size(),
                                  direct ? b.Data.data() : b.Block.data(),
                                  direct ? length : b.Block.size(), &b.Request),
            ERROR_SUCCESS);
  return b;
}

Built Control(uint8_t requestType, uint16_t value, uint16_t length, uint32_t seconds) {
  DriverTransferBlock h;
  h.bmRequestType = requestType;
  h.bRequest = 0;
  h.wValue = value;
  h.wIndex = 0;
  h.wLength = length;
  h.Timeout = seconds;
  h.BufferOffset = DRIVER_TRANSFER_BLOCK_SIZE;
  h.BufferLength = length;
  return Decode(IOCTL_EP0_TRANSFER, h, length);
}

Built Direct(uint8_t address, uint32_t length, uint32_t packets) {
  DriverTransferBlock h;
  h.EndpointAddress = address;
  if (packets) {
    h.PacketRecordOffset = DRIVER_TRANSFER_BLOCK_SIZE;
    h.PacketRecordLength = ISO_PACKET_RESULT_SIZE * packets;
  }
  return Decode(IOCTL_DIRECT_TRANSFER, h, ISO_PACKET_RESULT_SIZE * packets, length);
}

Built Buffered(uint8_t address, uint32_t length) {
  DriverTransferBlock h;
  h.EndpointAddress = address;
  h.BufferOffset = DRIVER_TRANSFER_BLOCK_SIZE;
  h.BufferLength = length;
  return Decode(IOCTL_BUFFERED_TRANSFER, h, length);
}

TransferPtr Alloc(int packets = 0) {
  return TransferPtr(libusb_alloc_transfer(packets));
}

DriverTransferBlock Header(const Built& b) {
  return ReadDriverTransferBlock(b.Block.data());
}

TEST(HostTransfer, ControlRequestsCarryTheSetupPacketDataAndTimeout) {
  // The information request: vendor, device-to-host, 31 bytes, 5 seconds.
  Built in = Control(0xC0, 0x0050, 31, 5);
  Bytes buffer;
  TransferPtr t = Alloc();
  ASSERT_EQ(PrepareTransfer(in.Request, nullptr, &buffer, t.get()), ERROR_SUCCESS);
  EXPECT_EQ(t->type, LIBUSB_TRANSFER_TYPE_CONTROL);
  EXPECT_EQ(t->buffer, buffer.data());
  EXPECT_EQ(t->length, 8 + 31);
  EXPECT_EQ(t->timeout, 5000u);
  const libusb_control_setup* setup = libusb_control_transfer_get_setup(t.get());
  EXPECT_EQ(setup->bmRequestType, 0xC0);
  EXPECT_EQ(setup->bRequest, 0);
  EXPECT_EQ(libusb_le16_to_cpu(setup->wValue), 0x0050);
  EXPECT_EQ(libusb_le16_to_cpu(setup->wLength), 31);

  // Host-to-device: the data stage follows the setup packet; 0 seconds is no limit.
  Built out = Control(0x40, 0x0002, 14, 0);
  TransferPtr o = Alloc();
  ASSERT_EQ(PrepareTransfer(out.Request, nullptr, &buffer, o.get()), ERROR_SUCCESS);
  EXPECT_EQ(o->timeout, 0u);
  EXPECT_EQ(Bytes(buffer.begin() + 8, buffer.end()),
            Bytes(out.Block.begin() + DRIVER_TRANSFER_BLOCK_SIZE, out.Block.end()));
}

TEST(HostTransfer, DataTransfersUseTheCallersBufferOnTheirEndpoint) {
  const HostEndpoint bulkIn{0x81, USB_TRANSFER_BULK, 0};
  const HostEndpoint intOut{0x02, USB_TRANSFER_INTERRUPT, 0};
  Bytes unused;

  Built direct = Direct(0x81, 65536, 0);
  TransferPtr t = Alloc();
  ASSERT_EQ(PrepareTransfer(direct.Request, &bulkIn, &unused, t.get()), ERROR_SUCCESS);
  EXPECT_EQ(t->type, LIBUSB_TRANSFER_TYPE_BULK);
  EXPECT_EQ(t->endpoint, 0x81);
  EXPECT_EQ(t->buffer, direct.Data.data());  // no copy on the direct form
  EXPECT_EQ(t->length, 65536);
  EXPECT_EQ(t->timeout, 0u);  // the program times its own waits

  Built buffered = Buffered(0x02, 64);
  TransferPtr i = Alloc();
  ASSERT_EQ(PrepareTransfer(buffered.Request, &intOut, &unused, i.get()), ERROR_SUCCESS);
  EXPECT_EQ(i->type, LIBUSB_TRANSFER_TYPE_INTERRUPT);
  EXPECT_EQ(i->buffer, buffered.Block.data() + DRIVER_TRANSFER_BLOCK_SIZE);
  EXPECT_EQ(i->length, 64);

  // Refused: an endpoint the interface does not have, or another one than named.
  TransferPtr r = Alloc();
  EXPECT_EQ(PrepareTransfer(direct.Request, nullptr, &unused, r.get()), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(PrepareTransfer(direct.Request, &intOut, &unused, r.get()), ERROR_INVALID_PARAMETER);
}

TEST(HostTransfer, IsochronousPacketsSplitTheDataByServiceInterval) {
  struct Case {
    uint32_t Length, Packets, Interval;
    std::vector<unsigned> Expected;
  };
  const Case cases[] = {
      {3000, 3, 1024, {1024, 1024, 952}},
      {2048, 3, 1024, {1024, 1024, 0}},    // a packet past the data moves nothing
      {3000, 3, 512, {1000, 1000, 1000}},  // would not fit: spread evenly, nothing lost
      {1, 1, 49152, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Length);
    const HostEndpoint iso{0x83, USB_TRANSFER_ISOCHRONOUS, c.Interval};
    Built b = Direct(0x83, c.Length, c.Packets);
    Bytes unused;
    TransferPtr t = Alloc(int(c.Packets));
    ASSERT_EQ(PrepareTransfer(b.Request, &iso, &unused, t.get()), ERROR_SUCCESS);
    EXPECT_EQ(t->type, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS);
    ASSERT_EQ(t->num_iso_packets, int(c.Packets));
    std::vector<unsigned> lengths;
    for (int i = 0; i < t->num_iso_packets; ++i) lengths.push_back(t->iso_packet_desc[i].length);
    EXPECT_EQ(lengths, c.Expected);
    EXPECT_EQ(std::accumulate(lengths.begin(), lengths.end(), 0u), c.Length);
  }
  // No packet records: nothing to report the packets in.
  const HostEndpoint iso{0x83, USB_TRANSFER_ISOCHRONOUS, 1024};
  Built none = Direct(0x83, 1024, 0);
  Bytes unused;
  TransferPtr t = Alloc();
  EXPECT_EQ(PrepareTransfer(none.Request, &iso, &unused, t.get()), ERROR_INVALID_PARAMETER);
}

TEST(HostTransfer, ControlCompletionCopiesTheDataStageAndCountsTheHeader) {
  Built in = Control(0xC0, 0x0050, 31, 5);
  Bytes buffer;
  TransferPtr t = Alloc();
  ASSERT_EQ(PrepareTransfer(in.Request, nullptr, &buffer, t.get()), ERROR_SUCCESS);
  std::fill(in.Block.begin() + DRIVER_TRANSFER_BLOCK_SIZE, in.Block.end(), 0);
  for (int i = 0; i < 20; ++i) buffer[8 + i] = uint8_t('A' + i);
  t->status = LIBUSB_TRANSFER_COMPLETED;
  t->actual_length = 20;  // a short answer
  const CollectedTransfer done = CollectTransfer(in.Request, *t);
  EXPECT_EQ(done.Error, ERROR_SUCCESS);
  EXPECT_EQ(done.Bytes, DRIVER_TRANSFER_BLOCK_SIZE + 20);
  EXPECT_EQ(in.Block[DRIVER_TRANSFER_BLOCK_SIZE], 'A');
  EXPECT_EQ(in.Block[DRIVER_TRANSFER_BLOCK_SIZE + 19], 'A' + 19);
  EXPECT_EQ(in.Block[DRIVER_TRANSFER_BLOCK_SIZE + 20], 0);  // nothing past the answer
  EXPECT_EQ(Header(in).NtStatus, 0u);
  EXPECT_EQ(Header(in).UsbdStatus, 0u);

  // A stalled request: the statuses land in the block, no data moves.
  Built stalled = Control(0xC0, 0x0099, 4, 5);
  TransferPtr s = Alloc();
  ASSERT_EQ(PrepareTransfer(stalled.Request, nullptr, &buffer, s.get()), ERROR_SUCCESS);
  s->status = LIBUSB_TRANSFER_STALL;
  s->actual_length = 0;
  const CollectedTransfer failed = CollectTransfer(stalled.Request, *s);
  EXPECT_NE(failed.Error, ERROR_SUCCESS);
  EXPECT_EQ(failed.Bytes, DRIVER_TRANSFER_BLOCK_SIZE);
  EXPECT_EQ(Header(stalled).UsbdStatus, USBD_STATUS_STALL_PID);
}

TEST(HostTransfer, FailedDataTransfersStillReportTheirBytes) {
  const HostEndpoint bulkIn{0x81, USB_TRANSFER_BULK, 0};
  Built b = Direct(0x81, 4096, 0);
  Bytes unused;
  TransferPtr t = Alloc();
  ASSERT_EQ(PrepareTransfer(b.Request, &bulkIn, &unused, t.get()), ERROR_SUCCESS);
  t->status = LIBUSB_TRANSFER_CANCELLED;
  t->actual_length = 1024;
  const CollectedTransfer done = CollectTransfer(b.Request, *t);
  EXPECT_EQ(done.Error, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(done.Bytes, 1024u);  // the direct form counts data bytes only
  EXPECT_EQ(Header(b).NtStatus, NTSTATUS_CANCELLED);
}

TEST(HostTransfer, IsochronousResultsAreWrittenBackPacketByPacket) {
  const HostEndpoint iso{0x83, USB_TRANSFER_ISOCHRONOUS, 1024};
  Built b = Direct(0x83, 3000, 3);
  Bytes unused;
  TransferPtr t = Alloc(3);
  ASSERT_EQ(PrepareTransfer(b.Request, &iso, &unused, t.get()), ERROR_SUCCESS);
  t->status = LIBUSB_TRANSFER_COMPLETED;
  t->iso_packet_desc[0].status = LIBUSB_TRANSFER_COMPLETED;
  t->iso_packet_desc[0].actual_length = 1024;
  t->iso_packet_desc[1].status = LIBUSB_TRANSFER_ERROR;  // lost on the bus
  t->iso_packet_desc[1].actual_length = 0;
  t->iso_packet_desc[2].status = LIBUSB_TRANSFER_COMPLETED;
  t->iso_packet_desc[2].actual_length = 900;  // short
  const CollectedTransfer done = CollectTransfer(b.Request, *t);
  EXPECT_EQ(done.Error, ERROR_SUCCESS);  // one lost packet does not fail the transfer
  EXPECT_EQ(done.Bytes, 2048u + 900u);   // how far the data reaches in the buffer
  const uint8_t* records = b.Block.data() + DRIVER_TRANSFER_BLOCK_SIZE;
  const IsoPacketResult first = ReadIsoPacketResult(records);
  const IsoPacketResult second = ReadIsoPacketResult(records + ISO_PACKET_RESULT_SIZE);
  const IsoPacketResult third = ReadIsoPacketResult(records + 2 * ISO_PACKET_RESULT_SIZE);
  EXPECT_EQ(first.Status, 0u);
  EXPECT_EQ(first.Length, 1024u);
  EXPECT_NE(second.Status, 0u);
  EXPECT_EQ(second.Length, 0u);
  EXPECT_EQ(third.Status, 0u);
  EXPECT_EQ(third.Length, 900u);

  // Not one packet through: the request itself failed.
  for (int i = 0; i < 3; ++i) {
    t->iso_packet_desc[i].status = LIBUSB_TRANSFER_ERROR;
    t->iso_packet_desc[i].actual_length = 0;
  }
  const CollectedTransfer lost = CollectTransfer(b.Request, *t);
  EXPECT_NE(lost.Error, ERROR_SUCCESS);
  EXPECT_EQ(lost.Bytes, 0u);
  EXPECT_EQ(Header(b).UsbdStatus, USBD_STATUS_ISOCH_REQUEST_FAILED);
}

}  // namespace
