// Discovery, selection and re-enumeration of simulated plugs through the main dialog
// of the headless window system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/shared_memory.h"
#include "plug/plug_registry.h"
#include "plug/plug_window_fixture.h"
#include "plug/registry_peer.h"
#include "usb/descriptor_sets.h"
#include "usb/fake_port.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr char kReenumeration[] = "Starting plug re-enumeration due to config change";

TEST_F(PlugWindowTest, TwoPlugsAreListedTheFirstIsConfiguredAndReadyOnceItIsBack) {
  Plugs("plugs=2,reenum-ms=5");
  DisableControlsForTest(main_);  // only the plug's return may make the controls usable
  ScanForPlugs(main_);

  EXPECT_THAT(Items(res::IDC_DEVICE_LIST),
              ElementsAre("SIM0001 (SuperSpeed 5Gb/s)", "SIM0002 (SuperSpeed 5Gb/s)"));
  EXPECT_EQ(Selected(res::IDC_DEVICE_LIST), "SIM0001 (SuperSpeed 5Gb/s)");
  EXPECT_EQ(OpenSerial(), "SIM0001");
  EXPECT_EQ(Utf16ToUtf8(CurrentPlugSerial), "SIM0001");
  EXPECT_EQ(SelectedDeviceNumber, 0u);
  EXPECT_EQ(FirmwareNumber, 23);
  EXPECT_THAT(bus_->Commands(),
              ElementsAre(PlugCommand::Info, PlugCommand::Speed, PlugCommand::Configure));
  EXPECT_EQ(bus_->VendorCalls().back().Data,
            std::vector<uint8_t>(LastSentPlugConfig.begin(), LastSentPlugConfig.end()));
  EXPECT_EQ(LastSentPlugConfig, BuildPlugConfigBlock(TestConfig));
  EXPECT_THAT(log_.Texts(),
              ElementsAre("Initial USB3 device scan", "SIM0001 (SuperSpeed 5Gb/s) added to list",
                          "SIM0002 (SuperSpeed 5Gb/s) added to list",
                          "Found serial match for SIM0001", "Device num 0",
                          "Plug Info: FW Version V2.3 HW Version 1.0", "Initialising plug: SIM0001",
                          kReenumeration, "Device number 0 selected for testing"));
  // Not ready until it is back.
  EXPECT_TRUE(ReenumerationPending);
  EXPECT_FALSE(PlugConnected);
  EXPECT_THAT(ShellCalls(), IsEmpty());
  EXPECT_FALSE(Control(res::IDC_START)->IsEnabled());

  ASSERT_TRUE(SettleConnected());
  EXPECT_THAT(RecordsAfter(7),
              ElementsAre(kReenumeration, "Device number 0 selected for testing", "Device removed",
                          "Delete SIM0001 from list of plugs", "DBT_DEVICEARRIVAL",
                          "New device: " + PlugDevicePath("SIM0001"), "Matched quorvale ID string",
                          "SIM0001 (SuperSpeed 5Gb/s) re-enumerated",
                          "Device SIM0001 is ready for testing"));
  EXPECT_THAT(Items(res::IDC_DEVICE_LIST),
              ElementsAre("SIM0002 (SuperSpeed 5Gb/s)", "SIM0001 (SuperSpeed 5Gb/s)"));
  EXPECT_EQ(Selected(res::IDC_DEVICE_LIST), "SIM0001 (SuperSpeed 5Gb/s)");
  EXPECT_EQ(OpenSerial(), "SIM0001");
  EXPECT_FALSE(ReenumerationPending);
  EXPECT_TRUE(MonitorReconnect);  // the monitor looks up the display endpoint again
  EXPECT_THAT(ShellCalls(), ElementsAre("restore, plug connected"));
  EXPECT_TRUE(Control(res::IDC_START)->IsEnabled());
  EXPECT_TRUE(Control(res::IDC_CONFIGURE)->IsEnabled());
  EXPECT_EQ(bus_->Commands().size(), 3u);
}

struct FirmwareCase {
  const char* firmware;
  bool usable;
  int32_t number;
  bool oldRecord;
};

