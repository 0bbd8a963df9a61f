#include "plug/plug_registry.h"

#include <unistd.h>

#include <array>
#include <bitset>
#include <cstdlib>
#include <cstring>

#include "log/debug_trace.h"
#include "platform/event.h"
#include "platform/message_box.h"

PlugRegistryState PlugRegistry;

namespace {

constexpr char16_t kFailureText[] =
    u"Failed to open shared memory.\nTarnwick will still run but it is not recommended to run "
    u"more than 1 copy";
constexpr char16_t kFailureTitle[] = u"Shared memory failure";
constexpr char16_t kInUseText[] =
    u"Another copy of Tarnwick is already using that plug.\nPlease select another.";
constexpr char16_t kInUseTitle[] = u"Plug already in use";

std::string NamePrefix() {
  const char* prefix = std::getenv(PlugRegistryPrefixVariable);
  return prefix != nullptr ? prefix : "";
}

uint32_t ThisProcessId() {
  return static_cast<uint32_t>(getpid());
}

// A wait that runs out goes ahead without the mutex; only a wait that got it releases it.
class RegistryAccess {
 public:
  RegistryAccess() : held_(PlugRegistry.Mutex.Wait(PLUG_REGISTRY_WAIT_MS) == WAIT_OBJECT_0) {}
  ~RegistryAccess() {
    if (held_) PlugRegistry.Mutex.Release();
  }
  RegistryAccess(const RegistryAccess&) = delete;
  RegistryAccess& operator=(const RegistryAccess&) = delete;

 private:
  bool held_;
};

std::span<uint8_t, PLUG_REGISTRY_SIZE> TableBytes() {
  return std::span<uint8_t, PLUG_REGISTRY_SIZE>(PlugRegistry.Section.View().data(),
                                                PLUG_REGISTRY_SIZE);
}

// Decisions are taken on a private copy: the shared bytes may change under a reader that
// went ahead after a timed-out wait.
PlugRegistryTable Snapshot() {
  std::array<uint8_t, PLUG_REGISTRY_SIZE> copy;
  std::memcpy(copy.data(), PlugRegistry.Section.View().data(), copy.size());
  return ReadPlugRegistry(copy);
}

bool HeldElsewhere(uint32_t slot) {
  return PlugRegistry.Section.IsLockedElsewhere(slot);
}

void Unavailable() {
  PlugRegistry.Section.Close();
  PlugRegistry.Mutex.Close();
  PlugRegistry.Available = false;
  ShowMessageBox(nullptr, kFailureText, kFailureTitle, MB_OK | MB_ICONERROR);
}

}  // namespace

std::string PlugRegistrySectionName() {
  return NamePrefix() + "Tarnwick_pluginfo";
}
std::string PlugRegistryMutexName() {
  return NamePrefix() + "Tarnwick_pluginfo_mutex";
}

bool OpenPlugRegistry() {
  PlugRegistry.Section.Close();
  PlugRegistry.Mutex.Close();
  PlugRegistry.Available = false;
  PlugRegistry.FirstInstance = false;
  if (!PlugRegistry.Mutex.Open(PlugRegistryMutexName())) {
    Unavailable();
    return false;
  }
  PlugRegistry.FirstInstance = !PlugRegistry.Mutex.Existed();
  bool opened = false;
  if (PlugRegistry.FirstInstance) {
    DebugTrace(u"DEBUG: Waiting until the specified object is in the time-out interval elapses\n");
    RegistryAccess access;
    DebugTrace(u"DEBUG: Creating shared memory block\n");
    opened = PlugRegistry.Section.Open(PlugRegistrySectionName(), PLUG_REGISTRY_SIZE);
  } else {
    // Safe without the mutex: an opener that zeroes the table holds it alone meanwhile.
    opened = PlugRegistry.Section.Open(PlugRegistrySectionName(), PLUG_REGISTRY_SIZE);
  }
  if (!opened) {
    Unavailable();
    return false;
  }
  PlugRegistry.Available = true;
  return true;
}

namespace {

// Records the claim and answers false when another copy holds the plug.
bool RecordClaim(std::u16string_view serial) {
  const uint32_t processId = ThisProcessId();
  RegistryAccess access;
  const PlugRegistryTable table = Snapshot();
  // A slot whose lock cannot be taken went to a copy that claimed it without the mutex.
  std::bitset<PLUG_REGISTRY_SLOTS> lost;
  while (true) {
    const PlugRegistryChoice choice = ChoosePlugRegistrySlot(
        table, serial, processId, HeldElsewhere, [&](uint32_t slot) { return lost[slot]; });
    if (choice.Result == PlugRegistryChoice::Kind::InUse) return false;
    if (choice.Result == PlugRegistryChoice::Kind::NoRoom) return true;
    if (PlugRegistry.Section.TryLock(choice.Slot)) {
      WritePlugRegistrySlot(TableBytes(), choice.Slot, serial, processId);
      return true;
    }
    lost[choice.Slot] = true;
  }
}

}  // namespace

bool ClaimPlug(void* owner, std::u16string_view serial) {
  if (!PlugRegistry.Available) return true;
  if (RecordClaim(serial)) return true;
  // Only after the mutex is released: the box waits for the user.
  ShowMessageBox(owner, kInUseText, kInUseTitle, MB_OK | MB_ICONEXCLAMATION);
  return false;
}

void ReleasePlugs() {
  if (PlugRegistry.Available) {
    const uint32_t processId = ThisProcessId();
    {
      RegistryAccess access;
      const PlugRegistryTable table = Snapshot();
      for (uint32_t slot = 0; slot < PLUG_REGISTRY_SLOTS; ++slot) {
        if (table[slot].ProcessId == processId && !HeldElsewhere(slot)) {
          WritePlugRegistrySlot(TableBytes(), slot, u"", 0);
        }
      }
    }
  }
  // Closing drops this copy's slot locks with the section.
  PlugRegistry.Section.Close();
  PlugRegistry.Mutex.Close();
  PlugRegistry.Available = false;
  PlugRegistry.FirstInstance = false;
}
