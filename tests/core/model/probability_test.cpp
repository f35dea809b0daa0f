#include "core/model/probability.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;

template <class S>
class Probability : public ::testing::Test {};
TYPED_TEST_SUITE(Probability, Scalars);

const long double pi = 3.141592653589793238462643383279L;
const char* kObservation = "observation must have matching dimensions and finite values";
const char* kTemperature = "temperature must be finite and nonnegative";

// A prepared mixture with the given weights, means and variances (component-major).
template <class S>
PreparedGaussianParameters<S> prepared(std::vector<S> weights, std::vector<S> means,
                                       std::vector<S> variances) {
    GaussianMixtureParameters<S> mixture(weights.size(), means.size() / weights.size());
    mixture.weights = std::move(weights);
    mixture.means = std::move(means);
    mixture.variances = std::move(variances);
    return std::move(mixture).prepare_owned();
}

// ln Σ_k w_k exp(c_k) with c_k the Gaussian log density, in long double from the definition.
template <class S>
long double reference_log_probability(const GaussianMixtureParameters<S>& mixture, const S* x) {
    const std::size_t d = mixture.dimensions;
    long double sum = 0;
    for (std::size_t k = 0; k < mixture.weights.size(); ++k) {
        long double log_density = 0;
        for (std::size_t j = 0; j < d; ++j) {
            const long double v = mixture.variances[k * d + j];
            const long double diff = x[j] - static_cast<long double>(mixture.means[k * d + j]);
            log_density -= 0.5L * std::log(2.0L * pi * v) + 0.5L * diff * diff / v;
        }
        sum += mixture.weights[k] * std::exp(log_density);
    }
    return std::log(sum);
}

TYPED_TEST(Probability, NormalizerChecksInOrder) {
    using S = TypeParam;
    using M = GaussianMixtureParameters<S>;
    M valid(2, 1);
    valid.means = {S(0), S(1)};
    valid.variances = {S(1), S(2)};
    const char* values =
        "emissions require finite means, positive variances, and nonnegative finite weights";
    expect_rows<M>(valid, [](const M& m) { gaussian_normalizers(m); },
                   {{[](M& m) { m.variances[1] = S(0), m.variance_floors.pop_back(); }, kLengths},
                    {[](M& m) { m.variances[1] = S(0); }, values},
                    {[](M& m) { m.means[0] = nan<S>; }, values},
                    {[](M& m) { m.weights[0] = S(-0.5); }, values},
                    {[](M& m) { m.weights[0] = inf<S>; }, values},
                    {[](M& m) {
                         m.variance_floors[0] = S(-1), m.weights[0] = S(-0.0);
                         m.variances[0] = std::numeric_limits<S>::denorm_min();
                     },
                     "no error"}});
    // prepare_owned consumes the mixture even when it fails.
    M consumed = valid;
    consumed.variances[0] = S(0);
    EXPECT_EQ(error_of([&] { std::move(consumed).prepare_owned(); }), values);
    EXPECT_TRUE(consumed.weights.empty() && consumed.means.empty());
}

TYPED_TEST(Probability, NormalizersAndComponentDensity) {
    using S = TypeParam;
    const auto unit = prepared<S>({S(1)}, {S(0)}, {S(1)});
    const S at_mean = unit.view().component_log_density(unit.parameters.means.data(), 0);
    if constexpr (sizeof(S) == 4) {
        EXPECT_EQ(bits(at_mean), bits(-0.9189385175704956f));
    } else {
        EXPECT_NEAR(at_mean, -0.5L * std::log(2.0L * pi), 1e-15);
    }

    const auto two =
        prepared<S>({S(0.25), S(0.75)}, {S(1), S(2), S(3), S(4)}, {S(0.5), S(2), S(1e-3), S(30)});
    EXPECT_NEAR(two.normalizers[0], -std::log(2 * pi * 0.5L) - std::log(2 * pi * 2.0L), 1e-5);
    const std::vector<S> x{S(1.5), S(-2)};
    const long double expected = -std::log(2 * pi * 1e-3L) / 2 - std::log(2 * pi * 30.0L) / 2 -
                                 0.5L * 1.5L * 1.5L / 1e-3L - 0.5L * 36 / 30;
    const auto view = two.view();
    EXPECT_NEAR(view.component_log_density(x.data(), 1), expected, 1e-3);
    EXPECT_EQ(view.component_log_probability(x, 1), view.component_log_density(x.data(), 1));
    EXPECT_EQ(error_of([&] { view.component_log_probability(std::vector<S>(3, S(0)), 9); }),
              kObservation);
    EXPECT_EQ(error_of([&] { view.component_log_probability(x, 2); }),
              "mixture component is out of range");
    const auto owned = view.to_owned();
    EXPECT_EQ(owned.normalizers, two.normalizers);
    EXPECT_EQ(owned.parameters.variances, two.parameters.variances);
}

