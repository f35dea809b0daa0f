#include "core/numerics/block_pages.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

#include "core/numerics/address_sanitizer.hpp"

namespace tarvek {

namespace {

constexpr std::size_t block_alignment = 64;

std::size_t huge_length(std::size_t bytes) noexcept {
    return (bytes + (huge_page_bytes - 1)) & ~(huge_page_bytes - 1);
}

void* map(std::size_t bytes) noexcept {
    void* const pages =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void* take_pages(std::size_t bytes, bool huge) noexcept {
    if (!huge) return map(bytes);
    // Whole huge pages from a huge-page boundary, so that every page of the block can be one:
    // a mapping one huge page longer, trimmed at both ends.
    const std::size_t length = huge_length(bytes);
    if (length < bytes || length + huge_page_bytes < length) return nullptr;
    auto* const mapped = static_cast<std::byte*>(map(length + huge_page_bytes));
    if (mapped == nullptr) return nullptr;
    const std::size_t head =
        (huge_page_bytes - reinterpret_cast<std::uintptr_t>(mapped) % huge_page_bytes) %
        huge_page_bytes;
    if (head > 0) munmap(mapped, head);
    munmap(mapped + head + length, huge_page_bytes - head);
    madvise(mapped + head, length, MADV_HUGEPAGE);  // a kernel without huge pages maps small ones
    return mapped + head;
}

void give_back_pages(void* pages, std::size_t bytes, bool huge) noexcept {
    munmap(pages, huge ? huge_length(bytes) : bytes);
}

[[maybe_unused]] void* take_heap(std::size_t bytes, bool) noexcept {
    return ::operator new(bytes, std::align_val_t{block_alignment}, std::nothrow);
}

[[maybe_unused]] void give_back_heap(void* pages, std::size_t, bool) noexcept {
    ::operator delete(pages, std::align_val_t{block_alignment});
}

}  // namespace

BlockSource system_block_source() noexcept {
    if constexpr (address_sanitizer) return {take_heap, give_back_heap};
    return {take_pages, give_back_pages, true};
}

}  // namespace tarvek
