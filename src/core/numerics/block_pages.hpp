#pragma once
// Where the block cache takes its blocks from. Each block is a mapping of its own: a block given
// back returns its pages to the system at once, whatever the C library would have kept, and
// a large block that is not kept may be backed by huge pages, which fault in with one step each
// instead of 512. Under AddressSanitizer blocks come from the heap instead, which the sanitizer
// watches (bounds, use after free, leaks) as it watches any vector's.

#include <cstddef>

namespace tarvek {

// Huge blocks are laid out on huge pages of this size where the system offers them.
inline constexpr std::size_t huge_page_bytes = std::size_t{1} << 21;

struct BlockSource {
    // At least `bytes` bytes aligned to 64 bytes, on huge pages where offered when `huge`;
    // nullptr when refused.
    void* (*take)(std::size_t bytes, bool huge) noexcept;
    // Gives back what `take` gave for the same `bytes` and `huge`.
    void (*give_back)(void* pages, std::size_t bytes, bool huge) noexcept;
    // Whether a block the source refuses is taken from the heap instead (the system may refuse
    // a mapping for want of mappings, not of memory).
    bool heap_when_refused = false;
};

// Pages mapped for each block (or, when refused, the heap), or the heap under AddressSanitizer.
BlockSource system_block_source() noexcept;

}  // namespace tarvek
