// The driver's view of a transfer request: where the data, the statuses and the
// packet records are, and which requests are refused before anything is touched.
#include "protocol/request_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/win_error.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Block(const DriverTransferBlock& header, size_t extra) {
  Bytes block(DRIVER_TRANSFER_BLOCK_SIZE + extra, 0);
  WriteDriverTransferBlock(header, block.data());
  return block;
}

DriverTransferBlock ControlHeader(uint8_t requestType, uint16_t length, uint32_t bufferLength) {
  DriverTransferBlock h;
  h.bmRequestType = requestType;
  h.bRequest = 6;
  h.wValue = 0x0100;
  h.wIndex = 0x0409;
  h.wLength = length;
  h.Timeout = 5;
  h.BufferOffset = DRIVER_TRANSFER_BLOCK_SIZE;
  h.BufferLength = bufferLength;
  return h;
}

TEST(RequestDecoder, EachFormSaysWhereDataAndRecordsAre) {
  // Endpoint 0: the setup comes out of the block, the data sits behind it.
  Bytes ep0 = Block(ControlHeader(0x80, 18, 18), 18);
  TransferRequest r;
  ASSERT_EQ(
      DecodeTransferRequest(IOCTL_EP0_TRANSFER, ep0.data(), ep0.size(), ep0.data(), ep0.size(), &r),
      ERROR_SUCCESS);
  EXPECT_EQ(r.Form, TransferForm::Endpoint0);
  EXPECT_EQ(r.Setup.bmRequestType, 0x80);
  EXPECT_EQ(r.Setup.wValue, 0x0100);
  EXPECT_EQ(r.Setup.wIndex, 0x0409);
  EXPECT_EQ(r.Setup.wLength, 18);
  EXPECT_EQ(r.Block, ep0.data());
  EXPECT_EQ(r.Data, ep0.data() + 38);
  EXPECT_EQ(r.Length, 18u);
  EXPECT_EQ(r.HeaderBytes, 38u);
  EXPECT_EQ(r.Records, nullptr);

  // Buffered isochronous: three packet records, then the data.
  DriverTransferBlock iso;
  iso.EndpointAddress = 0x83;
  iso.PacketRecordOffset = 38;
  iso.PacketRecordLength = 24;
  iso.BufferOffset = 62;
  iso.BufferLength = 3000;
  Bytes buffered = Block(iso, 24 + 3000);
  ASSERT_EQ(DecodeTransferRequest(IOCTL_BUFFERED_TRANSFER, buffered.data(), buffered.size(),
                                  buffered.data(), buffered.size(), &r),
            ERROR_SUCCESS);
  EXPECT_EQ(r.Form, TransferForm::Buffered);
  EXPECT_EQ(r.EndpointAddress, 0x83);
  EXPECT_EQ(r.Records, buffered.data() + 38);
  EXPECT_EQ(r.Packets, 3u);
  EXPECT_EQ(r.Data, buffered.data() + 62);
  EXPECT_EQ(r.Length, 3000u);
  EXPECT_EQ(r.HeaderBytes, 62u);

  // Direct: the caller's buffer carries the data, the input block takes the statuses.
  DriverTransferBlock bulk;
  bulk.EndpointAddress = 0x81;
  Bytes direct = Block(bulk, 0);
  Bytes data(4096);
  ASSERT_EQ(DecodeTransferRequest(IOCTL_DIRECT_TRANSFER, direct.data(), direct.size(), data.data(),
                                  data.size(), &r),
            ERROR_SUCCESS);
  EXPECT_EQ(r.Form, TransferForm::Direct);
  EXPECT_EQ(r.Block, direct.data());
  EXPECT_EQ(r.Data, data.data());
  EXPECT_EQ(r.Length, 4096u);
  EXPECT_EQ(r.HeaderBytes, 0u);
  WriteTransferStatus(r.Block, 0xC0000001, 0xC0000004);
  EXPECT_EQ(ReadDriverTransferBlock(direct.data()).NtStatus, 0xC0000001u);
  EXPECT_EQ(ReadDriverTransferBlock(direct.data()).UsbdStatus, 0xC0000004u);
}

