// A scripted driver port: one device-interface class with any number of paths, one
// device behind every handle, answers set up front, every request recorded. It installs
// itself while it lives. Descriptor reads (synchronous GET_DESCRIPTOR) answer the first
// wLength bytes of the scripted set, a missing set is refused. Every other transfer is
// answered from its endpoint's queue, else by DefaultAnswer; a pending answer waits for
// CompletePending() or an abort of its endpoint. Requests may come from any thread.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/driver_port.h"
#include "protocol/driver_requests.h"

class FakePort : public DriverPort {
 public:
  // How one transfer request is answered.
  struct Answer {
    enum class Kind { Complete, Pending, Refuse };
    Kind How = Kind::Complete;
    uint32_t Error = 0;           // Refuse: the error returned; Complete/Pending: the record status
    uint32_t NtStatus = 0;        // written into the request block
    uint32_t UsbdStatus = 0;      // written into the request block
    std::vector<uint8_t> Data{};  // device-to-host data; fewer bytes than asked is a short read
    std::vector<IsoPacketResult> Packets{};  // written at the packet-record offset
    int64_t Bytes = -1;  // reported byte count; -1: what the request naturally moved

    static Answer Pending() { return {.How = Kind::Pending}; }
    static Answer Refused(uint32_t error) { return {.How = Kind::Refuse, .Error = error}; }
    static Answer WithData(std::vector<uint8_t> data) { return {.Data = std::move(data)}; }
  };

  // One request as the program sent it.
  struct Request {
    DriverHandle Handle = INVALID_DRIVER_HANDLE;
    uint32_t Code = 0;
    std::vector<uint8_t> Input;  // copy of the input bytes at the time of the call
    uint32_t InLength = 0;
    uint32_t OutLength = 0;
    bool Overlapped = false;
    std::vector<uint8_t> OutData;  // host-to-device data of a transfer (what the device got)
  };

  FakePort() { SetDriverPort(this); }
  ~FakePort() override { SetDriverPort(nullptr); }
  FakePort(const FakePort&) = delete;
  FakePort& operator=(const FakePort&) = delete;

  // The script: set before the code under test runs.
  std::vector<std::string> Paths;           // present device interfaces
  uint32_t ClassDevicesError = 0;           // non-zero: GetClassDevices fails with it
  std::map<uint32_t, uint32_t> PathErrors;  // interface index -> error instead of a path
  uint32_t OpenError = 0;                   // non-zero: Open fails with it
  uint32_t CloseError = 0;                  // non-zero: Close fails with it
  uint32_t ClassNotifyError = 0;            // non-zero: class registration fails
  uint32_t UnregisterError = 0;             // non-zero: unregistration fails

  std::vector<uint8_t> DeviceDescriptor;               // type 1; empty = refused
  std::map<uint8_t, std::vector<uint8_t>> ConfigSets;  // type 2, by index
  std::map<uint8_t, std::vector<uint8_t>> StringSets;  // type 3, by index (0 = languages)
  std::vector<uint8_t> BosSet;                         // type 15; empty = refused

  int AltSetting = 0;  // current alternate setting; negative: the request fails
  uint32_t Speed = DRIVER_SPEED_HIGH;
  uint8_t BusAddress = 5;
  uint32_t DriverRevision = 0x00010203;
  uint32_t UsbdiRevision = 0x00000600;
  std::string DeviceName = "fake-device";
  std::string FriendlyName = "Fake Device";
  // Request code -> error: every request with that code is refused.
  std::map<uint32_t, uint32_t> FailCodes;
  // Request codes whose synchronous answer reports one byte fewer than asked.
  std::set<uint32_t> ShortCodes;
  // The abort request itself answers pending (after completing the endpoint's
  // requests) instead of completing at once.
  bool AbortAnswersPending = false;

  Answer DefaultAnswer;
  void QueueAnswer(uint8_t endpointAddress, Answer answer);

  std::vector<Request> Requests() const;
  std::vector<Request> RequestsWithCode(uint32_t code) const;
  void ClearRequests();
  size_t PendingCount() const;
  // Completes up to count pending requests, oldest first, with their scripted answers.
  void CompletePending(size_t count = SIZE_MAX);
  size_t OpenHandleCount() const;
  size_t RegistrationCount() const;
  // Delivers a notice as the platform would: an interface notice to every class
  // registration, a handle notice to the registrations of notice.Handle.
  void SendNotice(const DeviceNotice& notice);

  std::unique_ptr<DeviceInterfaceSet> GetClassDevices(const Guid& interfaceClass,
                                                      uint32_t* error) override;
  DriverHandle Open(const std::string& path, uint32_t* error) override;
  bool Close(DriverHandle handle, uint32_t* error) override;
  bool IoControl(DriverHandle handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* bytesReturned, Overlapped* record,
                 uint32_t* error) override;
  NotifyHandle RegisterClassNotification(const Guid& interfaceClass,
                                         DeviceNoticeRecipient* recipient,
                                         uint32_t* error) override;
  NotifyHandle RegisterHandleNotification(DriverHandle handle, DeviceNoticeRecipient* recipient,
                                          uint32_t* error) override;
  bool UnregisterNotification(NotifyHandle registration, uint32_t* error) override;

 private:
  struct Call {
    uint32_t Code = 0;
    uint8_t* Block = nullptr;  // the request block (in == out for buffered and endpoint 0)
    uint32_t BlockLength = 0;
    uint8_t* Data = nullptr;  // the caller's buffer of a direct transfer
    uint32_t DataLength = 0;
    uint8_t Endpoint = 0;
    bool DeviceToHost = false;
    Overlapped* Record = nullptr;
    Answer Reply;
  };
  struct Registration {
    DriverHandle Handle = INVALID_DRIVER_HANDLE;  // INVALID_DRIVER_HANDLE: a class registration
    DeviceNoticeRecipient* Recipient = nullptr;
  };

  bool SyncRequest(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                   uint32_t outLength, uint32_t* bytes, uint32_t* error);
  bool DescriptorRequest(uint8_t* block, uint32_t length, uint32_t* bytes, uint32_t* error);
  // Applies the answer to the call's block and buffer; returns the byte count.
  static uint32_t Fill(Call& call);
  NotifyHandle Register(DriverHandle handle, DeviceNoticeRecipient* recipient);

  mutable std::mutex lock_;
  std::map<uint8_t, std::deque<Answer>> answers_;
  std::vector<Request> requests_;
  std::deque<Call> pending_;
  std::set<DriverHandle> openHandles_;
  std::map<NotifyHandle, Registration> registrations_;
  DriverHandle nextHandle_ = 0x100;
  NotifyHandle nextRegistration_ = 0x1000;
};

// The header bytes of a request block with these fields, to compare with Request::Input.
inline std::vector<uint8_t> BlockBytes(const DriverTransferBlock& block) {
  std::vector<uint8_t> raw(DRIVER_TRANSFER_BLOCK_SIZE);
  WriteDriverTransferBlock(block, raw.data());
  return raw;
}
