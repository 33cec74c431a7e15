/*
 * The kernel-version layer for the 2.6 kernels: the module record, and the thin wrappers
 * through which the module registers itself and counts its references.
 */
#include "module/kestrel.h"

struct module __this_module = {
    /* state */ {MODULE_STATE_COMING},
    /* name */ "kestrel",
    /* ref */ ATOMIC_INIT(0),
    /* waiter */ NULL,
    /* load_data */ kes::kesLoadData,
    /* init */ kes::kesInit,
    /* exit */ kes::kesExit,
    /* vermagic */ VERMAGIC_STRING(KES_TARGET_KERNEL),
    /* description */ "Backup Driver",
    /* license */ "Proprietary",
    /* version */ "3.1.0",
    /* depends */ "",
};

namespace kes {

int kesModRegister(unsigned int major, const char *name, struct file_operations *fops)
{
    fops->owner = THIS_MODULE;
    return register_chrdev(major, name, fops);
}

int kesModGet(void) { return try_module_get(THIS_MODULE) ? 0 : 1; }

void kesModPut(void)
{
#if KES_MODPUT_CHECKS_REFCOUNT
    /* The 023stab051 and later kernels check the count before they release a reference. */
    BUG_ON(module_refcount(THIS_MODULE) == 0);
#endif
    module_put(THIS_MODULE);
}

int kesCheckModUse(void) { return 0; }

void doModuleUnload(void) { kesUnload(); }

} // namespace kes
