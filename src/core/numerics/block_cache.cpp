#include "core/numerics/block_cache.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/numerics/address_sanitizer.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

// The first `BlockCache::alignment` bytes of a block, before its usable bytes: what it takes to
// give it back. A block handed out for fewer bytes than it holds must go back with all of them.
struct Header {
    void* pages;
    std::size_t length;  // as taken from the source
    std::size_t capacity;
    bool huge;
    bool heap;  // from the heap, when the source refused
};
constexpr std::size_t header_bytes = BlockCache::alignment;
static_assert(sizeof(Header) <= header_bytes);

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

}  // namespace

BlockCache::BlockCache(BlockCacheLimits limits, BlockSource source) noexcept
    : limits_(limits), source_(source) {
    limits_.most_blocks = std::min(limits_.most_blocks, most_slots);
}

BlockCache::~BlockCache() {
    release();
}

// Blocks above 32 MiB fault in every time under the C library too (it maps them on their own);
// they are a small share of a call that fills them. 512 allocations span an EM iteration over
// a few utterances (about 50 tables each), so the blocks of similar calls are reused, and are
// gone a few hundred short calls after the long ones stop. Under the sanitizer, the last 8
// blocks given back wait.
BlockCacheLimits BlockCache::shared_limits(std::uint64_t ceiling) noexcept {
    return {.smallest_block = std::size_t{1} << 16,
            .most_blocks = most_slots,
            .most_bytes = std::min(shared_most_bytes, ceiling / 16),
            .largest_block = std::size_t{32} << 20,
            .horizon = 512,
            .quarantine = address_sanitizer ? 8 : 0};
}

BlockCache& BlockCache::shared() noexcept {
    // Made in static storage, not on the heap, and never destroyed: a table freed after static
    // destruction (by an object the interpreter releases late) still finds it.
    alignas(BlockCache) static unsigned char storage[sizeof(BlockCache)];
    static BlockCache* const cache = [] {
        BlockCacheLimits limits = shared_limits(allocation_ceiling());
        const char* const setting = std::getenv("TARVEK_BLOCK_CACHE");
        if (setting != nullptr && std::strcmp(setting, "0") == 0) {
            limits.smallest_block = std::numeric_limits<std::size_t>::max();
        }
        auto* const made = new (storage) BlockCache(limits);
        // A fork while another thread holds the lock would leave the child's locked for good:
        // the lock is taken around every fork instead.
        const auto lock = [] {
            std::launder(reinterpret_cast<BlockCache*>(storage))->mutex_.lock();
        };
        const auto unlock = [] {
            std::launder(reinterpret_cast<BlockCache*>(storage))->mutex_.unlock();
        };
        pthread_atfork(lock, unlock, unlock);
        return made;
    }();
    return *cache;
}

void* BlockCache::allocate(std::size_t bytes) {
    const std::uint64_t now = clock_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (bytes < limits_.smallest_block) {
        if (now >= next_expiry_.load(std::memory_order_relaxed)) expire(now);
        if (void* const block = ::operator new(bytes, std::nothrow)) return block;
        release();
        return ::operator new(bytes);
    }
    if (!keeps(bytes)) {
        if (now >= next_expiry_.load(std::memory_order_relaxed)) expire(now);
        return new_block(bytes);
    }
    void* block = nullptr;
    Released released;
    {
        const std::lock_guard lock(mutex_);
        drop_expired(now, released);
        const std::size_t eligible = count_ - std::min(count_, limits_.quarantine);
        std::size_t best = eligible;
        for (std::size_t i = 0; i < eligible; ++i) {
            const std::size_t capacity = kept_[i].capacity;
            if (capacity >= bytes && capacity - bytes <= bytes &&
                (best == eligible || capacity <= kept_[best].capacity)) {
                best = i;
            }
        }
        if (best < eligible) {
            block = kept_[best].block;
            bytes_ -= kept_[best].capacity;
            std::copy(kept_.begin() + best + 1, kept_.begin() + count_, kept_.begin() + best);
            --count_;
        }
        update_expiry();
    }
    give_back(released);
    if (block == nullptr) return new_block(bytes);
    unpoison(block, bytes);
    return block;
}

