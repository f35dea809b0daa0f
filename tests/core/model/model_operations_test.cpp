#include "core/model/model_operations.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;

template <class S>
class ModelOperations : public ::testing::Test {};
TYPED_TEST_SUITE(ModelOperations, Scalars);

// w · (−0.5·ln(2πv) − 0.5·(x − μ)²/v) from the definition, in long double.
long double reference_log_density(long double x, long double mean, long double v, long double w) {
    const long double pi = 3.141592653589793238462643383279L;
    return w * (-0.5L * std::log(2.0L * pi * v) - 0.5L * (x - mean) * (x - mean) / v);
}

TYPED_TEST(ModelOperations, DurationLaw) {
    using S = TypeParam;
    const DurationParameters<S> law{S(5), S(2), 3};
    EXPECT_EQ(law.log_probability(S(2.5), S(1)), log_zero<S>);
    EXPECT_NEAR(law.log_probability(S(3), S(0.5)), reference_log_density(3, 5, 2, 0.5), 1e-6);
    EXPECT_NEAR(law.log_probability(S(40), S(1)), reference_log_density(40, 5, 2, 1), 1e-4);
    // Maximum and fixed mean play no part.
    EXPECT_EQ((DurationParameters<S>{S(5), S(2), 3, 4, 9}.log_probability(S(7), S(1))),
              law.log_probability(S(7), S(1)));
    // Temperature 0: probability 1 at and above the minimum, the fast exponential's floor below.
    const S floor = static_cast<S>(static_cast<float>(fast_exp_floor));
    EXPECT_EQ(law.probability(3, S(1), S(0)), S(1));
    EXPECT_EQ(law.probability(300, S(1), S(-0.0)), S(1));
    EXPECT_EQ(law.probability(2, S(1), S(0)), floor);
    EXPECT_EQ(law.probability(2, S(1), S(1)), floor);
    EXPECT_EQ(law.annealed_log_probability(2, S(1), S(0.5)), S(0.5) * log_zero<S>);
    EXPECT_EQ(law.annealed_log_probability(4, S(1), S(0)), S(0));
    for (const std::uint64_t d : {3u, 5u, 8u}) {
        const long double exponent = 0.7L * reference_log_density(d, 5, 2, 1.5);
        EXPECT_NEAR(law.annealed_log_probability(d, S(1.5), S(0.7)), exponent, 1e-5);
        EXPECT_NEAR(law.probability(d, S(1.5), S(0.7)) / std::exp(exponent), 1.0, 1e-3);
    }

    const DurationParameters<S> none, bad_mean{inf<S>, S(1)}, bad_variance{S(1), S(-1)};
    const char* law_message = "duration requires a finite mean and positive variance";
    const char* finite = "duration and weight must be finite";
    const char* range = "duration must fit i32 and temperature must be finite and nonnegative";
    expect_messages({{[&] { none.log_probability(nan<S>, nan<S>); }, law_message},
                     {[&] { bad_mean.log_probability(S(1), S(1)); }, law_message},
                     {[&] { bad_variance.log_probability(S(1), S(1)); }, law_message},
                     {[&] { law.log_probability(nan<S>, S(1)); }, finite},
                     {[&] { law.log_probability(S(1), inf<S>); }, finite},
                     {[&] { none.probability(two_to(31), nan<S>, S(1)); }, range},
                     {[&] { none.probability(1, nan<S>, S(-0.1)); }, range},
                     {[&] { none.probability(1, nan<S>, inf<S>); }, range},
                     {[&] { none.probability(1, nan<S>, S(1)); }, law_message},
                     {[&] { law.probability(1, nan<S>, S(1)); }, finite},
                     {[&] { law.probability(two_to(31) - 1, S(1), S(-0.0)); }, "no error"}});
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
    mixture.increase_mixtures(4, S(1));
    EXPECT_EQ(mixture.weights, std::vector<S>(4, S(0.25)));
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

TYPED_TEST(ModelOperations, IncreaseMixturesChecksInOrderAndChangesNothingOnFailure) {
    using S = TypeParam;
    using M = GaussianMixtureParameters<S>;
    M valid(2, 2);
    valid.variances.assign(4, S(1));
    const char* count = "invalid mixture count or displacement";
    const char* splitting =
        "splitting requires finite parameters and nonnegative weights and variances";
    // Edits a copy of `valid` and grows it; a failure must leave it unchanged.
    const auto run = [&](void (*edit)(M&), std::uint64_t c, S displacement) {
        M m = valid;
        edit(m);
        const M before = m;
        const auto message = error_of([&] { m.increase_mixtures(c, displacement); });
        EXPECT_TRUE(message == "no error" ||
                    (m.weights == before.weights && m.means.size() == before.means.size()));
        return message;
    };
    const auto keep = [](M&) {};
    EXPECT_EQ(run([](M& m) { m.means.pop_back(); }, 1, nan<S>), kLengths);  // shape first
    EXPECT_EQ(run(keep, 2, nan<S>), "no error");  // at or below the count nothing happens
    EXPECT_EQ(run(keep, 0, nan<S>), "no error");
    EXPECT_EQ(run(keep, 3, nan<S>), count);
    EXPECT_EQ(run(keep, two_to(31), S(1)), count);
    EXPECT_EQ(run([](M& m) { m.variances[3] = S(-1); }, 3, S(1)), splitting);
    EXPECT_EQ(run([](M& m) { m.means[0] = nan<S>; }, 3, S(1)), splitting);
    EXPECT_EQ(run([](M& m) { m.weights[1] = S(-0.5); }, 3, S(1)), splitting);
    EXPECT_EQ(run([](M& m) { m.weights[1] = S(-0.0), m.variance_floors[0] = S(-1); }, 3, S(1)),
              "no error");
}

TYPED_TEST(ModelOperations, IncreaseMixturesAllocFail) {
    using S = TypeParam;
    // 2^31 − 1 components of 2^16 dimensions need about 2^49 bytes per array.
    GaussianMixtureParameters<S> mixture(1, two_to(16));
    mixture.variances.assign(mixture.variances.size(), S(1));
    EXPECT_EQ(error_of([&] { mixture.increase_mixtures(two_to(31) - 1, S(1)); }),
              "parameter allocation failed");
    EXPECT_EQ(mixture.weights.size(), 1u);
    EXPECT_EQ(mixture.means.size(), two_to(16));
}

TYPED_TEST(ModelOperations, CombineAndFromDurations) {
    using S = TypeParam;
    using M = GaussianMixtureParameters<S>;
    M first(1, 2), second(1, 3);
    first.means = {S(1), S(2)};
    first.variances = {S(3), S(4)};
    first.variance_floors = {S(0.1), S(0.2)};
    first.weights = {S(0.3)};
    second.means = {S(5), S(6), S(7)};
    second.variances = {S(8), S(9), S(10)};
    const M joined = M::combine(std::vector{first, second});
    EXPECT_EQ(joined.weights, std::vector<S>{S(1)});
    EXPECT_EQ(joined.means, (std::vector<S>{S(1), S(2), S(5), S(6), S(7)}));
    EXPECT_EQ(joined.variances, (std::vector<S>{S(3), S(4), S(8), S(9), S(10)}));
    EXPECT_EQ(joined.variance_floors, (std::vector<S>{S(0.1), S(0.2), S(0), S(0), S(0)}));
    M malformed = first;
    malformed.means.pop_back();
    const char* single = "combination requires single-component distributions";
    expect_messages({{[] { M::combine({}); }, kPositive},
                     {[&] { M::combine(std::vector{first, M(2, 1)}); }, single},
                     {[&] { M::combine(std::vector{M(2, 1), malformed}); }, single},
                     {[&] { M::combine(std::vector{malformed, M(2, 1)}); }, kLengths},
                     {[] { M::from_durations({}); }, kPositive}});
    // Values are copied without any check.
    const M mixture = M::from_durations(
        std::vector<DurationParameters<S>>{{S(4), S(2), -1, -1, -1, S(9)}, {S(-1), S(0)}});
    EXPECT_EQ(mixture.weights, std::vector<S>{S(1)});
    EXPECT_EQ(mixture.means, (std::vector<S>{S(4), S(-1)}));
    EXPECT_EQ(mixture.variances, (std::vector<S>{S(2), S(0)}));
    EXPECT_EQ(mixture.variance_floors, (std::vector<S>{S(0), S(0)}));
}

}  // namespace
}  // namespace tarvek