TEST_F(PlugWindowTest, TheFirmwareDecidesWhetherThePlugIsUsed) {
  const FirmwareCase cases[] = {
      {"none", false, 0, false},
      {"21", true, 21, true},
      {"22", true, 22, false},
  };
  for (const FirmwareCase& c : cases) {
    SCOPED_TRACE(c.firmware);
    TearDown();
    SetUp();
    const size_t boxesBefore = system_.MessageBoxes().size();
    Plugs(std::string("reenum-ms=5,firmware=") + c.firmware);
    ScanForPlugs(main_);
    EXPECT_EQ(OpenSerial(), "SIM0001");  // opened either way
    EXPECT_EQ(FirmwareNumber, c.number);
    EXPECT_EQ(Records("Firmware is old, please update to the latest firmware"), c.oldRecord);
    std::vector<std::string> boxes = Boxes();
    boxes.erase(boxes.begin(), boxes.begin() + static_cast<ptrdiff_t>(boxesBefore));
    if (c.usable) {
      EXPECT_THAT(boxes, IsEmpty());
      EXPECT_EQ(bus_->CountCommand(PlugCommand::Configure), 1u);
      EXPECT_TRUE(SettleConnected());
      EXPECT_THAT(ShellCalls(), ElementsAre("restore, plug connected"));
      continue;
    }
    EXPECT_THAT(boxes, ElementsAre("Error|Firmware is not compatible, please update the firmware"));
    EXPECT_THAT(bus_->Commands(), ElementsAre(PlugCommand::Info));
    EXPECT_EQ(Records("Plug Info: HW Version 1.0"), 0);
    EXPECT_FALSE(ReenumerationPending);
    EXPECT_FALSE(PlugConnected);
    // The testing state, with Exit usable again.
    EXPECT_THAT(ShellCalls(), ElementsAre("disable"));
    EXPECT_TRUE(Control(IDC_EXIT)->IsEnabled());
    EXPECT_FALSE(Control(res::IDC_START)->IsEnabled());
    EXPECT_FALSE(Control(res::IDC_DEVICE_LIST)->IsEnabled());
    EXPECT_EQ(Control(res::IDC_CONNECTION_LIST)->ComboCount(), 0);
  }
}

TEST_F(PlugWindowTest, APlugThatLeavesIsNoLongerReadyAndOneThatNeverComesBackNeverIs) {
  Plugs("reenum-ms=5");
  ScanForPlugs(main_);
  ASSERT_TRUE(SettleConnected());
  MonitorReconnect = false;  // as the monitor leaves it once it found the endpoint
  // Handles that are not the plug's change nothing.
  EXPECT_FALSE(HandlePlugHandleRemoval(INVALID_DRIVER_HANDLE));
  EXPECT_FALSE(HandlePlugHandleRemoval(PlugDevice->DeviceHandle + 1));
  EXPECT_TRUE(PlugConnected);
  EXPECT_FALSE(MonitorReconnect);

  // The Loopback command: testing state, then the configuration forced; the plug
  // leaves and stays away.
  const size_t before = log_.Texts().size();
  bus_->RemoveOnNextConfiguration(0);
  DisableControlsForTest(main_);
  ApplyConfigToPlug(true);
  ASSERT_TRUE(Settle([&] { return DeviceList()->ComboCount() == 0; }));
  EXPECT_FALSE(PlugConnected);
  EXPECT_TRUE(MonitorReconnect);
  EXPECT_TRUE(ReenumerationPending);
  EXPECT_THAT(RecordsAfter(before),
              ElementsAre(kReenumeration, "Device removed", "Delete SIM0001 from list of plugs"));
  EXPECT_THAT(ShellCalls(), ElementsAre("restore, plug connected"));
  EXPECT_FALSE(Control(res::IDC_START)->IsEnabled());
}

TEST_F(PlugWindowTest, APlugThatCannotBeReopenedLeavesNoSelection) {
  Plugs("reenum-ms=5");
  ScanForPlugs(main_);
  ASSERT_TRUE(SettleConnected());

  TestConfig.PollingInterval = 3;
  ApplyConfigToPlug(false);
  // Back on the bus and listed again (one open), but the plug in use will not open.
  bus_->RefuseOpensAfter(1);
  ASSERT_TRUE(Settle([&] { return Records("SIM0001 (SuperSpeed 5Gb/s) re-enumerated") == 2; }));
  EXPECT_THAT(Items(res::IDC_DEVICE_LIST), ElementsAre("SIM0001 (SuperSpeed 5Gb/s)"));
  EXPECT_EQ(Selected(res::IDC_DEVICE_LIST), "<none>");
  EXPECT_FALSE(PlugConnected);
  EXPECT_TRUE(ReenumerationPending);
  EXPECT_THAT(ShellCalls(), ElementsAre("restore, plug connected"));
}

