#include "engines/benchmark_test.h"

#include <time.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "engines/benchmark_sync.h"
#include "engines/benchmark_transfer.h"
#include "engines/configuration.h"
#include "engines/engine_thread.h"
#include "engines/engine_timing.h"
#include "engines/find_test_endpoints.h"
#include "engines/log_at_end.h"
#include "engines/run_state.h"
#include "engines/shell_calls.h"
#include "engines/statistics.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "usb/usb_endpoint.h"

int32_t BenchmarkBlockLimit = 0;

namespace {

constexpr uint16_t kDefaultPacketsPerTransfer = 512;
constexpr uint16_t kMaxBulkPackets = 1024;
constexpr int32_t kFullSpeedBulkSpan = 262144;
constexpr int32_t kBulkSpan = 2097152;
constexpr uint32_t kStartSettleMs = 100;
constexpr uint32_t kEventsClearWaitMs = 10;
constexpr int32_t kFirmwareWithCounterCommands = 23;
constexpr double kNoMinimum = 999999.0;
constexpr uint64_t kMegabyte = 1048576;

enum class Side { Read, Write };

void AddLine(const std::u16string& text, uint32_t category) {
  LogEvent(text.c_str(), category);
}

std::u16string StartTimeText(int64_t time) {
  const time_t t = static_cast<time_t>(time);
  char text[64] = {};
  if (ctime_r(&t, text) == nullptr) return std::u16string();
  std::u16string wide = Widen8(text);
  if (!wide.empty()) wide.pop_back();
  return wide;
}

const char16_t* ModeLine(uint32_t mode) {
  switch (mode) {
    case TestConfigRecord::ReadOnly:
      return u"READING FROM USB DEVICE";
    case TestConfigRecord::WriteOnly:
      return u"WRITING TO USB DEVICE";
    default:
      return u"READING & WRITING FROM USB DEVICE";
  }
}

// Starts a worker. Its finished event is cleared here, before the thread exists, so
// that waiting for the workers to finish cannot slip past one that has not begun.
void StartWorker(Side side) {
  Event* done = side == Side::Read ? ReadWorkerDone : WriteWorkerDone;
  done->Reset();
  const bool started = side == Side::Read
                           ? StartEngineThread([] { BenchmarkReadThread(&BenchmarkBlockLimit); })
                           : StartEngineThread([] { BenchmarkWriteThread(&BenchmarkBlockLimit); });
  if (!started) done->Set();
}

// Rates of one direction, or of both together.
struct RateFigures {
  double Max = 0.0;
  double Min = kNoMinimum;
  int64_t Bytes = 0;
  double Microseconds = 0.0;
  uint64_t Blocks = 0;
};

}  // namespace

int32_t BenchmarkTransferSize(uint16_t maxPacketSize) {
  TestStats.PacketsPerTransfer = kDefaultPacketsPerTransfer;
  const int32_t packetSize = maxPacketSize;
  const uint32_t speed = TestConfig.ConnectionType;
  const bool knownSpeed =
      speed >= TestConfigRecord::FullSpeed && speed <= TestConfigRecord::SuperSpeed;
  uint16_t packets = kDefaultPacketsPerTransfer;
  if (TestConfig.EndpointType == TestConfigRecord::Bulk && knownSpeed && packetSize > 0) {
    const int32_t span = speed == TestConfigRecord::FullSpeed ? kFullSpeedBulkSpan : kBulkSpan;
    packets = static_cast<uint16_t>(span / packetSize);
    if (packets > kMaxBulkPackets) packets = kMaxBulkPackets;
  } else if (TestConfig.EndpointType == TestConfigRecord::Isochronous) {
    switch (speed) {
      case TestConfigRecord::FullSpeed:
        packets = 64;
        break;
      case TestConfigRecord::HighSpeed:
        packets = 128;
        break;
      case TestConfigRecord::SuperSpeed:
        packets = 40;
        break;
      default:
        break;
    }
  }
  // Other endpoint types and speeds have no size of their own: they move the default
  // 512 packets per transfer like an isochronous endpoint of unknown speed.
  TestStats.PacketsPerTransfer = packets;
  return static_cast<int32_t>(packets) * packetSize;
}

