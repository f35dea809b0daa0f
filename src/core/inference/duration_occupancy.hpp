#pragma once
// HSMM posteriors from the forward and backward tables: for every window cell (start frame t,
// chain position s) the posterior of each duration of a segment of s that begins at t, and from
// those the posterior that each frame belongs to each position. Duration posteriors are 32-bit
// in both precisions.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/data/data.hpp"
#include "core/inference/flat_posteriors.hpp"
#include "core/inference/hsmm.hpp"
#include "core/model/model.hpp"
#include "core/inference/score_table.hpp"
#include "core/data/transitions.hpp"

namespace tarvek {

// A borrowed posterior: entry i is the probability of duration `minimum` + i.
struct DurationPosteriorView {
    std::span<const float> probabilities;
    std::uint64_t minimum = 0;

    // The probability of `duration`; 0 below the minimum or past the last entry (no wrapping).
    float probability(std::uint64_t duration) const noexcept {
        if (duration < minimum || duration - minimum >= probabilities.size()) return 0.0f;
        return probabilities[duration - minimum];
    }
};

// One posterior over the durations of a segment, owned.
struct DurationPosterior {
    std::vector<float> probabilities;
    std::uint64_t minimum = 1;

    DurationPosteriorView view() const noexcept { return {probabilities, minimum}; }
    float probability(std::uint64_t duration) const noexcept {
        return view().probability(duration);
    }

    bool operator==(const DurationPosterior&) const = default;
};

// A frames × states table of optional duration posteriors in the flat layout: a present cell
// also starts at duration minimums[i]; an absent cell has minimum 0. A present cell may own no
// values.
struct DurationOccupancies : FlatPosteriorTable {
    TableVector<std::uint64_t> minimums;  // frames · states first durations

    // A `valid_layout`, as many minimums as flags, and minimum + length representable in 64
    // bits for every present cell with values; else "duration occupancies require positive
    // matching dimensions, representable durations and finite nonnegative weights". The
    // minimums of absent cells are set to 0.
    static DurationOccupancies from_values(std::uint64_t frames, std::uint64_t states,
                                           TableVector<std::uint8_t> presence,
                                           TableVector<std::uint64_t> minimums,
                                           TableVector<std::uint64_t> offsets,
                                           TableVector<float> values);

    // Arrays that match frames × states, with every present cell's values inside `values`, so
    // that every lookup stays in bounds (`from_values` and inference always give one).
    bool well_formed() const noexcept;

    // The cell's posterior; empty when the frame or state is out of range or the cell is absent.
    std::optional<DurationPosteriorView> get(std::uint64_t frame,
                                             std::uint64_t state) const& noexcept;
    // A view into a temporary table would dangle.
    std::optional<DurationPosteriorView> get(std::uint64_t, std::uint64_t) const&& = delete;

    bool operator==(const DurationOccupancies&) const = default;
};

// Whether a computed duration posterior is small enough to be dropped from the end of its cell:
// below 1e-5 compared in 64 bits, so the 32-bit 0.00001 counts as below. A cell's first value is
// always kept.
inline bool negligible_posterior(float value) noexcept {
    return static_cast<double>(value) < 1e-05;
}

// At and below this power of two, `fast_pow2` is negligible (2^-17 is about 7.6e-6, and the
// approximation stays within a few percent of it): trailing posteriors there are dropped
// without being computed.
inline constexpr float negligible_exponent = -17.0f;

// The duration posteriors of every cell of the forward pass's state-radius windows but those of
// the last position (which is censored and gets none), normalised by `total`, the observation's
// log score: for duration d of a segment of s beginning at t, e^min(x, 0) with x = incoming +
// row[d] + emissions of frames t .. t + d − 1 + end-beta at its last frame − total (a segment
// running past the last frame keeps the emissions up to the end and no end-beta), taken with
// the 32-bit fast power of two. Rows are the model's own, unclamped; trailing values below 1e-5
// are dropped, the first kept. Checks in order: the four tables' shapes against the emission
// table ("duration occupancy score dimensions differ"), a finite total ("duration occupancy
// normalizer must be finite"), everything `prepare_hsmm_durations_with` checks, the
// segmentation's transitions (segmentation form only), then the allocations.
template <Scalar S>
DurationOccupancies duration_occupancies_with(const ModelParameters<S>& model,
                                              const SegmentationData<S>& segmentation,
                                              const StateScoreTable<S>& emissions,
                                              const HsmmScoreTables<S>& forward,
                                              const HsmmScoreTables<S>& backward, S total,
                                              const HsmmOptions<S>& options);
template <Scalar S>
DurationOccupancies duration_occupancies_with(const ModelParameters<S>& model,
                                              const TransitionGraphParameters<S>& graph,
                                              const StateScoreTable<S>& emissions,
                                              const HsmmScoreTables<S>& forward,
                                              const HsmmScoreTables<S>& backward, S total,
                                              const HsmmOptions<S>& options);

// The probability that frame t belongs to position s, for every cell of the windows: the
// posterior mass of the segments of s that cover t (position 0's only from its segment that
// begins at frame 0), each row then divided by its sum plus 1e-7; 0 elsewhere. Only the row
// lengths and the emission table's shape are read. Checks in order: the posteriors' shape
// ("duration occupancy dimensions differ"), everything `prepare_hsmm_durations_with` checks,
// the allocation, and last the result ("occupancies require positive matching dimensions and
// finite nonnegative values"). A table that is not `well_formed` counts as of other dimensions.
template <Scalar S>
StateScoreTable<S> hsmm_state_occupancies(const ModelParameters<S>& model,
                                          const SegmentationData<S>& segmentation,
                                          const StateScoreTable<S>& emissions,
                                          const DurationOccupancies& durations,
                                          const HsmmOptions<S>& options);

}  // namespace tarvek
