#include "core/numerics/block_cache.hpp"

#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/numerics/address_sanitizer.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

// The `BlockCache::alignment` bytes just before a block's usable bytes: what it takes to give it
// back. A block handed out for fewer bytes than it holds must go back with all of them. Between
// the start of the pages and the header lies the rest of the block's colour.
struct Header {
    void* pages;
    std::size_t length;    // from `pages` to the end of the usable bytes
    std::size_t capacity;  // usable bytes
    std::uint64_t origin;  // the mapping it is a part of, 0 when never cut
    bool heap;             // from the heap, when the source refused
    // Where the huge pages of its mapping end (the mapping's partial last one is small pages);
    // 0 when it has none.
    std::uintptr_t huge_end;
};
constexpr std::size_t header_bytes = BlockCache::alignment;
static_assert(sizeof(Header) <= header_bytes);
// Offsets of the usable bytes from the start of the pages: header_bytes times 1 to 63, so that
// the header shares the block's first small page.
constexpr std::size_t colours = small_page_bytes / header_bytes - 1;

Header* header_of(void* block) noexcept {
    return reinterpret_cast<Header*>(static_cast<std::byte*>(block) - header_bytes);
}

// The header read while its block is handed out, and so poisoned.
Header read_header(void* block) noexcept {
    Header* const header = header_of(block);
    unpoison(header, sizeof(Header));
    const Header copy = *header;
    poison(header, sizeof(Header));
    return copy;
}

void write_header(void* block, const Header& header) noexcept {
    unpoison(header_of(block), sizeof(Header));
    *header_of(block) = header;
    poison(header_of(block), sizeof(Header));
}

// Writes the header of `length` bytes from `pages` with the usable bytes at `colour`. The
// block's address. The colour, and the rest of a mapping's last page past the block (as far as
// a heap block would end), are poisoned.
void* lay_out(void* pages, std::size_t length, std::size_t colour, std::uint64_t origin, bool heap,
              std::uintptr_t huge_end) noexcept {
    auto* const block = static_cast<std::byte*>(pages) + colour;
    write_header(block, {pages, length, length - colour, origin, heap, huge_end});
    poison(pages, colour);
    if (origin != 0) {
        poison(static_cast<std::byte*>(pages) + length, mapped_length(length) - length);
    }
    return block;
}

std::size_t offset(const void* from, const void* to) noexcept {
    return static_cast<std::size_t>(static_cast<const std::byte*>(to) -
                                    static_cast<const std::byte*>(from));
}

std::uintptr_t huge_floor(std::uintptr_t address) noexcept {
    return address & ~std::uintptr_t{huge_page_bytes - 1};
}

// Where the huge pages of a mapping of `length` bytes at `pages` end: mappings of at least one
// huge page are laid out on them where offered.
std::uintptr_t huge_pages_end(std::uint64_t origin, void* pages, std::size_t length) noexcept {
    const std::size_t mapped = mapped_length(length);
    if (origin == 0 || mapped < huge_page_bytes) return 0;
    return huge_floor(reinterpret_cast<std::uintptr_t>(pages) + mapped);
}

// The length of a block of `bytes` usable bytes at `colour`; 0 when it cannot be.
std::size_t block_length(std::size_t colour, std::size_t bytes) noexcept {
    if (bytes > std::numeric_limits<std::size_t>::max() - colour - small_page_bytes) return 0;
    return colour + bytes;
}

// The process's address-space limit, as the share of it the cache keeps counts against it too.
std::uint64_t address_space_limit() noexcept {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return never;
    return limit.rlim_cur;
}

std::new_handler handler_before = nullptr;
// Set while this thread holds the shared cache's lock around a fork, where giving blocks back
// would wait on itself.
thread_local bool forking = false;

// Any allocation of the process that fails gives the shared cache's kept blocks back and is
// tried once more before the handler installed before this one, if any, has its turn.
void give_back_kept_blocks() {
    if (!forking && BlockCache::shared().release()) return;
    if (handler_before != nullptr) return handler_before();
    throw std::bad_alloc();
}

}  // namespace

