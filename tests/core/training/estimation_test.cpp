#include "core/training/estimation.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/inference/emission.hpp"
#include "core/inference/geometric.hpp"
#include "core/training/update.hpp"
#include "inference/hsmm_test_support.hpp"
#include "training/expectation_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;
using testing::statistics_bits;

template <class S>
class Estimation : public ::testing::Test {};
TYPED_TEST_SUITE(Estimation, testing::Scalars);

// The chain utterance of the expectation tests with Gaussians near its frames, a duration law
// per position from its length, and skip jumps.
template <class S>
struct Problem : testing::Utterance<S> {
    HsmmOptions<S> options{S(1), S(1), S(2), 4};

    explicit Problem(std::vector<std::int32_t> b)
        : testing::Utterance<S>(testing::chain_utterance<S>(b.back(), b)) {
        const auto edit = this->model.edit();
        for (std::size_t s = 0; s < b.size(); ++s) {
            auto& two = edit.streams()[0].emissions[s];
            two.means = {S(0.2 * s), S(0.2 * s + 0.1), S(0.2 * s + 0.3), S(0.2 * s + 0.4)};
            two.variances = {S(0.5), S(0.5), S(0.6), S(0.6)};
            edit.streams()[1].emissions[s].means[0] = S(-0.1 * s);
            edit.streams()[1].emissions[s].variances[0] = S(0.8);
            edit.durations()[s] = {S(std::max(b[s] - (s ? b[s - 1] : 0), 1)), S(2)};
            if (s + 2 < b.size()) add_jump(this->segmentation, s, 2, S(0.2));
        }
    }
    S estimate() {
        return estimate_hsmm(this->statistics, this->model, this->observation, this->segmentation,
                             options);
    }
    S estimate_geometric(S temperature, S slope) {
        return tarvek::estimate_geometric(this->statistics, this->model, this->observation,
                                          this->segmentation, temperature, slope);
    }
};

