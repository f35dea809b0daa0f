#include "core/inference/duration_occupancy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/numerics/allocation.hpp"
#include "core/inference/hsmm_jumps.hpp"
#include "core/inference/pruning.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

namespace {

constexpr std::uint64_t no_limit = ~std::uint64_t{0};

// minimum + count, saturating: the exclusive end of a posterior's durations.
inline std::uint64_t durations_end(std::uint64_t minimum, std::uint64_t count) noexcept {
    std::uint64_t end;
    return __builtin_add_overflow(minimum, count, &end) ? no_limit : end;
}

// Calls visit(t, positions) for every frame t with the positions the windows holding t visit.
// The frames of segment k's window end no earlier than those of k − 1, and the position ranges
// of consecutive segments overlap or touch, so per frame the windows cover one range and every
// window cell is visited exactly once, in row order.
template <Scalar S, class Visit>
void for_each_window_row(const StateRadiusWindow<S>& window, Visit&& visit) {
    const std::uint64_t frames = window.frame_count();
    const std::uint64_t segments = window.position_count();
    std::uint64_t first = 0;  // the first segment whose window has not ended before t
    for (std::uint64_t t = 0; t < frames; ++t) {
        while (first < segments && window.segment_frames(first).last <= t) ++first;
        IndexRange row{no_limit, 0};
        for (std::uint64_t k = first; k < segments; ++k) {
            const IndexRange k_frames = window.segment_frames(k);
            if (k_frames.first > t) break;
            if (!k_frames.contains(t)) continue;
            const IndexRange positions = window.segment_positions(k);
            if (positions.empty()) continue;
            row.first = std::min(row.first, positions.first);
            row.last = std::max(row.last, positions.last);
        }
        if (!row.empty()) visit(t, row);
    }
}

template <Scalar S>
void check_score_shapes(const StateScoreTable<S>& emissions, const HsmmScoreTables<S>& forward,
                        const HsmmScoreTables<S>& backward, S total) {
    if (!forward.begin.same_shape(emissions) || !forward.end.same_shape(emissions) ||
        !backward.begin.same_shape(emissions) || !backward.end.same_shape(emissions)) {
        throw ModelError("duration occupancy score dimensions differ");
    }
    if (!std::isfinite(total)) throw ModelError("duration occupancy normalizer must be finite");
}

// The power of two of e^min(x, 0), in 32 bits; a NaN x counts as 0, so no NaN reaches the
// fast power of two.
template <Scalar S>
inline float posterior_exponent(S x) noexcept {
    return static_cast<float>(min_ignoring_nan(x, S(0))) * numerics::log2_e;
}

// Everything the posterior of one cell reads; tables as flat arrays, cell (t, s) at t · P + s.
template <Scalar S>
struct PosteriorInputs {
    const ScaledJumpLists& incoming;
    const HsmmDurationRows<S>& rows;
    const S* emission;
    const S* forward_end;
    const S* backward_end;
    std::uint64_t frames;
    std::uint64_t positions;
    S total;
};

// The log score of the paths that begin a segment of s at t: 0 for the first position at
// frame 0, else the log-sum of the segments that ended at t − 1 and jump into s.
template <Scalar S>
S incoming_score(const PosteriorInputs<S>& in, std::uint64_t t, std::uint64_t s) noexcept {
    if (t == 0) return s == 0 ? S(0) : log_zero<S>;
    const S* previous_end = in.forward_end + (t - 1) * in.positions;
    S incoming = log_zero<S>;
    for (const ScaledJump& jump : in.incoming[s]) {
        incoming = log_add(
            incoming,
            static_cast<S>(static_cast<double>(previous_end[jump.position]) + jump.log_weight));
    }
    return incoming;
}

// Writes the kept posteriors of durations 1 .. L − 1 of cell (t, s) to `out` and returns how
// many there are (at least 1): trailing values below 1e-5 are dropped. The row holds at least
// two entries, `sums` and `out` have room for L − 1 values, and t + L − 1 does not overflow.
template <Scalar S>
std::size_t cell_posteriors(const PosteriorInputs<S>& in, std::uint64_t t, std::uint64_t s, S* sums,
                            float* out) noexcept {
    const S incoming = incoming_score(in, t, s);
    const S* row = in.rows[s].data();
    const std::uint64_t length = in.rows[s].size();
    // Durations up to `inside` end within the observation; longer ones are censored and keep
    // the emissions up to the last frame.
    const std::uint64_t inside = std::min(length - 1, in.frames - t);
    const std::size_t stride = in.positions;
    const std::size_t first_cell = static_cast<std::size_t>(t * stride + s);
    S sum = 0;
    for (std::uint64_t d = 1; d <= inside; ++d) {
        sum = sum + in.emission[first_cell + (d - 1) * stride];
        sums[d - 1] = sum;
    }
    const auto log_posterior = [&](std::uint64_t d) {
        if (d > inside) return (((incoming + row[d]) + sum) + S(0)) - in.total;
        const S end = in.backward_end[first_cell + (d - 1) * stride];
        return (((incoming + row[d]) + sums[d - 1]) + end) - in.total;
    };
    const auto exponent = [&](std::uint64_t d) { return posterior_exponent(log_posterior(d)); };
    // The longest durations first, down to the first that is kept: a dropped value costs no
    // more than its exponent when that lies where every power is negligible (an x of 0 or
    // above, or NaN, never does, so the min with 0 can wait).
    std::uint64_t kept = length - 1;
    for (; kept > 1; --kept) {
        const S x = log_posterior(kept);
        if (static_cast<float>(x) * numerics::log2_e <= negligible_exponent) continue;
        const float value = fast_pow2(posterior_exponent(x));
        if (!negligible_posterior(value)) {
            out[kept - 1] = value;
            break;
        }
    }
    if (kept == 1) out[0] = fast_pow2(exponent(1));
    for (std::uint64_t d = 1; d < kept; ++d) out[d - 1] = fast_pow2(exponent(d));
    return static_cast<std::size_t>(kept);
}

template <Scalar S>
DurationOccupancies compute_posteriors(const IncomingJumps<S>& incoming,
                                       const HsmmDurationRows<S>& rows,
                                       const SegmentationData<S>& segmentation,
                                       const StateScoreTable<S>& emissions,
                                       const HsmmScoreTables<S>& forward,
                                       const HsmmScoreTables<S>& backward, S total,
                                       const HsmmOptions<S>& options) {
    const std::uint64_t frames = emissions.frames;
    const std::uint64_t positions = emissions.states;
    const ModelError allocation_failed("duration occupancy allocation failed");
    const auto cells = checked_mul(frames, positions);
    if (!cells || *cells == no_limit) throw allocation_failed;
    DurationOccupancies result;
    result.presence = table_or_fail<std::uint8_t>(*cells, 0, allocation_failed);
    result.minimums = table_or_fail<std::uint64_t>(*cells, 0, allocation_failed);
    result.offsets = table_or_fail<std::uint64_t>(*cells + 1, 0, allocation_failed);
    result.frames = frames;
    result.states = positions;
    const ScaledJumpLists jumps =
        scaled_incoming_jumps(incoming, positions, options.temperature, allocation_failed);
    if (frames == 0) return result;

    const PosteriorInputs<S> in{jumps,
                                rows,
                                emissions.values.data(),
                                forward.end.values.data(),
                                backward.end.values.data(),
                                frames,
                                positions,
                                total};
    const ModelError slice_failed("duration slice allocation failed");
    std::uint64_t longest_row = 0;
    for (const std::vector<S>& row : rows)
        longest_row = std::max<std::uint64_t>(longest_row, row.size());
    std::vector<S> sums = allocate_or_fail(longest_row, S(0), slice_failed);
    const StateRadiusWindow<S> window(segmentation.boundaries, frames, options.state_radius);
    const std::uint64_t last = positions - 1;
    for_each_window_row(window, [&](std::uint64_t t, IndexRange row) {
        for (std::uint64_t s = row.first; s < row.last && s < last; ++s) {
            const std::uint64_t length = rows[s].size();
            if (length <= 1) continue;
            if (!checked_add(t, length - 1)) throw ModelError("duration tail overflows");
            const std::size_t start = result.values.size();
            if (!elements_fit<float>(start + length - 1)) throw slice_failed;
            try {
                result.values.resize(start + static_cast<std::size_t>(length - 1));
            } catch (const std::bad_alloc&) {
                throw slice_failed;
            } catch (const std::length_error&) {
                throw slice_failed;
            }
            const std::size_t kept =
                cell_posteriors(in, t, s, sums.data(), result.values.data() + start);
            result.values.resize(start + kept);
            const std::size_t cell = static_cast<std::size_t>(t * positions + s);
            result.presence[cell] = 1;
            result.minimums[cell] = 1;
            result.offsets[cell + 1] = kept;  // a count until the running sums below
        }
    });
    for (std::size_t i = 1; i < result.offsets.size(); ++i) {
        result.offsets[i] += result.offsets[i - 1];
    }
    return result;
}

// Position 0's mass at frame t: only its segment that begins at frame 0 counts, over durations
// t + 1 .. t + L − 1.
template <Scalar S>
S first_position_mass(const DurationOccupancies& durations, std::uint64_t t, std::uint64_t length) {
    std::uint64_t stop;
    if (__builtin_add_overflow(t, length, &stop)) throw ModelError("duration range overflows");
    S mass = 0;
    if (durations.presence[0] != 1) return mass;
    const std::uint64_t minimum = durations.minimums[0];
    const float* values = durations.values.data() + durations.offsets[0];
    const std::uint64_t end =
        std::min(stop, durations_end(minimum, durations.offsets[1] - durations.offsets[0]));
    for (std::uint64_t d = std::max(t + 1, minimum); d < end; ++d) {
        mass += static_cast<S>(values[d - minimum]);
    }
    return mass;
}

// Position s > 0 (rows of length L) over its frames `run`: into mass[t − run.first] the posteriors
// of the segments of s that cover t, those beginning at u = t, t − 1, ..., t − min(L, t) + 1
// (never at frame 0) over the durations that reach t. Each frame receives its terms in that
// order, start frames descending and durations ascending, but every duration is added to all
// the frames it covers at once: a segment beginning at u with duration d covers t when
// u + d − L + 1 <= t <= u + d − 1 and t <= u + L − 1. An empty posterior adds nothing.
template <Scalar S>
void covering_masses(const DurationOccupancies& durations, std::uint64_t s, std::uint64_t length,
                     IndexRange run, S* mass) noexcept {
    if (run.empty() || length < 2) return;
    const std::uint64_t positions = durations.states;
    const std::uint64_t lowest =
        std::max<std::uint64_t>(1, run.first >= length - 1 ? run.first - (length - 1) : 0);
    // Durations beyond this reach no frame of the run from any start inside it.
    const std::uint64_t longest = run.last + length;
    for (std::uint64_t u = run.last; u-- > lowest;) {
        const std::size_t cell = static_cast<std::size_t>(u * positions + s);
        if (durations.presence[cell] != 1) continue;
        const std::uint64_t minimum = durations.minimums[cell];
        const std::uint64_t count = durations.offsets[cell + 1] - durations.offsets[cell];
        const float* values = durations.values.data() + durations.offsets[cell];
        const std::uint64_t top = std::min(run.last - 1, u + length - 1);
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t d = minimum + i;
            if (minimum > longest || d > longest) break;
            if (d == 0) continue;
            const std::uint64_t first =
                std::max({u, u + d + 1 >= length ? u + d + 1 - length : 0, run.first});
            const std::uint64_t last = std::min(u + d - 1, top);
            const S value = static_cast<S>(values[i]);
            S* out = mass - run.first;
            for (std::uint64_t t = first; t <= last; ++t) out[t] += value;
        }
    }
}

}  // namespace

