// One endpoint of the open device and the transfers on it. A submission hands one
// request block to the driver with the caller's overlapped record; the caller waits on
// the record's event and then completes the transfer, which reads back the byte count
// and the two status words and releases the block. TransferSync does the three steps
// in a row with a time-out and an abort.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/driver_port.h"
#include "platform/overlapped.h"
#include "protocol/driver_requests.h"

class UsbEndpoint {
 public:
  // The request context of one submission: the request block (header, packet
  // records, data) exactly as the driver sees it, plus the layout the submission
  // chose. It belongs to the driver and the caller until CompleteTransfer releases
  // it; neither it, the data buffer nor the overlapped record may move before then.
  // The request block: header, packet records and (buffered forms) data. Blocks of
  // the direct bulk form fit inline, so the hot path makes one allocation, not two.
  class RequestBlock {
   public:
    void assign(size_t size, uint8_t value) {
      if (size > sizeof inline_) {
        heap_.assign(size, value);
        data_ = heap_.data();
      } else {
        std::memset(inline_, value, size);
        data_ = inline_;
      }
      size_ = size;
    }
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

   private:
    uint8_t inline_[64];
    std::vector<uint8_t> heap_;
    uint8_t* data_ = inline_;
    size_t size_ = 0;
  };

  struct RequestContext {
    RequestBlock Block;
    // Kept beside the block so that read-back never trusts offsets the driver could
    // have overwritten.
    uint32_t PacketRecordLength = 0;
    uint32_t BufferOffset = 0;  // 0 for the direct forms
    uint32_t BufferLength = 0;  // data bytes inside the block
    bool IsIn = false;          // direction at submission
    bool Accepted = false;      // the driver took the request (completed or pending)
    uint32_t SubmitError = 0;   // system error of the submission (997 pending)

    // Every transfer makes and releases one context; a small per-thread free list
    // keeps the allocator off the transfer path of the benchmark workers.
    static void* operator new(size_t size);
    static void operator delete(void* memory) noexcept;
  };

  // Builds an endpoint of the kind bits 1..0 of bmAttributes name (0 control,
  // 1 isochronous, 2 bulk, 3 interrupt) from a 7-byte endpoint descriptor and an
  // optional 6-byte SuperSpeed endpoint companion descriptor.
  static std::unique_ptr<UsbEndpoint> FromDescriptor(DriverHandle handle, const uint8_t* descriptor,
                                                     const uint8_t* companion);

  UsbEndpoint(const UsbEndpoint&) = delete;
  UsbEndpoint& operator=(const UsbEndpoint&) = delete;

  // Slots 0..3. Callers use SubmitTransfer; the two forms behind it are public for
  // the engines that pick one explicitly. nullptr: no request was made.
  virtual RequestContext* SubmitDirect(uint8_t* buffer, int32_t length, Overlapped* record);
  virtual RequestContext* SubmitBuffered(uint8_t* buffer, int32_t length, Overlapped* record);
  virtual RequestContext* SubmitTransfer(uint8_t* buffer, int32_t length, Overlapped* record) = 0;
  // length: in, the length given at submission; out, the data bytes moved. Releases
  // the context. packets, when given, has room for every packet of the transfer.
  virtual bool CompleteTransfer(uint8_t* buffer, int32_t& length, Overlapped* record,
                                RequestContext* context, IsoPacketResult* packets = nullptr);
  // Endpoints are released through base pointers by the descriptor tree, so the
  // destructor is virtual even though the objects hold nothing but their own memory;
  // declared after the four transfer slots so that they keep their order.
  virtual ~UsbEndpoint() = default;

  bool TransferSync(uint8_t* buffer, int32_t& length, IsoPacketResult* packets = nullptr);
  bool AwaitTransfer(Overlapped* record, uint32_t timeoutMs);
  bool AbortTransfers();
  bool ResetEndpoint();
  void SetDriverTransferSize(uint32_t size);

