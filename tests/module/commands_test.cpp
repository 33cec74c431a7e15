// The command dispatcher: decoding, argument copies, the commands it answers itself.
#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

using namespace kes;

class CommandTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        fd = OpenControl();
        b = BackupOf(fd);
        page = agent->alloc(4096);
        ASSERT_NE(page, 0u);
    }
    void TearDown() override
    {
        agent->close(fd);
        ModuleTest::TearDown();
    }
    int ioctl(uint32_t cmd, uint64_t arg) { return agent->ioctl(fd, cmd, static_cast<unsigned long>(arg)); }
    // An address whose first `readable` bytes are mapped and the rest is not.
    uint32_t EdgeAddress(uint32_t readable) { return page + 4096 - readable; }

    int fd = -1;
    Backup* b = nullptr;
    uint32_t page = 0;
};

TEST_F(CommandTest, UnknownCommandsAreRefusedLoggedAndCounted)
{
    for (uint32_t cmd : {0x40042a0bu, 0x40042a11u, 0x00002a00u, 0x40102b00u, 0u}) {
        machine.clear_log();
        EXPECT_EQ(ioctl(cmd, page), KES_NO_COMMAND);
        ASSERT_EQ(machine.dmesg().size(), 1u);
        EXPECT_EQ(machine.dmesg()[0].text, "kesIOCTL: ioctl command not found\n");
        EXPECT_EQ(machine.dmesg()[0].level, 3);
    }
    EXPECT_EQ(atomic_read(&b->commandsProcessed), 5);
}

TEST_F(CommandTest, CommandsBeforeTheModuleIsReadyAnswerOneAndDoNotCount)
{
    atomic_set(&initDone, 0);
    EXPECT_EQ(ioctl(KES_SYNC, 0), KES_NOT_READY);
    EXPECT_EQ(ioctl(0x12345678, 0), KES_NOT_READY);
    atomic_set(&initDone, 1);
    EXPECT_EQ(atomic_read(&b->commandsProcessed), 0);

    struct file noBackup = {};
    EXPECT_EQ(kesIOCTL(nullptr, &noBackup, KES_SYNC, 0), KES_INVALID);
}

TEST_F(CommandTest, VersionQueriesWriteTheirWord)
{
    EXPECT_EQ(ioctl(KES_GET_VERSION_MAJOR, page), 0);
    EXPECT_EQ(agent->peek_u32(page), 3u);
    EXPECT_EQ(ioctl(KES_GET_VERSION_MINOR, page + 4), 0);
    EXPECT_EQ(agent->peek_u32(page + 4), 1u);

    uint32_t readOnly = agent->alloc(4096, true, false);
    for (uint64_t bad : {uint64_t(0), uint64_t(readOnly), uint64_t(EdgeAddress(2)), uint64_t(1) << 32}) {
        machine.clear_log();
        EXPECT_EQ(ioctl(KES_GET_VERSION_MAJOR, bad), KES_COPY_TO_USER);
        EXPECT_EQ(machine.log_count("ioctlGetVersion: copy to user space failed\n"), 1u);
    }
    EXPECT_EQ(agent->peek_u32(readOnly), 0u);
}

// Every argument record that cannot be read in full gives 6, runs no handler, logs
// nothing and leaves the Backup as it was.
TEST_F(CommandTest, UnreadableArgumentRecordsGiveSix)
{
    struct Case {
        uint32_t cmd;
        uint32_t size;
    };
    const Case cases[] = {
        {KES_GET_BLOCK_SIZE, 16}, {KES_START_BACKUP, 16}, {KES_SNAPSHOT, 8},
        {KES_GET_STATE, 8},       {KES_GET_AUTOMAP_STATE, 8}, {KES_LOAD_BLOCK_MAP, 8},
        {KES_GET_AUTOMAP, 8},     {KES_GET_DIRTY_BLOCK, 4},   {KES_READ_BLOCKS, 12},
    };
    machine.clear_log();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cmd);
        EXPECT_EQ(ioctl(c.cmd, EdgeAddress(c.size - 1)), KES_COPY_FROM_USER);
        EXPECT_EQ(ioctl(c.cmd, 0), KES_COPY_FROM_USER);
        EXPECT_EQ(ioctl(c.cmd, uint64_t(page) | (uint64_t(1) << 32)), KES_COPY_FROM_USER);
    }
    EXPECT_TRUE(machine.dmesg().empty());
    EXPECT_EQ(backupState(b), 0u);
    EXPECT_EQ(b->disk.dev, 0u);
    EXPECT_EQ(atomic_read(&b->commandsProcessed), 27);
}

TEST_F(CommandTest, IndirectRecordsNeedBothCopies)
{
    // The IndirectArgs is readable but points at a MapArgs that runs off the mapping.
    agent->poke_u32(page, EdgeAddress(4));
    EXPECT_EQ(ioctl(KES_LOAD_BLOCK_MAP, page), KES_COPY_FROM_USER);
    EXPECT_EQ(ioctl(KES_GET_AUTOMAP, page), KES_COPY_FROM_USER);
    // Only the first word of the IndirectArgs is needed to be the address; the record itself
    // must still be readable in full.
    agent->poke_u32(EdgeAddress(4), page + 64);
    EXPECT_EQ(ioctl(KES_LOAD_BLOCK_MAP, EdgeAddress(4)), KES_COPY_FROM_USER);
}

TEST_F(CommandTest, SyncReservedAndShutdown)
{
    EXPECT_EQ(ioctl(KES_SYNC, 0), 0); // no device yet: nothing to write, no crash
    EXPECT_EQ(ioctl(KES_SYNC, 0xFFFFFFFF), 0);
    EXPECT_EQ(ioctl(KES_RESERVED, 0), KES_REFUSED);
    EXPECT_EQ(ioctl(KES_SHUTDOWN, 0), 0);
    EXPECT_EQ(atomic_read(&b->commandsProcessed), 4);
}

} // namespace
} // namespace kestrel_test
