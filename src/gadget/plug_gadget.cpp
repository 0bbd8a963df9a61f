#include "gadget/plug_gadget.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "gadget/configfs_gadget.h"
#include "protocol/speed_codes.h"

namespace {

using namespace std::chrono_literals;

// The interface's name string.
constexpr const char* kInterfaceName = "Loopback";
// Bytes per endpoint-file transfer: the plug's loopback block, and more for the
// benchmark streams so that a controller moving many packets per frame stays busy.
constexpr uint32_t kChunk = 65536;
constexpr uint32_t kStreamChunk = 131072;
// The host must see the plug leave before it comes back with its new layout.
constexpr auto kOffBus = 200ms;
// The status stage of the configuration request goes out after its data stage.
constexpr auto kStatusStage = 20ms;
constexpr auto kIdlePoll = 100ms;
constexpr auto kRetryPause = 10ms;

std::string Hex2(uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

const char* SpeedText(uint8_t speed) {
  switch (speed) {
    case SPEED_FULL:
      return "full speed";
    case SPEED_HIGH:
      return "high speed";
    default:
      return "SuperSpeed";
  }
}

uint32_t ChunkFor(const PlugEndpoint& e) {
  return e.Role == EndpointRole::SourceIn || e.Role == EndpointRole::SinkOut ? kStreamChunk
                                                                             : kChunk;
}

}  // namespace

const char* EndpointRoleName(EndpointRole role) {
  switch (role) {
    case EndpointRole::LoopbackOut:
      return "loopback OUT";
    case EndpointRole::LoopbackIn:
      return "loopback IN";
    case EndpointRole::SourceIn:
      return "benchmark IN";
    case EndpointRole::SinkOut:
      return "benchmark OUT";
    case EndpointRole::Display:
      return "display";
  }
  return "endpoint";
}

bool ConfigfsBus::Attach(uint8_t speed, std::string* error) {
  return gadget_.SetMaxSpeed(speed, error) && gadget_.Bind(udc_, error);
}

bool ConfigfsBus::Detach(std::string* error) {
  return gadget_.Unbind(error);
}

PlugGadget::PlugGadget(const PlugIdentity& identity, FfsFiles& files, GadgetBus& bus,
                       const GadgetFaults& faults, GadgetLog log, bool verbose)
    : files_(files),
      bus_(bus),
      faults_(faults),
      log_(std::move(log)),
      verbose_(verbose),
      model_(identity) {}

PlugGadget::~PlugGadget() {
  Stop();
  Shutdown();
}

void PlugGadget::Log(const std::string& line) const {
  if (log_) log_(line);
}

std::vector<EndpointMapping> PlugGadget::Mismatches() const {
  std::lock_guard lock(mappingLock_);
  return mismatches_;
}

void PlugGadget::Stop() {
  stop_.store(true);
  // The run thread may sit in a blocking ep0 read; knock until it has left Run.
  while (inRun_.load()) {
    files_.Interrupt(runThread_);
    std::this_thread::sleep_for(2ms);
  }
}

bool PlugGadget::Run(std::string* error) {
  runThread_ = pthread_self();
  inRun_.store(true);
  bool ok = !stop_.load() && Start(error);
  uint8_t events[FFS_EVENT_SIZE * 4];
  while (ok && !stop_.load()) {
    const ssize_t n = files_.Read(ep0_, events, sizeof events);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = std::string("Reading events from ep0 failed: ") + std::strerror(errno);
      ok = false;
      break;
    }
    for (ssize_t at = 0; at + static_cast<ssize_t>(FFS_EVENT_SIZE) <= n; at += FFS_EVENT_SIZE) {
      if (const auto event = ParseFfsEvent(events + at)) HandleEvent(*event);
    }
    bool reenumerate;
    {
      std::lock_guard lock(modelLock_);
      reenumerate = model_.ReenumerationRequested();
    }
    if (reenumerate && !stop_.load()) ok = Reenumerate(error);
  }
  Shutdown();
  inRun_.store(false);
  return ok;
}

