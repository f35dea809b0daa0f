#include "core/estimation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/duration_occupancy.hpp"
#include "core/emission.hpp"
#include "core/geometric.hpp"
#include "core/hsmm.hpp"
#include "expectation_test_support.hpp"
#include "hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;
using testing::statistics_bits;

template <class S>
class Estimation : public ::testing::Test {};
TYPED_TEST_SUITE(Estimation, testing::Scalars);

// Two streams (two components in 2-D; one in 1-D), one emission and duration state per
// position, frames drawn near the means of the position they belong to, skip jumps.
template <class S>
struct Problem {
    ModelParameters<S> model;
    ModelSufficientStatistics<S> statistics;
    ObservationData<S> observation;
    SegmentationData<S> segmentation;
    HsmmOptions<S> options;

    S estimate() { return estimate_hsmm(statistics, model, observation, segmentation, options); }
    S estimate_geometric(S temperature, S slope) {
        return tarvek::estimate_geometric(statistics, model, observation, segmentation, temperature,
                                          slope);
    }
};

template <class S>
Problem<S> problem(std::vector<std::int32_t> boundaries) {
    Problem<S> p;
    const std::size_t positions = boundaries.size();
    const std::size_t frames = static_cast<std::size_t>(boundaries.back());
    const std::vector<StreamLayout> layouts{{positions, 2, 2}, {positions, 1, 1}};
    p.model = ModelParameters<S>(layouts, positions);
    for (std::size_t s = 0; s < positions; ++s) {
        auto& two = p.model.streams[0].emissions[s];
        two.weights = {S(0.4), S(0.6)};
        for (std::size_t i = 0; i < 4; ++i) {
            two.means[i] = static_cast<S>(0.8 * s + 0.3 * (i / 2) + 0.1 * (i % 2));
            two.variances[i] = static_cast<S>(0.5 + 0.1 * (i / 2));
        }
        auto& one = p.model.streams[1].emissions[s];
        one.means[0] = static_cast<S>(-0.5 * s);
        one.variances[0] = S(0.8);
        const std::int32_t start = s == 0 ? 0 : boundaries[s - 1];
        p.model.durations[s].mean = static_cast<S>(std::max(boundaries[s] - start, 1));
        p.model.durations[s].variance = S(2);
    }
    p.statistics = ModelSufficientStatistics<S>::from_model(p.model);
    const std::vector<std::size_t> dimensions{2, 1};
    p.observation = ObservationData<S>::create(frames, dimensions);
    std::mt19937_64 random(17);
    std::normal_distribution<double> noise(0.0, 0.4);
    std::size_t s = 0;
    for (std::size_t t = 0; t < frames; ++t) {
        while (static_cast<std::size_t>(boundaries[s]) <= t) ++s;
        p.observation.streams[0].values[2 * t] = static_cast<S>(0.8 * s + noise(random));
        p.observation.streams[0].values[2 * t + 1] = static_cast<S>(0.8 * s + noise(random));
        p.observation.streams[1].values[t] = static_cast<S>(-0.5 * s + noise(random));
    }
    p.segmentation = SegmentationData<S>::create(2, positions);
    p.segmentation.boundaries = boundaries;
    for (std::size_t k = 0; k < positions; ++k) {
        p.segmentation.duration_states[k] = static_cast<std::int32_t>(k);
        p.segmentation.output_states[0][k] = static_cast<std::int32_t>(k);
        p.segmentation.output_states[1][k] = static_cast<std::int32_t>(k);
        if (k + 2 < positions) add_jump(p.segmentation, k, 2, S(0.2));
    }
    p.options.state_radius = S(2);
    p.options.duration_extra = 4;
    return p;
}

