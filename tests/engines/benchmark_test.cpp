// The benchmark end to end: controller and transfer workers against a simulated plug
// configured for benchmark data, and the sizing rules on their own.
#include "engines/benchmark_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine_run_support.h"
#include "run_observer.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

TEST(BenchmarkSizing, TransferSizeAndQueueDepthFollowEndpointAndSpeed) {
  const struct {
    uint32_t Type, Speed;
    uint16_t PacketSize;
    int32_t Size;
    uint16_t Packets;
  } cases[] = {
      {TestConfigRecord::Bulk, 3, 1024, 1048576, 1024},  // 2048 packets, capped
      {TestConfigRecord::Bulk, 3, 16384, 2097152, 128},
      {TestConfigRecord::Bulk, 1, 64, 65536, 1024},
      {TestConfigRecord::Isochronous, 3, 49152, 40 * 49152, 40},
      {TestConfigRecord::Isochronous, 2, 3072, 128 * 3072, 128},
      // No rule for these: the default 512 packets, and nothing without a packet size.
      {TestConfigRecord::Bulk, 0, 512, 512 * 512, 512},
      {3, 3, 1024, 512 * 1024, 512},
      {TestConfigRecord::Bulk, 3, 0, 0, 512},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.Type << "/" << c.Speed << "/" << c.PacketSize);
    TestConfig.EndpointType = c.Type;
    TestConfig.ConnectionType = c.Speed;
    EXPECT_EQ(BenchmarkTransferSize(c.PacketSize), c.Size);
    EXPECT_EQ(TestStats.PacketsPerTransfer, c.Packets);
  }
  ResetTestConfig();
  EXPECT_EQ(BenchmarkQueueDepth(3880.0f, 1048576, 64), 64);  // 485 a second
  EXPECT_EQ(BenchmarkQueueDepth(3880.0f, 1048576, 16), 16);
  EXPECT_EQ(BenchmarkQueueDepth(9.216f, 65536, 64), 18);
  EXPECT_EQ(BenchmarkQueueDepth(3880.0f, 65536, 255), 64);
  // Under one transfer a second, one is still kept in flight.
  EXPECT_EQ(BenchmarkQueueDepth(0.03f, 4096, 64), 1);
  EXPECT_EQ(BenchmarkQueueDepth(3880.0f, 0, 64), 1);
}

class Benchmark : public EngineRun {
 protected:
  // A bulk benchmark of 64 KiB transfers, four in flight.
  void SetUpBulk(uint32_t mode, const std::string& options) {
    OpenPlug(options);
    TransferSize = 65536;
    QueueSize = 4;
    TestConfig.TestMode = TestConfigRecord::Benchmark;
    TestConfig.BenchmarkMode = mode;
    ApplySpeedDefaults();
    ConfigurePlug();
  }

  int Blocks(const std::string& direction) { return CountStartingWith(direction + " block "); }

  // Runs until each direction the mode uses has published this many blocks.
  void RunBlocks(int blocks) {
    Start(BenchmarkControlThread);
    const uint32_t mode = TestConfig.BenchmarkMode;
    ASSERT_TRUE(WaitUntil([&] {
      return (mode == TestConfigRecord::WriteOnly || Blocks("Read") >= blocks) &&
             (mode == TestConfigRecord::ReadOnly || Blocks("Write") >= blocks);
    }));
    StopAndWait();
  }

  // Each block's rate reaches the observers in the order of the block lines, and the
  // result figures are the ones the block prints, per direction and combined.
  void ExpectObservedAsLogged(RunObserver& observer, bool combined) {
    const std::vector<RunFigures> results = observer.Results();
    ASSERT_EQ(results.size(), 1u);
    const RunFigures& figures = results[0];
    EXPECT_EQ(figures.TestMode, TestConfigRecord::Benchmark);
    EXPECT_FALSE(figures.Loopback.Present);
    for (const auto& [direction, side, name] :
         {std::tuple{RateDirection::Read, &figures.Read, "Read"},
          std::tuple{RateDirection::Write, &figures.Write, "Write"}}) {
      EXPECT_EQ(side->Present, Blocks(name) > 0) << name;
      std::vector<double> logged;
      for (const std::string& line : Lines()) {
        if (line.rfind(std::string(name) + " block ", 0) == 0) {
          logged.push_back(std::stod(line.substr(line.rfind(": ") + 2)));
        }
      }
      const std::vector<double> rates = observer.Rates(direction);
      ASSERT_EQ(rates.size(), logged.size());
      for (size_t i = 0; i < rates.size(); ++i) EXPECT_NEAR(rates[i], logged[i], 0.051);
      if (!side->Present) continue;
      EXPECT_EQ(side->Operations, logged.size());
      EXPECT_EQ(side->Bytes, logged.size() * 4 * 65536);
      const std::string label = std::string(name) + " Data Rate: ";
      for (const auto& [prefix, mbps] : {std::pair{"Maximum ", side->MaxMbps},
                                         {"Minimum ", side->MinMbps},
                                         {"Average ", side->AverageMbps}}) {
        EXPECT_TRUE(Has(Utf16ToUtf8(FormatRateLine(Utf8ToUtf16(prefix + label), mbps))));
      }
    }
    EXPECT_EQ(std::isnan(figures.AverageMbps), !combined);
    if (combined) {
      EXPECT_TRUE(Has(Utf16ToUtf8(FormatRateLine(u"Average Data Rate: ", figures.AverageMbps))));
      EXPECT_TRUE(Has(Utf16ToUtf8(FormatRateLine(u"Minimum Data Rate: ", figures.MinMbps))));
    }
  }

