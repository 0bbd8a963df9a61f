#include "ui/program.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "engines/shell_calls.h"
#include "platform/text.h"
#include "sim/sim_driver.h"
#include "sim/sim_options.h"
#include "ui/front_end.h"
#include "usbhost/usbhost_port.h"

namespace {

constexpr std::string_view kSimulate = "--simulate";
constexpr std::string_view kPlugId = "--plug-id";

bool TakePlugId(std::string_view text, ProgramOptions& options, std::u16string& error) {
  const std::optional<PlugId> id = ParsePlugId(text);
  if (!id) {
    error = u"--plug-id: \"" + Utf8ToUtf16(text) +
            u"\" is not an id; expected VID:PID, four hexadecimal digits each (e.g. 1209:000a)";
    return false;
  }
  options.PlugIds.push_back(*id);
  return true;
}

}  // namespace

bool ParseProgramOptions(const std::vector<std::string>& arguments, ProgramOptions& options,
                         std::vector<std::string>& rest, std::u16string& error) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == kSimulate) {
      options.Simulate = true;
    } else if (argument.starts_with(std::string(kSimulate) + "=")) {
      options.Simulate = true;
      options.SimOptions = std::string(argument.substr(kSimulate.size() + 1));
    } else if (argument == kPlugId) {
      if (i + 1 >= arguments.size()) {
        error = u"--plug-id: missing VID:PID (four hexadecimal digits each, e.g. 1209:000a)";
        return false;
      }
      if (!TakePlugId(arguments[++i], options, error)) return false;
    } else if (argument.starts_with(std::string(kPlugId) + "=")) {
      if (!TakePlugId(argument.substr(kPlugId.size() + 1), options, error)) return false;
    } else {
      rest.push_back(arguments[i]);
    }
  }
  return true;
}

ProgramWiring::~ProgramWiring() {
  Uninstall();
}

bool ProgramWiring::Install(const ProgramOptions& options, ui::WindowSystem& system,
                            ShellCallTable calls, std::u16string& error) {
  Uninstall();
  if (options.Simulate) {
    const SimOptionsResult parsed = ParseSimOptions(options.SimOptions);
    if (!parsed.Ok) {
      error = u"--simulate: " + parsed.Error;
      return false;
    }
    port_ = std::make_unique<SimDriverPort>(parsed.Options);
  } else {
    std::string reason;
    port_ = CreateUsbHostPort(&reason);
    if (!port_) {
      error = u"Cannot reach USB devices: " + Utf8ToUtf16(reason);
      return false;
    }
  }
  for (const PlugId& id : options.PlugIds) AddPlugId(id);
  SetDriverPort(port_.get());
  ui::SetWindowSystem(&system);
  InstallMessageBoxHandler(&system);
  InstallShellCalls(std::move(calls));
  installed_ = true;
  return true;
}

void ProgramWiring::Uninstall() {
  if (installed_) {
    ResetShellCalls();
    InstallMessageBoxHandler(nullptr);
    ui::SetWindowSystem(nullptr);
    SetDriverPort(nullptr);
    ResetPlugIds();
    installed_ = false;
  }
  port_.reset();
}

int RunTarnwick(const ShellOptions& options, ui::WindowSystem& system) {
  const int code = TarnwickMain(options, system);
  if (TestThreadsOutlivedExit()) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
  }
  return code;
}

std::vector<std::u16string> ShellArguments(const std::vector<std::string>& arguments) {
  std::vector<std::u16string> result;
  result.reserve(arguments.size());
  for (const std::string& argument : arguments) result.push_back(Utf8ToUtf16(argument));
  return result;
}
