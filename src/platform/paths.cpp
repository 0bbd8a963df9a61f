#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/text.h"

namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  struct passwd entry;
  struct passwd* result = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr)
    return result->pw_dir;
  return "/";
}

std::string AskXdgUserDir() {
  FILE* pipe = popen("xdg-user-dir DOCUMENTS 2>/dev/null", "r");
  if (pipe == nullptr) return {};
  std::string out;
  char chunk[256];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  // Only an absolute answer is a folder we can use.
  return !out.empty() && out[0] == '/' ? out : std::string();
}

std::string TrimSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::u16string ProgramFolder() {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return Utf8ToUtf16(TrimSeparators(std::filesystem::current_path(error).string()));
  return Utf8ToUtf16(TrimSeparators(exe.parent_path().string()));
}

std::u16string DocumentsFolder() {
  if (const char* dir = std::getenv("XDG_DOCUMENTS_DIR"); dir != nullptr && dir[0] == '/')
    return Utf8ToUtf16(TrimSeparators(dir));
  const std::string home = TrimSeparators(HomeFolder());
  // xdg-user-dir answers with the home folder itself when no documents folder is
  // configured; files dropped straight into home are not what anyone expects.
  if (std::string dir = TrimSeparators(AskXdgUserDir()); !dir.empty() && dir != home)
    return Utf8ToUtf16(dir);
  return Utf8ToUtf16(home + "/Documents");
}

std::u16string TempFolder() {
  // TMPDIR is taken as given, like the system's own temp-path lookup does; whether it
  // can be written is for the caller to find out.
  if (const char* dir = std::getenv("TMPDIR"); dir != nullptr && dir[0] == '/')
    return Utf8ToUtf16(TrimSeparators(dir));
  std::error_code error;
  std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  return Utf8ToUtf16(error ? std::string("/tmp") : TrimSeparators(temp.string()));
}

std::u16string JoinPath(std::u16string_view folder, std::u16string_view name) {
  std::u16string path(folder);
  if (path.empty() || path.back() != u'/') path += u'/';
  path += name;
  return path;
}

std::string NativePath(std::u16string_view path) {
  return Utf16ToUtf8(path);
}
