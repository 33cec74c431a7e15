// Loading and unloading the module, and the control device's open, release, read, write
// and poll.
#include <thread>

#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

TEST_F(ModuleTest, LoadRegistersTheControlDeviceWithItsBanner)
{
    EXPECT_EQ(machine.log_count("kesInit: kestrel version 3.1.0 build " +
                                std::to_string(KES_BUILD_NUMBER) + " loaded\n"),
              1u);
    EXPECT_TRUE(machine.chrdev_registered(120));
    EXPECT_STREQ(THIS_MODULE->description, "Backup Driver");
    EXPECT_STREQ(THIS_MODULE->license, "Proprietary");
    EXPECT_STREQ(THIS_MODULE->version, "3.1.0");

    ASSERT_EQ(machine.rmmod("kestrel"), 0);
    EXPECT_FALSE(machine.chrdev_registered(120));
    std::string tail = " version 3.1.0 build " + std::to_string(KES_BUILD_NUMBER);
    auto log = machine.dmesg();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2].text, "kesUnload: kestrel" + tail + " ready to be unloaded\n");
    EXPECT_EQ(log.back().text, "kesExit: kestrel" + tail + " exiting\n");
}

TEST_F(MachineTest, LoadFailsWhenTheMajorIsTaken)
{
    static struct file_operations other = {};
    ASSERT_EQ(register_chrdev(120, "other", &other), 0);
    EXPECT_EQ(machine.insmod(THIS_MODULE), -EBUSY);
    EXPECT_EQ(machine.log_count("kesInit: kestrel version 3.1.0 build " +
                                std::to_string(KES_BUILD_NUMBER) + " load FAILED\n"),
              1u);
    EXPECT_FALSE(machine.module_loaded("kestrel"));
    EXPECT_EQ(unregister_chrdev(120, "other"), 0);
}

// The control device's node is the install step's: none at boot, made once by the first
// install, kept across an unload and a second install.
TEST_F(MachineTest, InstallMakesTheControlNodeOnce)
{
    sim::Process& root = machine.spawn("root", 0);
    EXPECT_EQ(root.open("/dev/kestrel"), -ENOENT);
    ASSERT_EQ(install::load_module(machine), 0);
    int fd = root.open("/dev/kestrel");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(root.close(fd), 0);
    ASSERT_EQ(machine.rmmod("kestrel"), 0);
    EXPECT_EQ(root.open("/dev/kestrel"), -ENXIO); // the node stays, its driver is gone
    ASSERT_EQ(install::load_module(machine), 0);
    fd = root.open("/dev/kestrel");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(root.close(fd), 0);
}

// A failed load makes no node.
TEST_F(MachineTest, FailedInstallMakesNoNode)
{
    static struct file_operations other = {};
    ASSERT_EQ(register_chrdev(120, "other", &other), 0);
    EXPECT_EQ(install::load_module(machine), -EBUSY);
    EXPECT_EQ(machine.spawn("root", 0).open("/dev/kestrel"), -ENOENT);
    EXPECT_EQ(unregister_chrdev(120, "other"), 0);
}

TEST(ModuleTarget, ModuleBuiltForAnotherKernelIsRefused)
{
    sim::MachineConfig config;
    config.kernel_release = "2.6.9-023stab047.1";
    sim::Machine machine(config);
    EXPECT_EQ(machine.insmod(THIS_MODULE), -ENOEXEC);
    EXPECT_EQ(machine.log_count("version magic"), 1u);
    EXPECT_EQ(machine.leak_report(), "");
}

TEST_F(ModuleTest, EachOpenGetsItsOwnBackup)
{
    int a = OpenControl();
    int b = OpenControl();
    kes::Backup* ba = BackupOf(a);
    kes::Backup* bb = BackupOf(b);
    ASSERT_NE(ba, nullptr);
    ASSERT_NE(bb, nullptr);
    EXPECT_NE(ba, bb);
    EXPECT_EQ(kes::backupState(ba), 0u);
    EXPECT_EQ(ba->disk.dev, 0u);
    EXPECT_EQ(ba->disk.blockSize, 0u);
    EXPECT_EQ(atomic_read(&ba->totalPages), 0);
    EXPECT_EQ(ba->sem.count.load(), 1);

    agent->ioctl(a, kes::KES_SYNC, 0);
    agent->ioctl(a, kes::KES_SYNC, 0);
    EXPECT_EQ(atomic_read(&ba->commandsProcessed), 2);
    EXPECT_EQ(atomic_read(&bb->commandsProcessed), 0);

    EXPECT_EQ(agent->close(a), 0);
    EXPECT_EQ(agent->ioctl(b, kes::KES_SYNC, 0), 0);
    EXPECT_EQ(agent->close(b), 0);
    EXPECT_EQ(module_refcount(THIS_MODULE), 0u);
}

