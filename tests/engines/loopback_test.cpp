// The loopback test end to end: the engine thread against a simulated plug, opened
// through the real device and endpoint classes, with faults from the plug's options.
#include "engines/loopback_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine_run_support.h"
#include "engines/bus_error_report.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "usb/driver_requests.h"
#include "usb/usb_endpoint.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class Loopback : public EngineRun {
 protected:
  // The result block from "RESULTS:" to the end line: every line in one category.
  std::vector<std::string> ResultLines(uint32_t category) {
    std::vector<std::string> lines;
    for (const CapturedRecord& record : From("RESULTS:")) {
      if (record.text == "END OF USB LOOPBACK TEST") {
        EXPECT_EQ(record.category, LogCategory::Loopback);
        return lines;
      }
      EXPECT_EQ(record.category, category) << record.text;
      lines.push_back(record.text);
    }
    ADD_FAILURE() << "no complete result block";
    return lines;
  }

  // A bus-error read straight after the run: zero counts once the plug has been told
  // to end its monitoring.
  BusErrorReport ReadBusErrors() {
    uint8_t raw[16] = {};
    EXPECT_EQ(SendPlugRequest(PlugCommand::BusErrors, PLUG_REQUEST_IN, raw, 16), 1u);
    return ParseBusErrorReport(raw);
  }
};

TEST_F(Loopback, CleanRunLogsTenLoopAveragesAndPasses) {
  OpenPlug("rate=unlimited,phy-errors=4");
  Start(LoopbackTestThread);
  ASSERT_TRUE(WaitUntil([] { return TestStats.PublishedLoopCount >= 25; }));
  EXPECT_FALSE(MonitorMayRun) << "the monitor must leave the plug alone during a run";
  StopAndWait();

  const uint32_t loops = TestStats.PublishedLoopCount;
  const auto records = log_.Records();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0].text, "START OF USB TEST_LOOPBACK TEST");
  EXPECT_EQ(records[0].category, LogCategory::Loopback);
  EXPECT_EQ(records[1].text, "Testing device Device: Plug-0 (SuperSpeed 5Gb/s)");
  EXPECT_EQ(records[1].category, LogCategory::Loopback);
  EXPECT_EQ(DeviceLabel.Get(), u"Device: Plug-0 (SuperSpeed 5Gb/s)");
  EXPECT_EQ(StatusText.Get(), u"LOOPBACK test - Complete");

  // Summary mode: one line per ten loops, the first for loops 1 to 10.
  EXPECT_EQ(CountStartingWith("Loop "), static_cast<int>(loops / 10));
  EXPECT_EQ(CountStartingWith("Loop 1 - 10, Avg Speed "), 1);
  EXPECT_EQ(CountStartingWith("Loop 11 - 20, Avg Speed "), 1);

  const auto results = ResultLines(LogCategory::Pass);
  ASSERT_EQ(results.size(), 8u) << ::testing::PrintToString(results);
  EXPECT_EQ(results[0], "RESULTS:");
  EXPECT_THAT(results[1],
              ::testing::MatchesRegex("Test Start time: [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                                      "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}"));
  EXPECT_EQ(results[2], "Duration: 000h 00m 00s");
  EXPECT_THAT(results[3], HasSubstr("Maximum Data Rate: "));
  EXPECT_THAT(results[4], HasSubstr("Minimum Data Rate: "));
  EXPECT_THAT(results[5], HasSubstr("Average Rate: "));
  EXPECT_EQ(results[6], Format8("%u operations.", loops));
  EXPECT_EQ(results[7], "0 error(s).");
  // The average is bytes over time, so it lies between the slowest and fastest loop.
  const auto [max, maxMB] = RateOf(results[3]);
  const auto [min, minMB] = RateOf(results[4]);
  const auto [average, averageMB] = RateOf(results[5]);
  EXPECT_GT(min, 0.0);
  EXPECT_LE(min, average + 0.05);
  EXPECT_LE(average, max + 0.05);
  EXPECT_NEAR(maxMB, max * 0.125, 0.051);
  EXPECT_NEAR(averageMB, average * 0.125, 0.051);

  EXPECT_THAT(Draws(), ElementsAre(ShellRecord::Draw{1, 0}, ShellRecord::Draw{0, 3},
                                   ShellRecord::Draw{4, 3}));
  EXPECT_EQ(Restores(), 1);
  // Bus errors are counted on the plug but never read without the option, and the
  // end of the run ended the plug's monitoring.
  EXPECT_EQ(CountStartingWith("4 Physical"), 0);
  EXPECT_EQ(ReadBusErrors().PhysicalCount, 0u);
}

