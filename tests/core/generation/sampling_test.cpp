#include "core/generation/sampling.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;

template <class S>
class Sampling : public ::testing::Test {};
TYPED_TEST_SUITE(Sampling, testing::Scalars);

TYPED_TEST(Sampling, ChooseWithPrecision) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    // The first partial sum strictly above the draw; the last index when none is.
    const auto choose = [](std::vector<S> weights, S uniform) {
        std::size_t k = 0;
        const std::string message =
            error_of([&] { k = choose_with_precision<S>(weights, uniform); });
        return message == "no error" ? std::to_string(k) : message;
    };
    const char* refused = "mixture sampling requires weights and a uniform draw in [0,1]";
    const std::pair<std::pair<std::vector<S>, S>, std::string> cases[] = {
        {{{S(0.2), S(0.8)}, S(0.2)}, "1"}, {{{S(0.2), S(0.8)}, S(0.1999)}, "0"},
        {{{S(0.5), S(0)}, S(1)}, "1"},     {{{S(0), S(0), S(0)}, S(0)}, "2"},
        {{{S(0.2), S(0.2)}, S(0.9)}, "1"},  // weights are not normalised
        {{{S(-0.0), S(1)}, S(0)}, "1"},    {{{S(1)}, S(-0.0)}, "0"},
        {{{}, S(0.5)}, refused},           {{{S(0.5), S(-1e-30)}, S(0.5)}, refused},
        {{{nan}, S(0.5)}, refused},        {{{S(1)}, S(1.0000001)}, refused},
        {{{S(1)}, nan}, refused},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(choose(input.first, input.second), expected) << input.second;
    }
}

TYPED_TEST(Sampling, GaussianSampleChecks) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const S inf = std::numeric_limits<S>::infinity();
    const char* parameters = "sampling parameters must be finite with nonnegative variance";
    const char* draws = "normal sampling requires radial in (0,1] and angular in [0,1]";
    const std::pair<std::array<S, 4>, const char*> cases[] = {
        {{nan, S(1), S(0), S(2)}, parameters},  // the mean before the draws
        {{S(0), S(-1e-30), S(0), S(0.5)}, parameters},
        {{S(0), inf, S(0.5), S(0.5)}, parameters},
        {{S(0), S(-0.0), S(0.5), S(0.5)}, "no error"},
        {{S(0), S(1), S(0), S(0.5)}, draws},
        {{S(0), S(1), S(-0.0), S(0.5)}, draws},
        {{S(0), S(1), nan, S(0.5)}, draws},
        {{S(0), S(1), S(1.0000001), S(0.5)}, draws},
        {{S(0), S(1), S(0.5), nan}, draws},
        {{S(0), S(1), S(0.5), S(1.0000001)}, draws},
        {{S(0), S(1), std::numeric_limits<S>::denorm_min(), S(-0.0)}, "no error"},
        {{S(0), S(1), S(1), S(1)}, "no error"}};
    for (const auto& [a, expected] : cases) {
        EXPECT_EQ(error_of([&] { gaussian_sample<S>(a[0], a[1], a[2], a[3]); }), expected)
            << a[0] << ' ' << a[1] << ' ' << a[2] << ' ' << a[3];
    }
    if constexpr (sizeof(S) == 8) {
        EXPECT_EQ(error_of([] { gaussian_sample<double>(0, 1e308, 1e-300, 0); }),
                  "normal sample overflows");
    } else {
        // The radius stays far below the spacing of the largest floats: no finite input
        // overflows.
        constexpr float largest = std::numeric_limits<float>::max();
        EXPECT_EQ(gaussian_sample<float>(largest, largest, 1e-45f, 0), largest);
        EXPECT_EQ(gaussian_sample<float>(-largest, largest, 1e-45f, 0.5f), -largest);
    }
}

