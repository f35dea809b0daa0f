#include "core/numerics/block_pages.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace tarvek {

namespace {

void* map(std::size_t bytes) noexcept {
    void* const pages =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

// `length` bytes of address space from a huge-page boundary: a mapping one huge page longer,
// trimmed at both ends.
std::byte* map_from_huge_boundary(std::size_t length) noexcept {
    if (length + huge_page_bytes < length) return nullptr;
    auto* const mapped = static_cast<std::byte*>(map(length + huge_page_bytes));
    if (mapped == nullptr) return nullptr;
    const std::size_t head =
        (huge_page_bytes - reinterpret_cast<std::uintptr_t>(mapped) % huge_page_bytes) %
        huge_page_bytes;
    if (head > 0) munmap(mapped, head);
    munmap(mapped + head + length, huge_page_bytes - head);
    return mapped + head;
}

void* take_pages(std::size_t bytes) noexcept {
    const std::size_t length = mapped_length(bytes);
    if (length < bytes) return nullptr;
    if (length < huge_page_bytes) return map(length);
    std::byte* const pages = map_from_huge_boundary(length);
    // Huge pages only where wanted (the system's setting is often "madvise"); a kernel without
    // them maps small ones.
    if (pages != nullptr) madvise(pages, length, MADV_HUGEPAGE);
    return pages;
}

void give_back_pages(void* pages, std::size_t bytes) noexcept {
    munmap(pages, mapped_length(bytes));
}

// The pages already faulted in move with the block (huge ones whole: both ends on a huge-page
// boundary), and only the new length faults in.
void* resize_pages(void* pages, std::size_t bytes, std::size_t larger) noexcept {
    const std::size_t length = mapped_length(larger);
    if (length < larger) return nullptr;
    if (length < huge_page_bytes) {
        void* const moved = mremap(pages, mapped_length(bytes), length, MREMAP_MAYMOVE);
        return moved == MAP_FAILED ? nullptr : moved;
    }
    std::byte* const target = map_from_huge_boundary(length);
    if (target == nullptr) return nullptr;
    void* const moved =
        mremap(pages, mapped_length(bytes), length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (moved == MAP_FAILED) {
        munmap(target, length);
        return nullptr;
    }
    madvise(moved, length, MADV_HUGEPAGE);
    return moved;
}

// MADV_FREE: the pages stay mapped and cost nothing to take again while the system leaves them.
void discard_pages(void* pages, std::size_t bytes) noexcept {
    madvise(pages, bytes, MADV_FREE);
}

}  // namespace

BlockSource page_block_source() noexcept {
    return {.take = take_pages,
            .give_back = give_back_pages,
            .resize = resize_pages,
            .heap_when_refused = true,
            .pages = true,
            .discard = discard_pages};
}

}  // namespace tarvek