DurationOccupancies DurationOccupancies::from_values(std::uint64_t frames, std::uint64_t states,
                                                     TableVector<std::uint8_t> presence,
                                                     TableVector<std::uint64_t> minimums,
                                                     TableVector<std::uint64_t> offsets,
                                                     TableVector<float> values) {
    const ModelError invalid(
        "duration occupancies require positive matching dimensions, representable durations "
        "and finite nonnegative weights");
    if (minimums.size() != presence.size() ||
        !valid_layout(frames, states, presence, offsets, values)) {
        throw invalid;
    }
    for (std::size_t i = 0; i < presence.size(); ++i) {
        const std::uint64_t count = offsets[i + 1] - offsets[i];
        if (presence[i] == 0) {
            minimums[i] = 0;
        } else if (count != 0 && !checked_add(minimums[i], count)) {
            throw invalid;
        }
    }
    return {{std::move(presence), std::move(offsets), std::move(values), frames, states},
            std::move(minimums)};
}

bool DurationOccupancies::well_formed() const noexcept {
    if (!arrays_match() || minimums.size() != presence.size()) return false;
    for (std::size_t i = 0; i < presence.size(); ++i) {
        if (presence[i] == 1 && (offsets[i] > offsets[i + 1] || offsets[i + 1] > values.size())) {
            return false;
        }
    }
    return true;
}

