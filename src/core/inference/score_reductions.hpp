#pragma once
// Totals read off forward and backward score tables: the log probability of the whole
// observation from either end and the probability mass through one state. Each sum runs in
// frame or state order with the table-driven log-add, starting from log zero.

#include <cstdint>

#include "core/numerics/numerics.hpp"
#include "core/inference/score_table.hpp"

namespace tarvek {

// The log-add of the last frame's row; log zero for a table without cells.
template <Scalar S>
S total_log_probability(const StateScoreTable<S>& forward) noexcept;

// The log-add over frames of forward + backward at `state`. Refuses different frame counts,
// a state outside the forward table and different state counts, in that order, all with
// "forward/backward dimensions or state index do not match".
template <Scalar S>
S total_through_state(const StateScoreTable<S>& forward, const StateScoreTable<S>& backward,
                      std::uint64_t state);

// The total seen from the backward side: backward(0, 0) + emissions(0, 0). Tables of
// different shapes fail with "backward and emission dimensions do not match", as does an
// empty pair (there is no first cell to read).
template <Scalar S>
S backward_log_probability(const StateScoreTable<S>& backward, const StateScoreTable<S>& emissions);

}  // namespace tarvek
