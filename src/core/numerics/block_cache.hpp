#pragma once
// Large blocks kept for the next call. A pass's tables take megabytes and are freed when the
// call's results go; handed back to the system, the next call would fault every page in again
// (the kernel zero-filling each), at a cost that would depend on what else the process freed
// before. Blocks from a cache are kept instead and handed out again: the next call's tables
// land on pages already in place.
//
// What is kept follows the work, as a heap that is never handed back would hold while the work
// goes on, and goes back once it stops or shrinks:
// - the blocks in use and kept together stay within a sixteenth above the most bytes the work
//   asked for at once within the last one or two delays, a block in use counted whole (a table
//   takes a kept block at most 72 KiB larger than itself whole: from a larger one, it leaves
//   the whole pages past its end to a block of their own); the blocks kept longest leave first;
// - a kept block unused for the delay goes back, checked on the cache's next use;
// - the delay follows the work's rhythm: it starts at the purge delay, and a block that went
//   back by time and was then needed again (a new block of its size taken) lengthens it to
//   twice the time that block waited, up to the longest delay; once the cache sees no use for a
//   whole delay, the work stopped and the delay is the purge delay again;
// - at most a number of blocks and of bytes are kept;
// - a table larger than every kept block that fits none grows the largest of them in place of
//   a new one, keeping the pages it has;
// - kept blocks are lazily freed, but for the few megabytes kept last (and the huge pages at
//   the ends of a part of a mapping that it shares with the part beside it): their pages are
//   the system's to take back under memory pressure, and a container's limit reclaims them
//   before it ends the process;
// - before an allocation fails, every kept block goes back and it is tried once more; the
//   process's cache also gives its blocks back before any other allocation of the process
//   fails (a new-handler).
// Blocks below the smallest kept size come from and go back to the heap directly. A block may be
// handed back on any thread.
//
// Blocks start at one of 63 offsets within their first small page, in turn, so that tables read
// together do not map to the same cache sets. Under AddressSanitizer a block's header is
// poisoned while the block is handed out, a kept block is poisoned while it waits, a block
// handed out is unpoisoned only as far as it was asked for, and a quarantine of the blocks
// given back last are not handed out again yet: reads before the start, past the end, through
// a stale pointer or of a waiting block are reported, as for a plain vector. Pages that move or
// go back are unpoisoned first, so that no later mapping there inherits their poison.

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
    // In the cache's clock: the delay a kept block waits unused before it goes back, and the
    // span over which the work's need is remembered, at its shortest and at its longest (no
    // longer than the shortest when lower).
    std::uint64_t purge_delay = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t longest_delay = 0;
    // Kept bytes whose pages the system cannot take back by itself: the blocks kept last. Beyond
    // it, the kept longest are lazily freed. Taking a lazily freed page again costs a fraction of
    // a page fault; this spares the blocks a call takes again at once.
    std::uint64_t most_dirty_bytes = std::numeric_limits<std::uint64_t>::max();
    // The blocks given back last, that are not handed out again until as many more were given
    // back; fewer than `most_blocks`.
    std::size_t quarantine = 0;
};

// Nanoseconds from any fixed start.
using BlockClock = std::uint64_t (*)() noexcept;
std::uint64_t steady_nanoseconds() noexcept;

class BlockCache {
  public:
    static constexpr std::size_t most_slots = 256;

    explicit BlockCache(BlockCacheLimits limits, BlockSource source = page_block_source(),
                        BlockClock clock = steady_nanoseconds) noexcept;
    // Gives the kept blocks back; blocks still handed out may be given back to it no more.
    ~BlockCache();
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // The process's cache (`shared_limits` of the allocation ceiling, or of the process's
    // address-space limit when lower), never destroyed: tables may outlive every static. It is
    // held across a fork, so a child never finds it locked. Made, it gives its blocks back
    // before any allocation of the process fails. With TARVEK_BLOCK_CACHE=0 in the environment
    // when first used it keeps nothing and every block comes from the heap, as for a plain
    // vector (for measurements).
    static BlockCache& shared() noexcept;
    // Blocks of 64 KiB and more, up to 256 of them and 1/16 of the ceiling, each going back
    // after 5 seconds unused, or up to a minute where the work's rhythm asks for it; all but
    // the last 16 MiB kept (or 1/256 of the ceiling) lazily freed.
    static BlockCacheLimits shared_limits(std::uint64_t ceiling) noexcept;

    // At least `bytes` bytes, aligned to `alignment`. For a size the cache keeps: the smallest
    // kept block that fits (of equal ones the one kept last), else the largest kept block grown,
    // else a new one. std::bad_alloc when neither the heap nor the system has one, even after
    // every kept block went back.
    void* allocate(std::size_t bytes);
    // Gives back a block from `allocate` of the same `bytes`. A block the cache keeps waits
    // for a later `allocate`.
    void deallocate(void* block, std::size_t bytes) noexcept;
    // Gives every kept block back; whether there was any.
    bool release() noexcept;

