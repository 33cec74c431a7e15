// Marking blocks from a write's completion, in the interrupt context of a uniprocessor,
// while another disk's interrupt arrives.
#include <atomic>

#include "sim/disk.h"
#include "tests/blockmap/map_bytes.h"
#include "tests/support/fixture.h"
#include "tests/support/irq.h"

namespace kestrel_test {
namespace {

constexpr u32 kSda = MKDEV(8, 0);
constexpr u32 kSdb = MKDEV(8, 16);

class SetBlockInterruptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        AddSmallDisks(machine, {kSda, kSdb});
        ASSERT_EQ(kes::newBlockMap(&map, 40000, 0, 1, &pages), 0);
    }
    void TearDown() override
    {
        kes::closeBlockMap(&map, &pages);
        EXPECT_EQ(machine.leak_report(), "");
        EXPECT_TRUE(machine.bugs().empty()) << machine.dmesg_text();
    }

    sim::Machine machine{ProcessorConfig(true)};
    kes::BlockMap map{};
    u32 pages = 0;
};

// The completion maps the map's second page (in high memory) through the processor's
// interrupt slot; the other disk's handler, arriving right then, maps its data page through
// the same slot. The other interrupt must wait until the map is unmapped (the slot check
// reports it otherwise), and the mark must land in the map's page.
TEST_F(SetBlockInterruptTest, AMarkFromACompletionIsNotRepointedByANestedInterrupt)
{
    std::atomic<bool> marking{false};
    u32 result = 1;
    PioInterruptAtMap pio(machine, kSdb, KM_BIO_SRC_IRQ, [&] { return marking.load(); });
    IrqRead write([&](struct page*) {
        marking = true;
        result = kes::setBlock(&map, 32769);
        marking = false;
    });
    write.Submit(kSda);
    write.Finish();
    pio.Finish();
    EXPECT_EQ(result, 0u);
    std::vector<uint8_t> want(map.bytesInMap, 0);
    want[32769 / 8] = 1 << (32769 % 8);
    EXPECT_EQ(MapBytes(map), want);
}

} // namespace
} // namespace kestrel_test
