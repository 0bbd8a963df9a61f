#include "log/event_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"

namespace {

int64_t FixedTime() {
  return 1614953229;
}

std::u16string Get(Logger& log, int32_t index) {
  const char16_t* p = log.GetRecord(index, nullptr, nullptr);
  return p ? std::u16string(p) : u"<none>";
}

void Add(Logger& log, const std::string& text, uint32_t category = LogCategory::Information) {
  log.AddRecord(Utf8ToUtf16(text).c_str(), category);
}

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Installs a log as LogRecord for one test and removes it and the hook again.
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
  Logger log_;
};

}  // namespace

TEST(EventLog, IndexesCountFromBothEndsAndOutsideResetsOnlyTheCategory) {
  Logger log;
  log.SetTimeSource(&FixedTime);
  Add(log, "first", LogCategory::Loopback);
  Add(log, "second", LogCategory::Pass);
  Add(log, "third", LogCategory::Benchmark);
  uint32_t category = 0;
  int64_t time = 0;
  EXPECT_EQ(std::u16string(log.GetRecord(1, &category, &time)), u"second");
  EXPECT_EQ(category, LogCategory::Pass);
  EXPECT_EQ(time, FixedTime());
  EXPECT_EQ(Get(log, 0), u"first");
  EXPECT_EQ(Get(log, -1), u"third");
  EXPECT_EQ(Get(log, -3), u"first");
  for (int32_t outside : {3, -4, INT32_MIN, INT32_MAX}) {
    category = 99;
    time = 55;
    EXPECT_EQ(log.GetRecord(outside, &category, &time), nullptr) << outside;
    EXPECT_EQ(category, 0u) << outside;
    EXPECT_EQ(time, 55) << outside;
  }
  Logger empty;
  EXPECT_EQ(empty.GetRecord(0, &category, &time), nullptr);
  EXPECT_EQ(empty.GetRecord(-1, &category, &time), nullptr);
}

TEST(EventLog, ReservesLazilyWrapsAtCapacityAndClearGivesMemoryBack) {
  const size_t before = ResidentBytes();
  Logger log;
  EXPECT_LT(ResidentBytes(), before + 16 * 1024 * 1024);  // 180 MB of rows stay untouched
  for (int32_t i = 0; i < Logger::kCapacity - 1; ++i)
    Add(log, "record " + std::to_string(i), i % 9);
  ASSERT_EQ(log.RecordCount(), 300000u);
  EXPECT_EQ(Get(log, 0), u"record 0");
  EXPECT_EQ(Get(log, -1), u"record 299999");
  EXPECT_EQ(Get(log, 300000), u"<none>");

  // One more drops the oldest; a second lap takes head and tail past the end.
  Add(log, "record 300000");
  EXPECT_EQ(log.RecordCount(), 300000u);
  EXPECT_EQ(Get(log, 0), u"record 1");
  EXPECT_EQ(Get(log, 299999), u"record 300000");
  EXPECT_EQ(Get(log, -300000), u"record 1");
  EXPECT_EQ(Get(log, -300001), u"<none>");
  for (int32_t i = 300001; i <= 300005; ++i)
    Add(log, "record " + std::to_string(i), LogCategory::Results);
  EXPECT_EQ(log.RecordCount(), 300000u);
  EXPECT_EQ(Get(log, 0), u"record 6");
  uint32_t category = 0;
  EXPECT_EQ(std::u16string(log.GetRecord(-1, &category, nullptr)), u"record 300005");
  EXPECT_EQ(category, LogCategory::Results);

  const size_t filled = ResidentBytes();
  EXPECT_GT(filled, before + 150 * 1024 * 1024);
  log.Clear();
  EXPECT_LT(ResidentBytes(), filled - 150 * 1024 * 1024);
  EXPECT_EQ(log.RecordCount(), 0u);
  EXPECT_EQ(Get(log, 0), u"<none>");
  Add(log, "after clear");
  Add(log, "");  // an empty text leaves its slot looking free
  EXPECT_EQ(log.RecordCount(), 2u);
  EXPECT_EQ(Get(log, 0), u"after clear");
  EXPECT_EQ(Get(log, 1), u"<none>");
}

TEST(EventLog, CleaningReplacesControlsCollapsesBlanksForErrorsAndCutsAt299) {
  const std::u16string blanks = u"two   words\t\tand\n end ";
  const std::u16string b295(295, u'b');
  const struct {
    std::u16string text;
    uint32_t category;
    std::u16string stored;
  } cases[] = {
      {u"a\tb\r\nc\x01\x1F"
       u"d\x7F",
       LogCategory::Information, u"a b  c  d\x7F"},
      {u"\u00E9\u20AC ok", LogCategory::Information, u"\u00E9\u20AC ok"},
      {std::u16string(400, u'q'), LogCategory::Information, std::u16string(299, u'q')},
      {blanks, LogCategory::Error, u"two words and end "},
      {blanks, LogCategory::Diagnostics, u"two words and end "},
      {blanks, LogCategory::MinorError, u"two   words  and  end "},
      {blanks, LogCategory::Information, u"two   words  and  end "},
      // Collapsing looks at the first 300 characters only; what lies past them never comes in.
      {u"a    " + b295 + u"cdef", LogCategory::Error, u"a " + b295},
      {u"x   y" + std::u16string(400, u'z'), LogCategory::Diagnostics,
       u"x y" + std::u16string(295, u'z')},
  };
  for (const auto& c : cases) {
    Logger log;
    log.AddRecord(c.text.c_str(), c.category);
    EXPECT_EQ(Get(log, 0), c.stored) << Utf16ToUtf8(c.text) << " / " << c.category;
  }
}