TEST_F(PlugWindowTest, AnotherPlugArrivingOnlyAddsItsEntry) {
  Plugs("plugs=2,reenum-ms=5");
  ScanForPlugs(main_);
  ASSERT_TRUE(SettleConnected());
  const DriverHandle handle = PlugDevice->DeviceHandle;

  bus_->Sim().UnplugNow(1, 5);
  ASSERT_TRUE(Settle([&] { return Records("SIM0002 (SuperSpeed 5Gb/s) added to list") == 2; }));
  EXPECT_THAT(Items(res::IDC_DEVICE_LIST),
              ElementsAre("SIM0001 (SuperSpeed 5Gb/s)", "SIM0002 (SuperSpeed 5Gb/s)"));
  EXPECT_EQ(Selected(res::IDC_DEVICE_LIST), "SIM0001 (SuperSpeed 5Gb/s)");
  EXPECT_EQ(PlugDevice->DeviceHandle, handle);
  EXPECT_TRUE(PlugConnected);
  EXPECT_THAT(ShellCalls(), ElementsAre("restore, plug connected"));

  // Nor does it stand in for the plug in use while that one is away.
  bus_->RemoveOnNextConfiguration(0);
  ApplyConfigToPlug(true);
  ASSERT_TRUE(Settle([&] { return !PlugConnected && DeviceList()->ComboCount() == 1; }));
  bus_->Sim().UnplugNow(1, 5);
  ASSERT_TRUE(Settle([&] { return Records("SIM0002 (SuperSpeed 5Gb/s) re-enumerated") == 1; }));
  EXPECT_FALSE(PlugConnected);
  EXPECT_TRUE(ReenumerationPending);
  EXPECT_EQ(SelectedDeviceNumber, 0u);
  EXPECT_NE(OpenSerial(), "SIM0002");
  EXPECT_THAT(ShellCalls(), ElementsAre("restore, plug connected"));
}

TEST_F(PlugWindowTest, ThePlugInUseIsReopenedWhereverTheDriverListsItNow) {
  Plugs("plugs=2,reenum-ms=5");
  ScanForPlugs(main_);
  ASSERT_TRUE(SettleConnected());
  MonitorReconnect = false;
  SelectEntry(u"SIM0002 (SuperSpeed 5Gb/s)");
  SelectPlug(main_);
  EXPECT_TRUE(MonitorReconnect);  // the monitor looks up the new plug's display endpoint
  ASSERT_TRUE(SettleConnected());
  EXPECT_EQ(SelectedDeviceNumber, 1u);

  // The first plug goes for good: the second is now the driver's device 0.
  bus_->Sim().UnplugNow(0, 0);
  ASSERT_TRUE(Settle([&] { return DeviceList()->ComboCount() == 1; }));
  ApplyConfigToPlug(true);
  ASSERT_TRUE(Settle([&] { return !ReenumerationPending && PlugConnected; }));
  EXPECT_EQ(OpenSerial(), "SIM0002");
  EXPECT_EQ(SelectedDeviceNumber, 0u);
  EXPECT_EQ(Selected(res::IDC_DEVICE_LIST), "SIM0002 (SuperSpeed 5Gb/s)");
}

struct SpeedCase {
  const char* options;
  uint32_t lowerTo;  // a connection type chosen before the plug is selected again; 0: none
  const char* offered;
  const char* chosen;
  uint32_t connectionType;
};

