#include "gadget/fake_ffs.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "protocol/byte_order.h"

namespace {
constexpr auto kPatience = std::chrono::seconds(5);
constexpr size_t kBlockHeader = 24;  // magic, length, flags, three counts
}  // namespace

std::vector<std::string> FakeFfs::Log() {
  std::lock_guard lock(lock_);
  return log_;
}

std::vector<std::vector<uint8_t>> FakeFfs::DescriptorBlocks() {
  std::lock_guard lock(lock_);
  return blocks_;
}

bool FakeFfs::LogContains(const std::string& entry) {
  std::lock_guard lock(lock_);
  for (const std::string& line : log_) {
    if (line == entry) return true;
  }
  return false;
}

void FakeFfs::PushEvent(FfsEventType type, SetupPacket setup, std::vector<uint8_t> outData) {
  std::lock_guard lock(lock_);
  events_.push_back({{type, setup}, std::move(outData)});
  changed_.notify_all();
}

void FakeFfs::HostSend(uint8_t address, std::vector<uint8_t> data) {
  std::lock_guard lock(lock_);
  hostOut_[address].push_back(std::move(data));
  changed_.notify_all();
}

std::vector<std::vector<uint8_t>> FakeFfs::HostReceived(uint8_t address) {
  std::lock_guard lock(lock_);
  return hostIn_[address];
}

void FakeFfs::GiveAddress(uint8_t wanted, uint8_t given) {
  std::lock_guard lock(lock_);
  given_[wanted] = given;
}

bool FakeFfs::WaitFor(const std::function<bool()>& pred) {
  const auto until = std::chrono::steady_clock::now() + kPatience;
  while (!pred()) {
    std::unique_lock lock(lock_);
    if (changed_.wait_until(lock, until) == std::cv_status::timeout) {
      lock.unlock();
      return pred();
    }
  }
  return true;
}

void FakeFfs::Attached(uint8_t speed) {
  std::lock_guard lock(lock_);
  log_.push_back("attach " + std::to_string(speed));
  changed_.notify_all();
}

void FakeFfs::Detached() {
  std::lock_guard lock(lock_);
  log_.push_back("detach");
  changed_.notify_all();
}

bool FakeFfs::Wait(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                   uint64_t wakeups) {
  const auto until = std::chrono::steady_clock::now() + kPatience;
  while (!ready()) {
    if (wakeups_ != wakeups) return false;
    if (changed_.wait_until(lock, until) == std::cv_status::timeout) return false;
  }
  return true;
}

uint8_t FakeFfs::AddressOf(uint32_t index) const {
  return index >= 1 && index <= addresses_.size() ? addresses_[index - 1] : 0;
}

int FakeFfs::Open(uint32_t index) {
  std::lock_guard lock(lock_);
  if (index == 0) ep0Writes_ = 0;
  if (index > addresses_.size()) {
    errno = ENOENT;
    return -1;
  }
  fds_[nextFd_] = index;
  return nextFd_++;
}

void FakeFfs::Close(int fd) {
  std::lock_guard lock(lock_);
  fds_.erase(fd);
}

ssize_t FakeFfs::Read(int fd, void* data, size_t length) {
  std::unique_lock lock(lock_);
  const uint64_t wakeups = wakeups_;
  const uint32_t index = fds_.at(fd);
  if (index == 0) {
    if (setupPending_) {
      setupPending_ = false;
      const SetupPacket& s = setup_.Packet.Setup;
      if (s.bmRequestType & USB_DIR_IN) {
        log_.push_back("stall");
        changed_.notify_all();
        errno = EL2HLT;
        return -1;
      }
      if (length == 0) log_.push_back("ack");
      const size_t n = std::min(length, setup_.OutData.size());
      if (n != 0) std::memcpy(data, setup_.OutData.data(), n);
      changed_.notify_all();
      return static_cast<ssize_t>(n);
    }
    if (!Wait(
            lock, [&] { return !events_.empty(); }, wakeups)) {
      errno = EINTR;
      return -1;
    }
    Event event = std::move(events_.front());
    events_.pop_front();
    const auto bytes = EncodeFfsEvent(event.Packet);
    std::memcpy(data, bytes.data(), bytes.size());
    if (event.Packet.Type == FfsEventType::Setup) {
      setupPending_ = true;
      setup_ = std::move(event);
    }
    return static_cast<ssize_t>(bytes.size());
  }
  const uint8_t address = AddressOf(index);
  if (IsInAddress(address)) {
    log_.push_back("halt ep" + std::to_string(index));
    changed_.notify_all();
    errno = EBADMSG;
    return -1;
  }
  auto& queue = hostOut_[address];
  if (!Wait(
          lock, [&] { return !queue.empty(); }, wakeups)) {
    errno = EINTR;
    return -1;
  }
  std::vector<uint8_t>& front = queue.front();
  const size_t n = std::min(length, front.size());
  std::memcpy(data, front.data(), n);
  front.erase(front.begin(), front.begin() + static_cast<ptrdiff_t>(n));
  if (front.empty()) queue.pop_front();
  changed_.notify_all();
  return static_cast<ssize_t>(n);
}

ssize_t FakeFfs::Write(int fd, const void* data, size_t length) {
  std::lock_guard lock(lock_);
  const uint32_t index = fds_.at(fd);
  const auto* bytes = static_cast<const uint8_t*>(data);
  changed_.notify_all();
  if (index == 0) {
    if (ep0Writes_ < 2) {
      // The descriptor block, then the strings.
      const bool descriptors = ep0Writes_++ == 0;
      log_.push_back(descriptors ? "descriptors" : "strings");
      if (descriptors) {
        blocks_.emplace_back(bytes, bytes + length);
        addresses_.clear();
        const uint32_t fsCount = GetLe32(bytes + 12);
        size_t at = kBlockHeader;
        for (uint32_t i = 0; i < fsCount; ++i) {
          if (bytes[at + 1] == USB_DESCRIPTOR_ENDPOINT) addresses_.push_back(bytes[at + 2]);
          at += bytes[at];
        }
      }
      return static_cast<ssize_t>(length);
    }
    const bool in = setupPending_ && (setup_.Packet.Setup.bmRequestType & USB_DIR_IN);
    setupPending_ = false;
    if (!in) {
      log_.push_back("stall");
      errno = EL2HLT;
      return -1;
    }
    std::string hex = "reply";
    for (size_t i = 0; i < length; ++i) {
      char digits[4];
      std::snprintf(digits, sizeof digits, " %02x", bytes[i]);
      hex += digits;
    }
    log_.push_back(hex);
    return static_cast<ssize_t>(length);
  }
  const uint8_t address = AddressOf(index);
  if (!IsInAddress(address)) {
    log_.push_back("halt ep" + std::to_string(index));
    errno = EBADMSG;
    return -1;
  }
  hostIn_[address].emplace_back(bytes, bytes + length);
  return static_cast<ssize_t>(length);
}

std::optional<uint8_t> FakeFfs::EndpointAddress(uint32_t index) {
  std::lock_guard lock(lock_);
  const uint8_t address = AddressOf(index);
  const auto given = given_.find(address);
  return given != given_.end() ? given->second : address;
}

void FakeFfs::Interrupt(pthread_t) {
  std::lock_guard lock(lock_);
  ++wakeups_;
  changed_.notify_all();
}
