#include "core/probability.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;

template <class S>
class Probability : public ::testing::Test {};
TYPED_TEST_SUITE(Probability, testing::Scalars);

constexpr double fast_exp_floor = 1.1755177525066417e-38;
const long double pi = 3.141592653589793238462643383279L;

template <class S>
PreparedGaussianParameters<S> prepare(GaussianMixtureParameters<S> mixture) {
    return std::move(mixture).prepare_owned();
}

// A mixture with the given means and variances (component-major) and weights.
template <class S>
GaussianMixtureParameters<S> mixture_of(std::vector<S> weights, std::vector<S> means,
                                        std::vector<S> variances) {
    GaussianMixtureParameters<S> mixture(weights.size(), means.size() / weights.size());
    mixture.weights = std::move(weights);
    mixture.means = std::move(means);
    mixture.variances = std::move(variances);
    return mixture;
}

// ln Σ_k w_k exp(c_k) with c_k = −0.5·Σ_j ln(2πv_kj) − 0.5·Σ_j (x_j − μ_kj)²/v_kj, in long
// double, from the definition of the mixture density.
template <class S>
long double reference_log_probability(const GaussianMixtureParameters<S>& mixture, const S* x) {
    const std::size_t d = mixture.dimensions;
    long double sum = 0;
    for (std::size_t k = 0; k < mixture.weights.size(); ++k) {
        long double log_density = 0;
        for (std::size_t j = 0; j < d; ++j) {
            const long double v = mixture.variances[k * d + j];
            const long double difference =
                x[j] - static_cast<long double>(mixture.means[k * d + j]);
            log_density -= 0.5L * std::log(2.0L * pi * v) + 0.5L * difference * difference / v;
        }
        sum += mixture.weights[k] * std::exp(log_density);
    }
    return std::log(sum);
}

TEST(FastLogarithm, StatedValues) {
    EXPECT_EQ(bits(fast_ln(1.0f)), bits(-1.6525916635146132e-06f));
    EXPECT_EQ(bits(fast_ln(2.0f)), bits(0.6931455135345459f));
}

TYPED_TEST(Probability, NormalizerChecksInOrder) {
    using S = TypeParam;
    const char* values =
        "emissions require finite means, positive variances, and nonnegative finite weights";
    const auto base = mixture_of<S>({S(0.5), S(0.5)}, {S(0), S(1)}, {S(1), S(2)});
    const auto error = [](const GaussianMixtureParameters<S>& mixture) {
        return error_of([&] { gaussian_normalizers(mixture); });
    };
    auto zero_variance = base;
    zero_variance.variances[1] = S(0);
    EXPECT_EQ(error(zero_variance), values);
    auto nan_mean = base;
    nan_mean.means[0] = std::numeric_limits<S>::quiet_NaN();
    EXPECT_EQ(error(nan_mean), values);
    auto negative_weight = base;
    negative_weight.weights[0] = S(-0.5);
    EXPECT_EQ(error(negative_weight), values);
    auto infinite_weight = base;
    infinite_weight.weights[0] = std::numeric_limits<S>::infinity();
    EXPECT_EQ(error(infinite_weight), values);

    auto accepted = base;
    accepted.variance_floors[0] = S(-1);
    accepted.weights[0] = S(-0.0);
    accepted.variances[0] = std::numeric_limits<S>::denorm_min();
    EXPECT_EQ(error(accepted), "no error");

    auto malformed = zero_variance;
    malformed.variance_floors.pop_back();
    EXPECT_EQ(error(malformed), "parameter lengths do not match dimensions");

    // Consumed whether it succeeds or fails.
    auto consumed = zero_variance;
    EXPECT_EQ(error_of([&] { std::move(consumed).prepare_owned(); }), values);
    EXPECT_TRUE(consumed.weights.empty() && consumed.means.empty());
}

TYPED_TEST(Probability, NormalizersAndComponentDensity) {
    using S = TypeParam;
    const auto unit = prepare(mixture_of<S>({S(1)}, {S(0)}, {S(1)}));
    const S at_mean = unit.view().component_log_density(unit.parameters.means.data(), 0);
    if constexpr (sizeof(S) == 4) {
        EXPECT_EQ(bits(at_mean), bits(-0.9189385175704956f));
    } else {
        EXPECT_NEAR(at_mean, -0.5L * std::log(2.0L * pi), 1e-15);
    }

    const auto prepared = prepare(mixture_of<S>({S(0.25), S(0.75)}, {S(1), S(2), S(3), S(4)},
                                                {S(0.5), S(2), S(1e-3), S(30)}));
    EXPECT_NEAR(prepared.normalizers[0], -std::log(2 * pi * 0.5L) - std::log(2 * pi * 2.0L), 1e-5);
    EXPECT_NEAR(prepared.normalizers[1], -std::log(2 * pi * 1e-3L) - std::log(2 * pi * 30.0L),
                1e-5);
    const S x[] = {S(1.5), S(-2)};
    const long double expected = -std::log(2 * pi * 1e-3L) / 2 - std::log(2 * pi * 30.0L) / 2 -
                                 0.5L * (1.5L - 3) * (1.5L - 3) / 1e-3L - 0.5L * 36 / 30;
    EXPECT_NEAR(prepared.view().component_log_density(x, 1), expected, 1e-3);

    const auto view = prepared.view();
    EXPECT_EQ(error_of([&] { view.component_log_probability(std::vector<S>(3, S(0)), 9); }),
              "observation must have matching dimensions and finite values");
    EXPECT_EQ(error_of([&] { view.component_log_probability(std::vector<S>(2, S(0)), 2); }),
              "mixture component is out of range");
    EXPECT_EQ(view.component_log_probability(std::vector<S>{x[0], x[1]}, 1),
              view.component_log_density(x, 1));
}

