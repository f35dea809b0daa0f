#include "core/generation/sampling.hpp"

#include "core/numerics/error.hpp"

namespace tarvek {

namespace sampling_detail {

void throw_mixture_draw() {
    throw ModelError("mixture sampling requires weights and a uniform draw in [0,1]");
}
void throw_normal_draw() {
    throw ModelError("normal sampling requires radial in (0,1] and angular in [0,1]");
}
void throw_normal_overflow() {
    throw ModelError("normal sample overflows");
}

}  // namespace sampling_detail

template <Scalar S>
std::size_t choose_with_precision(std::span<const S> weights, S uniform) {
    if (weights.empty()) sampling_detail::throw_mixture_draw();
    for (const S weight : weights) {
        if (!is_finite_nonnegative(weight)) sampling_detail::throw_mixture_draw();
    }
    return sampling_detail::choose_with_checked_weights(weights, uniform);
}

template <Scalar S>
S gaussian_sample(S mean, S variance, S radial, S angular) {
    if (!std::isfinite(mean) || !is_finite_nonnegative(variance)) {
        throw ModelError("sampling parameters must be finite with nonnegative variance");
    }
    return sampling_detail::normal_with_checked_parameters(mean, variance, radial, angular);
}

template std::size_t choose_with_precision<float>(std::span<const float>, float);
template std::size_t choose_with_precision<double>(std::span<const double>, double);
template float gaussian_sample<float>(float, float, float, float);
template double gaussian_sample<double>(double, double, double, double);

}  // namespace tarvek
