// A fake kernel behind the gadget transport's files: ep0 events and control stages,
// endpoint files fed and read by the test as the host, and a controller binding that
// records what it is asked. Every wait ends after a few seconds so that a broken
// transport fails its test instead of hanging it.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gadget/ffs_blobs.h"
#include "gadget/plug_gadget.h"

class FakeFfs : public FfsFiles {
 public:
  // What the transport did, in order: "descriptors", "strings", "attach N", "detach",
  // "reply <hex>", "ack", "stall", "halt ep<N>".
  std::vector<std::string> Log();
  // The descriptor blocks written, one per enumeration.
  std::vector<std::vector<uint8_t>> DescriptorBlocks();

  void PushEvent(FfsEventType type, SetupPacket setup = {}, std::vector<uint8_t> outData = {});
  // The host's OUT data for the endpoint file of that address.
  void HostSend(uint8_t address, std::vector<uint8_t> data);
  // The IN transfers the transport wrote to the endpoint file of that address.
  std::vector<std::vector<uint8_t>> HostReceived(uint8_t address);
  // The address the controller reports for an endpoint, when it is not the one asked.
  void GiveAddress(uint8_t wanted, uint8_t given);

  // Waits until pred() holds, up to 5 s.
  bool WaitFor(const std::function<bool()>& pred);
  bool LogContains(const std::string& entry);

  // The bus side.
  void Attached(uint8_t speed);
  void Detached();

  int Open(uint32_t index) override;
  void Close(int fd) override;
  ssize_t Read(int fd, void* data, size_t length) override;
  ssize_t Write(int fd, const void* data, size_t length) override;
  std::optional<uint8_t> EndpointAddress(uint32_t index) override;
  void Interrupt(pthread_t thread) override;

 private:
  struct Event {
    FfsEvent Packet;
    std::vector<uint8_t> OutData;
  };
  uint8_t AddressOf(uint32_t index) const;  // under lock_
  bool Wait(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
            uint64_t wakeups);

  std::mutex lock_;
  std::condition_variable changed_;
  uint64_t wakeups_ = 0;
  std::vector<std::string> log_;
  std::vector<std::vector<uint8_t>> blocks_;
  std::map<int, uint32_t> fds_;  // fd -> file index
  int nextFd_ = 3;
  int ep0Writes_ = 0;
  std::deque<Event> events_;
  bool setupPending_ = false;
  Event setup_;
  std::vector<uint8_t> addresses_;  // file index - 1 -> address, from the last block
  std::map<uint8_t, uint8_t> given_;
  std::map<uint8_t, std::deque<std::vector<uint8_t>>> hostOut_;
  std::map<uint8_t, std::vector<std::vector<uint8_t>>> hostIn_;
};

class FakeBus : public GadgetBus {
 public:
  explicit FakeBus(FakeFfs& files) : files_(files) {}
  bool Attach(uint8_t speed, std::string*) override {
    files_.Attached(speed);
    return true;
  }
  bool Detach(std::string*) override {
    files_.Detached();
    return true;
  }

 private:
  FakeFfs& files_;
};
