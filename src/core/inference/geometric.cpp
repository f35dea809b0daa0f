#include "core/inference/geometric.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <utility>

#include "core/numerics/allocation.hpp"

namespace tarvek {

template <Scalar S>
GeometricLogWeights geometric_log_weights(const ModelParameters<S>& model,
                                          const SegmentationData<S>& segmentation, S temperature,
                                          const ModelError& allocation_failed) {
    const std::size_t positions = segmentation.segment_count();
    GeometricLogWeights weights;
    weights.stay = allocate_or_fail(positions, 0.0, allocation_failed);
    weights.advance = allocate_or_fail(positions, 0.0, allocation_failed);
    const auto wide_temperature = static_cast<double>(temperature);
    for (std::size_t s = 0; s < positions; ++s) {
        const std::int32_t state = segmentation.duration_states[s];
        if (state < 0 || static_cast<std::uint64_t>(state) >= model.durations.size()) {
            throw ModelError("duration state is out of range");
        }
        const S mean = model.durations[static_cast<std::size_t>(state)].mean;
        if (!std::isfinite(mean)) throw ModelError("duration mean must be finite");
        double p = 1.0 / max_ignoring_nan(static_cast<double>(mean), 1.01);
        double q = 1.0 - p;
        if constexpr (std::is_same_v<S, float>) {
            p = static_cast<double>(static_cast<float>(p));
            q = static_cast<double>(static_cast<float>(q));
        }
        weights.stay[s] = wide_temperature * std::log(q);
        weights.advance[s] = wide_temperature * std::log(p);
    }
    return weights;
}

template <Scalar S>
Search<S>::Search(const ModelParameters<S>& model, const SegmentationData<S>& segmentation,
                  const StateScoreTable<S>& emissions, S temperature, S pruning_slope)
    : emissions_(&emissions), band_(emissions.frames, emissions.states, 0) {
    segmentation.validate();
    if (emissions.states != segmentation.segment_count()) {
        throw ModelError("emission state count differs from the segmentation");
    }
    if (!is_finite_nonnegative(temperature) || !is_finite_nonnegative(pruning_slope)) {
        throw ModelError("inference temperature and pruning slope must be finite and nonnegative");
    }
    weights_ = geometric_log_weights(model, segmentation, temperature,
                                     ModelError("inference allocation failed"));
    band_ = LinearBand::from_slope(emissions.frames, emissions.states, pruning_slope);
}

template <Scalar S>
StateScoreTable<S> Search<S>::empty_scores() const {
    return StateScoreTable<S>::filled(emissions_->frames, emissions_->states,
                                      ModelError("inference allocation failed"));
}

namespace {

// alpha term + log weight, formed in 64 bits and rounded to the scalar type.
template <Scalar S>
inline S add_weight(S score, double weight) noexcept {
    return static_cast<S>(static_cast<double>(score) + weight);
}

// Frames 1 .. T − 1 of the forward table over the band; row 0 is already set.
template <Scalar S, bool maximum>
void forward_rows(const LinearBand& band, const StateScoreTable<S>& emissions, const double* stay,
                  const double* advance, StateScoreTable<S>& alpha,
                  std::int8_t* steps_back) noexcept {
    const std::uint64_t frames = alpha.frames;
    const std::uint64_t positions = alpha.states;
    const S zero = log_zero<S>;
    for (std::uint64_t t = 1; t < frames; ++t) {
        const IndexRange cells = band.frame_positions(t);
        const S* previous = alpha.values.data() + (t - 1) * positions;
        S* row = alpha.values.data() + t * positions;
        const S* emission = emissions.values.data() + t * positions;
        std::int8_t* steps = maximum ? steps_back + t * positions : nullptr;
        for (std::uint64_t s = cells.first; s < cells.last; ++s) {
            const S stay_term = add_weight(previous[s], stay[s]);
            S best;
            if constexpr (maximum) {
                best = max_ignoring_nan(stay_term, zero);
                std::int8_t step = stay_term > zero ? 0 : -1;
                if (s > 0) {
                    const S advance_term = add_weight(previous[s - 1], advance[s - 1]);
                    if (advance_term > best) {
                        best = advance_term;
                        step = 1;
                    }
                }
                steps[s] = step;
            } else {
                best = log_add(zero, stay_term);
                if (s > 0) best = log_add(best, add_weight(previous[s - 1], advance[s - 1]));
            }
            row[s] = best + emission[s];
        }
    }
}

}  // namespace

template <Scalar S>
typename Search<S>::Forward Search<S>::forward(SearchMode mode) const {
    const bool maximum = mode == SearchMode::maximum;
    Forward result{empty_scores(), {}};
    if (maximum) {
        result.steps_back = table_or_fail<std::int8_t>(result.scores.values.size(), -1,
                                                       ModelError("inference allocation failed"));
    }
    StateScoreTable<S>& alpha = result.scores;
    if (alpha.frames == 0 || alpha.states == 0) return result;
    alpha.values[0] = emissions_->values[0];
    if (maximum) {
        forward_rows<S, true>(band_, *emissions_, weights_.stay.data(), weights_.advance.data(),
                              alpha, result.steps_back.data());
    } else {
        forward_rows<S, false>(band_, *emissions_, weights_.stay.data(), weights_.advance.data(),
                               alpha, nullptr);
    }
    return result;
}

template <Scalar S>
StateScoreTable<S> Search<S>::backward() const {
    StateScoreTable<S> beta = empty_scores();
    const std::uint64_t frames = beta.frames;
    const std::uint64_t positions = beta.states;
    if (frames == 0 || positions == 0) return beta;
    std::fill_n(beta.values.data() + (frames - 1) * positions, positions, S(0));
    const double* stay = weights_.stay.data();
    const double* advance = weights_.advance.data();
    for (std::uint64_t t = frames - 1; t-- > 0;) {
        const IndexRange cells = band_.frame_positions(t);
        const S* next = beta.values.data() + (t + 1) * positions;
        const S* emission = emissions_->values.data() + (t + 1) * positions;
        S* row = beta.values.data() + t * positions;
        for (std::uint64_t s = cells.first; s < cells.last; ++s) {
            const S stay_term = add_weight(static_cast<S>(next[s] + emission[s]), stay[s]);
            if (s + 1 < positions) {
                const S advance_term =
                    add_weight(static_cast<S>(next[s + 1] + emission[s + 1]), advance[s]);
                row[s] = log_add(stay_term, advance_term);
            } else {
                row[s] = stay_term;
            }
        }
    }
    return beta;
}

template <Scalar S>
StateScoreTable<S> forward_geometric(const ModelParameters<S>& model,
                                     const SegmentationData<S>& segmentation,
                                     const StateScoreTable<S>& emissions, S temperature,
                                     S pruning_slope) {
    const Search<S> search(model, segmentation, emissions, temperature, pruning_slope);
    return std::move(search.forward(SearchMode::sum).scores);
}

template <Scalar S>
GeometricPath<S> viterbi_geometric(const ModelParameters<S>& model,
                                   const SegmentationData<S>& segmentation,
                                   const StateScoreTable<S>& emissions, S temperature,
                                   S pruning_slope) {
    const ModelError no_path("no complete path survives the inference constraints");
    const ModelError allocation_failed("inference allocation failed");
    const Search<S> search(model, segmentation, emissions, temperature, pruning_slope);
    typename Search<S>::Forward forward = search.forward(SearchMode::maximum);
    const std::uint64_t frames = forward.scores.frames;
    const std::uint64_t positions = forward.scores.states;
    // An empty table holds no path; tables from emission scoring always have a cell.
    if (frames == 0 || positions == 0) throw no_path;

    GeometricPath<S> result;
    result.path = allocate_or_fail<std::uint64_t>(frames, 0, allocation_failed);
    std::uint64_t* path = result.path.data();
    path[frames - 1] = positions - 1;
    for (std::uint64_t t = frames - 1; t > 0; --t) {
        const std::int8_t step = forward.steps_back[t * positions + path[t]];
        if (step < 0) throw no_path;
        path[t - 1] = path[t] - static_cast<std::uint64_t>(step);
    }
    if (path[0] != 0) throw ModelError("best path does not begin in the first state");
    forward.steps_back = {};

    result.ends = allocate_or_fail<std::uint64_t>(positions, 0, allocation_failed);
    for (std::uint64_t t = 1; t < frames; ++t) {
        if (path[t] != path[t - 1]) result.ends[path[t - 1]] = t;
    }
    result.ends[positions - 1] = frames;
    result.log_probability = forward.scores(frames - 1, positions - 1);
    result.scores = std::move(forward.scores);
    return result;
}

template <Scalar S>
StateScoreTable<S> backward_geometric(const ModelParameters<S>& model,
                                      const SegmentationData<S>& segmentation,
                                      const StateScoreTable<S>& emissions, S temperature,
                                      S pruning_slope) {
    const Search<S> search(model, segmentation, emissions, temperature, pruning_slope);
    return search.backward();
}

#define TARVEK_INSTANTIATE(S)                                                                    \
    template GeometricLogWeights geometric_log_weights(                                          \
        const ModelParameters<S>&, const SegmentationData<S>&, S, const ModelError&);            \
    template class Search<S>;                                                                    \
    template StateScoreTable<S> forward_geometric(                                               \
        const ModelParameters<S>&, const SegmentationData<S>&, const StateScoreTable<S>&, S, S); \
    template GeometricPath<S> viterbi_geometric(                                                 \
        const ModelParameters<S>&, const SegmentationData<S>&, const StateScoreTable<S>&, S, S); \
    template StateScoreTable<S> backward_geometric(                                              \
        const ModelParameters<S>&, const SegmentationData<S>&, const StateScoreTable<S>&, S, S);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
