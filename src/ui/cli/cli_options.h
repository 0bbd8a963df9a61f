// The command line of tarnwick-cli: the front-end options every program takes, the
// switches the shell reads, and the automation's own options.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/program.h"

// Exit statuses.
constexpr int CLI_EXIT_PASS = 0;
constexpr int CLI_EXIT_RUN_ERRORS = 1;
constexpr int CLI_EXIT_USAGE = 2;
constexpr int CLI_EXIT_NO_TEST = 3;

// One --set NAME=VALUE: a known name and a whole number. Whether the value is allowed is
// the configuration dialog's to say, at run time.
struct CliSetting {
  std::string Name;
  int32_t Value = 0;
  std::string Argument;  // as given, for messages
};

struct CliOptions {
  ProgramOptions Program;
  // "DEBUGMODE", "/S", "/L" in the order given: the shell's own command line.
  std::vector<std::string> ShellArguments;
  bool Help = false;
  bool Version = false;
  bool List = false;
  std::string Plug;                    // empty: the first listed
  std::optional<uint32_t> Connection;  // TestConfigRecord's ConnectionType
  std::optional<uint32_t> Test;        // TestConfigRecord's TestMode
  std::vector<CliSetting> Settings;
  std::string Duration = "0";
  std::string SaveLog;
  std::string Json;  // "-": standard output
  std::string Plot;
};

// False with a message naming the argument and what would be valid.
bool ParseCliOptions(const std::vector<std::string>& arguments, CliOptions& options,
                     std::string& error);

// The names --set takes, with what each accepts (for messages and the usage).
struct CliSettingInfo {
  const char* Name;
  const char* Values;  // what the values mean, for people
};
const std::vector<CliSettingInfo>& CliSettingNames();
const CliSettingInfo* FindCliSetting(std::string_view name);