  // The result block, each line checked for its category. The write worker says it
  // stopped after it signalled its end, so that line may fall inside the block.
  std::vector<std::string> Results() {
    std::vector<std::string> lines;
    for (const CapturedRecord& record : From("OVERALL BENCHMARK RESULT:")) {
      if (record.text == "Benchmark Write Thread stopped") continue;
      EXPECT_EQ(record.category, LogCategory::Benchmark) << record.text;
      lines.push_back(record.text);
    }
    return lines;
  }
};

TEST_F(Benchmark, EachModeRunsItsWorkersAndReportsItsDirections) {
  const struct {
    uint32_t Mode;
    const char* ModeLine;
    bool Reads, Writes;
  } cases[] = {{TestConfigRecord::ReadThenWrite, "READING & WRITING FROM USB DEVICE", true, true},
               {TestConfigRecord::ReadOnly, "READING FROM USB DEVICE", true, false},
               {TestConfigRecord::WriteOnly, "WRITING TO USB DEVICE", false, true},
               {TestConfigRecord::ReadAndWrite, "READING & WRITING FROM USB DEVICE", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Mode);
    Restart();
    RunObserver observer;
    observer.Install(shellCalls_);
    TestConfig.VerboseLogging = 1;
    // A finite rate: at once-only speeds a block can be too fast for a minimum line.
    SetUpBulk(c.Mode, "rate=4000");
    RunBlocks(3);
    const auto start = From("START OF USB BENCHMARK TEST");
    ASSERT_GE(start.size(), 5u);
    EXPECT_EQ(start[1].text, "Device: Plug-0 (SuperSpeed 5Gb/s)");
    EXPECT_EQ(start[1].category, LogCategory::Loopback);
    EXPECT_EQ(start[2].text, c.ModeLine);
    EXPECT_EQ(start[3].text, "Transfer Size: 65536 bytes");
    EXPECT_EQ(start[4].text, "Queue Size: 4");
    EXPECT_EQ(Has("Benchmark Read Thread started"), c.Reads);
    EXPECT_EQ(Has("Benchmark Write Thread started"), c.Writes);
    EXPECT_EQ(Count("Benchmark Read Thread started"), Count("Benchmark Read Thread stopped"));
    EXPECT_EQ(Count("Benchmark Write Thread started"), Count("Benchmark Write Thread stopped"));

    // Which lines the result block holds, by the directions the mode moves.
    const auto results = Results();
    std::string shape;
    for (const char* prefix :
         {"Total number of bytes written: ", "Total number of bytes read: ",
          "Maximum Write Data Rate: ", "Maximum Read Data Rate: ", "Minimum Write Data Rate: ",
          "Minimum Read Data Rate: ", "Average Write Data Rate: ", "Average Read Data Rate: ",
          "Average Data Rate: ", "Minimum Data Rate: ", "Maximum Theoretical Rate: "}) {
      const bool present = std::any_of(results.begin(), results.end(), [&](const std::string& l) {
        return l.rfind(prefix, 0) == 0;
      });
      shape += present ? '+' : '-';
    }
    const char* expected = c.Reads && c.Writes ? "++++++++++-"
                           : c.Reads           ? "-+-+-+-+---"
                                               : "+-+-+-+----";
    EXPECT_EQ(shape, expected) << ::testing::PrintToString(results);
    EXPECT_THAT(results, ::testing::IsSupersetOf({"Duration: 000h 00m 00s"}));
    // Every block was four whole transfers: the totals add up to the blocks taken.
    if (c.Reads) {
      EXPECT_TRUE(Has(Format8("Total number of bytes read: %d MB", Blocks("Read") / 4)));
    }
    if (c.Writes) {
      EXPECT_TRUE(Has(Format8("Total number of bytes written: %d MB", Blocks("Write") / 4)));
    }
    EXPECT_THAT(Shell(), ElementsAre("draw 1 0", "draw 0 3", "draw 4 3", "restore"));
    EXPECT_EQ(StatusText.Get(), u"BENCHMARK test - Complete");
    ExpectObservedAsLogged(observer, c.Reads && c.Writes);
  }
}

