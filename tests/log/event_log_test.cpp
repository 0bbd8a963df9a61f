#include "log/event_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"

namespace {

int64_t FixedTime() {
  return 1614953229;
}

std::u16string Text(const char16_t* p) {
  return p ? std::u16string(p) : u"<none>";
}

std::u16string Get(Logger& log, int32_t index) {
  return Text(log.GetRecord(index, nullptr, nullptr));
}

std::u16string Stored(const std::u16string& text, uint32_t category) {
  Logger log;
  log.AddRecord(text.c_str(), category);
  return Get(log, 0);
}

// Resident set size of this process in bytes.
size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Installs a log as LogRecord for one test and removes it again.
class GlobalLog {
 public:
  GlobalLog() {
    log_.SetTimeSource(&FixedTime);
    LogRecord = &log_;
  }
  ~GlobalLog() {
    LogRecord = nullptr;
    SetLogRecordAddedHook(nullptr);
  }
  Logger& log() { return log_; }

 private:
  Logger log_;
};

}  // namespace

TEST(EventLog, EmptyLogGivesNoRecordsAndResetsOnlyTheCategory) {
  Logger log;
  EXPECT_EQ(log.RecordCount(), 0u);
  uint32_t category = 77;
  int64_t time = 1234;
  EXPECT_EQ(log.GetRecord(0, &category, &time), nullptr);
  EXPECT_EQ(category, 0u);
  EXPECT_EQ(time, 1234);
  category = 77;
  EXPECT_EQ(log.GetRecord(-1, &category, &time), nullptr);
  EXPECT_EQ(category, 0u);
  EXPECT_EQ(time, 1234);
}

TEST(EventLog, IndexesCountFromOldestAndFromNewest) {
  Logger log;
  log.SetTimeSource(&FixedTime);
  log.AddRecord(u"first", LogCategory::Loopback);
  log.AddRecord(u"second", LogCategory::Pass);
  log.AddRecord(u"third", LogCategory::Benchmark);
  ASSERT_EQ(log.RecordCount(), 3u);

  uint32_t category = 0;
  int64_t time = 0;
  EXPECT_EQ(Text(log.GetRecord(1, &category, &time)), u"second");
  EXPECT_EQ(category, LogCategory::Pass);
  EXPECT_EQ(time, FixedTime());
  EXPECT_EQ(Get(log, 0), u"first");
  EXPECT_EQ(Get(log, 2), u"third");
  EXPECT_EQ(Get(log, -1), u"third");
  EXPECT_EQ(Get(log, -3), u"first");

  for (int32_t outside : {3, 4, -4, -5, INT32_MIN, INT32_MAX}) {
    category = 99;
    time = 55;
    EXPECT_EQ(log.GetRecord(outside, &category, &time), nullptr) << outside;
    EXPECT_EQ(category, 0u) << outside;
    EXPECT_EQ(time, 55) << outside;
  }
}

TEST(EventLog, ReservesLazilyWrapsAtCapacityAndClearGivesMemoryBack) {
  const size_t before = ResidentBytes();
  Logger log;
  // 180 MB of text rows must not become resident just by constructing the log.
  EXPECT_LT(ResidentBytes(), before + 16 * 1024 * 1024);

  const int32_t full = Logger::kCapacity - 1;
  for (int32_t i = 0; i < full; ++i) {
    std::u16string t = Utf8ToUtf16("record " + std::to_string(i));
    log.AddRecord(t.c_str(), static_cast<uint32_t>(i % 9));
  }
  ASSERT_EQ(log.RecordCount(), 300000u);
  EXPECT_EQ(Get(log, 0), u"record 0");
  EXPECT_EQ(Get(log, -1), u"record 299999");
  EXPECT_EQ(Get(log, 300000), u"<none>");

  // One more drops the oldest; the count stays.
  log.AddRecord(u"record 300000", LogCategory::Information);
  EXPECT_EQ(log.RecordCount(), 300000u);
  EXPECT_EQ(Get(log, 0), u"record 1");
  EXPECT_EQ(Get(log, -1), u"record 300000");
  EXPECT_EQ(Get(log, 299999), u"record 300000");
  EXPECT_EQ(Get(log, -300000), u"record 1");
  EXPECT_EQ(Get(log, -300001), u"<none>");

  // Keep going through a second lap so head and tail both wrap past the end.
  for (int32_t i = 300001; i < 300001 + 5; ++i) {
    std::u16string t = Utf8ToUtf16("record " + std::to_string(i));
    log.AddRecord(t.c_str(), LogCategory::Results);
  }
  EXPECT_EQ(log.RecordCount(), 300000u);
  EXPECT_EQ(Get(log, 0), u"record 6");
  EXPECT_EQ(Get(log, -1), u"record 300005");
  uint32_t category = 0;
  log.GetRecord(-1, &category, nullptr);
  EXPECT_EQ(category, LogCategory::Results);

  const size_t filled = ResidentBytes();
  EXPECT_GT(filled, before + 150 * 1024 * 1024);
  log.Clear();
  EXPECT_LT(ResidentBytes(), filled - 150 * 1024 * 1024);
  EXPECT_EQ(log.RecordCount(), 0u);
  EXPECT_EQ(Get(log, 0), u"<none>");
  EXPECT_EQ(Get(log, -1), u"<none>");

  log.AddRecord(u"after clear", LogCategory::Information);
  EXPECT_EQ(log.RecordCount(), 1u);
  EXPECT_EQ(Get(log, 0), u"after clear");
  EXPECT_EQ(Get(log, -1), u"after clear");
  EXPECT_EQ(Get(log, 1), u"<none>");
}

