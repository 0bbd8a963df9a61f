// The event log: one application-wide ring of records that every subsystem writes
// to and the results display and the log export read.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

namespace LogCategory {
enum : uint32_t {
  Information = 0,
  Loopback = 1,
  Benchmark = 2,
  Error = 3,
  Diagnostics = 4,
  FileOp = 5,
  Results = 6,
  MinorError = 7,
  Pass = 8,
};
}  // namespace LogCategory

// Names blank-padded to 11 characters, indexed by category 0..8.
extern const char16_t* const LogCategoryNames[9];

class Logger {
 public:
  static constexpr int32_t kCapacity = 300001;
  static constexpr int32_t kTextChars = 300;

  // Seconds since 1970 (UTC) stamped on each record; tests substitute a fixed clock.
  using TimeSource = int64_t (*)();

  Logger();
  virtual ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // AddRecord, Clear and GetRecord do not lock: call them with Lock() held.
  void AddRecord(const char16_t* text, uint32_t category);
  void Clear();
  // Non-negative index: from the oldest (0); negative: from the newest (-1).
  // The text points into the ring and is only stable while Lock() is held: copy it
  // out before releasing the lock.
  const char16_t* GetRecord(int32_t index, uint32_t* category, int64_t* time);
  // Safe without the lock (the value may be stale by the time it is used).
  uint32_t RecordCount();

  // The log's one lock; AddRecord, Clear and GetRecord are called under it by the
  // free functions below and by readers.
  std::mutex& Lock() { return lock_; }

  // nullptr restores the system clock.
  void SetTimeSource(TimeSource source);

 private:
  int32_t capacity_;
  char16_t* texts_;
  uint32_t* categories_;
  int64_t* times_;
  int32_t head_;
  int32_t tail_;
  std::atomic<int32_t> count_;
  // Slots below this one may hold text; Clear only needs to wipe that prefix.
  int32_t slotsUsed_;
  TimeSource timeSource_;
  std::mutex lock_;
};

// The application's one log. The main window owns the object: its dialog set-up
// creates it and its destroy handler frees it, setting this pointer and clearing it
// again; every other user borrows it (tests point it at a log of their own). Null
// until then: LogEvent on a null log does nothing.
extern Logger* LogRecord;

// Adds a record under the lock, then runs the "record added" hook on the calling
// thread, after the lock is released. The hook must be cheap and must not wait for
// another thread: the results display's only queues an update of the log view.
void LogEvent(const char16_t* text, uint32_t category);
// printf-style formats with one argument, formatted into 300 characters. The format is
// UTF-16 and %s takes UTF-16 text.
void LogEventNumber(const char16_t* format, int32_t value, uint32_t category);
void LogEventText(const char16_t* format, const char16_t* text, uint32_t category);

using LogRecordAddedHook = void (*)();
void SetLogRecordAddedHook(LogRecordAddedHook hook);  // nullptr: nothing happens

// Sees each record LogEvent adds, as the log stored it, in the log's own order: run
// under the log's lock, so it must be quick and must neither add records nor wait for
// another thread. A front end that shows the log as a stream of lines uses it.
using LogRecordObserver = void (*)(const char16_t* text, uint32_t category, int64_t time);
void SetLogRecordObserver(LogRecordObserver observer);  // nullptr: none
