// The ceiling is read once, at the first checked allocation. This file runs as its own process,
// so the test below makes that first reading.

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/sysinfo.h>

#include <cstdint>

#include "core/numerics/allocation.hpp"

namespace tarvek {
namespace {

TEST(AllocationCeiling, FirstReadingLeavesTheHeapAsItWasAndStaysWithinTheMachine) {
    const struct mallinfo2 before = mallinfo2();
    const std::uint64_t ceiling = allocation_ceiling();
    const struct mallinfo2 after = mallinfo2();
    // Blocks freed but kept for reuse count as in use: any heap block made while reading shows.
    EXPECT_EQ(after.arena, before.arena);
    EXPECT_EQ(after.uordblks, before.uordblks);
    EXPECT_EQ(after.ordblks, before.ordblks);
    EXPECT_EQ(after.hblks, before.hblks);

    struct sysinfo machine{};
    ASSERT_EQ(sysinfo(&machine), 0);
    const std::uint64_t memory_and_swap =
        (std::uint64_t{machine.totalram} + machine.totalswap) * machine.mem_unit;
    EXPECT_GT(ceiling, 0U);
    EXPECT_LE(ceiling, memory_and_swap);
    EXPECT_LE(ceiling, max_allocation_bytes);
    EXPECT_EQ(allocation_ceiling(), ceiling);
}

}  // namespace
}  // namespace tarvek
