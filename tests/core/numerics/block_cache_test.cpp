#include "core/numerics/block_cache.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "core/numerics/table_vector.hpp"

#include "core/numerics/address_sanitizer.hpp"
#include "kept_blocks.hpp"

namespace tarvek {
namespace {

constexpr BlockCacheLimits small_limits{
    .smallest_block = 1024, .most_blocks = 4, .most_bytes = 1 << 20};

bool aligned(const void* block) {
    return reinterpret_cast<std::uintptr_t>(block) % BlockCache::alignment == 0;
}

// Heap blocks: never cut or grown.
const BlockSource heap{
    [](std::size_t bytes) noexcept {
        return ::operator new(bytes, std::align_val_t{64}, std::nothrow);
    },
    [](void* pages, std::size_t) noexcept { ::operator delete(pages, std::align_val_t{64}); }};

TEST(BlockCache, HandsOutTheSmallestKeptBlock) {
    BlockCache cache(small_limits, heap);
    void* const four = cache.allocate(4096);
    void* const eight = cache.allocate(8192);
    EXPECT_TRUE(aligned(four) && aligned(eight));
    cache.deallocate(eight, 8192);
    cache.deallocate(four, 4096);
    EXPECT_EQ(cache.kept_bytes(), 12288u);

    void* const reused = cache.allocate(3000);
    EXPECT_EQ(reused, four);
    EXPECT_EQ(cache.allocate(3000), eight);  // however much larger
    // A block goes back with its full size, whatever it was handed out for.
    cache.deallocate(reused, 3000);
    EXPECT_EQ(cache.kept_bytes(), 4096u);
    cache.deallocate(eight, 3000);
}

// A cache over mapped pages that keeps one block of `bytes`, made and given back.
struct OneKeptBlock {
    explicit OneKeptBlock(std::size_t bytes) : block(cache.allocate(bytes)) {
        cache.deallocate(block, bytes);
    }
    BlockCache cache{{.smallest_block = 1 << 16, .most_blocks = 8, .most_bytes = 1 << 24},
                     page_block_source()};
    void* const block;
};

// A table in a much larger block leaves the block's whole pages past its end to a kept block of
// their own, which joins it again when both are kept: the larger table takes it whole again.
TEST(BlockCache, ALargerBlockIsCutAndJoined) {
    const std::size_t whole = 1 << 20, part = 100'000;
    OneKeptBlock kept(whole);
    auto& [cache, block] = kept;
    const std::uint64_t footprint = cache.footprint();
    auto* const table = static_cast<unsigned char*>(cache.allocate(part));
    EXPECT_EQ(table, block);
    EXPECT_EQ(cache.kept_blocks(), 1u);
    EXPECT_LE(cache.kept_bytes(), whole - part);
    // No page more or less: the new block's header and colour come out of its first page.
    EXPECT_TRUE(cache.footprint() <= footprint && cache.footprint() + 4096 > footprint);
    std::memset(table, 1, part);
    cache.deallocate(table, part);
    EXPECT_EQ(cache.kept_blocks(), 1u);
    EXPECT_EQ(cache.kept_bytes(), footprint);
    EXPECT_EQ(cache.allocate(whole), block);
    cache.deallocate(block, whole);
}

// Two tables cut in turn from one block, the second still in use when the first goes back: the
// first joins no part beyond it, so the rest of the block handed out leaves the second's bytes
// alone. Both back, the block is whole again.
TEST(BlockCache, OnlyNeighbouringPartsJoin) {
    const std::size_t whole = 1 << 20, part = 100'000, rest = 800'000;
    OneKeptBlock kept(whole);
    auto& [cache, block] = kept;
    void* const first = cache.allocate(part);
    auto* const second = static_cast<unsigned char*>(cache.allocate(part));
    ASSERT_EQ(first, block);
    std::memset(second, 0x5a, part);
    cache.deallocate(first, part);
    ASSERT_EQ(cache.kept_blocks(), 2u);
    auto* const others = static_cast<unsigned char*>(cache.allocate(rest));
    std::memset(others, 0x11, rest);
    EXPECT_EQ(std::count(second, second + part, 0x5a), static_cast<std::ptrdiff_t>(part));
    cache.deallocate(others, rest);
    cache.deallocate(second, part);
    EXPECT_EQ(cache.kept_blocks(), 1u);
    EXPECT_EQ(cache.allocate(whole), block);
    cache.deallocate(block, whole);
}

// Each row keeps one block of `whole` bytes and asks for `part`: whether the pages past the
// table become a kept block of their own. Only a rest of at least the smallest kept size does.
TEST(BlockCache, OnlyARestWorthKeepingIsCut) {
    struct Row {
        std::size_t whole, part;
        bool cut;
    };
    const Row rows[] = {{1 << 20, 100'000, true}, {1 << 20, (1 << 20) - 40'000, false}};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        OneKeptBlock kept(rows[i].whole);
        auto& [cache, block] = kept;
        const std::uint64_t footprint = cache.footprint();
        void* const table = cache.allocate(rows[i].part);
        EXPECT_EQ(table, block) << i;
        EXPECT_EQ(cache.kept_blocks(), rows[i].cut ? 1u : 0u) << i;
        if (!rows[i].cut) {
            EXPECT_EQ(cache.footprint(), footprint) << i;
        }
        cache.deallocate(table, rows[i].part);
    }
}

// Blocks from the heap with room for 16 KiB each, grown in place up to that: a grown block keeps
// its address. Counted, as the heap may hand a new block the address of one just freed.
struct RoomySource {
    static constexpr std::size_t room = 16384;
    static inline std::size_t takes = 0;
    static void* take(std::size_t bytes) noexcept {
        ++takes;
        return ::operator new(std::max(bytes, room), std::align_val_t{64}, std::nothrow);
    }
    static void give_back(void* pages, std::size_t) noexcept {
        ::operator delete(pages, std::align_val_t{64});
    }
    static void* resize(void* pages, std::size_t, std::size_t larger) noexcept {
        return larger <= room ? pages : nullptr;
    }
};

// Each row keeps blocks of these sizes, then asks for one: the kept block it gets (by size),
// or none (0). When none fits, the largest is grown where the source can grow blocks.
TEST(BlockCache, HandsOutTheSmallestBlockThatFits) {
    struct Row {
        std::vector<std::size_t> kept;
        std::size_t asked;
        std::size_t served;
        bool grows = true;
    };
    const Row rows[] = {{{3999, 4096, 6000}, 4000, 4096},  // the smallest that fits
                        {{6000, 4096, 3999}, 4000, 4096},  // in any order kept
                        {{4096, 4000}, 4000, 4000},        // exactly the size
                        {{8001}, 4000, 8001},              // however much larger
                        {{3999, 2000}, 4000, 3999},        // the largest grown
                        {{3999}, 20000, 0},                // the source refuses to grow it
                        {{3999}, 4000, 0, false}};         // a source that cannot grow
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        BlockSource source{RoomySource::take, RoomySource::give_back};
        if (rows[i].grows) source.resize = RoomySource::resize;
        BlockCache cache({1024, 8, 1 << 20}, source);
        std::vector<void*> blocks;
        for (const std::size_t bytes : rows[i].kept) blocks.push_back(cache.allocate(bytes));
        for (std::size_t k = 0; k < blocks.size(); ++k)
            cache.deallocate(blocks[k], rows[i].kept[k]);
        const std::size_t takes = RoomySource::takes;
        void* const served = cache.allocate(rows[i].asked);
        std::size_t served_size = 0;
        for (std::size_t k = 0; k < blocks.size() && RoomySource::takes == takes; ++k) {
            if (blocks[k] == served) served_size = rows[i].kept[k];
        }
        EXPECT_EQ(served_size, rows[i].served) << i;
        std::memset(served, 1, rows[i].asked);
        cache.deallocate(served, rows[i].asked);
    }
}

