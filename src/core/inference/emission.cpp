#include "core/inference/emission.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "core/inference/computed_cells.hpp"
#include "core/model/batch_scoring.hpp"
#include "core/model/probability.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {
namespace {

template <Scalar S>
using View = PreparedGaussianView<S>;

void check_stream_weight(double weight) {
    if (!is_finite_nonnegative(weight)) {
        throw ModelError("stream weights must be finite and nonnegative");
    }
}

template <Scalar S>
struct Inputs {
    const ModelParameters<S>& model;  // supplies the stream weights
    const ObservationData<S>& observation;
    const SegmentationData<S>& segmentation;
    EmissionPruningMode mode;
    S temperature;
    S parameter;

    std::uint64_t frames() const noexcept { return observation.frames; }
    std::uint64_t positions() const noexcept { return segmentation.segment_count(); }
};

// The checks that both entry points make after any preparation, in their order.
template <Scalar S>
void check_inputs(const Inputs<S>& in) {
    in.observation.validate();
    in.segmentation.validate();
    in.model.validate_mixtures();
    if (in.frames() < 1 || in.positions() < 1 || in.positions() >= legacy_count_limit) {
        throw ModelError("emission sampling requires positive frame and state counts");
    }
    const std::size_t streams = in.model.streams.size();
    if (in.observation.stream_count() != streams || in.segmentation.stream_count() != streams) {
        throw ModelError("model, observation, and segmentation stream counts differ");
    }
    check_temperature(in.temperature);
    switch (in.mode) {
        case EmissionPruningMode::none:
            break;
        case EmissionPruningMode::state_radius:
            if (!is_finite_nonnegative(in.parameter)) {
                throw ModelError("state pruning radius must be finite and nonnegative");
            }
            check_window_boundaries(
                in.segmentation.boundaries, in.frames(),
                ModelError("segment boundaries must be ordered within the observation"),
                ModelError("final segment boundary must match the frame count"));
            break;
        case EmissionPruningMode::linear_band:
            if (!is_finite_nonnegative(in.parameter)) {
                throw ModelError("linear pruning slope must be finite and nonnegative");
            }
            break;
        default:
            // Callers convert their codes first; an unknown one must not reach the windows.
            throw ModelError("unknown emission pruning mode");
    }
    for (std::size_t i = 0; i < streams; ++i) {
        const StreamParameters<S>& stream = in.model.streams[i];
        check_stream_weight(stream.weight);
        for (const std::int32_t state : in.segmentation.output_states[i]) {
            if (state < 0 || static_cast<std::uint64_t>(state) >= stream.emissions.size()) {
                throw ModelError("emission state is out of range");
            }
        }
        const std::uint64_t dimensions = in.observation.streams[i].dimension;
        for (const auto& mixture : stream.emissions) {
            if (mixture.dimensions != dimensions) {
                throw ModelError("emission and observation dimensions differ");
            }
        }
    }
}

template <Scalar S>
ComputedCells<S> computed_cells(const Inputs<S>& in) noexcept {
    const CellShape shape = in.mode == EmissionPruningMode::state_radius  ? CellShape::state_radius
                            : in.mode == EmissionPruningMode::linear_band ? CellShape::linear_band
                                                                          : CellShape::every;
    return {shape, in.segmentation.boundaries, in.frames(), in.positions(), in.parameter};
}

// One cell with every check of the one-frame scoring, so that the first failing cell in the
// defining order reports its own message.
template <Scalar S, class ViewOf>
S checked_cell(const Inputs<S>& in, const ViewOf& view_of, std::uint64_t t, std::uint64_t s) {
    S sum = 0;
    for (std::size_t i = 0; i < in.observation.streams.size(); ++i) {
        const ObservationStreamData<S>& stream = in.observation.streams[i];
        const std::optional<View<S>> view = view_of(i, in.segmentation.output_states[i][s]);
        if (!view) throw ModelError("emission state is out of range");
        const std::size_t d = stream.dimension;
        const std::span<const S> frame(stream.values.data() + t * d, d);
        const S score = view->log_probability(frame, in.temperature);
        sum = sum + score * in.model.streams[i].weight;
    }
    return sum;
}

// True when no computed cell can fail: every frame value finite and every mixture a computed
// position needs present with the observation's dimensions.
template <Scalar S, class ViewOf>
bool cells_cannot_fail(const Inputs<S>& in, const ComputedCells<S>& cells, const ViewOf& view_of) {
    if (!in.observation.all_values_finite()) return false;
    for (std::uint64_t s = 0; s < in.positions(); ++s) {
        if (cells.position_frames(s).empty()) continue;
        for (std::size_t i = 0; i < in.observation.streams.size(); ++i) {
            const std::optional<View<S>> view = view_of(i, in.segmentation.output_states[i][s]);
            if (!view || view->dimensions() != in.observation.streams[i].dimension) return false;
        }
    }
    return true;
}

// Fills the computed cells of `table`, block by block of frames: each stream's block is copied
// for the batch kernel once and scored under the mixture of every position whose run meets it.
// Each cell keeps the cell rule's sum: 0, then + score × weight for each stream in turn.
template <Scalar S, class ViewOf>
void score_cells(const Inputs<S>& in, const ViewOf& view_of, StateScoreTable<S>& table) {
    const ComputedCells<S> cells = computed_cells(in);
    if (!cells_cannot_fail(in, cells, view_of)) {
        // Some cell may fail: take the cells in the defining order so that the first failure
        // is the one reported. A table that completes anyway holds the same values.
        cells.visit_in_order([&](std::uint64_t t, std::uint64_t s) {
            table(t, s) = checked_cell(in, view_of, t, s);
        });
        return;
    }
    const ModelError allocation_failed("emission table allocation failed");
    const PositionRuns runs(cells, in.positions(), allocation_failed);
    // The mixture of every stream and computed position, looked up once.
    const std::size_t streams = in.observation.streams.size();
    const std::uint64_t positions = in.positions();
    std::vector<std::optional<View<S>>> views;
    reserve_or_fail(views, streams * positions, allocation_failed);
    std::vector<FrameBlock<S>> blocks;
    std::uint64_t components = 0;
    for (std::size_t i = 0; i < streams; ++i) {
        blocks.emplace_back(in.observation.streams[i].dimension, allocation_failed);
        for (std::uint64_t s = 0; s < positions; ++s) {
            // A position with no computed cell may name a mixture the prepared model lacks.
            views.push_back(runs.run(s).empty() ? std::nullopt
                                                : view_of(i, in.segmentation.output_states[i][s]));
            if (views.back()) components = std::max(components, views.back()->mixture_count());
        }
    }
    std::vector<S> densities = block_density_rows<S>(components, allocation_failed);
    constexpr std::size_t width = FrameBlock<S>::width;
    alignas(64) S scores[width];
    alignas(64) S sums[width];
    runs.for_each_block(in.frames(), width, [&](IndexRange frames, IndexRange candidates) {
        for (std::size_t i = 0; i < streams; ++i) {
            const ObservationStreamData<S>& stream = in.observation.streams[i];
            blocks[i].load(stream.values.data() + frames.first * stream.dimension, stream.dimension,
                           frames.size());
        }
        for (std::uint64_t s = candidates.first; s < candidates.last; ++s) {
            const IndexRange shared = runs.run(s).intersection(frames);
            if (shared.empty()) continue;
            for (std::size_t i = 0; i < streams; ++i) {
                score_block(*views[i * positions + s], blocks[i], DensityRows::scored,
                            in.temperature, densities.data(), scores);
                add_weighted_lanes(scores, in.model.streams[i].weight, i == 0, sums);
            }
            S* column = table.values.data() + shared.first * positions + s;
            const S* sum = sums + (shared.first - frames.first);
            for (std::uint64_t b = 0; b < shared.size(); ++b) column[b * positions] = sum[b];
        }
    });
}

template <Scalar S, class ViewOf>
StateScoreTable<S> score_table(const Inputs<S>& in, const ViewOf& view_of) {
    check_inputs(in);
    StateScoreTable<S> table = StateScoreTable<S>::filled(
        in.frames(), in.positions(), ModelError("emission table allocation failed"));
    score_cells(in, view_of, table);
    return table;
}

}  // namespace