TEST_F(PlugWindowTest, TheConnectionTypesOfferedAndChosenFollowThePlug) {
  constexpr char kAll[] = "SuperSpeed 5Gb/s, HighSpeed 480Mb/s, FullSpeed 12Mb/s";
  constexpr char kHigh[] = "HighSpeed 480Mb/s, FullSpeed 12Mb/s";
  const SpeedCase cases[] = {
      {"speed=high", 0, kHigh, "HighSpeed 480Mb/s", 2},
      {"speed=full", 0, "FullSpeed 12Mb/s", "FullSpeed 12Mb/s", 1},
      // A plug connected below its fastest speed still offers that one first.
      {"speed=super", 2, kAll, "HighSpeed 480Mb/s", 2},
      {"speed=super", 1, kAll, "FullSpeed 12Mb/s", 1},
      {"speed=high", 1, kHigh, "FullSpeed 12Mb/s", 1},
  };
  for (const SpeedCase& c : cases) {
    SCOPED_TRACE(std::string(c.options) + " lowered to " + std::to_string(c.lowerTo));
    TearDown();
    SetUp();
    Plugs(std::string("reenum-ms=5,") + c.options);
    ScanForPlugs(main_);
    ASSERT_TRUE(SettleConnected());
    if (c.lowerTo != 0) {
      TestConfig.ConnectionType = c.lowerTo;
      ApplySpeedDefaults();
      ApplyConfigToPlug(false);
      ASSERT_TRUE(Settle([] { return !ReenumerationPending && PlugConnected; }));
      SelectPlug(main_);
    }
    std::string offered;
    for (const std::string& item : Items(res::IDC_CONNECTION_LIST))
      offered += (offered.empty() ? "" : ", ") + item;
    EXPECT_EQ(offered, c.offered);
    EXPECT_EQ(Selected(res::IDC_CONNECTION_LIST), c.chosen);
    EXPECT_EQ(Selected(res::IDC_DEVICE_LIST), std::string("SIM0001 (") + c.chosen + ")");
    EXPECT_EQ(TestConfig.ConnectionType, c.connectionType);
    EXPECT_EQ(TestConfig.BurstLength, 1);
    EXPECT_EQ(LastSentPlugConfig[10], c.connectionType);
    ASSERT_TRUE(SettleConnected());
  }
}

TEST_F(PlugWindowTest, WithoutADeviceOrASerialNothingIsOpened) {
  // No driver device at all.
  DeviceList()->ComboAdd(u"OLD0001 (SuperSpeed 5Gb/s)");
  ScanForPlugs(main_);
  EXPECT_THAT(Boxes(),
              ElementsAre("Tarnwick: Error|No Quorvale ZED 3.0 uriv device "
                          "detected.\nYou may need to plug in (or install) USB devices.\n"));
  EXPECT_EQ(DeviceList()->ComboCount(), 0);
  EXPECT_THAT(log_.Texts(), ElementsAre("Initial USB3 device scan"));

  // One that will not open is skipped, with a record after each attempt whatever the
  // logging setting.
  {
    TestConfig.VerboseLogging = 0;
    FakePort port;
    port.Paths = {"\\\\?\\usb#plug0"};
    port.OpenError = ERROR_ACCESS_DENIED;
    ScanForPlugs(main_);
    EXPECT_THAT(RecordsAfter(1), ElementsAre("tmpUSBDevice->Open(curUSB3) == false, device ",
                                             "tmpUSBDevice->Open(curUSB3) == false, device "));
    EXPECT_EQ(DeviceList()->ComboCount(), 0);
    TestConfig.VerboseLogging = 1;
  }

  // An entry without a serial, or no entry selected: the plug in use is closed and no
  // other opened.
  Plugs("reenum-ms=5");
  ScanForPlugs(main_);
  ASSERT_TRUE(SettleConnected());
  bus_->ClearRecord();
  for (int32_t entry : {DeviceList()->ComboAdd(u" (SuperSpeed 5Gb/s)"), -1}) {
    DeviceList()->ComboSelect(entry);
    SelectPlug(main_);
    EXPECT_EQ(OpenSerial(), "<closed>");
    EXPECT_FALSE(PlugConnected);
    EXPECT_TRUE(MonitorReconnect);
    EXPECT_THAT(bus_->VendorCalls(), IsEmpty());
  }
}

struct ListedCase {
  const char* what;
  uint16_t vendor, product;
  int interfaces;
  int currentSetting;
  bool listed;
};

