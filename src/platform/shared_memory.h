// Named memory shared between the processes of one user, with the lifetime the tool
// relies on: the object counts as alive only while some process has it open, so an
// opener that finds nobody else holding it starts from zeros, whatever an earlier
// generation of processes (or a crashed one) left behind.
//
// Besides the memory, an opener can hold numbered locks on the object. They belong to
// that opener (another SharedMemory on the same name, even in the same process, is
// another opener) and the system drops them when the process ends, however it ends:
// what a live holder has is exactly what a lock says.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory() { Close(); }
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Creates the object or opens the existing one, readable and writable by this user
  // only, and maps its first `size` bytes (size 0: locks only, nothing mapped). False
  // when it cannot be had: a bad name, an object another user owns, a system failure.
  bool Open(std::string_view name, size_t size);
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  // Nobody else had the object open, so this opener zeroed it.
  bool StartedFresh() const { return startedFresh_; }
  std::span<uint8_t> View() const { return {view_, size_}; }

  // Numbered locks, 0 to MaxLockIndex; they say nothing of the content. Taking one
  // this opener already holds succeeds.
  static constexpr uint32_t MaxLockIndex = 0xFFFF;
  bool TryLock(uint32_t index);
  // Waits up to `milliseconds` for the lock.
  bool Lock(uint32_t index, uint32_t milliseconds);
  void Unlock(uint32_t index);
  // Another opener holds the lock. False when this opener holds it, or on failure.
  bool IsLockedElsewhere(uint32_t index) const;

  // The system's name for `name`: scoped to the effective user.
  static std::string SystemName(std::string_view name);
  // Deletes the name; openers keep what they have. For cleaning up after tests.
  static bool Remove(std::string_view name);

 private:
  int fd_ = -1;
  uint8_t* view_ = nullptr;
  size_t size_ = 0;
  bool startedFresh_ = false;
};
