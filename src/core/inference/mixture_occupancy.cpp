#include "core/inference/mixture_occupancy.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/inference/computed_cells.hpp"
#include "core/model/batch_scoring.hpp"
#include "core/model/preparation.hpp"
#include "core/numerics/allocation.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

MixtureOccupancies MixtureOccupancies::from_values(std::uint64_t frames, std::uint64_t states,
                                                   TableVector<std::uint8_t> presence,
                                                   TableVector<std::uint64_t> offsets,
                                                   TableVector<float> values) {
    const ModelError invalid(
        "mixture occupancies require positive matching dimensions and finite nonnegative "
        "weights");
    if (!valid_layout(frames, states, presence, offsets, values)) throw invalid;
    return {{std::move(presence), std::move(offsets), std::move(values), frames, states}};
}

std::optional<std::span<const float>> MixtureOccupancies::get(std::uint64_t frame,
                                                              std::uint64_t state) const noexcept {
    const auto cell = present_cell(frame, state);
    if (!cell) return std::nullopt;
    return cell_values(*cell);
}

namespace {

template <Scalar S>
void check_parameters(const ObservationData<S>& observation,
                      const SegmentationData<S>& segmentation, bool band, S parameter) {
    if (band) {
        if (!is_finite_nonnegative(parameter)) {
            throw ModelError("pruning slope must be finite and nonnegative");
        }
        return;
    }
    if (!is_finite_nonnegative(parameter)) {
        throw ModelError("state pruning radius must be finite and nonnegative");
    }
    check_window_boundaries(
        segmentation.boundaries, observation.frames,
        ModelError("mixture occupancy boundaries must be ordered within the observation"),
        ModelError("final boundary must match the frame count"));
}

// Per frame, whether all its values are finite.
template <Scalar S>
std::vector<std::uint8_t> finite_frames(const ObservationStreamData<S>& stream,
                                        std::uint64_t frames, const ModelError& allocation_failed) {
    std::vector<std::uint8_t> finite = allocate_or_fail<std::uint8_t>(frames, 1, allocation_failed);
    const std::size_t d = stream.dimension;
    for (std::uint64_t t = 0; t < frames; ++t) {
        const S* x = stream.values.data() + t * d;
        finite[t] = all_finite(std::span<const S>(x, d));
    }
    return finite;
}

// Marks the computed cells and appends the offsets to the reserved, empty list, frame by frame,
// so that each is written once: the cells between computed ones share one offset and are
// appended at once. A computed cell whose frame is not finite fails
// as its scoring would.
template <Scalar S>
void lay_out(MixtureOccupancies& result, const PositionRuns& runs,
             const ObservationStreamData<S>& data, const StreamParameters<S>& stream,
             std::span<const std::int32_t> emission_states, const ModelError& allocation_failed) {
    const std::uint64_t positions = result.states;
    const std::vector<std::uint8_t> finite = finite_frames(data, result.frames, allocation_failed);
    TableVector<std::uint64_t>& offsets = result.offsets;  // offsets[c + 1] follows cell c
    std::uint64_t total = 0;
    offsets.push_back(total);
    bool overflow = false;
    runs.for_each_block(result.frames, 1, [&](IndexRange frame, IndexRange candidates) {
        const std::uint64_t t = frame.first;
        for (std::uint64_t s = candidates.first; s < candidates.last; ++s) {
            if (!runs.run(s).contains(t)) continue;
            if (!finite[t]) {
                throw ModelError("observation must have matching dimensions and finite values");
            }
            const std::uint64_t cell = t * positions + s;
            result.presence[cell] = 1;
            offsets.resize(cell + 1, total);
            const auto state = static_cast<std::size_t>(emission_states[s]);
            overflow |=
                __builtin_add_overflow(total, stream.emissions[state].mixture_count(), &total);
            offsets.push_back(total);
        }
    });
    offsets.resize(result.presence.size() + 1, total);
    if (overflow) throw ModelError("component occupancy allocation failed");
}

// The values of every computed cell. Each block of frames is copied for the batch kernel once;
// every position whose run meets it gets each component's density, the mixture log probability
// and the shares of each of its frames.
template <Scalar S>
void fill_values(MixtureOccupancies& result, const PositionRuns& runs,
                 const StreamParameters<S>& model_stream, const ObservationStreamData<S>& data,
                 std::span<const std::int32_t> emission_states,
                 const StreamPreparation<S>& prepared, const StateScoreTable<S>& occupancies,
                 bool band, S temperature, const ModelError& allocation_failed) {
    const std::uint64_t positions = result.states;
    const std::size_t d = data.dimension;
    std::uint64_t components = 0;
    for (const std::int32_t state : emission_states) {
        components = std::max(components, model_stream.emissions[state].mixture_count());
    }
    FrameBlock<S> block(d, allocation_failed);
    constexpr std::size_t width = FrameBlock<S>::width;
    std::vector<S> densities = block_density_rows<S>(components, allocation_failed);
    std::vector<float> shares =
        allocate_or_fail(checked_mul(components, width).value_or(~0ULL), 0.0f, allocation_failed);
    alignas(64) S log_probabilities[width];
    alignas(64) S occupancy_lanes[width];
    runs.for_each_block(result.frames, width, [&](IndexRange block_frames, IndexRange candidates) {
        block.load(data.values.data() + block_frames.first * d, d, block_frames.size());
        for (std::uint64_t s = candidates.first; s < candidates.last; ++s) {
            const IndexRange shared = runs.run(s).intersection(block_frames);
            if (shared.empty()) continue;
            const auto state = static_cast<std::size_t>(emission_states[s]);
            const PreparedGaussianView<S> view(model_stream.emissions[state],
                                               prepared.normalizers[state]);
            // Zero weights too: their terms keep the product of the weight and the exponential.
            score_block(view, block, DensityRows::every, temperature, densities.data(),
                        log_probabilities);
            // Lanes outside the run are computed and dropped.
            std::fill_n(occupancy_lanes, width, S(0));
            for (std::uint64_t t = shared.first; t < shared.last; ++t) {
                occupancy_lanes[t - block_frames.first] = occupancies(t, s);
            }
            block_component_occupancies(view, densities.data(), log_probabilities, occupancy_lanes,
                                        temperature, band, shares.data());
            const std::size_t count = view.mixture_count();
            for (std::uint64_t t = shared.first; t < shared.last; ++t) {
                const float* lane = shares.data() + (t - block_frames.first) * count;
                std::copy_n(lane, count, result.values.data() + result.offsets[t * positions + s]);
            }
        }
    });
}

// The whole computation; `given` holds the stream's normalizers when the caller has them.
template <Scalar S>
MixtureOccupancies occupancies_of(const ModelParameters<S>& model,
                                  const ObservationData<S>& observation,
                                  const SegmentationData<S>& segmentation,
                                  const StateScoreTable<S>& occupancies, std::uint64_t stream,
                                  MixtureOccupancyMode mode, S temperature, S parameter,
                                  const StreamPreparation<S>* given) {
    observation.validate();
    segmentation.validate();
    const std::uint64_t frames = observation.frames;
    const std::uint64_t positions = segmentation.segment_count();
    const std::size_t stream_count = model.streams.size();
    if (occupancies.frames != frames || occupancies.states != positions ||
        observation.stream_count() != stream_count || segmentation.stream_count() != stream_count) {
        throw ModelError("mixture occupancy dimensions or stream counts differ");
    }
    check_temperature(temperature);
    const bool band = (static_cast<std::uint32_t>(mode) & 1U) != 0;
    check_parameters(observation, segmentation, band, parameter);
    if (stream >= observation.stream_count()) {
        throw ModelError("mixture occupancy stream is out of range");
    }
    const StreamParameters<S>& model_stream = model.streams[stream];
    const ObservationStreamData<S>& data = observation.streams[stream];
    const std::vector<std::int32_t>& emission_states = segmentation.output_states[stream];
    for (const std::int32_t state : emission_states) {
        if (state < 0 || static_cast<std::uint64_t>(state) >= model_stream.emissions.size()) {
            throw ModelError("mixture occupancy emission state is out of range");
        }
    }
    const ModelError allocation_failed("mixture occupancy allocation failed");
    StreamPreparation<S> own;
    if (!given) {
        own = prepare_named_states(model_stream, emission_states, data.dimension, allocation_failed,
                                   RememberedCheck(model.scorable, model.stamp));
    }
    const StreamPreparation<S>& prepared = given ? *given : own;

    const auto cells = checked_mul(frames, positions);
    if (!cells || !elements_fit<std::uint64_t>(*cells + 1)) throw allocation_failed;
    MixtureOccupancies result;
    result.presence = table_or_fail<std::uint8_t>(*cells, 0, allocation_failed);
    reserve_or_fail(result.offsets, *cells + 1, allocation_failed);
    result.frames = frames;
    result.states = positions;
    const ComputedCells<S> computed(band ? CellShape::inner_linear_band : CellShape::state_radius,
                                    segmentation.boundaries, frames, positions, parameter);
    const PositionRuns runs(computed, positions, allocation_failed);
    lay_out(result, runs, data, model_stream, emission_states, allocation_failed);
    result.values = table_or_fail(result.offsets.back(), 0.0f,
                                  ModelError("component occupancy allocation failed"));

    fill_values(result, runs, model_stream, data, emission_states, prepared, occupancies, band,
                temperature, allocation_failed);
    return result;
}

}  // namespace

