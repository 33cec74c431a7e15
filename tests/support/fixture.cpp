#include "tests/support/fixture.h"

namespace kestrel_test {

void MachineTest::ExpectClean()
{
    machine.exit_processes();
    if (machine.module_loaded("kestrel")) {
        EXPECT_EQ(machine.rmmod("kestrel"), 0) << machine.dmesg_text();
    }
    EXPECT_EQ(machine.leak_report(), "");
    EXPECT_TRUE(machine.bugs().empty()) << machine.dmesg_text();
}

void MachineTest::TearDown() { ExpectClean(); }

void ModuleTest::SetUp()
{
    ASSERT_EQ(install::load_module(machine), 0) << machine.dmesg_text();
    agent = &machine.spawn("agent");
}

int ModuleTest::OpenControl()
{
    int fd = agent->open("/dev/kestrel");
    EXPECT_GE(fd, 0);
    return fd;
}

kes::Backup* ModuleTest::BackupOf(int fd)
{
    struct file* f = agent->file_of(fd);
    return f ? static_cast<kes::Backup*>(f->private_data) : nullptr;
}

} // namespace kestrel_test
