#pragma once
// The instruction-set builds of the step that adds a frame to a Gaussian's weighted sums, which
// the expectation chooses between at run time. Declared for the tests, which run every build
// the processor supports against the plain loop.

#include <cstddef>

#include "core/numerics/instruction_set.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

// sum[j] += p·x[j] and squared_sum[j] += x[j]·(p·x[j]) for j < d, the product p·x[j] rounded
// first, with the build for `set` (one the processor runs). The arrays do not overlap.
template <Scalar S>
void add_weighted_frame(InstructionSet set, S* sum, S* squared_sum, const S* x, S p,
                        std::size_t d) noexcept;

}  // namespace tarvek
