#pragma once
// The vector type of the core's large tables and scratch (score tables, back-pointers,
// posterior tables): its memory comes from the shared block cache, so the tables of one call
// reuse the pages of the last call's instead of faulting new ones in. Small vectors of this type
// take their memory from the heap as any vector does.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "core/numerics/allocation.hpp"
#include "core/numerics/block_cache.hpp"
#include "core/numerics/error.hpp"

namespace tarvek {

template <class T>
struct BlockAllocator {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    using value_type = T;

    BlockAllocator() noexcept = default;
    template <class U>
    BlockAllocator(const BlockAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(BlockCache::shared().allocate(count * sizeof(T)));
    }
    void deallocate(T* values, std::size_t count) noexcept {
        BlockCache::shared().deallocate(values, count * sizeof(T));
    }

    friend bool operator==(const BlockAllocator&, const BlockAllocator&) noexcept { return true; }
};

template <class T>
using TableVector = std::vector<T, BlockAllocator<T>>;

// A table of `count` zeros (value-initialised), refused or failing as `allocate_or_fail`. It
// compiles to one clearing of the block, where a fill from a given zero goes element by element
// through the allocator, reloading the value.
template <class T>
TableVector<T> zeroed_table_or_fail(std::uint64_t count, const ModelError& failure) {
    TableVector<T> table;
    reserve_or_fail(table, count, failure);
    table.resize(static_cast<std::size_t>(count));
    return table;
}

// A table of `count` copies of `value`, refused or failing as `allocate_or_fail`.
template <class T>
TableVector<T> table_or_fail(std::uint64_t count, const T& value, const ModelError& failure) {
    if constexpr (std::is_trivially_copyable_v<T>) {
        const T zero{};
        if (std::memcmp(&value, &zero, sizeof(T)) == 0)
            return zeroed_table_or_fail<T>(count, failure);
    }
    return allocate_or_fail<T, BlockAllocator<T>>(count, value, failure);
}

}  // namespace tarvek
