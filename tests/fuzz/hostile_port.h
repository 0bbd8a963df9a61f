// A device that answers whatever its script says: every interface path, open, close,
// driver request and completion is taken from a byte stream, in the order the program
// asks. Replaying reads the answers from the input (zeros past its end); recording asks
// a real port below and writes its answers down, so a recording of the simulated plug
// replays as that plug. Hostile in content only: it writes no more than the buffers it
// is given, ends no request "pending", and releases a held transfer by the time its
// endpoint is aborted or its handle closed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/driver_port.h"

class DeviceScript {
 public:
  DeviceScript() : recording_(true) {}                                           // records
  DeviceScript(const uint8_t* data, size_t size) : input_(data), size_(size) {}  // replays

  bool Recording() const { return recording_; }
  // One answer: replaying returns the next one from the input, recording writes value
  // down and returns it.
  uint8_t Byte(uint8_t value);
  uint32_t Word(uint32_t value);
  // An answer of up to limit bytes (at most 65535), length first.
  std::vector<uint8_t> Blob(const uint8_t* value, size_t size, size_t limit);
  const std::vector<uint8_t>& Recorded() const { return recorded_; }

 private:
  bool recording_ = false;
  const uint8_t* input_ = nullptr;
  size_t size_ = 0;
  size_t at_ = 0;
  std::vector<uint8_t> recorded_;
};

class HostilePort : public DriverPort {
 public:
  // Recording needs the port that really answers; replaying takes none.
  HostilePort(DeviceScript& script, DriverPort* inner);
  ~HostilePort() override;
  HostilePort(const HostilePort&) = delete;
  HostilePort& operator=(const HostilePort&) = delete;

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

  // The request block of the last transfer request as the port left it (statuses,
  // packet records): what the program must read back from it.
  const std::vector<uint8_t>& LastTransferBlock() const { return lastBlock_; }

 private:
  class InterfaceSet;
  struct Held {
    Overlapped* Record;
    uint8_t Endpoint;
  };
  // How a request is answered.
  enum How : uint8_t { kAtOnce, kCompletedLater, kRefused, kHeldUntilAbort };

  void ReleaseHeld(bool allEndpoints, uint8_t endpoint);
  bool Registered(NotifyHandle handle, uint32_t innerError, uint32_t* error);

  DeviceScript& script_;
  DriverPort* inner_;
  std::vector<Held> held_;
  std::vector<uint8_t> lastBlock_;
  NotifyHandle nextRegistration_ = 0x100;
};

// What one session with a device came to; equal for a recording and its replay.
struct HostileSession {
  bool Opened = false;
  uint16_t bcdUSB = 0;
  uint32_t Ep0PacketSize = 0;
  std::u16string Serial;
  std::string FriendlyName;
  uint8_t Endpoints = 0;
  std::string Info;              // the plug's information string
  int32_t FirmwareNumber = -1;   // -1: the string has no version
  std::vector<int32_t> Lengths;  // every transfer's reported length, in order
  uint32_t PacketReadBacks = 0;  // transfers whose packet records were read back
  bool Closed = false;
  // Broken promises of the device layer: each a short description.
  std::vector<std::string> Broken;
  bool operator==(const HostileSession& other) const {
    return Opened == other.Opened && bcdUSB == other.bcdUSB &&
           Ep0PacketSize == other.Ep0PacketSize && Serial == other.Serial &&
           FriendlyName == other.FriendlyName && Endpoints == other.Endpoints &&
           Info == other.Info && FirmwareNumber == other.FirmwareNumber &&
           Lengths == other.Lengths && PacketReadBacks == other.PacketReadBacks &&
           Closed == other.Closed;
  }
};

// Opens device number script.Byte() of the plug class through a UsbDevice on the
// installed port, reads the plug's information string, starts the benchmark data,
// makes a synchronous and a queued transfer on every endpoint (isochronous ones with
// packet records, each endpoint in the transfer form the script picks), resets and
// aborts, and closes. port is the installed HostilePort, for the blocks it wrote.
HostileSession RunHostileSession(DeviceScript& script, const HostilePort& port);
