// Blocks mapped on their own: those of a huge page and more start on a huge-page boundary and
// map no more than whole small pages past their end (a block's header costs no page of its
// own), grow keeping their contents, and leave no address space behind once given back.

#include "core/numerics/block_pages.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

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

// The lines of /proc/self/smaps that describe the mapping holding `address`.
std::string smaps_of(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line, entry;
    bool inside = false;
    while (std::getline(smaps, line)) {
        const std::size_t dash = line.find('-'), space = line.find(' ');
        // A mapping's first line, "start-end perms ...", is the only one whose first field
        // holds a dash.
        if (dash != std::string::npos && dash < space) {
            if (inside) break;
            const std::uintptr_t start = std::stoull(line, nullptr, 16);
            const std::uintptr_t end = std::stoull(line.substr(dash + 1), nullptr, 16);
            inside = start <= at && at < end;
        }
        if (inside) entry += line + '\n';
    }
    return entry;
}

// A field of the process's whole memory ("LazyFree:", in kB).
std::size_t process_kib(const std::string& field) {
    std::ifstream rollup("/proc/self/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.starts_with(field)) return std::stoull(line.substr(field.size()));
    }
    return 0;
}

// Whether the mapping holding `address` is marked for huge pages (MADV_HUGEPAGE).
bool huge_pages_asked(const void* address) {
    const std::string entry = smaps_of(address);
    const std::size_t flags = entry.find("VmFlags:");
    return flags != std::string::npos &&
           entry.substr(flags, entry.find('\n', flags) - flags).find(" hg") != std::string::npos;
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
        // Nor left past it (as a mapping of its own, its huge pages asked for only up to the end).
        EXPECT_EQ(mapping_of(pages + mapped_length(bytes)).second, 0u) << bytes;

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

// Each row takes a block of `taken` bytes and grows it to `grown` (0: not grown): a block of a
// huge page and more, however it came to be, asks the system for huge pages.
TEST(BlockPages, LargeBlocksAskForHugePages) {
    if (madvise(nullptr, 0, MADV_HUGEPAGE) != 0) GTEST_SKIP() << "no huge pages to ask for";
    struct Row {
        std::size_t taken, grown;
    };
    const Row rows[] = {{3 * mib + 1, 0}, {mib, 4 * mib}};
    const BlockSource source = page_block_source();
    for (const Row& row : rows) {
        void* pages = source.take(row.taken);
        ASSERT_NE(pages, nullptr);
        std::size_t bytes = row.taken;
        if (row.grown > 0) {
            pages = source.resize(pages, bytes, row.grown);
            ASSERT_NE(pages, nullptr);
            bytes = row.grown;
        }
        EXPECT_TRUE(huge_pages_asked(pages)) << row.taken << " " << row.grown;
        source.give_back(pages, bytes);
    }
}

// Blocks given back to the cache keep their pages; beyond the bytes kept last that the cache
// leaves as they are, the blocks kept longest become the system's to take back under memory
// pressure, header pages and all.
TEST(BlockPages, KeptPagesAreLazilyFreedBeyondTheLastKept) {
    BlockCache cache({.smallest_block = 1 << 16,
                      .most_blocks = 8,
                      .most_bytes = 1 << 24,
                      .most_dirty_bytes = 3 * mib / 2},
                     page_block_source());
    const std::size_t bytes = mib;
    unsigned char* blocks[2];
    for (auto& block : blocks) {
        block = static_cast<unsigned char*>(cache.allocate(bytes));
        std::memset(block, 1, bytes);
    }
    // The whole process's: the two blocks' mappings may have merged.
    const std::size_t before = process_kib("LazyFree:");
    cache.deallocate(blocks[0], bytes);
    EXPECT_EQ(process_kib("LazyFree:"), before);  // the last kept
    cache.deallocate(blocks[1], bytes);
    ASSERT_EQ(cache.kept_blocks(), 2u);
    // One block's: the system marks pages in batches, the last batch maybe not yet.
    const std::size_t freed = (process_kib("LazyFree:") - before) * 1024;
    EXPECT_TRUE(freed >= bytes / 2 && freed <= bytes + 8192) << freed;
    // The system taking back what it can: the first block's pages, header and all, which read
    // as zeros then; the last kept is left as it was (or written out to swap and read back).
    for (auto& block : blocks) {
        auto* const start = block - reinterpret_cast<std::uintptr_t>(block) % small_page_bytes;
        if (madvise(start, mapped_length(bytes + small_page_bytes), MADV_PAGEOUT) != 0) {
            cache.release();
            GTEST_SKIP() << "no MADV_PAGEOUT";
        }
    }
    EXPECT_EQ(cache.allocate(bytes), blocks[1]);
    EXPECT_EQ(cache.allocate(bytes), blocks[0]);
    EXPECT_TRUE(blocks[1][0] == 1 && blocks[1][bytes - 1] == 1);
    EXPECT_TRUE(blocks[0][0] == 0 && blocks[0][bytes - 1] == 0);
    // Each goes back as it came.
    for (auto& block : blocks) cache.deallocate(block, bytes);
    EXPECT_EQ(cache.kept_bytes(), 2 * bytes);
    cache.release();
}

// A block on huge pages cut in two mid-page, the first part lazily freed while the second is in
// use: whole huge pages only, none split into small ones (where the system gives huge pages).
TEST(BlockPages, LazilyFreedPartsSplitNoHugePage) {
    BlockCache cache(
        {.smallest_block = 1 << 16, .most_blocks = 8, .most_bytes = 1 << 30, .most_dirty_bytes = 0},
        page_block_source());
    const std::size_t whole = 6 * mib, part = 3 * mib;
    void* const block = cache.allocate(whole);
    cache.deallocate(block, whole);
    void* const first = cache.allocate(part);
    void* const second = cache.allocate(part - mib);
    ASSERT_EQ(first, block);
    std::memset(first, 1, part);
    std::memset(second, 1, part - mib);
    const std::size_t huge = process_kib("AnonHugePages:");
    cache.deallocate(first, part);
    EXPECT_EQ(process_kib("AnonHugePages:"), huge);
    EXPECT_GE(process_kib("LazyFree:") * 1024, 2 * mib);
    cache.deallocate(second, part - mib);
    cache.release();
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
