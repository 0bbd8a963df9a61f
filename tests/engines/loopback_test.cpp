// The loopback test end to end: the engine thread against a simulated plug opened
// through the real device and endpoint classes, with faults from the plug's options.
#include "engines/loopback_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine_run_support.h"
#include "engines/bus_error_lines.h"
#include "platform/paths.h"
#include "protocol/bus_error_report.h"
#include "run_observer.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;

namespace {

// Every pause an engine takes, recorded instead of slept. At a load of 49 every loop
// ends with a pause of 0 ms, which lets a run stop after an exact number of loops.
struct Pauses {
  static inline std::mutex lock;
  static inline std::vector<uint32_t> taken;
  static inline uint32_t loopsLeft = 0;
  static inline bool monitorLeftAlone = false;
  static void Pause(uint32_t milliseconds) {
    std::lock_guard guard(lock);
    taken.push_back(milliseconds);
    if (milliseconds == 0 && loopsLeft > 0) {
      monitorLeftAlone = !MonitorMayRun;
      if (--loopsLeft == 0) StopTest();
    }
  }
  static std::vector<uint32_t> Take() {
    std::lock_guard guard(lock);
    std::vector<uint32_t> result;
    result.swap(taken);
    return result;
  }
};

class Loopback : public EngineRun {
 protected:
  void RunExactly(uint32_t loops) {
    TestConfig.LoopbackLoad = 49;
    Pauses::Take();
    Pauses::loopsLeft = loops;
    EngineTiming.Pause = Pauses::Pause;
    Start(LoopbackTestThread);
    WaitForEnd();
    EXPECT_EQ(TestStats.PublishedLoopCount, loops);
  }

  // The result block up to the end line, every line checked for the category.
  std::vector<std::string> Results(uint32_t category) {
    std::vector<std::string> lines;
    for (const CapturedRecord& record : From("RESULTS:")) {
      if (record.text == "END OF USB LOOPBACK TEST") return lines;
      EXPECT_EQ(record.category, category) << record.text;
      lines.push_back(record.text);
    }
    ADD_FAILURE() << "no complete result block";
    return lines;
  }
};

// The observers see the rate of every loop line and, before the result block, the very
// figures the block prints.
TEST_F(Loopback, CleanRunPassesWithItsLoopLines) {
  for (const bool verbose : {false, true}) {
    SCOPED_TRACE(verbose);
    Restart();
    RunObserver observer;
    observer.Install(shellCalls_);
    OpenPlug("rate=unlimited,phy-errors=4");
    TestConfig.VerboseLogging = verbose;
    RunExactly(25);
    EXPECT_TRUE(Pauses::monitorLeftAlone);
    const auto records = log_.Records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].text, "START OF USB TEST_LOOPBACK TEST");
    EXPECT_EQ(records[1].text, "Testing device Device: Plug-0 (SuperSpeed 5Gb/s)");
    EXPECT_EQ(records[1].category, LogCategory::Loopback);
    // Verbose: a line per loop. Summary: one per ten loops, the first for loops 1-10.
    std::vector<std::string> loopLines;
    for (const std::string& line : Lines()) {
      if (line.rfind("Loop ", 0) == 0) loopLines.push_back(line);
    }
    ASSERT_EQ(loopLines.size(), verbose ? 25u : 2u);
    EXPECT_EQ(CountStartingWith("Loop 25, Speed "), verbose ? 1 : 0);
    EXPECT_EQ(CountStartingWith("Loop 11 - 20, Avg Speed "), verbose ? 0 : 1);
    const std::vector<double> rates = observer.Rates(RateDirection::Loopback);
    ASSERT_EQ(rates.size(), loopLines.size());
    for (size_t i = 0; i < loopLines.size(); ++i) {
      const size_t unit = loopLines[i].rfind(" Mb/s");
      ASSERT_NE(unit, std::string::npos) << loopLines[i];
      const double logged = std::stod(loopLines[i].substr(loopLines[i].rfind(' ', unit - 1) + 1));
      EXPECT_NEAR(logged, rates[i], 0.051) << loopLines[i];
    }
    EXPECT_TRUE(observer.Rates(RateDirection::Read).empty());

