#include "machine/install.h"

#include "interface/kestrel_ioctl.h"
#include "platform/kernel.h"

namespace install {

sim::MachineConfig machine_config(sim::MachineConfig base)
{
    base.kernel_release = KES_TARGET_KERNEL;
    return base;
}

int load_module(sim::Machine& m)
{
    int err = m.insmod(THIS_MODULE);
    if (err)
        return err;
    int made = m.mknod(kControlNode, true, kes::kesMajor, 0, 0600, 0);
    return made == -EEXIST ? 0 : made;
}

} // namespace install
