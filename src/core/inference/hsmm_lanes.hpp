#pragma once
// What the forward and backward HSMM recursions share: the inputs of one pass, and the grouping
// of adjacent chain positions whose duration chains a recursion folds side by side at one
// frame: the chains are independent, so folding them together lets their log-add latencies
// overlap while each keeps its own order of operations.

#include <cstddef>
#include <cstdint>

#include "core/data/data.hpp"
#include "core/inference/hsmm_durations.hpp"
#include "core/inference/hsmm_jumps.hpp"

namespace tarvek {

// Everything one recursion reads, with its tables as flat arrays: cell (t, s) at t · P + s.
// `jumps` are the incoming lists for the forward pass and the outgoing ones for the backward.
template <Scalar S>
struct HsmmPassInputs {
    const SegmentationData<S>& segmentation;
    const ScaledJumpLists& jumps;
    const HsmmDurationRows<S>& rows;
    const S* emission;
    std::uint64_t frames;
    std::uint64_t positions;
    S radius;
};

// The widest group (8, 4 or 2 positions) starting at s and ending at or before `last` whose
// rows all hold a duration (2 entries or more); otherwise 1, a single position.
template <Scalar S>
inline std::size_t lane_group(const HsmmDurationRows<S>& rows, std::uint64_t s,
                              std::uint64_t last) noexcept {
    for (const std::size_t width : {std::size_t{8}, std::size_t{4}, std::size_t{2}}) {
        if (s + width > last) continue;
        bool usable = true;
        for (std::size_t j = 0; j < width && usable; ++j) usable = rows[s + j].size() >= 2;
        if (usable) return width;
    }
    return 1;
}

// Walks positions first .. last − 1 of frame t in lane groups, widest first. The recursion
// folds a group of N positions with `fold_group<N>(t, s)` and a lone position, whose row may
// hold no duration, with `fold_single(t, s)`; each returns the positions it took. Members
// rather than lambdas: through lambdas GCC kept the Viterbi chains on the stack and branched,
// which cost that pass 10 to 50 %.
template <class Recursion, Scalar S>
inline void fold_lane_groups(Recursion& recursion, const HsmmDurationRows<S>& rows, std::uint64_t t,
                             std::uint64_t first, std::uint64_t last) {
    for (std::uint64_t s = first; s < last;) {
        const std::size_t width = lane_group(rows, s, last);
        if (width == 8) {
            s += recursion.template fold_group<8>(t, s);
        } else if (width == 4) {
            s += recursion.template fold_group<4>(t, s);
        } else if (width == 2) {
            s += recursion.template fold_group<2>(t, s);
        } else {
            s += recursion.fold_single(t, s);
        }
    }
}

}  // namespace tarvek