std::optional<DurationPosteriorView> DurationOccupancies::get(std::uint64_t frame,
                                                              std::uint64_t state) const& noexcept {
    const auto cell = present_cell(frame, state);
    if (!cell) return std::nullopt;
    return DurationPosteriorView{cell_values(*cell), minimums[*cell]};
}

template <Scalar S>
DurationOccupancies duration_occupancies_with(const ModelParameters<S>& model,
                                              const SegmentationData<S>& segmentation,
                                              const StateScoreTable<S>& emissions,
                                              const HsmmScoreTables<S>& forward,
                                              const HsmmScoreTables<S>& backward, S total,
                                              const HsmmOptions<S>& options) {
    check_score_shapes(emissions, forward, backward, total);
    const HsmmDurationRows<S> rows = prepare_hsmm_durations_with(
        model, segmentation, emissions.frames, emissions.states, options, false);
    const IncomingJumps<S> incoming = build_incoming(segmentation);
    return compute_posteriors(incoming, rows, segmentation, emissions, forward, backward, total,
                              options);
}

template <Scalar S>
DurationOccupancies duration_occupancies_with(const ModelParameters<S>& model,
                                              const TransitionGraphParameters<S>& graph,
                                              const StateScoreTable<S>& emissions,
                                              const HsmmScoreTables<S>& forward,
                                              const HsmmScoreTables<S>& backward, S total,
                                              const HsmmOptions<S>& options) {
    check_score_shapes(emissions, forward, backward, total);
    const HsmmDurationRows<S> rows = prepare_hsmm_durations_with(
        model, graph.segmentation, emissions.frames, emissions.states, options, false);
    return compute_posteriors(graph.incoming, rows, graph.segmentation, emissions, forward,
                              backward, total, options);
}