    std::uint64_t kept_bytes() const noexcept;
    std::size_t kept_blocks() const noexcept;
    // The usable bytes of the blocks handed out and kept.
    std::uint64_t footprint() const noexcept;
    const BlockCacheLimits& limits() const noexcept { return limits_; }

    static constexpr std::size_t alignment = 64;

  private:
    // What its header says, kept beside it: a kept block's pages, header and all, may be taken
    // back by the system while it waits.
    struct Kept {
        void* block;           // usable bytes, after the header
        std::size_t capacity;  // usable bytes
        std::uint64_t since;   // the clock when it was given back
        // Where its pages start and how many bytes from there it spans (to its capacity's end),
        // and the mapping it is a part of: 0 for a block that is never cut.
        void* pages;
        std::size_t length;
        std::uint64_t origin;
        bool heap;                // from the heap, when the source refused
        std::uintptr_t huge_end;  // where its mapping's huge pages end, 0 when it has none
        bool lazy;                // its pages lazily freed, or none to free that way
    };
    // The bytes a block spans for the sanitizer: whole pages when mapped.
    static std::size_t extent(const Kept& block) noexcept {
        return block.origin != 0 ? mapped_length(block.length) : block.length;
    }
    // A block that went back by time: how large it was and since when it had waited.
    struct Ghost {
        std::size_t capacity = 0;  // 0: none
        std::uint64_t since = 0;
    };
    static constexpr std::size_t ghost_slots = 32;
    // Blocks taken out of the list under the lock, given back after it.
    struct Released {
        std::array<Kept, most_slots + 1> blocks;
        std::size_t count = 0;
    };

    bool keeps(std::size_t capacity) const noexcept {
        return capacity >= limits_.smallest_block && capacity <= limits_.most_bytes &&
               limits_.most_blocks > 0;
    }
    void* new_block(std::size_t bytes);
    // The next block's offset of its usable bytes from its pages, in turn.
    std::size_t next_colour() noexcept;
    // The header of a block whose pages may be cut and joined (never from the heap).
    static void write_header(const Kept& block) noexcept;
    // Under the lock: a block handed out for `bytes` gives the whole pages past them, when they
    // make a block worth keeping, to a kept block of their own at `index`.
    // The block was taken out of the list: there is a slot for them.
    void cut(Kept& block, std::size_t bytes, std::size_t index) noexcept;
    // Under the lock: a block given back joined with the kept parts of its mapping beside it.
    void join(Kept& block) noexcept;
    void* grow_block(const Kept& kept, std::size_t bytes);
    void* from_source(std::size_t length, bool& heap);
    void give_back(const Released& released) noexcept;
    // Under the lock: the first `count` kept blocks into `released`.
    void drop_oldest(std::size_t count, Released& released) noexcept;
    void take_out(std::size_t index) noexcept;
    void insert(std::size_t index, const Kept& block) noexcept;
    // Takes a block out of the counts of what is kept.
    void forget(const Kept& block) noexcept;
    // Under the lock: the kept blocks lazily freed, those kept longest first, until at most
    // `most_dirty_bytes` of those kept are not.
    void lazily_free() noexcept;
    // Lets the system take back a kept block's pages.
    void discard(const Kept& block) noexcept;
    // Under the lock: moves the need's windows on to `now` and drops what has to go.
    void advance(std::uint64_t now, Released& released) noexcept;
    // Under the lock: a new block of `bytes` taken at `now`; had a block that went back by time
    // served it, the delay lengthens to keep such blocks.
    void lengthen_delay(std::size_t bytes, std::uint64_t now) noexcept;
    // Under the lock: the blocks kept longest go until the blocks in use, kept and `extra` bytes
    // more are within the bound of the recent need.
    void trim(std::uint64_t extra, Released& released) noexcept;
    void purge_expired() noexcept;
    void update_expiry() noexcept;

    BlockCacheLimits limits_;
    BlockSource source_;
    BlockClock clock_;
    mutable std::mutex mutex_;
    std::array<Kept, most_slots> kept_{};  // [0, count_), the longest kept first
    std::size_t count_ = 0;
    std::array<Ghost, ghost_slots> ghosts_{};  // the last blocks that went back by time
    std::size_t next_ghost_ = 0;
    std::uint64_t delay_;     // the current delay, from `purge_delay` to `longest_delay`
    std::uint64_t last_use_;  // the clock when a kept size was last asked for or given back
    std::uint64_t kept_bytes_ = 0;
    std::uint64_t dirty_bytes_ = 0;   // of the kept blocks not lazily freed
    std::uint64_t handed_bytes_ = 0;  // usable bytes of the blocks handed out
    std::uint64_t need_ = 0;          // bytes asked for by the blocks handed out
    // The most `need_` was in the current span and in the one before it.
    std::uint64_t peak_ = 0, previous_peak_ = 0, span_start_ = 0;
    std::atomic<std::size_t> next_colour_{0};
    std::atomic<std::uint64_t> next_origin_{1};
    // The clock at which the block kept longest goes back: checked without the lock.
    std::atomic<std::uint64_t> next_expiry_{std::numeric_limits<std::uint64_t>::max()};
};

}  // namespace tarvek
