#include "core/sampling.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;

const char* const mixture_message = "mixture sampling requires weights and a uniform draw in [0,1]";
const char* const parameter_message =
    "sampling parameters must be finite with nonnegative variance";
const char* const draw_message = "normal sampling requires radial in (0,1] and angular in [0,1]";

template <class S>
class Sampling : public ::testing::Test {};
TYPED_TEST_SUITE(Sampling, testing::Scalars);

// Words from a seeded generator, counting the words handed out.
struct SeededWords {
    std::mt19937 engine{20240611};
    std::uint64_t words = 0;
    std::uint32_t word() {
        ++words;
        return static_cast<std::uint32_t>(engine());
    }
    bool failed() const { return false; }
};

TYPED_TEST(Sampling, ChooseWithPrecisionPicksFirstSumAboveTheDraw) {
    using S = TypeParam;
    const auto choose = [](std::vector<S> weights, S uniform) {
        return choose_with_precision<S>(weights, uniform);
    };
    EXPECT_EQ(choose({S(0.2), S(0.8)}, S(0.2)), 1u);
    EXPECT_EQ(choose({S(0.2), S(0.8)}, S(0.1999)), 0u);
    EXPECT_EQ(choose({S(0.5), S(0)}, S(1)), 1u);  // no sum exceeds 1: the last index
    EXPECT_EQ(choose({S(0), S(0), S(0)}, S(0)), 2u);
    EXPECT_EQ(choose({S(0.5), S(0.5)}, S(0.5)), 1u);
    EXPECT_EQ(choose({S(0.5), S(0.5)}, S(0)), 0u);
    EXPECT_EQ(choose({S(0.2), S(0.2)}, S(0.9)), 1u);  // weights are not normalised
    EXPECT_EQ(choose({S(-0.0), S(1)}, S(0)), 1u);
    EXPECT_EQ(choose({S(1)}, S(-0.0)), 0u);
}

TYPED_TEST(Sampling, ChooseWithPrecisionRefusesBadWeightsAndDraws) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const S inf = std::numeric_limits<S>::infinity();
    const auto choose = [](std::vector<S> weights, S uniform) {
        return error_of([&] { choose_with_precision<S>(weights, uniform); });
    };
    EXPECT_EQ(choose({}, S(0.5)), mixture_message);
    EXPECT_EQ(choose({S(0.5), S(-1e-30)}, S(0.5)), mixture_message);
    EXPECT_EQ(choose({nan}, S(0.5)), mixture_message);
    EXPECT_EQ(choose({inf}, S(0.5)), mixture_message);
    EXPECT_EQ(choose({S(1)}, S(1.0000001)), mixture_message);
    EXPECT_EQ(choose({S(1)}, S(1.5)), mixture_message);
    EXPECT_EQ(choose({S(1)}, nan), mixture_message);
    EXPECT_EQ(choose({S(1)}, S(-1e-30)), mixture_message);
    EXPECT_EQ(choose({S(1)}, S(1)), "no error");
}

TYPED_TEST(Sampling, GaussianSampleChecksInOrder) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const S inf = std::numeric_limits<S>::infinity();
    const auto sample = [](S mean, S variance, S radial, S angular) {
        return error_of([&] { gaussian_sample<S>(mean, variance, radial, angular); });
    };
    EXPECT_EQ(sample(nan, S(1), S(0), S(2)), parameter_message);
    EXPECT_EQ(sample(inf, S(1), S(0.5), S(0.5)), parameter_message);
    EXPECT_EQ(sample(S(0), S(-1e-30), S(0), S(0.5)), parameter_message);
    EXPECT_EQ(sample(S(0), nan, S(0.5), S(0.5)), parameter_message);
    EXPECT_EQ(sample(S(0), inf, S(0.5), S(0.5)), parameter_message);
    EXPECT_EQ(sample(S(0), S(-0.0), S(0.5), S(0.5)), "no error");
    for (const S radial : {S(0), S(-0.0), nan, inf, S(1.0000001), S(-0.5)}) {
        EXPECT_EQ(sample(S(0), S(1), radial, S(0.5)), draw_message) << radial;
    }
    for (const S angular : {nan, S(-1e-30), S(1.0000001), inf}) {
        EXPECT_EQ(sample(S(0), S(1), S(0.5), angular), draw_message) << angular;
    }
    EXPECT_EQ(sample(S(0), S(1), std::numeric_limits<S>::denorm_min(), S(-0.0)), "no error");
    EXPECT_EQ(sample(S(0), S(1), S(1), S(1)), "no error");
}

TYPED_TEST(Sampling, GaussianSampleReturnsTheMeanWithoutSpread) {
    using S = TypeParam;
    for (const S mean : {S(0), S(-3.25), S(1e30)}) {
        for (const S angular : {S(0), S(0.3), S(0.75), S(1)}) {
            EXPECT_EQ(gaussian_sample<S>(mean, S(7), S(1), angular), mean);  // radius 0
            EXPECT_EQ(gaussian_sample<S>(mean, S(0), S(0.01), angular), mean);
        }
    }
}

