// What both executables share besides the shell itself: the options every front end
// takes (--simulate[=OPTIONS], --plug-id VID:PID), the driver port they choose, the
// plug ids, the route of message boxes and the engines' call table, and the run of the
// shell with what must happen when test threads outlive it.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engines/shell_calls.h"
#include "platform/driver_port.h"
#include "protocol/plug_ids.h"
#include "ui/app_main.h"
#include "window/window.h"

struct ProgramOptions {
  bool Simulate = false;
  std::string SimOptions;  // the text after "--simulate="; empty: the defaults
  std::vector<PlugId> PlugIds;
};

// Takes --simulate, --simulate=OPTIONS and --plug-id VID:PID (also --plug-id=VID:PID)
// out of the arguments; everything else is left in `rest`, in order. False with a
// message that names the argument and says what is valid.
bool ParseProgramOptions(const std::vector<std::string>& arguments, ProgramOptions& options,
                         std::vector<std::string>& rest, std::u16string& error);

// The wiring, undone in reverse order when the object goes: the simulated plugs or the
// libusb port, the plug ids, the window system as the process's with the lower layers'
// message boxes routed through it, and the engines' call table.
class ProgramWiring {
 public:
  ProgramWiring() = default;
  ~ProgramWiring();
  ProgramWiring(const ProgramWiring&) = delete;
  ProgramWiring& operator=(const ProgramWiring&) = delete;

  // False with a message when the simulation options are refused or libusb cannot
  // start; nothing is left installed then.
  bool Install(const ProgramOptions& options, ui::WindowSystem& system, ShellCallTable calls,
               std::u16string& error);
  DriverPort* Port() const { return port_.get(); }

 private:
  void Uninstall();

  std::unique_ptr<DriverPort> port_;
  bool installed_ = false;
};

// TarnwickMain; if test threads outlived it, the process ends right here (after
// flushing the standard streams) so that nothing they use is torn down under them.
int RunTarnwick(const ShellOptions& options, ui::WindowSystem& system);

// The arguments as the shell reads them (UTF-16).
std::vector<std::u16string> ShellArguments(const std::vector<std::string>& arguments);
