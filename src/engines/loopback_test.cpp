#include "engines/loopback_test.h"

#include <time.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "engines/bus_error_lines.h"
#include "engines/configuration.h"
#include "engines/engine_timing.h"
#include "engines/find_test_endpoints.h"
#include "engines/log_at_end.h"
#include "engines/patterns.h"
#include "engines/run_state.h"
#include "engines/shell_calls.h"
#include "engines/statistics.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "plug/plug_monitor.h"
#include "plug/plug_requests.h"
#include "plug/plug_selection.h"
#include "protocol/bus_error_report.h"
#include "protocol/driver_requests.h"
#include "usb/usb_device.h"
#include "usb/usb_endpoint.h"
#include "usb/usb_status.h"

namespace {

constexpr int32_t kBlock = 65536;
constexpr uint32_t kThrottleSliceMs = 100;
constexpr uint32_t kThrottleEveryLoops = 8000;
constexpr uint32_t kBusErrorPollEveryLoops = 1000;
constexpr uint32_t kTransferTimeoutMs = 3000;
constexpr uint32_t kCounterSettleMs = 100;
// Firmware before this one stops the test at its first failed loop.
constexpr int32_t kFirmwareGoingOnAfterFailure = 22;
// Firmware from this one on has the newer bus-error commands.
constexpr int32_t kFirmwareWithCounterCommands = 23;
constexpr double kNoMinimum = 999999.0;

void AddLine(const std::u16string& text, uint32_t category) {
  LogEvent(text.c_str(), category);
}

// "Wed Jun 30 21:49:08 1993" in local time: the standard calendar text without its
// closing newline.
std::u16string StartTimeText(int64_t time) {
  const time_t t = static_cast<time_t>(time);
  char text[64] = {};
  if (ctime_r(&t, text) == nullptr) return std::u16string();
  std::u16string wide = Widen8(text);
  if (!wide.empty()) wide.pop_back();
  return wide;
}

void PrepareBusErrorCounters() {
  if (FirmwareNumber < kFirmwareWithCounterCommands) {
    uint8_t mask[2];
    PutLe16(mask, PLUG_ERROR_MASK_OLD);
    SendPlugRequest(PlugCommand::ErrorMask, PLUG_REQUEST_OUT, mask, sizeof mask);
    // The first read clears the counts gathered since power-up.
    uint8_t report[PLUG_BUS_ERROR_REPORT_SIZE] = {};
    SendPlugRequest(PlugCommand::BusErrors, PLUG_REQUEST_IN, report, sizeof report);
    return;
  }
  SendPlugRequest(PlugCommand::PrepareCounters, PLUG_REQUEST_OUT, nullptr, 0);
  EngineTiming.Pause(kCounterSettleMs);
  uint8_t mask[4];
  PutLe32(mask, PLUG_ERROR_MASK_NEW);
  SendPlugRequest(PlugCommand::ErrorMask, PLUG_REQUEST_OUT, mask, sizeof mask);
  SendPlugRequest(PlugCommand::StartCounting, PLUG_REQUEST_OUT, nullptr, 0);
}

// Running bus-error totals of one run.
struct BusErrorTotals {
  uint64_t Physical = 0;
  uint64_t Link = 0;
  uint64_t PhysicalReported = 0;
  uint64_t LinkReported = 0;
};

// Adds what a count grew by since it was last reported to the run's errors.
void ReportGrowth(uint64_t total, uint64_t& reported, const char* format) {
  if (total <= reported) return;
  const uint64_t growth = total - reported;
  TestStats.TotalErrors += static_cast<int32_t>(growth);
  AddLine(Format16(format, static_cast<unsigned long long>(growth)), LogCategory::Error);
  reported = total;
}

void PollBusErrors(BusErrorTotals& totals) {
  uint8_t raw[PLUG_BUS_ERROR_REPORT_SIZE] = {};
  if (SendPlugRequest(PlugCommand::BusErrors, PLUG_REQUEST_IN, raw, sizeof raw) != 1) {
    UsbDevice* device = PlugDevice;
    if (device != nullptr && device->ControlEndpoint != nullptr) {
      device->ControlEndpoint->AbortTransfers();
      device->ControlEndpoint->ResetEndpoint();
    }
    return;
  }
  const BusErrorReport report = ReadBusErrorReport(raw);
  totals.Physical += report.PhyCount;
  totals.Link += report.LinkCount;
  ReportGrowth(totals.Physical, totals.PhysicalReported,
               "%llu Physical Layer error(s) occurred.\n");
  for (const char16_t* line : PhysicalLayerFlagLines(report.PhyFlags, FirmwareNumber)) {
    LogEvent(line, LogCategory::Error);
  }
  ReportGrowth(totals.Link, totals.LinkReported, "%llu Link Layer error(s) occurred.\n");
  for (const char16_t* line : LinkLayerFlagLines(report.LinkFlags)) {
    LogEvent(line, LogCategory::Error);
  }
}

void CountFailure(std::atomic<int32_t>& directionErrors) {
  ++TestStats.TotalErrors;
  ++directionErrors;
}

// The loop lines come at the loop rate, one per loop in verbose mode: formatted on the
// stack. rate < 0: the line has no rate.
void AddLoopLine(uint32_t loop, bool range, const char* what, double rate) {
  char text[160];
  const unsigned long last = loop;
  int n = range ? std::snprintf(text, sizeof text, "Loop %lu - %lu, %s", last - 9, last, what)
                : std::snprintf(text, sizeof text, "Loop %lu, %s", last, what);
  if (rate >= 0.0 && n > 0 && static_cast<size_t>(n) < sizeof text) {
    FormatRate(text + n, sizeof text - static_cast<size_t>(n), rate);
  }
  char16_t wide[sizeof text];
  size_t i = 0;
  for (; i + 1 < sizeof text && text[i] != 0; ++i) wide[i] = static_cast<unsigned char>(text[i]);
  wide[i] = 0;
  LogEvent(wide, LogCategory::Loopback);
}

void Throttle(uint32_t loop) {
  // The dialog keeps the load at 1..100; anything above counts as full load.
  const int32_t load = TestConfig.LoopbackLoad;
  if (load < 100 && loop % kThrottleEveryLoops == 0) {
    ThrottleSleep(static_cast<uint32_t>((100 - load) * 70));
  }
  if (load < 50) ThrottleSleep(static_cast<uint32_t>((50 - load) / 2));
}

}  // namespace

