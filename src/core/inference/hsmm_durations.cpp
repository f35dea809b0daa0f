#include "core/inference/hsmm_durations.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "core/model/model_operations.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

// Rows are indexed by 32-bit durations downstream; a longer row could only come from a huge
// `duration_extra` or duration mean and would ask for gigabytes.
constexpr std::uint64_t max_row_length = legacy_count_limit - 1;

constexpr const char* allocation_failed = "HSMM allocation failed";

// τ · g(d) for the model's own law, g(d) = log zero below an active minimum, else the
// weighted Gaussian log density. At τ = 0 a duration below the minimum keeps log zero.
template <Scalar S>
S model_duration_entry(const DurationParameters<S>& duration, std::uint64_t d, S normalizer,
                       const HsmmOptions<S>& options) noexcept {
    const std::int32_t minimum = duration.minimum_duration;
    if (options.temperature == S(0) && minimum >= 1 && d < static_cast<std::uint64_t>(minimum)) {
        return log_zero<S>;
    }
    const S x = static_cast<S>(d);
    S g;
    if (minimum >= 1 && x < static_cast<S>(minimum)) {
        g = log_zero<S>;
    } else {
        g = duration_gaussian_term(x, duration.mean, duration.variance, normalizer) *
            options.duration_weight;
    }
    return options.temperature * g;
}

// Position k's checks, in order, and the length of its duration row.
template <Scalar S>
std::uint64_t checked_row_length(const ModelParameters<S>& model,
                                 const SegmentationData<S>& segmentation, std::size_t k,
                                 std::uint64_t frames, const HsmmOptions<S>& options, bool clamp) {
    const std::int64_t previous = k == 0 ? 0 : segmentation.boundaries[k - 1];
    const std::int32_t boundary = segmentation.boundaries[k];
    if (boundary < previous || static_cast<std::uint64_t>(boundary) > frames) {
        throw ModelError("HSMM boundaries must be ordered within the observation");
    }
    const std::int32_t state = segmentation.duration_states[k];
    if (state < 0) throw ModelError("negative duration state");
    if (static_cast<std::uint64_t>(state) >= model.durations.size()) {
        throw ModelError("duration state is out of range");
    }
    const DurationParameters<S>& duration = model.durations[static_cast<std::size_t>(state)];
    if (!duration.has_valid_law()) {
        throw ModelError("HSMM duration requires a finite mean and positive variance");
    }
    const auto length = static_cast<std::int32_t>(boundary - previous);
    std::uint64_t limit = duration_limit(length, duration, options);
    const std::uint64_t clamp_length = frames == ~std::uint64_t{0} ? frames : frames + 1;
    if (clamp && limit > clamp_length) limit = clamp_length;
    if (limit > max_row_length) throw ModelError::from_static(allocation_failed);
    return limit;
}

}  // namespace

template <Scalar S>
std::uint64_t duration_limit(std::int32_t length, const DurationParameters<S>& duration,
                             const HsmmOptions<S>& options) noexcept {
    const double scaled =
        (1.0 + static_cast<double>(options.duration_extra_factor)) * static_cast<double>(length) +
        static_cast<double>(options.duration_extra);
    const double a = std::trunc(scaled);
    const double b = static_cast<double>(duration.mean) +
                     2.0 * std::sqrt(static_cast<double>(duration.variance));
    double limit = std::trunc(max_ignoring_nan(a, b));
    if (duration.maximum_duration >= 1) {
        limit = min_ignoring_nan(limit, static_cast<double>(duration.maximum_duration));
    }
    return saturating_cast<std::uint64_t>(max_ignoring_nan(limit, 0.0));
}

template <Scalar S>
S PreparedHsmmDurations<S>::log_probability(std::uint64_t state, std::uint64_t d) const {
    const DurationPreparation<S>* preparation = prepared_->duration(state);
    if (preparation == nullptr) throw ModelError("prepared duration state is out of range");
    return preparation->log_probability(prepared_->model.durations[state], d);
}

template <Scalar S>
HsmmDurationRows<S> prepare_hsmm_durations_with(const ModelParameters<S>& model,
                                                const SegmentationData<S>& segmentation,
                                                std::uint64_t frames, std::uint64_t states,
                                                const HsmmOptions<S>& options, bool clamp,
                                                PreparedHsmmDurations<S> prepared) {
    if (!is_finite_nonnegative(options.state_radius)) {
        throw ModelError("state pruning radius must be finite and nonnegative");
    }
    if (prepared.present() && !(prepared.options().temperature == options.temperature &&
                                prepared.options().duration_weight == options.duration_weight)) {
        throw ModelError("HSMM temperature and duration weight differ from preparation");
    }
    segmentation.validate();
    const std::size_t positions = segmentation.segment_count();
    if (states != positions) throw ModelError("emission and segmentation state counts differ");
    if (!is_finite_nonnegative(options.temperature) ||
        !is_finite_nonnegative(options.duration_weight) ||
        !is_finite_nonnegative(options.duration_extra_factor)) {
        throw ModelError("HSMM weights and duration factor must be finite and nonnegative");
    }

    // Every position's checks, and the size of all rows together, before any row is built:
    // rows that could not all be allocated are refused without zero-filling the first ones.
    const ModelError allocation_error = ModelError::from_static(allocation_failed);
    std::optional<std::uint64_t> total = checked_mul(positions, sizeof(std::vector<S>));
    if (!allocation_fits(total)) throw allocation_error;
    for (std::size_t k = 0; k < positions; ++k) {
        const std::uint64_t limit =
            checked_row_length(model, segmentation, k, frames, options, clamp);
        total = checked_add(total, checked_mul(limit, sizeof(S)));
        if (!allocation_fits(total)) throw allocation_error;
        // The one error filling the row can meet (an unprepared state), at the same point.
        const auto state = static_cast<std::uint64_t>(segmentation.duration_states[k]);
        if (prepared.present() && limit > 1) prepared.log_probability(state, 1);
    }

    HsmmDurationRows<S> rows;
    reserve_or_fail(rows, positions, allocation_error);
    for (std::size_t k = 0; k < positions; ++k) {
        const std::uint64_t limit =
            checked_row_length(model, segmentation, k, frames, options, clamp);
        std::vector<S> row = allocate_or_fail(limit, log_zero<S>, allocation_error);
        const auto state = static_cast<std::size_t>(segmentation.duration_states[k]);
        if (prepared.present()) {
            for (std::uint64_t d = 1; d < limit; ++d) row[d] = prepared.log_probability(state, d);
        } else {
            const DurationParameters<S>& duration = model.durations[state];
            const S normalizer = duration_normalizer(duration.variance);
            for (std::uint64_t d = 1; d < limit; ++d) {
                row[d] = model_duration_entry(duration, d, normalizer, options);
            }
        }
        rows.push_back(std::move(row));  // capacity reserved above
    }
    const std::int64_t previous = positions == 0 ? 0 : segmentation.boundaries[positions - 1];
    if (static_cast<std::uint64_t>(previous) != frames) {
        throw ModelError("final HSMM boundary must match the frame count");
    }
    return rows;
}

#define TARVEK_INSTANTIATE(S)                                                                \
    template std::uint64_t duration_limit(std::int32_t, const DurationParameters<S>&,        \
                                          const HsmmOptions<S>&) noexcept;                   \
    template class PreparedHsmmDurations<S>;                                                 \
    template HsmmDurationRows<S> prepare_hsmm_durations_with(                                \
        const ModelParameters<S>&, const SegmentationData<S>&, std::uint64_t, std::uint64_t, \
        const HsmmOptions<S>&, bool, PreparedHsmmDurations<S>);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