// The blocks given back last wait until as many more were given back.
TEST(BlockCache, QuarantinedBlocksAreNotHandedOut) {
    BlockCache cache(
        {.smallest_block = 1024, .most_blocks = 8, .most_bytes = 1 << 20, .quarantine = 2});
    // Two more held at once, so that the work's need leaves room for every block kept.
    void* const others[] = {cache.allocate(4096), cache.allocate(4096)};
    void* const first = cache.allocate(4096);
    void* const second = cache.allocate(4096);
    for (void* other : others) cache.deallocate(other, 4096);
    cache.deallocate(first, 4096);
    cache.deallocate(second, 4096);
    void* const third = cache.allocate(4096);
    EXPECT_TRUE(third != first && third != second);
    cache.deallocate(third, 4096);
    EXPECT_EQ(cache.allocate(4096), first);
    cache.deallocate(first, 4096);
}

// Each row hands out blocks of these sizes, then frees them in turn; the blocks kept longest
// make room for the next.
TEST(BlockCache, KeepsWithinItsLimits) {
    struct Row {
        BlockCacheLimits limits;
        std::vector<std::size_t> freed;
        std::uint64_t kept_bytes;
        std::size_t kept_blocks;
    };
    const Row rows[] = {
        {small_limits, {512, 2048}, 2048, 1},                      // too small to keep
        {small_limits, {2 << 20, 2048}, 2048, 1},                  // too large to keep
        {{1024, 3, 1 << 20}, {4096, 5120, 6144, 7168}, 18432, 3},  // the first leaves
        {{1024, 8, 12000}, {4096, 5120, 6144}, 11264, 2},          // room for the bytes
        {{1024, 8, 12000}, {4096, 5120, 12000}, 12000, 1},         // all make room
        {{1024, 0, 1 << 20}, {4096}, 0, 0},                        // keeps nothing
        {{1024, 300, 1 << 20}, std::vector<std::size_t>(270, 1024), 262144, 256}};  // slots
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        BlockCache cache(rows[i].limits);
        std::vector<void*> blocks;
        for (const std::size_t bytes : rows[i].freed) {
            blocks.push_back(cache.allocate(bytes));
            std::memset(blocks.back(), 1, bytes);
        }
        for (std::size_t k = 0; k < blocks.size(); ++k) {
            cache.deallocate(blocks[k], rows[i].freed[k]);
        }
        EXPECT_EQ(cache.kept_bytes(), rows[i].kept_bytes) << i;
        EXPECT_EQ(cache.kept_blocks(), rows[i].kept_blocks) << i;
    }
}