bool PlugGadget::Start(std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return false;
  };
  ep0_ = files_.Open(0);
  if (ep0_ < 0) return fail(std::string("Cannot open ep0: ") + std::strerror(errno));
  std::vector<uint8_t> descriptors;
  std::vector<PlugEndpoint> endpoints;
  uint8_t speed;
  {
    std::lock_guard lock(modelLock_);
    descriptors = BuildFfsDescriptors(model_.InterfaceDescriptorsForEverySpeed());
    endpoints = model_.Endpoints();
    speed = model_.Speed();
  }
  if (descriptors.empty()) return fail("The plug's interface descriptors are malformed");
  if (files_.Write(ep0_, descriptors.data(), descriptors.size()) !=
      static_cast<ssize_t>(descriptors.size())) {
    return fail(std::string("FunctionFS refused the plug's descriptors: ") + std::strerror(errno));
  }
  const std::vector<uint8_t> strings = BuildFfsStrings(kInterfaceName);
  if (files_.Write(ep0_, strings.data(), strings.size()) != static_cast<ssize_t>(strings.size())) {
    return fail(std::string("FunctionFS refused the plug's strings: ") + std::strerror(errno));
  }
  {
    std::lock_guard lock(mappingLock_);
    mismatches_.clear();
  }
  mappingChecked_ = false;
  inTransfers_ = 0;
  outTransfers_ = 0;
  std::string layout;
  for (size_t i = 0; i < endpoints.size(); ++i) {
    auto worker = std::make_unique<Worker>();
    worker->Endpoint = endpoints[i];
    worker->Index = static_cast<uint32_t>(i + 1);
    worker->Fd = files_.Open(worker->Index);
    if (worker->Fd < 0) {
      return fail("Cannot open endpoint file ep" + std::to_string(worker->Index) + ": " +
                  std::strerror(errno));
    }
    if (!layout.empty()) layout += ", ";
    layout += Hex2(endpoints[i].bEndpointAddress) + " " + EndpointRoleName(endpoints[i].Role);
    workers_.push_back(std::move(worker));
  }
  for (auto& worker : workers_) {
    Worker* w = worker.get();
    w->Thread = std::thread([this, w] { Serve(*w); });
  }
  std::string why;
  if (!bus_.Attach(speed, &why)) return fail("Cannot bind the gadget: " + why);
  ++attachments_;
  Log(std::string("On the bus, at most ") + SpeedText(speed) + ": " + layout);
  return true;
}

void PlugGadget::Shutdown() {
  workersStop_.store(true);
  modelChanged_.notify_all();
  if (ep0_ >= 0) {
    std::string why;
    if (!bus_.Detach(&why) && verbose_) Log("Unbinding failed: " + why);
  }
  for (auto& worker : workers_) {
    if (worker->Thread.joinable()) {
      // Endpoint I/O fails once the gadget is unbound; a call still waiting for
      // the function to be enabled needs a knock.
      while (!worker->Done.load()) {
        files_.Interrupt(worker->Thread.native_handle());
        modelChanged_.notify_all();
        std::this_thread::sleep_for(1ms);
      }
      worker->Thread.join();
    }
    files_.Close(worker->Fd);
  }
  workers_.clear();
  workersStop_.store(false);
  if (ep0_ >= 0) files_.Close(ep0_);
  ep0_ = -1;
}

bool PlugGadget::Reenumerate(std::string* error) {
  std::this_thread::sleep_for(kStatusStage);
  Log("Configuration received: leaving the bus to come back with the new endpoint layout");
  Shutdown();
  {
    std::lock_guard lock(modelLock_);
    model_.LeaveBus();
  }
  std::this_thread::sleep_for(kOffBus);
  {
    std::lock_guard lock(modelLock_);
    model_.ReturnToBus();
  }
  return Start(error);
}

