#include "log/log_export.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "log/event_log.h"
#include "log/log_test_support.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr int64_t kFriday = 1614953229;     // Fri Mar  5 14:07:09 2021 UTC
constexpr int64_t kSaturday = 1615000000;   // Sat Mar  6 03:06:40 2021 UTC
constexpr int64_t kWednesday = 1615939200;  // Wed Mar 17 00:00:00 2021 UTC

std::atomic<int64_t> g_now{kFriday};
int64_t TestClock() {
  return g_now.load();
}

std::u16string U16(const std::filesystem::path& path) {
  return Utf8ToUtf16(path.string());
}

class LogExport : public ::testing::Test {
 protected:
  LogExport() {
    g_now = kFriday;
    log_.SetTimeSource(&TestClock);
  }
  SavedEnv zone_{"TZ", "UTC0"};
  ScratchFolder folder_;
  Logger log_;
};

const char kHeader[] =
    "QUORVALE Tarnwick Log file\r\n"
    "==========================\r\n";

}  // namespace

TEST_F(LogExport, WritesHeaderCountAndEveryRecordByteForByte) {
  const auto path = folder_.path() / "log.txt";
  ASSERT_TRUE(WriteLogFile(&log_, U16(path)));
  EXPECT_EQ(ReadWholeFile(path), std::string(kHeader) + "Number of records logged: 0\r\n\r\n");

  log_.AddRecord(u"Loopback test started", LogCategory::Loopback);
  log_.AddRecord(u"Caf\u00E9 \u20AC5\tok", LogCategory::Information);
  log_.AddRecord(u"All done", LogCategory::Pass);
  g_now = kSaturday;
  log_.AddRecord(u"odd   category", 12);
  log_.AddRecord(u"Delete me", LogCategory::MinorError);
  g_now = kWednesday;
  log_.AddRecord(u"Diagnostics  last", LogCategory::Diagnostics);
  WriteWholeFile(path, "an older, longer file that must be replaced entirely\n\n\n\n\n\n\n\n");
  ASSERT_TRUE(WriteLogFile(&log_, U16(path)));
  EXPECT_EQ(ReadWholeFile(path),
            std::string(kHeader) +
                "Number of records logged: 6\r\n"
                "\r\n"
                "Fri Mar  5 14:07:09 2021: Loopback   - Loopback test started\r\n"
                "Fri Mar  5 14:07:09 2021: Information- Caf\xE9 ?5 ok\r\n"
                "Fri Mar  5 14:07:09 2021: PASS       - All done\r\n"
                "Sat Mar  6 03:06:40 2021: ERROR      - odd   category\r\n"
                "Sat Mar  6 03:06:40 2021: Minor Error- Delete me\r\n"
                "Wed Mar 17 00:00:00 2021: Diagnostics- Diagnostics last\r\n");
  EXPECT_EQ(log_.RecordCount(), 6u);  // saving only reads
}

// A record's line on its own is the file's line without the line end, for any category,
// and an observer of the log sees each record as stored (cleaned) in the order added.
TEST_F(LogExport, ARecordsLineIsTheFilesLineAndObserversSeeRecordsAsStored) {
  static std::vector<std::u16string> seen;
  seen.clear();
  Logger* const previous = LogRecord;
  LogRecord = &log_;
  SetLogRecordObserver([](const char16_t* text, uint32_t category, int64_t time) {
    seen.push_back(LogLine(time, category, text));
  });
  LogEvent(u"first\tline", LogCategory::Loopback);
  g_now = kSaturday;
  LogEventNumber(u"%d error(s).", 3, LogCategory::Error);
  LogEvent(u"odd", 12);
  SetLogRecordObserver(nullptr);
  LogEvent(u"unseen", LogCategory::Information);
  LogRecord = previous;

  const auto path = folder_.path() / "log.txt";
  ASSERT_TRUE(WriteLogFile(&log_, U16(path)));
  std::istringstream file(ReadWholeFile(path));
  std::vector<std::u16string> lines;
  for (std::string line; std::getline(file, line);) {
    if (line.size() > 24 && line[24] == ':' && line.rfind("Number", 0) != 0)
      lines.push_back(Widen8(line.substr(0, line.size() - 1)));
  }
  ASSERT_EQ(lines.size(), 4u);
  ASSERT_EQ(seen.size(), 3u);
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], lines[i]);
  EXPECT_EQ(seen[0], u"Fri Mar  5 14:07:09 2021: Loopback   - first line");
  EXPECT_EQ(seen[2], u"Sat Mar  6 03:06:40 2021: ERROR      - odd");
}

