#include "core/training/update.hpp"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "core/numerics/error.hpp"
#include "core/numerics/scalar_ops.hpp"

namespace tarvek {

namespace {

template <Scalar S>
bool below_threshold(S occupancy) noexcept {
    return static_cast<double>(occupancy) < occupancy_threshold;
}

// max(max(value, first), second) in 64 bits, rounded back to S.
template <Scalar S>
S floored(S value, S first, S second) noexcept {
    return static_cast<S>(
        max_ignoring_nan(max_ignoring_nan(static_cast<double>(value), static_cast<double>(first)),
                         static_cast<double>(second)));
}

template <Scalar S>
void check_option_floors(const UpdateOptions<S>& options) {
    if (!is_finite_nonnegative(options.duration_variance_floor) ||
        !is_finite_nonnegative(options.emission_variance_floor)) {
        throw ModelError("variance floors must be finite and nonnegative");
    }
}

// Every check of a mixture update, in order: shape, statistics, option floors, own floors.
template <Scalar S>
void check_mixture_update(const GaussianMixtureParameters<S>& mixture,
                          const GaussianSufficientStatistics<S>& statistics,
                          const UpdateOptions<S>& options) {
    statistics.validate_for(mixture);
    check_option_floors(options);
    for (const S floor : mixture.variance_floors) {
        if (!is_finite_nonnegative(floor)) {
            throw ModelError("emission variance floors must be finite and nonnegative");
        }
    }
}

// Writes the re-estimate of every component at or above the threshold into `mixture`. A
// failure leaves it partly written: callers run this on a copy they drop on error.
template <Scalar S>
void reestimate_components(GaussianMixtureParameters<S>& mixture,
                           const GaussianSufficientStatistics<S>& statistics,
                           const UpdateOptions<S>& options) {
    const std::size_t d = mixture.dimensions;
    const std::size_t m = mixture.mixture_count();
    const S state_occupancy = statistics.state_occupancy;
    const S option_floor = options.emission_variance_floor;
    for (std::size_t k = 0; k < m; ++k) {
        const S c = statistics.component_occupancies[k];
        if (below_threshold(c)) continue;
        const S weight = c / state_occupancy;
        if (!std::isfinite(weight)) throw ModelError("mixture weight update overflows");
        mixture.weights[k] = weight;

        const std::size_t offset = k * d;
        const S* sums = statistics.weighted_sums.data() + offset;
        const S* squared_sums = statistics.weighted_squared_sums.data() + offset;
        const S* own_floors = mixture.variance_floors.data() + offset;
        S* means = mixture.means.data() + offset;
        S* variances = mixture.variances.data() + offset;
        // Dimensions are independent; the whole component is computed before its one check.
        unsigned finite = 1;
        for (std::size_t j = 0; j < d; ++j) {
            const S mean = sums[j] / c;
            const S variance = squared_sums[j] / c - mean * mean;
            finite &= static_cast<unsigned>(std::isfinite(mean) & std::isfinite(variance));
            means[j] = mean;
            variances[j] = floored(variance, option_floor, own_floors[j]);
        }
        if (!finite) throw ModelError("Gaussian update overflows");
    }
}

// The stream-level checks: emission counts, then the option floors.
template <Scalar S>
void check_stream_update(const StreamParameters<S>& stream,
                         const StreamSufficientStatistics<S>& statistics,
                         const UpdateOptions<S>& options) {
    if (stream.emissions.size() != statistics.emissions.size()) {
        throw ModelError("stream statistics emission count differs");
    }
    check_option_floors(options);
}

// Checks and re-estimates every emission in order, in place: run on a copy.
template <Scalar S>
void update_emissions(std::vector<GaussianMixtureParameters<S>>& emissions,
                      const StreamSufficientStatistics<S>& statistics,
                      const UpdateOptions<S>& options) {
    for (std::size_t e = 0; e < emissions.size(); ++e) {
        const GaussianSufficientStatistics<S>& gaussian = statistics.emissions[e];
        check_mixture_update(emissions[e], gaussian, options);
        if (!below_threshold(gaussian.state_occupancy)) {
            reestimate_components(emissions[e], gaussian, options);
        }
    }
}

}  // namespace

template <Scalar S>
UpdateOptions<S> UpdateOptions<S>::from_duration_mode(std::uint32_t duration_mode,
                                                      S duration_variance_floor,
                                                      S emission_variance_floor) {
    if (duration_mode > 1) throw ModelError("invalid duration update mode");
    return UpdateOptions{duration_variance_floor, emission_variance_floor, duration_mode == 1};
}

template <Scalar S>
void update(ModelParameters<S>& model, const ModelSufficientStatistics<S>& statistics,
            const UpdateOptions<S>& options) {
    statistics.validate_for(model);
    check_option_floors(options);
    std::vector<StreamParameters<S>> streams = model.streams;
    std::vector<DurationParameters<S>> durations = model.durations;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        check_stream_update(streams[i], statistics.streams[i], options);
        update_emissions(streams[i].emissions, statistics.streams[i], options);
    }
    for (std::size_t j = 0; j < durations.size(); ++j) {
        update(durations[j], statistics.durations[j], options);
    }
    model = ModelParameters<S>(std::move(streams), std::move(durations));
}