TEST_F(Loopback, VerboseRunLogsEveryLoop) {
  OpenPlug("rate=unlimited");
  TestConfig.VerboseLogging = 1;
  RunExactly(4);
  const uint32_t loops = 4;
  EXPECT_EQ(CountStartingWith("Loop "), static_cast<int>(loops));
  for (uint32_t loop = 1; loop <= loops; ++loop) {
    EXPECT_EQ(CountStartingWith(Format8("Loop %u, Speed ", loop)), 1) << loop;
  }
  EXPECT_EQ(CountStartingWith("Loop 1 - 10"), 0);
}

TEST_F(Loopback, StoppedBeforeTheFirstLoopReportsNothingMeasured) {
  OpenPlug("rate=unlimited");
  TestStopped = true;
  ui::Window* window = window_;
  ASSERT_TRUE(StartEngineThread([window] { LoopbackTestThread(window); }));
  WaitForEnd();
  EXPECT_THAT(ResultLines(LogCategory::Pass),
              ElementsAre("RESULTS:", HasSubstr("Test Start time: "), "Duration: 000h 00m 00s",
                          "Maximum Data Rate: 0.0 Mb/s (0.0 MB/s)",
                          "Average Rate: 0.0 Mb/s (0.0 MB/s)", "0 operations.", "0 error(s)."));
}

TEST_F(Loopback, WriteFailuresAreCountedAndTheRunGoesOn) {
  OpenPlug("rate=unlimited,write-error-every=5");
  RunExactly(16);
  const int32_t failures = 3;
  EXPECT_EQ(TestStats.WriteErrors, failures);
  EXPECT_EQ(TestStats.ReadErrors, 0);
  EXPECT_EQ(TestStats.TotalErrors, failures);
  EXPECT_EQ(TestStats.PublishedErrorCount, failures);
  EXPECT_EQ(CountStartingWith("Write failed"), failures);
  // Below loop 10 a failure names its loop, from there on the last ten loops.
  EXPECT_TRUE(Has("Loop 5, Failed"));
  EXPECT_TRUE(Has("Loop 1 - 10, Failed"));
  EXPECT_TRUE(Has("Loop 6 - 15, Failed"));
  EXPECT_EQ(CountStartingWith("Loop 1 - 10, Avg Speed"), 0);
  EXPECT_EQ(CountStartingWith("Loop "), 3);
  EXPECT_THAT(ResultLines(LogCategory::Error),
              ::testing::IsSupersetOf({Format8("%d error(s).", failures),
                                       Format8("%d write error(s). 0 read error(s). 0 "
                                               "verification error(s).",
                                               failures),
                                       std::string("0 physical layer error(s). "),
                                       std::string("0 link layer error(s). ")}));
  // No bus-error option: even failed loops do not poll.
  EXPECT_EQ(CountStartingWith("- "), 0);
}

TEST_F(Loopback, LoopsThatNeverSucceedOfferNoRate) {
  OpenPlug("rate=unlimited,write-error-every=1");
  RunExactly(3);
  EXPECT_THAT(ResultLines(LogCategory::Error),
              ElementsAre("RESULTS:", HasSubstr("Test Start time: "), "Duration: 000h 00m 00s",
                          "Maximum Data Rate: 0.0 Mb/s (0.0 MB/s)",
                          "Average Rate: 0.0 Mb/s (0.0 MB/s)", "3 operations.", "3 error(s).",
                          "3 write error(s). 0 read error(s). 0 verification error(s).",
                          "0 physical layer error(s). ", "0 link layer error(s). "));
}

