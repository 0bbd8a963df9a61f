#include "platform/os_info.h"

#include <sys/utsname.h>

#include <fstream>
#include <iterator>

namespace {

std::string ReadFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// os-release values follow shell quoting: "..." or '...' with backslash escapes.
std::string Unquote(std::string_view value) {
  std::string out;
  char quote = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (quote == 0 && (c == '"' || c == '\'')) {
      quote = c;
    } else if (c == quote) {
      quote = 0;
    } else if (c == '\\' && quote != '\'' && i + 1 < value.size()) {
      out += value[++i];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string ParseOsReleasePrettyName(std::string_view content) {
  constexpr std::string_view kKey = "PRETTY_NAME=";
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.substr(0, kKey.size()) == kKey) return Unquote(line.substr(kKey.size()));
    start = end + 1;
  }
  return {};
}

uint32_t ParseKernelBuildCounter(std::string_view version) {
  if (version.empty() || version[0] != '#') return 0;
  uint32_t n = 0;
  for (size_t i = 1; i < version.size() && version[i] >= '0' && version[i] <= '9'; ++i) {
    if (n > 100000000) return 0;  // not a counter
    n = n * 10 + static_cast<uint32_t>(version[i] - '0');
  }
  return n;
}

OsInfo ReadOsInfo() {
  OsInfo info{{}, {}, 0, static_cast<int>(sizeof(void*) * 8)};
  struct utsname names;
  const bool haveNames = uname(&names) == 0;
  info.PrettyName = ParseOsReleasePrettyName(ReadFile("/etc/os-release"));
  if (info.PrettyName.empty())
    info.PrettyName = ParseOsReleasePrettyName(ReadFile("/usr/lib/os-release"));
  if (haveNames) {
    if (info.PrettyName.empty()) info.PrettyName = names.sysname;
    info.KernelRelease = names.release;
    info.BuildCounter = ParseKernelBuildCounter(names.version);
  }
  return info;
}

std::string ProcessCommandLine() {
  std::string raw = ReadFile("/proc/self/cmdline");
  while (!raw.empty() && raw.back() == '\0') raw.pop_back();
  for (char& c : raw)
    if (c == '\0') c = ' ';
  return raw;
}
