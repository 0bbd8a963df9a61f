// tarnwick-plugd: the loopback plug as a Linux USB gadget.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "gadget/plugd_options.h"
#include "gadget/plugd_service.h"

int main(int argc, char** argv) {
  const PlugdOptionsResult parsed =
      ParsePlugdOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.Ok) {
    std::fprintf(stderr, "tarnwick-plugd: %s\n", parsed.Error.c_str());
    return 2;
  }
  if (parsed.Options.Help) {
    std::fputs(PlugdHelpText().c_str(), stdout);
    return 0;
  }
  const auto start = std::chrono::steady_clock::now();
  return RunPlugd(parsed.Options, [start](const std::string& line) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "[%9.3f] %s\n", seconds, line.c_str());
  });
}
