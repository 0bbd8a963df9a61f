// Writes the hostile-device fuzz target's seeds: recordings of the simulated plug.
//   hostile_device_seeds DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "hostile_recordings.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hostile_device_seeds DIR\n");
    return 2;
  }
  int failures = 0;
  for (const HostileRecording& recording : RecordSeedSessions()) {
    if (!recording.Session.Opened || recording.Script.empty()) {
      std::fprintf(stderr, "%s: the simulated plug did not open\n", recording.Name.c_str());
      ++failures;
      continue;
    }
    std::ofstream file(std::string(argv[1]) + "/" + recording.Name, std::ios::binary);
    file.write(reinterpret_cast<const char*>(recording.Script.data()),
               static_cast<std::streamsize>(recording.Script.size()));
    std::string lengths;
    for (int32_t length : recording.Session.Lengths) lengths += " " + std::to_string(length);
    std::printf("%s: %zu bytes, information \"%s\", transfer lengths%s, %u packet read-backs\n",
                recording.Name.c_str(), recording.Script.size(), recording.Session.Info.c_str(),
                lengths.c_str(), recording.Session.PacketReadBacks);
  }
  return failures == 0 ? 0 : 1;
}
