// What travels with the plug's commands, pinned to its bytes: the configuration
// block, the information string, the bus-error report, the speed codes and the
// device path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/bus_error_report.h"
#include "protocol/config_block.h"
#include "protocol/device_path.h"
#include "protocol/info_string.h"
#include "protocol/speed_codes.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A SuperSpeed bulk benchmark in read mode, burst 16, 3 packets per interval.
const PlugConfigBlock kBulkRead = {0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00,
                                   0x03, 0x00, 0xC0, 0x03, 0x02, 0x00, 0xC0};

TEST(ConfigBlock, DecodesTheFieldsAndEncodesTheSameBytes) {
  PlugConfig config;
  ASSERT_TRUE(DecodePlugConfig(kBulkRead.data(), kBulkRead.size(), &config));
  EXPECT_EQ(config.DataFlow, FLOW_PLUG_SENDS);
  EXPECT_EQ(config.EndpointType, USB_TRANSFER_BULK);
  EXPECT_EQ(config.Burst, 16);
  EXPECT_EQ(config.IsoPackets, 3);
  EXPECT_EQ(config.BytesPerInterval, 0xC000);
  EXPECT_EQ(config.ConnectionType, SPEED_SUPER);
  EXPECT_EQ(config.BufferCount, 2);
  EXPECT_EQ(config.BufferSize, 0xC000);
  EXPECT_EQ(EncodePlugConfig(config), kBulkRead);
}

TEST(ConfigBlock, RefusesWhatNoPlugCanDo) {
  const struct {
    size_t At;
    uint8_t Value;
  } bad[] = {{0, 4}, {1, 0},  {1, 3}, {2, 0},  {2, 7}, {2, 16}, {3, 0},  {3, 16},
             {4, 0}, {4, 17}, {5, 0}, {5, 17}, {7, 0}, {7, 4},  {11, 0}, {12, 0}};
  for (const auto& b : bad) {
    PlugConfigBlock block = kBulkRead;
    block[b.At] = b.Value;
    if (b.At == 12) block[13] = 0;  // buffer size 0
    PlugConfig config;
    EXPECT_FALSE(DecodePlugConfig(block.data(), block.size(), &config))
        << "byte " << b.At << " = " << int(b.Value);
  }
  PlugConfig config;
  EXPECT_FALSE(DecodePlugConfig(kBulkRead.data(), 13, &config));
  // OUT endpoint 7 is free; only IN 7 belongs to the display.
  PlugConfigBlock out7 = kBulkRead;
  out7[3] = 7;
  EXPECT_TRUE(DecodePlugConfig(out7.data(), out7.size(), &config));
}

TEST(InfoString, FirmwareFieldsReadBackAsTheirNumber) {
  EXPECT_EQ(PlugFirmwareField(23), "FW Version V2.3");
  EXPECT_EQ(PlugHardwareField("1.0"), "HW Version 1.0");
  for (uint8_t firmware = 0; firmware < 100; ++firmware) {
    const std::string info = "X" + PlugFirmwareField(firmware) + " " + PlugHardwareField("1.0");
    ASSERT_LE(info.size(), PLUG_INFO_LENGTH);
    EXPECT_TRUE(HasFirmwareVersion(info));
    EXPECT_EQ(ParseFirmwareNumber(info), firmware);
  }
}

TEST(BusErrorReport, FourLittleEndianWords) {
  Bytes raw(PLUG_BUS_ERROR_REPORT_SIZE);
  const BusErrorReport report{3, 0x102, 0x1FF, 0x7FFF};
  WriteBusErrorReport(report, raw.data());
  EXPECT_EQ(raw, Bytes({3, 0, 0, 0, 2, 1, 0, 0, 0xFF, 1, 0, 0, 0xFF, 0x7F, 0, 0}));
  EXPECT_EQ(ReadBusErrorReport(raw.data()), report);
  // The 32-bit mask splits into its two halves; the 16-bit one masks physical kinds only.
  EXPECT_EQ(PhyErrorMask(PLUG_ERROR_MASK_NEW), 0x1FFu);
  EXPECT_EQ(LinkErrorMask(PLUG_ERROR_MASK_NEW), 0x7FFFu);
  EXPECT_EQ(PhyErrorMask(WidenErrorMask(PLUG_ERROR_MASK_OLD)), 0x1FEu);
  EXPECT_EQ(LinkErrorMask(WidenErrorMask(PLUG_ERROR_MASK_OLD)), 0x7FFFu);
}