void* BlockCache::new_block(std::size_t bytes) {
    if (bytes > std::numeric_limits<std::size_t>::max() - header_bytes) throw std::bad_alloc();
    const std::size_t length = header_bytes + bytes;
    // Huge pages only for the blocks never kept: a kept block faults in once.
    const bool huge = !keeps(bytes) && length >= huge_page_bytes;
    void* pages = source_.take(length, huge);
    bool heap = false;
    if (pages == nullptr) {
        release();
        pages = source_.take(length, huge);
    }
    if (pages == nullptr && source_.heap_when_refused) {
        pages = ::operator new(length, std::align_val_t{alignment}, std::nothrow);
        heap = true;
    }
    if (pages == nullptr) throw std::bad_alloc();
    auto* const header = static_cast<Header*>(pages);
    *header = {pages, length, bytes, huge, heap};
    poison(pages, header_bytes);
    return static_cast<std::byte*>(pages) + header_bytes;
}

void BlockCache::deallocate(void* block, std::size_t bytes) noexcept {
    if (bytes < limits_.smallest_block) return ::operator delete(block);
    const Header header = read_header(block);
    Released released;
    if (keeps(bytes)) {
        poison(block, header.capacity);
        const std::lock_guard lock(mutex_);
        // The blocks kept longest make room.
        std::size_t oldest = 0;
        std::uint64_t remaining = bytes_;
        while (count_ - oldest >= limits_.most_blocks ||
               remaining + header.capacity > limits_.most_bytes) {
            remaining -= kept_[oldest++].capacity;
        }
        drop_oldest(oldest, released);
        kept_[count_++] = {block, header.capacity, clock_.load(std::memory_order_relaxed)};
        bytes_ += header.capacity;
        update_expiry();
    } else {
        released.blocks[released.count++] = {block, header.capacity, 0};
    }
    give_back(released);
}

void BlockCache::release() noexcept {
    Released released;
    {
        const std::lock_guard lock(mutex_);
        drop_oldest(count_, released);
        update_expiry();
    }
    give_back(released);
}

void BlockCache::drop_oldest(std::size_t count, Released& released) noexcept {
    if (count == 0) return;
    for (std::size_t i = 0; i < count; ++i) {
        bytes_ -= kept_[i].capacity;
        released.blocks[released.count++] = kept_[i];
    }
    std::copy(kept_.begin() + count, kept_.begin() + count_, kept_.begin());
    count_ -= count;
}

void BlockCache::drop_expired(std::uint64_t now, Released& released) noexcept {
    std::size_t expired = 0;
    while (expired < count_ && now - kept_[expired].stamp > limits_.horizon) ++expired;
    drop_oldest(expired, released);
}

void BlockCache::expire(std::uint64_t now) noexcept {
    Released released;
    {
        const std::lock_guard lock(mutex_);
        drop_expired(now, released);
        update_expiry();
    }
    give_back(released);
}

void BlockCache::update_expiry() noexcept {
    const std::uint64_t stamp = count_ > 0 ? kept_[0].stamp : never;
    const std::uint64_t expiry =
        stamp > never - limits_.horizon - 1 ? never : stamp + limits_.horizon + 1;
    next_expiry_.store(expiry, std::memory_order_relaxed);
}

void BlockCache::give_back(const Released& released) noexcept {
    for (std::size_t i = 0; i < released.count; ++i) {
        const Header header = read_header(released.blocks[i].block);
        unpoison(header.pages, header.length);
        if (header.heap) {
            ::operator delete(header.pages, std::align_val_t{alignment});
        } else {
            source_.give_back(header.pages, header.length, header.huge);
        }
    }
}

std::uint64_t BlockCache::kept_bytes() const noexcept {
    const std::lock_guard lock(mutex_);
    return bytes_;
}

std::size_t BlockCache::kept_blocks() const noexcept {
    const std::lock_guard lock(mutex_);
    return count_;
}

}  // namespace tarvek
