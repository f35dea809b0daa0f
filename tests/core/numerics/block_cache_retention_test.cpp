// What the block cache gives back: blocks left unused for its purge delay, blocks beyond what
// the recent work needed at once, everything before an allocation fails, and no more than a
// share of the ceiling. And that a fork never finds the process's cache locked.

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

namespace tarvek {
namespace {

constexpr std::size_t small = 512;  // below the smallest kept size: from the heap

struct FakeClock {
    static inline std::uint64_t now = 0;
    static std::uint64_t read() noexcept { return now; }
};

// Heap blocks, never grown: a table that fits no kept block takes a new one.
struct Heap {
    static void* take(std::size_t bytes) noexcept {
        return ::operator new(bytes, std::align_val_t{64}, std::nothrow);
    }
    static void give_back(void* pages, std::size_t) noexcept {
        ::operator delete(pages, std::align_val_t{64});
    }
};

constexpr BlockCacheLimits timed{
    .smallest_block = 1024, .most_blocks = 8, .most_bytes = 1 << 20, .purge_delay = 100};

// Each row keeps one block at time 0, hands it out again at `again` (or never, 0) and gives it
// back, then at `later` makes a small allocation: whether the block is still kept.
TEST(BlockCacheRetention, BlocksUnusedForThePurgeDelayGoBack) {
    struct Row {
        std::uint64_t again, later;
        bool kept;
    };
    const Row rows[] = {
        {0, 99, true},    // within the delay
        {0, 100, false},  // at the delay
        {60, 159, true},  // used again: its delay starts anew
        {60, 160, false},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        FakeClock::now = 0;
        BlockCache cache(timed, {Heap::take, Heap::give_back}, FakeClock::read);
        void* block = cache.allocate(4096);
        cache.deallocate(block, 4096);
        if (rows[i].again > 0) {
            FakeClock::now = rows[i].again;
            block = cache.allocate(4096);
            cache.deallocate(block, 4096);
        }
        FakeClock::now = rows[i].later;
        cache.deallocate(cache.allocate(small), small);
        EXPECT_EQ(cache.kept_blocks(), rows[i].kept ? 1u : 0u) << i;
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
        const std::size_t most = std::max(rows[i].held.size() * 4096, rows[i].asked);
        EXPECT_LE(cache.footprint(), most + most / 16) << i;
        cache.deallocate(block, rows[i].asked);
    }
}

// The shared cache keeps at most 1/16 of the ceiling, for 5 seconds unused.
TEST(BlockCacheRetention, TheSharedBoundIsAShareOfTheCeiling) {
    const std::uint64_t gib = std::uint64_t{1} << 30;
    for (const std::uint64_t ceiling : {256 * gib, 1 * gib}) {
        const BlockCacheLimits limits = BlockCache::shared_limits(ceiling);
        EXPECT_EQ(limits.most_bytes, ceiling / 16) << ceiling;
        EXPECT_EQ(limits.purge_delay, 5'000'000'000u);
    }
}

// A source that refuses whatever would take more than `budget` bytes at once.
struct Budget {
    static inline std::size_t budget = 0, taken = 0;
    static void* take(std::size_t bytes) noexcept {
        if (taken + bytes > budget) return nullptr;
        taken += bytes;
        return ::operator new(bytes, std::align_val_t{64}, std::nothrow);
    }
    static void give_back(void* pages, std::size_t bytes) noexcept {
        taken -= bytes;
        ::operator delete(pages, std::align_val_t{64});
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
