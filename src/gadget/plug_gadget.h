// The loopback plug on a Linux USB device controller: the firmware model served over
// FunctionFS. ep0 carries the vendor requests to the model (the kernel answers the
// standard ones from the gadget's configfs values and owns endpoint halt); one thread
// per endpoint moves data between the endpoint files and the model; a configuration
// request takes the plug off the bus, rewrites its descriptors and binds it again at
// the configuration's speed.
#pragma once
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "firmware/plug_model.h"
#include "gadget/ffs_blobs.h"
#include "gadget/ffs_files.h"
#include "gadget/gadget_faults.h"

// Where the gadget meets its controller: bind at most at a speed, unbind.
class GadgetBus {
 public:
  virtual ~GadgetBus() = default;
  virtual bool Attach(uint8_t speed, std::string* error) = 0;
  virtual bool Detach(std::string* error) = 0;
};

using GadgetLog = std::function<void(const std::string& line)>;

// An endpoint the configuration asked for and the address the controller gave it.
struct EndpointMapping {
  uint8_t Wanted = 0;
  uint8_t Given = 0;
  EndpointRole Role = EndpointRole::Display;
};

class PlugGadget {
 public:
  PlugGadget(const PlugIdentity& identity, FfsFiles& files, GadgetBus& bus,
             const GadgetFaults& faults, GadgetLog log, bool verbose);
  ~PlugGadget();
  PlugGadget(const PlugGadget&) = delete;
  PlugGadget& operator=(const PlugGadget&) = delete;

  // Writes the descriptors, binds and serves until Stop. False with a message when
  // the kernel refuses something the plug cannot do without.
  bool Run(std::string* error);
  // From any other thread: Run returns soon after.
  void Stop();

  // Times the plug has been put on the bus (tests wait for re-enumerations).
  uint32_t Attachments() const { return attachments_.load(); }
  // The endpoints of the current enumeration whose address differs from the one
  // asked for, as found when the host last enabled the function.
  std::vector<EndpointMapping> Mismatches() const;

 private:
  struct Worker {
    PlugEndpoint Endpoint;
    uint32_t Index = 0;  // ep<Index>
    int Fd = -1;
    std::thread Thread;
    std::atomic<bool> Done{false};
  };

  bool Start(std::string* error);
  void Shutdown();
  bool Reenumerate(std::string* error);
  void HandleEvent(const FfsEvent& event);
  void HandleSetup(const SetupPacket& setup);
  void CheckEndpointNumbers();
  void Serve(Worker& worker);
  bool ServeIn(Worker& worker, std::vector<uint8_t>& buffer);
  bool ServeOut(Worker& worker, std::vector<uint8_t>& buffer);
  uint32_t OutRoom(const PlugEndpoint& endpoint) const;  // under modelLock_
  void Log(const std::string& line) const;

  FfsFiles& files_;
  GadgetBus& bus_;
  const GadgetFaults faults_;
  const GadgetLog log_;
  const bool verbose_;

  std::mutex modelLock_;
  std::condition_variable modelChanged_;
  PlugModel model_;

  int ep0_ = -1;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> workersStop_{false};
  std::atomic<bool> inRun_{false};
  pthread_t runThread_{};
  std::atomic<uint32_t> attachments_{0};
  std::atomic<uint32_t> inTransfers_{0}, outTransfers_{0};
  std::mt19937 corruptRandom_{1};  // IN workers only, one per direction

  mutable std::mutex mappingLock_;
  std::vector<EndpointMapping> mismatches_;
  bool mappingChecked_ = false;  // ep0 thread only
};

// The controller binding through configfs.
class ConfigfsGadget;
class ConfigfsBus : public GadgetBus {
 public:
  ConfigfsBus(ConfigfsGadget& gadget, std::string udc) : gadget_(gadget), udc_(std::move(udc)) {}
  bool Attach(uint8_t speed, std::string* error) override;
  bool Detach(std::string* error) override;

 private:
  ConfigfsGadget& gadget_;
  std::string udc_;
};

const char* EndpointRoleName(EndpointRole role);
