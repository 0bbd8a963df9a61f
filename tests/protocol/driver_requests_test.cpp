#include "protocol/driver_requests.h"

#include <gtest/gtest.h>

#include <vector>

using Bytes = std::vector<uint8_t>;

TEST(DriverRequests, CodesFollowTheIoControlRule) {
  EXPECT_EQ((std::vector<uint32_t>{IOCTL_GET_DRIVER_REVISION, IOCTL_GET_ALT_SETTING,
                                   IOCTL_EP0_TRANSFER, IOCTL_RESET_ENDPOINT, IOCTL_ABORT_ENDPOINT,
                                   IOCTL_DIRECT_TRANSFER, IOCTL_GET_SPEED}),
            (std::vector<uint32_t>{0x220000, 0x220008, 0x220020, 0x22002C, 0x220044, 0x22004B,
                                   0x22004C}));
}

TEST(DriverRequests, BlockIsLittleEndianAtFixedOffsets) {
  const DriverTransferBlock block = {.bmRequestType = 0xC0,
                                     .bRequest = 0x06,
                                     .wValue = 0x0100,
                                     .wIndex = 0x0409,
                                     .wLength = 18,
                                     .Timeout = 5,
                                     .EndpointAddress = 0x81,
                                     .NtStatus = 0xC0000001,
                                     .UsbdStatus = 0xC0000004,
                                     .PacketRecordOffset = 38,
                                     .PacketRecordLength = 24,
                                     .BufferOffset = 62,
                                     .BufferLength = 0x12345678};
  Bytes raw(DRIVER_TRANSFER_BLOCK_SIZE);
  WriteDriverTransferBlock(block, raw.data());
  const Bytes expected = {0xC0, 0x06, 0x00, 0x01, 0x09, 0x04, 18,   0,    5,    0,    0,    0,   0,
                          0x81, 0x01, 0x00, 0x00, 0xC0, 0x04, 0x00, 0x00, 0xC0, 38,   0,    0,   0,
                          24,   0,    0,    0,    62,   0,    0,    0,    0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(raw, expected);
  const DriverTransferBlock back = ReadDriverTransferBlock(raw.data());
  EXPECT_EQ(back.BufferLength, 0x12345678u);
  EXPECT_EQ(back.UsbdStatus, 0xC0000004u);
  EXPECT_EQ(back.wIndex, 0x0409);
  EXPECT_EQ(GetLe32(raw.data() + DTB_NTSTATUS_OFFSET), 0xC0000001u);
}

TEST(DriverRequests, SizeBlockAndPacketRecords) {
  Bytes raw(TRANSFER_SIZE_BLOCK_SIZE);
  WriteTransferSizeBlock(0x02, 65536, raw.data());
  EXPECT_EQ(raw, Bytes({0x02, 0x00, 0x00, 0x01, 0x00}));
  Bytes record(ISO_PACKET_RESULT_SIZE);
  WriteIsoPacketResult({0xC0000011, 1024}, record.data());
  EXPECT_EQ(record, Bytes({0x11, 0x00, 0x00, 0xC0, 0x00, 0x04, 0x00, 0x00}));
  const IsoPacketResult back = ReadIsoPacketResult(record.data());
  EXPECT_EQ(back.Status, 0xC0000011u);
  EXPECT_EQ(back.Length, 1024u);
}
