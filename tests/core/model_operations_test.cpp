#include "core/model_operations.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;
using testing::two_to;

template <class S>
class ModelOperations : public ::testing::Test {};
TYPED_TEST_SUITE(ModelOperations, testing::Scalars);

// The smallest value the fast exponential gives for a finite argument.
constexpr double fast_exp_floor = 1.1755177525066417e-38;

template <class S>
DurationParameters<S> duration_law(S mean, S variance, std::int32_t minimum = -1) {
    DurationParameters<S> duration;
    duration.mean = mean;
    duration.variance = variance;
    duration.minimum_duration = minimum;
    return duration;
}

// w · (−0.5·ln(2πv) − 0.5·(x − μ)²/v) from the definition, in long double.
long double reference_log_density(long double x, long double mean, long double variance,
                                  long double weight) {
    const long double pi = 3.141592653589793238462643383279L;
    return weight *
           (-0.5L * std::log(2.0L * pi * variance) - 0.5L * (x - mean) * (x - mean) / variance);
}

TYPED_TEST(ModelOperations, DurationLogProbability) {
    using S = TypeParam;
    const auto law = duration_law<S>(S(5), S(2), 3);
    EXPECT_EQ(law.log_probability(S(2.5), S(1)), log_zero<S>);
    const S at_minimum = law.log_probability(S(3), S(0.5));
    EXPECT_NEAR(at_minimum, reference_log_density(3, 5, 2, 0.5), 1e-6);
    EXPECT_NEAR(law.log_probability(S(40), S(1)), reference_log_density(40, 5, 2, 1), 1e-4);
    // Maximum and fixed mean play no part.
    auto constrained = law;
    constrained.maximum_duration = 4;
    constrained.fixed_mean_duration = 9;
    EXPECT_EQ(constrained.log_probability(S(7), S(1)), law.log_probability(S(7), S(1)));
}

TYPED_TEST(ModelOperations, DurationChecksInOrder) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const S inf = std::numeric_limits<S>::infinity();
    const DurationParameters<S> defaults;
    const auto law = duration_law<S>(S(5), S(2));
    EXPECT_EQ(error_of([&] { defaults.log_probability(nan, nan); }),
              "duration requires a finite mean and positive variance");
    EXPECT_EQ(error_of([&] { duration_law<S>(inf, S(1)).log_probability(S(1), S(1)); }),
              "duration requires a finite mean and positive variance");
    EXPECT_EQ(error_of([&] { duration_law<S>(S(1), -S(1)).log_probability(S(1), S(1)); }),
              "duration requires a finite mean and positive variance");
    EXPECT_EQ(error_of([&] { law.log_probability(nan, S(1)); }),
              "duration and weight must be finite");
    EXPECT_EQ(error_of([&] { law.log_probability(S(1), inf); }),
              "duration and weight must be finite");

    const char* range = "duration must fit i32 and temperature must be finite and nonnegative";
    EXPECT_EQ(error_of([&] { defaults.probability(two_to(31), nan, S(1)); }), range);
    EXPECT_EQ(error_of([&] { defaults.probability(1, nan, S(-0.1)); }), range);
    EXPECT_EQ(error_of([&] { defaults.probability(1, nan, inf); }), range);
    EXPECT_EQ(error_of([&] { defaults.probability(1, nan, S(1)); }),
              "duration requires a finite mean and positive variance");
    EXPECT_EQ(error_of([&] { law.probability(1, nan, S(1)); }),
              "duration and weight must be finite");
    EXPECT_EQ(error_of([&] { law.annealed_log_probability(two_to(31), S(1), S(1)); }), range);
    EXPECT_EQ(error_of([&] { law.probability(two_to(31) - 1, S(1), S(-0.0)); }), "no error");
}

