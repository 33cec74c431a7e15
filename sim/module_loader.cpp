// The module loader: insmod with the version-magic check, rmmod with the reference count
// and the "going" state, and the module reference operations.
#include "sim/cpu.h"
#include "sim/internal.h"

using sim::K;

namespace {

// Serialises reference taking against the removal's check of the count, as the kernel's
// stop_machine does.
std::mutex refMu;

} // namespace

int try_module_get(struct module* mod)
{
    if (!mod)
        return 1;
    std::lock_guard<std::mutex> g(refMu);
    if (mod->state.load() == MODULE_STATE_GOING)
        return 0;
    atomic_inc(&mod->ref);
    return 1;
}

void module_put(struct module* mod)
{
    if (!mod)
        return;
    atomic_dec(&mod->ref);
    if (!module_is_live(mod))
        wake_up_process(mod->waiter);
}

namespace sim {

std::string Machine::vermagic() const { return k_->cfg.kernel_release + VERMAGIC_STRING(""); }

int Machine::insmod(struct module* mod)
{
    OnCpu onCpu;
    {
        std::lock_guard<std::mutex> g(k_->modMu);
        for (struct module* m : k_->modules)
            if (strcmp(m->name, mod->name) == 0)
                return -EEXIST;
    }
    std::string want = vermagic();
    if (!mod->vermagic || want != mod->vermagic) {
        printk("<3>%s: version magic '%s' should be '%s'\n", mod->name,
               mod->vermagic ? mod->vermagic : "", want.c_str());
        return -ENOEXEC;
    }
    if (mod->load_data)
        mod->load_data();
    atomic_set(&mod->ref, 0);
    mod->waiter = nullptr;
    mod->state.store(MODULE_STATE_COMING);
    {
        std::lock_guard<std::mutex> g(k_->modMu);
        k_->modules.push_back(mod);
    }
    int ret = mod->init ? mod->init() : 0;
    if (ret > 0) {
        printk("<4>%s: init function returned %d, should return 0 or a negative error\n",
               mod->name, ret);
        k_->report_bug("module init returned a positive value");
    }
    if (ret != 0) {
        mod->state.store(MODULE_STATE_GOING);
        std::lock_guard<std::mutex> g(k_->modMu);
        std::erase(k_->modules, mod);
        return ret;
    }
    mod->state.store(MODULE_STATE_LIVE);
    return 0;
}

int Machine::rmmod(const std::string& name, bool wait)
{
    OnCpu onCpu;
    struct module* mod = nullptr;
    {
        std::lock_guard<std::mutex> g(k_->modMu);
        for (struct module* m : k_->modules)
            if (name == m->name)
                mod = m;
    }
    if (!mod)
        return -ENOENT;
    {
        std::lock_guard<std::mutex> g(refMu);
        if (mod->state.load() != MODULE_STATE_LIVE)
            return -EBUSY;
        if (!wait && module_refcount(mod) != 0)
            return -EWOULDBLOCK;
        mod->waiter = get_current();
        mod->state.store(MODULE_STATE_GOING);
    }
    for (;;) {
        set_current_state(TASK_UNINTERRUPTIBLE);
        if (module_refcount(mod) == 0)
            break;
        schedule();
    }
    set_current_state(TASK_RUNNING);
    if (mod->exit)
        mod->exit();
    std::lock_guard<std::mutex> g(k_->modMu);
    std::erase(k_->modules, mod);
    return 0;
}

bool Machine::module_loaded(const std::string& name) const
{
    std::lock_guard<std::mutex> g(k_->modMu);
    for (struct module* m : k_->modules)
        if (name == m->name)
            return true;
    return false;
}

} // namespace sim
