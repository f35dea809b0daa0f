#include "core/inference/emission.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "core/numerics/allocation.hpp"
#include "core/model/probability.hpp"
#include "core/inference/pruning.hpp"

namespace tarvek {
namespace {

template <Scalar S>
using View = PreparedGaussianView<S>;

void check_stream_weight(double weight) {
    if (!is_finite_nonnegative(weight)) {
        throw ModelError("stream weights must be finite and nonnegative");
    }
}

// Every mixture's normalizers, stream by stream; the weight of a stream is checked before its
// mixtures are prepared.
template <Scalar S>
std::vector<StreamPreparation<S>> prepare_emissions(const ModelParameters<S>& model) {
    std::vector<StreamPreparation<S>> streams;
    reserve_or_fail(streams, model.streams.size(),
                    ModelError("prepared stream list allocation failed"));
    for (const StreamParameters<S>& stream : model.streams) {
        check_stream_weight(stream.weight);
        StreamPreparation<S>& prepared = streams.emplace_back();
        reserve_or_fail(prepared.normalizers, stream.emissions.size(),
                        ModelError("prepared emission list allocation failed"));
        for (const auto& mixture : stream.emissions) {
            prepared.normalizers.push_back(gaussian_normalizers(mixture));
        }
    }
    return streams;
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

// The cells a mode computes, position by position or in the defining order.
template <Scalar S>
class Cells {
  public:
    explicit Cells(const Inputs<S>& in)
        : mode_(in.mode),
          frames_(in.frames()),
          positions_(in.positions()),
          window_(in.segmentation.boundaries, in.frames(), in.parameter),
          band_(LinearBand::from_slope(in.frames(), in.positions(), in.parameter)) {}

    IndexRange position_frames(std::uint64_t s) const noexcept {
        switch (mode_) {
            case EmissionPruningMode::state_radius:
                return window_.position_frames(s);
            case EmissionPruningMode::linear_band:
                return band_.position_frames(s);
            default:
                return {0, frames_};
        }
    }

    // Every computed cell in the defining order (a boundary frame of the state-radius window
    // twice, as in the definition).
    template <class Visit>
    void visit_in_order(Visit&& visit) const {
        switch (mode_) {
            case EmissionPruningMode::state_radius:
                for (std::uint64_t k = 0; k < positions_; ++k) {
                    const IndexRange frames = window_.segment_frames(k);
                    const IndexRange positions = window_.segment_positions(k);
                    for (std::uint64_t t = frames.first; t < frames.last; ++t) {
                        for (std::uint64_t s = positions.first; s < positions.last; ++s) {
                            visit(t, s);
                        }
                    }
                }
                return;
            case EmissionPruningMode::linear_band:
                for (std::uint64_t t = 0; t < frames_; ++t) {
                    const IndexRange positions = band_.frame_positions(t);
                    for (std::uint64_t s = positions.first; s < positions.last; ++s) visit(t, s);
                }
                return;
            default:
                for (std::uint64_t t = 0; t < frames_; ++t) {
                    for (std::uint64_t s = 0; s < positions_; ++s) visit(t, s);
                }
                return;
        }
    }

  private:
    EmissionPruningMode mode_;
    std::uint64_t frames_;
    std::uint64_t positions_;
    StateRadiusWindow<S> window_;
    LinearBand band_;
};

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
bool cells_cannot_fail(const Inputs<S>& in, const Cells<S>& cells, const ViewOf& view_of) {
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

// Fills the computed cells of `table`. Each position's frames form one contiguous run, scored
// per stream with the batch mixture path (vectorised across frames); the per-frame stream sum
// keeps the cell rule's order: 0, then + score × weight for each stream in turn.
template <Scalar S, class ViewOf>
void score_cells(const Inputs<S>& in, const ViewOf& view_of, StateScoreTable<S>& table) {
    const Cells<S> cells(in);
    if (!cells_cannot_fail(in, cells, view_of)) {
        // Some cell may fail: take the cells in the defining order so that the first failure
        // is the one reported. A table that completes anyway holds the same values.
        cells.visit_in_order([&](std::uint64_t t, std::uint64_t s) {
            table(t, s) = checked_cell(in, view_of, t, s);
        });
        return;
    }
    const ModelError allocation_failed("emission table allocation failed");
    std::vector<S> sums = allocate_or_fail(in.frames(), S(0), allocation_failed);
    std::vector<S> scores = allocate_or_fail(in.frames(), S(0), allocation_failed);
    const std::uint64_t positions = in.positions();
    for (std::uint64_t s = 0; s < positions; ++s) {
        const IndexRange frames = cells.position_frames(s);
        if (frames.empty()) continue;
        const std::size_t n = frames.size();
        S* sum = sums.data();
        std::fill_n(sum, n, S(0));
        for (std::size_t i = 0; i < in.observation.streams.size(); ++i) {
            const ObservationStreamData<S>& stream = in.observation.streams[i];
            const View<S> view = *view_of(i, in.segmentation.output_states[i][s]);
            view.log_probabilities_unchecked(stream.values.data() + frames.first * stream.dimension,
                                             n, in.temperature, scores.data());
            const S weight = in.model.streams[i].weight;
            const S* score = scores.data();
            for (std::size_t j = 0; j < n; ++j) sum[j] = sum[j] + score[j] * weight;
        }
        S* column = table.values.data() + table.index(frames.first, s);
        for (std::size_t j = 0; j < n; ++j) column[j * positions] = sum[j];
    }
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

template <Scalar S>
StateScoreTable<S> emission_log_probabilities(const ModelParameters<S>& model,
                                              const ObservationData<S>& observation,
                                              const SegmentationData<S>& segmentation,
                                              EmissionPruningMode mode, S temperature,
                                              S parameter) {
    const std::vector<StreamPreparation<S>> prepared = prepare_emissions(model);
    // Emission states are checked before any cell is computed.
    const auto view_of = [&](std::size_t stream, std::int32_t state) -> std::optional<View<S>> {
        const auto e = static_cast<std::size_t>(state);
        return View<S>(model.streams[stream].emissions[e], prepared[stream].normalizers[e]);
    };
    return score_table(Inputs<S>{model, observation, segmentation, mode, temperature, parameter},
                       view_of);
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
