#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// Open-file-description locks: owned by one opener rather than by the process, and
// released by the system with the last descriptor, so also when the process dies.
// Byte 0 is held shared by every opener for as long as it has the object open; lock
// index i is byte i + 1.
constexpr off_t kPresenceByte = 0;
// An opener that found the object unused holds it exclusively only while it zeroes it.
constexpr uint32_t kPresenceWaitMs = 5000;

off_t LockByte(uint32_t index) {
  return static_cast<off_t>(index) + 1;
}

bool SetLock(int fd, off_t byte, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// There is no timed form of the lock call; polling with a growing pause keeps a
// waiter cheap and still prompt once the lock comes free.
bool WaitForLock(int fd, off_t byte, short type, uint32_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  std::chrono::microseconds pause(50);
  while (true) {
    if (SetLock(fd, byte, type)) return true;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

}  // namespace

std::string SharedMemory::SystemName(std::string_view name) {
  return "/" + std::string(name) + "." + std::to_string(geteuid());
}

bool SharedMemory::Remove(std::string_view name) {
  return shm_unlink(SystemName(name).c_str()) == 0;
}

bool SharedMemory::Open(std::string_view name, size_t size) {
  Close();
  const int fd = shm_open(SystemName(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  auto fail = [fd] {
    close(fd);
    return false;
  };

  // The names live in a folder every user can write to: an object planted by someone
  // else is refused, never used.
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    return fail();
  }
  if ((info.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) return fail();

  bool fresh = false;
  if (SetLock(fd, kPresenceByte, F_WRLCK)) {
    // Nobody has it open: what it holds was left by processes that have ended.
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) return fail();
    fresh = true;
    if (!SetLock(fd, kPresenceByte, F_RDLCK)) return fail();  // converts in one step
  } else {
    if (!WaitForLock(fd, kPresenceByte, F_RDLCK, kPresenceWaitMs)) return fail();
    if (fstat(fd, &info) != 0) return fail();
    // Growing never disturbs the others; a short object would fault on access.
    if (info.st_size < static_cast<off_t>(size) && ftruncate(fd, static_cast<off_t>(size)) != 0) {
      return fail();
    }
  }

  if (size > 0) {
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) return fail();
    view_ = static_cast<uint8_t*>(view);
    size_ = size;
  }
  fd_ = fd;
  startedFresh_ = fresh;
  return true;
}

void SharedMemory::Close() {
  if (view_ != nullptr) munmap(view_, size_);
  view_ = nullptr;
  size_ = 0;
  // Unmapped before the presence lock goes with the descriptor: a later opener that
  // finds the object unused may zero it.
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  startedFresh_ = false;
}

bool SharedMemory::TryLock(uint32_t index) {
  return fd_ >= 0 && index <= MaxLockIndex && SetLock(fd_, LockByte(index), F_WRLCK);
}

bool SharedMemory::Lock(uint32_t index, uint32_t milliseconds) {
  return fd_ >= 0 && index <= MaxLockIndex &&
         WaitForLock(fd_, LockByte(index), F_WRLCK, milliseconds);
}

void SharedMemory::Unlock(uint32_t index) {
  if (fd_ >= 0 && index <= MaxLockIndex) SetLock(fd_, LockByte(index), F_UNLCK);
}

bool SharedMemory::IsLockedElsewhere(uint32_t index) const {
  if (fd_ < 0 || index > MaxLockIndex) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = LockByte(index);
  lock.l_len = 1;
  return fcntl(fd_, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}
