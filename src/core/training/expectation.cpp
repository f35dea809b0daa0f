#include "core/training/expectation.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/inference/pruning.hpp"
#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"
#include "core/numerics/value_checks.hpp"
#include "core/training/expectation_kernels.hpp"
#include "core/training/statistics_transaction.hpp"

namespace tarvek {

namespace {

// Per position, whether one of its present cells in a mixture table is malformed: a weight
// count other than `components[s]`, or a weight that is not finite and nonnegative. Frames the
// accumulation never visits count too. One pass in cell order.
std::vector<std::uint8_t> malformed_positions(const MixtureOccupancies& table,
                                              const std::vector<std::uint64_t>& components) {
    const std::uint64_t positions = table.states;
    std::vector<std::uint8_t> malformed = allocate_or_bad_alloc<std::uint8_t>(positions, 0);
    const float* values = table.values.data();
    // Usually every weight is valid: one pass over all of them spares the per-cell checks.
    const bool all_valid = all_finite_nonnegative(table.values);
    for (std::uint64_t t = 0; t < table.frames; ++t) {
        const std::size_t row = static_cast<std::size_t>(t * positions);
        for (std::uint64_t s = 0; s < positions; ++s) {
            const std::size_t cell = row + s;
            if (table.presence[cell] != 1) continue;
            const std::uint64_t first = table.offsets[cell];
            const std::uint64_t end = table.offsets[cell + 1];
            if (end < first || end - first != components[s] || end > table.values.size()) {
                malformed[s] = 1;
                continue;
            }
            if (all_valid) continue;
            if (!all_finite_nonnegative(std::span<const float>(values + first, end - first))) {
                malformed[s] = 1;
            }
        }
    }
    return malformed;
}

// The checks both entry points share, in their order.
template <Scalar S>
void validate_expectation(const ModelSufficientStatistics<S>& statistics,
                          const ModelParameters<S>& model, const ObservationData<S>& observation,
                          const SegmentationData<S>& segmentation, const StateScoreTable<S>& states,
                          std::span<const MixtureOccupancies> mixtures, bool statistics_validated) {
    if (!statistics_validated) statistics.validate_for(model);
    observation.validate();
    segmentation.validate();
    const std::uint64_t frames = observation.frames;
    const std::uint64_t positions = segmentation.segment_count();
    const std::size_t streams = mixtures.size();
    const auto cells = checked_mul(states.frames, states.states);
    if (positions == 0 || observation.stream_count() != streams ||
        statistics.streams.size() != streams || frames == 0 || states.frames != frames ||
        states.states != positions || segmentation.stream_count() != streams || !cells ||
        *cells != states.values.size()) {
        throw ModelError("expectation dimensions or stream counts differ");
    }
    if (!observation.all_values_finite()) {
        throw ModelError("expectation observations must be finite");
    }
    // Built for stream i when position 0 reaches its cell check; a position whose emission
    // state or dimension is wrong fails before its entry is read.
    std::vector<std::vector<std::uint8_t>> malformed(streams);
    for (std::uint64_t s = 0; s < positions; ++s) {
        const std::int32_t duration = segmentation.duration_states[s];
        if (duration < 0 || static_cast<std::uint64_t>(duration) >= statistics.durations.size()) {
            throw ModelError("expectation duration state is out of range");
        }
        for (std::size_t i = 0; i < streams; ++i) {
            const MixtureOccupancies& table = mixtures[i];
            if (table.frames != states.frames || table.states != states.states ||
                !table.arrays_match()) {
                throw ModelError("mixture posterior dimensions differ");
            }
            const auto& gaussians = statistics.streams[i].emissions;
            // Checked here; the accumulation reads the sums.
            statistics.streams[i].emission_for(segmentation.output_states[i][s],
                                               observation.streams[i].dimension,
                                               "expectation emission state is out of range",
                                               "expectation feature dimensions differ");
            if (s == 0) {
                std::vector<std::uint64_t> components(positions, ~std::uint64_t{0});
                for (std::uint64_t p = 0; p < positions; ++p) {
                    const std::int32_t state = segmentation.output_states[i][p];
                    if (state >= 0 && static_cast<std::uint64_t>(state) < gaussians.size()) {
                        components[p] = gaussians[state].mixture_count();
                    }
                }
                malformed[i] = malformed_positions(table, components);
            }
            if (malformed[i][s] != 0) throw ModelError("invalid mixture posterior components");
        }
    }
}

// sum[j] += p·x[j] and squared_sum[j] += x[j]·(p·x[j]) for j < d: independent sums, so the
// lanes run across j; element-wise products and sums give the same bits at any width.
struct WeightedFrameKernel {
    template <std::size_t, Scalar S>
    [[gnu::always_inline]] static void run(S* __restrict sum, S* __restrict squared_sum,
                                           const S* __restrict x, S p, std::size_t d) noexcept {
        for (std::size_t j = 0; j < d; ++j) {
            const S weighted = p * x[j];
            sum[j] += weighted;
            squared_sum[j] += x[j] * weighted;
        }
    }
};

}  // namespace

template <Scalar S>
void add_weighted_frame(InstructionSet set, S* sum, S* squared_sum, const S* x, S p,
                        std::size_t d) noexcept {
    run_kernel<WeightedFrameKernel>(set, sum, squared_sum, x, p, d);
}

namespace {

// Adds the emission statistics of cells to the staged Gaussians. Every lookup was made safe
// by `validate_expectation`.
template <Scalar S>
class EmissionAccumulator {
  public:
    EmissionAccumulator(StagedStatistics<S>& staged, const ObservationData<S>& observation,
                        const StateScoreTable<S>& states,
                        std::span<const MixtureOccupancies> mixtures) noexcept
        : staged_(staged), observation_(observation), states_(states), mixtures_(mixtures) {}