TYPED_TEST(Estimation, TotalIsTheLogSumOfEndScoresBitForBit) {
    using S = TypeParam;
    for (const S radius : {S(0), S(1), S(2.5)}) {
        auto p = problem<S>({3, 7, 8, 12, 15, 20});
        p.options.state_radius = radius;
        const auto emissions =
            emission_log_probabilities(p.model, p.observation, p.segmentation,
                                       EmissionPruningMode::state_radius, S(1), radius);
        const auto forward = search_hsmm(p.model, p.segmentation, emissions, p.options, false);
        const auto backward = backward_hsmm_with(p.model, p.segmentation, emissions, p.options);
        S expected = log_zero<S>;
        for (std::uint64_t t = 0; t < 20; ++t) {
            expected = log_add(expected, forward.end(t, 0) + backward.end(t, 0));
        }
        EXPECT_EQ(bits(p.estimate()), bits(expected)) << radius;
        EXPECT_GT(p.statistics.durations[0].occupancy, S(0.5));
    }
}

// Two positions over 6 frames, 1-D single-component emissions e0 and e1: the total is the
// log-sum over the first segment's duration d0 = 1 .. 6 (the last position's duration is not
// scored), and the duration posteriors of cell (0, 0) are each duration's share of it, a
// duration past the last frame keeping all six frames in the first segment.
TYPED_TEST(Estimation, TwoPositionsAgainstEnumeration) {
    using S = TypeParam;
    const std::vector<StreamLayout> layouts{{2, 1, 1}};
    ModelParameters<S> model(layouts, 2);
    const double means[2] = {0.0, 2.0};
    const double variances[2] = {1.0, 0.5};
    for (std::size_t s = 0; s < 2; ++s) {
        model.streams[0].emissions[s].means[0] = static_cast<S>(means[s]);
        model.streams[0].emissions[s].variances[0] = static_cast<S>(variances[s]);
        model.durations[s].mean = S(3);
        model.durations[s].variance = S(2);
    }
    const std::vector<double> x{0.1, -0.3, 0.4, 1.9, 2.2, 1.7};
    const std::vector<std::size_t> dimensions{1};
    auto observation = ObservationData<S>::create(6, dimensions);
    for (std::size_t t = 0; t < 6; ++t) observation.streams[0].values[t] = static_cast<S>(x[t]);
    auto segmentation = SegmentationData<S>::create(1, 2);
    segmentation.boundaries = {3, 6};
    segmentation.duration_states = {0, 1};
    segmentation.output_states[0] = {0, 1};
    HsmmOptions<S> options;
    options.state_radius = S(1);

    const auto emission = [&](std::size_t s, std::size_t t) {
        const double v = variances[s];
        const double d = static_cast<double>(static_cast<S>(x[t])) - means[s];
        return -0.5 * std::log(2 * testing::pi * v) - 0.5 * d * d / v;
    };
    const std::uint64_t length = duration_limit(3, model.durations[0], options);
    std::vector<double> terms;
    for (std::uint64_t d = 1; d < length; ++d) {
        double score = testing::duration_log_density(static_cast<double>(d), 3, 2);
        for (std::size_t t = 0; t < 6; ++t) score += emission(t < d ? 0 : 1, t);
        terms.push_back(score);
    }
    const double z = testing::log_sum({terms.begin(), terms.begin() + 6});

    auto statistics = ModelSufficientStatistics<S>::from_model(model);
    const S total = estimate_hsmm(statistics, model, observation, segmentation, options);
    EXPECT_NEAR(total, z, 6e-3);

    const auto emissions = emission_log_probabilities(
        model, observation, segmentation, EmissionPruningMode::state_radius, S(1), S(1));
    const auto forward = search_hsmm(model, segmentation, emissions, options, false);
    const auto backward = backward_hsmm_with(model, segmentation, emissions, options);
    const auto durations = duration_occupancies_with(model, segmentation, emissions, forward,
                                                     backward, total, options);
    const auto cell = durations.get(0, 0);
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->minimum, 1u);
    const std::size_t kept = cell->probabilities.size();
    ASSERT_GE(kept, 6u);
    for (std::size_t i = 0; i < terms.size(); ++i) {
        const double expected = std::exp(terms[i] - z);
        if (i < kept) {
            EXPECT_NEAR(cell->probabilities[i], expected, 6e-3 * expected) << i + 1;
        } else {
            EXPECT_LT(expected, 1.01e-5) << i + 1;
        }
    }
    EXPECT_GT(std::exp(terms[kept - 1] - z), 0.99e-5);
}

