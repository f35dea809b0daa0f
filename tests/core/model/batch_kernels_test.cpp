#include "core/model/batch_kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "model/mixture_test_support.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;

template <class B>
class BatchKernels : public ::testing::Test {};
TYPED_TEST_SUITE(BatchKernels, testing::Builds, testing::BuildNames);

constexpr std::size_t width = 16;

// Every density row and log probability of every build against the one-frame kernel: frame
// counts with every remainder of the lane widths, dimension counts with every remainder of the
// copy's tiles and enough dimensions for the exponentials to run between the divisions, every
// lane (those past the frames repeat the last one), every score finite. Each block is scored under
// several temperatures and row kinds, the first call copying it in; on odd blocks a first mixture
// of zero weights scores no component, which leaves the copy to the end of that call.
TYPED_TEST(BatchKernels, ScoresAsTheOneFrameKernel) {
    using S = typename TypeParam::Scalar;
    TARVEK_SKIP_UNLESS_RUNS(TypeParam::set);
    std::mt19937_64 random(5);
    for (const std::size_t m : {1u, 2u, 3u, 8u, 11u}) {
        for (const std::size_t d : {1u, 2u, 3u, 5u, 13u, 40u, 70u}) {
            for (const std::size_t count : {1u, 3u, 7u, 16u, 17u, 38u}) {
                const auto [mixture, frames] = testing::random_scenario<S>(random, m, d, count);
                const auto view = mixture.view();
                GaussianMixtureParameters<S> unweighted = mixture.parameters;
                std::fill(unweighted.weights.begin(), unweighted.weights.end(), S(0));
                const auto silent = std::move(unweighted).prepare_owned();
                FrameBlock<S> block(d, ModelError("unused"));
                std::vector<S> rows = block_density_rows<S>(m, ModelError("unused"));
                S scores[width];
                for (std::size_t first = 0; first < count; first += width) {
                    block.load(frames.data() + first * d, d, std::min(width, count - first));
                    if (m > 1 && first / width % 2 == 1) {
                        score_block(TypeParam::set, silent.view(), block, DensityRows::scored, S(1),
                                    rows.data(), scores);
                        const S* x = frames.data() + first * d;
                        ASSERT_EQ(bits(scores[0]),
                                  bits(silent.view().log_probability_unchecked(x, S(1))));
                    }
                    for (const DensityRows kind : {DensityRows::scored, DensityRows::every}) {
                        for (const S temperature : {S(1), S(0.5), S(0), S(3)}) {
                            score_block(TypeParam::set, view, block, kind, temperature, rows.data(),
                                        scores);
                            for (std::size_t b = 0; b < width; ++b) {
                                const std::size_t f = first + std::min(b, block.count() - 1);
                                const S* x = frames.data() + f * d;
                                ASSERT_EQ(bits(scores[b]),
                                          bits(view.log_probability_unchecked(x, temperature)))
                                    << "m=" << m << " d=" << d << " frame " << f;
                                ASSERT_TRUE(std::isfinite(scores[b]));
                                for (std::size_t k = 0; k < m; ++k) {
                                    if (kind == DensityRows::scored && m > 1 &&
                                        mixture.parameters.weights[k] == S(0)) {
                                        continue;
                                    }
                                    ASSERT_EQ(bits(rows[k * width + b]),
                                              bits(view.component_log_density(x, k)))
                                        << "m=" << m << " d=" << d << " frame " << f;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

// Every build's component occupancies against the one-frame rule, lane by lane: component
// counts that fill the transposed groups of four and leave each remainder, occupancies with
// zeros, both exponentials.
TYPED_TEST(BatchKernels, SharesOccupanciesAsTheOneFrameRule) {
    using S = typename TypeParam::Scalar;
    TARVEK_SKIP_UNLESS_RUNS(TypeParam::set);
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (const std::size_t m : {1u, 3u, 4u, 5u, 8u, 10u}) {
        for (const std::size_t d : {2u, 9u}) {
            const auto [mixture, frames] = testing::random_scenario<S>(random, m, d, width);
            const auto view = mixture.view();
            FrameBlock<S> block(d, ModelError("unused"));
            block.load(frames.data(), d, width);
            std::vector<S> densities = block_density_rows<S>(m, ModelError("unused"));
            S occupancies[width];
            for (S& o : occupancies)
                o = unit(random) < 0.2 ? S(0) : static_cast<S>(4 * unit(random));
            for (const S temperature : {S(1), S(0.5), S(0)}) {
                S log_probabilities[width];
                score_block(TypeParam::set, view, block, DensityRows::every, temperature,
                            densities.data(), log_probabilities);
                for (const bool capped : {false, true}) {
                    std::vector<float> shares(width * m);
                    block_component_occupancies(TypeParam::set, view, densities.data(),
                                                log_probabilities, occupancies, temperature, capped,
                                                shares.data());
                    for (std::size_t b = 0; b < width; ++b) {
                        const S* x = frames.data() + b * d;
                        const S shift =
                            static_cast<S>(fast_ln(static_cast<float>(occupancies[b]))) -
                            view.log_probability_unchecked(x, temperature);
                        for (std::size_t k = 0; k < m; ++k) {
                            const S y = shift + view.component_log_density(x, k) * temperature;
                            const S e = capped ? negative_exponential(y) : exponential(y);
                            const auto value =
                                static_cast<float>(mixture.parameters.weights[k] * e);
                            ASSERT_EQ(bits(shares[b * m + k]),
                                      bits(std::isnan(value) ? 0.0f : value))
                                << "m=" << m << " d=" << d << " lane " << b << " capped " << capped;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace tarvek