TEST_F(Benchmark, ReadThenWriteHandsTheBusOverOneBlockAtATime) {
  TestConfig.VerboseLogging = 1;
  SetUpBulk(TestConfigRecord::ReadThenWrite, "rate=unlimited");
  RunBlocks(4);
  // Blocks alternate, reads first, and each turn is one worker's whole life.
  std::string sequence;
  for (const std::string& line : Lines()) {
    if (line.rfind("Read block ", 0) == 0 || line.rfind("Write block ", 0) == 0)
      sequence += line[0];
  }
  ASSERT_GE(sequence.size(), 8u);
  for (size_t i = 0; i < sequence.size(); ++i) EXPECT_EQ(sequence[i], i % 2 ? 'W' : 'R') << i;
  EXPECT_LE(Count("Benchmark Read Thread started") - Blocks("Read"), 1);
  EXPECT_LE(Count("Benchmark Write Thread started") - Blocks("Write"), 1);
  EXPECT_EQ(TestStats.ReadBlockBytes, 4 * 65536);
  EXPECT_EQ(TestStats.WriteBlockBytes, 4 * 65536);
}

TEST_F(Benchmark, SizesTransfersAndQueueFromTheEndpoint) {
  const struct {
    const char* Options;
    uint32_t Type;
    const char *SizeLine, *QueueLine, *Theoretical;
  } cases[] = {
      // The configured 64 KiB is below the bulk size: it wins.
      {"rate=unlimited", TestConfigRecord::Bulk, "Transfer Size: 65536 bytes", "Queue Size: 64",
       nullptr},
      {"rate=unlimited,speed=full", TestConfigRecord::Bulk, "Transfer Size: 65536 bytes",
       "Queue Size: 18", nullptr},
      {"rate=unlimited,speed=high", TestConfigRecord::Isochronous, "Transfer Size: 393216 bytes",
       "Queue Size: 62", "Maximum Theoretical Rate: 187.5 Mb/s (23.4 MB/s)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Options);
    Restart();
    OpenPlug(c.Options);
    TransferSize = 65536;
    QueueSize = 64;
    TestConfig.TestMode = TestConfigRecord::Benchmark;
    TestConfig.BenchmarkMode = TestConfigRecord::ReadOnly;
    TestConfig.EndpointType = c.Type;
    TestConfig.InEndpointNumber = TestConfig.OutEndpointNumber = c.Type == 1 ? 3 : 1;
    ApplySpeedDefaults();
    ConfigurePlug();
    RunBlocks(1);
    EXPECT_TRUE(Has(c.SizeLine));
    EXPECT_TRUE(Has(c.QueueLine));
    EXPECT_EQ(CountStartingWith("Maximum Theoretical Rate"), c.Theoretical ? 1 : 0);
    if (c.Theoretical) {
      EXPECT_EQ(Results().back(), c.Theoretical);
    }
  }
}

TEST_F(Benchmark, ShortReadsCountWholeAndFailedCompletionsNothing) {
  SetUpBulk(TestConfigRecord::ReadOnly, "rate=unlimited,short-read-every=2");
  RunBlocks(8);
  EXPECT_EQ(TestStats.ReadErrors, 0);
  EXPECT_TRUE(Has(Format8("Total number of bytes read: %d MB", Blocks("Read") / 4)));

  Restart();
  TestConfig.VerboseLogging = 1;
  SetUpBulk(TestConfigRecord::ReadOnly, "rate=unlimited,read-error-every=2");
  RunBlocks(8);
  // Counted, logged, resubmitted, and not a published error: the rates are reported.
  EXPECT_GT(TestStats.ReadErrors, 0);
  EXPECT_EQ(Count("Benchmark read failed"), TestStats.ReadErrors);
  EXPECT_EQ(From("Benchmark read failed").front().category, LogCategory::Diagnostics);
  EXPECT_EQ(TestStats.ReadBlockBytes, 2 * 65536);
  EXPECT_FALSE(Results().empty());
}

TEST_F(Benchmark, WorkerTimeoutsGiveTheErrorLinesInsteadOfRates) {
  const struct {
    uint32_t Mode;
    const char *Direction, *Line, *Counts;
  } cases[] = {{TestConfigRecord::ReadOnly, "Read", "Timeout reading benchmark data",
                "0 write error(s). %d read error(s)."},
               {TestConfigRecord::WriteOnly, "Write", "Timeout writing benchmark data",
                "%d write error(s). 0 read error(s)."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Line);
    Restart();
    // The tenth transfer submitted never completes; after the refill one more block
    // comes before the next hang. At this rate only a hung transfer is waited for.
    SetUpBulk(c.Mode, "rate=unlimited,timeout-every=10");
    EngineTiming.WorkerTransferWaitMs = 100;
    Start(BenchmarkControlThread);
    const std::string block = std::string(c.Direction) + " block ";
    ASSERT_TRUE(WaitUntil([&] {
      const auto after = From(c.Line);
      return std::any_of(after.begin(), after.end(),
                         [&](const CapturedRecord& r) { return r.text.rfind(block, 0) == 0; });
    }));
    StopAndWait();
    const int32_t timeouts = TestStats.PublishedErrorCount;
    EXPECT_EQ(Count(c.Line), timeouts);
    EXPECT_EQ(From(c.Line).front().category, LogCategory::Error);
    // The partial block was dropped: the one after the refill holds its own four.
    EXPECT_EQ(c.Direction[0] == 'R' ? TestStats.ReadBlockBytes : TestStats.WriteBlockBytes,
              4 * 65536);
    EXPECT_FALSE(Has("OVERALL BENCHMARK RESULT:"));
    EXPECT_EQ(CountStartingWith("Maximum") + CountStartingWith("Average"), 0);
    const auto ending = From(Format8("%d error(s).", timeouts));
    ASSERT_EQ(ending.size(), 2u);
    EXPECT_EQ(ending[1].text, Format8(c.Counts, timeouts));
    EXPECT_EQ(ending[0].category + ending[1].category, 2 * LogCategory::Error);
  }
}

TEST_F(Benchmark, StoppedBeforeAnyBlockReportsNoMinimum) {
  SetUpBulk(TestConfigRecord::ReadOnly, "rate=unlimited");
  Start(BenchmarkControlThread, true);
  WaitForEnd();
  EXPECT_THAT(Results(), ElementsAre("OVERALL BENCHMARK RESULT:", HasSubstr("Test Start time: "),
                                     "Duration: 000h 00m 00s", "Total number of bytes read: 0 MB",
                                     "Maximum Read Data Rate: 0.0 Mb/s (0.0 MB/s)",
                                     "Average Read Data Rate: 0.0 Mb/s (0.0 MB/s)"));
}

TEST_F(Benchmark, RemovalEndsTheRunWithoutRestoringTheControls) {
  SetUpBulk(TestConfigRecord::ReadAndWrite, "rate=unlimited");
  Start(BenchmarkControlThread);
  ASSERT_TRUE(WaitUntil([&] { return Blocks("Read") >= 2 && Blocks("Write") >= 2; }));
  sim_->port->UnplugNow(0, 0);
  WaitForEnd();
  // No message box (both workers ended on their own), and without a plug the window
  // keeps Start disabled.
  EXPECT_THAT(Shell(), ElementsAre("draw 1 0", "draw 0 3", "draw 4 3"));
}

// Holds the worker in its recovery pause until released.
struct HeldPause {
  static inline std::mutex lock;
  static inline std::condition_variable changed;
  static inline bool holding = false, released = false;
  static void Pause(uint32_t milliseconds) {
    if (milliseconds != 777) return;
    std::unique_lock guard(lock);
    holding = true;
    changed.notify_all();
    changed.wait(guard, [] { return released; });
  }
  static void Set(bool hold, bool release) {
    std::lock_guard guard(lock);
    holding = hold;
    released = release;
    changed.notify_all();
  }
};

TEST_F(Benchmark, WorkersThatDoNotEndInTimeGiveTheWarning) {
  SetUpBulk(TestConfigRecord::ReadOnly, "rate=unlimited,timeout-every=3");
  EngineTiming.WorkerRecoveryPauseMs = 777;
  EngineTiming.WorkerTransferWaitMs = 20;
  EngineTiming.WorkersEndWaitMs = 30;
  EngineTiming.Pause = HeldPause::Pause;
  HeldPause::Set(false, false);
  Start(BenchmarkControlThread);
  ASSERT_TRUE(WaitUntil([] {
    std::lock_guard guard(HeldPause::lock);
    return HeldPause::holding;
  }));
  StopTest();
  ASSERT_TRUE(WaitUntil([&] { return Shell().size() >= 2; }));
  HeldPause::Set(true, true);
  WaitForEnd();
  // The warning comes before the ending, which still completes.
  EXPECT_THAT(Shell(), ElementsAre("draw 1 0",
                                   "box A error or timeout occured while waiting for the USB3 "
                                   "plug benchmark test to stop",
                                   "draw 0 3", "draw 4 3", "restore"));
  EXPECT_TRUE(Has("1 error(s)."));
}

}  // namespace
