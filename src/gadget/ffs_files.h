// The kernel side of one FunctionFS mount as the gadget transport uses it: ep0 for
// descriptors, events and control replies, ep1..epN for the endpoints in descriptor
// order. The system implementation works on the mounted files; tests put a fake
// kernel behind the same calls.
#pragma once
#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class FfsFiles {
 public:
  virtual ~FfsFiles() = default;
  // index 0 is ep0, n the endpoint file "ep<n>". -1 with errno on failure.
  virtual int Open(uint32_t index) = 0;
  virtual void Close(int fd) = 0;
  // Blocking, as the files are: endpoint I/O waits for the host, ep0 reads wait for
  // the next event. -1 with errno; EINTR after Interrupt.
  virtual ssize_t Read(int fd, void* data, size_t length) = 0;
  virtual ssize_t Write(int fd, const void* data, size_t length) = 0;
  // The bEndpointAddress the controller gave endpoint file n while the function is
  // enabled; nullopt when it cannot say.
  virtual std::optional<uint8_t> EndpointAddress(uint32_t index) = 0;
  // Makes a blocking call of that thread return with EINTR.
  virtual void Interrupt(pthread_t thread) = 0;
};

// The files of a FunctionFS mount point.
class SystemFfsFiles : public FfsFiles {
 public:
  explicit SystemFfsFiles(std::string mountPoint);
  int Open(uint32_t index) override;
  void Close(int fd) override;
  ssize_t Read(int fd, void* data, size_t length) override;
  ssize_t Write(int fd, const void* data, size_t length) override;
  std::optional<uint8_t> EndpointAddress(uint32_t index) override;
  void Interrupt(pthread_t thread) override;

 private:
  std::string FileName(uint32_t index) const;
  std::string mountPoint_;
};

// Installs the do-nothing handler that lets Interrupt break a blocking call (no
// restart); once per process, before any gadget thread starts.
void InstallInterruptHandler();

// Mounts FunctionFS instance `instance` at mountPoint (creating the folder) unless ep0
// is there already. *mounted says whether this call mounted it.
bool MountFunctionFs(const std::string& instance, const std::string& mountPoint, bool* mounted,
                     std::string* error);
void UnmountFunctionFs(const std::string& mountPoint);
