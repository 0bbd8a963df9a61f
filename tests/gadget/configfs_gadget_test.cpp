#include "gadget/configfs_gadget.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "firmware/device_descriptors.h"
#include "protocol/plug_ids.h"

namespace fs = std::filesystem;

namespace {

class ConfigfsGadgetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("tarnwick-configfs-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "usb_gadget");
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string Read(const std::string& relative) {
    std::ifstream file(root_ / "usb_gadget" / "g" / relative);
    std::string text;
    std::getline(file, text);
    return text;
  }
  fs::path root_;
};

GadgetIdentity IdentityAt(uint8_t speed) {
  PlugIdentity plug;
  plug.Serial = "SER01";
  return GadgetIdentityFrom(BuildDeviceDescriptor(plug, speed), BuildConfigurationSet(speed, {}),
                            PLUG_MANUFACTURER, PLUG_PRODUCT, plug.Serial);
}

TEST_F(ConfigfsGadgetTest, CreateWritesThePlugsIdsStringsAndConfiguration) {
  ConfigfsGadget gadget(root_.string(), "g");
  std::string error;
  ASSERT_TRUE(gadget.Create(IdentityAt(SPEED_SUPER), "fn", &error)) << error;
  EXPECT_EQ(Read("idVendor") + ":" + Read("idProduct"),
            "0x" + FormatPlugId({PLUG_VENDOR_ID, PLUG_PRODUCT_ID}).insert(5, "0x"));
  EXPECT_EQ(Read("bcdUSB"), "0x0320");
  EXPECT_EQ(Read("bcdDevice"), "0x0203");  // firmware 2.3
  EXPECT_EQ(Read("strings/0x409/serialnumber"), "SER01");
  EXPECT_EQ(Read("strings/0x409/manufacturer"), PLUG_MANUFACTURER);
  EXPECT_EQ(Read("configs/c.1/MaxPower"), "200");
  EXPECT_EQ(Read("configs/c.1/bmAttributes"), "0x80");
  EXPECT_TRUE(fs::is_symlink(root_ / "usb_gadget/g/configs/c.1/ffs.fn"));
  EXPECT_EQ(fs::read_symlink(root_ / "usb_gadget/g/configs/c.1/ffs.fn"),
            root_ / "usb_gadget/g/functions/ffs.fn");
  // The same 200 mA below SuperSpeed, where bMaxPower counts 2 mA units.
  ASSERT_TRUE(gadget.Create(IdentityAt(SPEED_HIGH), "fn", &error)) << error;
  EXPECT_EQ(Read("configs/c.1/MaxPower"), "200");
  EXPECT_EQ(Read("bcdUSB"), "0x0210");
}

TEST_F(ConfigfsGadgetTest, BindingWritesSpeedAndControllerAndUnbindingEmptiesIt) {
  ConfigfsGadget gadget(root_.string(), "g");
  std::string error;
  ASSERT_TRUE(gadget.Create(IdentityAt(SPEED_SUPER), "fn", &error));
  for (const auto& [speed, name] : {std::pair{SPEED_HIGH, "high-speed"},
                                    {SPEED_FULL, "full-speed"},
                                    {SPEED_SUPER, "super-speed"}}) {
    ASSERT_TRUE(gadget.SetMaxSpeed(speed, &error));
    EXPECT_EQ(Read("max_speed"), name);
  }
  ASSERT_TRUE(gadget.Bind("dummy_udc.0", &error));
  EXPECT_EQ(Read("UDC"), "dummy_udc.0");
  ASSERT_TRUE(gadget.Unbind(&error));
  EXPECT_EQ(Read("UDC"), "");
}

TEST_F(ConfigfsGadgetTest, ControllersAreListedInOrderWithTheirSpeeds) {
  const fs::path udc = root_ / "udc";
  const std::pair<const char*, const char*> controllers[] = {{"b.usb", "high-speed"},
                                                             {"a.usb", "super-speed-plus"},
                                                             {"c.usb", "UNKNOWN"},
                                                             {"d.usb", "full-speed"}};
  for (const auto& [name, speed] : controllers) {
    fs::create_directories(udc / name);
    std::ofstream(udc / name / "maximum_speed") << speed << "\n";
  }
  EXPECT_EQ(ListUdcs(udc.string()), (std::vector<std::string>{"a.usb", "b.usb", "c.usb", "d.usb"}));
  EXPECT_EQ(UdcMaxSpeed(udc.string(), "a.usb"), SPEED_SUPER);
  EXPECT_EQ(UdcMaxSpeed(udc.string(), "b.usb"), SPEED_HIGH);
  EXPECT_EQ(UdcMaxSpeed(udc.string(), "c.usb"), std::nullopt);
  EXPECT_EQ(UdcMaxSpeed(udc.string(), "d.usb"), SPEED_FULL);
  EXPECT_EQ(UdcMaxSpeed(udc.string(), "missing"), std::nullopt);
  EXPECT_TRUE(ListUdcs((root_ / "none").string()).empty());
}

}  // namespace
