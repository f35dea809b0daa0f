#include "core/inference/score_table.hpp"


namespace tarvek {

template <Scalar S>
StateScoreTable<S> StateScoreTable<S>::filled(std::uint64_t frames, std::uint64_t states,
                                              const ModelError& allocation_failed) {
    const auto cells = checked_mul(frames, states);
    if (!cells) throw allocation_failed;
    StateScoreTable table;
    table.values = table_or_fail(*cells, log_zero<S>, allocation_failed);
    table.frames = frames;
    table.states = states;
    return table;
}

template struct StateScoreTable<float>;
template struct StateScoreTable<double>;

}  // namespace tarvek