    void add(std::uint64_t t, std::uint64_t s) noexcept {
        for (std::size_t i = 0; i < mixtures_.size(); ++i) add(i, t, s);
    }

    // Cell (t, s) of stream i alone: streams share no sums.
    void add(std::size_t i, std::uint64_t t, std::uint64_t s) noexcept {
        GaussianSufficientStatistics<S>& gaussian = staged_.emission(i, s);
        gaussian.state_occupancy += states_(t, s);
        const std::size_t cell = states_.index(t, s);
        const MixtureOccupancies& table = mixtures_[i];
        if (table.presence[cell] != 1) return;
        const float* weights = table.values.data() + table.offsets[cell];
        const std::size_t d = gaussian.dimensions;
        const S* x = observation_.streams[i].values.data() + t * d;
        S* sums = gaussian.weighted_sums.data();
        S* squared_sums = gaussian.weighted_squared_sums.data();
        S* occupancies = gaussian.component_occupancies.data();
        const std::size_t components = gaussian.mixture_count();
        for (std::size_t m = 0; m < components; ++m) {
            const S p = static_cast<S>(weights[m]);
            occupancies[m] += p;
            add_weighted_frame(fastest_instruction_set, sums + m * d, squared_sums + m * d, x, p,
                               d);
        }
    }

    // The cells of every state-radius window, window by window and stream by stream: each
    // Gaussian's cells in the order a cell-by-cell pass adds them. Where no two of a window's
    // positions share a Gaussian, position by position, so that each Gaussian's sums stay in
    // the nearest cache across the window's frames instead of being reloaded at every frame.
    void add_windows(const StateRadiusWindow<S>& window, std::uint64_t positions) {
        std::vector<std::uint64_t> last_window;  // per Gaussian, 1 + the last window naming it
        for (std::size_t i = 0; i < mixtures_.size(); ++i) {
            last_window.assign(staged_.emission_count(i), 0);
            for (std::uint64_t k = 0; k < positions; ++k) {
                const IndexRange frames = window.segment_frames(k);
                const IndexRange cells = window.segment_positions(k);
                bool shared = false;
                for (std::uint64_t s = cells.first; s < cells.last; ++s) {
                    std::uint64_t& last = last_window[staged_.emission_slot(i, s)];
                    shared = shared || last == k + 1;
                    last = k + 1;
                }
                if (shared) {
                    for (std::uint64_t t = frames.first; t < frames.last; ++t) {
                        for (std::uint64_t s = cells.first; s < cells.last; ++s) add(i, t, s);
                    }
                    continue;
                }
                for (std::uint64_t s = cells.first; s < cells.last; ++s) {
                    for (std::uint64_t t = frames.first; t < frames.last; ++t) add(i, t, s);
                }
            }
        }
    }