TYPED_TEST(ModelOperations, DurationProbability) {
    using S = TypeParam;
    const auto law = duration_law<S>(S(5), S(2), 3);
    // Temperature 0: probability 1 at and above the minimum, the fast exponential's floor below.
    EXPECT_EQ(law.probability(3, S(1), S(0)), S(1));
    EXPECT_EQ(law.probability(300, S(1), S(-0.0)), S(1));
    EXPECT_EQ(law.probability(2, S(1), S(0)), static_cast<S>(static_cast<float>(fast_exp_floor)));
    EXPECT_EQ(law.probability(2, S(1), S(1)), static_cast<S>(static_cast<float>(fast_exp_floor)));

    EXPECT_EQ(law.annealed_log_probability(2, S(1), S(0.5)), S(0.5) * log_zero<S>);
    if constexpr (sizeof(S) == 8) {
        EXPECT_EQ(law.annealed_log_probability(2, S(1), S(0.5)), -5e14);
    }
    EXPECT_EQ(law.annealed_log_probability(2, S(1), S(0)), log_zero<S>);
    EXPECT_EQ(law.annealed_log_probability(4, S(1), S(0)), S(0));

    for (const std::uint64_t d : {3u, 5u, 8u}) {
        const long double exponent = 0.7L * reference_log_density(d, 5, 2, 1.5);
        EXPECT_NEAR(law.annealed_log_probability(d, S(1.5), S(0.7)), exponent, 1e-5);
        EXPECT_NEAR(law.probability(d, S(1.5), S(0.7)) / std::exp(exponent), 1.0, 1e-3);
    }
}

TYPED_TEST(ModelOperations, SplitsHeaviestComponentsFirst) {
    using S = TypeParam;
    GaussianMixtureParameters<S> mixture(2, 1);
    mixture.weights = {S(0.5), S(0.5)};
    mixture.means = {S(0), S(10)};
    mixture.variances = {S(1), S(4)};
    mixture.variance_floors = {S(0.1), S(0.2)};
    mixture.increase_mixtures(3, S(1));
    EXPECT_EQ(mixture.weights, (std::vector<S>{S(0.25), S(0.5), S(0.25)}));
    EXPECT_EQ(mixture.means, (std::vector<S>{S(-1), S(10), S(1)}));
    mixture.increase_mixtures(4, S(1));
    EXPECT_EQ(mixture.weights, (std::vector<S>{S(0.25), S(0.25), S(0.25), S(0.25)}));
    EXPECT_EQ(mixture.means, (std::vector<S>{S(-1), S(8), S(1), S(12)}));
    EXPECT_EQ(mixture.variances, (std::vector<S>{S(1), S(4), S(1), S(4)}));
    EXPECT_EQ(mixture.variance_floors, (std::vector<S>{S(0.1), S(0.2), S(0.1), S(0.2)}));

    GaussianMixtureParameters<S> single(1, 1);
    single.variances = {S(4)};
    single.variance_floors = {S(0.1)};
    single.increase_mixtures(2, S(0.5));
    EXPECT_EQ(single.means, (std::vector<S>{S(-1), S(1)}));
    EXPECT_EQ(single.variances, (std::vector<S>{S(4), S(4)}));
    EXPECT_EQ(single.variance_floors, (std::vector<S>{S(0.1), S(0.1)}));
    EXPECT_EQ(single.weights, (std::vector<S>{S(0.5), S(0.5)}));
}

TYPED_TEST(ModelOperations, IncreaseMixturesChecksInOrder) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    GaussianMixtureParameters<S> mixture(2, 2);
    mixture.variances.assign(4, S(1));
    const auto before = mixture;
    const auto unchanged = [&] {
        return mixture.weights == before.weights && mixture.means == before.means &&
               mixture.variances == before.variances;
    };

    // At or below the current count: nothing happens, even with a NaN displacement.
    EXPECT_EQ(error_of([&] { mixture.increase_mixtures(2, nan); }), "no error");
    EXPECT_EQ(error_of([&] { mixture.increase_mixtures(0, nan); }), "no error");
    EXPECT_TRUE(unchanged());
    EXPECT_EQ(error_of([&] { mixture.increase_mixtures(3, nan); }),
              "invalid mixture count or displacement");
    EXPECT_EQ(error_of([&] { mixture.increase_mixtures(two_to(31), S(1)); }),
              "invalid mixture count or displacement");

    const char* splitting =
        "splitting requires finite parameters and nonnegative weights and variances";
    auto negative_variance = mixture;
    negative_variance.variances[3] = S(-1);
    EXPECT_EQ(error_of([&] { negative_variance.increase_mixtures(3, S(1)); }), splitting);
    auto nan_mean = mixture;
    nan_mean.means[0] = nan;
    EXPECT_EQ(error_of([&] { nan_mean.increase_mixtures(3, S(1)); }), splitting);
    auto negative_weight = mixture;
    negative_weight.weights[1] = S(-0.5);
    EXPECT_EQ(error_of([&] { negative_weight.increase_mixtures(3, S(1)); }), splitting);
    auto accepted = mixture;
    accepted.weights[1] = S(-0.0);
    accepted.variance_floors[0] = S(-1);
    EXPECT_EQ(error_of([&] { accepted.increase_mixtures(3, S(1)); }), "no error");

    // The shape check comes first, before the count is compared.
    auto malformed = negative_variance;
    malformed.means.pop_back();
    EXPECT_EQ(error_of([&] { malformed.increase_mixtures(1, nan); }),
              "parameter lengths do not match dimensions");
    EXPECT_TRUE(unchanged());
}

