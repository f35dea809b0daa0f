#pragma once
// Re-estimation of model parameters from sufficient statistics (the maximisation step of
// training). Every update is transactional: it computes on a copy and replaces the value only
// when every step succeeded, so a thrown ModelError leaves the parameters exactly as before.
// Variances never fall below the larger of the options' floor and the value's own floors;
// occupancies below `occupancy_threshold` leave the affected parameters untouched.

#include <cstdint>

#include "core/model/model.hpp"
#include "core/training/statistics.hpp"

namespace tarvek {

// Occupancies strictly below this count as none. Compared in 64 bits in both precisions, so
// the float and double models agree on which parameters are re-estimated.
inline constexpr double occupancy_threshold = 1e-7;

template <Scalar S>
struct UpdateOptions {
    S duration_variance_floor = S(0.05);
    S emission_variance_floor = S(0.01);
    // False: Gaussian duration laws from the duration sums. True: geometric durations from
    // summed advance posteriors (value sum) over summed occupancies.
    bool geometric = false;

    // From the duration mode code of the options classes: 0 explicit, 1 geometric, anything
    // else "invalid duration update mode". The floors are checked by the update itself.
    static UpdateOptions from_duration_mode(std::uint32_t duration_mode, S duration_variance_floor,
                                            S emission_variance_floor);
};

// Validates the statistics against the model and the option floors, then re-estimates every
// stream and every duration.
template <Scalar S>
void update(ModelParameters<S>& model, const ModelSufficientStatistics<S>& statistics,
            const UpdateOptions<S>& options);

// Re-estimates every emission of the stream; the stream weight is never changed.
template <Scalar S>
void update(StreamParameters<S>& stream, const StreamSufficientStatistics<S>& statistics,
            const UpdateOptions<S>& options);

// True when re-estimated, false when the state occupancy was below the threshold (nothing
// changes). Components below the threshold keep their values; weights are not renormalised.
template <Scalar S>
bool update(GaussianMixtureParameters<S>& mixture,
            const GaussianSufficientStatistics<S>& statistics, const UpdateOptions<S>& options);

// True when re-estimated, false when the occupancy was below the threshold (nothing
// changes). Only the mean and variance are written.
template <Scalar S>
bool update(DurationParameters<S>& duration, const DurationSufficientStatistics<S>& statistics,
            const UpdateOptions<S>& options);

}  // namespace tarvek