TYPED_TEST(Estimation, StatisticsAreCheckedBeforeAnyEmissionIsScored) {
    using S = TypeParam;
    auto p = problem<S>({3, 6, 9});
    p.statistics.durations.emplace_back();
    p.options.state_radius = std::numeric_limits<S>::quiet_NaN();
    p.observation.streams[0].values[0] = std::numeric_limits<S>::infinity();
    const auto before = statistics_bits(p.statistics);
    EXPECT_EQ(error_of([&] { p.estimate(); }),
              "statistics stream or duration counts differ from the model");
    EXPECT_EQ(error_of([&] { p.estimate_geometric(S(1), S(1)); }),
              "statistics stream or duration counts differ from the model");
    EXPECT_EQ(statistics_bits(p.statistics), before);
}

// A failure in any step leaves the statistics bit-identical, after an earlier utterance has
// been added to them.
TYPED_TEST(Estimation, FailuresLeaveTheStatisticsUnchanged) {
    using S = TypeParam;
    const S max = std::numeric_limits<S>::max();
    const std::vector<std::pair<std::string, std::function<void(Problem<S>&)>>> cases{
        {"state pruning radius must be finite and nonnegative",
         [](auto& p) { p.options.state_radius = std::numeric_limits<S>::quiet_NaN(); }},
        {"observation must have matching dimensions and finite values",
         [](auto& p) { p.observation.streams[1].values[4] = std::numeric_limits<S>::infinity(); }},
        // The emission scoring does not read duration states; the forward pass does.
        {"duration state is out of range", [](auto& p) { p.segmentation.duration_states[2] = 9; }},
        // Rows are clamped in the forward pass only.
        {"HSMM allocation failed",
         [](auto& p) { p.options.duration_extra = std::uint64_t{1} << 32; }},
        // A frame far from every mean overflows a squared sum in the accumulation.
        {"Gaussian statistics contain invalid values",
         [max](auto& p) {
             p.observation.streams[1].values[7] = std::sqrt(max) / 2;
             for (auto& g : p.statistics.streams[1].emissions) g.weighted_squared_sums[0] = max;
         }},
    };
    for (const auto& [expected, change] : cases) {
        SCOPED_TRACE(expected);
        auto p = problem<S>({3, 6, 9, 12});
        p.estimate();
        change(p);
        const auto before = statistics_bits(p.statistics);
        EXPECT_EQ(error_of([&] { p.estimate(); }), expected);
        EXPECT_EQ(statistics_bits(p.statistics), before);
    }
}

TYPED_TEST(Estimation, GeometricTotalAndShortObservations) {
    using S = TypeParam;
    auto p = problem<S>({3, 7, 8, 12, 15, 20});
    const S temperature = S(0.8);
    const S slope = S(0.5);
    const auto emissions =
        emission_log_probabilities(p.model, p.observation, p.segmentation,
                                   EmissionPruningMode::linear_band, temperature, slope);
    const auto beta = backward_geometric(p.model, p.segmentation, emissions, temperature, slope);
    EXPECT_EQ(bits(p.estimate_geometric(temperature, slope)), bits(beta(0, 0) + emissions(0, 0)));
    EXPECT_GT(p.statistics.durations[2].occupancy, S(0));

    // Two frames: a total, but no inner frame to add.
    auto two = problem<S>({1, 2});
    const auto before = statistics_bits(two.statistics);
    const S total = two.estimate_geometric(S(1), S(1));
    EXPECT_TRUE(std::isfinite(total));
    EXPECT_EQ(statistics_bits(two.statistics), before);

    auto failing = problem<S>({3, 6, 9});
    failing.estimate_geometric(S(1), S(1));
    const auto after_one = statistics_bits(failing.statistics);
    EXPECT_EQ(error_of([&] { failing.estimate_geometric(S(-1), S(1)); }),
              "temperature must be finite and nonnegative");
    EXPECT_EQ(statistics_bits(failing.statistics), after_one);
}

}  // namespace
}  // namespace tarvek