TYPED_TEST(ModelOperations, IncreaseMixturesAllocFail) {
    using S = TypeParam;
    // 2^31 − 1 components of 2^16 dimensions need about 2^49 bytes per array.
    GaussianMixtureParameters<S> mixture(1, two_to(16));
    mixture.variances.assign(mixture.variances.size(), S(1));
    const auto before = mixture;
    EXPECT_EQ(error_of([&] { mixture.increase_mixtures(two_to(31) - 1, S(1)); }),
              "parameter allocation failed");
    EXPECT_EQ(mixture.weights, before.weights);
    EXPECT_EQ(mixture.means, before.means);
    EXPECT_EQ(mixture.variances.size(), before.variances.size());
}

TYPED_TEST(ModelOperations, Combine) {
    using S = TypeParam;
    using Mixture = GaussianMixtureParameters<S>;
    Mixture first(1, 2);
    first.means = {S(1), S(2)};
    first.variances = {S(3), S(4)};
    first.variance_floors = {S(0.1), S(0.2)};
    first.weights = {S(0.3)};
    Mixture second(1, 3);
    second.means = {S(5), S(6), S(7)};
    second.variances = {S(8), S(9), S(10)};
    const std::vector<Mixture> inputs{first, second};
    const Mixture joined = Mixture::combine(inputs);
    EXPECT_EQ(joined.dimensions, 5u);
    EXPECT_EQ(joined.weights, std::vector<S>{S(1)});
    EXPECT_EQ(joined.means, (std::vector<S>{S(1), S(2), S(5), S(6), S(7)}));
    EXPECT_EQ(joined.variances, (std::vector<S>{S(3), S(4), S(8), S(9), S(10)}));
    EXPECT_EQ(joined.variance_floors, (std::vector<S>{S(0.1), S(0.2), S(0), S(0), S(0)}));

    EXPECT_EQ(error_of([] { Mixture::combine({}); }),
              "mixture count and dimensions must be positive");
    const std::vector<Mixture> two_components{first, Mixture(2, 1)};
    EXPECT_EQ(error_of([&] { Mixture::combine(two_components); }),
              "combination requires single-component distributions");
    Mixture malformed = first;
    malformed.means.pop_back();
    const std::vector<Mixture> earlier_input_first{Mixture(2, 1), malformed};
    EXPECT_EQ(error_of([&] { Mixture::combine(earlier_input_first); }),
              "combination requires single-component distributions");
    const std::vector<Mixture> shape_then_count{malformed, Mixture(2, 1)};
    EXPECT_EQ(error_of([&] { Mixture::combine(shape_then_count); }),
              "parameter lengths do not match dimensions");
}

TYPED_TEST(ModelOperations, FromDurations) {
    using S = TypeParam;
    using Mixture = GaussianMixtureParameters<S>;
    EXPECT_EQ(error_of([] { Mixture::from_durations({}); }),
              "mixture count and dimensions must be positive");
    // Values are copied without any check.
    std::vector<DurationParameters<S>> durations{duration_law<S>(S(4), S(2)),
                                                 duration_law<S>(S(-1), S(0))};
    durations[0].variance_floor = S(9);
    const Mixture mixture = Mixture::from_durations(durations);
    EXPECT_EQ(mixture.dimensions, 2u);
    EXPECT_EQ(mixture.weights, std::vector<S>{S(1)});
    EXPECT_EQ(mixture.means, (std::vector<S>{S(4), S(-1)}));
    EXPECT_EQ(mixture.variances, (std::vector<S>{S(2), S(0)}));
    EXPECT_EQ(mixture.variance_floors, (std::vector<S>{S(0), S(0)}));
}

}  // namespace
}  // namespace tarvek
