#include "gadget/ffs_files.h"

#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kInterruptSignal = SIGUSR1;

void IgnoreInterrupt(int) {}

}  // namespace

SystemFfsFiles::SystemFfsFiles(std::string mountPoint) : mountPoint_(std::move(mountPoint)) {}

std::string SystemFfsFiles::FileName(uint32_t index) const {
  return mountPoint_ + "/ep" + std::to_string(index);
}

int SystemFfsFiles::Open(uint32_t index) {
  return open(FileName(index).c_str(), O_RDWR | O_CLOEXEC);
}

void SystemFfsFiles::Close(int fd) {
  if (fd >= 0) close(fd);
}

ssize_t SystemFfsFiles::Read(int fd, void* data, size_t length) {
  return read(fd, data, length);
}

ssize_t SystemFfsFiles::Write(int fd, const void* data, size_t length) {
  return write(fd, data, length);
}

std::optional<uint8_t> SystemFfsFiles::EndpointAddress(uint32_t index) {
  // A file of its own, non-blocking: the query must not wait for the host to
  // enable the function when it has just disabled it again.
  const int fd = open(FileName(index).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  usb_endpoint_descriptor descriptor{};
  const int result = ioctl(fd, FUNCTIONFS_ENDPOINT_DESC, &descriptor);
  close(fd);
  if (result < 0) return std::nullopt;
  return descriptor.bEndpointAddress;
}

void SystemFfsFiles::Interrupt(pthread_t thread) {
  pthread_kill(thread, kInterruptSignal);
}

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = IgnoreInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the blocked call returns EINTR
  sigaction(kInterruptSignal, &action, nullptr);
}

bool MountFunctionFs(const std::string& instance, const std::string& mountPoint, bool* mounted,
                     std::string* error) {
  *mounted = false;
  struct stat st;
  if (stat((mountPoint + "/ep0").c_str(), &st) == 0) return true;
  if (mkdir(mountPoint.c_str(), 0755) != 0 && errno != EEXIST) {
    if (error) *error = "Cannot create " + mountPoint + ": " + std::strerror(errno);
    return false;
  }
  if (mount(instance.c_str(), mountPoint.c_str(), "functionfs", 0, nullptr) != 0) {
    if (error) {
      *error = "Cannot mount FunctionFS instance \"" + instance + "\" at " + mountPoint + ": " +
               std::strerror(errno) + " (is the usb_f_fs module loaded?)";
    }
    return false;
  }
  *mounted = true;
  return true;
}

void UnmountFunctionFs(const std::string& mountPoint) {
  umount(mountPoint.c_str());
}
