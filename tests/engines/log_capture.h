// Installs a fresh event log for the length of a test and reads its records back as
// UTF-8 text, so expectations read naturally and failures print legibly.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "log/event_log.h"
#include "platform/text.h"

struct CapturedRecord {
  std::string text;
  uint32_t category;
};

class LogCapture {
 public:
  LogCapture() : previous_(LogRecord) { LogRecord = &logger_; }
  ~LogCapture() { LogRecord = previous_; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<CapturedRecord> Records() {
    std::vector<CapturedRecord> records;
    std::lock_guard<std::mutex> guard(logger_.Lock());
    const int32_t count = static_cast<int32_t>(logger_.RecordCount());
    for (int32_t i = 0; i < count; ++i) {
      uint32_t category = 0;
      int64_t time = 0;
      const char16_t* text = logger_.GetRecord(i, &category, &time);
      records.push_back({Utf16ToUtf8(text ? text : u""), category});
    }
    return records;
  }

  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const CapturedRecord& record : Records()) texts.push_back(record.text);
    return texts;
  }

 private:
  Logger logger_;
  Logger* previous_;
};
