#pragma once
// The expectation step of training: one observation's posteriors added to a model's
// sufficient statistics. Each chain position s of the reference segmentation adds to the
// duration sums of its duration state and, in every stream, to the Gaussian sums of its
// emission state.
//
// Both entry points are transactions: everything is checked, the sums are added to copies of
// the parts the segmentation names, the copies are validated against the model, and only then
// do they replace the caller's; a thrown ModelError leaves the statistics exactly as before.

#include <span>

#include "core/data/data.hpp"
#include "core/inference/duration_occupancy.hpp"
#include "core/inference/mixture_occupancy.hpp"
#include "core/model/model.hpp"
#include "core/inference/occupancy.hpp"
#include "core/inference/score_table.hpp"
#include "core/training/statistics.hpp"

namespace tarvek {

// The posteriors of one HSMM pass, borrowed: duration posteriors, state occupancies (frames ×
// positions probabilities) and one mixture-component table per stream, with the state radius
// whose windows they cover.
template <Scalar S>
struct HsmmExpectation {
    const DurationOccupancies& durations;
    const StateScoreTable<S>& states;
    std::span<const MixtureOccupancies> mixtures;
    S state_radius;
};

// The posteriors of one geometric pass, borrowed, with the pruning slope of their band.
template <Scalar S>
struct GeometricExpectation {
    const TransitionOccupancies& transitions;
    const StateScoreTable<S>& states;
    std::span<const MixtureOccupancies> mixtures;
    S pruning_slope;
};

// Adds the cells of the state-radius windows (a cell in two windows twice): each present
// duration posterior entry p of duration n adds p·n, p·n·n and p to the duration sums; each
// cell adds its state occupancy o to the Gaussian's state occupancy and, where its mixture cell
// is present, each component weight p_m to the component's occupancy, p_m·x and x·(p_m·x) to
// its sums. Checks in order: the radius ("state pruning radius must be finite and
// nonnegative"); the statistics against the model (`validate_for`); the observation; the
// segmentation; the counts and shapes ("expectation dimensions or stream counts differ"); the
// observation's values ("expectation observations must be finite"); per position its duration
// state, then per stream the mixture table's shape, its emission state, the dimension and every
// mixture cell of the position; then the duration posteriors' shape ("duration posterior
// dimensions differ"); the boundaries ("expectation boundaries are unordered or out of range",
// "final boundary must match frame count"); during the accumulation each duration entry
// ("invalid duration posterior probability", "posterior duration overflows"); and last the
// accumulated sums (`validate_for`'s messages).
template <Scalar S>
void collect_hsmm(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                  const ObservationData<S>& observation, const SegmentationData<S>& segmentation,
                  const HsmmExpectation<S>& expectation);

// Adds the cells of the linear band of the inner frames 1 .. T − 2: a present transition
// entry's advance posterior to the duration value sum, the state occupancy to the duration
// occupancy, and the emission sums as above. Checks in order: as `collect_hsmm` from the
// statistics to the mixture cells; then the transition table's shape and the slope ("invalid
// transition dimensions or pruning slope"); during the accumulation each advance posterior
// ("invalid transition posterior probability"); and last the accumulated sums.
template <Scalar S>
void collect_geometric(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                       const ObservationData<S>& observation,
                       const SegmentationData<S>& segmentation,
                       const GeometricExpectation<S>& expectation);

namespace detail {

// The same, for the estimation drivers, which have validated `statistics` against `model`
// themselves just before (`statistics_validated` skips that first check, whose outcome cannot
// have changed).
template <Scalar S>
void collect_hsmm_checked(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                          const ObservationData<S>& observation,
                          const SegmentationData<S>& segmentation,
                          const HsmmExpectation<S>& expectation, bool statistics_validated);
template <Scalar S>
void collect_geometric_checked(ModelSufficientStatistics<S>& statistics,
                               const ModelParameters<S>& model,
                               const ObservationData<S>& observation,
                               const SegmentationData<S>& segmentation,
                               const GeometricExpectation<S>& expectation,
                               bool statistics_validated);

}  // namespace detail

}  // namespace tarvek
