// Helpers shared by the log tests: a private scratch folder and whole-file reads.
#pragma once
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-log-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Local time is UTC for the duration of a test, so calendar texts are fixed.
class UtcZone {
 public:
  UtcZone() {
    const char* old = getenv("TZ");
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  ~UtcZone() {
    if (hadOld_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool hadOld_ = false;
  std::string old_;
};

// A light pattern check: '#' stands for one digit and '*' for one or more digits;
// every other pattern character must appear as is.
inline bool MatchesShape(std::string_view text, std::string_view pattern) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t t = 0;
  for (char p : pattern) {
    if (p == '#' || p == '*') {
      if (t >= text.size() || !digit(text[t])) return false;
      ++t;
      if (p == '*')
        while (t < text.size() && digit(text[t])) ++t;
    } else {
      if (t >= text.size() || text[t] != p) return false;
      ++t;
    }
  }
  return t == text.size();
}
