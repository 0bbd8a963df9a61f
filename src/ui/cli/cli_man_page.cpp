// Writes tarnwick-cli(1), the same text as --help, to the file named on its command line.
#include <cstdio>
#include <fstream>

#include "ui/cli/cli_usage.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << CliManPage();
  return out.flush() ? 0 : 1;
}
