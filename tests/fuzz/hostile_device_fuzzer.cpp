// A hostile device: every answer the program gets while it opens a device, reads the
// plug's information string, transfers on every endpoint (isochronous ones with
// packet records) and closes it comes from the input (see hostile_port.h). Reaches
// the two-step descriptor reads, the device descriptor and Ep0PacketSize, the
// language table and strings, the driver's names and alternate setting, the
// configuration and BOS parsers, PublishEndpoints, and CompleteTransfer's byte counts
// and packet-record read-back. Traps when the device layer breaks a promise (see
// HostileSession::Broken); ASan and UBSan catch the rest.
//
// HOSTILE_DEVICE_STATS=1 in the environment prints, at exit, how many transfers had
// their packet records read back.
#include <cstdio>
#include <cstdlib>

#include "hostile_port.h"
#include "platform/message_box.h"

namespace {
uint64_t SessionsRun = 0;
uint64_t ReadBacks = 0;

void PrintStats() {
  std::fprintf(stderr, "hostile_device: %llu sessions, %llu packet-record read-backs\n",
               static_cast<unsigned long long>(SessionsRun),
               static_cast<unsigned long long>(ReadBacks));
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A malformed descriptor set makes the device layer show a message box: answered.
  SetMessageBoxHandler(
      [](void*, std::u16string_view, std::u16string_view, uint32_t) { return IDOK; });
  if (std::getenv("HOSTILE_DEVICE_STATS") != nullptr) std::atexit(PrintStats);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DeviceScript script(data, size);
  HostilePort port(script, nullptr);
  SetDriverPort(&port);
  const HostileSession session = RunHostileSession(script, port);
  SetDriverPort(nullptr);
  ++SessionsRun;
  ReadBacks += session.PacketReadBacks;
  if (!session.Broken.empty()) {
    std::fprintf(stderr, "hostile_device: %s\n", session.Broken.front().c_str());
    __builtin_trap();
  }
  return 0;
}