template <Scalar S>
MixtureOccupancies mixture_occupancies(const ModelParameters<S>& model,
                                       const ObservationData<S>& observation,
                                       const SegmentationData<S>& segmentation,
                                       const StateScoreTable<S>& occupancies, std::uint64_t stream,
                                       MixtureOccupancyMode mode, S temperature, S parameter) {
    return occupancies_of(model, observation, segmentation, occupancies, stream, mode, temperature,
                          parameter, static_cast<const StreamPreparation<S>*>(nullptr));
}

template <Scalar S>
MixtureOccupancies detail::prepared_mixture_occupancies(
    const ModelParameters<S>& model, const ObservationData<S>& observation,
    const SegmentationData<S>& segmentation, const StateScoreTable<S>& occupancies,
    std::uint64_t stream, MixtureOccupancyMode mode, S temperature, S parameter,
    const StreamPreparation<S>& prepared) {
    return occupancies_of(model, observation, segmentation, occupancies, stream, mode, temperature,
                          parameter, &prepared);
}

#define TARVEK_INSTANTIATE(S)                                                             \
    template MixtureOccupancies mixture_occupancies(                                      \
        const ModelParameters<S>&, const ObservationData<S>&, const SegmentationData<S>&, \
        const StateScoreTable<S>&, std::uint64_t, MixtureOccupancyMode, S, S);            \
    template MixtureOccupancies detail::prepared_mixture_occupancies(                     \
        const ModelParameters<S>&, const ObservationData<S>&, const SegmentationData<S>&, \
        const StateScoreTable<S>&, std::uint64_t, MixtureOccupancyMode, S, S,             \
        const StreamPreparation<S>&);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
