#include "core/model/preparation.hpp"

#include <ranges>
#include <utility>
#include <vector>

#include "core/numerics/allocation.hpp"

namespace tarvek {

template <Scalar S>
void PreparationOptions<S>::validate() const {
    if (duration_cache_length >= legacy_count_limit || !is_finite_nonnegative(duration_weight) ||
        !is_finite_nonnegative(temperature)) {
        throw ModelError("invalid duration preparation options");
    }
}

// ---- Durations ----------------------------------------------------------------------------

template <Scalar S>
DurationPreparation<S>::DurationPreparation(const DurationParameters<S>& duration,
                                            const PreparationOptions<S>& options_) {
    options_.validate();
    if (!duration.has_valid_law()) {
        throw ModelError("duration requires a finite mean and positive variance");
    }
    options = options_;
    normalizer = duration_normalizer(duration.variance);
    cache = allocate_or_fail(options.duration_cache_length, S(0),
                             ModelError("duration cache allocation failed"));
    for (std::size_t d = 0; d < cache.size(); ++d) {
        cache[d] = prepared_duration_log_value(duration, d, normalizer, options);
    }
}

template <Scalar S>
S DurationPreparation<S>::log_probability(const DurationParameters<S>& duration,
                                          std::uint64_t d) const {
    if (d >= legacy_count_limit) throw ModelError("duration exceeds the legacy frame range");
    return log_value(duration, d);
}

template <Scalar S>
S DurationPreparation<S>::probability(const DurationParameters<S>& duration,
                                      std::uint64_t d) const {
    // A 64-bit log value is rounded to 32 bits inside the fast exponential.
    return fast_exp(log_probability(duration, d));
}

// ---- Streams ------------------------------------------------------------------------------

template <Scalar S>
StreamPreparation<S>::StreamPreparation(const StreamParameters<S>& stream) {
    stream.validate();
    if (!is_finite_nonnegative(stream.weight)) {
        throw ModelError("stream weights must be finite and nonnegative");
    }
    reserve_or_fail(normalizers, stream.emissions.size(),
                    ModelError("prepared emission list allocation failed"));
    for (const auto& mixture : stream.emissions) {
        normalizers.push_back(gaussian_normalizers(mixture));
    }
}

template <Scalar S>
StreamPreparation<S> prepare_named_states(const StreamParameters<S>& stream,
                                          std::span<const std::int32_t> states,
                                          std::optional<std::uint64_t> dimensions,
                                          const ModelError& list_failure,
                                          const RememberedCheck& scorable) {
    StreamPreparation<S> prepared;
    reserve_or_fail(prepared.normalizers, stream.emissions.size(), list_failure);
    for (const auto& mixture : stream.emissions) {
        if (dimensions && mixture.dimensions != *dimensions) {
            throw ModelError("emission and observation dimensions differ");
        }
        scorable.run_when_known([&] { mixture.check_shape(); });
        scorable.run([&] { check_scorable(mixture); });
        prepared.normalizers.emplace_back();
    }
    for (const std::int32_t state : states) {
        if (state < 0 || static_cast<std::size_t>(state) >= stream.emissions.size()) continue;
        std::vector<S>& normalizers = prepared.normalizers[static_cast<std::size_t>(state)];
        if (normalizers.empty()) {
            normalizers = unchecked_gaussian_normalizers(stream.emissions[state]);
        }
    }
    return prepared;
}

template <Scalar S>
OwnedPreparedStreamParameters<S> StreamParameters<S>::prepare_owned() && {
    StreamParameters stream = std::exchange(*this, StreamParameters{});
    StreamPreparation<S> preparation(stream);
    return {std::move(stream), std::move(preparation)};
}

template <Scalar S>
std::optional<PreparedGaussianView<S>> OwnedPreparedStreamParameters<S>::emission(
    std::uint64_t state) const noexcept {
    if (state >= stream.emissions.size() || state >= preparation.normalizers.size()) {
        return std::nullopt;
    }
    return PreparedGaussianView<S>(stream.emissions[state], preparation.normalizers[state]);
}

// ---- Models -------------------------------------------------------------------------------

template <Scalar S>
std::optional<PreparedGaussianView<S>> OwnedPreparedModelParameters<S>::emission(
    std::uint64_t stream, std::uint64_t state) const noexcept {
    if (stream >= streams.size() || stream >= model.streams.size()) return std::nullopt;
    const auto& mixtures = model.streams[stream].emissions;
    const auto& normalizers = streams[stream].normalizers;
    if (state >= mixtures.size() || state >= normalizers.size()) return std::nullopt;
    return PreparedGaussianView<S>(mixtures[state], normalizers[state]);
}

template <Scalar S>
const DurationPreparation<S>* OwnedPreparedModelParameters<S>::duration(
    std::uint64_t state) const noexcept {
    if (state >= model.durations.size() || state >= durations.size() || !durations[state]) {
        return nullptr;
    }
    return &*durations[state];
}

namespace {

// Steps shared by both forms: options, mixture shapes, stream preparations and the empty
// duration list. The model moves into the result, so a later failure drops it.
template <Scalar S>
OwnedPreparedModelParameters<S> prepare_streams(ModelParameters<S>&& model,
                                                const PreparationOptions<S>& options) {
    options.validate();
    model.validate_mixtures();
    OwnedPreparedModelParameters<S> prepared;
    prepared.options = options;
    reserve_or_fail(prepared.streams, model.streams.size(),
                    ModelError("prepared stream list allocation failed"));
    for (const auto& stream : model.streams) prepared.streams.emplace_back(stream);
    prepared.durations =
        allocate_or_fail(model.durations.size(), std::optional<DurationPreparation<S>>{},
                         ModelError("prepared duration list allocation failed"));
    prepared.model = std::move(model);
    return prepared;
}

// The checks of preparing `states` in order, and the size of all their caches together, before
// any cache is built: caches that could not all be allocated are refused without filling the
// first ones. A state named twice is prepared, and counted, once.
template <Scalar S, class States>
void check_duration_caches(const OwnedPreparedModelParameters<S>& prepared, const States& states) {
    const auto& durations = prepared.model.durations;
    std::vector<bool> counted(durations.size(), false);
    const auto cache_bytes = checked_mul(prepared.options.duration_cache_length, sizeof(S));
    std::optional<std::uint64_t> total = 0;
    for (const std::uint64_t state : states) {
        if (state >= durations.size()) throw ModelError("selected duration state is out of range");
        if (counted[state]) continue;
        counted[state] = true;
        if (!durations[state].has_valid_law()) {
            throw ModelError("duration requires a finite mean and positive variance");
        }
        total = checked_add(total, cache_bytes);
        if (!allocation_fits(total)) throw ModelError("duration cache allocation failed");
    }
}

template <Scalar S>
void prepare_state(OwnedPreparedModelParameters<S>& prepared, std::uint64_t state) {
    if (state >= prepared.model.durations.size()) {
        throw ModelError("selected duration state is out of range");
    }
    auto& entry = prepared.durations[state];
    if (!entry) entry.emplace(prepared.model.durations[state], prepared.options);
}

}  // namespace

template <Scalar S>
OwnedPreparedModelParameters<S> prepare_owned_duration_states(
    ModelParameters<S> model, const PreparationOptions<S>& options) {
    auto prepared = prepare_streams(std::move(model), options);
    const std::uint64_t count = prepared.model.durations.size();
    check_duration_caches(prepared, std::views::iota(std::uint64_t{0}, count));
    for (std::uint64_t state = 0; state < count; ++state) prepare_state(prepared, state);
    return prepared;
}

template <Scalar S>
OwnedPreparedModelParameters<S> prepare_owned_duration_states(
    ModelParameters<S> model, const PreparationOptions<S>& options,
    std::span<const std::uint64_t> states) {
    auto prepared = prepare_streams(std::move(model), options);
    check_duration_caches(prepared, states);
    for (const std::uint64_t state : states) prepare_state(prepared, state);
    return prepared;
}

#define TARVEK_INSTANTIATE(S)                                                                    \
    template struct PreparationOptions<S>;                                                       \
    template struct DurationPreparation<S>;                                                      \
    template struct StreamPreparation<S>;                                                        \
    template struct OwnedPreparedStreamParameters<S>;                                            \
    template struct OwnedPreparedModelParameters<S>;                                             \
    template OwnedPreparedStreamParameters<S> StreamParameters<S>::prepare_owned() &&;           \
    template StreamPreparation<S> prepare_named_states(                                          \
        const StreamParameters<S>&, std::span<const std::int32_t>, std::optional<std::uint64_t>, \
        const ModelError&, const RememberedCheck&);                                              \
    template OwnedPreparedModelParameters<S> prepare_owned_duration_states(                      \
        ModelParameters<S>, const PreparationOptions<S>&);                                       \
    template OwnedPreparedModelParameters<S> prepare_owned_duration_states(                      \
        ModelParameters<S>, const PreparationOptions<S>&, std::span<const std::uint64_t>);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