TYPED_TEST(Probability, LogProbabilityChecksInOrder) {
    using S = TypeParam;
    const auto prepared = prepare(mixture_of<S>({S(1)}, {S(0), S(0)}, {S(1), S(1)}));
    const auto view = prepared.view();
    const char* observation = "observation must have matching dimensions and finite values";
    EXPECT_EQ(error_of([&] { view.log_probability(std::vector<S>(3, S(0)), S(0)); }), observation);
    const std::vector<S> infinite{S(0), std::numeric_limits<S>::infinity()};
    EXPECT_EQ(error_of([&] { view.log_probability(infinite, S(-1)); }), observation);
    const std::vector<S> frame{S(0.5), S(-1)};
    EXPECT_EQ(error_of([&] { view.log_probability(frame, S(-1)); }),
              "temperature must be finite and nonnegative");
    EXPECT_EQ(error_of([&] { view.log_probability(frame, std::numeric_limits<S>::quiet_NaN()); }),
              "temperature must be finite and nonnegative");
    EXPECT_EQ(view.log_probability(frame, S(0)), S(0));
    EXPECT_EQ(view.log_probability(frame, S(-0.0)), S(0));
    // One component: the temperature times the density, with no exponential or logarithm.
    EXPECT_EQ(view.log_probability(frame, S(2)),
              S(2) * view.component_log_density(frame.data(), 0));
}

TYPED_TEST(Probability, MixtureLogProbabilityFloorAndZeroWeights) {
    using S = TypeParam;
    // Both densities far below −90: the sum is the fast exponential's floor, not log zero.
    const auto far = prepare(mixture_of<S>({S(0.5), S(0.5)}, {S(0), S(1)}, {S(1e-4), S(1e-4)}));
    const std::vector<S> distant{S(1000)};
    const S floor_log =
        static_cast<S>(static_cast<double>(fast_ln(static_cast<float>(fast_exp_floor))));
    EXPECT_EQ(far.view().log_probability(distant, S(3)), floor_log * S(3));
    EXPECT_NEAR(far.view().log_probability(distant, S(1)), -87.34, 0.01);

    // A zero-weight component whose density overflows to infinity adds nothing (not 0 · inf).
    const auto overflowing =
        prepare(mixture_of<S>({S(0), S(1)}, std::vector<S>(8, S(0)),
                              {S(1e-30), S(1e-30), S(1e-30), S(1e-30), S(1), S(1), S(1), S(1)}));
    const std::vector<S> origin(4, S(0));
    ASSERT_EQ(fast_exp(overflowing.view().component_log_density(origin.data(), 0)),
              std::numeric_limits<S>::infinity());
    const S expected = overflowing.view().component_log_density(origin.data(), 1);
    EXPECT_NEAR(overflowing.view().log_probability(origin, S(1)), expected, 1e-3);

    // A NaN sum becomes log zero before the temperature is applied.
    EXPECT_EQ(finish_mixture_log_probability(std::numeric_limits<double>::quiet_NaN(), S(2)),
              S(2) * log_zero<S>);
}

TYPED_TEST(Probability, MixtureLogProbabilityMatchesDefinition) {
    using S = TypeParam;
    std::mt19937_64 random(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.5, 2.0);
    for (int trial = 0; trial < 50; ++trial) {
        const std::size_t m = 1 + trial % 4;
        const std::size_t d = 1 + trial % 5;
        GaussianMixtureParameters<S> mixture(m, d);
        // A single component is scored without its weight.
        for (auto& w : mixture.weights) w = m == 1 ? S(1) : static_cast<S>(uniform(random) / m);
        for (auto& mean : mixture.means) mean = static_cast<S>(normal(random));
        for (auto& v : mixture.variances) v = static_cast<S>(uniform(random));
        const auto prepared = prepare(mixture);
        std::vector<S> x(d);
        for (auto& value : x) value = static_cast<S>(normal(random));
        const long double expected = reference_log_probability(prepared.parameters, x.data());
        EXPECT_NEAR(prepared.view().log_probability(x, S(0.5)), 0.5L * expected, 1e-3);
    }
}