    const auto results = Results(LogCategory::Pass);
    ASSERT_EQ(results.size(), 8u) << ::testing::PrintToString(results);
    EXPECT_THAT(results[1], ::testing::MatchesRegex("Test Start time: [A-Z][a-z]{2} [A-Z][a-z]{2} "
                                                    "[ 0-9][0-9] [0-9:]{8} [0-9]{4}"));
    EXPECT_EQ(results[2], "Duration: 000h 00m 00s");
    EXPECT_EQ(results[6], "25 operations.");
    EXPECT_EQ(results[7], "0 error(s).");
    const std::vector<RunFigures> figures = observer.Results();
    ASSERT_EQ(figures.size(), 1u);
    const DirectionFigures& loopback = figures[0].Loopback;
    EXPECT_EQ(figures[0].TestMode, TestConfigRecord::Loopback);
    EXPECT_GT(figures[0].StartTime, 0);
    EXPECT_TRUE(loopback.Present);
    EXPECT_FALSE(figures[0].Read.Present || figures[0].Write.Present);
    EXPECT_EQ(loopback.Operations, 25u);
    EXPECT_EQ(loopback.Bytes, 25u * 2 * 65536);
    // The average is bytes over time, so it lies between the slowest and fastest loop.
    EXPECT_GT(loopback.MinMbps, 0.0);
    EXPECT_LE(loopback.MinMbps, loopback.AverageMbps);
    EXPECT_LE(loopback.AverageMbps, loopback.MaxMbps);
    EXPECT_EQ(results[3], Utf16ToUtf8(FormatRateLine(u"Maximum Data Rate: ", loopback.MaxMbps)));
    EXPECT_EQ(results[4], Utf16ToUtf8(FormatRateLine(u"Minimum Data Rate: ", loopback.MinMbps)));
    EXPECT_EQ(results[5], Utf16ToUtf8(FormatRateLine(u"Average Rate: ", loopback.AverageMbps)));

    EXPECT_THAT(Shell(), ElementsAre("draw 1 0", "draw 0 3", "draw 4 3", "restore"));
    EXPECT_EQ(StatusText.Get(), u"LOOPBACK test - Complete");
    // Bus errors were counted on the plug but not read without the option, and the
    // end of the run ended the plug's monitoring.
    uint8_t raw[16] = {};
    ASSERT_EQ(SendPlugRequest(PlugCommand::BusErrors, PLUG_REQUEST_IN, raw, 16), 1u);
    EXPECT_EQ(ReadBusErrorReport(raw).PhyCount, 0u);
  }
}

TEST_F(Loopback, RunsWithoutAGoodLoopReportNoRates) {
  // Stopped before the first loop, and every loop failing: no rate, no minimum line.
  for (const bool failing : {false, true}) {
    SCOPED_TRACE(failing);
    Restart();
    OpenPlug(failing ? "rate=unlimited,write-error-every=1" : "rate=unlimited");
    if (failing) {
      RunExactly(3);
    } else {
      Start(LoopbackTestThread, true);
      WaitForEnd();
    }
    const std::vector<std::string> common = {"RESULTS:", "Duration: 000h 00m 00s",
                                             "Maximum Data Rate: 0.0 Mb/s (0.0 MB/s)",
                                             "Average Rate: 0.0 Mb/s (0.0 MB/s)"};
    const auto results = Results(failing ? LogCategory::Error : LogCategory::Pass);
    EXPECT_THAT(results, IsSupersetOf(common));
    EXPECT_EQ(results.size(), failing ? 10u : 7u) << ::testing::PrintToString(results);
    EXPECT_THAT(results, ::testing::Contains(failing ? "3 operations." : "0 operations."));
    if (failing) {
      EXPECT_THAT(results,
                  IsSupersetOf({"3 error(s).",
                                "3 write error(s). 0 read error(s). 0 verification "
                                "error(s).",
                                "0 physical layer error(s). ", "0 link layer error(s). "}));
    }
  }
}

