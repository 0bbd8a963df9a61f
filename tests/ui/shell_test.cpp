// The shell as the user meets it, through the headless main window over simulated plugs.
#include <gmock/gmock.h>

#include "engines/benchmark_sync.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "plug/registry_peer.h"
#include "protocol/device_path.h"
#include "shell_fixture.h"
#include "sim/sim_driver.h"
#include "usb/usb_device.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

using namespace res;

// Reads a global of the user-interface thread on that thread.
template <typename T>
T OnUi(ui::WindowSystem& system, const std::function<T()>& read) {
  T value{};
  system.Invoke([&] { value = read(); });
  return value;
}

// Whether `wanted` appear in `lines` in this order (others may come between).
::testing::AssertionResult InOrder(const std::vector<std::string>& lines,
                                   const std::vector<std::string>& wanted) {
  auto at = lines.begin();
  for (const std::string& line : wanted) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end())
      return ::testing::AssertionFailure() << "missing or out of order: " << line;
    ++at;
  }
  return ::testing::AssertionSuccess();
}

ui::Message PowerNotice(int32_t event) {
  ui::Message message;
  message.kind = ui::MessageKind::PowerBroadcast;
  message.code = event;
  return message;
}

ui::Message InterfaceNotice(uint32_t event, const std::string& path) {
  DeviceNotice notice;
  notice.Event = event;
  notice.IsInterface = true;
  notice.Path = path;
  return DeviceChangeMessage(notice);
}

ui::Message HandleNotice(DriverHandle handle) {
  DeviceNotice notice;
  notice.Event = DBT_DEVICEREMOVECOMPLETE;
  notice.Handle = handle;
  return DeviceChangeMessage(notice);
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

TEST_F(ShellTest, StartUpAndExitKeepTheirOrderAndTheExitFreesTheRegistrySlot) {
  Peer peer;
  ASSERT_EQ(peer.Ask("open").Answer, "open 1 1");
  Run("reenum-ms=1", {u"debugmode"});
  ASSERT_TRUE(WaitReady());
  ASSERT_FALSE(Boxes().empty());
  EXPECT_THAT(Boxes()[0],
              HasSubstr((folder_ / "Quorvale" / "Tarnwick" / "TarnwickLog.txt").string()));
  // The copy holds its plug in the registry until its exit steps.
  EXPECT_EQ(peer.Ask("claim SIM0001").Answer, "refused");
  ASSERT_GE(Texts().size(), 2u);
  EXPECT_EQ(Texts()[0], "Quorvale Tarnwick V2.0 1009");
  EXPECT_EQ(Texts()[1], "SIM0001 (SuperSpeed 5Gb/s) added to list");

  Close();
  EXPECT_EQ(code_, 0);
  EXPECT_TRUE(ExitRequested);
  EXPECT_EQ(peer.Ask("claim SIM0001").Answer, "claimed");
  // The registry before the window, the window before the plugs; the slot freed last.
  EXPECT_TRUE(InOrder(
      TraceLines(),
      {"DEBUG: Starting...", "HORZRES - 1920 VERTRES - 1080",
       "DEBUG: Creating or getting a copy of the shared memory and shared memory mutex objects",
       "DEBUG: Initializing test configuration", "DEBUG: Processing WM_CREATE message",
       "DEBUG: Initializing dialog", "DEBUG: Reloading USB devices, resetting stats and dialog",
       "DEBUG: In the case of IDC_EXIT from WM_COMMAND message",
       "DEBUG: Processing WM_DESTROY message",
       "DEBUG: Deleting any currently locked plug from shared memory for this PID"}));
  EXPECT_EQ(LogRecord, nullptr);
  EXPECT_EQ(PlugDevice, nullptr);
  EXPECT_FALSE(BenchmarkSyncReady());
}

TEST_F(ShellTest, SwitchesCountAmongTheFirstFourArgumentsInAnyCase) {
  const struct {
    std::vector<std::u16string> arguments;
    bool serialShown;
    bool saveLog;
  } cases[] = {
      {{}, false, false},
      {{u"/s"}, true, false},
      {{u"x", u"/S", u"/l"}, true, true},
      {{u"1", u"2", u"3", u"/L"}, false, true},
      {{u"1", u"2", u"3", u"4", u"/S", u"/L"}, false, false},
      {{u"/sl", u"-S", u"S"}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.arguments.size()));
    Restart();
    Run("reenum-ms=1", c.arguments);
    EXPECT_EQ(Control(IDC_SERIAL_EDIT)->IsVisible(), c.serialShown);
    EXPECT_EQ(Control(IDC_SERIAL_LABEL)->IsVisible(), c.serialShown);
    EXPECT_EQ(OnUi<uint32_t>(system_, [] { return TestConfig.SaveLogAtEnd; }), c.saveLog ? 1u : 0u);
    // The rest of the set-up, whatever the switches.
    EXPECT_EQ(Control(IDC_LOOPBACK)->GetCheck(), ui::BST_CHECKED);
    EXPECT_TRUE(system_.TimerActive(main_, TIMER_DISPLAY));
    EXPECT_EQ(OnUi<std::u16string>(system_, [] { return CurrentPlugSerial; }), u"SIM0001");
  }
}

