#pragma once
// Mixture-component occupancies: each computed cell's state occupancy split over the
// components of the Gaussian mixture that the position uses in one stream. Values are 32-bit
// in both precisions.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/data/data.hpp"
#include "core/inference/flat_posteriors.hpp"
#include "core/inference/score_table.hpp"
#include "core/model/model.hpp"
#include "core/model/preparation.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

// Which cells are computed. Only the lowest bit of the code is looked at.
enum class MixtureOccupancyMode : std::uint32_t {
    state_radius = 0,  // the state-radius window of each segment, every frame (the radius)
    linear_band = 1,   // the linear band of the inner frames 1 .. T − 2 (the slope)
};

// A frames × states table in the flat layout whose present cells hold one weight per
// component.
struct MixtureOccupancies : FlatPosteriorTable {
    // A `valid_layout`; else "mixture occupancies require positive matching dimensions and
    // finite nonnegative weights".
    static MixtureOccupancies from_values(std::uint64_t frames, std::uint64_t states,
                                          TableVector<std::uint8_t> presence,
                                          TableVector<std::uint64_t> offsets,
                                          TableVector<float> values);

    // The cell's weights; empty when the frame or state is out of range or the cell is absent.
    std::optional<std::span<const float>> get(std::uint64_t frame,
                                              std::uint64_t state) const noexcept;

    bool operator==(const MixtureOccupancies&) const = default;
};

// For each computed cell (t, s) with occupancy o, frame x and the position's mixture in
// `stream` (weights w_m, component log densities d_m, annealed log probability lp): the
// weights w_m · e^(fast_ln(o) − lp + d_m · temperature), the exponential of the table (capped
// at 1 in the linear-band mode), a NaN stored as 0. Checks in order: the observation, the
// segmentation, the occupancy table's shape and the stream counts, the temperature, the mode
// parameter (and for the state radius the boundaries), the stream index, the stream's emission
// states, each mixture's dimensions and normalizers, then the allocations. A non-finite value
// in a frame that a computed cell reads fails with the mixture scoring's message.
template <Scalar S>
MixtureOccupancies mixture_occupancies(const ModelParameters<S>& model,
                                       const ObservationData<S>& observation,
                                       const SegmentationData<S>& segmentation,
                                       const StateScoreTable<S>& occupancies, std::uint64_t stream,
                                       MixtureOccupancyMode mode, S temperature, S parameter);

namespace detail {

// `mixture_occupancies` with the stream's normalizers from `detail::prepare_emissions` of the
// same model and segmentation, once an emission table of the same model and observation has
// been computed: that table's checks cover the stream's mixtures, whose own checks are then
// skipped (they cannot fail).
template <Scalar S>
MixtureOccupancies prepared_mixture_occupancies(const ModelParameters<S>& model,
                                                const ObservationData<S>& observation,
                                                const SegmentationData<S>& segmentation,
                                                const StateScoreTable<S>& occupancies,
                                                std::uint64_t stream, MixtureOccupancyMode mode,
                                                S temperature, S parameter,
                                                const StreamPreparation<S>& prepared);

}  // namespace detail

}  // namespace tarvek