TEST(EventLog, LogEventRunsTheHookOnceAfterReleasingTheLockAndNothingWithoutALog) {
  static std::atomic<int> calls{0};
  static std::atomic<bool> lockWasFree{true};
  static std::u16string newest;
  calls = 0;
  SetLogRecordAddedHook([] {
    ++calls;
    if (!LogRecord) return;
    std::unique_lock lock(LogRecord->Lock(), std::try_to_lock);
    if (!lock.owns_lock()) lockWasFree = false;
    newest = Get(*LogRecord, -1);
  });
  LogEvent(u"lost", LogCategory::Error);
  LogEventNumber(u"%d", 1, LogCategory::Error);
  EXPECT_EQ(calls, 0);

  GlobalLog global;
  LogEvent(u"one", LogCategory::Information);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(newest, u"one");
  LogEventNumber(u"n=%d", 7, LogCategory::Loopback);
  LogEventText(u"t=%s", u"x", LogCategory::Loopback);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(newest, u"t=x");
  EXPECT_TRUE(lockWasFree);
  SetLogRecordAddedHook(nullptr);
  LogEvent(u"quiet", LogCategory::Information);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(global.log_.RecordCount(), 4u);
}

TEST(EventLog, FormatsOneNumberOrOneText) {
  GlobalLog global;
  const std::u16string longText(500, u'w');
  const struct {
    const char16_t* format;
    int32_t number;  // used when there is no text
    const char16_t* text;
    std::u16string expected;
  } cases[] = {
      {u"Device number %d selected for testing", 3, {}, u"Device number 3 selected for testing"},
      {u"[%5d|%-4d|%03d|%x|%X|%u|%+d|%%]", -12, {}, u"[  -12|%-4d|%03d|%x|%X|%u|%+d|%]"},
      {u"%08X %d", 0x1F, {}, u"0000001F %d"},
      {u"%u", -1, {}, u"4294967295"},
      // A conversion that does not match the one argument is never fed from nowhere.
      {u"%s and %d", 5, {}, u"%s and 5"},
      {u"cut off %", 5, {}, u"cut off %"},
      {u"%99999999999d", 5, {}, std::u16string(299, u' ')},
      {u"Delete %s from list of plugs", 0, u"\u00C5B\u20AC123",
       u"Delete \u00C5B\u20AC123 from list of plugs"},
      {u"[%6s][%-6s]", 0, u"ab", u"[    ab][%-6s]"},
      {u"[%.2s]", 0, u"abcdef", u"[ab]"},
      {u"%d %s", 0, u"t", u"%d t"},
      {u"<%s>", 0, longText.c_str(), u"<" + std::u16string(298, u'w')},
  };
  for (const auto& c : cases) {
    if (c.text)
      LogEventText(c.format, c.text, LogCategory::Information);
    else
      LogEventNumber(c.format, c.number, LogCategory::Information);
    EXPECT_EQ(Get(global.log_, -1), c.expected) << Utf16ToUtf8(c.format);
  }
  LogEventText(u"%s", nullptr, LogCategory::Information);
  EXPECT_EQ(Get(global.log_, -1), u"(null)");
}

TEST(EventLog, ConcurrentWritersLoseAndTearNothing) {
  GlobalLog global;
  static std::atomic<int> hookCalls{0};
  hookCalls = 0;
  SetLogRecordAddedHook([] { ++hookCalls; });
  constexpr int kThreads = 4, kPerThread = 5000;
  // Long enough that a torn copy would show.
  auto text = [](int t, int i) {
    return Utf8ToUtf16("writer " + std::to_string(t) + " record " + std::to_string(i) + " " +
                       std::string(60, static_cast<char>('a' + t)));
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &text] {
      for (int i = 0; i < kPerThread; ++i) LogEvent(text(t, i).c_str(), static_cast<uint32_t>(t));
    });
  for (auto& thread : threads) thread.join();

  ASSERT_EQ(global.log_.RecordCount(), static_cast<uint32_t>(kThreads * kPerThread));
  EXPECT_EQ(hookCalls, kThreads * kPerThread);
  // Each writer's records appear whole, in order and without gaps.
  std::vector<int> next(kThreads, 0);
  for (int32_t i = 0; i < kThreads * kPerThread; ++i) {
    uint32_t category = 0;
    const char16_t* record = global.log_.GetRecord(i, &category, nullptr);
    ASSERT_NE(record, nullptr);
    ASSERT_LT(category, static_cast<uint32_t>(kThreads));
    ASSERT_EQ(std::u16string(record), text(static_cast<int>(category), next[category]++));
  }
}
