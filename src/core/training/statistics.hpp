#pragma once
// Sufficient statistics for expectation-maximisation training: sums shaped like a model that
// the expectation adds to and the update re-estimates from. Values are stored unchecked;
// `validate_for` checks them against a model before any routine relies on them. Copies are
// deep.

#include <cstdint>
#include <vector>

#include "core/model/model.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

// `count` zero scalars; "statistics allocation failed" when they cannot be allocated.
template <Scalar S>
std::vector<S> zeros(std::uint64_t count);

// The sums of one Gaussian mixture (m components, d dimensions); component k, dimension j is
// at k·d + j. m is the length of `component_occupancies`.
template <Scalar S>
struct GaussianSufficientStatistics {
    std::vector<S> weighted_sums;          // m·d
    std::vector<S> weighted_squared_sums;  // m·d
    std::vector<S> component_occupancies;  // m
    std::uint64_t dimensions = 0;
    S state_occupancy = 0;

    // Holds no component; only useful as a placeholder to assign to.
    GaussianSufficientStatistics() = default;
    // Zero sums of m components over d dimensions, after the mixture count checks and the
    // address-space check; "statistics allocation failed" when the sums cannot be allocated.
    GaussianSufficientStatistics(std::uint64_t mixture_count, std::uint64_t dimensions);
    // Zero sums shaped like `mixture`, after its shape check. Its values are not read.
    static GaussianSufficientStatistics from_mixture(const GaussianMixtureParameters<S>& mixture);
    // The constructor's checks, in its order, without building anything: the mixture count
    // checks, the address-space check, and "statistics allocation failed" for sums of that
    // shape that could not be allocated.
    static void check_allocatable(std::uint64_t mixture_count, std::uint64_t dimensions);

    std::uint64_t mixture_count() const noexcept { return component_occupancies.size(); }
    // Zeroes every sum and the state occupancy; the shape stays.
    void clear() noexcept;
    // The mixture's shape check, then these sums' shape against it (`validate_shape_for`),
    // then their values (`validate_values`).
    void validate_for(const GaussianMixtureParameters<S>& mixture) const;
    void validate_shape_for(const GaussianMixtureParameters<S>& mixture) const;
    // The weighted sums finite, everything else finite and nonnegative.
    void validate_values() const;
};

// One stream's statistics: one Gaussian's per emission state, in the stream's order.
template <Scalar S>
struct StreamSufficientStatistics {
    std::vector<GaussianSufficientStatistics<S>> emissions;

    // Zero sums shaped like `stream`: every mixture's shape is checked before any is built.
    static StreamSufficientStatistics from_stream(const StreamParameters<S>& stream);

    void clear() noexcept;

    // The sums of emission state `state`, which must exist and take frames of `dimension`
    // values; else fails with `out_of_range` or `dimensions_differ` (literals).
    const GaussianSufficientStatistics<S>& emission_for(std::int32_t state, std::uint64_t dimension,
                                                        const char* out_of_range,
                                                        const char* dimensions_differ) const;
};

// One state's duration sums.
template <Scalar S>
struct DurationSufficientStatistics {
    S value_sum = 0;    // weighted sum of durations
    S squared_sum = 0;  // weighted sum of squared durations
    S occupancy = 0;    // sum of the weights

    // All three finite and nonnegative (negative zero passes).
    void validate() const;
};

// A whole model's statistics: one entry per model stream and one per state.
//
// `validate_for` checks every value, which for a large model costs more than accumulating one
// utterance; `valid_values` remembers that they passed until the statistics change. The checks
// against the model's shape are cheap and always made.
template <Scalar S>
struct ModelSufficientStatistics
    : StreamsAndDurations<StreamSufficientStatistics<S>, DurationSufficientStatistics<S>> {
    PassedCheck valid_values;  // every sum passed the value checks of `validate_for`

    using StreamsAndDurations<StreamSufficientStatistics<S>,
                              DurationSufficientStatistics<S>>::StreamsAndDurations;

    // Zero sums shaped like `model`. Every mixture of every stream is shape-checked before
    // anything is built; the durations' parameters are not examined.
    static ModelSufficientStatistics from_model(const ModelParameters<S>& model);

    void clear() noexcept;
    // Counts, then stream by stream the emission count and each Gaussian (`validate_for`),
    // then the duration sums; the first failure is thrown.
    void validate_for(const ModelParameters<S>& model) const;
};

}  // namespace tarvek
