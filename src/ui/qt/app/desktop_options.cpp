#include "ui/qt/app/desktop_options.h"

#include <cstdlib>

#include "log/product_info.h"
#include "platform/text.h"

namespace {

// The value of "--name=VALUE", or nothing when the argument is not that option.
bool OptionValue(const std::string& argument, const std::string& name, std::string& value) {
  const std::string prefix = name + "=";
  if (argument.compare(0, prefix.size(), prefix) != 0) return false;
  value = argument.substr(prefix.size());
  return true;
}

}  // namespace

bool ParseDesktopOptions(const std::vector<std::string>& arguments, DesktopOptions& options,
                         std::string& error) {
  std::vector<std::string> rest;
  std::u16string programError;
  if (!ParseProgramOptions(arguments, options.Program, rest, programError)) {
    error = Utf16ToUtf8(programError);
    return false;
  }
  for (const std::string& argument : rest) {
    std::string value;
    if (argument == "--help" || argument == "-h") {
      options.Help = true;
    } else if (argument == "--report-shown") {
      options.ReportShown = true;
    } else if (argument == "--version") {
      options.Version = true;
    } else if (OptionValue(argument, "--screenshot", value)) {
      if (value.empty()) {
        error = "--screenshot: give the file to write, as --screenshot=FILE.png";
        return false;
      }
      options.Screenshot = value;
    } else if (OptionValue(argument, "--after", value)) {
      char* end = nullptr;
      const double seconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(seconds >= 0.0 && seconds <= 3600.0)) {
        error = "--after=" + value + ": give seconds from 0 to 3600";
        return false;
      }
      options.After = seconds;
    } else if (OptionValue(argument, "--start", value)) {
      if (value == "loopback") {
        options.Start = StartMode::Loopback;
      } else if (value == "benchmark") {
        options.Start = StartMode::Benchmark;
      } else if (value == "read-and-write") {
        options.Start = StartMode::ReadAndWrite;
      } else {
        error = "--start=" + value + ": valid modes are loopback, benchmark and read-and-write";
        return false;
      }
    } else if (argument.size() > 1 && argument[0] == '-' && argument[1] == '-') {
      error = argument + ": unknown option (see tarnwick --help)";
      return false;
    } else {
      options.ShellArguments.push_back(argument);
    }
  }
  if (options.Start != StartMode::None && options.Screenshot.empty()) {
    error = "--start needs --screenshot=FILE: it belongs to the unattended screenshot run";
    return false;
  }
  return true;
}

std::string DesktopUsageText() {
  return "tarnwick - the desktop test tool for the USB 3.0 loopback plug\n"
         "\n"
         "Usage:\n"
         "  tarnwick [--simulate[=OPTIONS]] [--plug-id VID:PID]... [DEBUGMODE] [/S] [/L]\n"
         "  tarnwick --simulate --screenshot=FILE [--start=MODE] [--after=SECONDS]\n"
         "  tarnwick --help | --version\n"
         "\n"
         "Options:\n"
         "  --simulate[=OPTIONS]  run on simulated plugs instead of real ones (the options\n"
         "                        are those of tarnwick-cli, see tarnwick-cli(1))\n"
         "  --plug-id VID:PID     also take USB devices with this id for plugs (repeatable)\n"
         "  DEBUGMODE             write the debug trace file\n"
         "  /S, /L                as described in the user's guide\n"
         "  --screenshot=FILE     once the plug is ready press Start (in the mode of --start:\n"
         "                        loopback, benchmark, read-and-write; default: as it is),\n"
         "                        save a picture of the main window --after seconds later\n"
         "                        (default 5) as PNG, and exit\n"
         "  --report-shown        print a line once the main window is up\n"
         "  --help, --version     this text, the version\n";
}

std::string DesktopVersionText() {
  return "tarnwick (" + Utf16ToUtf8(ProductMaker) + " " + Utf16ToUtf8(ProductName) + ") " +
         Utf16ToUtf8(ProductVersion) + ", build " + Utf16ToUtf8(ProductBuild);
}