void PlugGadget::HandleEvent(const FfsEvent& event) {
  switch (event.Type) {
    case FfsEventType::Setup:
      HandleSetup(event.Setup);
      return;
    case FfsEventType::Enable:
      if (verbose_) Log("Host enabled the plug's interface");
      CheckEndpointNumbers();
      return;
    case FfsEventType::Disable:
      if (verbose_) Log("Host disabled the plug's interface");
      return;
    case FfsEventType::Bind:
      if (verbose_) Log("Bound to the controller");
      return;
    case FfsEventType::Unbind:
      if (verbose_) Log("Unbound from the controller");
      return;
    case FfsEventType::Suspend:
    case FfsEventType::Resume:
      if (verbose_) Log(event.Type == FfsEventType::Suspend ? "Bus suspended" : "Bus resumed");
      return;
  }
}

void PlugGadget::HandleSetup(const SetupPacket& s) {
  const bool in = (s.bmRequestType & USB_DIR_IN) != 0;
  std::vector<uint8_t> data(std::max<size_t>(s.wLength, 1), 0);
  ControlReply reply;
  bool acknowledged = false;
  if (!in && s.wLength > 0) {
    // The data stage comes first, and with it the controller's acknowledgement: a
    // block the model refuses can no longer be stalled.
    const ssize_t got = files_.Read(ep0_, data.data(), s.wLength);
    if (got != s.wLength) {
      if (verbose_) Log(std::string("Control data stage failed: ") + std::strerror(errno));
      return;
    }
    acknowledged = true;
  }
  {
    std::lock_guard lock(modelLock_);
    reply = model_.HandleSetup(s, data.data());
  }
  modelChanged_.notify_all();
  if (reply.Stalled) {
    // A read on an IN request, a write on an OUT request: FunctionFS stalls ep0.
    if (in) {
      files_.Read(ep0_, data.data(), 0);
    } else if (!acknowledged) {
      files_.Write(ep0_, data.data(), 0);
    } else {
      Log("Refused request " + Hex2(s.wValue) + " after the controller had acknowledged it");
    }
  } else if (in) {
    files_.Write(ep0_, data.data(), reply.Length);
  } else if (!acknowledged) {
    files_.Read(ep0_, data.data(), 0);  // the status stage
  }
  if (verbose_) {
    char line[96];
    std::snprintf(line, sizeof line, "Setup %02x %02x %04x %04x %04x: %s", s.bmRequestType,
                  s.bRequest, s.wValue, s.wIndex, s.wLength, reply.Stalled ? "stalled" : "done");
    Log(line);
  }
}

void PlugGadget::CheckEndpointNumbers() {
  if (mappingChecked_) return;
  std::vector<EndpointMapping> wrong;
  for (const auto& worker : workers_) {
    const auto given = files_.EndpointAddress(worker->Index);
    if (!given) continue;
    if (*given != worker->Endpoint.bEndpointAddress) {
      wrong.push_back({worker->Endpoint.bEndpointAddress, *given, worker->Endpoint.Role});
    }
  }
  mappingChecked_ = true;
  for (const EndpointMapping& m : wrong) {
    Log("WARNING: the " + std::string(EndpointRoleName(m.Role)) + " endpoint " + Hex2(m.Wanted) +
        " is served at " + Hex2(m.Given) +
        ": this controller cannot give the endpoint number the configuration asks for");
  }
  std::lock_guard lock(mappingLock_);
  mismatches_ = std::move(wrong);
}

void PlugGadget::Serve(Worker& worker) {
  std::vector<uint8_t> buffer(ChunkFor(worker.Endpoint));
  while (!workersStop_.load()) {
    const bool ok = worker.Endpoint.IsIn() ? ServeIn(worker, buffer) : ServeOut(worker, buffer);
    // Disabled function or a host gone away: wait a little before the next try.
    if (!ok && !workersStop_.load()) std::this_thread::sleep_for(kRetryPause);
  }
  worker.Done.store(true);
}

