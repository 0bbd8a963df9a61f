// The registry of plugs in use, shared by every running copy of the tool of this user:
// a table in named shared memory ("Tarnwick_pluginfo", see plug_registry_table.h)
// guarded by a named mutex ("Tarnwick_pluginfo_mutex"). Each copy records there the
// serial of the plug it uses next to its process id, and a copy that selects a plug
// another copy holds is refused.
//
// A copy that ends without its exit sequence does not lock its plug away: each copy
// holds a lock on its slot for as long as it lives, and a slot whose lock nobody holds
// is free whatever process id it carries. A dead copy's id given to a new process
// therefore changes nothing either.
//
// Only the window thread uses the registry.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/named_mutex.h"
#include "platform/shared_memory.h"
#include "plug/plug_registry_table.h"

constexpr uint32_t PLUG_REGISTRY_WAIT_MS = 5000;

// When set, this text goes before both object names, so that test runs use a table of
// their own and never a real user's.
constexpr char PlugRegistryPrefixVariable[] = "TARNWICK_REGISTRY_PREFIX";

struct PlugRegistryState {
  bool Available = false;
  // No other copy had the registry open when this one opened it.
  bool FirstInstance = false;
  NamedMutex Mutex;
  SharedMemory Section;
};
extern PlugRegistryState PlugRegistry;

// The object names, with the prefix the environment gives.
std::string PlugRegistrySectionName();
std::string PlugRegistryMutexName();

// Start-up: creates or opens the mutex and the table. When either cannot be had, says
// so in a message box and leaves the registry unavailable; the tool runs on without.
bool OpenPlugRegistry();
// Before a plug is opened: true when this copy may use the plug (recorded in the
// table, or the registry is unavailable, or the table is full); false when another
// copy holds it, after the "Plug already in use" message box (owned by `owner`).
bool ClaimPlug(void* owner, std::u16string_view serial);
// Exit: frees this copy's slots and closes the registry.
void ReleasePlugs();
