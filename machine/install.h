// The module's install step on a simulated machine, as a package's install script does it
// on a real one: load the module built for the machine's kernel, then make the node of its
// control device. The simulated kernel itself knows nothing of the module.
#pragma once

#include "sim/machine.h"

namespace install {

// The control device's node: character major 120, minor 0, read and write for root only.
inline constexpr const char* kControlNode = "/dev/kestrel";

// A machine configuration (from base) running the kernel release the module was built for.
sim::MachineConfig machine_config(sim::MachineConfig base = {});

// Loads the module and makes its control device's node unless the node exists (a module
// loaded again finds the node its first install made): 0, or the loader's negative error
// (no node is made then).
int load_module(sim::Machine& m);

} // namespace install
