// The fixture every test starts from: a fresh machine with the module loaded, and at the
// end a check that nothing leaked and that the kernel's debug checks found nothing.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "module/kestrel.h"
#include "sim/machine.h"
#include "sim/process.h"
#include "machine/install.h"

namespace kestrel_test {

// A booted machine without the module.
class MachineTest : public ::testing::Test {
protected:
    void TearDown() override;
    // Unloads the module if loaded, then checks for leaks and kernel bug reports.
    void ExpectClean();

    sim::Machine machine{install::machine_config()};
};

// A booted machine with the module loaded and an agent process (root).
class ModuleTest : public MachineTest {
protected:
    void SetUp() override;

    // Opens the control device; fails the test when it cannot.
    int OpenControl();
    // The Backup behind an open control file.
    kes::Backup* BackupOf(int fd);

    sim::Process* agent = nullptr;
};

} // namespace kestrel_test
