// The benchmark end to end: controller and transfer workers against a simulated plug
// configured for benchmark data, with the sizing rules checked on their own.
#include "engines/benchmark_test.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine_run_support.h"
#include "engines/benchmark_transfer.h"
#include "platform/text.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

TEST(BenchmarkSizing, TransferSizeFollowsEndpointTypeSpeedAndPacketSize) {
  const struct {
    uint32_t Type, Speed;
    uint16_t PacketSize;
    int32_t Size;
    uint16_t Packets;
  } cases[] = {
      {TestConfigRecord::Bulk, 3, 1024, 1048576, 1024},  // 2048 packets, capped
      {TestConfigRecord::Bulk, 3, 16384, 2097152, 128},
      {TestConfigRecord::Bulk, 2, 512, 524288, 1024},
      {TestConfigRecord::Bulk, 1, 64, 65536, 1024},  // 4096 packets, capped
      {TestConfigRecord::Isochronous, 3, 49152, 40 * 49152, 40},
      {TestConfigRecord::Isochronous, 2, 3072, 128 * 3072, 128},
      {TestConfigRecord::Isochronous, 1, 64, 64 * 64, 64},
      // No rule for these: the default packet count, and no length without a packet size.
      {TestConfigRecord::Bulk, 0, 512, 512 * 512, 512},
      {3, 3, 1024, 512 * 1024, 512},
      {TestConfigRecord::Bulk, 3, 0, 0, 512},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.Type << "/" << c.Speed << "/" << c.PacketSize);
    TestConfig.EndpointType = c.Type;
    TestConfig.ConnectionType = c.Speed;
    TestStats.PacketsPerTransfer = 0;
    EXPECT_EQ(BenchmarkTransferSize(c.PacketSize), c.Size);
    EXPECT_EQ(TestStats.PacketsPerTransfer, c.Packets);
  }
  TestConfig = TestConfigRecord{};
}

TEST(BenchmarkSizing, QueueDepthIsASecondOfTransfersWithinTheQueueSize) {
  EXPECT_EQ(BenchmarkQueueDepth(3880.0f, 1048576, 64), 64);  // 485 a second
  EXPECT_EQ(BenchmarkQueueDepth(3880.0f, 1048576, 16), 16);
  EXPECT_EQ(BenchmarkQueueDepth(9.216f, 65536, 64), 18);
  EXPECT_EQ(BenchmarkQueueDepth(187.5f, 393216, 64), 62);
  EXPECT_EQ(BenchmarkQueueDepth(3880.0f, 65536, 255), 64);
  // Under one transfer a second still keeps one in flight.
  EXPECT_EQ(BenchmarkQueueDepth(0.03f, 4096, 64), 1);
  EXPECT_EQ(BenchmarkQueueDepth(0.0f, 65536, 64), 1);
  EXPECT_EQ(BenchmarkQueueDepth(3880.0f, 0, 64), 1);
}

class Benchmark : public EngineRun {
 protected:
  // A bulk benchmark of small transfers on a plug that answers at once.
  void SetUpSmallBulk(uint32_t mode, const char* options = "rate=unlimited") {
    OpenPlug(options);
    TransferSize = 65536;
    QueueSize = 4;
    SetUpBenchmark(mode);
  }

  int Blocks(const char* direction) {
    return CountStartingWith(std::string(direction) + " block ");
  }

  // The lines from "OVERALL BENCHMARK RESULT:" on, each checked for its category.
  std::vector<std::string> ResultLines() {
    std::vector<std::string> lines;
    for (const CapturedRecord& record : From("OVERALL BENCHMARK RESULT:")) {
      EXPECT_EQ(record.category, LogCategory::Benchmark) << record.text;
      lines.push_back(record.text);
    }
    return lines;
  }