TEST(EventLog, ClearOfASmallLogEmptiesIt) {
  Logger log;
  for (int i = 0; i < 5; ++i) log.AddRecord(u"x", LogCategory::Information);
  log.Clear();
  EXPECT_EQ(log.RecordCount(), 0u);
  log.AddRecord(u"new", LogCategory::Pass);
  log.AddRecord(u"", LogCategory::Pass);  // an empty text leaves its slot looking free
  EXPECT_EQ(log.RecordCount(), 2u);
  EXPECT_EQ(Get(log, 0), u"new");
  EXPECT_EQ(Get(log, 1), u"<none>");
}

TEST(EventLog, CleaningReplacesControlCharactersAndCutsAt299) {
  EXPECT_EQ(Stored(u"a\tb\r\nc\x01\x1F"
                   u"d\x7F",
                   LogCategory::Information),
            u"a b  c  d\x7F");
  EXPECT_EQ(Stored(std::u16string(400, u'q'), LogCategory::Information), std::u16string(299, u'q'));
  EXPECT_EQ(Stored(u"", LogCategory::Information), u"<none>");
  EXPECT_EQ(Stored(u"\u00E9\u20AC ok", LogCategory::Information), u"\u00E9\u20AC ok");
}

TEST(EventLog, BlankRunsCollapseOnlyForErrorAndDiagnostics) {
  const std::u16string text = u"two   words\t\tand\n end ";
  EXPECT_EQ(Stored(text, LogCategory::Error), u"two words and end ");
  EXPECT_EQ(Stored(text, LogCategory::Diagnostics), u"two words and end ");
  for (uint32_t category : {0u, 1u, 2u, 5u, 6u, 7u, 8u, 9u})
    EXPECT_EQ(Stored(text, category), u"two   words  and  end ") << category;
}

TEST(EventLog, CollapsingWorksOnTheFirst300CharactersBeforeTheCut) {
  // 300 characters: a, four blanks, 295 b; then text that must never be looked at.
  const std::u16string text = u"a    " + std::u16string(295, u'b') + u"cdef";
  EXPECT_EQ(Stored(text, LogCategory::Error), u"a " + std::u16string(295, u'b'));
  // Collapsing frees room, but what lies past 300 characters still does not come in.
  const std::u16string longer = u"x   y" + std::u16string(400, u'z');
  EXPECT_EQ(Stored(longer, LogCategory::Diagnostics), u"x y" + std::u16string(295, u'z'));
}

TEST(EventLog, LogEventRunsTheHookOnceAfterReleasingTheLock) {
  GlobalLog global;
  static std::atomic<int> calls{0};
  static std::atomic<bool> lockWasFree{true};
  static std::u16string newest;
  calls = 0;
  SetLogRecordAddedHook([] {
    ++calls;
    std::unique_lock lock(LogRecord->Lock(), std::try_to_lock);
    if (!lock.owns_lock()) lockWasFree = false;
    newest = Text(LogRecord->GetRecord(-1, nullptr, nullptr));
  });
  LogEvent(u"one", LogCategory::Information);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(newest, u"one");
  LogEventNumber(u"n=%d", 7, LogCategory::Loopback);
  LogEventText(u"t=%s", u"x", LogCategory::Loopback);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(newest, u"t=x");
  EXPECT_TRUE(lockWasFree);
  EXPECT_EQ(global.log().RecordCount(), 3u);

  SetLogRecordAddedHook(nullptr);
  LogEvent(u"quiet", LogCategory::Information);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(global.log().RecordCount(), 4u);
}

