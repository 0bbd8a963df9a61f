#include "ui/config_dialog.h"

#include "plug/plug_requests.h"
#include "ui_fixtures.h"

namespace {

using namespace res;
using C = TestConfigRecord;

class ConfigDialogTest : public DialogFixture {
 protected:
  HeadlessWindow* Open() { return OpenModal("CONFBOX", RunConfigDialog); }
  void Close(HeadlessWindow* dialog, int32_t button) {
    Click(dialog, button);
    EXPECT_EQ(modalResult_.load(), button == IDC_OK ? IDOK : IDCANCEL);
  }
  void Set(uint32_t speed, uint32_t testMode, uint32_t benchmarkMode) {
    TestConfig.ConnectionType = speed;
    TestConfig.TestMode = testMode;
    TestConfig.BenchmarkMode = benchmarkMode;
  }
  bool Visible(HeadlessWindow* dialog, int32_t id) { return dialog->Control(id)->IsVisible(); }
  bool Enabled(HeadlessWindow* dialog, int32_t id) { return dialog->Control(id)->IsEnabled(); }
  bool Checked(HeadlessWindow* dialog, int32_t id) {
    return dialog->Control(id)->GetCheck() == ui::BST_CHECKED;
  }
  static std::u16string N(int32_t n) { return Format16("%d", n); }
  int32_t ReenumerationRecords() {
    return RecordsWithText(u"Starting plug re-enumeration due to config change");
  }
};

TEST_F(ConfigDialogTest, BurstListOffersWhatSpeedAndDirectionAllow) {
  struct Case {
    uint32_t speed, testMode, benchmarkMode;
    uint8_t burst;
    int32_t entries;
    bool enabled;
    std::u16string chosen;
  } cases[] = {
      {C::HighSpeed, C::Benchmark, C::ReadOnly, 16, 1, false, u"1"},
      {C::FullSpeed, C::Loopback, C::ReadOnly, 1, 1, false, u"1"},
      {C::SuperSpeed, C::Benchmark, C::ReadOnly, 16, 16, true, u"16"},
      {C::SuperSpeed, C::Benchmark, C::ReadThenWrite, 16, 12, true, u"12"},
      {C::SuperSpeed, C::Benchmark, C::ReadAndWrite, 9, 12, true, u"9"},
      {C::SuperSpeed, C::Loopback, C::ReadOnly, 16, 16, true, u"16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "speed " << c.speed << " mode " << c.benchmarkMode);
    Set(c.speed, c.testMode, c.benchmarkMode);
    TestConfig.BurstLength = c.burst;
    HeadlessWindow* dialog = Open();
    const auto entries = Entries(dialog, IDC_BURST_LIST);
    ASSERT_EQ(static_cast<int32_t>(entries.size()), c.entries);
    EXPECT_EQ(entries.front(), u"1");
    EXPECT_EQ(entries.back(), N(c.entries));
    EXPECT_EQ(Enabled(dialog, IDC_BURST_LIST), c.enabled);
    EXPECT_EQ(Chosen(dialog, IDC_BURST_LIST), c.chosen);
    Close(dialog, IDC_CANCEL);
  }

  // A burst of 16 becomes 12 once both directions share the bus, and stays 12.
  Set(C::SuperSpeed, C::Benchmark, C::ReadOnly);
  TestConfig.BurstLength = 16;
  HeadlessWindow* dialog = Open();
  Click(dialog, IDC_READ_THEN_WRITE);
  EXPECT_EQ(Entries(dialog, IDC_BURST_LIST).size(), 12u);
  EXPECT_EQ(Chosen(dialog, IDC_BURST_LIST), u"12");
  Click(dialog, IDC_WRITE);
  EXPECT_EQ(Entries(dialog, IDC_BURST_LIST).size(), 16u);
  EXPECT_EQ(Chosen(dialog, IDC_BURST_LIST), u"12");
  Choose(dialog, IDC_BURST_LIST, u"14");
  Close(dialog, IDC_OK);
  EXPECT_EQ(TestConfig.BurstLength, 14);
  EXPECT_EQ(TestConfig.BenchmarkMode, C::WriteOnly);
}

TEST_F(ConfigDialogTest, IsoSwitchesEndpointsModesAndRowsAndWarnsOncePerRun) {
  Set(C::SuperSpeed, C::Benchmark, C::ReadAndWrite);
  TestConfig.InEndpointNumber = 5;
  TestConfig.OutEndpointNumber = 6;
  HeadlessWindow* dialog = Open();
  EXPECT_EQ(Entries(dialog, IDC_TYPE_LIST), (std::vector<std::u16string>{u"BULK", u"ISO"}));
  EXPECT_EQ(Chosen(dialog, IDC_IN_LIST), u"5");
  constexpr int32_t kIsoRows[] = {IDC_INTERVAL_LABEL, IDC_INTERVAL_LIST, IDC_ISO_PACKETS_LABEL,
                                  IDC_ISO_PACKETS_LIST};
  for (int32_t id : kIsoRows) EXPECT_FALSE(Visible(dialog, id)) << id;

  Choose(dialog, IDC_TYPE_LIST, u"ISO");
  ASSERT_EQ(system_.MessageBoxes().size(), 1u);
  EXPECT_EQ(system_.MessageBoxes()[0].caption, u"ISO mode warning");
  EXPECT_TRUE(Checked(dialog, IDC_READ));
  EXPECT_FALSE(Checked(dialog, IDC_READ_AND_WRITE));
  EXPECT_EQ(Entries(dialog, IDC_TRANSFER_SIZE_LIST), std::vector<std::u16string>{u"AUTO"});
  EXPECT_TRUE(Enabled(dialog, IDC_QUEUE_SIZE_LIST));
  // ISO turns the two-way modes, the endpoint choice and the transfer size off, and
  // BULK turns them back on.
  for (const bool iso : {true, false}) {
    if (!iso) Choose(dialog, IDC_TYPE_LIST, u"BULK");
    for (int32_t id : {IDC_READ_THEN_WRITE, IDC_READ_AND_WRITE, IDC_IN_LIST, IDC_OUT_LIST,
                       IDC_TRANSFER_SIZE_LIST})
      EXPECT_EQ(Enabled(dialog, id), !iso) << id;
    for (int32_t id : {IDC_IN_LIST, IDC_OUT_LIST}) EXPECT_EQ(Chosen(dialog, id), iso ? u"3" : u"1");
    for (int32_t id : kIsoRows) EXPECT_EQ(Visible(dialog, id), iso) << id;
  }
  EXPECT_EQ(Entries(dialog, IDC_TRANSFER_SIZE_LIST).size(), 6u);

  Choose(dialog, IDC_TYPE_LIST, u"ISO");
  Close(dialog, IDC_OK);
  EXPECT_EQ(TestConfig.EndpointType, C::Isochronous);
  EXPECT_EQ(TestConfig.InEndpointNumber, 3);
  EXPECT_EQ(TestConfig.OutEndpointNumber, 3);
  EXPECT_EQ(TestConfig.BenchmarkMode, C::ReadOnly);

  // Another dialog in the same run does not warn again.
  dialog = Open();
  Choose(dialog, IDC_TYPE_LIST, u"BULK");
  Choose(dialog, IDC_TYPE_LIST, u"ISO");
  Close(dialog, IDC_CANCEL);
  EXPECT_EQ(system_.MessageBoxes().size(), 1u);

  // The loopback runs bulk only.
  Set(C::SuperSpeed, C::Loopback, C::ReadOnly);
  TestConfig.EndpointType = C::Bulk;
  dialog = Open();
  EXPECT_EQ(Entries(dialog, IDC_TYPE_LIST), std::vector<std::u16string>{u"BULK"});
  Close(dialog, IDC_CANCEL);
}

TEST_F(ConfigDialogTest, EndpointListsNeverOfferSevenAndSetTheChosenNumber) {
  HeadlessWindow* dialog = Open();
  for (int32_t id : {IDC_IN_LIST, IDC_OUT_LIST}) {
    const auto entries = Entries(dialog, id);
    EXPECT_EQ(entries.size(), 14u);
    EXPECT_EQ(std::count(entries.begin(), entries.end(), u"7"), 0);
    EXPECT_EQ(entries.back(), u"15");
  }
  Choose(dialog, IDC_IN_LIST, u"8");
  Choose(dialog, IDC_OUT_LIST, u"15");
  Close(dialog, IDC_OK);
  EXPECT_EQ(TestConfig.InEndpointNumber, 8);
  EXPECT_EQ(TestConfig.OutEndpointNumber, 15);
}

TEST_F(ConfigDialogTest, ConstantValueOutsideAByteIsRefusedAndTheOldOneKept) {
  struct Case {
    std::u16string typed;
    bool refused;
    uint8_t kept;
  } cases[] = {{u"300", true, 140},
               {u"256", true, 140},
               {u"99999999999", true, 140},
               {u"255", false, 255},
               {u"", false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.typed));
    TestConfig.ConstantValue = 140;
    const size_t boxesBefore = system_.MessageBoxes().size();
    HeadlessWindow* dialog = Open();
    EXPECT_EQ(dialog->Control(IDC_CONSTANT_EDIT)->GetText(), u"140");
    TypeAndLeave(dialog, IDC_CONSTANT_EDIT, c.typed);
    const auto boxes = system_.MessageBoxes();
    ASSERT_EQ(boxes.size(), boxesBefore + (c.refused ? 1 : 0));
    if (c.refused) {
      EXPECT_EQ(boxes.back().caption, u"Tarnwick Error");
      EXPECT_EQ(dialog->Control(IDC_CONSTANT_EDIT)->GetText(), u"170");  // the default back
    }
    Close(dialog, IDC_OK);
    EXPECT_EQ(TestConfig.ConstantValue, c.kept);
  }
}

TEST_F(ConfigDialogTest, LoadBoxIsClampedAndKeptInStepWithTheTrackbar) {
  HeadlessWindow* dialog = Open();
  auto* trackbar = static_cast<HeadlessWindow*>(dialog->Control(IDC_LOAD_TRACKBAR));
  ui::Window* edit = dialog->Control(IDC_LOAD_EDIT);
  EXPECT_EQ(trackbar->TrackPos(), 100);
  EXPECT_EQ(edit->GetText(), u"100");

  for (auto [typed, text, position] :
       {std::tuple{u"0", u"1", 1}, std::tuple{u"250", u"100", 100}, std::tuple{u"37", u"37", 37}}) {
    TypeAndLeave(dialog, IDC_LOAD_EDIT, typed);
    EXPECT_EQ(edit->GetText(), text);
    EXPECT_EQ(trackbar->TrackPos(), position);
  }
  system_.UserType(edit, u"42");  // the thumb follows while the user types
  system_.Flush();
  EXPECT_EQ(trackbar->TrackPos(), 42);
  system_.UserScroll(trackbar, ui::SB_THUMBTRACK, 73);
  system_.Flush();
  EXPECT_EQ(edit->GetText(), u"73");
  system_.UserScroll(trackbar, ui::SB_LINEDOWN, 0);
  system_.Flush();
  EXPECT_EQ(edit->GetText(), u"74");
  Close(dialog, IDC_OK);
  EXPECT_EQ(TestConfig.LoopbackLoad, 74);

  // OK by Enter, with the box still holding too much: the load stays a percentage.
  dialog = Open();
  system_.UserType(dialog->Control(IDC_LOAD_EDIT), u"250");
  Close(dialog, IDC_OK);
  EXPECT_EQ(TestConfig.LoopbackLoad, 100);

  // The benchmark hides the load and OK leaves it alone.
  TestConfig.LoopbackLoad = 55;
  Set(C::SuperSpeed, C::Benchmark, C::ReadOnly);
  dialog = Open();
  EXPECT_FALSE(Visible(dialog, IDC_LOAD_EDIT));
  EXPECT_TRUE(Visible(dialog, IDC_BENCHMARK_GROUP));
  Close(dialog, IDC_OK);
  EXPECT_EQ(TestConfig.LoopbackLoad, 55);
}

TEST_F(ConfigDialogTest, SizesApplyTheMomentTheyAreChosenAndSurviveCancel) {
  Set(C::SuperSpeed, C::Benchmark, C::ReadOnly);
  HeadlessWindow* dialog = Open();
  EXPECT_EQ(Chosen(dialog, IDC_TRANSFER_SIZE_LIST), u"2MB");
  EXPECT_EQ(Chosen(dialog, IDC_QUEUE_SIZE_LIST), u"64");
  Choose(dialog, IDC_TRANSFER_SIZE_LIST, u"1MB");
  Choose(dialog, IDC_QUEUE_SIZE_LIST, u"8");
  EXPECT_EQ(TransferSize, 1048576);
  Click(dialog, IDC_RANDOM);
  Close(dialog, IDC_CANCEL);
  EXPECT_EQ(TransferSize, 1048576);
  EXPECT_EQ(QueueSize, 8);
  EXPECT_EQ(TestConfig.Pattern, C::Constant);
  EXPECT_EQ(ReenumerationRecords(), 0);

  // Full speed offers three sizes; an unchosen size becomes the largest of them.
  ResetTestConfig();
  Set(C::FullSpeed, C::Benchmark, C::ReadOnly);
  dialog = Open();
  EXPECT_EQ(Entries(dialog, IDC_TRANSFER_SIZE_LIST).size(), 3u);
  EXPECT_EQ(Chosen(dialog, IDC_TRANSFER_SIZE_LIST), u"256KB");
  EXPECT_EQ(TransferSize, 262144);
  system_.UserClose(dialog);  // the close box is Cancel
  system_.Flush();
  EXPECT_EQ(modalResult_.load(), IDCANCEL);

  // The loopback shows its own fixed sizes and leaves the benchmark's alone.
  ResetTestConfig();
  dialog = Open();
  for (auto [id, entry] :
       {std::pair{IDC_TRANSFER_SIZE_LIST, u"64KB"}, std::pair{IDC_QUEUE_SIZE_LIST, u"1"}}) {
    EXPECT_EQ(Entries(dialog, id), std::vector<std::u16string>{entry});
    EXPECT_EQ(Chosen(dialog, id), entry);
    EXPECT_FALSE(Enabled(dialog, id));
  }
  Close(dialog, IDC_CANCEL);
  EXPECT_EQ(TransferSizeIndex, -1);
}

TEST_F(ConfigDialogTest, OkMakesTheWorkingCopyTheConfigurationAndSendsOnlyAChange) {
  TestConfig.SaveLogAtEnd = 1;
  TestConfig.VerifyData = 0;
  HeadlessWindow* dialog = Open();
  EXPECT_FALSE(Checked(dialog, IDC_VERIFY));
  EXPECT_TRUE(Enabled(dialog, IDC_VERIFY));
  for (int32_t id : {IDC_RANDOM, IDC_VERBOSE, IDC_CHECK_BUS_ERRORS, IDC_VERIFY}) Click(dialog, id);
  EXPECT_EQ(TestConfig.Pattern, C::Constant);  // nothing changes before OK
  Close(dialog, IDC_OK);
  EXPECT_EQ(TestConfig.Pattern, C::Random);
  EXPECT_EQ(TestConfig.VerboseLogging, 1u);
  EXPECT_EQ(TestConfig.CheckBusErrors, 1u);
  EXPECT_EQ(TestConfig.VerifyData, 1u);
  EXPECT_EQ(TestConfig.SaveLogAtEnd, 1u);
  EXPECT_EQ(LastSentPlugConfig, BuildPlugConfigBlock(TestConfig));
  EXPECT_EQ(ReenumerationRecords(), 1);

  dialog = Open();
  Click(dialog, IDC_INCREMENTING);
  Click(dialog, IDC_RANDOM);
  Close(dialog, IDC_OK);
  EXPECT_EQ(ReenumerationRecords(), 1);  // the same configuration is not sent again

  // The benchmark always shows verification on, without changing the setting.
  TestConfig.VerifyData = 0;
  Set(C::SuperSpeed, C::Benchmark, C::ReadOnly);
  dialog = Open();
  EXPECT_TRUE(Checked(dialog, IDC_VERIFY));
  EXPECT_FALSE(Enabled(dialog, IDC_VERIFY));
  Close(dialog, IDC_OK);
  EXPECT_EQ(TestConfig.VerifyData, 0u);
}

TEST_F(ConfigDialogTest, IntervalAndPacketListsFollowTheSpeed) {
  struct Case {
    uint32_t speed;
    std::u16string first, last;
    int32_t packets;
  } cases[] = {{C::FullSpeed, u"1ms", u"32768ms", 1},
               {C::HighSpeed, u"125us", u"4096000us", 3},
               {C::SuperSpeed, u"125us", u"4096000us", 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.speed);
    Set(c.speed, C::Benchmark, C::ReadOnly);
    TestConfig.EndpointType = C::Isochronous;
    TestConfig.PollingInterval = 20;
    TestConfig.IsoPacketsPerInterval = 3;
    HeadlessWindow* dialog = Open();
    const auto intervals = Entries(dialog, IDC_INTERVAL_LIST);
    ASSERT_EQ(intervals.size(), 16u);
    EXPECT_EQ(intervals.front(), c.first);
    EXPECT_EQ(intervals.back(), c.last);
    EXPECT_EQ(Chosen(dialog, IDC_INTERVAL_LIST), c.last);  // 20 is lowered to 16
    EXPECT_EQ(static_cast<int32_t>(Entries(dialog, IDC_ISO_PACKETS_LIST).size()), c.packets);
    EXPECT_EQ(Chosen(dialog, IDC_ISO_PACKETS_LIST), N(c.packets));
    EXPECT_EQ(Enabled(dialog, IDC_ISO_PACKETS_LIST), c.packets > 1);
    Choose(dialog, IDC_INTERVAL_LIST, intervals[3]);
    Close(dialog, IDC_OK);
    EXPECT_EQ(TestConfig.PollingInterval, 4);
    EXPECT_EQ(TestConfig.IsoPacketsPerInterval, c.packets);
  }
}

}  // namespace
