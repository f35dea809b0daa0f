#include "core/model/probability.hpp"

#include <utility>

#include "core/model/model_operations.hpp"
#include "core/numerics/allocation.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

template <Scalar S>
void check_scorable(const GaussianMixtureParameters<S>& mixture) {
    mixture.check_shape();
    if (!all_finite(mixture.means) || !all_finite_positive(mixture.variances) ||
        !all_finite_nonnegative(mixture.weights)) {
        throw ModelError(
            "emissions require finite means, positive variances, and nonnegative finite weights");
    }
}

template <Scalar S>
std::vector<S> unchecked_gaussian_normalizers(const GaussianMixtureParameters<S>& mixture) {
    const std::size_t d = mixture.dimensions;
    const std::size_t m = mixture.weights.size();
    std::vector<S> normalizers = allocate_or_bad_alloc<S>(m);
    for (std::size_t k = 0; k < m; ++k) {
        const S* variance = mixture.variances.data() + k * d;
        S sum = 0;
        for (std::size_t j = 0; j < d; ++j) {
            sum = static_cast<S>(static_cast<double>(sum) -
                                 std::log(two_pi * static_cast<double>(variance[j])));
        }
        normalizers[k] = sum;
    }
    return normalizers;
}

template <Scalar S>
std::vector<S> gaussian_normalizers(const GaussianMixtureParameters<S>& mixture) {
    check_scorable(mixture);
    return unchecked_gaussian_normalizers(mixture);
}

template <Scalar S>
void check_observation(std::span<const S> observation, std::uint64_t dimensions) {
    if (observation.size() != dimensions || !all_finite(observation)) {
        throw ModelError("observation must have matching dimensions and finite values");
    }
}

template <Scalar S>
void check_temperature(S temperature) {
    if (!is_finite_nonnegative(temperature)) {
        throw ModelError("temperature must be finite and nonnegative");
    }
}

template <Scalar S>
PreparedGaussianParameters<S> GaussianMixtureParameters<S>::prepare_owned() && {
    GaussianMixtureParameters mixture = std::exchange(*this, GaussianMixtureParameters{});
    std::vector<S> normalizers = gaussian_normalizers(mixture);
    return {std::move(mixture), std::move(normalizers)};
}

template <Scalar S>
S PreparedGaussianView<S>::component_log_probability(std::span<const S> x, std::uint64_t k) const {
    check_observation(x, dimensions());
    if (k >= mixture_count()) throw ModelError("mixture component is out of range");
    return component_log_density(x.data(), k);
}

template <Scalar S>
S PreparedGaussianView<S>::log_probability(std::span<const S> x, S temperature) const {
    check_observation(x, dimensions());
    check_temperature(temperature);
    return log_probability_unchecked(x.data(), temperature);
}

template <Scalar S>
PreparedGaussianParameters<S> PreparedGaussianView<S>::to_owned() const {
    return {*parameters_, std::vector<S>(normalizers_.begin(), normalizers_.end())};
}

#define TARVEK_INSTANTIATE(S)                                                                    \
    template void check_scorable(const GaussianMixtureParameters<S>&);                           \
    template std::vector<S> unchecked_gaussian_normalizers(const GaussianMixtureParameters<S>&); \
    template std::vector<S> gaussian_normalizers(const GaussianMixtureParameters<S>&);           \
    template void check_observation<S>(std::span<const S>, std::uint64_t);                       \
    template void check_temperature<S>(S);                                                       \
    template PreparedGaussianParameters<S> GaussianMixtureParameters<S>::prepare_owned() &&;     \
    template class PreparedGaussianView<S>;
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
