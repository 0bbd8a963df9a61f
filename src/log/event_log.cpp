#include "log/event_log.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>

#include "platform/clock.h"

const char16_t* const LogCategoryNames[9] = {
    u"Information", u"Loopback   ", u"Benchmark  ", u"ERROR      ", u"Diagnostics",
    u"File op.   ", u"Results    ", u"Minor Error", u"PASS       ",
};

Logger* LogRecord = nullptr;

namespace {

std::atomic<LogRecordAddedHook> g_recordAddedHook{nullptr};
std::atomic<LogRecordObserver> g_recordObserver{nullptr};

// The ring is reserved as anonymous zero pages: slots never written cost no resident
// memory, and a fresh mapping already reads as "no record" everywhere.
void* ReservePages(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void ReleasePages(void* p, size_t bytes) {
  if (p != nullptr) munmap(p, bytes);
}

// Hands the used prefix back to the kernel, which refills it with zeros on the next
// touch; that is both the cheapest way to wipe a full ring and the way to give its
// memory back.
bool DiscardPages(void* p, size_t bytes) {
  return bytes == 0 || madvise(p, bytes, MADV_DONTNEED) == 0;
}

constexpr size_t kTextBytes = size_t{Logger::kCapacity} * Logger::kTextChars * sizeof(char16_t);
constexpr size_t kCategoryBytes = size_t{Logger::kCapacity} * sizeof(uint32_t);
constexpr size_t kTimeBytes = size_t{Logger::kCapacity} * sizeof(int64_t);

// --- single-argument printf for UTF-16 formats ---------------------------------------

class Out16 {
 public:
  Out16(char16_t* buffer, size_t chars) : buffer_(buffer), room_(chars - 1) {}
  void Put(char16_t c) {
    if (length_ < room_) buffer_[length_++] = c;
  }
  void Put(const char16_t* begin, const char16_t* end) {
    while (begin < end) Put(*begin++);
  }
  void Finish() { buffer_[length_] = 0; }

 private:
  char16_t* buffer_;
  size_t room_;
  size_t length_ = 0;
};

struct FormatArg {
  bool isText;
  int32_t number;
  const char16_t* text;
};

// The one argument fills the first conversion that matches its kind. Any other
// conversion (a second one, a mismatched one, an unknown one, or one cut off by the end
// of the format) is copied as written, so a wrong format can never read a missing
// argument.
void FormatOne(char16_t* out, size_t outChars, const char16_t* format, const FormatArg& arg) {
  Out16 o(out, outChars);
  bool used = false;
  const char16_t* p = format;
  while (*p != 0) {
    if (*p != u'%') {
      o.Put(*p++);
      continue;
    }
    const char16_t* spec = p++;
    char flags[8];
    size_t flagCount = 0;
    bool leftAlign = false;
    while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') {
      if (*p == u'-') leftAlign = true;
      if (flagCount < sizeof flags - 1) flags[flagCount++] = static_cast<char>(*p);
      ++p;
    }
    flags[flagCount] = 0;
    // Anything wider than the 300-character buffer is cut anyway.
    auto readNumber = [&p]() {
      int n = 0;
      while (*p >= u'0' && *p <= u'9') {
        if (n < Logger::kTextChars) n = n * 10 + (*p - u'0');
        ++p;
      }
      return n < Logger::kTextChars ? n : Logger::kTextChars;
    };
    int width = readNumber();
    int precision = -1;
    if (*p == u'.') {
      ++p;
      precision = readNumber();
    }
    while (*p == u'h' || *p == u'l' || *p == u'L' || *p == u'j' || *p == u'z' || *p == u't') ++p;
    char16_t conversion = *p;
    if (conversion == 0) {
      o.Put(spec, p);
      break;
    }
    ++p;
    if (conversion == u'%') {
      o.Put(u'%');
    } else if (!used && !arg.isText && (conversion == u'd' || conversion == u'i')) {
      char spec8[32], digits[Logger::kTextChars + 16];
      if (precision < 0)
        std::snprintf(spec8, sizeof spec8, "%%%s%dd", flags, width);
      else
        std::snprintf(spec8, sizeof spec8, "%%%s%d.%dd", flags, width, precision);
      std::snprintf(digits, sizeof digits, spec8, arg.number);
      for (const char* d = digits; *d != 0; ++d) o.Put(static_cast<char16_t>(*d));
      used = true;
    } else if (!used && !arg.isText &&
               (conversion == u'u' || conversion == u'x' || conversion == u'X' ||
                conversion == u'o')) {
      char spec8[32], digits[Logger::kTextChars + 16];
      char c = static_cast<char>(conversion);
      if (precision < 0)
        std::snprintf(spec8, sizeof spec8, "%%%s%d%c", flags, width, c);
      else
        std::snprintf(spec8, sizeof spec8, "%%%s%d.%d%c", flags, width, precision, c);
      std::snprintf(digits, sizeof digits, spec8, static_cast<unsigned>(arg.number));
      for (const char* d = digits; *d != 0; ++d) o.Put(static_cast<char16_t>(*d));
      used = true;
    } else if (!used &&
               ((conversion == u's' && arg.isText) || (conversion == u'c' && !arg.isText))) {
      char16_t single[2] = {static_cast<char16_t>(arg.number), 0};
      const char16_t* text = conversion == u'c' ? single : (arg.text ? arg.text : u"(null)");
      size_t length = 0;
      while (text[length] != 0 && (precision < 0 || length < static_cast<size_t>(precision)))
        ++length;
      if (conversion == u'c') length = 1;
      size_t pad = static_cast<size_t>(width) > length ? width - length : 0;
      if (!leftAlign)
        for (size_t i = 0; i < pad; ++i) o.Put(u' ');
      o.Put(text, text + length);
      if (leftAlign)
        for (size_t i = 0; i < pad; ++i) o.Put(u' ');
      used = true;
    } else {
      o.Put(spec, p);
    }
  }
  o.Finish();
}

}  // namespace

