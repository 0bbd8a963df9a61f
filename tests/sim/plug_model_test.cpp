#include "sim/plug_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "sim/plug_display.h"

namespace {

PlugIdentity Identity(uint8_t speed = SIM_SPEED_SUPER) {
  PlugIdentity id;
  id.Serial = "T0001";
  id.PortSpeed = speed;
  return id;
}

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

TEST(PlugModel, UnknownRequestsStallAndWrongEndpointsStall) {
  PlugModel model(Identity());
  uint8_t data[64] = {};
  EXPECT_TRUE(Vendor(model, true, 0x1234, data, 4).Stalled);
  EXPECT_TRUE(Vendor(model, false, PLUG_CMD_INFO, data, 0).Stalled);  // IN command sent OUT
  SetupPacket classRequest{0xA1, 1, 0, 0, 4};
  EXPECT_TRUE(model.HandleSetup(classRequest, data).Stalled);
  SetupPacket noSuchString{0x80, 6, 0x0309, 0x0409, 64};
  EXPECT_TRUE(model.HandleSetup(noSuchString, data).Stalled);
  EXPECT_EQ(model.ReadEndpoint(0x82, data, 64).Status, EndpointStatus::Stall);
  EXPECT_EQ(model.WriteEndpoint(0x81, data, 64, true).Status, EndpointStatus::Stall);
}

TEST(PlugModel, ConfigurationTakesEffectOnlyAfterReturningToTheBus) {
  PlugModel model(Identity());
  // SuperSpeed bulk benchmark, plug sends, burst 16, 3 packets.
  uint8_t block[14] = {0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00,
                       0x03, 0x00, 0xC0, 0x03, 0x02, 0x00, 0xC0};
  EXPECT_FALSE(Vendor(model, false, PLUG_CMD_CONFIG, block, 14).Stalled);
  EXPECT_TRUE(model.ReenumerationRequested());
  EXPECT_EQ(model.Config().DataFlow, 0);
  model.LeaveBus();
  model.ReturnToBus();
  EXPECT_FALSE(model.ReenumerationRequested());
  EXPECT_EQ(model.Config().DataFlow, 1);
  ASSERT_EQ(model.Endpoints().size(), 2u);
  EXPECT_EQ(model.Endpoints()[1].bEndpointAddress, PLUG_DISPLAY_ENDPOINT);
  // Refused blocks: IN endpoint 7 belongs to the display; burst 0; unknown flow.
  for (auto [at, value] : {std::pair{2, 7}, {4, 0}, {0, 4}}) {
    uint8_t bad[14];
    std::memcpy(bad, block, 14);
    bad[at] = static_cast<uint8_t>(value);
    PlugConfig ignored;
    EXPECT_FALSE(DecodePlugConfig(bad, &ignored)) << at;
  }
  EXPECT_TRUE(Vendor(model, false, PLUG_CMD_CONFIG, block, 13).Stalled);
}

TEST(PlugModel, ConnectionTypeOfTheBlockLowersTheSpeedButNeverRaisesIt) {
  PlugModel model(Identity(SIM_SPEED_HIGH));
  uint8_t block[14] = {0, 2, 1, 1, 1, 1, 0, 1, 0, 4, 0x03, 64, 0, 4};
  ASSERT_FALSE(Vendor(model, false, PLUG_CMD_CONFIG, block, 14).Stalled);
  model.ReturnToBus();
  EXPECT_EQ(model.Speed(), SIM_SPEED_HIGH);
  block[10] = SIM_SPEED_FULL;
  ASSERT_FALSE(Vendor(model, false, PLUG_CMD_CONFIG, block, 14).Stalled);
  model.ReturnToBus();
  EXPECT_EQ(model.Speed(), SIM_SPEED_FULL);
  EXPECT_EQ(model.DeviceDescriptor()[7], 64);  // bMaxPacketSize0
  EXPECT_TRUE(model.BosSet().empty());
}

TEST(PlugModel, DisplayShowsTitleAndLedActivity) {
  PlugModel model(Identity());
  uint8_t before[PLUG_DISPLAY_BYTES], after[PLUG_DISPLAY_BYTES];
  ASSERT_EQ(model.ReadEndpoint(PLUG_DISPLAY_ENDPOINT, before, 1024).Bytes, 1024u);
  EXPECT_TRUE(DisplayPixel(before, 0, 0));    // the title bar is lit
  EXPECT_FALSE(DisplayPixel(before, 0, 63));  // the bottom-left corner is dark
  // LED boxes are empty until a flash command.
  EXPECT_FALSE(DisplayPixel(before, 18 + 2 + 10, 57));
  uint8_t none[1];
  ASSERT_FALSE(Vendor(model, false, PLUG_CMD_LED_STEP2, none, 0).Stalled);
  model.ReadEndpoint(PLUG_DISPLAY_ENDPOINT, after, 1024);
  EXPECT_TRUE(DisplayPixel(after, 18 + 2, 57));
  EXPECT_TRUE(DisplayPixel(after, 18 + 2 + 10, 57));
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
