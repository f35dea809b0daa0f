#pragma once
// Starting statistics from a hard segmentation: every frame of a segment counts with weight 1
// for the segment's emission state in every stream, and every segment adds its length as one
// observation of its duration state. An explicit-duration update afterwards gives each
// emission the mean and variance of its frames and each duration those of its lengths.

#include "core/data/data.hpp"
#include "core/model/model.hpp"
#include "core/training/statistics.hpp"

namespace tarvek {

// Adds one segmented observation to `statistics`. Every check runs before anything is added,
// and the sums are validated against `model` before they replace the caller's, so a thrown
// ModelError leaves `statistics` unchanged. Emissions named by a segment must have a single
// component; frames past the last boundary add nothing.
template <Scalar S>
void collect_initialization(ModelSufficientStatistics<S>& statistics,
                            const ModelParameters<S>& model, const ObservationData<S>& observation,
                            const SegmentationData<S>& segmentation);

}  // namespace tarvek