TEST_F(ShellTest, TheDurationLimitStopsTheRunOnTheFirstTickPastItWithABeep) {
  const struct {
    const char16_t* text;
    int64_t limitSeconds;  // -1: no limit
    const char* durationLine;
  } cases[] = {
      {u"1", 60, "Duration: 000h 01m 00s"},
      {u"0.5", 30, "Duration: 000h 00m 30s"},
      {u"0.01", 0, "Duration: 000h 00m 00s"},
      {u"0", -1, nullptr},
      {u"", -1, nullptr},
      {u"soon", -1, nullptr},
      {u"-2", -1, nullptr},
  };
  Run("rate=unlimited,reenum-ms=1");
  ASSERT_TRUE(WaitReady());
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.text));
    Control(IDC_DURATION_EDIT)->SetText(c.text);
    const int64_t start = Clock() += 100000;
    Click(IDC_START);
    ASSERT_FALSE(TestStopped);
    EXPECT_EQ(TestStats.RunStartTime, start);
    const int32_t beeps = system_.BeepCount();
    const bool limited = c.limitSeconds >= 0;
    const int64_t last = limited ? c.limitSeconds : 1000000;  // the last second within it
    Clock() = start + last;
    Tick();
    EXPECT_FALSE(TestStopped);
    EXPECT_EQ(TestStats.ElapsedSeconds, last);
    Clock() = start + last + 1;
    for (int tick = 0; tick < 2; ++tick) {  // one beep, on the first tick past the limit
      Tick();
      EXPECT_EQ(TestStopped, limited);
      EXPECT_EQ(system_.BeepCount(), beeps + (limited ? 1 : 0));
    }
    if (limited) {
      EXPECT_EQ(TestStats.ElapsedSeconds, last);  // kept from before the stop
    } else {
      Command(IDC_STOP);
    }
    ASSERT_TRUE(WaitEngineEnd());
    ASSERT_TRUE(WaitFor([this] { return Control(IDC_START)->IsEnabled(); }));
    if (c.durationLine != nullptr) {
      EXPECT_EQ(Count(c.durationLine), 1);
    }
  }
}