namespace detail {

template <Scalar S>
std::vector<StreamPreparation<S>> prepare_emissions(const ModelParameters<S>& model,
                                                    const SegmentationData<S>& segmentation) {
    const RememberedCheck scorable(model.scorable, model.stamp);
    std::vector<StreamPreparation<S>> streams;
    reserve_or_fail(streams, model.streams.size(),
                    ModelError("prepared stream list allocation failed"));
    for (std::size_t i = 0; i < model.streams.size(); ++i) {
        check_stream_weight(model.streams[i].weight);
        // The segmentation is not checked yet: a stream it has no row for names no state.
        std::span<const std::int32_t> states;
        if (i < segmentation.output_states.size()) states = segmentation.output_states[i];
        streams.push_back(
            prepare_named_states(model.streams[i], states, std::nullopt,
                                 ModelError("prepared emission list allocation failed"), scorable));
    }
    scorable.remember();
    return streams;
}

template <Scalar S>
StateScoreTable<S> prepared_emission_log_probabilities(
    const ModelParameters<S>& model, const ObservationData<S>& observation,
    const SegmentationData<S>& segmentation, EmissionPruningMode mode, S temperature, S parameter,
    const std::vector<StreamPreparation<S>>& prepared) {
    // Emission states are checked before any cell is computed.
    const auto view_of = [&](std::size_t stream, std::int32_t state) -> std::optional<View<S>> {
        const auto e = static_cast<std::size_t>(state);
        return View<S>(model.streams[stream].emissions[e], prepared[stream].normalizers[e]);
    };
    return score_table(Inputs<S>{model, observation, segmentation, mode, temperature, parameter},
                       view_of);
}

}  // namespace detail

