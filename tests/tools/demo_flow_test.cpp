// The demo's flow on its own disk image: the image attached and both partitions mounted,
// writers changing files, a full and an incremental backup of each partition, a clean
// shutdown; every backup restores to an image that e2fsck passes and whose files equal
// the files at that backup's snapshot.
#include <filesystem>
#include <fstream>

#include "agent/backup.h"
#include "agent/memory_sink.h"
#include "sim/fs.h"
#include "tests/support/fixture.h"
#include "tools/demo/disk_image.h"
#include "machine/image_session.h"
#include "tools/demo/writers.h"

namespace kestrel_test {
namespace {

class DemoFlow : public MachineTest {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kestrel-flow-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        d = demo::make_demo_disk(dir, 3, 150, 24 << 20, 8 << 20);
    }
    void TearDown() override
    {
        MachineTest::TearDown();
        std::filesystem::remove_all(dir);
    }

    std::string dir;
    demo::DemoDisk d;
};

TEST_F(DemoFlow, FullAndIncrementalOfBothPartitionsRestoreAndPassFsck)
{
    std::vector<demo::FileInfo> files[2] = {demo::partition_files(d, 0), demo::partition_files(d, 1)};
    ASSERT_FALSE(files[0].empty());
    ASSERT_FALSE(files[1].empty());
    demo::ImageSession s(machine, d.image, {1, 2});
    agent::MemorySink sinks[2];
    std::unique_ptr<demo::FileWriters> writers[2];
    for (unsigned p = 0; p < 2; p++) {
        ASSERT_EQ(sim::record_freezes(machine, s.device(p + 1)), 0);
        writers[p] = std::make_unique<demo::FileWriters>(machine, s.device(p + 1), d.file_systems[p].block_size,
                                                         files[p], 10 * (p + 1));
        writers[p]->start(1);
    }
    for (int round = 0; round < 2; round++) {
        for (unsigned p = 0; p < 2; p++) {
            agent::BackupJob job;
            job.major = MAJOR(s.device(p + 1));
            job.minor = MINOR(s.device(p + 1));
            job.previous = sinks[p].previous();
            uint64_t before = writers[p]->writes();
            agent::BackupResult r = agent::back_up(s.transport(), job, sinks[p]);
            ASSERT_TRUE(r.ok()) << r.error;
            EXPECT_EQ(r.incremental, round == 1) << r.full_reason;
            while (writers[p]->writes() < before + 20 && !writers[p]->error())
                std::this_thread::yield();
        }
    }
    for (auto& w : writers) {
        w->stop();
        EXPECT_EQ(w->error(), 0);
    }
    EXPECT_EQ(s.shutdown(), "");

    for (unsigned p = 0; p < 2; p++) {
        auto records = sim::take_freeze_records(machine, s.device(p + 1));
        ASSERT_EQ(records.size(), 2u);
        const uint32_t bs = d.file_systems[p].block_size;
        for (size_t i = 0; i < 2; i++) {
            std::vector<uint8_t> restored = sinks[p].image(i);
            agent::ExtSource got(demo::memory_reader(restored, bs), bs, restored.size() / bs);
            agent::ExtSource want(demo::memory_reader(records[i], bs), bs, records[i].size() / bs);
            ASSERT_NE(got.fs(), nullptr);
            ASSERT_NE(want.fs(), nullptr);
            EXPECT_EQ(demo::differing_files(got.fs(), want.fs()), std::vector<std::string>{});
            std::string path = dir + "/restored.img";
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(restored.data()), static_cast<std::streamsize>(restored.size()));
            demo::CheckResult fsck = demo::check_file_system(path);
            EXPECT_TRUE(fsck.clean()) << fsck.output;
        }
        // The files did change between the two backups, and the incremental read less.
        agent::ExtSource a(demo::memory_reader(records[0], bs), bs, records[0].size() / bs);
        agent::ExtSource b(demo::memory_reader(records[1], bs), bs, records[1].size() / bs);
        EXPECT_FALSE(demo::differing_files(a.fs(), b.fs()).empty());
        EXPECT_LT(sinks[p].backups()[1].facts.changed_blocks, sinks[p].backups()[0].facts.changed_blocks);
    }
}

TEST_F(DemoFlow, ABadPartitionEndsTheSessionWithOneLine)
{
    auto expectThrow = [&](std::vector<unsigned> parts, const std::string& what) {
        try {
            demo::ImageSession s(machine, d.image, parts);
            ADD_FAILURE() << "no error for " << what;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), what);
        }
    };
    expectThrow({1, 3}, d.image + " has no partition 3: its MBR lists partitions 1, 2");
    EXPECT_FALSE(sim::mount_info(machine, MKDEV(8, 1)).has_value()); // partition 1 was unmounted again
    try {
        demo::ImageSession s(machine, dir + "/missing.img", {1});
        ADD_FAILURE() << "no error for a missing image";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot attach " + dir + "/missing.img: No such file or directory");
    }
}

} // namespace
} // namespace kestrel_test
