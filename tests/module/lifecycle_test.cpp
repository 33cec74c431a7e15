#include "tests/support/fixture.h"

namespace kestrel_test {
namespace {

TEST_F(ModuleTest, LoadsWithBanner)
{
    EXPECT_EQ(machine.log_count("kesInit: kestrel version 3.1.0 build"), 1u);
    int fd = OpenControl();
    EXPECT_EQ(agent->close(fd), 0);
}

} // namespace
} // namespace kestrel_test