bool PlugGadget::ServeIn(Worker& w, std::vector<uint8_t>& buffer) {
  const PlugEndpoint& e = w.Endpoint;
  EndpointIo io;
  {
    std::unique_lock lock(modelLock_);
    for (;;) {
      if (workersStop_.load()) return true;
      io = model_.ReadEndpoint(e.bEndpointAddress, buffer.data(),
                               static_cast<uint32_t>(buffer.size()));
      if (io.Status == EndpointStatus::Ok) break;
      if (io.Status == EndpointStatus::Stall) return false;
      modelChanged_.wait_for(lock, kIdlePoll);
    }
  }
  modelChanged_.notify_all();  // room in the loopback FIFO
  uint32_t length = io.Bytes;
  const uint32_t packet = std::max<uint32_t>(e.PacketBytes(), 1);
  GadgetFault fault = GadgetFault::None;
  if (faults_.Any() && e.Role != EndpointRole::Display) {
    fault = ChooseGadgetFault(faults_, true, ++inTransfers_);
  }
  switch (fault) {
    case GadgetFault::Error:
      // Reading an IN endpoint file halts the endpoint; the block is dropped.
      files_.Read(w.Fd, buffer.data(), 1);
      if (verbose_) Log("Injected fault: IN transfer " + std::to_string(inTransfers_) + " stalled");
      return true;
    case GadgetFault::Short:
      length = ShortTransferLength(length, packet);
      break;
    case GadgetFault::Corrupt: {
      const uint32_t count = std::min(faults_.CorruptBytes, length);
      const uint32_t step = count ? std::max<uint32_t>(1, length / count) : 1;
      for (uint32_t i = 0; i < count; ++i) {
        buffer[(i * step + corruptRandom_() % step) % length] ^=
            static_cast<uint8_t>(1 + corruptRandom_() % 255);
      }
      break;
    }
    case GadgetFault::None:
      break;
  }
  if (files_.Write(w.Fd, buffer.data(), length) < 0) return false;
  // A shortened block that still ends on a packet boundary needs a zero-length
  // packet to end the host's transfer.
  if (fault == GadgetFault::Short && length % packet == 0) files_.Write(w.Fd, buffer.data(), 0);
  return true;
}

uint32_t PlugGadget::OutRoom(const PlugEndpoint& e) const {
  const uint32_t packet = std::max<uint32_t>(e.PacketBytes(), 1);
  switch (e.Role) {
    case EndpointRole::LoopbackOut: {
      const uint32_t room = model_.LoopbackCapacity() - model_.LoopbackFill();
      return std::min(room - room % packet, kChunk);
    }
    case EndpointRole::SinkOut:
      return model_.BenchmarkRunning() ? kStreamChunk : 0;
    default:
      return kChunk;
  }
}

bool PlugGadget::ServeOut(Worker& w, std::vector<uint8_t>& buffer) {
  const PlugEndpoint& e = w.Endpoint;
  uint32_t length;
  {
    // Take the host's data only when the plug can keep it: until then the host's
    // transfer waits on the bus, as it would on the plug.
    std::unique_lock lock(modelLock_);
    for (;;) {
      if (workersStop_.load()) return true;
      length = std::min<uint32_t>(OutRoom(e), static_cast<uint32_t>(buffer.size()));
      if (length != 0) break;
      modelChanged_.wait_for(lock, kIdlePoll);
    }
  }
  if (faults_.Any() && ChooseGadgetFault(faults_, false, ++outTransfers_) == GadgetFault::Error) {
    // Writing an OUT endpoint file halts the endpoint.
    files_.Write(w.Fd, buffer.data(), 1);
    if (verbose_) Log("Injected fault: OUT transfer " + std::to_string(outTransfers_) + " stalled");
    return true;
  }
  const ssize_t got = files_.Read(w.Fd, buffer.data(), length);
  if (got < 0) return false;
  {
    std::lock_guard lock(modelLock_);
    // Room was there before the read and only this thread fills the FIFO; a sink
    // whose benchmark ended meanwhile drops the data.
    model_.WriteEndpoint(e.bEndpointAddress, buffer.data(), static_cast<uint32_t>(got), true);
  }
  modelChanged_.notify_all();
  return true;
}
