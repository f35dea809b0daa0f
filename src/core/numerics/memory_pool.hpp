#pragma once
// A paged arena of zero-filled bytes. Allocations are runs of bytes inside one page; pages
// are only ever added and their storage is reserved in full when they are made, so bytes
// never move and an allocation stays valid for the life of its pool. Each allocation holds
// a counted reference to its pool's identity token, by which the pool refuses allocations
// of other pools.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tarvek {

// Identity of one pool. Compared by address only: while any allocation holds a reference,
// no other pool can be given the same address.
struct MemoryPoolToken {};

// One allocation handed out by a pool; copying it copies the token reference. A null token
// (a closed handle) belongs to no pool.
struct PoolAllocation {
    std::shared_ptr<const MemoryPoolToken> token;
    std::uint64_t page = 0;
    std::uint64_t offset = 0;  // the page's used count when the allocation was made
    std::uint64_t length = 0;
};

// A snapshot of one page's fill.
struct PoolPageUsage {
    std::uint64_t used_bytes = 0;
    std::uint64_t capacity = 0;
};

class MemoryPool {
  public:
    // One empty page of capacity `page_size` (0 allowed). Throws ModelError
    // "memory pool page allocation failed" or "memory pool page list allocation failed".
    explicit MemoryPool(std::uint64_t page_size);

    // The pool is its identity: a copy would share the token, and a moved-from pool would
    // have no pages. Hold it in place (std::optional, std::unique_ptr).
    MemoryPool(const MemoryPool&) = delete;
    MemoryPool& operator=(const MemoryPool&) = delete;

    // Appends `size` zero bytes to the last page, first adding a page of capacity
    // max(page_size, size) when they do not fit. Failures leave the pool unchanged.
    PoolAllocation allocate(std::uint64_t size);
    // `allocate` of count * element_size, refused when the product overflows.
    PoolAllocation allocate_zeroed(std::uint64_t count, std::uint64_t element_size);

    // True when the allocation carries this pool's token and its range lies inside its
    // page's used bytes.
    bool owns(const PoolAllocation& allocation) const noexcept;
    // The allocation's whole region, or nothing for an allocation of another pool.
    std::optional<std::span<const std::uint8_t>> get(
        const PoolAllocation& allocation) const noexcept;
    // `length` bytes from `start` within the allocation. The view stays valid for the life
    // of the pool; callers copy it. Throws ModelError on a foreign allocation or bad range.
    std::span<const std::uint8_t> get_range(const PoolAllocation& allocation, std::uint64_t start,
                                            std::uint64_t length) const;
    // Overwrites the allocation's bytes from `start`; the same checks as `get_range`.
    void set_bytes(const PoolAllocation& allocation, std::uint64_t start,
                   std::span<const std::uint8_t> values);

    std::uint64_t page_size() const noexcept { return page_size_; }
    std::uint64_t page_count() const noexcept { return pages_.size(); }
    std::uint64_t total_capacity() const noexcept { return total_capacity_; }
    std::uint64_t allocated_bytes() const noexcept { return allocated_bytes_; }
    // Snapshot of page `index`, or nothing when index >= page_count.
    std::optional<PoolPageUsage> page(std::uint64_t index) const noexcept;
    // Snapshots of every page, first to last.
    std::vector<PoolPageUsage> pages() const;

  private:
    struct Page {
        std::vector<std::uint8_t> bytes;  // size is the used count; reserved at capacity
        std::uint64_t capacity = 0;
    };

    static std::vector<std::uint8_t> reserve_page(std::uint64_t capacity);
    // Page-relative start of [start, start + length) within the allocation, after the
    // identity and range checks.
    std::uint64_t checked_position(const PoolAllocation& allocation, std::uint64_t start,
                                   std::uint64_t length) const;

    std::vector<Page> pages_;  // never empty
    std::shared_ptr<const MemoryPoolToken> token_;
    std::uint64_t page_size_;
    std::uint64_t total_capacity_;
    std::uint64_t allocated_bytes_ = 0;
};

}  // namespace tarvek
