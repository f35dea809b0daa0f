#pragma once
// The log-emission table of one observation against the positions of a reference
// segmentation: cell (t, s) is the sum over streams of the stream weight times the annealed
// mixture log probability of frame t under the emission state of position s. A pruning mode
// chooses the cells that are computed; every other cell holds log zero.

#include <cstdint>
#include <vector>

#include "core/data/data.hpp"
#include "core/inference/score_table.hpp"
#include "core/model/model.hpp"
#include "core/model/preparation.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

// Which cells are computed; the one scalar parameter beside the mode is the radius or slope.
enum class EmissionPruningMode : std::uint32_t {
    none = 0,          // every cell
    state_radius = 1,  // the state-radius window of each segment (parameter: the radius)
    linear_band = 2,   // the linear band of each frame (parameter: the slope)
};

// Prepares the streams first: each stream's weight, every mixture's values and the
// normalizers of the emission states the segmentation names (a non-finite stream weight or an
// invalid mixture fails there, before the inputs are checked); then checks the observation, the
// segmentation, the mixture shapes, the table shape, the stream counts, the temperature, the
// pruning parameter (and for the state radius the boundaries), the weights, emission states
// and dimensions per stream, and allocates the table. A non-finite value in a frame that some
// computed cell reads fails with the mixture scoring's message.
template <Scalar S>
StateScoreTable<S> emission_log_probabilities(const ModelParameters<S>& model,
                                              const ObservationData<S>& observation,
                                              const SegmentationData<S>& segmentation,
                                              EmissionPruningMode mode, S temperature, S parameter);

// The same table from a prepared model's mixtures and normalizers, bit for bit; `model`
// supplies the stream weights and is checked as above but with no preparation phase, so the
// weights are first checked with the other per-stream checks. A stream or emission state that
// the prepared model lacks fails with "emission state is out of range".
template <Scalar S>
StateScoreTable<S> sample_emission_densities(const ModelParameters<S>& model,
                                             const ObservationData<S>& observation,
                                             const SegmentationData<S>& segmentation,
                                             EmissionPruningMode mode,
                                             const OwnedPreparedModelParameters<S>& prepared,
                                             S temperature, S parameter);

namespace detail {

// The preparation `emission_log_probabilities` makes first: per stream the weight, every
// mixture's checks and the normalizers of the emission states the segmentation names.
template <Scalar S>
std::vector<StreamPreparation<S>> prepare_emissions(const ModelParameters<S>& model,
                                                    const SegmentationData<S>& segmentation);

// `emission_log_probabilities` after that preparation, so that a caller scoring the same
// streams again (one-utterance estimation's mixture occupancies) computes the normalizers once.
template <Scalar S>
StateScoreTable<S> prepared_emission_log_probabilities(
    const ModelParameters<S>& model, const ObservationData<S>& observation,
    const SegmentationData<S>& segmentation, EmissionPruningMode mode, S temperature, S parameter,
    const std::vector<StreamPreparation<S>>& prepared);

}  // namespace detail

}  // namespace tarvek
