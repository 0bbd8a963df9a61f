// The simulated bus as plug management sees it, with a tap on the wire: every vendor
// request and every display read that reaches a plug is noted on its way through, so
// tests see what the plug was sent and in which order, without looking inside it.
// Benchmarks use it too, so it stays free of the test framework.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver_port.h"
#include "platform/win_error.h"
#include "protocol/driver_requests.h"
#include "protocol/plug_commands.h"
#include "protocol/usb_standard.h"
#include "sim/sim_driver.h"
#include "sim/sim_options.h"

class SimBus : public DriverPort {
 public:
  struct VendorCall {
    uint16_t Command = 0;
    bool Out = false;
    std::vector<uint8_t> Data;  // OUT data as sent
  };

  explicit SimBus(const std::string& options) {
    const SimOptionsResult parsed = ParseSimOptions(options);
    if (!parsed.Ok) {
      std::fprintf(stderr, "bad simulation options: %s\n", options.c_str());
      std::abort();
    }
    sim_ = std::make_unique<SimDriverPort>(parsed.Options);
    SetDriverPort(this);
  }
  ~SimBus() override {
    SetDriverPort(nullptr);
    sim_.reset();
  }
  SimBus(const SimBus&) = delete;
  SimBus& operator=(const SimBus&) = delete;

  SimDriverPort& Sim() { return *sim_; }

  std::vector<VendorCall> VendorCalls() const {
    std::lock_guard lock(lock_);
    return vendor_;
  }
  std::vector<uint16_t> Commands() const {
    std::vector<uint16_t> commands;
    for (const VendorCall& call : VendorCalls()) commands.push_back(call.Command);
    return commands;
  }
  size_t CountCommand(uint16_t command) const {
    size_t count = 0;
    for (const VendorCall& call : VendorCalls()) count += call.Command == command;
    return count;
  }
  size_t DisplayReads() const {
    std::lock_guard lock(lock_);
    return displayReads_;
  }
  void ClearRecord() {
    std::lock_guard lock(lock_);
    vendor_.clear();
    displayReads_ = 0;
  }
  // Faults the simulated plug has no option for, each on a request the test names
  // rather than at a time: the plug leaves for good when the next configuration
  // request comes (whether or not that request still reaches it), and device opens
  // are refused once `opens` more have gone through.
  void RemoveOnNextConfiguration(uint32_t plug) {
    std::lock_guard lock(lock_);
    removeOnConfiguration_ = static_cast<int64_t>(plug);
  }
  void RefuseOpensAfter(uint32_t opens) {
    std::lock_guard lock(lock_);
    opensLeft_ = opens;
  }

  std::unique_ptr<DeviceInterfaceSet> GetClassDevices(const Guid& interfaceClass,
                                                      uint32_t* error) override {
    return sim_->GetClassDevices(interfaceClass, error);
  }
  DriverHandle Open(const std::string& path, uint32_t* error) override {
    {
      std::lock_guard lock(lock_);
      if (opensLeft_ == 0) {
        if (error) *error = ERROR_DEVICE_NOT_CONNECTED;
        return INVALID_DRIVER_HANDLE;
      }
      if (opensLeft_ > 0) --opensLeft_;
    }
    return sim_->Open(path, error);
  }
  bool Close(DriverHandle handle, uint32_t* error) override { return sim_->Close(handle, error); }
  bool IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* bytesReturned, Overlapped* record,
                 uint32_t* error) override {
    Note(code, static_cast<const uint8_t*>(in), inLength);
    return sim_->IoControl(handle, code, in, inLength, out, outLength, bytesReturned, record,
                           error);
  }
  NotifyHandle RegisterClassNotification(const Guid& interfaceClass,
                                         DeviceNoticeRecipient* recipient,
                                         uint32_t* error) override {
    return sim_->RegisterClassNotification(interfaceClass, recipient, error);
  }
  NotifyHandle RegisterHandleNotification(DriverHandle handle, DeviceNoticeRecipient* recipient,
                                          uint32_t* error) override {
    return sim_->RegisterHandleNotification(handle, recipient, error);
  }
  bool UnregisterNotification(NotifyHandle registration, uint32_t* error) override {
    return sim_->UnregisterNotification(registration, error);
  }

 private:
  void Note(uint32_t code, const uint8_t* in, uint32_t inLength) {
    if (in == nullptr || inLength < DRIVER_TRANSFER_BLOCK_SIZE) return;
    const DriverTransferBlock block = ReadDriverTransferBlock(in);
    int64_t remove = -1;
    {
      std::lock_guard lock(lock_);
      if (code == IOCTL_EP0_TRANSFER && RequestTypeOf(block.bmRequestType) == USB_TYPE_VENDOR) {
        VendorCall call;
        call.Command = block.wValue;
        call.Out = !IsInAddress(block.bmRequestType);
        if (call.Out && block.BufferOffset <= inLength &&
            block.BufferLength <= inLength - block.BufferOffset) {
          call.Data.assign(in + block.BufferOffset, in + block.BufferOffset + block.BufferLength);
        }
        if (call.Command == PlugCommand::Configure) std::swap(remove, removeOnConfiguration_);
        vendor_.push_back(std::move(call));
      } else if ((code == IOCTL_DIRECT_TRANSFER || code == IOCTL_BUFFERED_TRANSFER) &&
                 block.EndpointAddress == PLUG_DISPLAY_ENDPOINT) {
        ++displayReads_;
      }
    }
    if (remove >= 0) sim_->UnplugNow(static_cast<uint32_t>(remove), 0);
  }

  std::unique_ptr<SimDriverPort> sim_;
  mutable std::mutex lock_;
  std::vector<VendorCall> vendor_;
  size_t displayReads_ = 0;
  int64_t removeOnConfiguration_ = -1;
  int64_t opensLeft_ = -1;  // -1: no limit
};

// Polls a condition another thread makes true; bounded, so a broken build fails
// instead of hanging.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
