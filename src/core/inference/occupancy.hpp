#pragma once
// Geometric posteriors from the forward and backward tables: the occupancy of every
// (frame, position) cell, and the posteriors of staying in a position and of having advanced
// into it. Both cover the linear band of the inner frames 1 .. T − 2 only; frames 0 and T − 1
// are never computed.

#include <cstdint>

#include "core/data/data.hpp"
#include "core/model/model.hpp"
#include "core/numerics/numerics.hpp"
#include "core/inference/score_table.hpp"

namespace tarvek {

// One cell of a transition table. Transition posteriors are 32-bit in both precisions.
struct TransitionOccupancy {
    std::uint32_t present = 0;  // 1 when computed
    float stay = 0;             // in position s at both t − 1 and t
    float advance = 0;          // in s − 1 at t − 1 and in s at t; 1 for position 0

    bool operator==(const TransitionOccupancy&) const = default;
};

struct TransitionOccupancies {
    TableVector<TransitionOccupancy> entries;  // cell (t, s) at t · states + s
    std::uint64_t frames = 0;
    std::uint64_t states = 0;

    // Frames and states positive, their product equal to the entry count, and stay and
    // advance finite and nonnegative in every entry whose `present` is 1 (other entries are
    // not looked at); else "transition occupancies require positive matching dimensions and
    // finite nonnegative weights".
    static TransitionOccupancies from_values(std::uint64_t frames, std::uint64_t states,
                                             TableVector<TransitionOccupancy> entries);

    bool operator==(const TransitionOccupancies&) const = default;
};

// Occupancy probabilities (not logs), 0 outside the computed cells: within the band of the
// inner frames, e^((alpha + beta) − total) from the exponential table (1 when positive).
// Checks: equal shapes ("occupancy forward/backward dimensions differ"), then a finite total
// and a finite nonnegative slope ("occupancy total must be finite and pruning slope finite and
// nonnegative"), then "occupancy allocation failed".
template <Scalar S>
StateScoreTable<S> geometric_occupancies(const StateScoreTable<S>& alpha,
                                         const StateScoreTable<S>& beta, S total, S pruning_slope);

// Stay and advance posteriors within the band of the inner frames, with the stay and advance
// log weights of the geometric search. Checks in order: the shapes of alpha and beta, the
// total and slope (as above), the segmentation's arrays and jump lists, the segment count and
// the emission table's shape against alpha ("transition occupancy dimensions differ"), the
// temperature, the positions' duration states and means, then "occupancy allocation failed".
template <Scalar S>
TransitionOccupancies geometric_transition_occupancies(const ModelParameters<S>& model,
                                                       const SegmentationData<S>& segmentation,
                                                       const StateScoreTable<S>& emissions,
                                                       const StateScoreTable<S>& alpha,
                                                       const StateScoreTable<S>& beta, S total,
                                                       S temperature, S pruning_slope);

}  // namespace tarvek
