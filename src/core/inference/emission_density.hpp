#pragma once
// Emission densities: a log-emission table mapped cell by cell to the linear domain with the
// fast exponential. The mapping reads no coefficient table and runs in 32-bit arithmetic in
// both precisions, so a cell at log zero (a pruned cell) becomes the smallest fast-exponential
// value, about 1.1755e-38, never 0.

#include "core/numerics/numerics.hpp"
#include "core/inference/score_table.hpp"

namespace tarvek {

// Replaces every cell x by fast_exp(x), bit for bit; frames and states are kept.
template <Scalar S>
void to_emission_densities(StateScoreTable<S>& table) noexcept;

}  // namespace tarvek
