// Plug requests as they reach the bus: a real UsbDevice opened on the scripted port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win_error.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "protocol/driver_requests.h"
#include "protocol/plug_ids.h"
#include "usb/descriptor_sets.h"
#include "usb/fake_port.h"
#include "usb/usb_device.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace td = TestDescriptors;

namespace {

struct VendorRequest {
  std::string setup;  // bmRequestType bRequest wValue wIndex wLength, in hex
  std::vector<uint8_t> outData;
};

class PlugDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_.Paths = {"\\\\?\\usb#vid_1209&pid_000a#SER1#{guid}"};
    port_.DeviceDescriptor = td::Device(0x0200, 64, 1);
    port_.ConfigSets[0] = td::Config(
        1, {td::Interface(0, 0, 2), td::Endpoint(0x81, 2, 512), td::Endpoint(0x01, 2, 512)});
    port_.StringSets[0] = td::Languages({0x0409});
    port_.StringSets[3] = td::String(u"SER1");
    device_ = std::make_unique<UsbDevice>(nullptr, PLUG_INTERFACE_CLASS, false);
    ASSERT_TRUE(device_->Open(0));
    ASSERT_NE(device_->ControlEndpoint, nullptr);
    PlugDevice = device_.get();
    port_.ClearRequests();
    ResetPlugSpeedCode();
  }
  void TearDown() override {
    PlugDevice = nullptr;
    ResetPlugSpeedCode();
  }

 public:
  // The vendor requests that went over endpoint 0, in order.
  std::vector<VendorRequest> VendorRequests() const {
    std::vector<VendorRequest> found;
    for (const FakePort::Request& request : port_.RequestsWithCode(IOCTL_EP0_TRANSFER)) {
      if (request.Input.size() < DRIVER_TRANSFER_BLOCK_SIZE) continue;
      const DriverTransferBlock b = ReadDriverTransferBlock(request.Input.data());
      if ((b.bmRequestType & 0x60) != 0x40) continue;  // not a vendor request
      found.push_back({Format8("%02X %02X %04X %04X %04X", b.bmRequestType, b.bRequest, b.wValue,
                               b.wIndex, b.wLength),
                       request.OutData});
    }
    return found;
  }
  std::vector<std::string> Setups() const {
    std::vector<std::string> setups;
    for (const VendorRequest& request : VendorRequests()) setups.push_back(request.setup);
    return setups;
  }

 protected:
  FakePort port_;
  std::unique_ptr<UsbDevice> device_;
};

TEST_F(PlugDeviceTest, OutRequestCarriesCommandAndData) {
  PlugConfigBlock block = BuildPlugConfigBlock(TestConfigRecord{});
  const std::vector<uint8_t> sent(block.begin(), block.end());
  EXPECT_EQ(SendPlugRequest(PlugCommand::Configure, PLUG_REQUEST_OUT, block.data(), 14), 1u);
  const auto requests = VendorRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].setup, "40 00 0002 0000 000E");
  EXPECT_EQ(requests[0].outData, sent);
}

TEST_F(PlugDeviceTest, InRequestReadsTheReplyAndAFailureKeepsThePreviousSpeed) {
  port_.QueueAnswer(0, FakePort::Answer::WithData({0x03, 0x00, 0x00, 0x00}));
  EXPECT_EQ(ReadPlugSpeedCode(), 3u);
  // Any direction other than OUT reads.
  port_.QueueAnswer(0, FakePort::Answer::WithData({0x01}));
  uint8_t reply = 0;
  EXPECT_EQ(SendPlugRequest(0x1234, 7, &reply, 1), 1u);
  EXPECT_EQ(reply, 0x01);
  EXPECT_THAT(Setups(), ElementsAre("C0 00 0009 0000 0004", "C0 00 1234 0000 0001"));

  port_.QueueAnswer(0, FakePort::Answer::Refused(ERROR_GEN_FAILURE));
  EXPECT_EQ(ReadPlugSpeedCode(), 3u);
  port_.QueueAnswer(0, FakePort::Answer::Refused(ERROR_GEN_FAILURE));
  uint8_t replies[4];
  EXPECT_EQ(SendPlugRequest(PlugCommand::Speed, PLUG_REQUEST_IN, replies, 4), 0u);
}

TEST_F(PlugDeviceTest, InformationReadIsTerminatedAndAFailedOneIsEmpty) {
  std::string text = "Tarnwick FW Version V2.3 HW V1";
  text.resize(40, 'Z');  // the plug offers more than asked for
  port_.QueueAnswer(0, FakePort::Answer::WithData(std::vector<uint8_t>(text.begin(), text.end())));
  PlugInfoBuffer buffer;
  buffer.fill(0xEE);
  ASSERT_TRUE(ReadPlugInfo(buffer));
  EXPECT_EQ(VendorRequests().back().setup, "C0 00 0050 0000 001F");
  EXPECT_EQ(buffer[31], 0);
  EXPECT_EQ(PlugInfoText(buffer), text.substr(0, 31));
  EXPECT_EQ(ParseFirmwareNumber(PlugInfoText(buffer)), 23);

  port_.QueueAnswer(0, FakePort::Answer::Refused(ERROR_GEN_FAILURE));
  EXPECT_FALSE(ReadPlugInfo(buffer));
  EXPECT_EQ(PlugInfoText(buffer), "");
}

TEST_F(PlugDeviceTest, NothingIsSentWithoutAnOpenPlug) {
  uint8_t data[4] = {};
  ASSERT_TRUE(device_->CloseDevice());
  EXPECT_FALSE(IsPlugOpen());
  EXPECT_EQ(SendPlugRequest(PlugCommand::Speed, PLUG_REQUEST_IN, data, 4), 0xFFFFFFFFu);
  PlugDevice = nullptr;
  EXPECT_EQ(SendPlugRequest(PlugCommand::Configure, PLUG_REQUEST_OUT, data, 4), 0xFFFFFFFFu);
  EXPECT_EQ(ReadPlugSpeedCode(), 0u);
  EXPECT_THAT(VendorRequests(), IsEmpty());
}

// FlashLeds takes a plain function for its pauses: record them beside the number of
// commands already on the bus at that moment.
const PlugDeviceTest* g_flashTest = nullptr;
std::vector<std::string> g_flashEvents;
void RecordPause(uint32_t milliseconds) {
  g_flashEvents.push_back("pause " + std::to_string(milliseconds) + " after " +
                          std::to_string(g_flashTest->VendorRequests().size()));
}

TEST_F(PlugDeviceTest, FlashLedsSendsThreeCommandsWithHalfSecondPausesBetween) {
  g_flashTest = this;
  g_flashEvents.clear();
  PlugDevice = nullptr;  // no plug, no flash
  FlashLeds(&RecordPause);
  EXPECT_THAT(g_flashEvents, IsEmpty());
  PlugDevice = device_.get();
  FlashLeds(&RecordPause);
  EXPECT_THAT(Setups(),
              ElementsAre("40 00 0001 0000 0000", "40 00 5501 0000 0000", "40 00 0301 0000 0000"));
  EXPECT_THAT(g_flashEvents, ElementsAre("pause 500 after 1", "pause 500 after 2"));
  g_flashTest = nullptr;
}

}  // namespace
