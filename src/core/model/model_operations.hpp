#pragma once
// Operations on single parameter values: duration log densities and probabilities, mixture
// growth by splitting, and the joining of Gaussians. They are members of the model types
// (core/model.hpp); this header adds the shared pieces of the duration law.

#include <cmath>
#include <cstdint>

#include "core/model/model.hpp"

namespace tarvek {

inline constexpr double two_pi = 2.0 * 3.141592653589793;

// −0.5 · ln(2π·v), the logarithm taken in 64 bits, rounded to S.
template <Scalar S>
inline S duration_normalizer(S variance) noexcept {
    return static_cast<S>(-0.5 * std::log(two_pi * static_cast<double>(variance)));
}

// normalizer − 0.5 · (x − μ)² / v: the quotient in S, its halving and the sum in 64 bits,
// rounded to S (the weight and temperature are applied by the callers).
template <Scalar S>
inline S duration_gaussian_term(S x, S mean, S variance, S normalizer) noexcept {
    const S difference = x - mean;
    const S quotient = difference * difference / variance;
    return static_cast<S>(static_cast<double>(quotient) * -0.5 + static_cast<double>(normalizer));
}

}  // namespace tarvek
