#include "core/inference/occupancy.hpp"

#include <cmath>
#include <utility>

#include "core/inference/geometric.hpp"
#include "core/inference/pruning.hpp"
#include "core/model/probability.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {
namespace {

template <Scalar S>
void check_forward_backward(const StateScoreTable<S>& alpha, const StateScoreTable<S>& beta,
                            S total, S pruning_slope) {
    if (!alpha.same_shape(beta)) throw ModelError("occupancy forward/backward dimensions differ");
    if (!std::isfinite(total) || !is_finite_nonnegative(pruning_slope)) {
        throw ModelError("occupancy total must be finite and pruning slope finite and nonnegative");
    }
}

// Calls visit(t, positions) for the band of every inner frame 1 .. T − 2.
template <Scalar S, class Visit>
void for_inner_band(std::uint64_t frames, std::uint64_t positions, S pruning_slope, Visit&& visit) {
    const IndexRange inner = inner_frames(frames);
    const LinearBand band = LinearBand::from_slope(frames, positions, pruning_slope);
    for (std::uint64_t t = inner.first; t < inner.last; ++t) visit(t, band.frame_positions(t));
}

// e^(((a + b) + e) + weight − total): the scores summed in the scalar type, the weight added
// and the total subtracted in 64 bits, rounded back before the table exponential.
template <Scalar S>
inline float transition_posterior(S three_scores, double weight, double total) noexcept {
    const auto argument = static_cast<S>(static_cast<double>(three_scores) + weight - total);
    return static_cast<float>(negative_exponential(argument));
}

}  // namespace

TransitionOccupancies TransitionOccupancies::from_values(std::uint64_t frames, std::uint64_t states,
                                                         TableVector<TransitionOccupancy> entries) {
    const ModelError invalid(
        "transition occupancies require positive matching dimensions and finite nonnegative "
        "weights");
    const auto cells = checked_mul(frames, states);
    if (frames == 0 || states == 0 || !cells || *cells != entries.size()) throw invalid;
    for (const TransitionOccupancy& entry : entries) {
        if (entry.present == 1 &&
            (!is_finite_nonnegative(entry.stay) || !is_finite_nonnegative(entry.advance))) {
            throw invalid;
        }
    }
    TransitionOccupancies result;
    result.entries = std::move(entries);
    result.frames = frames;
    result.states = states;
    return result;
}

template <Scalar S>
StateScoreTable<S> geometric_occupancies(const StateScoreTable<S>& alpha,
                                         const StateScoreTable<S>& beta, S total, S pruning_slope) {
    check_forward_backward(alpha, beta, total, pruning_slope);
    const ModelError allocation_failed("occupancy allocation failed");
    const auto cells = checked_mul(alpha.frames, alpha.states);
    if (!cells) throw allocation_failed;
    StateScoreTable<S> occupancy;
    occupancy.values = zeroed_table_or_fail<S>(*cells, allocation_failed);
    occupancy.frames = alpha.frames;
    occupancy.states = alpha.states;
    const std::uint64_t positions = alpha.states;
    for_inner_band(alpha.frames, positions, pruning_slope, [&](std::uint64_t t, IndexRange band) {
        const S* a = alpha.values.data() + t * positions;
        const S* b = beta.values.data() + t * positions;
        S* out = occupancy.values.data() + t * positions;
        for (std::uint64_t s = band.first; s < band.last; ++s) {
            out[s] = negative_exponential(static_cast<S>((a[s] + b[s]) - total));
        }
    });
    return occupancy;
}

template <Scalar S>
TransitionOccupancies geometric_transition_occupancies(const ModelParameters<S>& model,
                                                       const SegmentationData<S>& segmentation,
                                                       const StateScoreTable<S>& emissions,
                                                       const StateScoreTable<S>& alpha,
                                                       const StateScoreTable<S>& beta, S total,
                                                       S temperature, S pruning_slope) {
    const ModelError allocation_failed("occupancy allocation failed");
    check_forward_backward(alpha, beta, total, pruning_slope);
    segmentation.validate();
    if (segmentation.segment_count() != alpha.states || !emissions.same_shape(alpha)) {
        throw ModelError("transition occupancy dimensions differ");
    }
    check_temperature(temperature);
    const GeometricLogWeights weights =
        geometric_log_weights(model, segmentation, temperature, allocation_failed);
    const auto cells = checked_mul(alpha.frames, alpha.states);
    if (!cells) throw allocation_failed;

    TransitionOccupancies result;
    result.entries = zeroed_table_or_fail<TransitionOccupancy>(*cells, allocation_failed);
    result.frames = alpha.frames;
    result.states = alpha.states;
    const std::uint64_t positions = alpha.states;
    const double* stay = weights.stay.data();
    const double* advance = weights.advance.data();
    const auto wide_total = static_cast<double>(total);
    for_inner_band(alpha.frames, positions, pruning_slope, [&](std::uint64_t t, IndexRange band) {
        const S* previous = alpha.values.data() + (t - 1) * positions;
        const S* b = beta.values.data() + t * positions;
        const S* e = emissions.values.data() + t * positions;
        TransitionOccupancy* out = result.entries.data() + t * positions;
        for (std::uint64_t s = band.first; s < band.last; ++s) {
            TransitionOccupancy& entry = out[s];
            entry.present = 1;
            const S stay_scores = (previous[s] + b[s]) + e[s];
            entry.stay = transition_posterior(stay_scores, stay[s], wide_total);
            if (s == 0) {
                entry.advance = 1.0f;  // position 0 has no predecessor
            } else {
                const S advance_scores = (previous[s - 1] + b[s]) + e[s];
                entry.advance = transition_posterior(advance_scores, advance[s - 1], wide_total);
            }
        }
    });
    return result;
}

#define TARVEK_INSTANTIATE(S)                                                             \
    template StateScoreTable<S> geometric_occupancies(const StateScoreTable<S>&,          \
                                                      const StateScoreTable<S>&, S, S);   \
    template TransitionOccupancies geometric_transition_occupancies(                      \
        const ModelParameters<S>&, const SegmentationData<S>&, const StateScoreTable<S>&, \
        const StateScoreTable<S>&, const StateScoreTable<S>&, S, S, S);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
