#include "platform/driver_port.h"

#include <atomic>
#include <cstring>

#include "platform/win_error.h"

namespace {
class NoDeviceSet : public DeviceInterfaceSet {
 public:
  uint32_t GetInterfacePath(uint32_t, std::string*) override { return ERROR_NO_MORE_ITEMS; }
};

// The backend that does nothing: no devices, every handle refused.
class EmptyPort : public DriverPort {
 public:
  std::unique_ptr<DeviceInterfaceSet> GetClassDevices(const Guid&, uint32_t*) override {
    return std::make_unique<NoDeviceSet>();
  }
  DriverHandle Open(const std::string&, uint32_t* error) override {
    if (error) *error = ERROR_FILE_NOT_FOUND;
    return INVALID_DRIVER_HANDLE;
  }
  bool Close(DriverHandle, uint32_t* error) override {
    if (error) *error = ERROR_INVALID_HANDLE;
    return false;
  }
  bool IoControl(DriverHandle, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*,
                 Overlapped*, uint32_t* error) override {
    if (error) *error = ERROR_INVALID_HANDLE;
    return false;
  }
  NotifyHandle RegisterClassNotification(const Guid&, DeviceNoticeRecipient*, uint32_t*) override {
    return ++next_;
  }
  NotifyHandle RegisterHandleNotification(DriverHandle, DeviceNoticeRecipient*,
                                          uint32_t* error) override {
    if (error) *error = ERROR_INVALID_HANDLE;
    return NO_NOTIFY_HANDLE;
  }
  bool UnregisterNotification(NotifyHandle, uint32_t*) override { return true; }

 private:
  std::atomic<NotifyHandle> next_{0};
};

EmptyPort g_emptyPort;
std::atomic<DriverPort*> g_port{nullptr};
}  // namespace

DriverPort& GetDriverPort() {
  DriverPort* port = g_port.load(std::memory_order_acquire);
  return port ? *port : g_emptyPort;
}

void SetDriverPort(DriverPort* port) {
  g_port.store(port, std::memory_order_release);
}

bool AnswerDriverQuery(const void* value, uint32_t size, void* out, uint32_t outLength,
                       uint32_t* bytesReturned, Overlapped* record, uint32_t* error) {
  if (size != 0 && (out == nullptr || outLength < size)) {
    *error = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  if (size) std::memcpy(out, value, size);
  *bytesReturned = size;
  *error = ERROR_SUCCESS;
  if (record) {
    BeginOverlapped(record);
    CompleteOverlapped(record, ERROR_SUCCESS, size);
  }
  return true;
}