// One scripted device behind the driver: which of its kind count as plugs.
TEST_F(PlugWindowTest, OnlyASingleInterfaceAtSettingZeroWithAPlugIdIsListed) {
  namespace td = TestDescriptors;
  const ListedCase cases[] = {
      {"the plug's own id", PLUG_VENDOR_ID, PLUG_PRODUCT_ID, 1, 0, true},
      {"an id nobody added", 0x1234, 0x5678, 1, 0, false},
      {"two interfaces", PLUG_VENDOR_ID, PLUG_PRODUCT_ID, 2, 0, false},
      {"another setting current", PLUG_VENDOR_ID, PLUG_PRODUCT_ID, 1, 1, false},
  };
  for (const ListedCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakePort port;
    port.Paths = {"\\\\?\\usb#plug0"};
    port.DeviceDescriptor = td::Device(0x0200, 64, 1, 1, 2, 3, c.vendor, c.product);
    port.ConfigSets[0] = c.interfaces == 2
                             ? td::Config(2, {td::Interface(0, 0, 1), td::Endpoint(0x81, 2, 512),
                                              td::Interface(1, 0, 1), td::Endpoint(0x01, 2, 512)})
                             : td::Config(1, {td::Interface(0, 0, 1), td::Endpoint(0x81, 2, 512),
                                              td::Interface(0, 1, 1), td::Endpoint(0x81, 2, 512)});
    port.AltSetting = c.currentSetting;
    port.StringSets[0] = td::Languages({0x0409});
    port.StringSets[3] = td::String(u"FAKE1");
    ScanForPlugs(main_);
    EXPECT_EQ(Items(res::IDC_DEVICE_LIST),
              c.listed ? std::vector<std::string>{"FAKE1 (HighSpeed 480Mb/s)"}
                       : std::vector<std::string>{});
    EXPECT_EQ(Records("FAKE1 (HighSpeed 480Mb/s) added to list"), c.listed);

    // A real plug built on other ids joins the one list of ids.
    if (!c.listed && c.vendor != PLUG_VENDOR_ID) {
      ASSERT_TRUE(AddPlugId({c.vendor, c.product}));
      ScanForPlugs(main_);
      EXPECT_THAT(Items(res::IDC_DEVICE_LIST), ElementsAre("FAKE1 (HighSpeed 480Mb/s)"));
      ResetPlugIds();
    }
    TearDown();
    SetUp();
  }
}

TEST_F(PlugWindowTest, FindPlugListEntryMatchesPartOfAnEntryExactly) {
  ui::Window* list = DeviceList();
  EXPECT_EQ(FindPlugListEntry(list, u"SIM0001"), -1);
  list->ComboAdd(u"SIM00011 (HighSpeed 480Mb/s)");
  list->ComboAdd(u"SIM0001 (SuperSpeed 5Gb/s)");
  const std::pair<const char16_t*, int32_t> cases[] = {
      {u"SIM0001", 0},  {u"SIM0001 ", 1}, {u"SuperSpeed", 1},
      {u"sim0001", -1}, {u"SIM0002", -1}, {u"", -1},
  };
  for (const auto& [text, index] : cases) {
    EXPECT_EQ(FindPlugListEntry(list, text), index) << Utf16ToUtf8(text);
  }
  EXPECT_EQ(FindPlugListEntry(nullptr, u"SIM0001"), -1);
}

// The registry between this copy and another one in a process of its own.
class PlugInUseTest : public PlugWindowTest {
 protected:
  void SetUp() override {
    PlugWindowTest::SetUp();
    signal(SIGPIPE, SIG_IGN);
    setenv(PlugRegistryPrefixVariable,
           ("tarnwick-select-test-" + std::to_string(getpid()) + "-").c_str(), 1);
  }
  void TearDown() override {
    ReleasePlugs();
    SharedMemory::Remove(PlugRegistrySectionName());
    SharedMemory::Remove(PlugRegistryMutexName());
    unsetenv(PlugRegistryPrefixVariable);
    PlugWindowTest::TearDown();
  }
};

TEST_F(PlugInUseTest, APlugAnotherCopyHoldsIsRefusedAndNoneIsOpen) {
  Peer other;
  ASSERT_EQ(other.Ask("open").Answer, "open 1 1");
  ASSERT_EQ(other.Ask("claim SIM0002").Answer, "claimed");
  ASSERT_TRUE(OpenPlugRegistry());
  Plugs("plugs=2,reenum-ms=5");
  ScanForPlugs(main_);
  ASSERT_TRUE(SettleConnected());
  bus_->ClearRecord();

  SelectEntry(u"SIM0002 (SuperSpeed 5Gb/s)");
  SelectPlug(main_);
  EXPECT_THAT(Boxes(), ElementsAre("Plug already in use|Another copy of Tarnwick is already "
                                   "using that plug.\nPlease select another."));
  EXPECT_EQ(Selected(res::IDC_DEVICE_LIST), "SIM0001 (SuperSpeed 5Gb/s)");
  EXPECT_EQ(OpenSerial(), "<closed>");
  EXPECT_FALSE(PlugConnected);
  EXPECT_THAT(bus_->VendorCalls(), IsEmpty());

  // Its own plug again is no conflict.
  SelectPlug(main_);
  EXPECT_EQ(OpenSerial(), "SIM0001");
  EXPECT_EQ(Boxes().size(), 1u);
  EXPECT_TRUE(SettleConnected());
  other.Exit();
}

}  // namespace