TEST_F(ShellTest, AStartDuringARunOnlyLogsAndStopComesFiveSecondsAfterStart) {
  Run("rate=unlimited,reenum-ms=1");
  ASSERT_TRUE(WaitReady());
  Click(IDC_START);
  ASSERT_EQ(EngineThreadsAlive(), 1);
  EXPECT_FALSE(Control(IDC_START)->IsEnabled());
  EXPECT_FALSE(Control(IDC_EXIT)->IsEnabled());
  // The button is off during a run; the command can still come (a keyboard shortcut).
  Command(IDC_START);
  EXPECT_EQ(Count("A ZED 3.0 uriv is running already"), 1);
  EXPECT_EQ(EngineThreadsAlive(), 1);
  EXPECT_FALSE(TestStopped);
  system_.AdvanceTime(STOP_ENABLE_DELAY_MS - 1);
  system_.Flush();
  EXPECT_FALSE(Control(IDC_STOP)->IsEnabled());
  system_.AdvanceTime(1);
  system_.Flush();
  EXPECT_TRUE(Control(IDC_STOP)->IsEnabled());
  EXPECT_FALSE(system_.TimerActive(main_, TIMER_STOP_ENABLE));
  Click(IDC_STOP);
  ASSERT_TRUE(WaitEngineEnd());
  EXPECT_EQ(Count("RESULTS:"), 1);
  EXPECT_EQ(TestStats.RunStartTime, 0);

  // A plug whose handle went away meanwhile leaves Stop off.
  ASSERT_TRUE(WaitFor([this] { return Control(IDC_START)->IsEnabled(); }));
  Click(IDC_START);
  const DriverHandle handle = OnUi<DriverHandle>(system_, [] { return PlugDevice->DeviceHandle; });
  Post(HandleNotice(handle));
  EXPECT_FALSE(PlugConnected);
  system_.AdvanceTime(STOP_ENABLE_DELAY_MS);
  system_.Flush();
  EXPECT_FALSE(Control(IDC_STOP)->IsEnabled());
  ASSERT_TRUE(WaitEngineEnd());
  EXPECT_EQ(Count("Test stopped due to device removal"), 1);
}

TEST_F(ShellTest, WithoutAPlugStartConfigureAndFlashOnlyAskForOne) {
  // Another copy holds the only plug, so none is selected.
  Peer peer;
  ASSERT_EQ(peer.Ask("open").Answer, "open 1 1");
  ASSERT_EQ(peer.Ask("claim SIM0001").Answer, "claimed");
  Run("reenum-ms=1");
  ASSERT_THAT(Boxes(), ::testing::ElementsAre(StartsWith("Plug already in use|")));
  for (int32_t id : {IDC_START, IDC_CONFIGURE, IDC_FLASH_LEDS}) Click(id);
  const std::string noPlug =
      "No plug selected|Please select a USB plug from the available devices list";
  EXPECT_THAT(Boxes(),
              ::testing::ElementsAre(StartsWith("Plug already in use|"), noPlug, noPlug, noPlug));
  EXPECT_EQ(system_.MessageBoxes()[1].owner, main_);
  EXPECT_EQ(EngineThreadsAlive(), 0);
  EXPECT_TRUE(TestStopped);
  EXPECT_EQ(system_.FindDialog("CONFBOX"), nullptr);
  EXPECT_FALSE(system_.TimerActive(main_, TIMER_STOP_ENABLE));
}

TEST_F(ShellTest, TheSuspendNoticeStopsTheRunAndKeepsItsStartTime) {
  Run("rate=unlimited,reenum-ms=1");
  ASSERT_TRUE(WaitReady());
  Click(IDC_START);
  const int64_t start = TestStats.RunStartTime;
  Post(PowerNotice(7));  // resuming: nothing to do
  EXPECT_FALSE(TestStopped);
  EXPECT_EQ(Count("Suspend"), 0);
  Post(PowerNotice(PBT_APMSUSPEND));
  EXPECT_TRUE(TestStopped);
  EXPECT_EQ(TestStats.RunStartTime, start);
  ASSERT_GE(IndexOf("Suspend"), 0);
  EXPECT_EQ(Records()[static_cast<size_t>(IndexOf("Suspend"))].category, LogCategory::Error);
  ASSERT_TRUE(WaitEngineEnd());
  EXPECT_EQ(Count("END OF USB LOOPBACK TEST"), 1);
}