  DriverHandle DeviceHandle = INVALID_DRIVER_HANDLE;
  uint8_t bLength = 0;
  uint8_t bDescriptorType = 0;
  uint8_t bEndpointAddress = 0;
  uint8_t bmAttributes = 0;
  uint16_t MaxPacketSize = 0;
  uint16_t PacketsPerInterval = 0;
  uint8_t bInterval = 0;
  uint8_t CompanionLength = 0;
  uint8_t CompanionType = 0;
  std::atomic<uint8_t> MaxBurst{0};
  uint8_t CompanionAttributes = 0;
  uint16_t BytesPerInterval = 0;
  // Result and setting fields that several threads may read and overwrite: atomic,
  // relaxed. A caller that queues several transfers reads them right after its call.
  std::atomic<uint32_t> TimeoutMs{10000};
  std::atomic<uint32_t> UsbdStatus{0};
  std::atomic<uint32_t> NtStatus{0};
  std::atomic<uint32_t> BytesTransferred{0};
  std::atomic<uint32_t> LastWinError{0};
  std::atomic<bool> IsIn{false};
  std::atomic<uint32_t> TransferMode{1};  // 1 direct, 0 buffered

 protected:
  UsbEndpoint(DriverHandle handle, const uint8_t* descriptor, const uint8_t* companion);

  // Sends one overlapped transfer request for a context already filled in and
  // records the submission error; copyStatus also copies the block's statuses.
  RequestContext* SendTransfer(std::unique_ptr<RequestContext> context, uint32_t code,
                               uint8_t* dataBuffer, uint32_t dataLength, Overlapped* record,
                               bool copyStatus);
  // Submission by TransferMode, shared by bulk, interrupt and isochronous endpoints.
  RequestContext* SubmitByMode(uint8_t* buffer, int32_t length, Overlapped* record);

 private:
  bool WaitForSync(Overlapped* record, const RequestContext* context);
};

class UsbControlEndpoint : public UsbEndpoint {
 public:
  UsbControlEndpoint(DriverHandle handle, const uint8_t* descriptor, const uint8_t* companion);

  RequestContext* SubmitTransfer(uint8_t* buffer, int32_t length, Overlapped* record) override;

  // Direction := 1 (0), then TransferSync.
  bool ControlRead(uint8_t* buffer, int32_t& length);
  bool ControlWrite(uint8_t* buffer, int32_t& length);

  // Set by the caller before ControlRead/ControlWrite; a caller that shares the
  // control endpoint between threads serialises its requests.
  uint32_t Recipient = 0;    // 0 device, 1 interface, 2 endpoint, 3 other
  uint32_t RequestType = 2;  // 0 standard, 1 class, 2 vendor
  uint32_t Direction = 0;    // 0 host-to-device, 1 device-to-host
  uint8_t RequestCode = 0;
  uint16_t RequestValue = 0;
  uint16_t RequestIndex = 0;
};

class UsbBulkEndpoint : public UsbEndpoint {
 public:
  UsbBulkEndpoint(DriverHandle handle, const uint8_t* descriptor, const uint8_t* companion)
      : UsbEndpoint(handle, descriptor, companion) {}
  RequestContext* SubmitTransfer(uint8_t* buffer, int32_t length, Overlapped* record) override {
    return SubmitByMode(buffer, length, record);
  }
};

class UsbInterruptEndpoint : public UsbEndpoint {
 public:
  UsbInterruptEndpoint(DriverHandle handle, const uint8_t* descriptor, const uint8_t* companion)
      : UsbEndpoint(handle, descriptor, companion) {}
  RequestContext* SubmitTransfer(uint8_t* buffer, int32_t length, Overlapped* record) override {
    return SubmitByMode(buffer, length, record);
  }
};

class UsbIsocEndpoint : public UsbEndpoint {
 public:
  UsbIsocEndpoint(DriverHandle handle, const uint8_t* descriptor, const uint8_t* companion)
      : UsbEndpoint(handle, descriptor, companion) {}
  RequestContext* SubmitDirect(uint8_t* buffer, int32_t length, Overlapped* record) override;
  RequestContext* SubmitBuffered(uint8_t* buffer, int32_t length, Overlapped* record) override;
  RequestContext* SubmitTransfer(uint8_t* buffer, int32_t length, Overlapped* record) override {
    return SubmitByMode(buffer, length, record);
  }
};
