#pragma once
// The in-memory form of a model: Gaussian mixtures, streams, Gaussian duration laws and the
// whole model, with the shape checks that every consumer relies on, and the slot-by-slot
// builders. Copies are deep: every value owns its arrays outright.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/model/streams_and_durations.hpp"
#include "core/numerics/change_stamp.hpp"
#include "core/numerics/error.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

template <Scalar S>
struct PreparedGaussianParameters;
template <Scalar S>
struct OwnedPreparedStreamParameters;
template <Scalar S>
struct DurationParameters;

// The first two checks of every mixture shape: both counts positive and below 2^31.
void check_mixture_counts(std::uint64_t mixture_count, std::uint64_t dimensions);
// The whole shape check of a mixture from its counts and array lengths.
void check_mixture_shape(std::uint64_t mixture_count, std::uint64_t dimensions, std::uint64_t means,
                         std::uint64_t variances, std::uint64_t variance_floors);
// m·d values of S must fit the address space (m·d·sizeof(S) below 2^63).
template <Scalar S>
void check_parameter_size(std::uint64_t mixture_count, std::uint64_t dimensions);

// One diagonal-covariance Gaussian mixture; component k, dimension j is at k·d + j.
template <Scalar S>
struct GaussianMixtureParameters {
    std::vector<S> weights;
    std::vector<S> means;
    std::vector<S> variances;
    std::vector<S> variance_floors;
    std::uint64_t dimensions = 0;

    GaussianMixtureParameters() = default;
    // Weights 1/m, zero means, variances and floors. Arrays beyond the allocation cap throw
    // std::bad_alloc.
    GaussianMixtureParameters(std::uint64_t mixture_count, std::uint64_t dimensions);

    std::uint64_t mixture_count() const noexcept { return weights.size(); }
    void check_shape() const;

    // Grows the mixture to `count` components by splitting the heaviest ones; unchanged on
    // failure.
    void increase_mixtures(std::uint64_t count, S displacement);
    // One component over the concatenated dimensions of single-component mixtures.
    static GaussianMixtureParameters combine(std::span<const GaussianMixtureParameters> mixtures);
    // One component whose dimension j is duration j's mean and variance.
    static GaussianMixtureParameters from_durations(
        std::span<const DurationParameters<S>> durations);

    // Validates the mixture and computes its normalizers; the mixture is consumed either way.
    PreparedGaussianParameters<S> prepare_owned() &&;
};

// One state's Gaussian duration law and its integer constraints (-1 when unset).
template <Scalar S>
struct DurationParameters {
    S mean = 0;
    S variance = 0;
    std::int32_t minimum_duration = -1;     // active when >= 1
    std::int32_t maximum_duration = -1;     // active when >= 1
    std::int32_t fixed_mean_duration = -1;  // active when >= 0
    S variance_floor = 0;

    // A finite mean and a finite positive variance: what every density of the law needs.
    bool has_valid_law() const noexcept;
    // Weighted Gaussian log density of `duration`, log zero below an active minimum.
    S log_probability(S duration, S weight) const;
    // The annealed log density (temperature times the weighted log density).
    S annealed_log_probability(std::uint64_t duration, S weight, S temperature) const;
    // The fast exponential of the annealed log density (32-bit precision in both widths).
    S probability(std::uint64_t duration, S weight, S temperature) const;
};

// One observation stream: a mixture per emission state and the stream's weight.
template <Scalar S>
struct StreamParameters {
    std::vector<GaussianMixtureParameters<S>> emissions;
    S weight = 1;

    StreamParameters() = default;
    StreamParameters(std::uint64_t emission_count, std::uint64_t mixture_count,
                     std::uint64_t dimensions);

    // The shape check of every emission in order.
    void validate() const;

    // Validates the stream and computes its normalizers; the stream is consumed either way.
    OwnedPreparedStreamParameters<S> prepare_owned() &&;
};

// (emission count, mixture count, dimensions) of one stream.
struct StreamLayout {
    std::uint64_t emissions = 0;
    std::uint64_t mixtures = 0;
    std::uint64_t dimensions = 0;
};

// A whole model: its streams and one duration law per state.
//
// Scoring checks the values of every mixture, which for a large model costs more than the
// utterance it scores; `scorable` remembers that they passed until the model changes.
template <Scalar S>
struct ModelParameters : StreamsAndDurations<StreamParameters<S>, DurationParameters<S>> {
    PassedCheck scorable;  // every mixture passed `check_scorable`

    using StreamsAndDurations<StreamParameters<S>, DurationParameters<S>>::StreamsAndDurations;
    ModelParameters() = default;
    // One stream per layout and `state_count` default durations.
    ModelParameters(std::span<const StreamLayout> layouts, std::uint64_t state_count);

    std::uint64_t state_count() const noexcept { return this->durations.size(); }
    // The shape check of every emission of every stream, in order.
    void validate_mixtures() const;
};

template <Scalar S>
struct ModelParametersBuilder {
    std::vector<std::optional<StreamParameters<S>>> streams;
    std::vector<std::optional<DurationParameters<S>>> durations;

    ModelParametersBuilder() = default;
    ModelParametersBuilder(std::uint64_t stream_count, std::uint64_t state_count);

    // Consumes the builder: its slots are taken out before anything is checked.
    ModelParameters<S> build() &&;
};

template <Scalar S>
struct StreamParametersBuilder {
    std::vector<std::optional<GaussianMixtureParameters<S>>> emissions;
    S weight = 1;

    StreamParametersBuilder() = default;
    explicit StreamParametersBuilder(std::uint64_t emission_count);

    // Consumes the builder: its slots are taken out before anything is checked.
    StreamParameters<S> build() &&;
};

}  // namespace tarvek
