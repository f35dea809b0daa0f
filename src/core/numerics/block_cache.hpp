#pragma once
// Large blocks kept for the next call. A pass's tables take megabytes and are freed when the
// call's results go; handed back to the system, the next call would fault every page in again
// (the kernel zero-filling each), at a cost that would depend on what else the process freed
// before. Blocks from a cache are kept instead and handed out again: the next call's tables
// land on pages already in place.
//
// What is kept is bounded, and goes back when the work shrinks: at most a fixed number of
// blocks and bytes (the blocks kept longest leave first to make room); a block not handed out
// again within a horizon of the cache's activity (its allocations, of any size) goes back; a
// block above the largest kept size is never kept. Blocks below the smallest kept size come
// from and go back to the heap directly. Before an allocation fails, every kept block goes back
// and it is tried once more. A block may be handed back on any thread.
//
// Under AddressSanitizer a block's header is poisoned while the block is handed out, a kept
// block is poisoned while it waits, a block handed out again is unpoisoned only as far as it
// was asked for, and a quarantine of the blocks given back last are not handed out again yet:
// reads before the start, past the end, through a stale pointer or of a waiting block are
// reported, as for a plain vector.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>

#include "core/numerics/block_pages.hpp"

namespace tarvek {

struct BlockCacheLimits {
    std::size_t smallest_block = 0;  // in bytes: smaller blocks come from the heap
    std::size_t most_blocks = 0;     // kept at once, at most `BlockCache::most_slots`
    std::uint64_t most_bytes = 0;    // kept at once, counted by the blocks' usable sizes
    // In bytes: larger blocks are mapped on their own, on huge pages where offered, and never
    // kept.
    std::size_t largest_block = std::numeric_limits<std::size_t>::max();
    // A kept block not handed out again within this many allocations goes back.
    std::uint64_t horizon = std::numeric_limits<std::uint64_t>::max();
    // The blocks given back last, that are not handed out again until as many more were given
    // back; fewer than `most_blocks`.
    std::size_t quarantine = 0;
};

class BlockCache {
  public:
    static constexpr std::size_t most_slots = 64;
    // The most the process's cache keeps, whatever the machine.
    static constexpr std::uint64_t shared_most_bytes = std::uint64_t{256} << 20;

    explicit BlockCache(BlockCacheLimits limits,
                        BlockSource source = system_block_source()) noexcept;
    // Gives the kept blocks back; blocks still handed out may be given back to it no more.
    ~BlockCache();
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // The process's cache (`shared_limits` of the allocation ceiling), never destroyed: tables
    // may outlive every static. It is held across a fork, so a child never finds it locked.
    // With TARVEK_BLOCK_CACHE=0 in the environment when first used it keeps nothing and every
    // block comes from the heap, as for a plain vector (for measurements).
    static BlockCache& shared() noexcept;
    // Blocks from 64 KiB to 32 MiB, up to 64 of them and `shared_most_bytes`, or 1/16 of the
    // ceiling when less; each goes back when 512 allocations passed without handing it out.
    static BlockCacheLimits shared_limits(std::uint64_t ceiling) noexcept;

    // At least `bytes` bytes, aligned to `alignment`. For a size the cache keeps: the smallest
    // kept block that fits and is at most twice that size (of equal ones the one kept last),
    // else a new one. std::bad_alloc when neither the heap nor the system has one, even after
    // every kept block went back.
    void* allocate(std::size_t bytes);
    // Gives back a block from `allocate` of the same `bytes`. A block the cache keeps waits
    // for a later `allocate`.
    void deallocate(void* block, std::size_t bytes) noexcept;
    // Gives every kept block back.
    void release() noexcept;

    std::uint64_t kept_bytes() const noexcept;
    std::size_t kept_blocks() const noexcept;
    const BlockCacheLimits& limits() const noexcept { return limits_; }

    static constexpr std::size_t alignment = 64;

  private:
    struct Kept {
        void* block;           // usable bytes, after the header
        std::size_t capacity;  // usable bytes
        std::uint64_t stamp;   // the allocation count when it was given back
    };
    // Blocks taken out of the list under the lock, given back after it.
    struct Released {
        std::array<Kept, most_slots + 1> blocks;
        std::size_t count = 0;
    };

    bool keeps(std::size_t bytes) const noexcept {
        return bytes >= limits_.smallest_block && bytes <= limits_.largest_block &&
               bytes <= limits_.most_bytes && limits_.most_blocks > 0;
    }
    void* new_block(std::size_t bytes);
    void give_back(const Released& released) noexcept;
    // Under the lock: the first `count` kept blocks into `released`.
    void drop_oldest(std::size_t count, Released& released) noexcept;
    // Under the lock: the blocks not handed out again within the horizon, by `now`.
    void drop_expired(std::uint64_t now, Released& released) noexcept;
    void expire(std::uint64_t now) noexcept;
    void update_expiry() noexcept;

    BlockCacheLimits limits_;
    BlockSource source_;
    mutable std::mutex mutex_;
    std::array<Kept, most_slots> kept_{};  // [0, count_), the longest kept first
    std::size_t count_ = 0;
    std::uint64_t bytes_ = 0;
    std::atomic<std::uint64_t> clock_{0};  // allocations so far
    // The clock at which the block kept longest goes back: checked without the lock.
    std::atomic<std::uint64_t> next_expiry_{std::numeric_limits<std::uint64_t>::max()};
};

}  // namespace tarvek