// Random mixtures with zero weights and extreme variances, frames near and far from the means.
template <class S>
struct Scenario {
    PreparedGaussianParameters<S> prepared;
    std::vector<S> frames;
};

template <class S>
Scenario<S> random_scenario(std::mt19937_64& random, std::size_t m, std::size_t d,
                            std::size_t frame_count) {
    const double max_exponent = sizeof(S) == 4 ? 30.0 : 250.0;
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> exponent(-max_exponent, max_exponent);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    GaussianMixtureParameters<S> mixture(m, d);
    for (auto& w : mixture.weights) w = unit(random) < 0.3 ? S(0) : static_cast<S>(unit(random));
    for (auto& mean : mixture.means) mean = static_cast<S>(10.0 * normal(random));
    for (auto& v : mixture.variances) {
        v = static_cast<S>(unit(random) < 0.3 ? std::pow(10.0, exponent(random))
                                              : 0.1 + unit(random));
    }
    Scenario<S> scenario{prepare(std::move(mixture)), std::vector<S>(frame_count * d)};
    const auto& means = scenario.prepared.parameters.means;
    for (std::size_t f = 0; f < frame_count; ++f) {
        // Some frames sit exactly on a component's mean, where tiny variances overflow.
        const std::size_t k = f % m;
        const bool on_mean = unit(random) < 0.3;
        for (std::size_t j = 0; j < d; ++j) {
            scenario.frames[f * d + j] =
                on_mean ? means[k * d + j] : static_cast<S>(10.0 * normal(random));
        }
    }
    return scenario;
}

TYPED_TEST(Probability, BatchEqualsOneFrameBitForBit) {
    using S = TypeParam;
    std::mt19937_64 random(5);
    std::size_t compared = 0;
    for (const std::size_t m : {1u, 2u, 3u, 8u, 11u}) {
        for (const std::size_t d : {1u, 5u, 40u, 70u}) {
            for (const std::size_t frame_count : {1u, 15u, 16u, 17u, 50u}) {
                const auto scenario = random_scenario<S>(random, m, d, frame_count);
                const auto view = scenario.prepared.view();
                for (const S temperature : {S(1), S(0.5), S(0), S(3)}) {
                    std::vector<S> batch(frame_count);
                    view.log_probabilities(scenario.frames, temperature, batch);
                    for (std::size_t f = 0; f < frame_count; ++f) {
                        const std::span<const S> frame(scenario.frames.data() + f * d, d);
                        const S single = view.log_probability(frame, temperature);
                        ASSERT_EQ(bits(batch[f]), bits(single))
                            << "m=" << m << " d=" << d << " frame " << f << " t=" << temperature;
                        ASSERT_TRUE(std::isfinite(single));
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_EQ(compared, 5u * 4u * 99u * 4u);
}

TYPED_TEST(Probability, BatchChecksAsOneFrameLoop) {
    using S = TypeParam;
    const auto prepared = prepare(mixture_of<S>({S(0.5), S(0.5)}, {S(0), S(1)}, {S(1), S(1)}));
    const auto view = prepared.view();
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const char* observation = "observation must have matching dimensions and finite values";
    const char* temperature = "temperature must be finite and nonnegative";
    std::vector<S> out(3);
    const auto run = [&](std::vector<S> frames, S t) {
        return error_of([&] { view.log_probabilities(frames, t, out); });
    };
    EXPECT_EQ(run({S(0), S(1)}, S(1)), observation);  // two values for three frames
    EXPECT_EQ(run({nan, S(1), S(2)}, S(-1)), observation);
    EXPECT_EQ(run({S(0), nan, S(2)}, S(-1)), temperature);
    EXPECT_EQ(run({S(0), S(1), nan}, S(1)), observation);
    EXPECT_EQ(run({S(0), S(1), S(2)}, S(1)), "no error");
    EXPECT_EQ(error_of([&] { view.log_probabilities({}, S(-1), {}); }), "no error");
}

TYPED_TEST(Probability, ToOwnedCopiesMixtureAndNormalizers) {
    using S = TypeParam;
    const auto prepared = prepare(mixture_of<S>({S(0.5), S(0.5)}, {S(0), S(1)}, {S(1), S(3)}));
    const auto owned = prepared.view().to_owned();
    EXPECT_EQ(owned.normalizers, prepared.normalizers);
    EXPECT_EQ(owned.parameters.means, prepared.parameters.means);
    EXPECT_EQ(owned.parameters.variances, prepared.parameters.variances);
    EXPECT_NE(owned.normalizers.data(), prepared.normalizers.data());
}

}  // namespace
}  // namespace tarvek
