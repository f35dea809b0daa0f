// Under AddressSanitizer, tables from the process's block cache are watched as plain vectors
// are: a read before the start, past the end of a table in a larger kept block, through a
// pointer kept from a freed table after a table of its size was made, and of a block waiting in
// the cache, is reported; and pages that move leave no poison behind them. Only in the
// sanitized build.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>

#include "core/numerics/address_sanitizer.hpp"
#include "core/numerics/block_cache.hpp"
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

// A new block's mapping runs on to the end of its last page: reads there are reported, as past
// a heap block.
TEST(BlockCacheSanitizerDeathTest, ReadsPastANewTableAreReported) {
    for (const std::size_t count : {kept_size + 3, (std::size_t{40} << 20) / sizeof(double) + 3}) {
        BlockCache::shared().release();
        const TableVector<double> table(count);
        EXPECT_DEATH(read(table.data() + table.size()), report) << count;
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

// A kept block grown by moving its pages (those of a huge page and more move to a huge-page
// boundary) leaves no poison where they were: a mapping made there later is written freely.
TEST(BlockCacheSanitizer, AMovedBlockLeavesNoPoisonBehind) {
    BlockCache cache({.smallest_block = 1 << 16, .most_blocks = 8, .most_bytes = 1ull << 30},
                     page_block_source());
    const std::size_t bytes = std::size_t{3} << 20, larger = std::size_t{5} << 20;
    void* const block = cache.allocate(bytes);
    cache.deallocate(block, bytes);
    void* const grown = cache.allocate(larger);
    ASSERT_NE(grown, block);
    auto* const pages = reinterpret_cast<std::byte*>(reinterpret_cast<std::uintptr_t>(block) &
                                                     ~(small_page_bytes - 1));
    const std::size_t length =
        mapped_length(static_cast<std::size_t>(static_cast<std::byte*>(block) - pages) + bytes);
    void* const again = mmap(pages, length, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(again, pages);
    EXPECT_EQ(__asan_region_is_poisoned(again, length), nullptr);
    std::memset(again, 1, length);
    munmap(again, length);
    cache.deallocate(grown, larger);
}

#endif

}  // namespace
}  // namespace tarvek
