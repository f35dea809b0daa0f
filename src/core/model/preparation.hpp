#pragma once
// Model preparation: every mixture validated with its normalizers computed, every stream
// weight validated, and for the selected states the duration log values of the short
// durations cached, so that inference reads them with one array access.

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/model/model.hpp"
#include "core/model/model_operations.hpp"
#include "core/model/probability.hpp"

namespace tarvek {

template <Scalar S>
struct PreparationOptions {
    std::uint64_t duration_cache_length = 300;
    S duration_weight = 1;  // multiplies every duration log density
    S temperature = 1;      // multiplies every duration log value after the weight

    // "invalid duration preparation options" unless the length is below 2^31 and the weight
    // and temperature are finite and nonnegative.
    void validate() const;
};

// One state's prepared duration law.
template <Scalar S>
struct DurationPreparation {
    std::vector<S> cache;  // entry d: the log value of duration d, d = 0 .. length − 1
    S normalizer = 0;      // −0.5 · ln(2π·v)
    PreparationOptions<S> options;

    DurationPreparation(const DurationParameters<S>& duration,
                        const PreparationOptions<S>& options);

    // The log value of duration d (below 2^31): the cache entry, or the same rule computed on
    // the spot from `duration` (the law this preparation was made from) beyond the cache.
    S log_value(const DurationParameters<S>& duration, std::uint64_t d) const noexcept;
    // The log value after "duration exceeds the legacy frame range" (d >= 2^31).
    S log_probability(const DurationParameters<S>& duration, std::uint64_t d) const;
    // The fast exponential of the log value (32-bit precision in both widths).
    S probability(const DurationParameters<S>& duration, std::uint64_t d) const;
};

// One stream's normalizers, one array per emission state in emission order.
template <Scalar S>
struct StreamPreparation {
    std::vector<std::vector<S>> normalizers;

    StreamPreparation() = default;
    explicit StreamPreparation(const StreamParameters<S>& stream);
};

// The normalizers of the emission states that `states` names, for one call over a
// segmentation: a large model pays only for the states the call uses. Every mixture of the
// stream is still checked, in order: its dimension count against `dimensions` when given
// ("emission and observation dimensions differ"), then `check_scorable`, of which only the
// shape check when `scorable` knows the model's mixtures passed it. Entries of `states` out of
// range are skipped; unnamed states keep an empty array. A list that cannot be allocated fails
// with `list_failure`.
template <Scalar S>
StreamPreparation<S> prepare_named_states(const StreamParameters<S>& stream,
                                          std::span<const std::int32_t> states,
                                          std::optional<std::uint64_t> dimensions,
                                          const ModelError& list_failure,
                                          const RememberedCheck& scorable);

// A stream that owns its preparation.
template <Scalar S>
struct OwnedPreparedStreamParameters {
    StreamParameters<S> stream;
    StreamPreparation<S> preparation;

    // The prepared mixture of emission state `state`; empty when out of range.
    std::optional<PreparedGaussianView<S>> emission(std::uint64_t state) const noexcept;
};

// A model that owns its parameters with every preparation; nothing changes after preparation.
template <Scalar S>
struct OwnedPreparedModelParameters {
    ModelParameters<S> model;
    std::vector<StreamPreparation<S>> streams;
    std::vector<std::optional<DurationPreparation<S>>> durations;  // empty when not selected
    PreparationOptions<S> options;

    // The prepared mixture of stream `stream`, emission state `state`; empty when either
    // index is outside the model or its preparation.
    std::optional<PreparedGaussianView<S>> emission(std::uint64_t stream,
                                                    std::uint64_t state) const noexcept;
    // The prepared duration of `state`; null when out of range or not selected.
    const DurationPreparation<S>* duration(std::uint64_t state) const noexcept;

    // Gives the model back, dropping every preparation.
    ModelParameters<S> into_model() && { return std::move(model); }
};

// Prepares every state 0 .. n − 1.
template <Scalar S>
OwnedPreparedModelParameters<S> prepare_owned_duration_states(ModelParameters<S> model,
                                                              const PreparationOptions<S>& options);
// Prepares the states named in `states`, in that order (an index named twice is prepared once).
template <Scalar S>
OwnedPreparedModelParameters<S> prepare_owned_duration_states(
    ModelParameters<S> model, const PreparationOptions<S>& options,
    std::span<const std::uint64_t> states);

// ---- Inline duration log value ------------------------------------------------------------

// The log value of duration d under a prepared law, computed from the parameters: the
// temperature-0 test of the minimum is on integers, the other on values of S.
template <Scalar S>
inline S prepared_duration_log_value(const DurationParameters<S>& duration, std::uint64_t d,
                                     S normalizer, const PreparationOptions<S>& options) noexcept {
    const S temperature = options.temperature;
    const std::int32_t minimum = duration.minimum_duration;
    if (temperature == S(0)) {
        return minimum >= 1 && d < static_cast<std::uint64_t>(minimum) ? log_zero<S> : S(0);
    }
    const S x = static_cast<S>(d);
    if (minimum >= 1 && x < static_cast<S>(minimum)) return temperature * log_zero<S>;
    const S term = duration_gaussian_term(x, duration.mean, duration.variance, normalizer);
    return term * options.duration_weight * temperature;
}

template <Scalar S>
inline S DurationPreparation<S>::log_value(const DurationParameters<S>& duration,
                                           std::uint64_t d) const noexcept {
    if (d < cache.size()) return cache[d];
    return prepared_duration_log_value(duration, d, normalizer, options);
}

}  // namespace tarvek