// --- Logger ---------------------------------------------------------------------------

Logger::Logger()
    : capacity_(kCapacity),
      texts_(static_cast<char16_t*>(ReservePages(kTextBytes))),
      categories_(static_cast<uint32_t*>(ReservePages(kCategoryBytes))),
      times_(static_cast<int64_t*>(ReservePages(kTimeBytes))),
      head_(0),
      tail_(0),
      count_(0),
      slotsUsed_(0),
      timeSource_(&CalendarTime) {
  // Without its storage the log stays empty and ignores new records rather than fail
  // its callers, who have no way to handle that.
  if (texts_ == nullptr || categories_ == nullptr || times_ == nullptr) {
    ReleasePages(texts_, kTextBytes);
    ReleasePages(categories_, kCategoryBytes);
    ReleasePages(times_, kTimeBytes);
    texts_ = nullptr;
    categories_ = nullptr;
    times_ = nullptr;
  }
  Clear();
}

Logger::~Logger() {
  ReleasePages(texts_, kTextBytes);
  ReleasePages(categories_, kCategoryBytes);
  ReleasePages(times_, kTimeBytes);
}

void Logger::SetTimeSource(TimeSource source) {
  timeSource_ = source != nullptr ? source : &CalendarTime;
}

void Logger::AddRecord(const char16_t* text, uint32_t category) {
  if (texts_ == nullptr) return;
  if (text == nullptr) text = u"";
  const bool collapse = category == LogCategory::Error || category == LogCategory::Diagnostics;
  char16_t* row = texts_ + static_cast<size_t>(head_) * kTextChars;
  // Cleaning works on the first 300 characters; the row keeps at most 299 of the result.
  int32_t length = 0;
  while (length < kTextChars && text[length] != 0) ++length;
  int32_t kept = 0;
  if (!collapse) {
    // Kept apart from the collapsing loop so that the compiler can vectorise it: this
    // is the path nearly every record takes.
    kept = length < kTextChars - 1 ? length : kTextChars - 1;
    for (int32_t i = 0; i < kept; ++i) row[i] = text[i] < 32 ? u' ' : text[i];
  } else {
    bool previousBlank = false;
    for (int32_t i = 0; i < length; ++i) {
      const char16_t c = text[i] < 32 ? u' ' : text[i];
      const bool blank = c == u' ';
      if (!(blank && previousBlank) && kept < kTextChars - 1) row[kept++] = c;
      previousBlank = blank;
    }
  }
  row[kept] = 0;
  categories_[head_] = category;
  times_[head_] = timeSource_();
  if (head_ >= slotsUsed_) slotsUsed_ = head_ + 1;
  if (++head_ == capacity_) head_ = 0;
  if (head_ == tail_ && ++tail_ == capacity_) tail_ = 0;
  int32_t count = count_.load(std::memory_order_relaxed);
  if (count < capacity_ - 1) count_.store(count + 1, std::memory_order_relaxed);
}

