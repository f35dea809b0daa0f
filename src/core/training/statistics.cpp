#include "core/training/statistics.hpp"

#include <algorithm>
#include <utility>

#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"
#include "core/numerics/scalar_ops.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

template <Scalar S>
std::vector<S> zeros(std::uint64_t count) {
    return allocate_or_fail(count, S(0), ModelError("statistics allocation failed"));
}

// ---- GaussianSufficientStatistics ---------------------------------------------------------

template <Scalar S>
void GaussianSufficientStatistics<S>::check_allocatable(std::uint64_t mixture_count,
                                                        std::uint64_t dimensions) {
    check_mixture_counts(mixture_count, dimensions);
    check_parameter_size<S>(mixture_count, dimensions);
    // Both counts are below 2^31, so the entry count cannot overflow. The three sums are
    // measured together, so none of them is zero-filled when they cannot all be.
    const std::uint64_t entries = mixture_count * dimensions;
    const auto bytes = checked_mul(checked_add(checked_mul(entries, 2), mixture_count), sizeof(S));
    if (!allocation_fits(bytes)) throw ModelError("statistics allocation failed");
}

template <Scalar S>
GaussianSufficientStatistics<S>::GaussianSufficientStatistics(std::uint64_t mixture_count,
                                                              std::uint64_t dimensions)
    : dimensions(dimensions) {
    check_allocatable(mixture_count, dimensions);
    const std::uint64_t entries = mixture_count * dimensions;
    weighted_sums = zeros<S>(entries);
    weighted_squared_sums = zeros<S>(entries);
    component_occupancies = zeros<S>(mixture_count);
}

template <Scalar S>
GaussianSufficientStatistics<S> GaussianSufficientStatistics<S>::from_mixture(
    const GaussianMixtureParameters<S>& mixture) {
    mixture.check_shape();
    return GaussianSufficientStatistics(mixture.mixture_count(), mixture.dimensions);
}

template <Scalar S>
void GaussianSufficientStatistics<S>::clear() noexcept {
    std::fill(weighted_sums.begin(), weighted_sums.end(), S(0));
    std::fill(weighted_squared_sums.begin(), weighted_squared_sums.end(), S(0));
    std::fill(component_occupancies.begin(), component_occupancies.end(), S(0));
    state_occupancy = S(0);
}

template <Scalar S>
void GaussianSufficientStatistics<S>::validate_for(
    const GaussianMixtureParameters<S>& mixture) const {
    validate_shape_for(mixture);
    validate_values();
}

template <Scalar S>
void GaussianSufficientStatistics<S>::validate_shape_for(
    const GaussianMixtureParameters<S>& mixture) const {
    mixture.check_shape();
    const std::uint64_t mixture_count = mixture.mixture_count();
    const std::uint64_t entries = mixture_count * mixture.dimensions;
    if (dimensions != mixture.dimensions || weighted_sums.size() != entries ||
        weighted_squared_sums.size() != entries || component_occupancies.size() != mixture_count) {
        throw ModelError("Gaussian statistics dimensions differ from the model");
    }
}

template <Scalar S>
void GaussianSufficientStatistics<S>::validate_values() const {
    // The weighted sums may have either sign; everything else is a sum of nonnegative terms.
    if (!is_finite_nonnegative(state_occupancy) || !all_finite(weighted_sums) ||
        !all_finite_nonnegative(weighted_squared_sums) ||
        !all_finite_nonnegative(component_occupancies)) {
        throw ModelError("Gaussian statistics contain invalid values");
    }
}

// ---- StreamSufficientStatistics -----------------------------------------------------------

template <Scalar S>
StreamSufficientStatistics<S> StreamSufficientStatistics<S>::from_stream(
    const StreamParameters<S>& stream) {
    stream.validate();
    StreamSufficientStatistics statistics;
    statistics.emissions.reserve(stream.emissions.size());
    for (const auto& mixture : stream.emissions) {
        statistics.emissions.emplace_back(mixture.mixture_count(), mixture.dimensions);
    }
    return statistics;
}

template <Scalar S>
void StreamSufficientStatistics<S>::clear() noexcept {
    for (auto& gaussian : emissions) gaussian.clear();
}

template <Scalar S>
const GaussianSufficientStatistics<S>& StreamSufficientStatistics<S>::emission_for(
    std::int32_t state, std::uint64_t dimension, const char* out_of_range,
    const char* dimensions_differ) const {
    if (state < 0 || static_cast<std::uint64_t>(state) >= emissions.size()) {
        throw ModelError::from_static(out_of_range);
    }
    const GaussianSufficientStatistics<S>& gaussian = emissions[static_cast<std::size_t>(state)];
    if (gaussian.dimensions != dimension) throw ModelError::from_static(dimensions_differ);
    return gaussian;
}

// ---- DurationSufficientStatistics ---------------------------------------------------------

template <Scalar S>
void DurationSufficientStatistics<S>::validate() const {
    if (!is_finite_nonnegative(value_sum) || !is_finite_nonnegative(squared_sum) ||
        !is_finite_nonnegative(occupancy)) {
        throw ModelError("duration statistics must be finite and nonnegative");
    }
}

// ---- ModelSufficientStatistics ------------------------------------------------------------

template <Scalar S>
ModelSufficientStatistics<S> ModelSufficientStatistics<S>::from_model(
    const ModelParameters<S>& model) {
    // A later stream's bad shape is reported before an earlier stream is built.
    model.validate_mixtures();
    std::vector<StreamSufficientStatistics<S>> streams;
    streams.reserve(model.streams.size());
    for (const auto& stream : model.streams) {
        streams.push_back(StreamSufficientStatistics<S>::from_stream(stream));
    }
    return ModelSufficientStatistics(
        std::move(streams), std::vector<DurationSufficientStatistics<S>>(model.durations.size()));
}

template <Scalar S>
void ModelSufficientStatistics<S>::clear() noexcept {
    const auto edit = this->edit();
    for (auto& stream : edit.streams()) stream.clear();
    std::fill(edit.durations().begin(), edit.durations().end(), DurationSufficientStatistics<S>{});
}

template <Scalar S>
void ModelSufficientStatistics<S>::validate_for(const ModelParameters<S>& model) const {
    const RememberedCheck values(valid_values, this->stamp);
    const auto& streams = this->streams;
    const auto& durations = this->durations;
    if (streams.size() != model.streams.size() || durations.size() != model.durations.size()) {
        throw ModelError("statistics stream or duration counts differ from the model");
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const auto& gaussians = streams[i].emissions;
        const auto& mixtures = model.streams[i].emissions;
        if (gaussians.size() != mixtures.size()) {
            throw ModelError("statistics emission counts differ from the model");
        }
        for (std::size_t j = 0; j < gaussians.size(); ++j) {
            gaussians[j].validate_shape_for(mixtures[j]);
            // Values that passed can only fail again after a change.
            values.run([&] { gaussians[j].validate_values(); });
        }
    }
    values.run([&] {
        for (const auto& duration : durations) duration.validate();
    });
    values.remember();
}

template std::vector<float> zeros<float>(std::uint64_t);
template std::vector<double> zeros<double>(std::uint64_t);
template struct GaussianSufficientStatistics<float>;
template struct GaussianSufficientStatistics<double>;
template struct StreamSufficientStatistics<float>;
template struct StreamSufficientStatistics<double>;
template struct DurationSufficientStatistics<float>;
template struct DurationSufficientStatistics<double>;
template struct ModelSufficientStatistics<float>;
template struct ModelSufficientStatistics<double>;

}  // namespace tarvek
