#include "core/numerics/memory_pool.hpp"

#include <algorithm>
#include <cstddef>

#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"

namespace tarvek {

namespace {

const ModelError page_allocation_failed("memory pool page allocation failed");
const ModelError page_list_allocation_failed("memory pool page list allocation failed");

}  // namespace

std::vector<std::uint8_t> MemoryPool::reserve_page(std::uint64_t capacity) {
    std::vector<std::uint8_t> bytes;
    reserve_or_fail(bytes, capacity, page_allocation_failed);
    return bytes;
}

MemoryPool::MemoryPool(std::uint64_t page_size)
    : page_size_(page_size), total_capacity_(page_size) {
    std::vector<std::uint8_t> first = reserve_page(page_size);
    reserve_or_fail(pages_, 1, page_list_allocation_failed);
    pages_.push_back(Page{std::move(first), page_size});
    token_ = std::make_shared<const MemoryPoolToken>();
}

PoolAllocation MemoryPool::allocate(std::uint64_t size) {
    const auto allocated = checked_add(allocated_bytes_, size);
    if (!allocated) throw ModelError("memory pool allocation size overflow");

    const Page& last = pages_.back();
    if (size > last.capacity - last.bytes.size()) {
        const std::uint64_t capacity = std::max(page_size_, size);
        const auto total = checked_add(total_capacity_, capacity);
        if (!total) throw ModelError("memory pool capacity overflow");
        std::vector<std::uint8_t> bytes = reserve_page(capacity);
        if (pages_.size() == pages_.capacity()) {
            // `bytes` is released if this throws.
            const std::uint64_t room = std::max<std::uint64_t>(4, 2 * pages_.capacity());
            reserve_or_fail(pages_, room, page_list_allocation_failed);
        }
        pages_.push_back(Page{std::move(bytes), capacity});  // within capacity: cannot throw
        total_capacity_ = *total;
    }

    // Grows within the reserved capacity, so earlier bytes stay where they are.
    Page& page = pages_.back();
    const std::uint64_t offset = page.bytes.size();
    page.bytes.resize(static_cast<std::size_t>(offset + size));
    allocated_bytes_ = *allocated;
    return PoolAllocation{token_, pages_.size() - 1, offset, size};
}

PoolAllocation MemoryPool::allocate_zeroed(std::uint64_t count, std::uint64_t element_size) {
    const auto size = checked_mul(count, element_size);
    if (!size) throw ModelError("memory pool element count overflow");
    return allocate(*size);
}

bool MemoryPool::owns(const PoolAllocation& allocation) const noexcept {
    if (allocation.token.get() != token_.get() || allocation.page >= pages_.size()) return false;
    const auto end = checked_add(allocation.offset, allocation.length);
    return end && *end <= pages_[allocation.page].bytes.size();
}

std::optional<std::span<const std::uint8_t>> MemoryPool::get(
    const PoolAllocation& allocation) const noexcept {
    if (!owns(allocation)) return std::nullopt;
    const Page& page = pages_[allocation.page];
    return std::span<const std::uint8_t>(page.bytes)
        .subspan(static_cast<std::size_t>(allocation.offset),
                 static_cast<std::size_t>(allocation.length));
}

std::uint64_t MemoryPool::checked_position(const PoolAllocation& allocation, std::uint64_t start,
                                           std::uint64_t length) const {
    if (!owns(allocation)) throw ModelError("allocation belongs to another memory pool");
    const auto end = checked_add(start, length);
    if (!end) throw ModelError("memory pool range overflow");
    if (*end > allocation.length) throw ModelError("memory pool range out of bounds");
    return allocation.offset + start;  // within the page's used bytes after `owns`
}

std::span<const std::uint8_t> MemoryPool::get_range(const PoolAllocation& allocation,
                                                    std::uint64_t start,
                                                    std::uint64_t length) const {
    const std::uint64_t position = checked_position(allocation, start, length);
    return std::span<const std::uint8_t>(pages_[allocation.page].bytes)
        .subspan(static_cast<std::size_t>(position), static_cast<std::size_t>(length));
}

void MemoryPool::set_bytes(const PoolAllocation& allocation, std::uint64_t start,
                           std::span<const std::uint8_t> values) {
    const std::uint64_t position = checked_position(allocation, start, values.size());
    std::copy(values.begin(), values.end(),
              pages_[allocation.page].bytes.begin() + static_cast<std::ptrdiff_t>(position));
}

std::optional<PoolPageUsage> MemoryPool::page(std::uint64_t index) const noexcept {
    if (index >= pages_.size()) return std::nullopt;
    return PoolPageUsage{pages_[index].bytes.size(), pages_[index].capacity};
}

std::vector<PoolPageUsage> MemoryPool::pages() const {
    std::vector<PoolPageUsage> usage;
    usage.reserve(pages_.size());
    for (const Page& page : pages_)
        usage.push_back(PoolPageUsage{page.bytes.size(), page.capacity});
    return usage;
}

}  // namespace tarvek