template <Scalar S>
StateScoreTable<S> emission_log_probabilities(const ModelParameters<S>& model,
                                              const ObservationData<S>& observation,
                                              const SegmentationData<S>& segmentation,
                                              EmissionPruningMode mode, S temperature,
                                              S parameter) {
    return detail::prepared_emission_log_probabilities(
        model, observation, segmentation, mode, temperature, parameter,
        detail::prepare_emissions(model, segmentation));
}

template <Scalar S>
StateScoreTable<S> sample_emission_densities(const ModelParameters<S>& model,
                                             const ObservationData<S>& observation,
                                             const SegmentationData<S>& segmentation,
                                             EmissionPruningMode mode,
                                             const OwnedPreparedModelParameters<S>& prepared,
                                             S temperature, S parameter) {
    const auto view_of = [&](std::size_t stream, std::int32_t state) -> std::optional<View<S>> {
        if (state < 0) return std::nullopt;
        std::optional<View<S>> view = prepared.emission(stream, static_cast<std::uint64_t>(state));
        // A normalizer array that does not match its mixture would be read out of bounds.
        if (view && view->normalizers().size() != view->mixture_count()) return std::nullopt;
        return view;
    };
    return score_table(Inputs<S>{model, observation, segmentation, mode, temperature, parameter},
                       view_of);
}

#define TARVEK_INSTANTIATE(S)                                                             \
    template std::vector<StreamPreparation<S>> detail::prepare_emissions(                 \
        const ModelParameters<S>&, const SegmentationData<S>&);                           \
    template StateScoreTable<S> detail::prepared_emission_log_probabilities(              \
        const ModelParameters<S>&, const ObservationData<S>&, const SegmentationData<S>&, \
        EmissionPruningMode, S, S, const std::vector<StreamPreparation<S>>&);             \
    template StateScoreTable<S> emission_log_probabilities(                               \
        const ModelParameters<S>&, const ObservationData<S>&, const SegmentationData<S>&, \
        EmissionPruningMode, S, S);                                                       \
    template StateScoreTable<S> sample_emission_densities(                                \
        const ModelParameters<S>&, const ObservationData<S>&, const SegmentationData<S>&, \
        EmissionPruningMode, const OwnedPreparedModelParameters<S>&, S, S);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
