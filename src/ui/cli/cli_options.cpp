#include "ui/cli/cli_options.h"

#include <charconv>
#include <climits>
#include <string_view>

#include "engines/configuration.h"
#include "platform/text.h"

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool ParseWhole(std::string_view text, int64_t& value) {
  if (text.empty()) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::string NameList() {
  std::string names;
  for (const CliSettingInfo& info : CliSettingNames()) {
    if (!names.empty()) names += ", ";
    names += info.Name;
  }
  return names;
}

bool ParseSetting(std::string_view text, CliSetting& setting, std::string& error) {
  const size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0) {
    error = "--set " + std::string(text) + ": expected NAME=VALUE with a NAME of " + NameList();
    return false;
  }
  const std::string_view name = text.substr(0, equals);
  const std::string_view value = text.substr(equals + 1);
  const CliSettingInfo* info = FindCliSetting(name);
  if (info == nullptr) {
    error = "--set " + std::string(text) + ": no field \"" + std::string(name) +
            "\"; the names are " + NameList();
    return false;
  }
  int64_t number = 0;
  if (!ParseWhole(value, number) || number < INT32_MIN || number > INT32_MAX) {
    error =
        "--set " + std::string(text) + ": " + info->Name + " takes a whole number: " + info->Values;
    return false;
  }
  setting.Name = info->Name;
  setting.Value = static_cast<int32_t>(number);
  setting.Argument = std::string(text);
  return true;
}

// Minutes as the Duration box takes them: a plain decimal number of at most 7
// characters, 0 for no limit.
bool ValidDuration(std::string_view text) {
  if (text.empty() || text.size() > 7) return false;
  double value = 0.0;
  const auto result =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && value >= 0.0;
}

}  // namespace

const std::vector<CliSettingInfo>& CliSettingNames() {
  static const std::vector<CliSettingInfo> kNames = {
      {"BenchmarkMode", "0 (Read then Write), 1 (Read), 2 (Write) or 3 (Read and Write)"},
      {"EndpointType", "1 (isochronous, benchmark only) or 2 (bulk)"},
      {"InEndpointNumber", "an endpoint number from 1 to 15 but 7"},
      {"OutEndpointNumber", "an endpoint number from 1 to 15 but 7"},
      {"BurstLength", "1 to 16 at SuperSpeed (12 in the two-way modes), else 1"},
      {"PollingInterval", "1 to 16 (an interval of 2^(n-1) x 125us, x 1ms at full speed)"},
      {"IsoPacketsPerInterval", "1 to 3 (1 at full speed)"},
      {"Pattern", "0 (incrementing), 1 (random) or 2 (constant)"},
      {"ConstantValue", "0 to 255"},
      {"LoopbackLoad", "1 to 100 (percent)"},
      {"CheckBusErrors", "0 (off) or 1 (on)"},
      {"VerifyData", "0 (off) or 1 (on)"},
      {"VerboseLogging", "0 (off) or 1 (on)"},
      {"TransferSizeIndex", "0 (64KB), 1 (128KB), 2 (256KB), 3 (512KB), 4 (1MB) or 5 (2MB)"},
      {"QueueSizeIndex", "0 to 6 (a queue of 1, 2, 4, 8, 16, 32 or 64 transfers)"},
  };
  return kNames;
}

const CliSettingInfo* FindCliSetting(std::string_view name) {
  for (const CliSettingInfo& info : CliSettingNames()) {
    if (name == info.Name) return &info;
  }
  return nullptr;
}

bool ParseCliOptions(const std::vector<std::string>& arguments, CliOptions& options,
                     std::string& error) {
  std::vector<std::string> rest;
  std::u16string programError;
  if (!ParseProgramOptions(arguments, options.Program, rest, programError)) {
    error = Utf16ToUtf8(programError);
    return false;
  }
  for (size_t i = 0; i < rest.size(); ++i) {
    std::string_view argument = rest[i];
    // "--name=value" or "--name value".
    std::string_view name = argument;
    std::optional<std::string> inlineValue;
    if (argument.starts_with("--")) {
      if (const size_t equals = argument.find('='); equals != std::string_view::npos) {
        name = argument.substr(0, equals);
        inlineValue = std::string(argument.substr(equals + 1));
      }
    }
    auto value = [&](const char* what, std::string& out) {
      if (inlineValue) {
        out = *inlineValue;
      } else if (i + 1 < rest.size()) {
        out = rest[++i];
      } else {
        error = std::string(name) + ": missing " + what;
        return false;
      }
      return true;
    };
    auto path = [&](const char* what, std::string& out) {
      if (!value(what, out)) return false;
      if (!out.empty()) return true;
      error = std::string(name) + ": the path is empty";
      return false;
    };
    auto flag = [&]() {
      if (!inlineValue) return true;
      error = std::string(name) + " takes no value";
      return false;
    };

    if (EqualsIgnoringCase(argument, "DEBUGMODE") || EqualsIgnoringCase(argument, "/S") ||
        EqualsIgnoringCase(argument, "/L")) {
      options.ShellArguments.emplace_back(argument);
    } else if (name == "--help" || name == "-h") {
      if (!flag()) return false;
      options.Help = true;
    } else if (name == "--version") {
      if (!flag()) return false;
      options.Version = true;
    } else if (name == "--list") {
      if (!flag()) return false;
      options.List = true;
    } else if (name == "--plug") {
      if (!value("SERIAL (the plug's serial number, as --list shows it)", options.Plug))
        return false;
      if (options.Plug.empty()) {
        error = "--plug: the serial number is empty";
        return false;
      }
    } else if (name == "--connection") {
      std::string text;
      if (!value("super, high or full", text)) return false;
      if (text == "super") {
        options.Connection = TestConfigRecord::SuperSpeed;
      } else if (text == "high") {
        options.Connection = TestConfigRecord::HighSpeed;
      } else if (text == "full") {
        options.Connection = TestConfigRecord::FullSpeed;
      } else {
        error = "--connection " + text + ": expected super, high or full";
        return false;
      }
    } else if (name == "--test") {
      std::string text;
      if (!value("loopback or benchmark", text)) return false;
      if (text == "loopback") {
        options.Test = TestConfigRecord::Loopback;
      } else if (text == "benchmark") {
        options.Test = TestConfigRecord::Benchmark;
      } else {
        error = "--test " + text + ": expected loopback or benchmark";
        return false;
      }
    } else if (name == "--set") {
      std::string text;
      if (!value("NAME=VALUE", text)) return false;
      CliSetting setting;
      if (!ParseSetting(text, setting, error)) return false;
      options.Settings.push_back(std::move(setting));
    } else if (name == "--duration") {
      std::string text;
      if (!value("MINUTES", text)) return false;
      if (!ValidDuration(text)) {
        error = "--duration " + text +
                ": expected minutes as a plain number of at most 7 characters, such as 10, "
                "0.5 or 0 (no limit)";
        return false;
      }
      options.Duration = text;
    } else if (name == "--save-log") {
      if (!path("PATH", options.SaveLog)) return false;
    } else if (name == "--json") {
      if (!path("PATH (or - for standard output)", options.Json)) return false;
    } else if (name == "--plot") {
      if (!path("PATH.svg", options.Plot)) return false;
    } else {
      error = "unknown argument \"" + std::string(argument) +
              "\"; see tarnwick-cli --help for the options";
      return false;
    }
  }
  return true;
}