std::uint64_t steady_nanoseconds() noexcept {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

BlockCache::BlockCache(BlockCacheLimits limits, BlockSource source, BlockClock clock) noexcept
    : limits_(limits), source_(source), clock_(clock) {
    limits_.most_blocks = std::min(limits_.most_blocks, most_slots);
    limits_.longest_delay = std::max(limits_.longest_delay, limits_.purge_delay);
    delay_ = limits_.purge_delay;
    span_start_ = last_use_ = clock_();
}

BlockCache::~BlockCache() {
    release();
}

// 5 seconds: an EM iteration over a corpus uses most of its blocks well within it, and a server
// between two calls too; longer calls and pauses lengthen it, up to a minute, which a process
// that stops calling holds its blocks at most past its next call. 1/16 of the ceiling leaves a
// container nearly all of its memory, and of that all but the blocks kept last, at most 16 MiB
// and 1/256 of the ceiling, is the system's to take back. Under the sanitizer, the last 8 blocks
// given back wait.
BlockCacheLimits BlockCache::shared_limits(std::uint64_t ceiling) noexcept {
    return {.smallest_block = std::size_t{1} << 16,
            .most_blocks = most_slots,
            .most_bytes = ceiling / 16,
            .purge_delay = std::uint64_t{5'000'000'000},
            .longest_delay = std::uint64_t{60'000'000'000},
            .most_dirty_bytes = std::min(std::uint64_t{16} << 20, ceiling / 256),
            .quarantine = address_sanitizer ? 8 : 0};
}

BlockCache& BlockCache::shared() noexcept {
    // Made in static storage, not on the heap, and never destroyed: a table freed after static
    // destruction (by an object the interpreter releases late) still finds it.
    alignas(BlockCache) static unsigned char storage[sizeof(BlockCache)];
    static BlockCache* const cache = [] {
        BlockCacheLimits limits =
            shared_limits(std::min(allocation_ceiling(), address_space_limit()));
        const char* const setting = std::getenv("TARVEK_BLOCK_CACHE");
        if (setting != nullptr && std::strcmp(setting, "0") == 0) {
            limits.smallest_block = std::numeric_limits<std::size_t>::max();
        }
        auto* const made = new (storage) BlockCache(limits);
        // A fork while another thread holds the lock would leave the child's locked for good:
        // the lock is taken around every fork instead.
        const auto lock = [] {
            std::launder(reinterpret_cast<BlockCache*>(storage))->mutex_.lock();
            forking = true;
        };
        const auto unlock = [] {
            forking = false;
            std::launder(reinterpret_cast<BlockCache*>(storage))->mutex_.unlock();
        };
        pthread_atfork(lock, unlock, unlock);
        handler_before = std::set_new_handler(give_back_kept_blocks);
        return made;
    }();
    return *cache;
}

void* BlockCache::allocate(std::size_t bytes) {
    if (bytes < limits_.smallest_block) {
        purge_expired();
        if (void* const block = ::operator new(bytes, std::nothrow)) return block;
        release();
        return ::operator new(bytes);
    }
    Kept taken{};
    bool found = false, grow = false;
    Released released;
    std::uint64_t peak_before = 0, span = 0;
    {
        const std::lock_guard lock(mutex_);
        const std::uint64_t now = clock_();
        advance(now, released);
        last_use_ = now;
        peak_before = peak_;
        span = span_start_;
        need_ += bytes;
        peak_ = std::max(peak_, need_);
        const std::size_t eligible = count_ - std::min(count_, limits_.quarantine);
        std::size_t best = eligible, largest = eligible;
        for (std::size_t i = 0; i < eligible; ++i) {
            const std::size_t capacity = kept_[i].capacity;
            if (capacity >= bytes && (best == eligible || capacity <= kept_[best].capacity)) {
                best = i;
            }
            if (largest == eligible || capacity >= kept_[largest].capacity) largest = i;
        }
        found = best < eligible;
        grow = !found && largest < eligible && source_.resize != nullptr;
        if (found || grow) {
            taken = kept_[found ? best : largest];
            take_out(found ? best : largest);
        }
        if (found) {
            cut(taken, bytes, best);
            handed_bytes_ += taken.capacity;
        } else {
            lengthen_delay(bytes, now);
            trim(bytes, released);
        }
        update_expiry();
    }
    give_back(released);
    if (found) {
        // Its header may have gone with its pages while it waited.
        write_header(taken);
        unpoison(taken.block, bytes);
        return taken.block;
    }
    void* block = nullptr;
    try {
        block = grow ? grow_block(taken, bytes) : new_block(bytes);
    } catch (...) {
        // A refused block was never needed.
        const std::lock_guard lock(mutex_);
        need_ -= bytes;
        if (span_start_ == span) peak_ = std::max(peak_before, need_);
        throw;
    }
    const std::lock_guard lock(mutex_);
    handed_bytes_ += read_header(block).capacity;
    return block;
}

void BlockCache::write_header(const Kept& block) noexcept {
    tarvek::write_header(block.block, {block.pages, block.length, block.capacity, block.origin,
                                       block.heap, block.huge_end});
}

std::size_t BlockCache::next_colour() noexcept {
    return header_bytes * (1 + next_colour_.fetch_add(1, std::memory_order_relaxed) % colours);
}

void* BlockCache::from_source(std::size_t length, bool& heap) {
    heap = false;
    void* pages = source_.take(length);
    if (pages == nullptr) {
        release();
        pages = source_.take(length);
    }
    if (pages == nullptr && source_.heap_when_refused) {
        pages = ::operator new(length, std::align_val_t{alignment}, std::nothrow);
        heap = true;
    }
    if (pages == nullptr) throw std::bad_alloc();
    return pages;
}

void* BlockCache::new_block(std::size_t bytes) {
    const std::size_t colour = next_colour();
    const std::size_t length = block_length(colour, bytes);
    if (length == 0) throw std::bad_alloc();
    bool heap = false;
    void* const pages = from_source(length, heap);
    const std::uint64_t origin =
        source_.pages && !heap ? next_origin_.fetch_add(1, std::memory_order_relaxed) : 0;
    return lay_out(pages, length, colour, origin, heap, huge_pages_end(origin, pages, length));
}

// The block keeps its colour, and with it where its header lies.
void* BlockCache::grow_block(const Kept& kept, std::size_t bytes) {
    const std::size_t colour = kept.length - kept.capacity;
    const std::size_t length = block_length(colour, bytes);
    void* pages = nullptr;
    if (length != 0 && !kept.heap) {
        // The pages move; their poison would stay behind.
        unpoison(kept.pages, extent(kept));
        pages = source_.resize(kept.pages, kept.length, length);
        if (pages == nullptr) {
            release();
            pages = source_.resize(kept.pages, kept.length, length);
        }
    }
    if (pages == nullptr) {
        Released released;
        released.blocks[released.count++] = kept;
        give_back(released);
        return new_block(bytes);
    }
    void* const block = lay_out(pages, length, colour, kept.origin, false,
                                huge_pages_end(kept.origin, pages, length));
    unpoison(block, bytes);
    return block;
}

void BlockCache::deallocate(void* block, std::size_t bytes) noexcept {
    if (bytes < limits_.smallest_block) {
        ::operator delete(block);
        return purge_expired();
    }
    const Header header = read_header(block);
    Released released;
    {
        const std::lock_guard lock(mutex_);
        const std::uint64_t now = clock_();
        advance(now, released);
        last_use_ = now;
        need_ -= bytes;
        handed_bytes_ -= header.capacity;
        Kept freed{block,       header.capacity, now,  header.pages, header.length, header.origin,
                   header.heap, header.huge_end, false};
        if (keeps(freed.capacity)) join(freed);
        if (keeps(freed.capacity)) {
            poison(freed.block, freed.capacity);
            // The blocks kept longest make room.
            std::size_t oldest = 0;
            std::uint64_t remaining = kept_bytes_;
            while (count_ - oldest >= limits_.most_blocks ||
                   remaining + freed.capacity > limits_.most_bytes) {
                remaining -= kept_[oldest++].capacity;
            }
            drop_oldest(oldest, released);
            insert(count_, freed);
            trim(0, released);
            lazily_free();
        } else {
            released.blocks[released.count++] = freed;
        }
        update_expiry();
    }
    give_back(released);
}

void BlockCache::cut(Kept& block, std::size_t bytes, std::size_t index) noexcept {
    if (block.origin == 0) return;
    auto* const pages = static_cast<std::byte*>(block.pages);
    const std::size_t end = block.length;
    const std::size_t at = mapped_length(offset(pages, block.block) + bytes);
    const std::size_t colour = next_colour();
    if (at >= end || end - at < colour + limits_.smallest_block) return;
    const Kept tail{pages + at + colour,
                    end - at - colour,
                    block.since,
                    pages + at,
                    end - at,
                    block.origin,
                    false,
                    block.huge_end,
                    block.lazy};
    block.length = at;
    block.capacity = at - offset(pages, block.block);
    lay_out(tail.pages, tail.length, colour, tail.origin, false, tail.huge_end);
    poison(tail.block, tail.capacity);
    insert(index, tail);
}

void BlockCache::join(Kept& block) noexcept {
    if (block.origin == 0) return;
    for (std::size_t i = count_; i-- > 0;) {
        const Kept& other = kept_[i];
        if (other.origin != block.origin) continue;
        auto* const pages = static_cast<std::byte*>(block.pages);
        auto* const other_pages = static_cast<std::byte*>(other.pages);
        if (other_pages + other.length == pages) {
            block.block = other.block;
            block.pages = other.pages;
            block.length += other.length;
        } else if (pages + block.length == other_pages) {
            block.length += other.length;
        } else {
            continue;
        }
        take_out(i);
    }
    block.capacity = block.length - offset(block.pages, block.block);
}

bool BlockCache::release() noexcept {
    Released released;
    {
        const std::lock_guard lock(mutex_);
        drop_oldest(count_, released);
        update_expiry();
    }
    give_back(released);
    return released.count > 0;
}

void BlockCache::drop_oldest(std::size_t count, Released& released) noexcept {
    if (count == 0) return;
    for (std::size_t i = 0; i < count; ++i) {
        forget(kept_[i]);
        released.blocks[released.count++] = kept_[i];
    }
    std::copy(kept_.begin() + count, kept_.begin() + count_, kept_.begin());
    count_ -= count;
}

void BlockCache::take_out(std::size_t index) noexcept {
    forget(kept_[index]);
    std::copy(kept_.begin() + index + 1, kept_.begin() + count_, kept_.begin() + index);
    --count_;
}

void BlockCache::insert(std::size_t index, const Kept& block) noexcept {
    std::copy_backward(kept_.begin() + index, kept_.begin() + count_, kept_.begin() + count_ + 1);
    kept_[index] = block;
    ++count_;
    kept_bytes_ += block.capacity;
    if (!block.lazy) dirty_bytes_ += block.capacity;
}

void BlockCache::forget(const Kept& block) noexcept {
    kept_bytes_ -= block.capacity;
    if (!block.lazy) dirty_bytes_ -= block.capacity;
}

// On huge pages, only whole ones: freeing part of one would split it for good. A part of a
// mapping keeps the pages at its ends that share a huge page with another part.
void BlockCache::discard(const Kept& block) noexcept {
    auto first = reinterpret_cast<std::uintptr_t>(block.pages);
    auto last = first + mapped_length(block.length);
    if (first < block.huge_end) first = huge_floor(first + huge_page_bytes - 1);
    if (last <= block.huge_end) last = huge_floor(last);
    if (first < last) source_.discard(reinterpret_cast<void*>(first), last - first);
}

// The kept longest first: the block kept last is the likeliest to be taken again soon, and
// taking a lazily freed page again costs a little (its first write marks it again).
void BlockCache::lazily_free() noexcept {
    for (std::size_t i = 0; i < count_ && dirty_bytes_ > limits_.most_dirty_bytes; ++i) {
        Kept& block = kept_[i];
        if (block.lazy) continue;
        if (block.origin != 0 && source_.discard != nullptr) discard(block);
        block.lazy = true;
        dirty_bytes_ -= block.capacity;
    }
}

void BlockCache::advance(std::uint64_t now, Released& released) noexcept {
    // No use for a whole delay: the work stopped, and its rhythm with it.
    if (now - last_use_ >= delay_) delay_ = limits_.purge_delay;
    const std::uint64_t delay = delay_;
    const std::uint64_t elapsed = now - span_start_;
    if (elapsed >= delay) {
        // A span with no activity at all needed what was in use throughout.
        previous_peak_ = elapsed - delay >= delay ? need_ : peak_;
        peak_ = need_;
        span_start_ = now;
    }
    std::size_t expired = 0;
    for (; expired < count_ && now - kept_[expired].since >= delay; ++expired) {
        ghosts_[next_ghost_++ % ghost_slots] = {kept_[expired].capacity, kept_[expired].since};
    }
    drop_oldest(expired, released);
    trim(0, released);
}

// A block of at most twice the size asked for would have served it: the delay was too short for
// this work by the time it waited.
void BlockCache::lengthen_delay(std::size_t bytes, std::uint64_t now) noexcept {
    for (Ghost& ghost : ghosts_) {
        const std::uint64_t waited = now - ghost.since;
        if (ghost.capacity < bytes || ghost.capacity / 2 > bytes ||
            waited > limits_.longest_delay) {
            continue;
        }
        const std::uint64_t longest = limits_.longest_delay;
        delay_ = std::max(delay_, waited > longest / 2 ? longest : 2 * waited);
        ghost = {};
        return;
    }
}

void BlockCache::trim(std::uint64_t extra, Released& released) noexcept {
    const std::uint64_t recent = std::max(peak_, previous_peak_);
    const std::uint64_t bound = recent + recent / 16;
    std::size_t oldest = 0;
    std::uint64_t total = handed_bytes_ + kept_bytes_ + extra;
    while (oldest < count_ && total > bound) total -= kept_[oldest++].capacity;
    drop_oldest(oldest, released);
}

void BlockCache::purge_expired() noexcept {
    const std::uint64_t expiry = next_expiry_.load(std::memory_order_relaxed);
    if (expiry == never || clock_() < expiry) return;
    Released released;
    {
        const std::lock_guard lock(mutex_);
        advance(clock_(), released);
        update_expiry();
    }
    give_back(released);
}

void BlockCache::update_expiry() noexcept {
    const std::uint64_t since = count_ > 0 ? kept_[0].since : never;
    const std::uint64_t expiry = since > never - delay_ ? never : since + delay_;
    next_expiry_.store(expiry, std::memory_order_relaxed);
}

void BlockCache::give_back(const Released& released) noexcept {
    for (std::size_t i = 0; i < released.count; ++i) {
        const Kept& block = released.blocks[i];
        unpoison(block.pages, extent(block));
        if (block.heap) {
            ::operator delete(block.pages, std::align_val_t{alignment});
        } else {
            source_.give_back(block.pages, block.length);
        }
    }
}

std::uint64_t BlockCache::kept_bytes() const noexcept {
    const std::lock_guard lock(mutex_);
    return kept_bytes_;
}

std::size_t BlockCache::kept_blocks() const noexcept {
    const std::lock_guard lock(mutex_);
    return count_;
}

std::uint64_t BlockCache::footprint() const noexcept {
    const std::lock_guard lock(mutex_);
    return handed_bytes_ + kept_bytes_;
}

}  // namespace tarvek
