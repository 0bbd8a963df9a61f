#include "firmware/plug_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "firmware/device_descriptors.h"
#include "firmware/plug_display.h"
#include "protocol/config_block.h"
#include "protocol/plug_commands.h"

namespace {

PlugIdentity Identity(uint8_t speed = SPEED_SUPER) {
  PlugIdentity id;
  id.Serial = "T0001";
  id.PortSpeed = speed;
  return id;
}

// SuperSpeed bulk benchmark, plug sends, burst 16, 3 packets.
const PlugConfigBlock kBulkRead = {0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00,
                                   0x03, 0x00, 0xC0, 0x03, 0x02, 0x00, 0xC0};

ControlReply Vendor(PlugModel& model, bool in, uint16_t command, uint8_t* data, uint16_t length) {
  SetupPacket setup{static_cast<uint8_t>(in ? 0xC0 : 0x40), 0, command, 0, length};
  return model.HandleSetup(setup, data);
}

TEST(PlugModel, LoopbackFifoKeepsShortPacketEndsAndFlowControl) {
  PlugModel model(Identity());
  std::vector<uint8_t> out(70000), in(70000);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7);
  // Nothing written yet: the IN endpoint naks.
  EXPECT_EQ(model.ReadEndpoint(0x81, in.data(), 65536).Status, EndpointStatus::Nak);
  // A 1000-byte transfer ends in a short packet, which ends a longer read early.
  EXPECT_EQ(model.WriteEndpoint(0x01, out.data(), 1000, true).Bytes, 1000u);
  EndpointIo r = model.ReadEndpoint(0x81, in.data(), 65536);
  EXPECT_EQ(r.Bytes, 1000u);
  EXPECT_TRUE(r.TransferEnds);
  EXPECT_EQ(std::memcmp(in.data(), out.data(), 1000), 0);
  // 64 x 1024 bytes fill the FIFO; more does not fit until the host reads.
  EXPECT_EQ(model.WriteEndpoint(0x01, out.data(), 65536, true).Bytes, 65536u);
  EXPECT_EQ(model.WriteEndpoint(0x01, out.data(), 10, true).Status, EndpointStatus::Nak);
  r = model.ReadEndpoint(0x81, in.data(), 0);  // a zero-length read ends at once
  EXPECT_EQ(r.Status, EndpointStatus::Ok);
  EXPECT_TRUE(r.TransferEnds);
  r = model.ReadEndpoint(0x81, in.data(), 40000);
  EXPECT_EQ(r.Bytes, 40000u);
  // Wraps around the ring.
  EXPECT_EQ(model.WriteEndpoint(0x01, out.data() + 100, 30000, false).Bytes, 30000u);
  r = model.ReadEndpoint(0x81, in.data(), 65536);
  EXPECT_EQ(r.Bytes, 65536u - 40000u + 30000u);
  EXPECT_FALSE(r.TransferEnds);
  EXPECT_EQ(std::memcmp(in.data(), out.data() + 40000, 25536), 0);
  EXPECT_EQ(std::memcmp(in.data() + 25536, out.data() + 100, 30000), 0);
}

