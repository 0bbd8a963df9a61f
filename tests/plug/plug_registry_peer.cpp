// One running copy of the tool, as far as the plug registry goes, driven line by line
// from standard input by the registry tests. Every command gets one answer line;
// message boxes come before it as "box <title>|<text>" (line ends as "\n").
//   open                  -> "open <available 0|1> <first 0|1>"
//   claim <serial>        -> "claimed" | "refused"
//   table                 -> "table" and " <pid>:<serial>" per slot, the serial in UTF-8
//                            with anything but letters, digits and "+-_." as %XX
//   stress <seed> <ms> <witness folder> <serials>
//                         -> "stress <claims> <refusals> <faults>"
//   exit                  -> "exited", after the exit sequence
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "platform/text.h"
#include "plug/plug_registry.h"

namespace {

void PrintBoxes() {
  SetMessageBoxHandler([](void*, std::u16string_view text, std::u16string_view title, uint32_t) {
    std::string line = "box " + Utf16ToUtf8(title) + "|";
    for (char c : Utf16ToUtf8(text)) line += c == '\n' ? std::string("\\n") : std::string(1, c);
    std::cout << line << std::endl;
    return IDOK;
  });
}

std::string Escaped(std::u16string_view text) {
  std::string escaped;
  for (unsigned char c : Utf16ToUtf8(text)) {
    if (std::isalnum(c) || c == '+' || c == '-' || c == '_' || c == '.') {
      escaped += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      escaped += hex;
    }
  }
  return escaped;
}

std::string Table() {
  std::string line = "table";
  if (!PlugRegistry.Available) return line;
  const PlugRegistryTable table =
      ReadPlugRegistry(PlugRegistryBytes(PlugRegistry.Section.View().data(), PLUG_REGISTRY_SIZE));
  for (const PlugRegistrySlot& slot : table) {
    line += " " + std::to_string(slot.ProcessId) + ":" + Escaped(slot.Serial);
  }
  return line;
}

// Claims serials at random. Holding a serial means holding an exclusive lock on its
// witness file: failing to get it right after a successful claim means another copy
// holds the same plug. A copy lets go of the witness before each new claim, since the
// claim gives up its previous plug.
std::string Stress(uint32_t seed, uint32_t milliseconds, const std::string& folder,
                   uint32_t serials) {
  SetMessageBoxHandler(
      [](void*, std::u16string_view, std::u16string_view, uint32_t) { return IDOK; });
  std::vector<int> witness;
  for (uint32_t i = 0; i < serials; ++i) {
    witness.push_back(
        open((folder + "/S" + std::to_string(i)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  }
  std::mt19937 random(seed);
  int held = -1;
  uint64_t claims = 0, refusals = 0, faults = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    const int wanted = static_cast<int>(random() % serials);
    if (held >= 0) flock(witness[held], LOCK_UN);
    if (!ClaimPlug(nullptr, u"S" + Utf8ToUtf16(std::to_string(wanted)))) {
      ++refusals;
      if (wanted == held) ++faults;  // reselecting one's own plug is never refused
      held = -1;
      continue;
    }
    ++claims;
    if (flock(witness[wanted], LOCK_EX | LOCK_NB) != 0) {
      ++faults;
      held = -1;
    } else {
      held = wanted;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
  }
  for (int fd : witness) close(fd);
  PrintBoxes();
  return "stress " + std::to_string(claims) + " " + std::to_string(refusals) + " " +
         std::to_string(faults);
}

}  // namespace

int main() {
  PrintBoxes();
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "open") {
      const bool available = OpenPlugRegistry();
      std::cout << "open " << available << " " << PlugRegistry.FirstInstance << std::endl;
    } else if (command == "claim") {
      std::string serial;
      words >> serial;
      std::cout << (ClaimPlug(nullptr, Utf8ToUtf16(serial)) ? "claimed" : "refused") << std::endl;
    } else if (command == "table") {
      std::cout << Table() << std::endl;
    } else if (command == "stress") {
      uint32_t seed = 0, milliseconds = 0, serials = 0;
      std::string folder;
      words >> seed >> milliseconds >> folder >> serials;
      std::cout << Stress(seed, milliseconds, folder, serials) << std::endl;
    } else if (command == "exit") {
      ReleasePlugs();
      std::cout << "exited" << std::endl;
      return 0;
    } else {
      std::cout << "unknown " << command << std::endl;
    }
  }
  return 0;
}
