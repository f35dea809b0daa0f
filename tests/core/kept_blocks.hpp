#pragma once
// Setting up what the process's block cache keeps, so that a test decides which kept block a
// table may take.

#include <cstddef>
#include <cstring>
#include <vector>

#include "core/numerics/block_cache.hpp"

namespace tarvek::testing {

// Hands out and gives back as many blocks of the smallest kept size as the quarantine holds, so
// that every block kept before may be handed out again.
inline void pass_quarantine(BlockCache& cache = BlockCache::shared()) {
    const std::size_t bytes = cache.limits().smallest_block;
    std::vector<void*> blocks;
    for (std::size_t i = 0; i < cache.limits().quarantine; ++i) {
        blocks.push_back(cache.allocate(bytes));
    }
    for (void* block : blocks) cache.deallocate(block, bytes);
}

// Leaves the shared cache holding one block of `bytes`, filled with `fill` bytes (beside the
// quarantine's), ready to be handed out; its address.
inline const void* plant_block(std::size_t bytes, unsigned char fill = 0x7f) {
    BlockCache& cache = BlockCache::shared();
    cache.release();
    void* const block = cache.allocate(bytes);
    std::memset(block, fill, bytes);
    cache.deallocate(block, bytes);
    pass_quarantine(cache);
    return block;
}

}  // namespace tarvek::testing
