// Under AddressSanitizer, tables from the process's block cache are watched as plain vectors
// are: a read before the start, past the end of a table in a larger kept block, through a
// pointer kept from a freed table after a table of its size was made, and of a block waiting in
// the cache, is reported. Death tests, so only in the sanitized build.

#include <gtest/gtest.h>

#include "core/numerics/address_sanitizer.hpp"
#include "core/numerics/table_vector.hpp"
#include "kept_blocks.hpp"

namespace tarvek {
namespace {

// Else the tests below would vanish from the sanitized build.
TEST(BlockCacheSanitizer, TheSanitizedBuildFindsTheSanitizer) {
#if defined(TARVEK_SANITIZED_BUILD)
    EXPECT_TRUE(address_sanitizer);
#endif
}

#if defined(TARVEK_ADDRESS_SANITIZER)

constexpr const char* report = "AddressSanitizer";
constexpr std::size_t kept_size = std::size_t{1} << 15;  // values: 256 KiB, a kept block

double read(const double* value) {
    return *static_cast<const volatile double*>(value);
}

TEST(BlockCacheSanitizerDeathTest, ReadsBeforeTheStartAreReported) {
    // A kept size, and one too large to keep.
    for (const std::size_t count : {kept_size, (std::size_t{40} << 20) / sizeof(double)}) {
        const TableVector<double> table(count);
        EXPECT_DEATH(read(table.data() - 1), report) << count;
    }
}

TEST(BlockCacheSanitizerDeathTest, ReadsPastASmallerTableInAKeptBlockAreReported) {
    const void* const block = testing::plant_block(kept_size * sizeof(double));
    const TableVector<double> table(kept_size * 3 / 4);
    ASSERT_EQ(table.data(), block);
    EXPECT_DEATH(read(table.data() + table.size()), report);
}

TEST(BlockCacheSanitizerDeathTest, ReadsThroughAStalePointerAreReported) {
    const double* stale = nullptr;
    {
        const TableVector<double> table(kept_size);
        stale = table.data();
    }
    EXPECT_DEATH(read(stale), report);  // while its block waits
    const TableVector<double> next(kept_size);
    EXPECT_DEATH(read(stale), report);  // a table of its size made since
}

#endif

}  // namespace
}  // namespace tarvek
