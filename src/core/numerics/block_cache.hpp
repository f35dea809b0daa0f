#pragma once
// Large blocks kept for the next call. A pass's tables take megabytes and are freed when the
// call's results go; freed at the top of the C library's heap, beyond its trim threshold, they
// would go back to the kernel, and the next call would fault every page in again (the kernel
// zero-filling each), at a cost that depends on what else the process freed before. Blocks from
// a cache are kept instead, up to a bound, and handed out again: the next call's tables land
// on pages already in place.
//
// Blocks below the smallest kept size, or above the most the cache may keep, come from and go
// back to the heap directly. A block may be handed back on any thread. Under AddressSanitizer a
// kept block is poisoned while it waits, and a block handed out again is unpoisoned only as far
// as it was asked for, so a use after free or a read past the end is still reported.

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace tarvek {

struct BlockCacheLimits {
    std::size_t smallest_block = 0;  // in bytes: smaller blocks are never kept
    std::size_t most_blocks = 0;     // kept at once, at most `BlockCache::most_slots`
    std::uint64_t most_bytes = 0;    // kept at once, counted by the blocks' full sizes
};

class BlockCache {
  public:
    static constexpr std::size_t most_slots = 64;

    explicit BlockCache(BlockCacheLimits limits) noexcept;
    // Frees the kept blocks; blocks still handed out may be given back to it no more.
    ~BlockCache();
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // The process's cache, never destroyed (tables may outlive every static): blocks from
    // 64 KiB, up to 64 of them and 1/16 of the allocation ceiling.
    static BlockCache& shared() noexcept;

    // At least `bytes` bytes. For a size the cache keeps: the smallest kept block that fits and
    // is at most twice that size (of equal ones the one kept last), else a new one, aligned to
    // `alignment`. std::bad_alloc when the heap has none.
    void* allocate(std::size_t bytes);
    // Gives back a block from `allocate` of the same `bytes`. A block the cache keeps waits
    // for the next `allocate`; when that passes a limit, the blocks kept longest go back to the
    // heap until it does not (so a block too large for the limits goes back at once).
    void deallocate(void* block, std::size_t bytes) noexcept;

    std::uint64_t kept_bytes() const noexcept;
    std::size_t kept_blocks() const noexcept;

    static constexpr std::size_t alignment = 64;

  private:
    struct Kept {
        void* block;           // as the heap gave it, header first
        std::size_t capacity;  // usable bytes after the header
    };

    bool keeps(std::size_t bytes) const noexcept {
        return bytes >= limits_.smallest_block && bytes <= limits_.most_bytes;
    }

    BlockCacheLimits limits_;
    mutable std::mutex mutex_;
    std::array<Kept, most_slots> kept_{};  // [0, count_), the longest kept first
    std::size_t count_ = 0;
    std::uint64_t bytes_ = 0;
};

}  // namespace tarvek
