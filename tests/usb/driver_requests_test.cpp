#include "usb/driver_requests.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(DriverRequests, CodesFollowTheIoControlRule) {
  EXPECT_EQ(IOCTL_GET_DRIVER_REVISION, 0x220000u);
  EXPECT_EQ(IOCTL_GET_ALT_SETTING, 0x220008u);
  EXPECT_EQ(IOCTL_EP0_TRANSFER, 0x220020u);
  EXPECT_EQ(IOCTL_RESET_ENDPOINT, 0x22002Cu);
  EXPECT_EQ(IOCTL_ABORT_ENDPOINT, 0x220044u);
  EXPECT_EQ(IOCTL_DIRECT_TRANSFER, 0x22004Bu);
  EXPECT_EQ(IOCTL_GET_SPEED, 0x22004Cu);
}

TEST(DriverRequests, BlockIsLittleEndianAtFixedOffsets) {
  DriverTransferBlock b;
  b.bmRequestType = 0xC0;
  b.bRequest = 0x06;
  b.wValue = 0x0100;
  b.wIndex = 0x0409;
  b.wLength = 18;
  b.Timeout = 5;
  b.EndpointAddress = 0x81;
  b.NtStatus = 0xC0000001;
  b.UsbdStatus = 0xC0000004;
  b.PacketRecordOffset = 38;
  b.PacketRecordLength = 24;
  b.BufferOffset = 62;
  b.BufferLength = 0x12345678;
  uint8_t raw[DRIVER_TRANSFER_BLOCK_SIZE];
  WriteDriverTransferBlock(b, raw);
  const uint8_t expected[38] = {0xC0, 0x06, 0x00, 0x01, 0x09, 0x04, 18,   0,    5,    0,
                                0,    0,    0,    0x81, 0x01, 0x00, 0x00, 0xC0, 0x04, 0x00,
                                0x00, 0xC0, 38,   0,    0,    0,    24,   0,    0,    0,
                                62,   0,    0,    0,    0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(0, memcmp(raw, expected, sizeof raw));
  DriverTransferBlock back = ReadDriverTransferBlock(raw);
  EXPECT_EQ(back.BufferLength, 0x12345678u);
  EXPECT_EQ(back.UsbdStatus, 0xC0000004u);
  EXPECT_EQ(GetLe32(raw + DTB_NTSTATUS_OFFSET), 0xC0000001u);
}

TEST(DriverRequests, SizeBlockAndPacketRecords) {
  uint8_t raw[5];
  WriteTransferSizeBlock(0x02, 65536, raw);
  const uint8_t expected[5] = {0x02, 0x00, 0x00, 0x01, 0x00};
  EXPECT_EQ(0, memcmp(raw, expected, 5));
  uint8_t rec[8];
  WriteIsoPacketResult({0xC0000011, 1024}, rec);
  IsoPacketResult r = ReadIsoPacketResult(rec);
  EXPECT_EQ(r.Status, 0xC0000011u);
  EXPECT_EQ(r.Length, 1024u);
}
