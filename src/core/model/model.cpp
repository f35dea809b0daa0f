#include "core/model/model.hpp"

#include <utility>

#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

// Bytes of one mixture of m components over d dimensions (its object and four arrays).
template <Scalar S>
std::optional<std::uint64_t> mixture_bytes(std::uint64_t mixture_count, std::uint64_t dimensions) {
    const auto entries = checked_mul(mixture_count, dimensions);
    const auto values = checked_add(mixture_count, checked_mul(entries, 3));
    return checked_add(checked_mul(values, sizeof(S)),
                       sizeof(GaussianMixtureParameters<S>) + 4 * heap_block_overhead);
}

// The checks of making a stream from `layout`, in the order the stream constructor runs them,
// ending with the stream's emission array reserved; returns the bytes its mixtures will take.
// The stream and model constructors share it, so a layout fails alike in either.
template <Scalar S>
std::optional<std::uint64_t> reserve_stream(StreamParameters<S>& stream,
                                            const StreamLayout& layout) {
    if (layout.emissions >= legacy_count_limit) {
        throw ModelError("emission count exceeds the legacy format");
    }
    reserve_or_fail(stream.emissions, layout.emissions, ModelError("stream allocation failed"));
    if (layout.emissions == 0) return 0;
    check_mixture_counts(layout.mixtures, layout.dimensions);
    check_parameter_size<S>(layout.mixtures, layout.dimensions);
    return checked_mul(mixture_bytes<S>(layout.mixtures, layout.dimensions), layout.emissions);
}

// Makes the mixtures of a stream that `reserve_stream` has checked and reserved.
template <Scalar S>
void fill_stream(StreamParameters<S>& stream, const StreamLayout& layout) {
    for (std::uint64_t e = 0; e < layout.emissions; ++e) {
        stream.emissions.emplace_back(layout.mixtures, layout.dimensions);
    }
}

}  // namespace

void check_mixture_counts(std::uint64_t mixture_count, std::uint64_t dimensions) {
    if (mixture_count == 0 || dimensions == 0) {
        throw ModelError("mixture count and dimensions must be positive");
    }
    if (mixture_count >= legacy_count_limit || dimensions >= legacy_count_limit) {
        throw ModelError("dimensions exceed the legacy format");
    }
}

void check_mixture_shape(std::uint64_t mixture_count, std::uint64_t dimensions, std::uint64_t means,
                         std::uint64_t variances, std::uint64_t variance_floors) {
    check_mixture_counts(mixture_count, dimensions);
    // Both counts are below 2^31, so the product cannot overflow.
    const std::uint64_t entries = mixture_count * dimensions;
    if (means != entries || variances != entries || variance_floors != entries) {
        throw ModelError("parameter lengths do not match dimensions");
    }
}

template <Scalar S>
void check_parameter_size(std::uint64_t mixture_count, std::uint64_t dimensions) {
    const auto bytes = checked_mul(checked_mul(mixture_count, dimensions), sizeof(S));
    if (!bytes || *bytes >= (std::uint64_t{1} << 63)) {
        throw ModelError("parameter allocation exceeds addressable memory");
    }
}

// ---- GaussianMixtureParameters ------------------------------------------------------------

template <Scalar S>
GaussianMixtureParameters<S>::GaussianMixtureParameters(std::uint64_t mixture_count,
                                                        std::uint64_t dimensions)
    : dimensions(dimensions) {
    check_mixture_counts(mixture_count, dimensions);
    check_parameter_size<S>(mixture_count, dimensions);
    // Refuse the whole value before anything is zero-filled.
    require_allocatable(mixture_bytes<S>(mixture_count, dimensions));
    const std::uint64_t entries = mixture_count * dimensions;
    weights.assign(mixture_count, static_cast<S>(1.0 / static_cast<double>(mixture_count)));
    means.assign(entries, S(0));
    variances.assign(entries, S(0));
    variance_floors.assign(entries, S(0));
}

template <Scalar S>
void GaussianMixtureParameters<S>::check_shape() const {
    check_mixture_shape(weights.size(), dimensions, means.size(), variances.size(),
                        variance_floors.size());
}

// ---- StreamParameters ---------------------------------------------------------------------

template <Scalar S>
StreamParameters<S>::StreamParameters(std::uint64_t emission_count, std::uint64_t mixture_count,
                                      std::uint64_t dimensions) {
    const StreamLayout layout{emission_count, mixture_count, dimensions};
    // Every emission has the same shape: refuse the whole stream when it could not be
    // allocated, before any mixture is zero-filled.
    require_allocatable(reserve_stream(*this, layout));
    fill_stream(*this, layout);
}