// After a failed or short read the simulated plug keeps the unread data in its
// loopback buffer, so every later full write times out (a known defect of the
// simulation, fixed on its own branch). True when a write after the fault is taken.
bool PlugTakesAWriteAfterReadFault(const char* options) {
  InstalledSim sim(options);
  UsbDevice device(nullptr, PLUG_INTERFACE_CLASS, true);
  UsbEndpoint* out = device.BulkOutEndpoint;
  UsbEndpoint* in = device.BulkInEndpoint;
  if (out == nullptr || in == nullptr) return false;
  std::vector<uint8_t> block(65536);
  int32_t length = 65536;
  out->TransferSync(block.data(), length);
  length = 65536;
  in->TransferSync(block.data(), length);
  PendingIo write;
  UsbEndpoint::RequestContext* context = out->SubmitTransfer(block.data(), 65536, &write.record);
  const bool taken = write.Done();
  out->AbortTransfers();
  length = 65536;
  out->CompleteTransfer(block.data(), length, &write.record, context);
  return taken;
}

TEST_F(Loopback, ReadFailuresAndShortReadsAreCountedAndTheRunGoesOn) {
  const struct {
    const char* Options;
    const char* FirstReadFails;
    const char* Line;
  } cases[] = {
      {"rate=unlimited,read-error-every=3", "rate=unlimited,read-error-every=1", "Read failed"},
      {"rate=unlimited,short-read-every=3", "rate=unlimited,short-read-every=1",
       "Read error: 32768 bytes read (of 65536 bytes)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Options);
    if (!PlugTakesAWriteAfterReadFault(c.FirstReadFails)) {
      GTEST_SKIP() << "the simulated plug wedges its loopback after a read fault";
    }
    Restart();
    OpenPlug(c.Options);
    RunExactly(7);
    EXPECT_EQ(CountStartingWith(c.Line), 2);
    EXPECT_TRUE(Has("Loop 3, Failed"));
    EXPECT_TRUE(Has("Loop 6, Failed"));
    EXPECT_EQ(TestStats.ReadErrors, 2);
    EXPECT_EQ(TestStats.WriteErrors, 0);
    EXPECT_TRUE(Has("0 write error(s). 2 read error(s). 0 verification error(s)."));
    EXPECT_EQ(From("RESULTS:").front().category, LogCategory::Error);
  }
}

TEST_F(Loopback, FirmwareBefore22EndsAtTheFirstFailedLoop) {
  for (const uint32_t firmware : {21u, 22u}) {
    SCOPED_TRACE(firmware);
    Restart();
    OpenPlug(Format8("rate=unlimited,write-error-every=3,firmware=%u", firmware).c_str());
    Start(LoopbackTestThread);
    if (firmware == 21) {
      WaitForEnd();
      EXPECT_EQ(TestStats.PublishedLoopCount, 2u) << "the failed loop publishes nothing";
      // Left before any statistics: no loop line for loop 3, and no end-of-monitoring.
      EXPECT_FALSE(Has("Loop 3, Failed"));
      EXPECT_TRUE(Has("3 operations."));
      EXPECT_TRUE(Has("1 error(s)."));
    } else {
      ASSERT_TRUE(WaitUntil([] { return TestStats.PublishedLoopCount >= 7; }));
      StopAndWait();
      EXPECT_TRUE(Has("Loop 3, Failed"));
      EXPECT_TRUE(Has("Loop 6, Failed"));
    }
  }
}

TEST_F(Loopback, CorruptDataIsCountedAndTheLoopStillCounts) {
  OpenPlug("rate=unlimited,corrupt-every=3,corrupt-bytes=12");
  TestConfig.VerboseLogging = 1;
  RunExactly(7);
  EXPECT_EQ(Count("USB 3.0 data transfer error: 12 of 65536 bytes incorrect."), 2);
  // The plug sent the constant pattern (140) back with bytes flipped; at most ten of
  // them are spelled out per block.
  EXPECT_EQ(CountStartingWith("Byte verification error: Received value "), 20);
  EXPECT_EQ(CountStartingWith("Byte verification error: Received value 140"), 0);
  for (const std::string& line : Lines()) {
    if (line.rfind("Byte verification error", 0) == 0) {
      EXPECT_THAT(line, ::testing::EndsWith(", Expected value 140"));
    }
  }
  EXPECT_EQ(CountStartingWith("Loop 3, Speed "), 1) << "a corrupt loop is still timed";
  EXPECT_EQ(CountStartingWith("Loop "), 7);
  EXPECT_EQ(TestStats.VerificationErrors, 24);
  EXPECT_TRUE(Has("24 error(s)."));
  EXPECT_TRUE(Has("0 write error(s). 0 read error(s). 24 verification error(s)."));
  EXPECT_EQ(From("RESULTS:").front().category, LogCategory::Error);
}

TEST_F(Loopback, WithoutVerificationCorruptDataPasses) {
  OpenPlug("rate=unlimited,corrupt-every=2,corrupt-bytes=100");
  TestConfig.VerifyData = 0;
  RunLoopsAndStop(5);
  EXPECT_EQ(CountStartingWith("USB 3.0 data transfer error"), 0);
  EXPECT_EQ(TestStats.VerificationErrors, 0);
  EXPECT_EQ(From("RESULTS:").front().category, LogCategory::Pass);
}

TEST_F(Loopback, BusErrorsArePolledEveryThousandLoops) {
  OpenPlug("rate=unlimited,phy-errors=2,link-errors=1,phy-flags=0x1FF,link-flags=0x7FFF");
  TestConfig.CheckBusErrors = 1;
  TestConfig.VerifyData = 0;
  RunExactly(999);
  EXPECT_EQ(CountStartingWith("2 Physical"), 0) << "loop 999 does not poll";
  EXPECT_EQ(From("RESULTS:").front().category, LogCategory::Pass);

  Restart();
  OpenPlug("rate=unlimited,phy-errors=2,link-errors=1,phy-flags=0x1FF,link-flags=0x7FFF");
  TestConfig.CheckBusErrors = 1;
  TestConfig.VerifyData = 0;
  RunExactly(1000);

  // One poll: the count lines (their closing newline shows as a blank in the log), then
  // every flag line, in bit order, the 8b/10b one included from firmware 23 on.
  std::vector<std::string> expected = {"2 Physical Layer error(s) occurred. "};
  for (const char16_t* line : PhysicalLayerFlagLines(0x1FF, 23)) {
    expected.push_back(Utf16ToUtf8(line));
  }
  expected.push_back("1 Link Layer error(s) occurred. ");
  for (const char16_t* line : LinkLayerFlagLines(0x7FFF)) expected.push_back(Utf16ToUtf8(line));
  std::vector<std::string> polled;
  for (const CapturedRecord& record : log_.Records()) {
    if (record.text.find("Layer error(s) occurred.") != std::string::npos ||
        record.text.rfind("- ", 0) == 0) {
      EXPECT_EQ(record.category, LogCategory::Error);
      polled.push_back(record.text);
    }
  }
  EXPECT_EQ(polled, expected);
  EXPECT_EQ(polled.size(), 2u + 9u + 15u);
  EXPECT_EQ(TestStats.TotalErrors, 3);
  EXPECT_THAT(ResultLines(LogCategory::Error),
              ::testing::IsSupersetOf({std::string("3 error(s)."),
                                       std::string("2 physical layer error(s). "),
                                       std::string("1 link layer error(s). ")}));
}

TEST_F(Loopback, VerboseOrFailedLoopsPollEveryTime) {
  OpenPlug("rate=unlimited,phy-errors=1,write-error-every=4");
  TestConfig.CheckBusErrors = 1;
  RunExactly(10);
  // Summary mode polls only after the failed loops 4 and 8.
  EXPECT_EQ(Count("1 Physical Layer error(s) occurred. "), 2);
  EXPECT_EQ(TestStats.TotalErrors, 4);

  Restart();
  OpenPlug("rate=unlimited,phy-errors=1");
  TestConfig.CheckBusErrors = 1;
  TestConfig.VerboseLogging = 1;
  RunExactly(3);
  // Every loop polls; each poll reports the growth since the last one.
  EXPECT_EQ(Count("1 Physical Layer error(s) occurred. "), 3);
  EXPECT_EQ(TestStats.TotalErrors, 3);
}

TEST(BusErrorReportTest, FlagLinesFollowTheBitsAndTheFirmware) {
  const uint8_t raw[16] = {1, 0, 0, 0, 2, 0, 0, 0, 0x03, 0x02, 0, 0x80, 0x01, 0x80, 0x01, 0};
  const BusErrorReport report = ParseBusErrorReport(raw);
  EXPECT_EQ(report.PhysicalCount, 1u);
  EXPECT_EQ(report.LinkCount, 2u);
  EXPECT_EQ(report.PhysicalFlags, 0x80000203u);
  EXPECT_EQ(report.LinkFlags, 0x00018001u);

  // Bits 0, 1 and 9 (and 31): 9 and above are no kind of error.
  EXPECT_THAT(PhysicalLayerFlagLines(report.PhysicalFlags, 23),
              ElementsAre(std::u16string_view(u"- 8b/10b Decode error(s) occurred."),
                          std::u16string_view(u"- Elastic Buffer Overflow error(s) occurred.")));
  EXPECT_THAT(PhysicalLayerFlagLines(report.PhysicalFlags, 22),
              ElementsAre(std::u16string_view(u"- Elastic Buffer Overflow error(s) occurred.")));
  // Bits 0 and 15 (and 16): only the fifteen link-layer kinds count.
  const auto link = LinkLayerFlagLines(report.LinkFlags);
  ASSERT_EQ(link.size(), 1u);
  EXPECT_EQ(std::u16string_view(link[0]),
            u"- Header Packet acknowledgement has not been received by PENDING_HP_TIMEOUT.");
  EXPECT_EQ(PhysicalLayerFlagLines(0xFFFFFFFF, 23).size(), 9u);
  EXPECT_EQ(PhysicalLayerFlagLines(0xFFFFFFFF, 22).size(), 8u);
  EXPECT_EQ(LinkLayerFlagLines(0xFFFFFFFF).size(), 15u);
}

TEST_F(Loopback, RemovalEndsTheRunWithItsOwnLine) {
  OpenPlug("rate=unlimited");
  Start(LoopbackTestThread);
  ASSERT_TRUE(WaitUntil([] { return TestStats.PublishedLoopCount >= 5; }));
  sim_->port->UnplugNow(0, 0);
  WaitForEnd();
  EXPECT_FALSE(PlugConnected);
  const auto ending = From("Test stopped due to device removal");
  ASSERT_FALSE(ending.empty());
  EXPECT_EQ(ending.front().category, LogCategory::Error);
  ASSERT_GE(ending.size(), 2u);
  EXPECT_EQ(ending[1].text, "RESULTS:");
  EXPECT_EQ(Restores(), 1);
}

TEST_F(Loopback, MissingEndpointsEndTheThreadAtOnce) {
  const struct {
    uint8_t In, Out;
    uint32_t Verbose;
    bool Message;
  } cases[] = {{5, 1, 1, false}, {1, 5, 1, false}, {5, 5, 1, true}, {5, 5, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << int(c.In) << "/" << int(c.Out) << " verbose " << c.Verbose);
    Restart();
    OpenPlug("rate=unlimited");
    TestConfig.InEndpointNumber = c.In;
    TestConfig.OutEndpointNumber = c.Out;
    TestConfig.VerboseLogging = c.Verbose;
    Start(LoopbackTestThread);
    ASSERT_TRUE(WaitForEngineThreads(10000));
    EXPECT_FALSE(TestStopped) << "the run is left for the window to stop";
    EXPECT_EQ(RunningTestThreads, 0);
    EXPECT_TRUE(MonitorMayRun);
    EXPECT_THAT(Lines(),
                ::testing::Contains("Failure to find end points").Times(c.Message ? 1 : 0));
    EXPECT_FALSE(Has("START OF USB TEST_LOOPBACK TEST"));
    EXPECT_TRUE(Draws().empty());
  }
}

// Records every pause an engine takes; may stop the run at a given pause.
struct PauseRecorder {
  static inline std::mutex lock;
  static inline std::vector<uint32_t> pauses;
  static inline size_t stopAt = SIZE_MAX;
  static void Pause(uint32_t milliseconds) {
    std::lock_guard guard(lock);
    pauses.push_back(milliseconds);
    if (pauses.size() == stopAt) TestStopped = true;
  }
  static std::vector<uint32_t> Take() {
    std::lock_guard guard(lock);
    std::vector<uint32_t> taken;
    taken.swap(pauses);
    stopAt = SIZE_MAX;
    return taken;
  }
};

TEST_F(Loopback, ThrottleSleepSlicesLongPausesAndStopsEarly) {
  EngineTiming.Pause = PauseRecorder::Pause;
  PauseRecorder::Take();
  TestStopped = false;
  ThrottleSleep(99);
  EXPECT_THAT(PauseRecorder::Take(), ElementsAre(99u));
  ThrottleSleep(350);
  EXPECT_THAT(PauseRecorder::Take(), ElementsAre(100u, 100u, 100u, 50u));
  PauseRecorder::stopAt = 2;
  ThrottleSleep(350);
  EXPECT_THAT(PauseRecorder::Take(), ElementsAre(100u, 100u));
}

TEST_F(Loopback, LoadBelowHalfPausesAfterEveryLoop) {
  const struct {
    uint8_t Load;
    bool PausesEachLoop;
    uint32_t Pause;
  } cases[] = {{100, false, 0}, {50, false, 0}, {49, true, 0}, {1, true, 24}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.Load));
    Restart();
    OpenPlug("rate=unlimited");
    EngineTiming.Pause = PauseRecorder::Pause;
    PauseRecorder::Take();
    TestConfig.LoopbackLoad = c.Load;
    RunLoopsAndStop(3);
    std::vector<uint32_t> pauses = PauseRecorder::Take();
    // The first pause lets the plug's error counters settle (firmware 23).
    ASSERT_FALSE(pauses.empty());
    EXPECT_EQ(pauses.front(), 100u);
    pauses.erase(pauses.begin());
    const size_t loops = TestStats.PublishedLoopCount;
    if (c.PausesEachLoop) {
      EXPECT_EQ(pauses, std::vector<uint32_t>(loops, c.Pause));
    } else {
      EXPECT_TRUE(pauses.empty());
    }
  }
}

