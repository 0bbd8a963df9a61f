// tarnwick-plugd's life: choose the controller, set up configfs and FunctionFS, serve
// the plug until SIGINT or SIGTERM, take everything down again.
#pragma once
#include "gadget/plug_gadget.h"
#include "gadget/plugd_options.h"

// The exit status: 0 after a signal, 1 when the gadget could not be set up.
int RunPlugd(const PlugdOptions& options, const GadgetLog& log);
