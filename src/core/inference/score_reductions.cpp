#include "core/inference/score_reductions.hpp"

#include "core/numerics/error.hpp"

namespace tarvek {

template <Scalar S>
S total_log_probability(const StateScoreTable<S>& forward) noexcept {
    S total = log_zero<S>;
    if (forward.frames == 0 || forward.states == 0) return total;
    const S* last_row = forward.values.data() + forward.index(forward.frames - 1, 0);
    for (std::uint64_t s = 0; s < forward.states; ++s) total = log_add(total, last_row[s]);
    return total;
}

template <Scalar S>
S total_through_state(const StateScoreTable<S>& forward, const StateScoreTable<S>& backward,
                      std::uint64_t state) {
    if (forward.frames != backward.frames || state >= forward.states ||
        forward.states != backward.states) {
        throw ModelError("forward/backward dimensions or state index do not match");
    }
    S total = log_zero<S>;
    for (std::uint64_t t = 0; t < forward.frames; ++t) {
        const S through = forward(t, state) + backward(t, state);
        total = log_add(total, through);
    }
    return total;
}

template <Scalar S>
S backward_log_probability(const StateScoreTable<S>& backward,
                           const StateScoreTable<S>& emissions) {
    if (!backward.same_shape(emissions) || backward.values.empty() || emissions.values.empty()) {
        throw ModelError("backward and emission dimensions do not match");
    }
    return backward.values[0] + emissions.values[0];
}

template float total_log_probability(const StateScoreTable<float>&) noexcept;
template double total_log_probability(const StateScoreTable<double>&) noexcept;
template float total_through_state(const StateScoreTable<float>&, const StateScoreTable<float>&,
                                   std::uint64_t);
template double total_through_state(const StateScoreTable<double>&, const StateScoreTable<double>&,
                                    std::uint64_t);
template float backward_log_probability(const StateScoreTable<float>&,
                                        const StateScoreTable<float>&);
template double backward_log_probability(const StateScoreTable<double>&,
                                         const StateScoreTable<double>&);

}  // namespace tarvek
