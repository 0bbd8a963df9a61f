#include "window/document_open.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "platform/text.h"

extern char** environ;

namespace ui {
namespace {

// xdg-open's documented exit statuses.
constexpr int kOpenerBadArguments = 1;
constexpr int kOpenerFileMissing = 2;
constexpr int kOpenerToolMissing = 3;
constexpr int kOpenerActionFailed = 4;

// Desktop openers hand over within a moment; one that takes longer is the viewer.
constexpr auto kOpenerWait = std::chrono::seconds(3);
constexpr auto kOpenerPoll = std::chrono::milliseconds(10);

}  // namespace

intptr_t DocumentPathFailure(std::u16string_view path) {
  const std::filesystem::path file(Utf16ToUtf8(path));
  std::error_code error;
  const std::filesystem::path folder = file.parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, error)) return OPEN_PATH_NOT_FOUND;
  if (!std::filesystem::is_regular_file(file, error)) return OPEN_FILE_NOT_FOUND;
  if (access(file.c_str(), R_OK) != 0) return OPEN_FAILED;
  return OPEN_HANDED_ON;
}

intptr_t OpenerExitResult(int exitStatus) {
  switch (exitStatus) {
    case 0:
      return OPEN_HANDED_ON;
    case kOpenerFileMissing:
      return OPEN_FILE_NOT_FOUND;
    case kOpenerToolMissing:
    case kOpenerActionFailed:
      // Both mean that nothing on this desktop takes documents of this kind.
      return OPEN_NO_ASSOCIATION;
    case kOpenerBadArguments:
    default:
      return OPEN_FAILED;
  }
}

intptr_t OpenerStartFailure(int error) {
  switch (error) {
    case ENOENT:
    case EACCES:
      return OPEN_NO_ASSOCIATION;
    case ENOMEM:
    case EAGAIN:
      return OPEN_OUT_OF_MEMORY;
    default:
      return OPEN_FAILED;
  }
}

intptr_t OpenDocumentWithDesktop(std::u16string_view path, const char* opener) {
  if (const intptr_t failure = DocumentPathFailure(path); failure <= 32) return failure;
  std::string file = Utf16ToUtf8(path);
  std::string program = opener;
  char* argv[] = {program.data(), file.data(), nullptr};
  pid_t child = 0;
  if (const int error = posix_spawnp(&child, opener, nullptr, nullptr, argv, environ); error != 0)
    return OpenerStartFailure(error);

  const auto deadline = std::chrono::steady_clock::now() + kOpenerWait;
  int status = 0;
  while (true) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) return OPEN_FAILED;
    if (std::chrono::steady_clock::now() >= deadline) {
      std::thread([child] {
        int ignored = 0;
        while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
        }
      }).detach();
      return OPEN_HANDED_ON;
    }
    std::this_thread::sleep_for(kOpenerPoll);
  }
  if (!WIFEXITED(status)) return OPEN_FAILED;
  return OpenerExitResult(WEXITSTATUS(status));
}

}  // namespace ui
