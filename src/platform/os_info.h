// What the running system says about itself, for the trace header.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

struct OsInfo {
  std::string PrettyName;     // the distribution's PRETTY_NAME, else the kernel's name
  std::string KernelRelease;  // e.g. 6.1.0-18-amd64
  uint32_t BuildCounter;      // the kernel's build counter, the "#N" of its version
  int PointerBits;            // 64 on a 64-bit build
};

OsInfo ReadOsInfo();

// PRETTY_NAME from os-release text (quotes and escapes removed); empty when absent.
std::string ParseOsReleasePrettyName(std::string_view content);
// The N of a kernel version text starting "#N ..."; 0 when there is none.
uint32_t ParseKernelBuildCounter(std::string_view version);
// The process's whole command line, arguments separated by blanks.
std::string ProcessCommandLine();
