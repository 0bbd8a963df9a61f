// Command line of tarnwick-plugd.
#pragma once
#include <string>
#include <vector>

#include "gadget/gadget_faults.h"

constexpr size_t PLUGD_MAX_SERIAL = 19;  // what the plug registry keeps of a serial

struct PlugdOptions {
  std::string Udc;  // empty: the first controller in /sys/class/udc
  std::string Serial = "PLUGD0001";
  std::string ConfigfsRoot = "/sys/kernel/config";
  std::string FunctionFsMount = "/dev/tarnwick-ffs";
  std::string UdcClassPath = "/sys/class/udc";
  bool Verbose = false;
  bool Help = false;
  GadgetFaults Faults;
};

struct PlugdOptionsResult {
  bool Ok = false;
  PlugdOptions Options;
  std::string Error;  // names the argument and what would be valid
};

PlugdOptionsResult ParsePlugdOptions(const std::vector<std::string>& args);
std::string PlugdHelpText();