TYPED_TEST(Probability, LogProbability) {
    using S = TypeParam;
    const auto one = prepared<S>({S(1)}, {S(0), S(0)}, {S(1), S(1)});
    const auto view = one.view();
    const std::vector<S> frame{S(0.5), S(-1)};
    const auto run = [&](std::vector<S> x, S t) {
        return error_of([&] { view.log_probability(x, t); });
    };
    EXPECT_EQ(run({S(0), S(0), S(0)}, S(0)), kObservation);
    EXPECT_EQ(run({S(0), inf<S>}, S(-1)), kObservation);
    EXPECT_EQ(run(frame, S(-1)), kTemperature);
    EXPECT_EQ(run(frame, nan<S>), kTemperature);
    EXPECT_EQ(view.log_probability(frame, S(0)), S(0));
    EXPECT_EQ(view.log_probability(frame, S(-0.0)), S(0));
    // One component: the temperature times the density, with no exponential or logarithm.
    EXPECT_EQ(view.log_probability(frame, S(2)),
              S(2) * view.component_log_density(frame.data(), 0));

    // Both densities far below −90: the fast logarithm of the fast exponential's floor.
    const auto far = prepared<S>({S(0.5), S(0.5)}, {S(0), S(1)}, {S(1e-4), S(1e-4)});
    const std::vector<S> distant{S(1000)};
    const S floor_log = static_cast<S>(fast_ln(static_cast<float>(fast_exp_floor)));
    EXPECT_EQ(far.view().log_probability(distant, S(3)), floor_log * S(3));
    EXPECT_NEAR(far.view().log_probability(distant, S(1)), -87.34, 0.01);

    // A zero-weight component whose density overflows adds nothing (not 0 · inf = NaN).
    const auto overflowing =
        prepared<S>({S(0), S(1)}, std::vector<S>(8, S(0)),
                    {S(1e-30), S(1e-30), S(1e-30), S(1e-30), S(1), S(1), S(1), S(1)});
    const std::vector<S> origin(4, S(0));
    ASSERT_EQ(fast_exp(overflowing.view().component_log_density(origin.data(), 0)), inf<S>);
    EXPECT_NEAR(overflowing.view().log_probability(origin, S(1)),
                overflowing.view().component_log_density(origin.data(), 1), 1e-3);
    // A NaN sum becomes log zero before the temperature is applied.
    EXPECT_EQ(finish_mixture_log_probability(nan<double>, S(2)), S(2) * log_zero<S>);

    std::mt19937_64 random(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.5, 2.0);
    for (int trial = 0; trial < 50; ++trial) {
        const std::size_t m = 1 + trial % 4, d = 1 + trial % 5;
        GaussianMixtureParameters<S> mixture(m, d);
        // A single component is scored without its weight, which stays 1.
        for (auto& w : mixture.weights) w = m == 1 ? w : static_cast<S>(uniform(random) / m);
        for (auto& mean : mixture.means) mean = static_cast<S>(normal(random));
        for (auto& v : mixture.variances) v = static_cast<S>(uniform(random));
        const auto p = std::move(mixture).prepare_owned();
        std::vector<S> x(d);
        for (auto& value : x) value = static_cast<S>(normal(random));
        EXPECT_NEAR(p.view().log_probability(x, S(0.5)),
                    0.5L * reference_log_probability(p.parameters, x.data()), 1e-3);
    }
}

}  // namespace
}  // namespace tarvek
