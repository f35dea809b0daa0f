#include "core/model/model_operations.hpp"

#include <algorithm>
#include <cmath>

#include "core/numerics/allocation.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

namespace {

template <Scalar S>
void check_duration_law(const DurationParameters<S>& duration) {
    if (!duration.has_valid_law()) {
        throw ModelError("duration requires a finite mean and positive variance");
    }
}

// w · ℓ(x), the weighted Gaussian log density; the product by the weight is in S.
template <Scalar S>
S weighted_log_density(const DurationParameters<S>& duration, S x, S weight) noexcept {
    const S normalizer = duration_normalizer(duration.variance);
    return duration_gaussian_term(x, duration.mean, duration.variance, normalizer) * weight;
}

}  // namespace

// ---- Durations ----------------------------------------------------------------------------

template <Scalar S>
bool DurationParameters<S>::has_valid_law() const noexcept {
    return std::isfinite(mean) && std::isfinite(variance) && variance > S(0);
}

template <Scalar S>
S DurationParameters<S>::log_probability(S duration, S weight) const {
    check_duration_law(*this);
    if (!std::isfinite(duration) || !std::isfinite(weight)) {
        throw ModelError("duration and weight must be finite");
    }
    if (minimum_duration >= 1 && duration < static_cast<S>(minimum_duration)) return log_zero<S>;
    return weighted_log_density(*this, duration, weight);
}

template <Scalar S>
S DurationParameters<S>::annealed_log_probability(std::uint64_t duration, S weight,
                                                  S temperature) const {
    if (duration >= legacy_count_limit || !is_finite_nonnegative(temperature)) {
        throw ModelError("duration must fit i32 and temperature must be finite and nonnegative");
    }
    check_duration_law(*this);
    if (!std::isfinite(weight)) throw ModelError("duration and weight must be finite");
    const bool below_minimum =
        minimum_duration >= 1 && duration < static_cast<std::uint64_t>(minimum_duration);
    if (temperature == S(0)) return below_minimum ? log_zero<S> : S(0);
    if (below_minimum) return temperature * log_zero<S>;
    return temperature * weighted_log_density(*this, static_cast<S>(duration), weight);
}

template <Scalar S>
S DurationParameters<S>::probability(std::uint64_t duration, S weight, S temperature) const {
    // The 64-bit exponent is rounded to 32 bits inside the fast exponential.
    return fast_exp(annealed_log_probability(duration, weight, temperature));
}

// ---- Mixture growth -----------------------------------------------------------------------

template <Scalar S>
void GaussianMixtureParameters<S>::increase_mixtures(std::uint64_t count, S displacement) {
    check_shape();
    std::uint64_t components = mixture_count();
    if (count <= components) return;
    if (count >= legacy_count_limit || !std::isfinite(displacement)) {
        throw ModelError("invalid mixture count or displacement");
    }
    const bool finite_parameters =
        all_finite_nonnegative(weights) && all_finite(means) && all_finite_nonnegative(variances);
    if (!finite_parameters) {
        throw ModelError(
            "splitting requires finite parameters and nonnegative weights and variances");
    }

    // Refuse oversized requests before reserving anything (the grown mixture is measured as a
    // whole), then reserve; the values change only after every reservation succeeded.
    const ModelError weights_failure("mixture allocation failed");
    const ModelError parameters_failure("parameter allocation failed");
    const auto entries = checked_mul(count, dimensions);
    const auto weight_bytes = checked_mul(count, sizeof(S));
    if (!allocation_fits(weight_bytes)) throw weights_failure;
    if (!entries || !allocation_fits(checked_add(
                        weight_bytes, checked_mul(checked_mul(*entries, 3), sizeof(S))))) {
        throw parameters_failure;
    }
    reserve_or_fail(weights, count, weights_failure);
    reserve_or_fail(means, *entries, parameters_failure);
    reserve_or_fail(variances, *entries, parameters_failure);
    reserve_or_fail(variance_floors, *entries, parameters_failure);

    const std::size_t d = dimensions;
    const double wide_displacement = static_cast<double>(displacement);
    while (components < count) {
        // The first of equal weights wins.
        std::size_t heaviest = 0;
        for (std::size_t i = 1; i < components; ++i) {
            if (weights[i] > weights[heaviest]) heaviest = i;
        }
        const S half = weights[heaviest] * S(0.5);
        weights[heaviest] = half;
        weights.push_back(half);
        for (std::size_t j = 0; j < d; ++j) {
            const std::size_t at = heaviest * d + j;
            const double mean = static_cast<double>(means[at]);
            const S variance = variances[at];
            const S floor = variance_floors[at];
            const double shift = wide_displacement * std::sqrt(static_cast<double>(variance));
            means[at] = static_cast<S>(mean - shift);
            means.push_back(static_cast<S>(mean + shift));
            variances.push_back(variance);
            variance_floors.push_back(floor);
        }
        ++components;
    }
}

// ---- Joining ------------------------------------------------------------------------------

template <Scalar S>
GaussianMixtureParameters<S> GaussianMixtureParameters<S>::combine(
    std::span<const GaussianMixtureParameters> mixtures) {
    std::optional<std::uint64_t> total = 0;
    for (const auto& mixture : mixtures) {
        mixture.check_shape();
        if (mixture.mixture_count() != 1) {
            throw ModelError("combination requires single-component distributions");
        }
        total = checked_add(total, mixture.dimensions);
        if (!total) throw ModelError("combined dimensions overflow");
    }
    GaussianMixtureParameters result(1, *total);
    auto means = result.means.begin();
    auto variances = result.variances.begin();
    auto floors = result.variance_floors.begin();
    for (const auto& mixture : mixtures) {
        means = std::copy(mixture.means.begin(), mixture.means.end(), means);
        variances = std::copy(mixture.variances.begin(), mixture.variances.end(), variances);
        floors = std::copy(mixture.variance_floors.begin(), mixture.variance_floors.end(), floors);
    }
    return result;
}

template <Scalar S>
GaussianMixtureParameters<S> GaussianMixtureParameters<S>::from_durations(
    std::span<const DurationParameters<S>> durations) {
    GaussianMixtureParameters result(1, durations.size());
    for (std::size_t j = 0; j < durations.size(); ++j) {
        result.means[j] = durations[j].mean;
        result.variances[j] = durations[j].variance;
    }
    return result;
}

#define TARVEK_INSTANTIATE(S)                                                              \
    template bool DurationParameters<S>::has_valid_law() const noexcept;                   \
    template S DurationParameters<S>::log_probability(S, S) const;                         \
    template S DurationParameters<S>::annealed_log_probability(std::uint64_t, S, S) const; \
    template S DurationParameters<S>::probability(std::uint64_t, S, S) const;              \
    template void GaussianMixtureParameters<S>::increase_mixtures(std::uint64_t, S);       \
    template GaussianMixtureParameters<S> GaussianMixtureParameters<S>::combine(           \
        std::span<const GaussianMixtureParameters<S>>);                                    \
    template GaussianMixtureParameters<S> GaussianMixtureParameters<S>::from_durations(    \
        std::span<const DurationParameters<S>>);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