template <Scalar S>
void StreamParameters<S>::validate() const {
    for (const auto& mixture : emissions) mixture.check_shape();
}

// ---- ModelParameters ----------------------------------------------------------------------

template <Scalar S>
ModelParameters<S>::ModelParameters(std::span<const StreamLayout> layouts,
                                    std::uint64_t state_count) {
    ModelParametersBuilder<S> builder(layouts.size(), state_count);
    // Streams that could each be allocated may still not fit together: refuse the model
    // before any mixture is zero-filled, stream by stream as construction would meet them.
    std::optional<std::uint64_t> total = 0;
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        total = checked_add(total, reserve_stream(builder.streams[i].emplace(), layouts[i]));
        require_allocatable(total);
    }
    for (std::size_t i = 0; i < layouts.size(); ++i) fill_stream(*builder.streams[i], layouts[i]);
    for (auto& slot : builder.durations) slot.emplace();
    *this = std::move(builder).build();
}

template <Scalar S>
void ModelParameters<S>::validate_mixtures() const {
    for (const auto& stream : this->streams) stream.validate();
}

// ---- Builders -----------------------------------------------------------------------------

namespace {

// `count` empty slots.
template <class T>
std::vector<std::optional<T>> empty_slots(std::uint64_t count) {
    if (count >= legacy_count_limit) throw ModelError("slot count exceeds the legacy format");
    return allocate_or_fail(count, std::optional<T>{}, ModelError("builder allocation failed"));
}

// Every slot filled; else `unfilled`.
template <class T>
void require_filled(const std::vector<std::optional<T>>& slots, const char* unfilled) {
    for (const auto& slot : slots) {
        if (!slot) throw ModelError::from_static(unfilled);
    }
}

}  // namespace

template <Scalar S>
ModelParametersBuilder<S>::ModelParametersBuilder(std::uint64_t stream_count,
                                                  std::uint64_t state_count)
    : streams(empty_slots<StreamParameters<S>>(stream_count)),
      durations(empty_slots<DurationParameters<S>>(state_count)) {}

template <Scalar S>
ModelParameters<S> ModelParametersBuilder<S>::build() && {
    // Take the slots out first so that the builder is consumed whatever happens next.
    auto stream_slots = std::exchange(streams, {});
    auto duration_slots = std::exchange(durations, {});
    require_filled(stream_slots, "model builder contains an unfilled stream slot");
    require_filled(duration_slots, "model builder contains an unfilled duration slot");
    for (const auto& slot : stream_slots) slot->validate();

    std::vector<StreamParameters<S>> model_streams;
    model_streams.reserve(stream_slots.size());
    for (auto& slot : stream_slots) model_streams.push_back(std::move(*slot));
    std::vector<DurationParameters<S>> model_durations;
    model_durations.reserve(duration_slots.size());
    for (const auto& slot : duration_slots) model_durations.push_back(*slot);
    return ModelParameters<S>(std::move(model_streams), std::move(model_durations));
}

template <Scalar S>
StreamParametersBuilder<S>::StreamParametersBuilder(std::uint64_t emission_count)
    : emissions(empty_slots<GaussianMixtureParameters<S>>(emission_count)) {}

template <Scalar S>
StreamParameters<S> StreamParametersBuilder<S>::build() && {
    auto slots = std::exchange(emissions, {});
    require_filled(slots, "stream builder contains an unfilled emission slot");
    for (const auto& slot : slots) slot->check_shape();

    StreamParameters<S> stream;
    stream.weight = weight;
    stream.emissions.reserve(slots.size());
    for (auto& slot : slots) stream.emissions.push_back(std::move(*slot));
    return stream;
}

template void check_parameter_size<float>(std::uint64_t, std::uint64_t);
template void check_parameter_size<double>(std::uint64_t, std::uint64_t);
template struct GaussianMixtureParameters<float>;
template struct GaussianMixtureParameters<double>;
template struct StreamParameters<float>;
template struct StreamParameters<double>;
template struct ModelParameters<float>;
template struct ModelParameters<double>;
template struct ModelParametersBuilder<float>;
template struct ModelParametersBuilder<double>;
template struct StreamParametersBuilder<float>;
template struct StreamParametersBuilder<double>;

}  // namespace tarvek