void Logger::Clear() {
  if (texts_ != nullptr && slotsUsed_ > 0) {
    const size_t used = static_cast<size_t>(slotsUsed_);
    if (!DiscardPages(texts_, used * kTextChars * sizeof(char16_t)) ||
        !DiscardPages(categories_, used * sizeof(uint32_t)) ||
        !DiscardPages(times_, used * sizeof(int64_t))) {
      for (size_t slot = 0; slot < used; ++slot) texts_[slot * kTextChars] = 0;
    }
  }
  slotsUsed_ = 0;
  head_ = 0;
  tail_ = 0;
  count_.store(0, std::memory_order_relaxed);
}

const char16_t* Logger::GetRecord(int32_t index, uint32_t* category, int64_t* time) {
  if (category != nullptr) *category = 0;
  const int32_t count = count_.load(std::memory_order_relaxed);
  if (texts_ == nullptr || index >= count || index < -count) return nullptr;
  int32_t slot = index >= 0 ? tail_ + index : head_ + index;
  if (slot >= capacity_) slot -= capacity_;
  if (slot < 0) slot += capacity_;
  const char16_t* row = texts_ + static_cast<size_t>(slot) * kTextChars;
  if (row[0] == 0) return nullptr;
  if (category != nullptr) *category = categories_[slot];
  if (time != nullptr) *time = times_[slot];
  return row;
}

uint32_t Logger::RecordCount() {
  return static_cast<uint32_t>(count_.load(std::memory_order_relaxed));
}

// --- free functions on LogRecord --------------------------------------------------------

void SetLogRecordAddedHook(LogRecordAddedHook hook) {
  g_recordAddedHook.store(hook);
}

void SetLogRecordObserver(LogRecordObserver observer) {
  g_recordObserver.store(observer);
}

void LogEvent(const char16_t* text, uint32_t category) {
  Logger* log = LogRecord;
  if (log == nullptr) return;
  {
    std::lock_guard lock(log->Lock());
    log->AddRecord(text, category);
    if (LogRecordObserver observer = g_recordObserver.load()) {
      uint32_t stored = 0;
      int64_t time = 0;
      if (const char16_t* record = log->GetRecord(-1, &stored, &time))
        observer(record, stored, time);
    }
  }
  // Outside the lock: the hook may read the log itself.
  if (LogRecordAddedHook hook = g_recordAddedHook.load()) hook();
}

void LogEventNumber(const char16_t* format, int32_t value, uint32_t category) {
  char16_t buffer[Logger::kTextChars];
  FormatOne(buffer, Logger::kTextChars, format ? format : u"", FormatArg{false, value, nullptr});
  LogEvent(buffer, category);
}

void LogEventText(const char16_t* format, const char16_t* text, uint32_t category) {
  char16_t buffer[Logger::kTextChars];
  FormatOne(buffer, Logger::kTextChars, format ? format : u"", FormatArg{true, 0, text});
  LogEvent(buffer, category);
}
