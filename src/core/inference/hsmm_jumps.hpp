#pragma once
// The jumps an HSMM recursion walks, flattened once per pass with their temperature-scaled
// log weights, so that the recursion takes no logarithm and tests no weight per cell.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/data/data.hpp"
#include "core/numerics/error.hpp"
#include "core/data/transitions.hpp"

namespace tarvek {

// One jump seen from one end: `position` is the other end (the source of an incoming jump,
// the target of an outgoing one) and `log_weight` is τ · ln(w), both factors widened to and
// multiplied in 64 bits.
struct ScaledJump {
    std::uint64_t position = 0;
    double log_weight = 0;
};

// One list per chain position, back to back, in the order of the lists they come from.
// Jumps of weight 0 and jumps whose other end lies outside the chain are left out: every
// recursion skips them.
struct ScaledJumpLists {
    std::vector<std::size_t>
        offsets;  // list p is entries[offsets[p]] up to entries[offsets[p + 1]]
    std::vector<ScaledJump> entries;

    std::span<const ScaledJump> operator[](std::size_t position) const noexcept {
        return {entries.data() + offsets[position], offsets[position + 1] - offsets[position]};
    }
};

// The incoming lists of `positions` chain positions (a list the graph lacks is empty).
template <Scalar S>
ScaledJumpLists scaled_incoming_jumps(const IncomingJumps<S>& incoming, std::uint64_t positions,
                                      S temperature, const ModelError& allocation_failed);

// The segmentation's own outgoing lists.
template <Scalar S>
ScaledJumpLists scaled_outgoing_jumps(const SegmentationData<S>& segmentation, S temperature,
                                      const ModelError& allocation_failed);

}  // namespace tarvek