TEST(RequestDecoder, BufferedFormsWorkOnACopyInTheOutputBuffer) {
  DriverTransferBlock header;
  header.EndpointAddress = 0x01;
  header.BufferOffset = 38;
  header.BufferLength = 4;
  Bytes in = Block(header, 4);
  std::memcpy(in.data() + 38, "ABCD", 4);
  Bytes out(in.size(), 0xEE);
  TransferRequest r;
  ASSERT_EQ(DecodeTransferRequest(IOCTL_BUFFERED_TRANSFER, in.data(), in.size(), out.data(),
                                  out.size(), &r),
            ERROR_SUCCESS);
  EXPECT_EQ(out, in);
  EXPECT_EQ(r.Block, out.data());
  EXPECT_EQ(r.Data, out.data() + 38);
}

TEST(RequestDecoder, RefusesRequestsThatReachOutsideTheirBuffers) {
  DriverTransferBlock good;
  good.EndpointAddress = 0x81;
  good.BufferOffset = 38;
  good.BufferLength = 16;
  struct Case {
    const char* Name;
    uint32_t Code;
    DriverTransferBlock Header;
    size_t BlockBytes;  // bytes after the header
    size_t OutBytes;    // 0: in place
  };
  auto with = [&](auto change) {
    DriverTransferBlock h = good;
    change(h);
    return h;
  };
  const Case cases[] = {
      {"data behind the header offset", IOCTL_BUFFERED_TRANSFER,
       with([](auto& h) { h.BufferOffset = 30; }), 16, 0},
      {"data past the block", IOCTL_BUFFERED_TRANSFER, with([](auto& h) { h.BufferLength = 17; }),
       16, 0},
      {"offset that wraps 32 bits", IOCTL_BUFFERED_TRANSFER, with([](auto& h) {
         h.BufferOffset = 0xFFFFFFF0;
         h.BufferLength = 0x20;
       }),
       16, 0},
      {"records past the block", IOCTL_BUFFERED_TRANSFER, with([](auto& h) {
         h.PacketRecordOffset = 38;
         h.PacketRecordLength = 24;
       }),
       16, 0},
      {"records inside the header", IOCTL_DIRECT_TRANSFER, with([](auto& h) {
         h.PacketRecordOffset = 8;
         h.PacketRecordLength = 8;
       }),
       16, 0},
      {"data transfer to endpoint 0", IOCTL_DIRECT_TRANSFER,
       with([](auto& h) { h.EndpointAddress = 0; }), 0, 0},
      {"setup data longer than its buffer", IOCTL_EP0_TRANSFER, ControlHeader(0x80, 18, 16), 16, 0},
      {"output shorter than a block", IOCTL_EP0_TRANSFER, ControlHeader(0x80, 0, 0), 0, 37},
      {"not a transfer", IOCTL_GET_SPEED, good, 16, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Bytes block = Block(c.Header, c.BlockBytes);
    Bytes out(c.OutBytes);
    void* output = c.OutBytes ? out.data() : block.data();
    const uint32_t outLength = c.OutBytes ? c.OutBytes : block.size();
    TransferRequest r;
    EXPECT_EQ(DecodeTransferRequest(c.Code, block.data(), block.size(), output, outLength, &r),
              ERROR_INVALID_PARAMETER);
  }
  TransferRequest r;
  uint8_t shortBlock[37] = {};
  EXPECT_EQ(DecodeTransferRequest(IOCTL_DIRECT_TRANSFER, shortBlock, 37, nullptr, 0, &r),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(DecodeTransferRequest(IOCTL_DIRECT_TRANSFER, nullptr, 38, nullptr, 0, &r),
            ERROR_INVALID_PARAMETER);
}

}  // namespace
