#include "core/numerics/block_cache.hpp"

#include <algorithm>
#include <new>

#include "core/numerics/allocation.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace tarvek {

namespace {

// A kept block's first `BlockCache::alignment` bytes hold its usable size: a block handed out
// for fewer bytes than it holds must go back with all of them.
constexpr std::size_t header = BlockCache::alignment;

void poison(void* bytes, std::size_t count) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    __asan_poison_memory_region(bytes, count);
#else
    (void)bytes;
    (void)count;
#endif
}

void unpoison(void* bytes, std::size_t count) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    __asan_unpoison_memory_region(bytes, count);
#else
    (void)bytes;
    (void)count;
#endif
}

std::byte* usable(void* block) noexcept {
    return static_cast<std::byte*>(block) + header;
}

void free_block(void* block, std::size_t capacity) noexcept {
    ::operator delete(block, header + capacity, std::align_val_t{BlockCache::alignment});
}

}  // namespace

BlockCache::BlockCache(BlockCacheLimits limits) noexcept : limits_(limits) {
    limits_.most_blocks = std::min(limits_.most_blocks, most_slots);
}

BlockCache::~BlockCache() {
    for (std::size_t i = 0; i < count_; ++i) free_block(kept_[i].block, kept_[i].capacity);
}

BlockCache& BlockCache::shared() noexcept {
    // Made in static storage, not on the heap, and never destroyed: a table freed after static
    // destruction (by an object the interpreter releases late) still finds it.
    alignas(BlockCache) static unsigned char storage[sizeof(BlockCache)];
    static BlockCache* const cache =
        new (storage) BlockCache({.smallest_block = std::size_t{1} << 16,
                                  .most_blocks = most_slots,
                                  .most_bytes = allocation_ceiling() / 16});
    return *cache;
}

void* BlockCache::allocate(std::size_t bytes) {
    if (!keeps(bytes)) return ::operator new(bytes);
    void* block = nullptr;
    {
        const std::lock_guard lock(mutex_);
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i) {
            const std::size_t capacity = kept_[i].capacity;
            if (capacity >= bytes && capacity - bytes <= bytes &&
                (best == count_ || capacity <= kept_[best].capacity)) {
                best = i;
            }
        }
        if (best < count_) {
            block = kept_[best].block;
            bytes_ -= kept_[best].capacity;
            std::copy(kept_.begin() + best + 1, kept_.begin() + count_, kept_.begin() + best);
            --count_;
        }
    }
    if (block != nullptr) {
        unpoison(usable(block), bytes);
        return usable(block);
    }
    block = ::operator new(header + bytes, std::align_val_t{alignment});
    *static_cast<std::size_t*>(block) = bytes;
    return usable(block);
}

void BlockCache::deallocate(void* pointer, std::size_t bytes) noexcept {
    if (!keeps(bytes)) return ::operator delete(pointer, bytes);
    void* const block = static_cast<std::byte*>(pointer) - header;
    const std::size_t capacity = *static_cast<const std::size_t*>(block);
    poison(pointer, capacity);
    // Room for every kept block and this one.
    std::array<Kept, most_slots + 1> released;
    std::size_t released_count = 0;
    const bool fits = limits_.most_blocks > 0 && capacity <= limits_.most_bytes;
    if (fits) {
        const std::lock_guard lock(mutex_);
        // The blocks kept longest make room.
        std::size_t oldest = 0;
        while (count_ - oldest >= limits_.most_blocks || bytes_ + capacity > limits_.most_bytes) {
            bytes_ -= kept_[oldest].capacity;
            released[released_count++] = kept_[oldest++];
        }
        std::copy(kept_.begin() + oldest, kept_.begin() + count_, kept_.begin());
        count_ -= oldest;
        kept_[count_++] = {block, capacity};
        bytes_ += capacity;
    } else {
        released[released_count++] = {block, capacity};
    }
    for (std::size_t i = 0; i < released_count; ++i) {
        free_block(released[i].block, released[i].capacity);
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