template <Scalar S>
StateScoreTable<S> hsmm_state_occupancies(const ModelParameters<S>& model,
                                          const SegmentationData<S>& segmentation,
                                          const StateScoreTable<S>& emissions,
                                          const DurationOccupancies& durations,
                                          const HsmmOptions<S>& options) {
    const std::uint64_t frames = emissions.frames;
    const std::uint64_t positions = emissions.states;
    if (durations.frames != frames || durations.states != positions || !durations.well_formed()) {
        throw ModelError("duration occupancy dimensions differ");
    }
    const HsmmDurationRows<S> rows =
        prepare_hsmm_durations_with(model, segmentation, frames, positions, options, false);
    const ModelError allocation_failed("state occupancy allocation failed");
    const auto cells = checked_mul(frames, positions);
    if (!cells) throw allocation_failed;
    StateScoreTable<S> table;
    table.values = table_or_fail(*cells, S(0), allocation_failed);
    table.frames = frames;
    table.states = positions;

    if (frames > 0) {
        // Position by position over the frames at which the windows visit it.
        const StateRadiusWindow<S> window(segmentation.boundaries, frames, options.state_radius);
        std::uint64_t longest_run = 0;
        for (std::uint64_t s = 0; s < positions; ++s) {
            longest_run = std::max(longest_run, window.position_frames(s).size());
        }
        std::vector<S> mass = allocate_or_fail(longest_run, S(0), allocation_failed);
        for (std::uint64_t s = 0; s < positions; ++s) {
            const IndexRange run = window.position_frames(s);
            const std::uint64_t length = rows[s].size();
            if (s == 0) {
                for (std::uint64_t t = run.first; t < run.last; ++t) {
                    table(t, 0) = first_position_mass<S>(durations, t, length);
                }
                continue;
            }
            std::fill_n(mass.data(), run.size(), S(0));
            covering_masses(durations, s, length, run, mass.data());
            for (std::uint64_t t = run.first; t < run.last; ++t) {
                table(t, s) = mass[t - run.first];
            }
        }
    }
    for (std::uint64_t t = 0; t < frames; ++t) {
        S* row = table.values.data() + t * positions;
        S sum = 0;
        for (std::uint64_t s = 0; s < positions; ++s) sum += row[s];
        // The 32-bit sum is widened before 1e-7 is added; each quotient is taken in 64 bits.
        const double denominator = static_cast<double>(sum) + 1e-07;
        for (std::uint64_t s = 0; s < positions; ++s) {
            row[s] = static_cast<S>(static_cast<double>(row[s]) / denominator);
        }
    }
    if (frames == 0 || positions == 0 || !all_finite_nonnegative(table.values)) {
        throw ModelError(
            "occupancies require positive matching dimensions and finite nonnegative values");
    }
    return table;
}

#define TARVEK_INSTANTIATE(S, Source)                                           \
    template DurationOccupancies duration_occupancies_with(                     \
        const ModelParameters<S>&, const Source<S>&, const StateScoreTable<S>&, \
        const HsmmScoreTables<S>&, const HsmmScoreTables<S>&, S, const HsmmOptions<S>&);
TARVEK_INSTANTIATE(float, SegmentationData)
TARVEK_INSTANTIATE(double, SegmentationData)
TARVEK_INSTANTIATE(float, TransitionGraphParameters)
TARVEK_INSTANTIATE(double, TransitionGraphParameters)
#undef TARVEK_INSTANTIATE

template StateScoreTable<float> hsmm_state_occupancies(const ModelParameters<float>&,
                                                       const SegmentationData<float>&,
                                                       const StateScoreTable<float>&,
                                                       const DurationOccupancies&,
                                                       const HsmmOptions<float>&);
template StateScoreTable<double> hsmm_state_occupancies(const ModelParameters<double>&,
                                                        const SegmentationData<double>&,
                                                        const StateScoreTable<double>&,
                                                        const DurationOccupancies&,
                                                        const HsmmOptions<double>&);

}  // namespace tarvek
