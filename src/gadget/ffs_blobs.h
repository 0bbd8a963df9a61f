// The byte blocks a FunctionFS function exchanges with the kernel on its ep0 file: the
// descriptor block (full, high and SuperSpeed interface descriptors, flags), the
// string block, and the 12-byte events read back. Serialised byte by byte,
// little-endian, as the kernel's interface header lays them out.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/usb_standard.h"

// Flags of the descriptor block's header.
constexpr uint32_t FFS_HAS_FS_DESC = 1;
constexpr uint32_t FFS_HAS_HS_DESC = 2;
constexpr uint32_t FFS_HAS_SS_DESC = 4;
// Vendor requests to the device (not only to our interface) reach the function.
constexpr uint32_t FFS_ALL_CTRL_RECIP = 64;

constexpr uint32_t FFS_DESCRIPTORS_MAGIC_V2 = 3;
constexpr uint32_t FFS_STRINGS_MAGIC = 2;
constexpr size_t FFS_EVENT_SIZE = 12;

enum class FfsEventType : uint8_t { Bind, Unbind, Enable, Disable, Setup, Suspend, Resume };

struct FfsEvent {
  FfsEventType Type = FfsEventType::Bind;
  SetupPacket Setup;  // Setup events only
};

// Number of descriptors in a list, or nullopt when a length byte is below 2 or runs
// past the end: the kernel refuses such a block, so it is never sent.
std::optional<uint32_t> CountDescriptors(const std::vector<uint8_t>& list);

// The descriptor block for one interface at full, high and SuperSpeed (indexed by
// speed code - 1, as the firmware model gives them). Empty when a list is malformed.
std::vector<uint8_t> BuildFfsDescriptors(const std::array<std::vector<uint8_t>, 3>& perSpeed);

// One string (the interface name, string 1), US English.
std::vector<uint8_t> BuildFfsStrings(const std::string& interfaceName);

// nullopt for an event type this kernel interface does not define.
std::optional<FfsEvent> ParseFfsEvent(const uint8_t* event);
// The inverse, for tests and fakes of the kernel side.
std::array<uint8_t, FFS_EVENT_SIZE> EncodeFfsEvent(const FfsEvent& event);