TEST(PlugModel, LostInDataReachesToTheEndOfItsTransferAndAResetEmptiesTheLoop) {
  PlugModel model(Identity());
  std::vector<uint8_t> out(8192), in(8192);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 13 + 5);
  auto read = [&](uint32_t length) { return model.ReadEndpoint(0x81, in.data(), length); };

  // A lost read that came before its data takes the data as it arrives, up to the
  // short packet that ends the host's transfer, and nothing of the next one.
  model.LoseInTransfer(0x81, 5000);
  EXPECT_EQ(model.WriteEndpoint(0x01, out.data(), 3000, true).Bytes, 3000u);
  EXPECT_EQ(model.LoopbackFill(), 0u);
  EXPECT_EQ(model.WriteEndpoint(0x01, out.data() + 10, 100, true).Bytes, 100u);
  EndpointIo r = read(4096);
  EXPECT_EQ(r.Bytes, 100u);
  EXPECT_TRUE(r.ShortPacket);
  EXPECT_EQ(std::memcmp(in.data(), out.data() + 10, 100), 0);

  // Within one transfer it takes its own length and leaves the rest.
  ASSERT_EQ(model.WriteEndpoint(0x01, out.data(), 4096, true).Bytes, 4096u);
  model.LoseInTransfer(0x81, 1500);
  r = read(4096);
  EXPECT_EQ(r.Bytes, 4096u - 1500u);
  EXPECT_FALSE(r.ShortPacket);
  EXPECT_EQ(std::memcmp(in.data(), out.data() + 1500, 4096 - 1500), 0);

  // A read that ended early loses the rest of its transfer, not the next one.
  ASSERT_EQ(model.WriteEndpoint(0x01, out.data(), 3000, true).Bytes, 3000u);
  EXPECT_EQ(read(1000).Bytes, 1000u);
  model.EndInTransferEarly(0x81, 5000);
  EXPECT_EQ(model.LoopbackFill(), 0u);
  ASSERT_EQ(model.WriteEndpoint(0x01, out.data() + 20, 200, true).Bytes, 200u);
  EXPECT_EQ(read(4096).Bytes, 200u);
  EXPECT_EQ(in[0], out[20]);

  // Resetting either loopback endpoint empties the buffer and forgets a pending loss.
  for (uint8_t address : {uint8_t(0x01), uint8_t(0x81)}) {
    ASSERT_EQ(model.WriteEndpoint(0x01, out.data(), 2048, true).Bytes, 2048u);
    model.LoseInTransfer(0x81, 3000);
    model.ResetEndpoint(address);
    EXPECT_EQ(read(4096).Status, EndpointStatus::Nak);
    ASSERT_EQ(model.WriteEndpoint(0x01, out.data(), 100, true).Bytes, 100u);
    EXPECT_EQ(read(4096).Bytes, 100u);
  }
}

TEST(PlugModel, ALostSourceTransferLeavesAGapInTheSequence) {
  PlugModel model(Identity());
  PlugConfigBlock block = kBulkRead;
  ASSERT_FALSE(Vendor(model, false, PLUG_CMD_CONFIG, block.data(), 14).Stalled);
  model.ReturnToBus();
  uint8_t none[1], data[64];
  ASSERT_FALSE(Vendor(model, false, PLUG_CMD_BENCH_START, none, 0).Stalled);
  ASSERT_EQ(model.ReadEndpoint(0x81, data, 64).Bytes, 64u);
  const uint8_t first = data[0];
  model.LoseInTransfer(0x81, 64);
  model.EndInTransferEarly(0x81, 32);  // the source keeps nothing of a transfer it ended
  ASSERT_EQ(model.ReadEndpoint(0x81, data, 64).Bytes, 64u);
  EXPECT_EQ(data[63], static_cast<uint8_t>(first + 2));
}

TEST(PlugModel, UnknownRequestsStallAndWrongEndpointsStall) {
  PlugModel model(Identity());
  uint8_t data[64] = {};
  EXPECT_TRUE(Vendor(model, true, 0x1234, data, 4).Stalled);
  EXPECT_TRUE(Vendor(model, false, PLUG_CMD_INFO, data, 0).Stalled);  // IN command sent OUT
  SetupPacket classRequest{0xA1, 1, 0, 0, 4};
  EXPECT_TRUE(model.HandleSetup(classRequest, data).Stalled);
  // Standard requests are the transport's to answer, not the firmware's.
  SetupPacket deviceDescriptor{0x80, 6, 0x0100, 0, 18};
  EXPECT_TRUE(model.HandleSetup(deviceDescriptor, data).Stalled);
  EXPECT_EQ(model.ReadEndpoint(0x82, data, 64).Status, EndpointStatus::Stall);
  EXPECT_EQ(model.WriteEndpoint(0x81, data, 64, true).Status, EndpointStatus::Stall);
}