TEST(EventLog, LogEventWithoutALogDoesNothing) {
  static std::atomic<int> calls{0};
  calls = 0;
  SetLogRecordAddedHook([] { ++calls; });
  ASSERT_EQ(LogRecord, nullptr);
  LogEvent(u"lost", LogCategory::Error);
  LogEventNumber(u"%d", 1, LogCategory::Error);
  EXPECT_EQ(calls, 0);
  SetLogRecordAddedHook(nullptr);
}

TEST(EventLog, FormatsOneNumberOrOneText) {
  GlobalLog global;
  Logger& log = global.log();
  LogEventNumber(u"Device number %d selected for testing", 3, LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"Device number 3 selected for testing");
  LogEventText(u"Delete %s from list of plugs", u"\u00C5B\u20AC123", LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"Delete \u00C5B\u20AC123 from list of plugs");

  LogEventNumber(u"[%5d|%-4d|%03d|%x|%X|%u|%+d|%%]", -12, LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"[  -12|%-4d|%03d|%x|%X|%u|%+d|%]");
  LogEventNumber(u"%08X %d", 0x1F, LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"0000001F %d");
  LogEventNumber(u"%u", -1, LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"4294967295");
  LogEventText(u"[%6s][%-6s]", u"ab", LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"[    ab][%-6s]");
  LogEventText(u"[%.2s]", u"abcdef", LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"[ab]");
  LogEventText(u"%s", nullptr, LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"(null)");

  // A conversion that does not match the one argument is never fed from nowhere.
  LogEventNumber(u"%s and %d", 5, LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"%s and 5");
  LogEventText(u"%d %s", u"t", LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"%d t");
  LogEventNumber(u"cut off %", 5, LogCategory::Information);
  EXPECT_EQ(Get(log, -1), u"cut off %");
  LogEventNumber(u"%99999999999d", 5, LogCategory::Information);
  EXPECT_EQ(Get(log, -1), std::u16string(299, u' '));  // cut like any other long result
}

TEST(EventLog, FormattedTextIsCutToTheWorkBufferThenTo299) {
  GlobalLog global;
  const std::u16string longText(500, u'w');
  LogEventText(u"<%s>", longText.c_str(), LogCategory::Information);
  EXPECT_EQ(Get(global.log(), -1), u"<" + std::u16string(298, u'w'));
}

TEST(EventLog, ConcurrentWritersLoseAndTearNothing) {
  GlobalLog global;
  static std::atomic<int> hookCalls{0};
  hookCalls = 0;
  SetLogRecordAddedHook([] { ++hookCalls; });
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Long enough that a torn copy would show.
        std::u16string text = Utf8ToUtf16("writer " + std::to_string(t) + " record " +
                                          std::to_string(i) + " " + std::string(60, 'a' + t));
        LogEvent(text.c_str(), static_cast<uint32_t>(t));
      }
    });
  }
  for (auto& thread : threads) thread.join();

  Logger& log = global.log();
  ASSERT_EQ(log.RecordCount(), static_cast<uint32_t>(kThreads * kPerThread));
  EXPECT_EQ(hookCalls, kThreads * kPerThread);
  std::map<std::u16string, int> seen;
  std::vector<int> lastOfWriter(kThreads, -1);
  for (int32_t i = 0; i < kThreads * kPerThread; ++i) {
    uint32_t category = 0;
    const char16_t* text = log.GetRecord(i, &category, nullptr);
    ASSERT_NE(text, nullptr);
    ++seen[text];
    ASSERT_LT(category, static_cast<uint32_t>(kThreads));
    // Each writer's records keep their order.
    std::string narrow = Utf16ToUtf8(text);
    int number = std::stoi(narrow.substr(narrow.find("record ") + 7));
    EXPECT_GT(number, lastOfWriter[category]);
    lastOfWriter[category] = number;
  }
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kPerThread; ++i) {
      std::u16string text = Utf8ToUtf16("writer " + std::to_string(t) + " record " +
                                        std::to_string(i) + " " + std::string(60, 'a' + t));
      EXPECT_EQ(seen[text], 1) << Utf16ToUtf8(text);
    }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
}
