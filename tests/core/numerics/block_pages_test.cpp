// Blocks mapped on their own: those of a huge page and more start on a huge-page boundary and
// map no more than whole small pages past their end (a block's header costs no page of its
// own), grow keeping their contents, and leave no address space behind once given back.

#include "core/numerics/block_pages.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "core/numerics/block_cache.hpp"

namespace tarvek {
namespace {

// The mapping that holds `address`, as [start, end); {0, 0} when none does.
std::pair<std::uintptr_t, std::uintptr_t> mapping_of(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const std::uintptr_t start = std::stoull(line, nullptr, 16);
        const std::uintptr_t end = std::stoull(line.substr(line.find('-') + 1), nullptr, 16);
        if (start <= at && at < end) return {start, end};
    }
    return {0, 0};
}

constexpr std::size_t mib = std::size_t{1} << 20;

TEST(BlockPages, LargeBlocksStartOnAHugePageAndEndWithinASmallOne) {
    const BlockSource source = page_block_source();
    for (const std::size_t bytes : {40 * mib + 100, 40 * mib, 3 * mib + 1}) {
        auto* const pages = static_cast<unsigned char*>(source.take(bytes));
        ASSERT_NE(pages, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pages) % huge_page_bytes, 0u) << bytes;
        pages[bytes - 1] = 7;
        const auto [start, end] = mapping_of(pages + bytes - 1);
        EXPECT_LE(start, reinterpret_cast<std::uintptr_t>(pages)) << bytes;
        EXPECT_EQ(end, reinterpret_cast<std::uintptr_t>(pages) + mapped_length(bytes)) << bytes;

        auto* const grown = static_cast<unsigned char*>(source.resize(pages, bytes, 2 * bytes));
        ASSERT_NE(grown, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(grown) % huge_page_bytes, 0u) << bytes;
        EXPECT_EQ(grown[bytes - 1], 7) << bytes;
        grown[2 * bytes - 1] = 8;
        source.give_back(grown, 2 * bytes);
        EXPECT_EQ(mapping_of(grown + bytes).second, 0u) << bytes;
        EXPECT_EQ(mapping_of(grown + 2 * bytes - 1).second, 0u) << bytes;
    }
}

// A table of a whole number of huge pages, through the cache: its header and colour share its
// first page, and the mapping ends within a small page of its end.
TEST(BlockPages, AHeaderCostsNoPageOfItsOwn) {
    BlockCache cache({.smallest_block = 1 << 16, .most_blocks = 8, .most_bytes = 1ull << 30},
                     page_block_source());
    const std::size_t bytes = 40 * mib;
    auto* const block = static_cast<unsigned char*>(cache.allocate(bytes));
    block[bytes - 1] = 1;
    const auto [start, end] = mapping_of(block);
    EXPECT_EQ(start % huge_page_bytes, 0u);
    EXPECT_LT(reinterpret_cast<std::uintptr_t>(block) - start, small_page_bytes);
    EXPECT_LE(end - start, bytes + small_page_bytes);
    cache.deallocate(block, bytes);
    cache.release();
    EXPECT_EQ(mapping_of(block).second, 0u);
}

}  // namespace
}  // namespace tarvek