  private:
    StagedStatistics<S>& staged_;
    const ObservationData<S>& observation_;
    const StateScoreTable<S>& states_;
    std::span<const MixtureOccupancies> mixtures_;
};

// Adds the duration posterior of cell (t, s): each entry p of duration n adds p·n, (p·n)·n
// and p.
template <Scalar S>
void add_duration_posterior(DurationSufficientStatistics<S>& sums,
                            const DurationOccupancies& durations, std::size_t cell) {
    if (durations.presence[cell] != 1) return;
    const std::uint64_t minimum = durations.minimums[cell];
    const std::uint64_t first = durations.offsets[cell];
    const std::uint64_t end = durations.offsets[cell + 1];
    for (std::uint64_t j = first; j < end; ++j) {
        const float value = durations.values[j];
        if (!is_finite_nonnegative(value)) {
            throw ModelError("invalid duration posterior probability");
        }
        std::uint64_t duration;
        if (__builtin_add_overflow(minimum, j - first, &duration)) {
            throw ModelError("posterior duration overflows");
        }
        const S p = static_cast<S>(value);
        const S weighted = p * static_cast<S>(duration);
        sums.value_sum += weighted;
        sums.squared_sum += weighted * static_cast<S>(duration);
        sums.occupancy += p;
    }
}

}  // namespace

namespace detail {

template <Scalar S>
void collect_hsmm_checked(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                          const ObservationData<S>& observation,
                          const SegmentationData<S>& segmentation,
                          const HsmmExpectation<S>& expectation, bool statistics_validated) {
    const S radius = expectation.state_radius;
    if (!is_finite_nonnegative(radius)) {
        throw ModelError("state pruning radius must be finite and nonnegative");
    }
    validate_expectation(statistics, model, observation, segmentation, expectation.states,
                         expectation.mixtures, statistics_validated);
    const std::uint64_t frames = observation.frames;
    const std::uint64_t positions = segmentation.segment_count();
    const DurationOccupancies& durations = expectation.durations;
    if (durations.frames != frames || durations.states != positions || !durations.well_formed()) {
        throw ModelError("duration posterior dimensions differ");
    }
    check_window_boundaries(segmentation.boundaries, frames,
                            ModelError("expectation boundaries are unordered or out of range"),
                            ModelError("final boundary must match frame count"));

    StagedStatistics<S> staged(statistics, segmentation);
    const StateRadiusWindow<S> window(segmentation.boundaries, frames, radius);
    // Window by window, so a cell that two windows hold is added twice. The duration sums
    // first, in cell order: their entries are checked as they are added. The emission sums
    // cannot fail, and the first failure leaves the statistics as they were.
    for (std::uint64_t k = 0; k < positions; ++k) {
        const IndexRange window_frames = window.segment_frames(k);
        const IndexRange window_positions = window.segment_positions(k);
        for (std::uint64_t t = window_frames.first; t < window_frames.last; ++t) {
            for (std::uint64_t s = window_positions.first; s < window_positions.last; ++s) {
                add_duration_posterior(staged.duration(s), durations,
                                       static_cast<std::size_t>(t * positions + s));
            }
        }
    }
    EmissionAccumulator<S>(staged, observation, expectation.states, expectation.mixtures)
        .add_windows(window, positions);
    staged.validate_for(model);
    staged.commit(statistics);
}

template <Scalar S>
void collect_geometric_checked(ModelSufficientStatistics<S>& statistics,
                               const ModelParameters<S>& model,
                               const ObservationData<S>& observation,
                               const SegmentationData<S>& segmentation,
                               const GeometricExpectation<S>& expectation,
                               bool statistics_validated) {
    validate_expectation(statistics, model, observation, segmentation, expectation.states,
                         expectation.mixtures, statistics_validated);
    const std::uint64_t frames = observation.frames;
    const std::uint64_t positions = segmentation.segment_count();
    const TransitionOccupancies& transitions = expectation.transitions;
    const S slope = expectation.pruning_slope;
    const auto cells = checked_mul(transitions.frames, transitions.states);
    if (transitions.frames != frames || transitions.states != positions || !cells ||
        *cells != transitions.entries.size() || !is_finite_nonnegative(slope)) {
        throw ModelError("invalid transition dimensions or pruning slope");
    }

    StagedStatistics<S> staged(statistics, segmentation);
    EmissionAccumulator<S> emissions(staged, observation, expectation.states, expectation.mixtures);
    const IndexRange inner = inner_frames(frames);
    const LinearBand band = LinearBand::from_slope(frames, positions, slope);
    for (std::uint64_t t = inner.first; t < inner.last; ++t) {
        const IndexRange band_positions = band.frame_positions(t);
        for (std::uint64_t s = band_positions.first; s < band_positions.last; ++s) {
            DurationSufficientStatistics<S>& duration = staged.duration(s);
            const TransitionOccupancy& entry = transitions.entries[t * positions + s];
            if ((entry.present & 1U) != 0) {
                if (!is_finite_nonnegative(entry.advance)) {
                    throw ModelError("invalid transition posterior probability");
                }
                duration.value_sum += static_cast<S>(entry.advance);
            }
            duration.occupancy += expectation.states(t, s);
            emissions.add(t, s);
        }
    }
    staged.validate_for(model);
    staged.commit(statistics);
}

}  // namespace detail

template <Scalar S>
void collect_hsmm(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                  const ObservationData<S>& observation, const SegmentationData<S>& segmentation,
                  const HsmmExpectation<S>& expectation) {
    detail::collect_hsmm_checked(statistics, model, observation, segmentation, expectation, false);
}

template <Scalar S>
void collect_geometric(ModelSufficientStatistics<S>& statistics, const ModelParameters<S>& model,
                       const ObservationData<S>& observation,
                       const SegmentationData<S>& segmentation,
                       const GeometricExpectation<S>& expectation) {
    detail::collect_geometric_checked(statistics, model, observation, segmentation, expectation,
                                      false);
}

#define TARVEK_INSTANTIATE(S)                                                                 \
    template void collect_hsmm(ModelSufficientStatistics<S>&, const ModelParameters<S>&,      \
                               const ObservationData<S>&, const SegmentationData<S>&,         \
                               const HsmmExpectation<S>&);                                    \
    template void collect_geometric(ModelSufficientStatistics<S>&, const ModelParameters<S>&, \
                                    const ObservationData<S>&, const SegmentationData<S>&,    \
                                    const GeometricExpectation<S>&);                          \
    template void detail::collect_hsmm_checked(                                               \
        ModelSufficientStatistics<S>&, const ModelParameters<S>&, const ObservationData<S>&,  \
        const SegmentationData<S>&, const HsmmExpectation<S>&, bool);                         \
    template void detail::collect_geometric_checked(                                          \
        ModelSufficientStatistics<S>&, const ModelParameters<S>&, const ObservationData<S>&,  \
        const SegmentationData<S>&, const GeometricExpectation<S>&, bool);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

template void add_weighted_frame(InstructionSet, float*, float*, const float*, float,
                                 std::size_t) noexcept;
template void add_weighted_frame(InstructionSet, double*, double*, const double*, double,
                                 std::size_t) noexcept;

}  // namespace tarvek