int32_t BenchmarkQueueDepth(float theoreticalRate, int32_t transferSize, uint8_t queueSize) {
  if (transferSize <= 0) return 1;
  const float perSecond =
      theoreticalRate * 0.125f * 1024.0f * 1024.0f / static_cast<float>(transferSize);
  int32_t depth = perSecond < static_cast<float>(queueSize) ? static_cast<int32_t>(perSecond)
                                                            : static_cast<int32_t>(queueSize);
  depth = std::min(depth, BENCHMARK_SLOTS);
  // Below one transfer a second the rule gives 0, which would leave the workers waiting
  // on a queue with nothing in it: keep one transfer in flight instead.
  return std::max(depth, 1);
}

void BenchmarkControlThread(ui::Window* mainWindow) {
  if (!BenchmarkSyncReady()) return;
  const uint32_t mode = TestConfig.BenchmarkMode;
  const bool reads = mode != TestConfigRecord::WriteOnly;
  const bool writes = mode != TestConfigRecord::ReadOnly;
  if (!FindTestEndpoints()) return;
  UsbEndpoint* const in = TestInEndpoint;
  UsbEndpoint* const out = TestOutEndpoint;
  if ((reads && in == nullptr) || (writes && out == nullptr)) return;
  UsbEndpoint* const sizing = mode == TestConfigRecord::WriteOnly ? out : in;
  const bool bulk = TestConfig.EndpointType == TestConfigRecord::Bulk;
  int32_t transferSize = BenchmarkTransferSize(sizing->MaxPacketSize);
  if (bulk) transferSize = std::min(transferSize, TransferSize);
  // An endpoint that reports no packet size cannot be benchmarked: nothing would move.
  if (transferSize <= 0) return;

  ++RunningTestThreads;
  TestStats.TotalErrors = 0;
  TestStats.ReadErrors = 0;
  TestStats.WriteErrors = 0;
  TestStats.BenchmarkStartTime = CalendarTime();

  LogEvent(u"START OF USB BENCHMARK TEST", LogCategory::Benchmark);
  std::u16string label;
  FormatDeviceLabel(label, SelectedDeviceNumber);
  LogEvent(label.c_str(), LogCategory::Loopback);
  DeviceLabel.Set(label);

  ShellDrawResults(mainWindow, 1, 0);
  const float theoretical = MaxTheoreticalRate();
  TestStats.TheoreticalMaxRate = theoretical;
  const int32_t speed = static_cast<int32_t>(TestConfig.ConnectionType);
  TestStats.RunSpeed = speed;

  for (UsbEndpoint* endpoint : {in, out}) {
    if (endpoint == nullptr) continue;
    endpoint->TimeoutMs = 2000;
    if (speed == static_cast<int32_t>(TestConfigRecord::SuperSpeed)) {
      endpoint->MaxBurst = static_cast<uint8_t>(TestConfig.BurstLength - 1);
    }
  }

  TestStats.TransferSize = transferSize;
  LogEvent(ModeLine(mode), LogCategory::Benchmark);
  const int32_t depth = BenchmarkQueueDepth(theoretical, transferSize, QueueSize);
  TestStats.QueueDepth = depth;
  AddLine(Format16("Transfer Size: %d bytes", transferSize), LogCategory::Benchmark);
  AddLine(Format16("Queue Size: %d", depth), LogCategory::Benchmark);
  TestStats.TotalErrors = 0;

  SendPlugRequest(PlugCommand::BenchmarkStart, PLUG_REQUEST_OUT, nullptr, 0);
  if (FirmwareNumber >= kFirmwareWithCounterCommands) {
    SendPlugRequest(PlugCommand::PrepareCounters, PLUG_REQUEST_OUT, nullptr, 0);
  }
  EngineTiming.Pause(kStartSettleMs);

  WaitForTwoObjects(BENCHMARK_READ_DONE, BENCHMARK_WRITE_DONE, true, kEventsClearWaitMs);
  BENCHMARK_READ_DONE->Reset();
  BENCHMARK_WRITE_DONE->Reset();
  // A run stopped in the middle of a hand-over leaves its turn signal behind; it must
  // not hand over a turn of this run that has not ended.
  BENCHMARK_START_READ->Reset();
  BENCHMARK_START_WRITE->Reset();

  const bool turns = mode == TestConfigRecord::ReadThenWrite;
  BenchmarkBlockLimit = turns ? depth : 0;
  if (reads) StartWorker(Side::Read);
  if (mode == TestConfigRecord::WriteOnly || mode == TestConfigRecord::ReadAndWrite) {
    StartWorker(Side::Write);
  }
  MonitorMayRun = false;

  const int64_t frequency = CounterFrequency();
  Side active = mode == TestConfigRecord::WriteOnly ? Side::Write : Side::Read;
  RateFigures combined, read, write;
  while (!TestStopped) {
    if (!PlugConnected) break;
    Side taken;
    if (mode == TestConfigRecord::ReadAndWrite) {
      const uint32_t which = WaitForTwoObjects(BENCHMARK_READ_DONE, BENCHMARK_WRITE_DONE, false,
                                               EngineTiming.EitherBlockWaitMs);
      if (which == WAIT_OBJECT_0) {
        taken = Side::Read;
      } else if (which == WAIT_OBJECT_0 + 1) {
        taken = Side::Write;
      } else {
        continue;
      }
    } else {
      Event* ready = active == Side::Read ? BENCHMARK_READ_DONE : BENCHMARK_WRITE_DONE;
      if (WaitForSingleObject(ready, EngineTiming.BlockWaitMs) != WAIT_OBJECT_0) continue;
      taken = active;
    }

    int64_t ticks;
    int32_t bytes;
    RateFigures& figures = taken == Side::Read ? read : write;
    {
      std::lock_guard lock(taken == Side::Read ? *ReadFiguresLock : *WriteFiguresLock);
      ticks = taken == Side::Read ? TestStats.ReadBlockTicks : TestStats.WriteBlockTicks;
      bytes = taken == Side::Read ? TestStats.ReadBlockBytes : TestStats.WriteBlockBytes;
    }
    ++figures.Blocks;

    if (turns) {
      Event* turnEnded = taken == Side::Read ? BENCHMARK_START_WRITE : BENCHMARK_START_READ;
      if (WaitForSingleObject(turnEnded, 0) == WAIT_OBJECT_0) {
        if (taken == Side::Read) {
          WaitForSingleObject(ReadWorkerDone, EngineTiming.ReadTurnEndWaitMs);
        } else {
          WaitForSingleObject(WriteWorkerDone, EngineTiming.WriteTurnEndWaitMs);
        }
        active = taken == Side::Read ? Side::Write : Side::Read;
        StartWorker(active);
      }
    }

    const double microseconds = TicksToMicroseconds(ticks, frequency);
    const double rate = RateMbps(bytes, microseconds);
    combined.Max = std::max(combined.Max, rate);
    if (rate < combined.Min && rate > 0) combined.Min = rate;
    TestStats.PublishedMaxRate = static_cast<float>(combined.Max);

    figures.Max = std::max(figures.Max, rate);
    figures.Min = std::min(figures.Min, rate);
    if (taken == Side::Read) {
      TestStats.PublishedReadMaxRate = static_cast<float>(figures.Max);
    } else {
      TestStats.PublishedWriteMaxRate = static_cast<float>(figures.Max);
    }
    AddLine(
        FormatRateLine(Format16(taken == Side::Read ? "Read block %llu: " : "Write block %llu: ",
                                static_cast<unsigned long long>(figures.Blocks)),
                       rate),
        LogCategory::Benchmark);
    ShellRateLogged(taken == Side::Read ? RateDirection::Read : RateDirection::Write, rate);
    figures.Microseconds += microseconds;
    figures.Bytes += bytes;
  }

  if (PlugConnected && FirmwareNumber >= kFirmwareWithCounterCommands) {
    SendPlugRequest(PlugCommand::EndMonitoring, PLUG_REQUEST_OUT, nullptr, 0);
  }
  if (WaitForTwoObjects(ReadWorkerDone, WriteWorkerDone, true, EngineTiming.WorkersEndWaitMs) !=
      WAIT_OBJECT_0) {
    ShowMessageBox(mainWindow,
                   u"A error or timeout occured while waiting for the USB3 plug benchmark test to "
                   u"stop",
                   u"Benchmark error", MB_OK | MB_ICONEXCLAMATION);
  }
  SendPlugRequest(PlugCommand::BenchmarkEnd, PLUG_REQUEST_OUT, nullptr, 0);

  StatusText.Set(u"BENCHMARK test - Complete");
  ShellDrawResults(mainWindow, 0, speed);
  ShellDrawResults(mainWindow, 4, speed);

  RunFigures results;
  results.TestMode = TestConfigRecord::Benchmark;
  results.StartTime = TestStats.BenchmarkStartTime;
  auto take = [](DirectionFigures& side, const RateFigures& from) {
    side.Present = true;
    side.MaxMbps = from.Max;
    if (from.Min < kNoMinimum) side.MinMbps = from.Min;
    side.AverageMbps = RateMbps(static_cast<double>(from.Bytes), from.Microseconds);
    side.Bytes = static_cast<uint64_t>(from.Bytes);
    side.Operations = from.Blocks;
  };
  if (reads) take(results.Read, read);
  if (writes) take(results.Write, write);
  if (reads && writes) {
    results.AverageMbps = RateMbps(static_cast<double>(read.Bytes + write.Bytes),
                                   read.Microseconds + write.Microseconds);
    if (combined.Min <= combined.Max) results.MinMbps = combined.Min;
  }
  ShellResultsWritten(results);

  const int32_t publishedErrors = TestStats.PublishedErrorCount;
  if (publishedErrors == 0) {
    const uint32_t category = LogCategory::Benchmark;
    LogEvent(u"OVERALL BENCHMARK RESULT:", category);
    const int64_t startTime = TestStats.BenchmarkStartTime;
    if (startTime != 0) {
      LogEventText(u"Test Start time: %s", StartTimeText(startTime).c_str(), category);
    }
    std::u16string duration;
    FormatDuration(TestStats.ElapsedSeconds, duration);
    AddLine(duration, category);
    if (writes) {
      AddLine(Format16("Total number of bytes written: %llu MB",
                       static_cast<unsigned long long>(write.Bytes) / kMegabyte),
              category);
    }
    if (reads) {
      AddLine(Format16("Total number of bytes read: %llu MB",
                       static_cast<unsigned long long>(read.Bytes) / kMegabyte),
              category);
    }
    // The display's figure is kept within what the bus can carry; the line says what
    // was measured.
    if (writes) {
      TestStats.PublishedWriteMaxRate =
          std::min(TestStats.PublishedWriteMaxRate.load(), theoretical);
      AddLine(FormatRateLine(u"Maximum Write Data Rate: ", write.Max), category);
    }
    if (reads) {
      TestStats.PublishedReadMaxRate = std::min(TestStats.PublishedReadMaxRate.load(), theoretical);
      AddLine(FormatRateLine(u"Maximum Read Data Rate: ", read.Max), category);
    }
    if (writes && write.Min < kNoMinimum) {
      AddLine(FormatRateLine(u"Minimum Write Data Rate: ", write.Min), category);
    }
    if (reads && read.Min < kNoMinimum) {
      AddLine(FormatRateLine(u"Minimum Read Data Rate: ", read.Min), category);
    }
    // Averages are bytes over measured time; no measured time gives 0.
    if (writes) {
      AddLine(FormatRateLine(u"Average Write Data Rate: ",
                             RateMbps(static_cast<double>(write.Bytes), write.Microseconds)),
              category);
    }
    if (reads) {
      AddLine(FormatRateLine(u"Average Read Data Rate: ",
                             RateMbps(static_cast<double>(read.Bytes), read.Microseconds)),
              category);
    }
    if (reads && writes) {
      AddLine(FormatRateLine(u"Average Data Rate: ",
                             RateMbps(static_cast<double>(read.Bytes + write.Bytes),
                                      read.Microseconds + write.Microseconds)),
              category);
      if (combined.Min <= combined.Max) {
        AddLine(FormatRateLine(u"Minimum Data Rate: ", combined.Min), category);
      }
    }
    if (TestConfig.EndpointType == TestConfigRecord::Isochronous) {
      AddLine(FormatRateLine(u"Maximum Theoretical Rate: ", theoretical), category);
    }
  } else {
    AddLine(Format16("%d error(s).", publishedErrors), LogCategory::Error);
    AddLine(Format16("%d write error(s). %d read error(s).", TestStats.WriteErrors.load(),
                     TestStats.ReadErrors.load()),
            LogCategory::Error);
  }

  StopTest();
  if (TestConfig.SaveLogAtEnd) SaveLogWithoutDialog(mainWindow);
  MonitorMayRun = true;
  // Before the count drops: once it is 0, exit may destroy the window.
  if (PlugConnected) ShellRestoreIdleControls(mainWindow);
  --RunningTestThreads;
}
