// The demo end to end on a small disk: every backup committed, restored and proven, and
// the report names every check.
#include <gtest/gtest.h>

#include <filesystem>

#include "tools/demo/demo_run.h"

namespace {

jobs::DemoOptions small()
{
    jobs::DemoOptions o;
    o.files = 60;
    o.ext4_bytes = 12 << 20;
    o.ext2_bytes = 4 << 20;
    o.writes_between = 40;
    return o;
}

TEST(DemoRun, EveryCheckPassesAndTheReportSaysSo)
{
    char tmpl[] = "/tmp/kestrel-demo-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    jobs::DemoOptions o = small();
    o.keep_dir = std::string(tmpl) + "/kept";
    std::vector<std::string> steps;
    jobs::DemoReport r = jobs::run_demo(o, [&](const std::string& s) { steps.push_back(s); });
    std::string text = jobs::describe(r);
    EXPECT_TRUE(r.ok()) << text;
    EXPECT_FALSE(steps.empty());
    ASSERT_EQ(r.backups.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(r.backups[i].result.incremental, i >= 2);
        EXPECT_EQ(r.backups[i].result.fs_type, i % 2 ? "ext2" : "ext4");
    }
    // 2 writers, shutdown, 4 commits, 4 e2fsck, 4 file comparisons, 2 incrementals, verify.
    EXPECT_EQ(r.checks.size(), 18u) << text;
    for (const char* what : {"e2fsck -fn passes on the restored ext2 incremental backup",
                             "every file extracted from the ext4 full backup equals the file at its snapshot",
                             "the ext4 incremental backup stored only chunks that changed", "verdict: every check passed"})
        EXPECT_NE(text.find(what), std::string::npos) << what << "\n" << text;
    EXPECT_EQ(jobs::to_json(r)["ok"], true);
    EXPECT_TRUE(std::filesystem::exists(o.keep_dir + "/repo/config"));

    // A kept directory that is in use is refused before anything is made.
    jobs::DemoReport again = jobs::run_demo(o);
    EXPECT_FALSE(again.ok());
    EXPECT_NE(again.error.find("is not empty"), std::string::npos) << again.error;
    EXPECT_NE(jobs::describe(again).find("FAIL  the demo could not finish"), std::string::npos);
    std::filesystem::remove_all(tmpl);
}

} // namespace