TEST_F(LogExport, UnwritablePathWritesNothingAndReturns) {
  log_.AddRecord(u"precious", LogCategory::Error);
  const auto blocker = folder_.path() / "not-a-folder";
  WriteWholeFile(blocker, "x");
  EXPECT_FALSE(WriteLogFile(&log_, U16(blocker / "log.txt")));
  EXPECT_FALSE(WriteLogFile(&log_, U16(folder_.path() / "missing" / "log.txt")));
  EXPECT_FALSE(WriteLogFile(&log_, u""));
  EXPECT_FALSE(WriteLogFile(nullptr, U16(folder_.path() / "no-log.txt")));
  EXPECT_FALSE(std::filesystem::exists(folder_.path() / "no-log.txt"));
  EXPECT_EQ(ReadWholeFile(blocker), "x");
  EXPECT_EQ(log_.RecordCount(), 1u);
}

TEST_F(LogExport, RecordsAddedDuringTheSaveAfterTheCountAreLeftOut) {
  for (int i = 0; i < 2000; ++i)
    log_.AddRecord(Utf8ToUtf16("before " + std::to_string(i)).c_str(), LogCategory::Benchmark);
  LogRecord = &log_;
  std::atomic<bool> stop{false};
  std::thread writer([&stop] {
    // Bounded well below the ring's capacity, so the oldest records stay put and the
    // file can be compared with the log afterwards.
    for (int i = 0; !stop.load() && i < 100000; ++i)
      LogEvent(Utf8ToUtf16("during " + std::to_string(i)).c_str(), LogCategory::Loopback);
  });
  const auto path = folder_.path() / "busy.txt";
  const bool written = WriteLogFile(&log_, U16(path));
  stop = true;
  writer.join();
  LogRecord = nullptr;
  ASSERT_TRUE(written);

  // The file says how many records it holds, holds exactly those, and they are the
  // log's oldest records in order.
  std::istringstream in(ReadWholeFile(path));
  std::string line;
  for (int i = 0; i < 3; ++i) std::getline(in, line);
  ASSERT_EQ(line.rfind("Number of records logged: ", 0), 0u);
  const int count = std::stoi(line.substr(26));
  EXPECT_GE(count, 2000);
  std::getline(in, line);
  EXPECT_EQ(line, "\r");
  int lines = 0;
  while (std::getline(in, line)) {
    ASSERT_LT(lines, count);
    const char16_t* record = log_.GetRecord(lines, nullptr, nullptr);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(line.substr(39), Utf16ToUtf8(record) + "\r");
    ++lines;
  }
  EXPECT_EQ(lines, count);
}

TEST_F(LogExport, DefaultNamesCarryStampAndSerial) {
  EXPECT_EQ(LogFileName(kFriday, u"ABC123"), u"20210305-140709-ABC123.txt");
  EXPECT_EQ(LogFileName(kFriday, u""), u"20210305-140709.txt");
  EXPECT_EQ(LogFileName(kSaturday, u"123456789012345678901234"),
            u"20210306-030640-12345678901234567890.txt");
  EXPECT_EQ(LogFileName(kFriday, u"AB/12"), u"20210305-140709-AB_12.txt");
  EXPECT_EQ(LogFileName(kFriday, std::u16string(u"\0junk", 5)), u"20210305-140709.txt");

  const auto exe = std::filesystem::canonical("/proc/self/exe");
  EXPECT_EQ(ProgramFolder(), U16(exe.parent_path()));
  EXPECT_EQ(DefaultLogPath(kFriday, u"ABC123"),
            U16(exe.parent_path() / "20210305-140709-ABC123.txt"));
}