TYPED_TEST(Sampling, GaussianSampleValues) {
    using S = TypeParam;
    for (const S mean : {S(0), S(-3.25), S(1e30)}) {
        for (const S angular : {S(0), S(0.3), S(0.75), S(1)}) {
            EXPECT_EQ(gaussian_sample<S>(mean, S(7), S(1), angular), mean);  // radius 0
            EXPECT_EQ(gaussian_sample<S>(mean, S(0), S(0.01), angular), mean);
        }
    }
    const S radial = static_cast<S>(std::exp(-0.5));  // radius 1 (to the draw's precision)
    EXPECT_NEAR(gaussian_sample<S>(S(0), S(1), radial, S(0)), 0.9999864, 2e-7);
    EXPECT_NEAR(gaussian_sample<S>(S(0), S(1), radial, S(0.5)), -0.9999865, 2e-7);
    EXPECT_NEAR(gaussian_sample<S>(S(0), S(1), radial, S(0.25)), 0.0, 1e-6);
    EXPECT_EQ(gaussian_sample<S>(S(0), S(1), radial, S(0.75)), S(0));
    EXPECT_NEAR(gaussian_sample<S>(S(0), S(1), radial, S(0.125)), 0.7070929, 2e-7);
    EXPECT_NEAR(gaussian_sample<S>(S(5), S(4), radial, S(0.5)), 5 - 2 * 0.9999865, 1e-6);
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
    EXPECT_EQ(uniform_from_word(0x80000000), 0.5f + 0x1p-24f);
    EXPECT_EQ(uniform_from_word(0xFFFFFFFF), 1.0f);
    EXPECT_EQ(uniform_from_words(0, 0), 0x1p-53);
    EXPECT_EQ(uniform_from_words(0x7FF, 0), 0x1p-53);
    EXPECT_EQ(uniform_from_words(0, 1), 0x1p-32 + 0x1p-53);  // the first word is the low half
    EXPECT_EQ(uniform_from_words(0xFFFFFFFF, 0xFFFFFFFF), 1.0);
    struct Listed {
        std::vector<std::uint32_t> words;
        std::size_t next = 0;
        std::uint32_t word() { return words[next++]; }
        bool failed() const { return false; }
    } source{{0x800, 0, 0xFFFFFFFF}};
    EXPECT_EQ(draw_from_words<double>(source), 0x1p-52);
    EXPECT_EQ(draw_from_words<float>(source), 1.0f);
}

// Seeded words, counted. Sample moments and frequencies agree with their parameters within
// 4 standard errors; a 32-bit draw takes one word, a 64-bit draw two.
TYPED_TEST(Sampling, StatisticsOfSeededDraws) {
    using S = TypeParam;
    struct Words {
        std::mt19937 engine{20240611};
        std::uint64_t count = 0;
        std::uint32_t word() { return ++count, static_cast<std::uint32_t>(engine()); }
        bool failed() const { return false; }
    } words;
    constexpr int n = 100000;
    const double mean = 1.5, variance = 4.0;
    std::vector<double> samples(n);
    double sum = 0, squares = 0;
    for (double& x : samples) {
        const S radial = draw_from_words<S>(words);
        sum += x = gaussian_sample<S>(S(mean), S(variance), radial, draw_from_words<S>(words));
    }
    EXPECT_EQ(words.count, 2u * n * (sizeof(S) / 4));
    for (const double x : samples) squares += (x - sum / n) * (x - sum / n);
    EXPECT_NEAR(sum / n, mean, 4 * std::sqrt(variance / n));
    EXPECT_NEAR(squares / (n - 1), variance, 4 * std::sqrt(2 * variance * variance / (n - 1)));

    const std::vector<S> weights{S(0.1), S(0.2), S(0.3), S(0.4)};
    std::vector<int> counts(weights.size());
    for (int i = 0; i < n; ++i)
        ++counts[choose_with_precision<S>(weights, draw_from_words<S>(words))];
    for (std::size_t k = 0; k < weights.size(); ++k) {
        const double p = static_cast<double>(weights[k]);
        EXPECT_NEAR(static_cast<double>(counts[k]) / n, p, 4 * std::sqrt(p * (1 - p) / n)) << k;
    }
}

}  // namespace
}  // namespace tarvek
