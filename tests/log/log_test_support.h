// Helpers shared by the log tests: a private scratch folder and whole-file reads.
#pragma once
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

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

// Sets (or just saves) an environment variable and restores it when it goes out of scope;
// the time zone is re-read both times, so a test can run in a fixed zone.
class SavedEnv {
 public:
  explicit SavedEnv(const char* name, const char* value = nullptr) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) setenv(name, value, 1);
    tzset();
  }
  ~SavedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
    tzset();
  }
  SavedEnv(const SavedEnv&) = delete;
  SavedEnv& operator=(const SavedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// True when text has the shape of pattern: '#' stands for one digit, '*' for one or
// more digits, every other character for itself. (std::regex draws false warnings from
// g++ 12 in sanitizer builds.)
inline bool MatchesShape(const std::string& text, const std::string& pattern) {
  size_t t = 0;
  for (char p : pattern) {
    auto digit = [&] { return t < text.size() && text[t] >= '0' && text[t] <= '9'; };
    if (p == '#' || p == '*') {
      if (!digit()) return false;
      ++t;
      while (p == '*' && digit()) ++t;
    } else {
      if (t >= text.size() || text[t] != p) return false;
      ++t;
    }
  }
  return t == text.size();
}
