// What the block cache gives back: blocks left unused for its delay, which follows the work's
// rhythm, blocks beyond what the recent work needed at once, everything before an allocation or
// a growth fails, and no more than a share of the ceiling. And that a fork never finds the
// process's cache locked.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "core/numerics/block_cache.hpp"
#include "core/numerics/block_pages.hpp"

namespace tarvek {
namespace {

constexpr std::size_t small = 512;  // below the smallest kept size: from the heap

struct FakeClock {
    static inline std::uint64_t now = 0;
    static std::uint64_t read() noexcept { return now; }
};

// Heap blocks, never grown: a table that fits no kept block takes a new one. The blocks given
// back are counted, as the heap may hand a new block the address of one just freed.
struct Heap {
    static inline std::size_t given_back = 0;
    static void* take(std::size_t bytes) noexcept {
        return ::operator new(bytes, std::align_val_t{64}, std::nothrow);
    }
    static void give_back(void* pages, std::size_t) noexcept {
        ++given_back;
        ::operator delete(pages, std::align_val_t{64});
    }
};

constexpr BlockCacheLimits timed{
    .smallest_block = 1024, .most_blocks = 8, .most_bytes = 1 << 24, .purge_delay = 100};

// How a row's cache is used when it is checked: below the smallest kept size (an allocation
// and its free, the allocation alone, or the free alone of an allocation made at the start), or
// at a kept size (a block of the kept one's size asked for, or another block, held since the
// start, given back).
enum class Use { small, small_allocation, small_free, kept_size, kept_free };

// Each row keeps one block of `bytes` at time 0, hands it out again at `again` (or never, 0)
// and gives it back, then at `later` uses the cache: whether the block is still kept. With
// `newer`, a block of another size given back then is kept too: the check follows the oldest.
TEST(BlockCacheRetention, BlocksUnusedForThePurgeDelayGoBack) {
    struct Row {
        std::uint64_t again, later;
        bool kept;
        Use use = Use::small;
        std::size_t bytes = 4096;
        std::uint64_t newer = 0;
    };
    constexpr std::size_t mib = std::size_t{1} << 20;
    const Row rows[] = {
        {0, 99, true},    // within the delay
        {0, 100, false},  // at the delay
        {60, 159, true},  // used again: its delay starts anew
        {60, 160, false},
        {0, 99, true, Use::kept_size},  // handed out again
        {0, 100, false, Use::kept_size},
        {0, 99, true, Use::kept_free},
        {0, 100, false, Use::kept_free},
        {0, 99, true, Use::small_allocation},
        {0, 100, false, Use::small_allocation},
        {0, 99, true, Use::small_free},
        {0, 100, false, Use::small_free},
        {0, 100, false, Use::small, 4 * mib},   // however large
        {0, 100, false, Use::small, 4096, 50},  // a newer one does not put the check off
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        FakeClock::now = 0;
        BlockCache cache(timed, {Heap::take, Heap::give_back}, FakeClock::read);
        const std::size_t other_bytes = 8192;
        void* const other =
            row.use == Use::kept_free || row.newer > 0 ? cache.allocate(other_bytes) : nullptr;
        void* const small_block = row.use == Use::small_free ? cache.allocate(small) : nullptr;
        void* block = cache.allocate(row.bytes);
        cache.deallocate(block, row.bytes);
        if (row.again > 0) {
            FakeClock::now = row.again;
            block = cache.allocate(row.bytes);
            cache.deallocate(block, row.bytes);
        }
        if (row.newer > 0) {
            FakeClock::now = row.newer;
            cache.deallocate(other, other_bytes);
        }
        FakeClock::now = row.later;
        const std::size_t given_back = Heap::given_back;
        switch (row.use) {
            case Use::small:
                cache.deallocate(cache.allocate(small), small);
                if (row.newer == 0) {
                    EXPECT_EQ(cache.kept_blocks(), row.kept ? 1u : 0u) << i;
                }
                break;
            case Use::small_allocation: {
                void* const allocated = cache.allocate(small);
                EXPECT_EQ(Heap::given_back - given_back, row.kept ? 0u : 1u) << i;
                cache.deallocate(allocated, small);
                break;
            }
            case Use::small_free:
                cache.deallocate(small_block, small);
                break;
            case Use::kept_size:
                cache.deallocate(cache.allocate(row.bytes), row.bytes);
                break;
            case Use::kept_free:
                cache.deallocate(other, other_bytes);
                break;
        }
        EXPECT_EQ(Heap::given_back - given_back, row.kept ? 0u : 1u) << i;
    }
}

// Each row hands out blocks of `held` bytes, gives them back, then asks for a block that fits
// none of them: the kept blocks left, the blocks in use and kept being at most a sixteenth above
// the most the work needed at once, now or within the delay.
TEST(BlockCacheRetention, WhatIsKeptFollowsTheRecentNeed) {
    struct Row {
        std::vector<std::size_t> held;
        std::size_t asked, kept;
    };
    const Row rows[] = {
        {{4096}, 8192, 0},                    // the new block alone is the most needed
        {{4096, 4096, 4096}, 8192, 1},        // three at once: room for one beside it
        {{4096, 4096, 4096, 4096}, 4500, 3},  // a sixteenth above 16,384
        {{4096, 4096}, 3000, 1},              // served by a kept block: the other stays
        {{8192, 4096, 4096}, 9000, 2},        // the one kept longest leaves first
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        FakeClock::now = 0;
        BlockCache cache(timed, {Heap::take, Heap::give_back}, FakeClock::read);
        std::vector<void*> blocks;
        for (const std::size_t bytes : rows[i].held) blocks.push_back(cache.allocate(bytes));
        for (std::size_t k = 0; k < blocks.size(); ++k)
            cache.deallocate(blocks[k], rows[i].held[k]);
        void* const block = cache.allocate(rows[i].asked);
        EXPECT_EQ(cache.kept_blocks(), rows[i].kept) << i;
        std::size_t held = 0;
        for (const std::size_t bytes : rows[i].held) held += bytes;
        const std::size_t most = std::max(held, rows[i].asked);
        EXPECT_LE(cache.footprint(), most + most / 16) << i;
        cache.deallocate(block, rows[i].asked);
    }
}

// Blocks of four sizes held at once at time 0, then each used alone now and then, never
// unused for the delay (100): the most the work needed at once counts in the span it fell in
// (from 0 to 150) and in the next one (to 250), then only the most it needed since.
TEST(BlockCacheRetention, TheNeedIsRememberedForTheSpanAndTheNext) {
    FakeClock::now = 0;
    BlockCache cache(timed, {Heap::take, Heap::give_back}, FakeClock::read);
    const std::size_t sizes[] = {4096, 5120, 6144, 7168};
    std::vector<void*> blocks;
    for (const std::size_t bytes : sizes) blocks.push_back(cache.allocate(bytes));
    for (std::size_t k = 0; k < blocks.size(); ++k) cache.deallocate(blocks[k], sizes[k]);
    const auto each_alone = [&](std::uint64_t now) {
        FakeClock::now = now;
        for (const std::size_t bytes : sizes) cache.deallocate(cache.allocate(bytes), bytes);
    };
    each_alone(90);
    each_alone(150);
    EXPECT_EQ(cache.kept_bytes(), 22528u);
    each_alone(200);
    FakeClock::now = 250;
    cache.deallocate(cache.allocate(4096), 4096);
    EXPECT_EQ(cache.kept_bytes(), 7168u);
}

// A table of 64 KiB and 8 bytes takes a kept block at most 72 KiB larger than itself whole
// (from a larger one, the whole pages past the table make a block of their own): with 100 such
// tables in use, the blocks in use and kept stay within a sixteenth above the recent need and
// 72 KiB a table. Each row keeps 100 blocks of `kept` bytes at time 0, then the tables are made
// and freed every 90 (less than the delay, 100) until the need of the larger blocks is forgotten.
TEST(BlockCacheRetention, WholeBlocksInUseStayWithinTheBound) {
    constexpr std::size_t tables = 100, table = (std::size_t{1} << 16) + 8, slack = 72 << 10;
    constexpr std::uint64_t need = tables * table;
    for (const std::size_t kept : {128 << 10, 256 << 10, 1 << 20}) {
        FakeClock::now = 0;
        BlockCache cache({.smallest_block = 1 << 16,
                          .most_blocks = BlockCache::most_slots,
                          .most_bytes = std::uint64_t{1} << 30,
                          .purge_delay = 100},
                         page_block_source(), FakeClock::read);
        std::vector<void*> blocks;
        for (std::size_t k = 0; k < tables; ++k) blocks.push_back(cache.allocate(kept));
        for (void* block : blocks) cache.deallocate(block, kept);
        for (const std::uint64_t now : {90, 180, 270, 360}) {
            FakeClock::now = now;
            blocks.clear();
            for (std::size_t k = 0; k < tables; ++k) blocks.push_back(cache.allocate(table));
            EXPECT_LE(cache.footprint() - cache.kept_bytes(), need + tables * slack)
                << kept << " " << now;
            if (now == 360) {
                EXPECT_LE(cache.footprint(), need + need / 16 + tables * slack) << kept;
            }
            for (void* block : blocks) cache.deallocate(block, table);
        }
    }
}

// A kept block cut at 60 leaves the rest of its pages as old as it was: they go back at the
// delay from when the block was kept (0), before a block kept at 50, and the table's block,
// given back at 100, finds no part of them to join.
TEST(BlockCacheRetention, ACutRestIsAsOldAsItsBlock) {
    FakeClock::now = 0;
    BlockCache cache({.smallest_block = 1 << 16,
                      .most_blocks = 8,
                      .most_bytes = std::uint64_t{1} << 24,
                      .purge_delay = 100},
                     page_block_source(), FakeClock::read);
    const std::size_t whole = 1 << 20, newer = 1 << 16, part = 100'000;
    void* const block = cache.allocate(whole);
    void* const newer_block = cache.allocate(newer);
    cache.deallocate(block, whole);
    FakeClock::now = 50;
    cache.deallocate(newer_block, newer);
    FakeClock::now = 60;
    void* const table = cache.allocate(part);
    ASSERT_EQ(table, block);
    FakeClock::now = 100;
    cache.deallocate(table, part);
    EXPECT_EQ(cache.kept_blocks(), 2u);
    EXPECT_LT(cache.kept_bytes(), whole / 2);
}

// Each row keeps a block of 4096 bytes at 0, which goes back at 100 by time; a block of `asked`
// bytes is taken at `asked_at` and given back; with `restart`, a block of another size is taken
// and given back then; at `probe` the cache is used below its smallest kept size: whether the
// last block given back is still kept. A block that went back by time and was then needed (a
// block of at most twice the size asked for) lengthens the delay (100) to twice the time it
// waited, up to the longest delay (1000); a whole delay without kept sizes asked for or given
// back shortens it again.
TEST(BlockCacheRetention, TheDelayFollowsTheWorksRhythm) {
    struct Row {
        std::size_t asked;
        std::uint64_t asked_at, restart, probe;
        bool kept;
    };
    const Row rows[] = {
        {4096, 150, 0, 449, true},  // waited 150: a delay of 300
        {4096, 150, 0, 450, false},
        {2048, 150, 0, 449, true},   // half its size
        {2000, 150, 0, 250, false},  // less than half its size: the delay as it was
        {4096, 700, 0, 1699, true},  // waited 700: the longest delay
        {4096, 700, 0, 1700, false},
        {4096, 150, 450, 549, true},  // 300 without use: the delay is 100 again
        {4096, 150, 450, 550, false},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        FakeClock::now = 0;
        BlockCacheLimits limits = timed;
        limits.longest_delay = 1000;
        BlockCache cache(limits, {Heap::take, Heap::give_back}, FakeClock::read);
        cache.deallocate(cache.allocate(4096), 4096);
        FakeClock::now = 100;
        cache.deallocate(cache.allocate(small), small);
        ASSERT_EQ(cache.kept_blocks(), 0u) << i;
        FakeClock::now = row.asked_at;
        cache.deallocate(cache.allocate(row.asked), row.asked);
        if (row.restart > 0) {
            FakeClock::now = row.restart;
            cache.deallocate(cache.allocate(20000), 20000);
        }
        FakeClock::now = row.probe;
        cache.deallocate(cache.allocate(small), small);
        EXPECT_EQ(cache.kept_blocks(), row.kept ? 1u : 0u) << i;
    }
}

// A cache of the shared limits for a ceiling of 1 GiB: it keeps at most 64 MiB, a block unused
// for 5 seconds goes back, and a block needed again after 40 seconds lengthens the delay to a
// minute, not more.
TEST(BlockCacheRetention, TheSharedLimitsKeepAShareOfTheCeilingForSecondsUpToAMinute) {
    constexpr std::uint64_t ceiling = std::uint64_t{1} << 30, second = 1'000'000'000;
    constexpr std::size_t bytes = std::size_t{16} << 20;
    FakeClock::now = 0;
    BlockCache cache(BlockCache::shared_limits(ceiling), {Heap::take, Heap::give_back},
                     FakeClock::read);
    std::vector<void*> blocks;
    for (int k = 0; k < 5; ++k) blocks.push_back(cache.allocate(bytes));
    for (void* block : blocks) cache.deallocate(block, bytes);
    EXPECT_EQ(cache.kept_bytes(), ceiling / 16);
    const auto probe = [&](std::uint64_t now) {
        FakeClock::now = now;
        cache.deallocate(cache.allocate(small), small);
        return cache.kept_blocks();
    };
    EXPECT_EQ(probe(5 * second - 1), 4u);
    EXPECT_EQ(probe(5 * second), 0u);
    FakeClock::now = 40 * second;
    cache.deallocate(cache.allocate(bytes), bytes);
    EXPECT_EQ(probe(100 * second - 1), 1u);
    EXPECT_EQ(probe(100 * second), 0u);
}

// A source that refuses whatever would take more than `budget` bytes at once. Its blocks have
// room for 16 KiB each, grown in place up to that.
struct Budget {
    static constexpr std::size_t room = 16384;
    static inline std::size_t budget = 0, taken = 0, grown = 0;
    static void* take(std::size_t bytes) noexcept {
        if (taken + bytes > budget) return nullptr;
        taken += bytes;
        return ::operator new(std::max(bytes, room), std::align_val_t{64}, std::nothrow);
    }
    static void give_back(void* pages, std::size_t bytes) noexcept {
        taken -= bytes;
        ::operator delete(pages, std::align_val_t{64});
    }
    static void* resize(void* pages, std::size_t bytes, std::size_t larger) noexcept {
        if (larger > room || taken - bytes + larger > budget) return nullptr;
        taken += larger - bytes;
        ++grown;
        return pages;
    }
};

TEST(BlockCacheRetention, KeptBlocksGoBackBeforeAnAllocationFails) {
    // The work needs 20,096 bytes at once (the larger block too large to keep), then the
    // system has less to give.
    Budget::budget = 1 << 20;
    BlockCache cache({1024, 8, 10000}, {Budget::take, Budget::give_back});
    void* const kept = cache.allocate(4096);
    void* const larger = cache.allocate(16000);
    cache.deallocate(kept, 4096);
    cache.deallocate(larger, 16000);
    Budget::budget = 12000;
    // Refused while the kept block is held (the recent need allows it), given once it went
    // back.
    void* const block = cache.allocate(8192);
    EXPECT_EQ(cache.kept_blocks(), 0u);
    cache.deallocate(block, 8192);
    // Refused either way.
    EXPECT_THROW(cache.allocate(16384), std::bad_alloc);
    EXPECT_EQ(cache.kept_blocks(), 0u);
    EXPECT_EQ(Budget::taken, 0u);

    // A source that has the heap serve what it refuses.
    BlockCache falling_back({1024, 8, 1 << 20}, {Budget::take, Budget::give_back, nullptr, true});
    auto* const block_from_heap = static_cast<unsigned char*>(falling_back.allocate(16384));
    block_from_heap[16383] = 1;
    falling_back.deallocate(block_from_heap, 16384);
    falling_back.release();
    EXPECT_EQ(Budget::taken, 0u);
}

// The largest kept block grown where the source has room only once the other kept block went
// back. The work held both and a larger one at once, so that its recent need keeps them all.
TEST(BlockCacheRetention, KeptBlocksGoBackBeforeAGrowthFails) {
    Budget::budget = 1 << 20;
    BlockCache cache({1024, 8, 12288}, {Budget::take, Budget::give_back, Budget::resize});
    void* const largest = cache.allocate(8192);
    void* const other = cache.allocate(4096);
    void* const too_large = cache.allocate(16384);
    cache.deallocate(largest, 8192);
    cache.deallocate(other, 4096);
    cache.deallocate(too_large, 16384);
    ASSERT_EQ(cache.kept_blocks(), 2u);
    Budget::budget = Budget::taken + 1000;
    const std::size_t grown = Budget::grown;
    void* const block = cache.allocate(10000);
    EXPECT_EQ(block, largest);
    EXPECT_EQ(Budget::grown, grown + 1);
    EXPECT_EQ(cache.kept_blocks(), 0u);
    cache.deallocate(block, 10000);
    cache.release();
    EXPECT_EQ(Budget::taken, 0u);
}

// A block the source refuses was never needed: the work's need after it is as before, and the
// blocks kept beyond what it then needs at once go back.
TEST(BlockCacheRetention, ARefusedBlockLeavesTheNeedAsItWas) {
    Budget::budget = 50'000;
    BlockCache cache({1024, 8, 1 << 20}, {Budget::take, Budget::give_back});
    const auto hold_two = [&] {
        void* const blocks[] = {cache.allocate(4096), cache.allocate(4096)};
        for (void* block : blocks) cache.deallocate(block, 4096);
    };
    hold_two();
    EXPECT_THROW(cache.allocate(100'000), std::bad_alloc);
    hold_two();
    ASSERT_EQ(cache.kept_blocks(), 2u);
    // 6000 bytes beside two kept blocks would be more than a sixteenth above 8192.
    void* const block = cache.allocate(6000);
    EXPECT_EQ(cache.kept_blocks(), 0u);
    cache.deallocate(block, 6000);
    cache.release();
    EXPECT_EQ(Budget::taken, 0u);
}

// A fork while another thread holds the process's cache's lock: the child still allocates from
// it (or, should it find the lock held for good, ends by its alarm and the test fails). The
// other thread holds the lock without allocating, so that the child cannot find the heap's own
// locks held (the sanitizer's allocator, say), which would hang it whatever the cache does.
TEST(BlockCacheRetention, ForksNeverFindTheCacheLocked) {
    constexpr std::size_t bytes = std::size_t{1} << 17;
    BlockCache& cache = BlockCache::shared();
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> held{0};
    std::thread other([&] {
        std::uint64_t sum = 0;
        while (!stop.load(std::memory_order_relaxed)) sum += cache.kept_bytes();
        held = sum;
    });
    for (int i = 0; i < 300; ++i) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(20);
            cache.deallocate(cache.allocate(bytes), bytes);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "fork " << i;
    }
    stop = true;
    other.join();
}

}  // namespace
}  // namespace tarvek
