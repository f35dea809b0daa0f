#pragma once
// Setting up what the process's block cache keeps, so that a test decides which kept block a
// table may take.

#include <cstddef>
#include <cstring>
#include <vector>

#include "core/numerics/block_cache.hpp"

namespace tarvek::testing {

// As many blocks of the smallest kept size as the quarantine holds, handed out on making and
// given back by `pass`: every block kept before then may be handed out again. Made before the
// blocks it lets pass are given back, so that the work's recent need covers them all and none
// is given back to the system to make room for it.
class QuarantinePass {
  public:
    explicit QuarantinePass(BlockCache& cache = BlockCache::shared()) : cache_(cache) {
        for (std::size_t i = 0; i < cache.limits().quarantine; ++i) {
            blocks_.push_back(cache.allocate(cache.limits().smallest_block));
        }
    }
    void pass() {
        for (void* block : blocks_) cache_.deallocate(block, cache_.limits().smallest_block);
        blocks_.clear();
    }
    ~QuarantinePass() { pass(); }

  private:
    BlockCache& cache_;
    std::vector<void*> blocks_;
};

// Leaves the shared cache holding one block of `bytes`, filled with `fill` bytes (beside the
// quarantine's), ready to be handed out; its address.
inline const void* plant_block(std::size_t bytes, unsigned char fill = 0x7f) {
    BlockCache& cache = BlockCache::shared();
    cache.release();
    QuarantinePass quarantine(cache);
    void* const block = cache.allocate(bytes);
    std::memset(block, fill, bytes);
    cache.deallocate(block, bytes);
    quarantine.pass();
    return block;
}

}  // namespace tarvek::testing
