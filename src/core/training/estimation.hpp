#pragma once
// One-utterance estimation: the whole expectation step for one observation along its reference
// segmentation (emission scoring, forward and backward passes, every posterior) added to the
// statistics, returning the observation's total log-likelihood. Only the statistics change, and
// only through the transaction of the accumulation: on any error they are exactly as before.

#include "core/data/data.hpp"
#include "core/inference/hsmm_durations.hpp"
#include "core/model/model.hpp"
#include "core/training/statistics.hpp"

namespace tarvek {

// Explicit durations. In order: the statistics against the model, the emission table over the
// state-radius windows, the forward and backward passes (the model's own durations), the
// total (the log-add, from log zero, over the frames t of forward end[t][0] + backward
// end[t][0]), the duration posteriors, the state occupancies, the mixture-component posteriors
// stream by stream, then `collect_hsmm`. The first error is thrown unchanged; "forward/backward
// dimensions or state index do not match" when the passes disagree.
template <Scalar S>
S estimate_hsmm(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                const ObservationData<S>& observation, const SegmentationData<S>& segmentation,
                const HsmmOptions<S>& options);

// Geometric durations over the linear band. In order: the statistics against the model, the
// emission table, the forward and backward passes, the total (backward[0][0] +
// emission[0][0]), the transition posteriors, the state occupancies, the mixture-component
// posteriors stream by stream, then `collect_geometric`. "backward and emission dimensions do
// not match" when the backward table's shape differs from the emission table's.
template <Scalar S>
S estimate_geometric(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                     const ObservationData<S>& observation, const SegmentationData<S>& segmentation,
                     S temperature, S pruning_slope);

}  // namespace tarvek