TEST(PlugSerialOfPathTest, PrefixInAnyCaseThenTheSerialUpToTheNextHash) {
  ResetPlugIds();
  const std::string own = PlugDevicePath("SIM0001");
  const std::string other = DevicePathFor({0x1209, 0x0B01}, "LINE7");
  const std::string prefix = own.substr(0, PLUG_DEVICE_PATH_PREFIX_LENGTH);
  const struct {
    std::string path;
    std::optional<std::u16string> serial;
  } cases[] = {
      {own, u"SIM0001"},
      {Upper(prefix) + "Ab-1#{x}", u"Ab-1"},
      {prefix + "#", u""},
      {prefix + "NOHASH", std::nullopt},
      {prefix + std::string(70, 'a') + "#", std::u16string(63, u'a')},
      {other, std::nullopt},
      {prefix.substr(0, 20), std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(PlugSerialOfPath(Widen8(c.path)), c.serial);
  }
  // A plug added by id is matched by its own prefix too.
  AddPlugId({0x1209, 0x0B01});
  EXPECT_EQ(PlugSerialOfPath(Widen8(Upper(other))), u"LINE7");
  ResetPlugIds();
}

TEST_F(ShellTest, DeviceNoticesAreMatchedByPrefixAndTheOpenPlugByItsHandle) {
  Run("plugs=2,reenum-ms=1");
  ASSERT_TRUE(WaitReady());
  SetVerbose();
  ui::Window* list = Control(IDC_DEVICE_LIST);
  ASSERT_EQ(list->ComboCount(), 2);

  const std::string foreign = DevicePathFor({0x0BDA, 0x8153}, "NIC1");
  size_t before = Records().size();
  Post(InterfaceNotice(DBT_DEVICEARRIVAL, foreign));
  EXPECT_THAT(Texts(before), ::testing::ElementsAre("DBT_DEVICEARRIVAL", "New device: " + foreign));

  const std::string second = PlugDevicePath("SIM0002");
  Post(InterfaceNotice(DBT_DEVICEREMOVECOMPLETE, second));
  EXPECT_EQ(list->ComboCount(), 1);
  EXPECT_EQ(list->ComboFind(u"SIM0002 (SuperSpeed 5Gb/s)"), ui::CB_ERR);
  before = Records().size();
  Post(InterfaceNotice(DBT_DEVICEARRIVAL, Upper(second.substr(0, PLUG_DEVICE_PATH_PREFIX_LENGTH)) +
                                              second.substr(PLUG_DEVICE_PATH_PREFIX_LENGTH)));
  EXPECT_THAT(Texts(before),
              ::testing::IsSupersetOf({"DBT_DEVICEARRIVAL", "Matched quorvale ID string",
                                       "SIM0002 (SuperSpeed 5Gb/s) added to list"}));
  EXPECT_EQ(list->ComboCount(), 2);

  // Only the open plug's handle counts.
  Post(HandleNotice(12345));
  EXPECT_TRUE(PlugConnected);
  EXPECT_EQ(Count("Device removed"), 0);
  const DriverHandle handle = OnUi<DriverHandle>(system_, [] { return PlugDevice->DeviceHandle; });
  Post(HandleNotice(handle));
  EXPECT_FALSE(PlugConnected);
  EXPECT_TRUE(MonitorReconnect);
  EXPECT_EQ(Count("Device removed"), 1);
}

TEST_F(ShellTest, ClosingDuringARunStopsTheTestBeforeTheWindowGoes) {
  Run("rate=unlimited,reenum-ms=1", {}, false);
  ASSERT_TRUE(WaitReady());
  SetVerbose();
  Click(IDC_START);
  ASSERT_TRUE(WaitFor([this] {
    return IndexOf("Loop 3, Speed ") >= 0 || Count("Loop 3, Failed") > 0 || Texts().size() > 20;
  }));
  Close();
  ASSERT_FALSE(loop_.joinable());
  EXPECT_EQ(code_, 0);
  EXPECT_EQ(EngineThreadsAlive(), 0);
  const int waiting = IndexOf("Cleanup - waiting for threads to finish");
  const int results = IndexOf("RESULTS:");
  const int end = IndexOf("END OF USB LOOPBACK TEST");
  const int closing = IndexOf("Cleanup - closing USB devices & releasing resources");
  ASSERT_GE(waiting, 0);
  EXPECT_LT(waiting, results);
  EXPECT_LT(results, end);
  EXPECT_LT(end, closing);
  EXPECT_FALSE(TestThreadsOutlivedExit());
}

TEST_F(ShellTest, AnEngineThatOutlivesTheExitWaitKeepsWhatItUsesUntilItEnds) {
  // Every transfer hangs until the endpoint's three-second time-out aborts it.
  Run("reenum-ms=1,timeout-every=1");
  ASSERT_TRUE(WaitReady());
  SetVerbose();
  Click(IDC_START);
  auto* sim = dynamic_cast<SimDriverPort*>(wiring_->Port());
  ASSERT_NE(sim, nullptr);
  ASSERT_TRUE(WaitFor([sim] { return sim->PendingRequests(0) > 0; }));
  Close();
  ASSERT_FALSE(loop_.joinable());
  EXPECT_EQ(code_, 0);
  // The window went while the engine still ran; the engine's last records still landed
  // in the log, which the exit kept for it and released after it.
  const int closing = IndexOf("Cleanup - closing USB devices & releasing resources");
  const int end = IndexOf("END OF USB LOOPBACK TEST");
  ASSERT_GE(closing, 0);
  EXPECT_GT(end, closing);
  EXPECT_FALSE(TestThreadsOutlivedExit());
  EXPECT_EQ(EngineThreadsAlive(), 0);
  EXPECT_EQ(LogRecord, nullptr);
  EXPECT_EQ(PlugDevice, nullptr);
}

TEST_F(ShellTest, ResetAllStartsTheLogAgainWithTheBanner) {
  Run("rate=unlimited,reenum-ms=1");
  ASSERT_TRUE(WaitReady());
  Click(IDC_START);
  Command(IDC_STOP);
  ASSERT_TRUE(WaitEngineEnd());
  ASSERT_TRUE(WaitFor([this] { return Control(IDC_RESET_ALL)->IsEnabled(); }));
  Click(IDC_RESET_ALL);
  const auto first = OnUi<std::vector<std::u16string>>(system_, [] {
    std::lock_guard lock(LogRecord->Lock());
    return std::vector<std::u16string>{LogRecord->GetRecord(0, nullptr, nullptr),
                                       LogRecord->GetRecord(1, nullptr, nullptr)};
  });
  EXPECT_THAT(first,
              ::testing::ElementsAre(BannerText(), u"SIM0001 (SuperSpeed 5Gb/s) added to list"));
  EXPECT_EQ(TestStats.PublishedLoopCount, 0u);
  EXPECT_EQ(TestStats.RunStartTime, 0);
  ASSERT_TRUE(WaitReady());
}

TEST_F(ShellTest, TheButtonsReachTheirDialogsFilesAndBoxes) {
  Run("reenum-ms=1", {u"/S"});
  ASSERT_TRUE(WaitReady());

  system_.ScriptOpenDocumentResult(2);
  Click(IDC_HELP);
  EXPECT_EQ(Boxes().back(), "Error opening browser|The specified file was not found");

  Control(IDC_SERIAL_EDIT)->SetText(u"ABC123");
  const std::filesystem::path saved = folder_ / "saved.txt";
  system_.ScriptSaveFileAnswer(Utf8ToUtf16(saved.string()));
  Click(IDC_SAVE_LOG);
  std::stringstream content;
  content << std::ifstream(saved, std::ios::binary).rdbuf();
  EXPECT_THAT(content.str(), HasSubstr("Information- Quorvale Tarnwick V2.0 1009\r\n"));
  Click(IDC_CLEAR_SERIAL);
  EXPECT_EQ(Control(IDC_SERIAL_EDIT)->GetText(100), u"");

  for (auto [button, name, close] : {std::tuple{IDC_ABOUT, "ABOUTBOX", IDC_OK},
                                     std::tuple{IDC_CONFIGURE, "CONFBOX", IDC_CANCEL}}) {
    system_.UserClick(Control(button));
    ASSERT_TRUE(system_.WaitForDialog(name));
    system_.Flush();
    system_.UserClick(system_.FindDialog(name)->Control(close));
    ASSERT_TRUE(WaitFor([&] { return system_.FindDialog(name) == nullptr; })) << name;
  }
  // A scroll request reaches the log view.
  ui::Message scroll;
  scroll.kind = ui::MessageKind::VScroll;
  scroll.id = IDC_LOG_SCROLL;
  scroll.code = ui::SB_TOP;
  LogScrollPos = 3;
  Post(scroll);
  EXPECT_EQ(LogScrollPos, 0);
}

TEST_F(ShellTest, AConnectionTypeChangeReconfiguresThePlugOrGivesTheControlsBack) {
  Run("reenum-ms=1");
  ASSERT_TRUE(WaitReady());
  ui::Window* list = Control(IDC_CONNECTION_LIST);
  const int32_t high = list->ComboFind(u"HighSpeed 480Mb/s");
  ASSERT_GE(high, 0);
  system_.UserSelect(list, high);
  system_.Flush();
  ASSERT_TRUE(WaitReady());
  EXPECT_EQ(OnUi<uint32_t>(system_, [] { return TestConfig.ConnectionType; }),
            TestConfigRecord::HighSpeed);
  EXPECT_EQ(OnUi<uint8_t>(system_, [] { return TestConfig.BurstLength; }), 1);
  ASSERT_TRUE(WaitFor([this] { return Control(IDC_START)->IsEnabled(); }));

  // The same choice again sends the plug nothing new: no re-enumeration will come, so
  // the controls must not wait for one.
  const int reenumerations = Count("Starting plug re-enumeration due to config change");
  system_.UserSelect(list, list->ComboSelection());
  system_.Flush();
  EXPECT_EQ(Count("Starting plug re-enumeration due to config change"), reenumerations);
  EXPECT_TRUE(Control(IDC_START)->IsEnabled());
  EXPECT_TRUE(Control(IDC_CONFIGURE)->IsEnabled());
}

namespace {

// A window system on which the main dialog cannot be made.
class NoDialogs : public ui::headless::HeadlessWindowSystem {
 public:
  ui::Window* CreateDialog(std::string_view, ui::Window*, ui::MessageProc) override {
    return nullptr;
  }
};

}  // namespace

TEST_F(ShellTest, AMainDialogThatCannotBeMadeEndsTheProgramWithAFailure) {
  NoDialogs system;
  ProgramOptions program;
  program.Simulate = true;
  ProgramWiring wiring;
  std::u16string error;
  ASSERT_TRUE(wiring.Install(program, system, MainWindowShellCalls(), error));
  ShellOptions options;
  options.Arguments = {u"DEBUGMODE"};
  bool initialised = false;
  options.Initialised = [&](ui::Window*) { initialised = true; };
  EXPECT_EQ(TarnwickMain(options, system), 1);
  EXPECT_FALSE(initialised);
  EXPECT_TRUE(InOrder(
      TraceLines(),
      {"DEBUG: Creating and displaying window", "DEBUG: Failed to create dialog, return is NULL",
       "DEBUG: Deleting any currently locked plug from shared memory for this PID"}));
  EXPECT_FALSE(PlugRegistry.Available);
}