// Blocks made on one thread and freed on others; no block is ever handed to two owners at once.
TEST(BlockCache, BlocksGoBackFromAnyThread) {
    BlockCache cache({1024, 6, 1 << 20});
    std::vector<std::thread> threads;
    for (int id = 1; id <= 4; ++id) {
        threads.emplace_back([&cache, id] {
            for (int round = 0; round < 2000; ++round) {
                const std::size_t bytes = 1024 * static_cast<std::size_t>(1 + (round + id) % 5);
                auto* const block = static_cast<unsigned char*>(cache.allocate(bytes));
                std::memset(block, id, bytes);
                std::this_thread::yield();
                for (std::size_t i = 0; i < bytes; i += 97) ASSERT_EQ(block[i], id);
                cache.deallocate(block, bytes);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_LE(cache.kept_blocks(), 6u);

    BlockCache other(small_limits);
    std::vector<void*> blocks;
    for (int i = 0; i < 4; ++i) blocks.push_back(other.allocate(64 * 1024));
    std::thread([&] {
        for (void* block : blocks) other.deallocate(block, 64 * 1024);
    }).join();
    EXPECT_EQ(other.kept_bytes(), 4u * 64 * 1024);
    // Of equal blocks, the one kept last.
    EXPECT_EQ(other.allocate(64 * 1024), blocks.back());
    other.deallocate(blocks.back(), 64 * 1024);
}

TEST(BlockCache, TablesOfTheSameSizeReuseTheSharedBlocks) {
    const void* first = nullptr;
    testing::QuarantinePass quarantine;
    {
        const TableVector<double> table(1 << 14, -1.0);
        first = table.data();
    }
    quarantine.pass();
    const TableVector<double> again(1 << 14);
    EXPECT_EQ(again.data(), first);
    EXPECT_EQ(again.front(), 0.0);  // filled as any vector is
    EXPECT_LE(BlockCache::shared().kept_bytes(), allocation_ceiling() / 16);
}

#if defined(TARVEK_ADDRESS_SANITIZER)
// A kept block is out of bounds until it is handed out again, and then only as far as asked.
TEST(BlockCacheDeathTest, KeptBlocksArePoisoned) {
    BlockCache cache(small_limits);
    auto* const block = static_cast<unsigned char*>(cache.allocate(4096));
    cache.deallocate(block, 4096);
    EXPECT_TRUE(__asan_address_is_poisoned(block) && __asan_address_is_poisoned(block + 4095));
    // The header, read to give the block back, poisoned again.
    for (std::size_t i = 1; i <= BlockCache::alignment; ++i) {
        EXPECT_TRUE(__asan_address_is_poisoned(block - i)) << i;
    }
    EXPECT_DEATH(block[100] = 1, "use-after-poison");
    EXPECT_EQ(cache.allocate(3000), block);
    EXPECT_EQ(__asan_region_is_poisoned(block, 3000), nullptr);
    EXPECT_TRUE(__asan_address_is_poisoned(block + 3000) &&
                __asan_address_is_poisoned(block + 4095));
    cache.deallocate(block, 3000);
}
#endif

}  // namespace
}  // namespace tarvek
