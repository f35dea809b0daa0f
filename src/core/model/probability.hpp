#pragma once
// Prepared Gaussian mixtures: a mixture validated once, with one normalizer per component,
// scores observation frames with no further checks of its parameters. The one-frame kernels
// are inline; the batch kernel (batch_scoring.hpp) scores blocks of frames with the same
// operations in the same order, so both give identical bits.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/model/model.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

// N_k = −Σ_j ln(2π·v_kj) per component, after `check_scorable`.
template <Scalar S>
std::vector<S> gaussian_normalizers(const GaussianMixtureParameters<S>& mixture);
// The checks alone: the shape check, then the value checks (finite means, finite positive
// variances, finite nonnegative weights).
template <Scalar S>
void check_scorable(const GaussianMixtureParameters<S>& mixture);
// The normalizers alone, of a mixture that passed `check_scorable`.
template <Scalar S>
std::vector<S> unchecked_gaussian_normalizers(const GaussianMixtureParameters<S>& mixture);

// Frame and temperature checks of the scoring entry points.
template <Scalar S>
void check_observation(std::span<const S> observation, std::uint64_t dimensions);
template <Scalar S>
void check_temperature(S temperature);

template <Scalar S>
class PreparedGaussianView;

// A mixture that owns its normalizers.
template <Scalar S>
struct PreparedGaussianParameters {
    GaussianMixtureParameters<S> parameters;
    std::vector<S> normalizers;

    PreparedGaussianView<S> view() const noexcept { return {parameters, normalizers}; }
};

// A borrowed mixture with its normalizers; made only from parameters that passed
// `gaussian_normalizers`, so scoring assumes their shape and values.
template <Scalar S>
class PreparedGaussianView {
  public:
    PreparedGaussianView(const GaussianMixtureParameters<S>& parameters,
                         std::span<const S> normalizers) noexcept
        : parameters_(&parameters), normalizers_(normalizers) {}

    const GaussianMixtureParameters<S>& parameters() const noexcept { return *parameters_; }
    std::span<const S> normalizers() const noexcept { return normalizers_; }
    std::uint64_t mixture_count() const noexcept { return parameters_->weights.size(); }
    std::uint64_t dimensions() const noexcept { return parameters_->dimensions; }

    // 0.5·N_k − 0.5·Σ_j (x_j − μ_kj)²/v_kj: the sum in S in dimension order, the final
    // combination in 64 bits. No checks: `x` holds d values and k is a valid component.
    S component_log_density(const S* x, std::uint64_t k) const noexcept;
    // The same after the frame check and "mixture component is out of range".
    S component_log_probability(std::span<const S> x, std::uint64_t k) const;

    // Annealed mixture log probability of one frame, after the frame and temperature checks.
    S log_probability(std::span<const S> x, S temperature) const;
    // The same without checks: `x` holds d finite values, the temperature is finite and >= 0.
    S log_probability_unchecked(const S* x, S temperature) const noexcept;

    PreparedGaussianParameters<S> to_owned() const;

  private:
    const GaussianMixtureParameters<S>* parameters_;
    std::span<const S> normalizers_;
};

// t · max(fast_ln(S), log zero) for a 64-bit component sum S; a NaN sum gives t · log zero.
// fast_ln is never NaN nor below −89, so the maximum is the logarithm itself unless the sum is
// NaN: one select, which keeps loops over many sums free of branches.
template <Scalar S>
inline S finish_mixture_log_probability(double sum, S temperature) noexcept {
    const auto logarithm = static_cast<double>(fast_ln(static_cast<float>(sum)));
    const double clamped =
        std::isunordered(sum, sum) ? static_cast<double>(log_zero<double>) : logarithm;
    return static_cast<S>(clamped) * temperature;
}

template <Scalar S>
inline S PreparedGaussianView<S>::component_log_density(const S* x,
                                                        std::uint64_t k) const noexcept {
    const std::size_t d = parameters_->dimensions;
    const S* mean = parameters_->means.data() + k * d;
    const S* variance = parameters_->variances.data() + k * d;
    S sum = 0;
    for (std::size_t j = 0; j < d; ++j) {
        const S difference = x[j] - mean[j];
        sum = sum + difference * difference / variance[j];
    }
    return static_cast<S>(0.5 * static_cast<double>(normalizers_[k]) -
                          0.5 * static_cast<double>(sum));
}

template <Scalar S>
inline S PreparedGaussianView<S>::log_probability_unchecked(const S* x,
                                                            S temperature) const noexcept {
    if (temperature == S(0)) return S(0);
    const std::vector<S>& weights = parameters_->weights;
    if (weights.size() == 1) return temperature * component_log_density(x, 0);
    double sum = 0.0;
    for (std::size_t k = 0; k < weights.size(); ++k) {
        // A zero weight adds nothing, and skipping it keeps 0 · inf from making the sum NaN.
        if (weights[k] == S(0)) continue;
        const double density = static_cast<double>(fast_exp(component_log_density(x, k)));
        sum = sum + static_cast<double>(weights[k]) * density;
    }
    return finish_mixture_log_probability(sum, temperature);
}

}  // namespace tarvek