template <Scalar S>
void update(StreamParameters<S>& stream, const StreamSufficientStatistics<S>& statistics,
            const UpdateOptions<S>& options) {
    check_stream_update(stream, statistics, options);
    std::vector<GaussianMixtureParameters<S>> emissions = stream.emissions;
    update_emissions(emissions, statistics, options);
    stream.emissions = std::move(emissions);
}

template <Scalar S>
bool update(GaussianMixtureParameters<S>& mixture,
            const GaussianSufficientStatistics<S>& statistics, const UpdateOptions<S>& options) {
    check_mixture_update(mixture, statistics, options);
    if (below_threshold(statistics.state_occupancy)) return false;
    GaussianMixtureParameters<S> updated = mixture;
    reestimate_components(updated, statistics, options);
    mixture = std::move(updated);
    return true;
}

template <Scalar S>
bool update(DurationParameters<S>& duration, const DurationSufficientStatistics<S>& statistics,
            const UpdateOptions<S>& options) {
    statistics.validate();
    check_option_floors(options);
    if (!is_finite_nonnegative(duration.variance_floor)) {
        throw ModelError("duration variance floor must be finite and nonnegative");
    }
    const S n = statistics.occupancy;
    if (below_threshold(n)) return false;

    const S m = statistics.value_sum / n;
    S mean;
    S variance;
    if (options.geometric) {
        // m is the advance rate; the expected stay of a geometric law is its inverse.
        if (m <= S(0)) throw ModelError("geometric update requires positive transition occupancy");
        mean = static_cast<S>(max_ignoring_nan(1.0 / static_cast<double>(m), 1.0));
        variance = mean;
    } else {
        const S e = statistics.squared_sum / n;
        if (duration.fixed_mean_duration >= 0) {
            // The second moment about the fixed mean f: f² + (E[x²] − 2f·E[x]).
            const S f = static_cast<S>(duration.fixed_mean_duration);
            mean = f;
            variance = f * f + (e - m * (S(2) * f));
        } else {
            mean = m;
            variance = e - m * m;
        }
    }
    if (!std::isfinite(mean) || !std::isfinite(variance)) {
        throw ModelError("duration update overflows");
    }
    duration.mean = mean;
    duration.variance = floored(variance, options.duration_variance_floor, duration.variance_floor);
    return true;
}

template struct UpdateOptions<float>;
template struct UpdateOptions<double>;
template void update<float>(ModelParameters<float>&, const ModelSufficientStatistics<float>&,
                            const UpdateOptions<float>&);
template void update<double>(ModelParameters<double>&, const ModelSufficientStatistics<double>&,
                             const UpdateOptions<double>&);
template void update<float>(StreamParameters<float>&, const StreamSufficientStatistics<float>&,
                            const UpdateOptions<float>&);
template void update<double>(StreamParameters<double>&, const StreamSufficientStatistics<double>&,
                             const UpdateOptions<double>&);
template bool update<float>(GaussianMixtureParameters<float>&,
                            const GaussianSufficientStatistics<float>&,
                            const UpdateOptions<float>&);
template bool update<double>(GaussianMixtureParameters<double>&,
                             const GaussianSufficientStatistics<double>&,
                             const UpdateOptions<double>&);
template bool update<float>(DurationParameters<float>&, const DurationSufficientStatistics<float>&,
                            const UpdateOptions<float>&);
template bool update<double>(DurationParameters<double>&,
                             const DurationSufficientStatistics<double>&,
                             const UpdateOptions<double>&);

}  // namespace tarvek
