#pragma once
// Random mixtures and frames for the tests that hold the batch kernels to the one-frame rule.

#include <cmath>
#include <cstddef>
#include <random>
#include <utility>
#include <vector>

#include "core/model/probability.hpp"

namespace tarvek::testing {

// A random mixture with zero weights (−0 too) and extreme variances, and `count` frames, some
// on a component's mean, where tiny variances overflow the exponentials.
template <class S>
std::pair<PreparedGaussianParameters<S>, std::vector<S>> random_scenario(std::mt19937_64& random,
                                                                         std::size_t m,
                                                                         std::size_t d,
                                                                         std::size_t count) {
    const double max_exponent = sizeof(S) == 4 ? 30.0 : 250.0;
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> exponent(-max_exponent, max_exponent), unit(0.0, 1.0);
    GaussianMixtureParameters<S> mixture(m, d);
    for (auto& w : mixture.weights) {
        const double u = unit(random);
        w = u < 0.2 ? S(0) : u < 0.3 ? S(-0.0) : static_cast<S>(unit(random));
    }
    for (auto& mean : mixture.means) mean = static_cast<S>(10.0 * normal(random));
    for (auto& v : mixture.variances) {
        v = static_cast<S>(unit(random) < 0.3 ? std::pow(10.0, exponent(random))
                                              : 0.1 + unit(random));
    }
    std::vector<S> frames(count * d);
    for (std::size_t f = 0; f < count; ++f) {
        const bool on_mean = unit(random) < 0.3;
        for (std::size_t j = 0; j < d; ++j) {
            frames[f * d + j] =
                on_mean ? mixture.means[(f % m) * d + j] : static_cast<S>(10.0 * normal(random));
        }
    }
    return {std::move(mixture).prepare_owned(), std::move(frames)};
}

}  // namespace tarvek::testing