TEST(SpeedCodes, DriverAndConnectionNumberingMapBothWays) {
  for (uint32_t code : {SPEED_FULL, SPEED_HIGH, SPEED_SUPER}) {
    EXPECT_EQ(ConnectionSpeedFor(DriverSpeedFor(code)), code);
  }
  EXPECT_EQ(DriverSpeedFor(SPEED_SUPER), 4u);  // the driver's own numbering
  // The program reads every other driver answer as full speed.
  for (uint32_t other : {0u, 3u, 5u, 0xFFFFFFFFu}) EXPECT_EQ(ConnectionSpeedFor(other), SPEED_FULL);
}

TEST(DevicePath, BuiltLowerCaseAndParsedInAnyCase) {
  const std::array<char, PLUG_DEVICE_PATH_PREFIX_LENGTH> prefix = PlugDevicePathPrefix();
  EXPECT_EQ(std::string(prefix.begin(), prefix.end()), "\\\\?\\USB#VID_1209&PID_000A#");
  const std::string path = PlugDevicePath("Lab0002");
  EXPECT_EQ(path, "\\\\?\\usb#vid_1209&pid_000a#Lab0002#{05fc6c39-ecc3-4441-89c9-ec9884c41116}");
  EXPECT_EQ(PlugSerialFromPath(path), "Lab0002");
  std::string upper = path;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  EXPECT_TRUE(SameDevicePath(upper, path));
  EXPECT_FALSE(SameDevicePath(upper, path + "x"));
  EXPECT_EQ(PlugSerialFromPath(upper), "LAB0002");
  // The serial runs to the next '#', or to the end when there is none.
  EXPECT_EQ(PlugSerialFromPath("\\\\?\\usb#vid_1209&pid_000a#S1"), "S1");
  EXPECT_EQ(PlugSerialFromPath("\\\\?\\usb#vid_1209&pid_000a##x"), "");
  EXPECT_EQ(PlugSerialFromPath("\\\\?\\usb#vid_1209&pid_000b#S1#x"), std::nullopt);
  EXPECT_EQ(PlugSerialFromPath("\\\\?\\usb#vid_1209"), std::nullopt);
}

}  // namespace

TEST(PlugIds, TheOwnIdFirstThenAddedOnesOnce) {
  ResetPlugIds();
  EXPECT_TRUE(IsPlugId(PLUG_VENDOR_ID, PLUG_PRODUCT_ID));
  EXPECT_FALSE(IsPlugId(0x04b4, 0x00f1));
  EXPECT_TRUE(AddPlugId({0x04b4, 0x00f1}));
  EXPECT_FALSE(AddPlugId({0x04b4, 0x00f1}));
  EXPECT_TRUE(IsPlugId(0x04b4, 0x00f1));
  EXPECT_EQ(PlugIds(), (std::vector<PlugId>{{PLUG_VENDOR_ID, PLUG_PRODUCT_ID}, {0x04b4, 0x00f1}}));
  ResetPlugIds();
  EXPECT_FALSE(IsPlugId(0x04b4, 0x00f1));
}

TEST(PlugIds, ParsedFromVidColonPidAndFormattedBack) {
  EXPECT_EQ(ParsePlugId("04B4:00f1"), (PlugId{0x04b4, 0x00f1}));
  EXPECT_EQ(FormatPlugId({0x04b4, 0x00f1}), "04b4:00f1");
  for (const char* bad : {"", ":", "4b4:00f1", "04b4:00f10", "04b4-00f1", "04g4:00f1", "04b4:"})
    EXPECT_EQ(ParsePlugId(bad), std::nullopt) << bad;
}