TYPED_TEST(Sampling, GaussianSampleOnTheUnitCircle) {
    using S = TypeParam;
    const S radial = static_cast<S>(std::exp(-0.5));  // radius 1 (to the draw's precision)
    EXPECT_NEAR(gaussian_sample<S>(S(0), S(1), radial, S(0)), 0.9999864, 2e-7);
    EXPECT_NEAR(gaussian_sample<S>(S(0), S(1), radial, S(0.5)), -0.9999865, 2e-7);
    EXPECT_NEAR(gaussian_sample<S>(S(0), S(1), radial, S(0.25)), 0.0, 1e-6);
    EXPECT_EQ(gaussian_sample<S>(S(0), S(1), radial, S(0.75)), S(0));
    EXPECT_NEAR(gaussian_sample<S>(S(0), S(1), radial, S(0.125)), 0.7070929, 2e-7);
    // Scale and shift: sqrt(variance) multiplies the unit sample.
    EXPECT_NEAR(gaussian_sample<S>(S(5), S(4), radial, S(0.5)), 5 - 2 * 0.9999865, 1e-6);
}

TYPED_TEST(Sampling, GaussianSampleOverflow) {
    using S = TypeParam;
    if constexpr (sizeof(S) == 8) {
        EXPECT_EQ(error_of([] { gaussian_sample<double>(0, 1e308, 1e-300, 0); }),
                  "normal sample overflows");
        EXPECT_EQ(error_of([] { gaussian_sample<double>(0, 1e308, 1e-300, 0.75); }),
                  "normal sample overflows");
    } else {
        // The radius stays far below the spacing of the largest floats: no finite input
        // overflows.
        constexpr float largest = std::numeric_limits<float>::max();
        EXPECT_EQ(gaussian_sample<float>(largest, largest, 1e-45f, 0), largest);
        EXPECT_EQ(gaussian_sample<float>(-largest, largest, 1e-45f, 0.5f), -largest);
    }
}

TEST(FastCosine, StatedValuesAndAccuracy) {
    EXPECT_EQ(fast_cosine(0.0f), 0.9999864f);
    EXPECT_EQ(fast_cosine(static_cast<float>(0.125 * 6.283185307179586)), 0.7070929f);
    EXPECT_EQ(fast_cosine(static_cast<float>(0.75 * 6.283185307179586)), 0.0f);
    for (int i = 0; i <= 100000; ++i) {
        const float angle = static_cast<float>(i * 6.283185307179586 / 100000);
        ASSERT_NEAR(fast_cosine(angle), std::cos(static_cast<double>(angle)), 5e-5) << angle;
    }
}

TEST(UniformFromWords, ExactConversions) {
    EXPECT_EQ(uniform_from_word(0), 0x1p-24f);
    EXPECT_EQ(uniform_from_word(0xFF), 0x1p-24f);  // the low 8 bits are dropped
    EXPECT_EQ(uniform_from_word(0x100), 0x1p-23f);
    EXPECT_EQ(uniform_from_word(0xFFFFFFFF), 1.0f);
    EXPECT_EQ(uniform_from_word(0x80000000), 0.5f + 0x1p-24f);
    EXPECT_EQ(uniform_from_words(0, 0), 0x1p-53);
    EXPECT_EQ(uniform_from_words(0x7FF, 0), 0x1p-53);
    EXPECT_EQ(uniform_from_words(0x800, 0), 0x1p-52);
    EXPECT_EQ(uniform_from_words(0, 1), 0x1p-32 + 0x1p-53);  // the first word is the low half
    EXPECT_EQ(uniform_from_words(0xFFFFFFFF, 0xFFFFFFFF), 1.0);
}

TYPED_TEST(Sampling, DrawFromWordsUsesOneOrTwoWords) {
    using S = TypeParam;
    struct Listed {
        std::vector<std::uint32_t> words;
        std::size_t next = 0;
        std::uint32_t word() { return words[next++]; }
        bool failed() const { return false; }
    } source{{0x800, 0, 0xFFFFFFFF, 0xFFFFFFFF}};
    const S first = draw_from_words<S>(source);
    if constexpr (sizeof(S) == 4) {
        EXPECT_EQ(first, 9 * 0x1p-24f);
        EXPECT_EQ(source.next, 1u);
    } else {
        EXPECT_EQ(first, 0x1p-52);
        EXPECT_EQ(source.next, 2u);
    }
}

// Sample moments and frequencies against their parameters, within 4 standard errors.
TYPED_TEST(Sampling, StatisticsOfSeededDraws) {
    using S = TypeParam;
    constexpr int n = 100000;
    SeededWords words;
    const double mean = 1.5, variance = 4.0;
    double sum = 0, squares = 0;
    std::vector<double> samples(n);
    for (double& x : samples) {
        const S radial = draw_from_words<S>(words);
        const S angular = draw_from_words<S>(words);
        x = gaussian_sample<S>(S(mean), S(variance), radial, angular);
        sum += x;
    }
    const double sample_mean = sum / n;
    for (const double x : samples) squares += (x - sample_mean) * (x - sample_mean);
    const double sample_variance = squares / (n - 1);
    EXPECT_NEAR(sample_mean, mean, 4 * std::sqrt(variance / n));
    EXPECT_NEAR(sample_variance, variance, 4 * std::sqrt(2 * variance * variance / (n - 1)));
    EXPECT_EQ(words.words, (sizeof(S) == 4 ? 2u : 4u) * n);

    const std::vector<S> weights{S(0.1), S(0.2), S(0.3), S(0.4)};
    std::vector<int> counts(weights.size());
    for (int i = 0; i < n; ++i) {
        ++counts[choose_with_precision<S>(weights, draw_from_words<S>(words))];
    }
    for (std::size_t k = 0; k < weights.size(); ++k) {
        const double p = static_cast<double>(weights[k]);
        EXPECT_NEAR(static_cast<double>(counts[k]) / n, p, 4 * std::sqrt(p * (1 - p) / n)) << k;
    }
}

}  // namespace
}  // namespace tarvek