  // Keeps the plug reading/writing until each direction the mode uses has done blocks.
  void RunBlocks(int blocks) {
    Start(BenchmarkControlThread);
    const uint32_t mode = TestConfig.BenchmarkMode;
    ASSERT_TRUE(WaitUntil([&] {
      return (mode == TestConfigRecord::WriteOnly || Blocks("Read") >= blocks) &&
             (mode == TestConfigRecord::ReadOnly || Blocks("Write") >= blocks);
    })) << ::testing::PrintToString(Lines());
    StopAndWait();
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
    SCOPED_TRACE(c.ModeLine + std::string(" ") + std::to_string(c.Mode));
    Restart();
    TestConfig.VerboseLogging = 1;
    // A finite rate: at once-only speeds a block can be faster than a minimum can say.
    SetUpSmallBulk(c.Mode, "rate=4000");
    RunBlocks(3);

    const auto start = From("START OF USB BENCHMARK TEST");
    ASSERT_GE(start.size(), 5u);
    EXPECT_EQ(start[0].category, LogCategory::Benchmark);
    EXPECT_EQ(start[1].text, "Device: Plug-0 (SuperSpeed 5Gb/s)");
    EXPECT_EQ(start[1].category, LogCategory::Loopback);
    EXPECT_EQ(start[2].text, c.ModeLine);
    EXPECT_EQ(start[3].text, "Transfer Size: 65536 bytes");
    EXPECT_EQ(start[4].text, "Queue Size: 4");
    EXPECT_EQ(TestStats.QueueDepth, 4);

    EXPECT_EQ(Blocks("Read") > 0, c.Reads);
    EXPECT_EQ(Blocks("Write") > 0, c.Writes);
    EXPECT_EQ(Has("Benchmark Read Thread started"), c.Reads);
    EXPECT_EQ(Has("Benchmark Write Thread started"), c.Writes);
    // Every worker that started also stopped.
    EXPECT_EQ(Count("Benchmark Read Thread started"), Count("Benchmark Read Thread stopped"));
    EXPECT_EQ(Count("Benchmark Write Thread started"), Count("Benchmark Write Thread stopped"));

    const auto results = ResultLines();
    ASSERT_FALSE(results.empty()) << ::testing::PrintToString(Lines());
    auto present = [&](const char* prefix) {
      return std::any_of(results.begin(), results.end(),
                         [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    };
    EXPECT_TRUE(present("Test Start time: "));
    EXPECT_TRUE(present("Duration: 000h 00m 00s"));
    EXPECT_EQ(present("Total number of bytes written: "), c.Writes);
    EXPECT_EQ(present("Total number of bytes read: "), c.Reads);
    EXPECT_EQ(present("Maximum Write Data Rate: "), c.Writes);
    EXPECT_EQ(present("Maximum Read Data Rate: "), c.Reads);
    EXPECT_EQ(present("Minimum Write Data Rate: "), c.Writes);
    EXPECT_EQ(present("Minimum Read Data Rate: "), c.Reads);
    EXPECT_EQ(present("Average Write Data Rate: "), c.Writes);
    EXPECT_EQ(present("Average Read Data Rate: "), c.Reads);
    EXPECT_EQ(present("Average Data Rate: "), c.Reads && c.Writes);
    EXPECT_EQ(present("Minimum Data Rate: "), c.Reads && c.Writes);
    EXPECT_FALSE(present("Maximum Theoretical Rate: ")) << "bulk endpoints only";

    // Every block was four full transfers: the byte totals add up to the blocks taken.
    if (c.Reads) {
      EXPECT_TRUE(Has(Format8("Total number of bytes read: %d MB", Blocks("Read") / 4)));
    }
    if (c.Writes) {
      EXPECT_TRUE(Has(Format8("Total number of bytes written: %d MB", Blocks("Write") / 4)));
    }
    EXPECT_EQ(StatusText.Get(), u"BENCHMARK test - Complete");
    EXPECT_THAT(Draws(), ElementsAre(ShellRecord::Draw{1, 0}, ShellRecord::Draw{0, 3},
                                     ShellRecord::Draw{4, 3}));
    EXPECT_EQ(Restores(), 1);
    EXPECT_TRUE(MessageBoxes().empty());
    EXPECT_GT(TestStats.PublishedMaxRate, 0.0f);
    // The display's maxima stay within what the bus can carry.
    EXPECT_LE(TestStats.PublishedReadMaxRate, 3880.0f);
    EXPECT_LE(TestStats.PublishedWriteMaxRate, 3880.0f);
  }
}

TEST_F(Benchmark, ReadThenWriteHandsTheBusOverOneBlockAtATime) {
  TestConfig.VerboseLogging = 1;
  SetUpSmallBulk(TestConfigRecord::ReadThenWrite);
  EXPECT_EQ(TestConfig.BurstLength, 12) << "both directions share the bus";
  RunBlocks(4);

  // Blocks alternate, the read worker first, and each turn is one worker's whole life:
  // started, one block, stopped.
  std::vector<std::string> sequence;
  for (const std::string& line : Lines()) {
    if (line.rfind("Read block ", 0) == 0) sequence.push_back("R");
    if (line.rfind("Write block ", 0) == 0) sequence.push_back("W");
  }
  ASSERT_GE(sequence.size(), 8u);
  for (size_t i = 0; i < sequence.size(); ++i) {
    EXPECT_EQ(sequence[i], i % 2 == 0 ? "R" : "W") << i;
  }
  EXPECT_GE(Count("Benchmark Read Thread started"), Blocks("Read"));
  EXPECT_LE(Count("Benchmark Read Thread started"), Blocks("Read") + 1);
  EXPECT_GE(Count("Benchmark Write Thread started"), Blocks("Write"));
  EXPECT_LE(Count("Benchmark Write Thread started"), Blocks("Write") + 1);
  // A block is the queue depth's transfers of the turn, never a partial one.
  EXPECT_EQ(TestStats.ReadBlockBytes, 4 * 65536);
  EXPECT_EQ(TestStats.WriteBlockBytes, 4 * 65536);
}

TEST_F(Benchmark, SizesTransfersAndQueueByEndpointAndSpeed) {
  const struct {
    const char* Options;
    uint32_t Type;
    int32_t TransferSize;
    const char* SizeLine;
    const char* QueueLine;
    const char* TheoreticalLine;
  } cases[] = {
      {"rate=unlimited", TestConfigRecord::Bulk, 2097152, "Transfer Size: 2097152 bytes",
       "Queue Size: 64", nullptr},
      {"rate=unlimited", TestConfigRecord::Bulk, 65536, "Transfer Size: 65536 bytes",
       "Queue Size: 64", nullptr},
      {"rate=unlimited,speed=high", TestConfigRecord::Bulk, 2097152, "Transfer Size: 524288 bytes",
       "Queue Size: 64", nullptr},
      {"rate=unlimited,speed=full", TestConfigRecord::Bulk, 262144, "Transfer Size: 65536 bytes",
       "Queue Size: 18", nullptr},
      {"rate=unlimited", TestConfigRecord::Isochronous, 65536, "Transfer Size: 1966080 bytes",
       "Queue Size: 64", "Maximum Theoretical Rate: 3000.0 Mb/s (375.0 MB/s)"},
      {"rate=unlimited,speed=high", TestConfigRecord::Isochronous, 65536,
       "Transfer Size: 393216 bytes", "Queue Size: 62",
       "Maximum Theoretical Rate: 187.5 Mb/s (23.4 MB/s)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.Options << " type " << c.Type);
    Restart();
    OpenPlug(c.Options);
    TransferSize = c.TransferSize;
    QueueSize = 64;
    SetUpBenchmark(TestConfigRecord::ReadOnly, c.Type);
    RunBlocks(1);
    EXPECT_TRUE(Has(c.SizeLine));
    EXPECT_TRUE(Has(c.QueueLine));
    if (c.TheoreticalLine != nullptr) {
      EXPECT_EQ(ResultLines().back(), c.TheoreticalLine);
    } else {
      EXPECT_EQ(CountStartingWith("Maximum Theoretical Rate"), 0);
    }
  }
}

TEST_F(Benchmark, ShortReadsCountWholeAndFailedCompletionsNothing) {
  SetUpSmallBulk(TestConfigRecord::ReadOnly, "rate=unlimited,short-read-every=2");
  RunBlocks(8);
  EXPECT_EQ(TestStats.ReadErrors, 0);
  EXPECT_TRUE(Has(Format8("Total number of bytes read: %d MB", Blocks("Read") / 4)));

  Restart();
  TestConfig.VerboseLogging = 1;
  SetUpSmallBulk(TestConfigRecord::ReadOnly, "rate=unlimited,read-error-every=2");
  RunBlocks(8);
  // Half the transfers fail: counted and logged, resubmitted, and not a published
  // error, so the rates are reported over the bytes that did arrive.
  EXPECT_GT(TestStats.ReadErrors, 0);
  EXPECT_EQ(Count("Benchmark read failed"), TestStats.ReadErrors);
  EXPECT_EQ(From("Benchmark read failed").front().category, LogCategory::Diagnostics);
  EXPECT_EQ(TestStats.PublishedErrorCount, 0);
  EXPECT_EQ(TestStats.ReadBlockBytes, 2 * 65536);
  EXPECT_FALSE(ResultLines().empty());
}

TEST_F(Benchmark, WorkerTimeoutsGiveTheErrorLinesInsteadOfRates) {
  const struct {
    uint32_t Mode;
    const char* Direction;
    const char* Line;
    const char* Counts;
  } cases[] = {{TestConfigRecord::ReadOnly, "Read", "Timeout reading benchmark data",
                "0 write error(s). %d read error(s)."},
               {TestConfigRecord::WriteOnly, "Write", "Timeout writing benchmark data",
                "%d write error(s). 0 read error(s)."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Line);
    Restart();
    // The tenth transfer submitted never completes; after each refill one more block
    // comes before the next hang.
    SetUpSmallBulk(c.Mode, "rate=unlimited,timeout-every=10");
    // At this rate only a hung transfer is ever waited for.
    EngineTiming.WorkerTransferWaitMs = 100;
    Start(BenchmarkControlThread);
    const std::string block = std::string(c.Direction) + " block ";
    // Until the queue has been refilled and a whole block has come after the time-out.
    ASSERT_TRUE(WaitUntil([&] {
      const auto after = From(c.Line);
      return std::any_of(after.begin(), after.end(),
                         [&](const CapturedRecord& r) { return r.text.rfind(block, 0) == 0; });
    }));
    StopAndWait();
    const int32_t timeouts = TestStats.PublishedErrorCount;
    ASSERT_GE(timeouts, 1);
    EXPECT_EQ(Count(c.Line), timeouts);
    EXPECT_EQ(From(c.Line).front().category, LogCategory::Error);
    // The partial block was dropped: the one after the refill holds four transfers.
    EXPECT_EQ(
        c.Mode == TestConfigRecord::ReadOnly ? TestStats.ReadBlockBytes : TestStats.WriteBlockBytes,
        4 * 65536);
    EXPECT_FALSE(Has("OVERALL BENCHMARK RESULT:"));
    EXPECT_EQ(CountStartingWith("Maximum"), 0);
    EXPECT_EQ(CountStartingWith("Average"), 0);
    const auto ending = From(Format8("%d error(s).", timeouts));
    ASSERT_EQ(ending.size(), 2u);
    EXPECT_EQ(ending[0].category, LogCategory::Error);
    EXPECT_EQ(ending[1].text, Format8(c.Counts, timeouts));
    EXPECT_EQ(ending[1].category, LogCategory::Error);
  }
}

TEST_F(Benchmark, StoppedBeforeAnyBlockReportsNoMinimum) {
  SetUpSmallBulk(TestConfigRecord::ReadOnly);
  TestStopped = true;
  ui::Window* window = window_;
  ASSERT_TRUE(StartEngineThread([window] { BenchmarkControlThread(window); }));
  WaitForEnd();
  EXPECT_THAT(ResultLines(),
              ElementsAre("OVERALL BENCHMARK RESULT:", HasSubstr("Test Start time: "),
                          "Duration: 000h 00m 00s", "Total number of bytes read: 0 MB",
                          "Maximum Read Data Rate: 0.0 Mb/s (0.0 MB/s)",
                          "Average Read Data Rate: 0.0 Mb/s (0.0 MB/s)"));
}

TEST_F(Benchmark, RemovalEndsTheRunWithoutRestoringTheControls) {
  SetUpSmallBulk(TestConfigRecord::ReadAndWrite);
  Start(BenchmarkControlThread);
  ASSERT_TRUE(WaitUntil([&] { return Blocks("Read") >= 2 && Blocks("Write") >= 2; }));
  sim_->port->UnplugNow(0, 0);
  WaitForEnd();
  EXPECT_FALSE(PlugConnected);
  EXPECT_EQ(Restores(), 0) << "without a plug the window keeps Start disabled";
  EXPECT_TRUE(MessageBoxes().empty()) << "both workers ended on their own";
  EXPECT_EQ(StatusText.Get(), u"BENCHMARK test - Complete");
}

// Blocks the worker's recovery pause until released, so that the workers cannot end in
// the controller's time.
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
  static void Arm() {
    std::lock_guard guard(lock);
    holding = released = false;
  }
  static void Release() {
    std::lock_guard guard(lock);
    released = true;
    changed.notify_all();
  }
};

TEST_F(Benchmark, WorkersThatDoNotEndInTimeGiveTheWarning) {
  SetUpSmallBulk(TestConfigRecord::ReadOnly, "rate=unlimited,timeout-every=3");
  EngineTiming.WorkerRecoveryPauseMs = 777;
  EngineTiming.WorkerTransferWaitMs = 20;
  EngineTiming.WorkersEndWaitMs = 30;
  EngineTiming.Pause = HeldPause::Pause;
  HeldPause::Arm();
  Start(BenchmarkControlThread);
  ASSERT_TRUE(WaitUntil([] {
    std::lock_guard guard(HeldPause::lock);
    return HeldPause::holding;
  }));
  StopTest();
  ASSERT_TRUE(WaitUntil([&] { return !MessageBoxes().empty(); }));
  HeldPause::Release();
  WaitForEnd();
  EXPECT_THAT(MessageBoxes(),
              ElementsAre(u"A error or timeout occured while waiting for the USB3 plug benchmark "
                          u"test to stop"));
  // The run still completes its ending.
  EXPECT_TRUE(Has("1 error(s)."));
}

}  // namespace
