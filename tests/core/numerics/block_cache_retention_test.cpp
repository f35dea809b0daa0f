// What the block cache gives back: blocks left unused within its horizon, everything before an
// allocation fails, and no more than a bound that does not grow with the machine. And that a
// fork never finds the process's cache locked.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <thread>
#include <vector>

#include "core/numerics/block_cache.hpp"

namespace tarvek {
namespace {

constexpr std::size_t small = 512;  // below the smallest kept size: from the heap

// Hands out and frees `count` heap blocks: activity of the cache that keeps nothing.
void allocate_small(BlockCache& cache, int count) {
    for (int i = 0; i < count; ++i) cache.deallocate(cache.allocate(small), small);
}

// Each row keeps one block, hands it out again after `before` other allocations (or never, 0)
// and gives it back, then makes `after` more: whether it is still kept.
TEST(BlockCacheRetention, BlocksUnusedWithinTheHorizonGoBack) {
    struct Row {
        int before, after;
        bool kept;
    };
    const Row rows[] = {
        {0, 4, true},   // within the horizon
        {0, 5, false},  // one allocation beyond it
        {3, 4, true},   // handed out again: its horizon starts anew
        {3, 5, false},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        BlockCache cache(
            {.smallest_block = 1024, .most_blocks = 8, .most_bytes = 1 << 20, .horizon = 4});
        void* block = cache.allocate(4096);
        cache.deallocate(block, 4096);
        if (rows[i].before > 0) {
            allocate_small(cache, rows[i].before);
            block = cache.allocate(4096);
            cache.deallocate(block, 4096);
        }
        allocate_small(cache, rows[i].after);
        EXPECT_EQ(cache.kept_blocks(), rows[i].kept ? 1u : 0u) << i;
    }
}

// The shared cache keeps at most 256 MiB, or 1/16 of the ceiling when that is less.
TEST(BlockCacheRetention, TheSharedBoundDoesNotGrowWithTheMachine) {
    const std::uint64_t gib = std::uint64_t{1} << 30;
    const struct {
        std::uint64_t ceiling, most_bytes;
    } rows[] = {{256 * gib, 256 << 20}, {8 * gib, 256 << 20}, {1 * gib, 64 << 20}};
    for (const auto& row : rows) {
        const BlockCacheLimits limits = BlockCache::shared_limits(row.ceiling);
        EXPECT_EQ(limits.most_bytes, row.most_bytes) << row.ceiling;
        EXPECT_LE(limits.largest_block, limits.most_bytes) << row.ceiling;
    }
}

// A source that refuses whatever would take more than `budget` bytes at once.
struct Budget {
    static inline std::size_t budget = 0, taken = 0;
    static void* take(std::size_t bytes, bool) noexcept {
        if (taken + bytes > budget) return nullptr;
        taken += bytes;
        return ::operator new(bytes, std::align_val_t{64}, std::nothrow);
    }
    static void give_back(void* pages, std::size_t bytes, bool) noexcept {
        taken -= bytes;
        ::operator delete(pages, std::align_val_t{64});
    }
};

TEST(BlockCacheRetention, KeptBlocksGoBackBeforeAnAllocationFails) {
    Budget::budget = 12000;
    BlockCache cache({1024, 8, 1 << 20}, {Budget::take, Budget::give_back});
    void* const kept = cache.allocate(4096);
    cache.deallocate(kept, 4096);
    // Refused while the kept block is held, given once it went back.
    void* const block = cache.allocate(8192);
    EXPECT_EQ(cache.kept_blocks(), 0u);
    cache.deallocate(block, 8192);
    // Refused either way.
    EXPECT_THROW(cache.allocate(16384), std::bad_alloc);
    EXPECT_EQ(cache.kept_blocks(), 0u);
    EXPECT_EQ(Budget::taken, 0u);

    // A source that has the heap serve what it refuses.
    BlockCache falling_back({1024, 8, 1 << 20}, {Budget::take, Budget::give_back, true});
    auto* const block_from_heap = static_cast<unsigned char*>(falling_back.allocate(16384));
    block_from_heap[16383] = 1;
    falling_back.deallocate(block_from_heap, 16384);
    falling_back.release();
    EXPECT_EQ(Budget::taken, 0u);
}

// A fork while another thread holds the process's cache: the child still allocates from it
// (or, should it find the lock held for good, ends by its alarm and the test fails).
TEST(BlockCacheRetention, ForksNeverFindTheCacheLocked) {
    constexpr std::size_t bytes = std::size_t{1} << 17;
    BlockCache& cache = BlockCache::shared();
    std::atomic<bool> stop{false};
    std::thread other([&] {
        while (!stop.load()) cache.deallocate(cache.allocate(bytes), bytes);
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