void ThrottleSleep(uint32_t milliseconds) {
  if (milliseconds < kThrottleSliceMs) {
    EngineTiming.Pause(milliseconds);
    return;
  }
  uint32_t left = milliseconds;
  while (left > 0) {
    const uint32_t slice = left < kThrottleSliceMs ? left : kThrottleSliceMs;
    EngineTiming.Pause(slice);
    left -= slice;
    if (TestStopped) return;
  }
}

void LoopbackTestThread(ui::Window* mainWindow) {
  const int32_t speed = static_cast<int32_t>(TestConfig.ConnectionType);
  TestStats.RunSpeed = speed;
  TestStats.TransferSize = kBlock;

  std::unique_ptr<uint8_t[]> readBuffer(new (std::nothrow) uint8_t[kBlock]());
  std::unique_ptr<uint8_t[]> writeBuffer(readBuffer ? new (std::nothrow) uint8_t[kBlock]()
                                                    : nullptr);
  if (!readBuffer || !writeBuffer) {
    LogEvent(u"Test Stopped due to Error: Could not allocate memory buffers", LogCategory::Error);
    TestStopped = true;
    return;
  }
  FillTestPattern(kBlock, writeBuffer.get());

  if (!FindTestEndpoints()) return;
  UsbEndpoint* const out = TestOutEndpoint;
  UsbEndpoint* const in = TestInEndpoint;
  if (out == nullptr || in == nullptr) return;

  out->TimeoutMs = kTransferTimeoutMs;
  in->TimeoutMs = kTransferTimeoutMs;
  if (speed == static_cast<int32_t>(TestConfigRecord::SuperSpeed)) {
    out->MaxBurst = 0;
    in->MaxBurst = 0;
  }
  out->SetDriverTransferSize(kBlock);
  in->SetDriverTransferSize(kBlock);

  TestStats.TotalErrors = 0;
  TestStats.ReadErrors = 0;
  TestStats.WriteErrors = 0;
  TestStats.VerificationErrors = 0;
  ++RunningTestThreads;
  const int64_t startTime = CalendarTime();

  LogEvent(u"START OF USB TEST_LOOPBACK TEST", LogCategory::Loopback);
  std::u16string label;
  FormatDeviceLabel(label, SelectedDeviceNumber);
  DeviceLabel.Set(label);
  LogEventText(u"Testing device %s", label.c_str(), LogCategory::Loopback);

  ShellDrawResults(mainWindow, 1, 0);
  MonitorMayRun = false;

  out->AbortTransfers();
  out->ResetEndpoint();
  in->AbortTransfers();
  in->ResetEndpoint();
  PrepareBusErrorCounters();

  const int64_t frequency = CounterFrequency();
  uint32_t loop = 0;
  int32_t bytesWritten = 0;
  int32_t bytesRead = 0;
  // A failed loop carries the figures of the last good one; before any good loop there
  // are none, so such a loop adds no time and offers no rate.
  double elapsedUs = 0.0;
  double rate = 0.0;
  double maxRate = 0.0;
  double minRate = kNoMinimum;
  double tenLoopSum = 0.0;
  int64_t totalWritten = 0;
  int64_t totalRead = 0;
  double totalUs = 0.0;
  BusErrorTotals busErrors;

  while (!TestStopped) {
    if (!PlugConnected) break;
    ++loop;
    const int64_t t0 = QueryPerformanceCounter();
    int64_t t1 = t0;
    bool failed = true;

    int32_t length = kBlock;
    const bool wrote = out->TransferSync(writeBuffer.get(), length);
    bytesWritten = length;
    if (!wrote) {
      ReportDriverError(u"Write failed", out->LastWinError, out);
      CountFailure(TestStats.WriteErrors);
      out->AbortTransfers();
      out->ResetEndpoint();
    } else if (length != kBlock) {
      AddLine(Format16("Write error: %d bytes sent (of %d bytes)", length, kBlock),
              LogCategory::Error);
      CountFailure(TestStats.WriteErrors);
    } else {
      length = kBlock;
      const bool read = in->TransferSync(readBuffer.get(), length);
      bytesRead = length;
      if (!read) {
        // A plug that has gone away explains the failure itself.
        if (PlugConnected) ReportDriverError(u"Read failed", in->LastWinError, in);
        CountFailure(TestStats.ReadErrors);
        in->AbortTransfers();
        in->ResetEndpoint();
      } else if (length != kBlock) {
        AddLine(Format16("Read error: %d bytes read (of %d bytes)", length, kBlock),
                LogCategory::Error);
        CountFailure(TestStats.ReadErrors);
      } else {
        t1 = QueryPerformanceCounter();
        failed = false;
        if (TestConfig.VerifyData) {
          const int32_t mismatches =
              VerifyLoopbackData(readBuffer.get(), writeBuffer.get(), length);
          TestStats.VerificationErrors += mismatches;
          TestStats.TotalErrors += mismatches;
        }
      }
    }

    if (failed && FirmwareNumber < kFirmwareGoingOnAfterFailure) break;

    if (TestConfig.CheckBusErrors &&
        (loop % kBusErrorPollEveryLoops == 0 || TestConfig.VerboseLogging || failed)) {
      PollBusErrors(busErrors);
    }

    TestStats.PublishedLoopCount = loop;
    TestStats.PublishedErrorCount = TestStats.TotalErrors.load();

    if (!failed) {
      elapsedUs = TicksToMicroseconds(t1 - t0, frequency);
      // A loop too quick for the counter to see has no rate rather than an infinite one.
      rate = RateMbps(static_cast<double>(bytesWritten) + bytesRead, elapsedUs);
    }
    if (rate > maxRate) maxRate = rate;
    if (rate < minRate && rate > 0) minRate = rate;
    totalWritten += bytesWritten;
    totalRead += bytesRead;
    totalUs += elapsedUs;

    if (TestConfig.VerboseLogging) {
      if (failed) {
        AddLoopLine(loop, false, "Failed", -1.0);
      } else {
        AddLoopLine(loop, false, "Speed ", rate);
        ShellRateLogged(RateDirection::Loopback, rate);
      }
    } else {
      tenLoopSum += rate;
      if (failed) {
        AddLoopLine(loop, loop >= 10, "Failed", -1.0);
      } else if (loop % 10 == 0) {
        AddLoopLine(loop, true, "Avg Speed ", tenLoopSum / 10.0);
        ShellRateLogged(RateDirection::Loopback, tenLoopSum / 10.0);
        tenLoopSum = 0.0;
      }
    }

    Throttle(loop);
  }

  if (!PlugConnected) {
    TestStopped = true;
    LogEvent(u"Test stopped due to device removal", LogCategory::Error);
  } else if (FirmwareNumber >= kFirmwareWithCounterCommands) {
    SendPlugRequest(PlugCommand::EndMonitoring, PLUG_REQUEST_OUT, nullptr, 0);
  }

  MonitorMayRun = true;
  StatusText.Set(u"LOOPBACK test - Complete");
  ShellDrawResults(mainWindow, 0, speed);
  ShellDrawResults(mainWindow, 4, speed);

  // No time measured (no good loop) gives an average of 0.
  const double average = RateMbps(static_cast<double>(totalRead + totalWritten), totalUs);
  RunFigures figures;
  figures.TestMode = TestConfigRecord::Loopback;
  figures.StartTime = startTime;
  figures.Loopback.Present = true;
  figures.Loopback.MaxMbps = maxRate;
  if (minRate <= maxRate) figures.Loopback.MinMbps = minRate;
  figures.Loopback.AverageMbps = average;
  figures.Loopback.Bytes = static_cast<uint64_t>(totalRead + totalWritten);
  figures.Loopback.Operations = loop;
  figures.PhysicalLayerErrors = static_cast<int64_t>(busErrors.Physical);
  figures.LinkLayerErrors = static_cast<int64_t>(busErrors.Link);
  ShellResultsWritten(figures);

  const int32_t totalErrors = TestStats.TotalErrors;
  const uint32_t category =
      (totalErrors != 0 || TestStats.ReadErrors != 0 || TestStats.WriteErrors != 0)
          ? LogCategory::Error
          : LogCategory::Pass;
  LogEvent(u"RESULTS:", category);
  if (startTime != 0) {
    LogEventText(u"Test Start time: %s", StartTimeText(startTime).c_str(), category);
  }
  std::u16string duration;
  FormatDuration(TestStats.ElapsedSeconds, duration);
  AddLine(duration, category);
  AddLine(FormatRateLine(u"Maximum Data Rate: ", maxRate), category);
  if (minRate <= maxRate) AddLine(FormatRateLine(u"Minimum Data Rate: ", minRate), category);
  AddLine(FormatRateLine(u"Average Rate: ", average), category);
  AddLine(Format16("%d operations.", static_cast<int>(loop)), category);
  AddLine(Format16("%d error(s).", totalErrors), category);
  if (totalErrors > 0) {
    AddLine(Format16("%d write error(s). %d read error(s). %d verification error(s).",
                     TestStats.WriteErrors.load(), TestStats.ReadErrors.load(),
                     TestStats.VerificationErrors.load()),
            category);
    AddLine(Format16("%d physical layer error(s). ", static_cast<int>(busErrors.Physical)),
            category);
    AddLine(Format16("%d link layer error(s). ", static_cast<int>(busErrors.Link)), category);
  }
  LogEvent(u"END OF USB LOOPBACK TEST", LogCategory::Loopback);

  StopTest();
  ShellRestoreIdleControls(mainWindow);
  if (TestConfig.SaveLogAtEnd) SaveLogWithoutDialog(mainWindow);

  // Last of all: once the count drops, exit may tear down what this thread used.
  readBuffer.reset();
  writeBuffer.reset();
  --RunningTestThreads;
}