TYPED_TEST(Estimation, TotalIsTheLogSumOfEndScoresBitForBit) {
    using S = TypeParam;
    for (const S radius : {S(0), S(1), S(2.5)}) {
        Problem<S> p({3, 7, 8, 12, 15, 20});
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

// Two positions over 6 frames, 1-D single-component emissions: the total is the log-sum over
// the first segment's duration d0 = 1 .. 6 (the last position's duration is not scored), and
// the posteriors of cell (0, 0) are each duration's share of it, a duration past the last
// frame keeping all six frames in the first segment.
TYPED_TEST(Estimation, TwoPositionsAgainstEnumeration) {
    using S = TypeParam;
    ModelParameters<S> model(std::vector<StreamLayout>{{2, 1, 1}}, 2);
    const double means[2] = {0.0, 2.0}, variances[2] = {1.0, 0.5};
    testing::PathReference r{{{3, 2}, {3, 2}}, {3, 6}, {{{1, 1.0}}, {{1, 1.0}}}, {}};
    auto observation = ObservationData<S>::create(6, std::vector<std::size_t>{1});
    for (std::size_t t = 0; t < 6; ++t) {
        const double x = double(S(std::vector{0.1, -0.3, 0.4, 1.9, 2.2, 1.7}[t]));
        observation.streams[0].values[t] = S(x);
        r.emissions.emplace_back();
        for (std::size_t s = 0; s < 2; ++s) {
            r.emissions[t].push_back(testing::gaussian_log_density(x, means[s], variances[s]));
            const auto edit = model.edit();
            edit.streams()[0].emissions[s].means[0] = S(means[s]);
            edit.streams()[0].emissions[s].variances[0] = S(variances[s]);
            edit.durations()[s] = {S(3), S(2)};
        }
    }
    // Durations d0 = 1, 2, ... in order, each on its own path.
    std::vector<double> terms;
    for (const auto& path : r.paths(true)) terms.push_back(path.score);
    const double z = testing::log_sum({terms.begin(), terms.begin() + 6});

    auto statistics = ModelSufficientStatistics<S>::from_model(model);
    const auto segmentation = r.segmentation<S>();
    const HsmmOptions<S> options{S(1), S(1), S(1)};
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

// A failure in any step leaves the statistics bit-identical, after an earlier utterance has
// been added to them.
TYPED_TEST(Estimation, FailuresLeaveTheStatisticsUnchanged) {
    using S = TypeParam;
    const S max = std::numeric_limits<S>::max();
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const S inf = std::numeric_limits<S>::infinity();
    const std::vector<std::pair<std::string, std::function<void(Problem<S>&)>>> cases{
        // The statistics are checked before any emission is scored.
        {"statistics stream or duration counts differ from the model",
         [&](auto& p) {
             {
                 const auto edit = p.statistics.edit();
                 edit.durations().emplace_back();
             }
             p.options.state_radius = nan;
             p.observation.streams[0].values[0] = inf;
         }},
        {"state pruning radius must be finite and nonnegative",
         [&](auto& p) { p.options.state_radius = nan; }},
        {"observation must have matching dimensions and finite values",
         [&](auto& p) { p.observation.streams[1].values[4] = inf; }},
        // The emission scoring does not read duration states; the forward pass does.
        {"duration state is out of range", [](auto& p) { p.segmentation.duration_states[2] = 9; }},
        // Rows are clamped in the forward pass only.
        {"HSMM allocation failed",
         [](auto& p) { p.options.duration_extra = std::uint64_t{1} << 32; }},
        // A frame far from every mean overflows a squared sum in the accumulation.
        {"Gaussian statistics contain invalid values",
         [max](auto& p) {
             p.observation.streams[1].values[7] = std::sqrt(max) / 2;
             const auto edit = p.statistics.edit();
             for (auto& g : edit.streams()[1].emissions) g.weighted_squared_sums[0] = max;
         }},
    };
    for (const auto& [expected, change] : cases) {
        SCOPED_TRACE(expected);
        Problem<S> p({3, 6, 9, 12});
        p.estimate();
        change(p);
        const auto before = statistics_bits(p.statistics);
        EXPECT_EQ(error_of([&] { p.estimate(); }), expected);
        EXPECT_EQ(statistics_bits(p.statistics), before);
    }
}

// A state the utterance does not name is reached only by the whole-model checks, which a
// successful call remembers until the model or the statistics change: broken after a successful
// call, it fails the next one of either driver.
TYPED_TEST(Estimation, ChangesAfterASuccessfulCallAreCheckedAgain) {
    using S = TypeParam;
    const std::vector<std::pair<std::string, std::function<void(Problem<S>&)>>> cases{
        {"emissions require finite means, positive variances, and nonnegative finite weights",
         [](auto& p) {
             const auto edit = p.model.edit();
             edit.streams()[1].emissions.back().variances[0] = S(-1);
         }},
        {"Gaussian statistics contain invalid values",
         [](auto& p) {
             const auto edit = p.statistics.edit();
             edit.streams()[0].emissions.back().weighted_sums[3] =
                 std::numeric_limits<S>::infinity();
         }},
        {"duration statistics must be finite and nonnegative",
         [](auto& p) {
             const auto edit = p.statistics.edit();
             edit.durations().back().occupancy = S(-1);
         }},
    };
    for (const auto& [expected, change] : cases) {
        SCOPED_TRACE(expected);
        Problem<S> p({3, 6, 9, 12});
        {
            const auto edit = p.model.edit();
            for (auto& stream : edit.streams()) stream.emissions.push_back(stream.emissions[0]);
            edit.durations().push_back(edit.durations()[0]);
        }
        p.statistics = ModelSufficientStatistics<S>::from_model(p.model);
        p.estimate();
        p.estimate_geometric(S(1), S(1));
        change(p);
        EXPECT_EQ(error_of([&] { p.estimate(); }), expected);
        EXPECT_EQ(error_of([&] { p.estimate_geometric(S(1), S(1)); }), expected);
    }
}

// A call on values that passed checks none of their values again, nor does the call after an
// accumulation, which keeps the statistics' pass. Each writer makes the next call check again
// what it wrote: every mixture of the model (one check each), or every Gaussian of the
// statistics (one each) and their durations (one).
TYPED_TEST(Estimation, PassedValueChecksAreRememberedUntilAWrite) {
    using S = TypeParam;
    Problem<S> p({3, 6, 9, 12});
    std::uint64_t mixtures = 0;
    for (const auto& stream : p.model.streams) mixtures += stream.emissions.size();
    const std::uint64_t model_checks = mixtures, statistics_checks = mixtures + 1;
    const auto checks_of_a_call = [&] {
        const std::uint64_t before = value_checks_run.load();
        p.estimate();
        return value_checks_run.load() - before;
    };
    EXPECT_EQ(checks_of_a_call(), model_checks + statistics_checks);
    EXPECT_EQ(checks_of_a_call(), 0u);
    const std::vector<std::tuple<const char*, std::function<void()>, std::uint64_t>> writers{
        {"model edit", [&] { p.model.edit(); }, model_checks},
        {"model assignment", [&] { p.model = ModelParameters<S>(p.model); }, model_checks},
        {"update", [&] { update(p.model, p.statistics, UpdateOptions<S>{}); }, model_checks},
        {"statistics edit", [&] { p.statistics.edit(); }, statistics_checks},
        {"statistics assignment",
         [&] { p.statistics = ModelSufficientStatistics<S>(p.statistics); }, statistics_checks},
        {"clear", [&] { p.statistics.clear(); }, statistics_checks},
    };
    for (const auto& [name, write, checks] : writers) {
        write();
        EXPECT_EQ(checks_of_a_call(), checks) << name;
        EXPECT_EQ(checks_of_a_call(), 0u) << name;
    }
}

TYPED_TEST(Estimation, Geometric) {
    using S = TypeParam;
    Problem<S> p({3, 7, 8, 12, 15, 20});
    const S temperature = S(0.8), slope = S(0.5);
    const auto emissions =
        emission_log_probabilities(p.model, p.observation, p.segmentation,
                                   EmissionPruningMode::linear_band, temperature, slope);
    const auto beta = backward_geometric(p.model, p.segmentation, emissions, temperature, slope);
    EXPECT_EQ(bits(p.estimate_geometric(temperature, slope)), bits(beta(0, 0) + emissions(0, 0)));
    EXPECT_GT(p.statistics.durations[2].occupancy, S(0));
    // Two frames: a total, but no inner frame to add.
    Problem<S> two({1, 2});
    const auto before = statistics_bits(two.statistics);
    EXPECT_TRUE(std::isfinite(two.estimate_geometric(S(1), S(1))));
    EXPECT_EQ(statistics_bits(two.statistics), before);
    // Failures leave the statistics unchanged.
    const auto after_one = statistics_bits(p.statistics);
    EXPECT_EQ(error_of([&] { p.estimate_geometric(S(-1), S(1)); }),
              "temperature must be finite and nonnegative");
    {
        const auto edit = p.statistics.edit();
        edit.durations().emplace_back();
    }
    EXPECT_EQ(error_of([&] { p.estimate_geometric(S(1), S(1)); }),
              "statistics stream or duration counts differ from the model");
    {
        const auto edit = p.statistics.edit();
        edit.durations().pop_back();
    }
    EXPECT_EQ(statistics_bits(p.statistics), after_one);
}

}  // namespace
}  // namespace tarvek
