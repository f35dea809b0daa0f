#include "core/training/expectation_kernels.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;

template <class B>
class ExpectationKernels : public ::testing::Test {};
TYPED_TEST_SUITE(ExpectationKernels, testing::Builds, testing::BuildNames);

// Every build adds frames to the weighted sums of several components as the plain per-frame
// loop does, bit for bit: dimension counts with every remainder of the lane widths, sums that
// start at the offsets of the components (so at every alignment), zero and −0 posteriors.
TYPED_TEST(ExpectationKernels, AddsFramesAsThePlainLoop) {
    using S = typename TypeParam::Scalar;
    TARVEK_SKIP_UNLESS_RUNS(TypeParam::set);
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal(0.0, 10.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    constexpr std::size_t components = 3;
    constexpr std::size_t frames = 5;
    for (std::size_t d = 1; d <= 41; d += d < 18 ? 1 : 23) {
        std::vector<S> x(frames * d), sums(components * d), squared_sums(components * d);
        for (S& value : x) value = static_cast<S>(normal(random));
        for (S& value : sums) value = static_cast<S>(normal(random));
        for (S& value : squared_sums) value = static_cast<S>(unit(random));
        std::vector<S> expected_sums = sums, expected_squared_sums = squared_sums;
        for (std::size_t t = 0; t < frames; ++t) {
            const S* frame = x.data() + t * d;
            for (std::size_t k = 0; k < components; ++k) {
                const double u = unit(random);
                const S p = u < 0.2 ? S(0) : u < 0.3 ? S(-0.0) : static_cast<S>(unit(random));
                add_weighted_frame(TypeParam::set, sums.data() + k * d, squared_sums.data() + k * d,
                                   frame, p, d);
                for (std::size_t j = 0; j < d; ++j) {
                    const S weighted = p * frame[j];
                    expected_sums[k * d + j] = expected_sums[k * d + j] + weighted;
                    expected_squared_sums[k * d + j] =
                        expected_squared_sums[k * d + j] + frame[j] * weighted;
                }
            }
        }
        for (std::size_t i = 0; i < components * d; ++i) {
            ASSERT_EQ(bits(sums[i]), bits(expected_sums[i])) << "d=" << d << " value " << i;
            ASSERT_EQ(bits(squared_sums[i]), bits(expected_squared_sums[i]))
                << "d=" << d << " value " << i;
        }
    }
}

}  // namespace
}  // namespace tarvek