TEST_F(ModuleTest, ReadWriteAndPollMoveNothing)
{
    int fd = OpenControl();
    uint32_t buf = agent->alloc(4096);
    EXPECT_EQ(agent->read(fd, buf, 4096), 0);
    EXPECT_EQ(agent->write(fd, buf, 4096), 0);
    EXPECT_EQ(agent->read(fd, 0, 100), 0); // even with a bad buffer
    EXPECT_EQ(agent->poll(fd), 0);
    agent->close(fd);
}

TEST_F(ModuleTest, OnlyRootMayOpenTheControlDevice)
{
    sim::Process& user = machine.spawn("user", 1000);
    EXPECT_EQ(user.open("/dev/kestrel"), -EACCES);
}

TEST_F(ModuleTest, UnloadIsRefusedWhileAFileIsOpen)
{
    int fd = OpenControl();
    EXPECT_EQ(machine.rmmod("kestrel"), -EWOULDBLOCK);
    EXPECT_TRUE(machine.module_loaded("kestrel"));
    EXPECT_EQ(agent->ioctl(fd, kes::KES_SYNC, 0), 0);
    agent->close(fd);
    EXPECT_EQ(machine.rmmod("kestrel"), 0);
}

TEST_F(ModuleTest, WaitingUnloadRefusesNewOpensAndFinishesAtTheLastClose)
{
    int fd = OpenControl();
    std::thread remover([&] { EXPECT_EQ(machine.rmmod("kestrel", true), 0); });
    while (module_is_live(THIS_MODULE))
        std::this_thread::yield();
    sim::Process& late = machine.spawn("late");
    EXPECT_EQ(late.open("/dev/kestrel"), -ENXIO);
    EXPECT_EQ(agent->ioctl(fd, kes::KES_SYNC, 0), 0); // the open file still works
    agent->close(fd);
    remover.join();
    EXPECT_FALSE(machine.module_loaded("kestrel"));
    EXPECT_EQ(machine.log_count("exiting"), 1u);
}

// Opens that the module itself refuses reach the kernel as negative errors, and leave
// nothing behind.
TEST_F(ModuleTest, RefusedOpensReturnNegativeErrorsAndLeaveNothing)
{
    machine.faults().fail_nth(sim::Fault::Kmalloc, 1);
    EXPECT_EQ(agent->open("/dev/kestrel"), -ENOMEM);
    EXPECT_EQ(module_refcount(THIS_MODULE), 0u);

    // The module is being removed between the kernel's reference and the module's own.
    struct file f = {};
    ASSERT_EQ(try_module_get(THIS_MODULE), 1);
    THIS_MODULE->state.store(MODULE_STATE_GOING);
    EXPECT_EQ(kes::kesOpen(nullptr, &f), -ENXIO);
    EXPECT_EQ(f.private_data, nullptr);
    THIS_MODULE->state.store(MODULE_STATE_LIVE);
    module_put(THIS_MODULE);

    // Before the device is registered.
    atomic_set(&kes::initDone, 0);
    EXPECT_EQ(kes::kesOpen(nullptr, &f), -ENODEV);
    atomic_set(&kes::initDone, 1);

    // A file whose open was refused has no Backup, and releasing it is answered with 2.
    EXPECT_EQ(kes::kesRelease(nullptr, &f), 2);
}

TEST_F(ModuleTest, ShutdownSucceedsWithoutAutomaps)
{
    int fd = OpenControl();
    EXPECT_EQ(agent->ioctl(fd, kes::KES_SHUTDOWN, 0), 0);
    agent->close(fd);
}

// Open, commands and close with the 1st, 2nd, ... allocation failing, until the whole
// sequence runs without reaching a fault: each step succeeds or fails as it must, and
// nothing is left allocated.
TEST_F(ModuleTest, AllocationFailureSweepOverOpenCommandsAndClose)
{
    uint32_t word = agent->alloc(4);
    for (unsigned n = 1;; n++) {
        machine.faults().disarm();
        unsigned before = machine.faults().fired_total();
        machine.faults().fail_any_alloc_nth(n);
        int fd = agent->open("/dev/kestrel");
        if (fd < 0) {
            EXPECT_EQ(fd, -ENOMEM);
        } else {
            EXPECT_EQ(agent->ioctl(fd, kes::KES_GET_VERSION_MAJOR, word), 0);
            EXPECT_EQ(agent->ioctl(fd, kes::KES_SYNC, 0), 0);
            EXPECT_EQ(agent->ioctl(fd, kes::KES_SHUTDOWN, 0), 0);
            EXPECT_EQ(agent->close(fd), 0);
        }
        EXPECT_EQ(module_refcount(THIS_MODULE), 0u);
        if (machine.faults().fired_total() == before)
            break;
        ASSERT_LT(n, 100u);
    }
    machine.faults().disarm();
}

TEST_F(ModuleTest, TargetModulePutChecksTheCountOnLaterKernels)
{
#if KES_MODPUT_CHECKS_REFCOUNT
    EXPECT_DEATH(kes::kesModPut(), "kernel BUG");
#else
    ASSERT_EQ(kes::kesModGet(), 0);
    kes::kesModPut();
    EXPECT_EQ(module_refcount(THIS_MODULE), 0u);
#endif
}

} // namespace
} // namespace kestrel_test
