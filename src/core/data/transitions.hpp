#pragma once
// The incoming view of a segmentation's outgoing jumps, which the HSMM recursions walk,
// and the one-jump edit of an outgoing list.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/data/data.hpp"

namespace tarvek {

// One incoming list per position, stored back to back. In an entry, `delta` leads from the
// target to the source (source = target + delta). Every list ends with the advance entry
// from the previous position (delta -1); position 0's names no source and keeps weight 1.
template <Scalar S>
struct IncomingJumps {
    // Position p's list is entries[offsets[p]] up to entries[offsets[p + 1]].
    std::vector<std::size_t> offsets;
    std::vector<JumpParameters<S>> entries;

    std::size_t size() const noexcept { return offsets.empty() ? 0 : offsets.size() - 1; }
    std::span<const JumpParameters<S>> operator[](std::size_t position) const noexcept {
        return {entries.data() + offsets[position], offsets[position + 1] - offsets[position]};
    }

    bool operator==(const IncomingJumps&) const = default;
};

// A segmentation together with the incoming lists built from it.
template <Scalar S>
struct TransitionGraphParameters {
    IncomingJumps<S> incoming;
    SegmentationData<S> segmentation;

    bool operator==(const TransitionGraphParameters&) const = default;
};

// Validates the segmentation and builds its incoming lists. Within a list, skip entries are
// ordered by source and, for one source, by outgoing-list order; jumps whose target lies
// outside the chain are ignored.
template <Scalar S>
IncomingJumps<S> build_incoming(const SegmentationData<S>& segmentation);

// The graph of a segmentation, which it then holds (pass a copy to keep the original).
template <Scalar S>
TransitionGraphParameters<S> build_transitions(SegmentationData<S> segmentation);

// Validates, then sets the weight of the source's advance (delta 1) or inserts the jump
// just before it. The target is not checked; out-of-chain targets are ignored when the
// graph is built.
template <Scalar S>
void add_jump(SegmentationData<S>& segmentation, std::size_t source, std::int32_t delta, S weight);

}  // namespace tarvek