TEST(PlugModel, ConfigurationTakesEffectOnlyAfterReturningToTheBus) {
  PlugModel model(Identity());
  PlugConfigBlock block = kBulkRead;
  EXPECT_FALSE(Vendor(model, false, PLUG_CMD_CONFIG, block.data(), 14).Stalled);
  EXPECT_TRUE(model.ReenumerationRequested());
  EXPECT_EQ(model.Config().DataFlow, 0);
  model.LeaveBus();
  model.ReturnToBus();
  EXPECT_FALSE(model.ReenumerationRequested());
  EXPECT_EQ(model.Config().DataFlow, 1);
  ASSERT_EQ(model.Endpoints().size(), 2u);
  EXPECT_EQ(model.Endpoints()[1].bEndpointAddress, PLUG_DISPLAY_ENDPOINT);
  // A block the plug cannot follow stalls and leaves the layout alone.
  EXPECT_TRUE(Vendor(model, false, PLUG_CMD_CONFIG, block.data(), 13).Stalled);
  block[2] = 7;  // IN 7 is the display's
  EXPECT_TRUE(Vendor(model, false, PLUG_CMD_CONFIG, block.data(), 14).Stalled);
  EXPECT_FALSE(model.ReenumerationRequested());
}

TEST(PlugModel, ConnectionTypeOfTheBlockLowersTheSpeedButNeverRaisesIt) {
  PlugModel model(Identity(SPEED_HIGH));
  PlugConfigBlock block = {0, 2, 1, 1, 1, 1, 0, 1, 0, 4, 0x03, 64, 0, 4};
  ASSERT_FALSE(Vendor(model, false, PLUG_CMD_CONFIG, block.data(), 14).Stalled);
  model.ReturnToBus();
  EXPECT_EQ(model.Speed(), SPEED_HIGH);
  block[10] = SPEED_FULL;
  ASSERT_FALSE(Vendor(model, false, PLUG_CMD_CONFIG, block.data(), 14).Stalled);
  model.ReturnToBus();
  EXPECT_EQ(model.Speed(), SPEED_FULL);
  EXPECT_EQ(BuildDeviceDescriptor(model.Identity(), model.Speed())[7], 64);  // bMaxPacketSize0
  EXPECT_TRUE(BuildBos(model.Identity(), model.Speed()).empty());
}

TEST(PlugModel, DisplayShowsTitleAndLedsForAsLongAsTheClockSays) {
  uint64_t nowMs = 1000;
  PlugModel model(Identity(), [&nowMs] { return nowMs; });
  uint8_t image[PLUG_DISPLAY_BYTES];
  auto show = [&] {
    EXPECT_EQ(model.ReadEndpoint(PLUG_DISPLAY_ENDPOINT, image, sizeof image).Bytes,
              PLUG_DISPLAY_BYTES);
  };
  // The inside of the first two LED boxes.
  auto led = [&](int i) { return DisplayPixel(image, 18 + 2 + 10 * i, 57); };
  show();
  EXPECT_TRUE(DisplayPixel(image, 0, 0));    // the title bar is lit
  EXPECT_FALSE(DisplayPixel(image, 0, 63));  // the bottom-left corner is dark
  EXPECT_FALSE(led(0) || led(1));            // empty until a flash command
  uint8_t none[1];
  ASSERT_FALSE(Vendor(model, false, PLUG_CMD_LED_STEP2, none, 0).Stalled);
  nowMs += 2499;
  show();
  EXPECT_TRUE(led(0) && led(1));
  nowMs += 1;  // a flash step shows for 2.5 s
  show();
  EXPECT_FALSE(led(0) || led(1));
}

TEST(PlugDisplay, TextLandsWhereItIsDrawn) {
  uint8_t image[1024] = {};
  DrawDisplayText(image, 0, 0, "1", 1, true);  // rows 010 110 010 010 111
  EXPECT_FALSE(DisplayPixel(image, 0, 0));
  EXPECT_TRUE(DisplayPixel(image, 1, 0));
  EXPECT_TRUE(DisplayPixel(image, 0, 1));
  EXPECT_TRUE(DisplayPixel(image, 2, 4));
  DrawDisplayText(image, 126, 62, "888", 2, true);  // clipped at the edges, no overrun
  EXPECT_TRUE(DisplayPixel(image, 127, 63));
}

}  // namespace