TEST_F(Loopback, FailedTransfersAreCountedAndTheRunGoesOn) {
  const struct {
    const char *Fault, *Line;
    uint32_t Loops;
    std::vector<std::string> LoopLines;
    const char* Counts;
  } cases[] = {// Below loop 10 a failure names its loop, from there on the last ten loops.
               {"write-error-every=5,firmware=22",
                "Write failed",
                16,
                {"Loop 5, Failed", "Loop 1 - 10, Failed", "Loop 6 - 15, Failed"},
                "3 write error(s). 0 read error(s). 0 verification error(s)."},
               {"read-error-every=3",
                "Read failed",
                7,
                {"Loop 3, Failed", "Loop 6, Failed"},
                "0 write error(s). 2 read error(s). 0 verification error(s)."},
               {"short-read-every=3",
                "Read error: 32768 bytes read (of 65536 bytes)",
                7,
                {"Loop 3, Failed", "Loop 6, Failed"},
                "0 write error(s). 2 read error(s). 0 verification error(s)."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Fault);
    Restart();
    OpenPlug(Format8("rate=unlimited,%s", c.Fault));
    RunExactly(c.Loops);
    const int failures = static_cast<int>(c.LoopLines.size());
    EXPECT_EQ(TestStats.PublishedErrorCount, failures);
    EXPECT_EQ(CountStartingWith(c.Line), failures);
    EXPECT_EQ(CountStartingWith("Loop "), failures);
    EXPECT_THAT(Lines(), IsSupersetOf(c.LoopLines));
    EXPECT_THAT(Results(LogCategory::Error),
                IsSupersetOf({Format8("%d error(s).", failures), std::string(c.Counts)}));
    EXPECT_EQ(CountStartingWith("- "), 0) << "no bus-error option: failed loops do not poll";
  }
}

TEST_F(Loopback, FirmwareBefore22EndsAtTheFirstFailedLoop) {
  OpenPlug("rate=unlimited,write-error-every=3,firmware=21");
  Start(LoopbackTestThread);
  WaitForEnd();
  // Left before any statistics: loop 3 is counted but neither published nor logged.
  EXPECT_EQ(TestStats.PublishedLoopCount, 2u);
  EXPECT_FALSE(Has("Loop 3, Failed"));
  EXPECT_THAT(Results(LogCategory::Error), IsSupersetOf({"3 operations.", "1 error(s)."}));
}

TEST_F(Loopback, CorruptDataIsCountedOnlyWhenVerified) {
  for (const bool verify : {true, false}) {
    SCOPED_TRACE(verify);
    Restart();
    OpenPlug("rate=unlimited,corrupt-every=3,corrupt-bytes=12");
    TestConfig.VerboseLogging = 1;
    TestConfig.VerifyData = verify;
    RunExactly(7);
    // Ten byte lines at most per block, then the summary; the loop is still timed.
    EXPECT_EQ(Count("USB 3.0 data transfer error: 12 of 65536 bytes incorrect."), verify ? 2 : 0);
    EXPECT_EQ(CountStartingWith("Byte verification error: Received value "), verify ? 20 : 0);
    for (const std::string& line : Lines()) {
      if (line.rfind("Byte verification", 0) == 0) {
        EXPECT_THAT(line, ::testing::EndsWith(", Expected value 140"));
        EXPECT_THAT(line, ::testing::Not(HasSubstr("Received value 140,")));
      }
    }
    EXPECT_EQ(CountStartingWith("Loop 3, Speed "), 1);
    EXPECT_EQ(TestStats.VerificationErrors, verify ? 24 : 0);
    if (verify) {
      EXPECT_THAT(
          Results(LogCategory::Error),
          ::testing::Contains("0 write error(s). 0 read error(s). 24 verification error(s)."));
    } else {
      Results(LogCategory::Pass);
    }
  }
}