TEST_F(Loopback, PartLoadPausesLongEvery8000Loops) {
  OpenPlug("rate=unlimited");
  EngineTiming.Pause = PauseRecorder::Pause;
  PauseRecorder::Take();
  TestConfig.LoopbackLoad = 50;
  TestConfig.VerifyData = 0;
  RunLoopsAndStop(8001);
  std::vector<uint32_t> pauses = PauseRecorder::Take();
  ASSERT_LT(TestStats.PublishedLoopCount, 16000u);
  // 3500 ms in 100 ms slices, after loop 8000 only.
  EXPECT_EQ(pauses, std::vector<uint32_t>(36, 100u) /* settle + 35 slices */);
}

TEST_F(Loopback, SavesTheLogWithoutADialogWhenAsked) {
  OpenPlug("rate=unlimited");
  const std::string serial = Format8("ENGINES%d", static_cast<int>(getpid()));
  ShellCallTable calls;
  calls.SerialNumberText = [&](ui::Window*) { return Utf8ToUtf16(serial); };
  InstallShellCalls(calls);
  TestConfig.SaveLogAtEnd = 1;
  RunLoopsAndStop(2);

  namespace fs = std::filesystem;
  std::vector<fs::path> saved;
  for (const auto& entry : fs::directory_iterator(NativePath(ProgramFolder()))) {
    if (entry.path().filename().string().find("-" + serial + ".txt") != std::string::npos) {
      saved.push_back(entry.path());
    }
  }
  ASSERT_EQ(saved.size(), 1u);
  std::ifstream file(saved[0], std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  fs::remove(saved[0]);
  EXPECT_THAT(content.str(), HasSubstr("QUORVALE Tarnwick Log file\r\n"));
  EXPECT_THAT(content.str(), HasSubstr("Loopback   - END OF USB LOOPBACK TEST\r\n"));
}

}  // namespace
