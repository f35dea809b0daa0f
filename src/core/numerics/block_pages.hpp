#pragma once
// Where the block cache takes its blocks from. Each block is a mapping of its own: a block given
// back returns its pages to the system at once, whatever the C library would have kept. A block
// of at least one huge page starts on a huge-page boundary and is backed by huge pages where the
// system offers them, which fault in with one step each instead of 512; its last, partial huge
// page is left to small pages, so that a few bytes past a whole number of huge pages cost a
// small page, not a huge one. Pages a block keeps for later may be freed lazily: the system takes
// them back when it needs memory, without the process's help, and they read as zeros then.

#include <cstddef>

namespace tarvek {

// Blocks of at least this size are laid out on huge pages of this size where offered.
inline constexpr std::size_t huge_page_bytes = std::size_t{1} << 21;
inline constexpr std::size_t small_page_bytes = std::size_t{1} << 12;

struct BlockSource {
    // At least `bytes` bytes aligned to 64 bytes; nullptr when refused.
    void* (*take)(std::size_t bytes) noexcept;
    // Gives back what `take` (or `resize`) gave for the same `bytes`.
    void (*give_back)(void* pages, std::size_t bytes) noexcept;
    // A block of `bytes` made `larger` bytes, keeping the pages it has (contents and all), maybe
    // at another address; nullptr when refused, the block left as it was. Null when the source
    // cannot: a block then grows by a new one.
    void* (*resize)(void* pages, std::size_t bytes, std::size_t larger) noexcept = nullptr;
    // Whether a block the source refuses is taken from the heap instead (the system may refuse
    // a mapping for want of mappings, not of memory).
    bool heap_when_refused = false;
    // Whether blocks are mappings of whole pages, so that a block may be cut in two at a page
    // boundary and each part given back (or grown) on its own, and two such parts joined again.
    bool pages = false;
    // Lets the system take back the whole pages of `bytes` bytes from `pages` when it needs
    // memory (they read as zeros then); writing a page keeps it again. Null when the source
    // cannot.
    void (*discard)(void* pages, std::size_t bytes) noexcept = nullptr;
};

// Pages mapped for each block, or, when refused, the heap.
BlockSource page_block_source() noexcept;

// The length `take` maps for `bytes`: whole small pages.
inline std::size_t mapped_length(std::size_t bytes) noexcept {
    return (bytes + (small_page_bytes - 1)) & ~(small_page_bytes - 1);
}

}  // namespace tarvek