TEST_F(Loopback, BusErrorsArePolledEveryThousandLoops) {
  const char* options =
      "rate=unlimited,phy-errors=2,link-errors=1,phy-flags=0x1FF,link-flags=0x7FFF";
  OpenPlug(options);
  TestConfig.CheckBusErrors = 1;
  TestConfig.VerifyData = 0;
  RunExactly(999);
  EXPECT_EQ(CountStartingWith("2 Physical"), 0) << "loop 999 does not poll";

  Restart();
  RunObserver observer;
  observer.Install(shellCalls_);
  OpenPlug(options);
  TestConfig.CheckBusErrors = 1;
  TestConfig.VerifyData = 0;
  RunExactly(1000);
  ASSERT_EQ(observer.Results().size(), 1u);
  EXPECT_EQ(observer.Results()[0].PhysicalLayerErrors, 2);
  EXPECT_EQ(observer.Results()[0].LinkLayerErrors, 1);
  // One poll: the count lines (their closing newline shows as a blank), then every
  // flag line in bit order, the 8b/10b one included from firmware 23 on.
  std::vector<std::string> expected = {"2 Physical Layer error(s) occurred. "};
  for (const char16_t* line : PhysicalLayerFlagLines(0x1FF, 23))
    expected.push_back(Utf16ToUtf8(line));
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
  EXPECT_EQ(polled.size(), 26u);
  EXPECT_THAT(
      Results(LogCategory::Error),
      IsSupersetOf({"3 error(s).", "2 physical layer error(s). ", "1 link layer error(s). "}));
}

TEST_F(Loopback, FailedOrVerboseLoopsPollEveryTime) {
  const struct {
    const char* Options;
    uint32_t Verbose;
    int Polls, Errors;
  } cases[] = {{"rate=unlimited,phy-errors=1,write-error-every=4", 0, 2, 4},
               {"rate=unlimited,phy-errors=1", 1, 10, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Options);
    Restart();
    OpenPlug(c.Options);
    TestConfig.CheckBusErrors = 1;
    TestConfig.VerboseLogging = c.Verbose;
    RunExactly(10);
    // Each poll reports the growth since the last one.
    EXPECT_EQ(Count("1 Physical Layer error(s) occurred. "), c.Polls);
    EXPECT_EQ(TestStats.TotalErrors, c.Errors);
  }
}

TEST(BusErrorLinesTest, FlagLinesFollowTheBitsAndTheFirmware) {
  const uint8_t raw[16] = {1, 0, 0, 0, 2, 0, 0, 0, 0x03, 0x02, 0, 0x80, 0x01, 0x80, 0x01, 0};
  const BusErrorReport report = ReadBusErrorReport(raw);
  EXPECT_EQ(report.PhyCount, 1u);
  EXPECT_EQ(report.LinkCount, 2u);
  // Physical bits 0, 1, 9 and 31, link bits 0, 15 and 16: only kinds 0-8 and 0-14 count.
  using Lines16 = std::vector<std::u16string_view>;
  const auto physical = [](int32_t firmware, uint32_t flags) {
    const auto lines = PhysicalLayerFlagLines(flags, firmware);
    return Lines16(lines.begin(), lines.end());
  };
  EXPECT_EQ(physical(23, report.PhyFlags),
            (Lines16{u"- 8b/10b Decode error(s) occurred.",
                     u"- Elastic Buffer Overflow error(s) occurred."}));
  EXPECT_EQ(physical(22, report.PhyFlags),
            (Lines16{u"- Elastic Buffer Overflow error(s) occurred."}));
  const auto link = LinkLayerFlagLines(report.LinkFlags);
  EXPECT_EQ(
      Lines16(link.begin(), link.end()),
      (Lines16{u"- Header Packet acknowledgement has not been received by PENDING_HP_TIMEOUT."}));
  EXPECT_EQ(physical(22, 0xFFFFFFFF).size(), 8u);
  EXPECT_EQ(LinkLayerFlagLines(0xFFFFFFFF).size(), 15u);
}

TEST_F(Loopback, RemovalEndsTheRunWithItsOwnLine) {
  OpenPlug("rate=unlimited");
  Start(LoopbackTestThread);
  ASSERT_TRUE(WaitUntil([] { return TestStats.PublishedLoopCount >= 5; }));
  sim_->port->UnplugNow(0, 0);
  WaitForEnd();
  const auto ending = From("Test stopped due to device removal");
  ASSERT_GE(ending.size(), 2u);
  EXPECT_EQ(ending[0].category, LogCategory::Error);
  EXPECT_EQ(ending[1].text, "RESULTS:");
  EXPECT_EQ(Shell().back(), "restore");
}

