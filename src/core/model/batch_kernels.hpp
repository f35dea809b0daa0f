#pragma once
// The instruction-set builds behind `score_block` and `block_component_occupancies`, which
// choose the fastest the processor runs. Declared for the tests, which run every build the
// processor supports against the one-frame rules; `set` must be one it runs.

#include <cstddef>

#include "core/model/batch_scoring.hpp"
#include "core/numerics/instruction_set.hpp"

namespace tarvek {

template <Scalar S>
void score_block(InstructionSet set, const PreparedGaussianView<S>& view, FrameBlock<S>& block,
                 DensityRows rows, S temperature, S* densities, S* out) noexcept;

template <Scalar S>
void block_component_occupancies(InstructionSet set, const PreparedGaussianView<S>& view,
                                 const S* densities, const S* log_probabilities,
                                 const S* occupancies, S temperature, bool capped,
                                 float* out) noexcept;

}  // namespace tarvek