TEST_F(Loopback, MissingEndpointsEndTheThreadAtOnce) {
  const struct {
    uint8_t In, Out;
    uint32_t Verbose;
    int Messages;
  } cases[] = {{5, 1, 1, 0}, {1, 5, 1, 0}, {5, 5, 1, 1}, {5, 5, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.In) << "/" << int(c.Out) << "/" << c.Verbose);
    Restart();
    OpenPlug("rate=unlimited");
    TestConfig.InEndpointNumber = c.In;
    TestConfig.OutEndpointNumber = c.Out;
    TestConfig.VerboseLogging = c.Verbose;
    Start(LoopbackTestThread);
    ASSERT_TRUE(WaitForEngineThreads(10000));
    EXPECT_FALSE(TestStopped) << "the run is left for the window to stop";
    EXPECT_EQ(RunningTestThreads, 0);
    EXPECT_EQ(Count("Failure to find end points"), c.Messages);
    EXPECT_EQ(Lines().size(), static_cast<size_t>(c.Messages));
    EXPECT_TRUE(Shell().empty());
  }
}

TEST_F(Loopback, LoadThrottlesInSlicesThatEndWithTheRun) {
  EngineTiming.Pause = Pauses::Pause;
  Pauses::Take();
  ThrottleSleep(99);
  ThrottleSleep(250);
  EXPECT_THAT(Pauses::Take(), ElementsAre(99u, 100u, 100u, 50u));
  TestStopped = true;
  ThrottleSleep(350);
  EXPECT_THAT(Pauses::Take(), ElementsAre(100u));

  // Per loop below half load; (100 - load) x 70 ms after every 8000th loop below full.
  const struct {
    uint8_t Load;
    uint32_t Loops;
    std::vector<uint32_t> Expected;
  } cases[] = {
      {100, 8000, {}}, {50, 8001, std::vector<uint32_t>(35, 100u)}, {1, 3, {24u, 24u, 24u}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.Load));
    Restart();
    OpenPlug("rate=unlimited");
    TestConfig.LoopbackLoad = c.Load;
    TestConfig.VerifyData = 0;
    EngineTiming.Pause = Pauses::Pause;
    Pauses::Take();
    Start(LoopbackTestThread);
    ASSERT_TRUE(WaitUntil([&] { return TestStats.PublishedLoopCount >= c.Loops; }));
    StopAndWait();
    std::vector<uint32_t> pauses = Pauses::Take();
    ASSERT_FALSE(pauses.empty());
    EXPECT_EQ(pauses.front(), 100u) << "the plug's error counters settle first";
    pauses.erase(pauses.begin());
    if (c.Load == 1) pauses.resize(std::min<size_t>(pauses.size(), 3));
    EXPECT_EQ(pauses, c.Expected);
  }
}

TEST_F(Loopback, SavesTheLogWithoutADialogWhenAsked) {
  OpenPlug("rate=unlimited");
  const std::string serial = Format8("ENGINES%d", static_cast<int>(getpid()));
  ShellCallTable calls;
  calls.SerialNumberText = [&](ui::Window*) { return Utf8ToUtf16(serial); };
  InstallShellCalls(calls);
  TestConfig.SaveLogAtEnd = 1;
  RunExactly(2);
  namespace fs = std::filesystem;
  std::vector<fs::path> saved;
  for (const auto& entry : fs::directory_iterator(NativePath(ProgramFolder()))) {
    if (entry.path().filename().string().find("-" + serial + ".txt") != std::string::npos) {
      saved.push_back(entry.path());
    }
  }
  ASSERT_EQ(saved.size(), 1u);
  std::stringstream content;
  content << std::ifstream(saved[0], std::ios::binary).rdbuf();
  fs::remove(saved[0]);
  EXPECT_THAT(content.str(), HasSubstr("Loopback   - END OF USB LOOPBACK TEST\r\n"));
}

}  // namespace
