#include "core/statistics.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::error_of;
using testing::two_to;

template <class S>
class Statistics : public ::testing::Test {};
TYPED_TEST_SUITE(Statistics, testing::Scalars);

// Two streams (2 emissions of 2 components in 3 dimensions; 1 emission of 3 in 2) and 3 states.
template <class S>
ModelParameters<S> two_stream_model() {
    const std::vector<StreamLayout> layouts{{2, 2, 3}, {1, 3, 2}};
    return ModelParameters<S>(layouts, 3);
}

// One step of a check order: a change to a valid model or statistics and the message it gives.
template <class S>
struct Step {
    std::string name;
    std::function<void(ModelParameters<S>&, ModelSufficientStatistics<S>&)> change;
    std::string expected;
};

template <class S>
void expect_zero_gaussian(const GaussianSufficientStatistics<S>& g, std::uint64_t m,
                          std::uint64_t d) {
    EXPECT_EQ(g.weighted_sums, std::vector<S>(m * d, S(0)));
    EXPECT_EQ(g.weighted_squared_sums, std::vector<S>(m * d, S(0)));
    EXPECT_EQ(g.component_occupancies, std::vector<S>(m, S(0)));
    EXPECT_EQ(g.mixture_count(), m);
    EXPECT_EQ(g.dimensions, d);
    EXPECT_EQ(g.state_occupancy, S(0));
}

TYPED_TEST(Statistics, NewGivesZeroSumsOfTheShape) {
    using S = TypeParam;
    expect_zero_gaussian(GaussianSufficientStatistics<S>(2, 3), 2, 3);
}

TYPED_TEST(Statistics, NewChecksInOrder) {
    using S = TypeParam;
    const auto make = [](std::uint64_t m, std::uint64_t d) {
        return error_of([&] { GaussianSufficientStatistics<S>(m, d); });
    };
    EXPECT_EQ(make(0, 3), "mixture count and dimensions must be positive");
    EXPECT_EQ(make(2, 0), "mixture count and dimensions must be positive");
    EXPECT_EQ(make(0, two_to(31)), "mixture count and dimensions must be positive");
    EXPECT_EQ(make(2, two_to(31)), "dimensions exceed the legacy format");
    EXPECT_EQ(make(two_to(31), 1), "dimensions exceed the legacy format");
    EXPECT_EQ(make(two_to(31) - 1, two_to(31) - 1),
              "parameter allocation exceeds addressable memory");
    // 2^60 entries address fine as 32-bit values but not as 64-bit ones.
    EXPECT_EQ(make(two_to(30), two_to(30)), sizeof(S) == 8
                                                ? "parameter allocation exceeds addressable memory"
                                                : "statistics allocation failed");
}

TYPED_TEST(Statistics, NewAllocFail) {
    using S = TypeParam;
    const auto make = [](std::uint64_t m, std::uint64_t d) {
        return error_of([&] { GaussianSufficientStatistics<S>(m, d); });
    };
    EXPECT_EQ(make(two_to(24), two_to(24)), "statistics allocation failed");
    EXPECT_EQ(error_of([] { zeros<S>(two_to(50)); }), "statistics allocation failed");
    EXPECT_EQ(error_of([] { zeros<S>(two_to(62)); }), "statistics allocation failed");
}

TYPED_TEST(Statistics, FromModelShapesEveryStreamAndDuration) {
    using S = TypeParam;
    const std::vector<StreamLayout> layouts{{2, 2, 3}, {0, 0, 0}, {1, 4, 1}};
    const auto statistics =
        ModelSufficientStatistics<S>::from_model(ModelParameters<S>(layouts, 5));
    ASSERT_EQ(statistics.streams.size(), 3u);
    ASSERT_EQ(statistics.streams[0].emissions.size(), 2u);
    expect_zero_gaussian(statistics.streams[0].emissions[1], 2, 3);
    EXPECT_TRUE(statistics.streams[1].emissions.empty());
    ASSERT_EQ(statistics.streams[2].emissions.size(), 1u);
    expect_zero_gaussian(statistics.streams[2].emissions[0], 4, 1);
    ASSERT_EQ(statistics.durations.size(), 5u);

    const auto empty = ModelSufficientStatistics<S>::from_model(ModelParameters<S>({}, 4));
    EXPECT_TRUE(empty.streams.empty());
    ASSERT_EQ(empty.durations.size(), 4u);
    for (const auto& d : empty.durations) {
        EXPECT_EQ(d.value_sum, S(0));
        EXPECT_EQ(d.squared_sum, S(0));
        EXPECT_EQ(d.occupancy, S(0));
    }
}

TYPED_TEST(Statistics, FromModelChecksEveryMixtureInOrderBeforeBuilding) {
    using S = TypeParam;
    using Model = ModelParameters<S>;
    // Each step breaks the last mixture of the last stream, so the shape pass covers every
    // stream; a fault of an earlier step leaves the later arrays mismatched as well.
    const std::vector<Step<S>> steps{
        {"no components", [](Model& m, auto&) { m.streams[1].emissions[0].weights.clear(); },
         "mixture count and dimensions must be positive"},
        {"no dimensions", [](Model& m, auto&) { m.streams[1].emissions[0].dimensions = 0; },
         "mixture count and dimensions must be positive"},
        {"legacy dimensions",
         [](Model& m, auto&) { m.streams[1].emissions[0].dimensions = two_to(31); },
         "dimensions exceed the legacy format"},
        {"means", [](Model& m, auto&) { m.streams[1].emissions[0].means.push_back(S(0)); },
         "parameter lengths do not match dimensions"},
        {"variances", [](Model& m, auto&) { m.streams[1].emissions[0].variances.pop_back(); },
         "parameter lengths do not match dimensions"},
        {"variance floors",
         [](Model& m, auto&) { m.streams[1].emissions[0].variance_floors.pop_back(); },
         "parameter lengths do not match dimensions"},
        {"earlier stream first",
         [](Model& m, auto&) {
             m.streams[0].emissions[1].means.pop_back();
             m.streams[1].emissions[0].weights.clear();
         },
         "parameter lengths do not match dimensions"},
    };
    for (const auto& step : steps) {
        auto model = two_stream_model<S>();
        ModelSufficientStatistics<S> unused;
        step.change(model, unused);
        EXPECT_EQ(error_of([&] { ModelSufficientStatistics<S>::from_model(model); }), step.expected)
            << step.name;
    }
}

TYPED_TEST(Statistics, ValidateForChecksInOrder) {
    using S = TypeParam;
    using Model = ModelParameters<S>;
    using Stats = ModelSufficientStatistics<S>;
    const S negative = S(-1);
    const S nan = std::numeric_limits<S>::quiet_NaN();
    // Several steps also plant a fault of a later check, which must not be the one reported.
    const std::vector<Step<S>> steps{
        {"extra duration",
         [](Model&, Stats& s) {
             s.durations.emplace_back();
             s.streams[0].emissions.pop_back();
         },
         "statistics stream or duration counts differ from the model"},
        {"missing stream", [](Model&, Stats& s) { s.streams.pop_back(); },
         "statistics stream or duration counts differ from the model"},
        {"emission count",
         [=](Model&, Stats& s) {
             s.streams[1].emissions.emplace_back();
             s.durations[0].occupancy = negative;
         },
         "statistics emission counts differ from the model"},
        {"earlier stream's Gaussian before later emission count",
         [=](Model&, Stats& s) {
             s.streams[0].emissions[1].state_occupancy = negative;
             s.streams[1].emissions.pop_back();
         },
         "Gaussian statistics contain invalid values"},
        {"no components",
         [](Model& m, Stats& s) {
             m.streams[0].emissions[0].weights.clear();
             s.streams[0].emissions[0].dimensions = 7;
         },
         "mixture count and dimensions must be positive"},
        {"no dimensions", [](Model& m, Stats&) { m.streams[0].emissions[1].dimensions = 0; },
         "mixture count and dimensions must be positive"},
        {"legacy dimensions",
         [](Model& m, Stats&) { m.streams[1].emissions[0].dimensions = two_to(31); },
         "dimensions exceed the legacy format"},
        {"model variance floors",
         [](Model& m, Stats& s) {
             m.streams[1].emissions[0].variance_floors.pop_back();
             s.streams[1].emissions[0].weighted_sums.pop_back();
         },
         "parameter lengths do not match dimensions"},
        {"statistics dimensions",
         [=](Model&, Stats& s) {
             s.streams[0].emissions[0].dimensions = 2;
             s.streams[0].emissions[0].state_occupancy = nan;
         },
         "Gaussian statistics dimensions differ from the model"},
        {"weighted sums length",
         [](Model&, Stats& s) { s.streams[0].emissions[0].weighted_sums.push_back(S(0)); },
         "Gaussian statistics dimensions differ from the model"},
        {"weighted squared sums length",
         [](Model&, Stats& s) { s.streams[1].emissions[0].weighted_squared_sums.pop_back(); },
         "Gaussian statistics dimensions differ from the model"},
        {"component occupancies length",
         [](Model&, Stats& s) { s.streams[1].emissions[0].component_occupancies.pop_back(); },
         "Gaussian statistics dimensions differ from the model"},
        {"state occupancy",
         [=](Model&, Stats& s) {
             s.streams[0].emissions[0].state_occupancy = negative;
             s.durations[2].value_sum = nan;
         },
         "Gaussian statistics contain invalid values"},
        {"weighted sum",
         [=](Model&, Stats& s) { s.streams[1].emissions[0].weighted_sums[5] = nan; },
         "Gaussian statistics contain invalid values"},
        {"weighted squared sum",
         [=](Model&, Stats& s) { s.streams[0].emissions[1].weighted_squared_sums[0] = negative; },
         "Gaussian statistics contain invalid values"},
        {"component occupancy",
         [=](Model&, Stats& s) { s.streams[0].emissions[1].component_occupancies[1] = negative; },
         "Gaussian statistics contain invalid values"},
        {"duration", [=](Model&, Stats& s) { s.durations[2].squared_sum = negative; },
         "duration statistics must be finite and nonnegative"},
    };
    for (const auto& step : steps) {
        auto model = two_stream_model<S>();
        auto statistics = Stats::from_model(model);
        EXPECT_EQ(error_of([&] { statistics.validate_for(model); }), "no error");
        step.change(model, statistics);
        EXPECT_EQ(error_of([&] { statistics.validate_for(model); }), step.expected) << step.name;
    }
}

TYPED_TEST(Statistics, ValidateForAcceptsNegativeZeroAndRefusesEveryOtherNegative) {
    using S = TypeParam;
    using Limits = std::numeric_limits<S>;
    const auto model = two_stream_model<S>();
    const auto base = ModelSufficientStatistics<S>::from_model(model);
    // Every value that must be finite and nonnegative, and the message its fault gives.
    const std::vector<std::pair<std::function<S&(ModelSufficientStatistics<S>&)>, std::string>>
        nonnegative{
            {[](auto& s) -> S& { return s.streams[0].emissions[1].state_occupancy; },
             "Gaussian statistics contain invalid values"},
            {[](auto& s) -> S& { return s.streams[1].emissions[0].weighted_squared_sums[5]; },
             "Gaussian statistics contain invalid values"},
            {[](auto& s) -> S& { return s.streams[0].emissions[0].component_occupancies[1]; },
             "Gaussian statistics contain invalid values"},
            {[](auto& s) -> S& { return s.durations[1].value_sum; },
             "duration statistics must be finite and nonnegative"},
            {[](auto& s) -> S& { return s.durations[1].squared_sum; },
             "duration statistics must be finite and nonnegative"},
            {[](auto& s) -> S& { return s.durations[2].occupancy; },
             "duration statistics must be finite and nonnegative"},
    };
    const std::vector<S> refused{-Limits::denorm_min(), -Limits::min(),      S(-1),
                                 Limits::lowest(),      -Limits::infinity(), Limits::infinity(),
                                 Limits::quiet_NaN()};
    for (std::size_t i = 0; i < nonnegative.size(); ++i) {
        const auto& [value_of, message] = nonnegative[i];
        auto statistics = base;
        value_of(statistics) = S(-0.0);
        EXPECT_EQ(error_of([&] { statistics.validate_for(model); }), "no error") << i;
        value_of(statistics) = Limits::max();
        EXPECT_EQ(error_of([&] { statistics.validate_for(model); }), "no error") << i;
        for (const S value : refused) {
            value_of(statistics) = value;
            EXPECT_EQ(error_of([&] { statistics.validate_for(model); }), message) << i << value;
        }
    }

    // Weighted sums may take either sign, but must be finite.
    auto statistics = base;
    auto& sums = statistics.streams[0].emissions[1].weighted_sums;
    for (const S value : {-Limits::denorm_min(), S(-1), Limits::lowest(), Limits::max()}) {
        sums.assign(sums.size(), value);
        EXPECT_EQ(error_of([&] { statistics.validate_for(model); }), "no error") << value;
    }
    for (const S value : {-Limits::infinity(), Limits::infinity(), Limits::quiet_NaN()}) {
        sums[3] = value;
        EXPECT_EQ(error_of([&] { statistics.validate_for(model); }),
                  "Gaussian statistics contain invalid values")
            << value;
    }
}

TYPED_TEST(Statistics, FromMixtureChecksShapeFirst) {
    using S = TypeParam;
    GaussianMixtureParameters<S> mixture(4, 2);
    expect_zero_gaussian(GaussianSufficientStatistics<S>::from_mixture(mixture), 4, 2);
    mixture.variance_floors.push_back(S(0));
    EXPECT_EQ(error_of([&] { GaussianSufficientStatistics<S>::from_mixture(mixture); }),
              "parameter lengths do not match dimensions");
}

TYPED_TEST(Statistics, ClearZeroesValuesAndKeepsShapes) {
    using S = TypeParam;
    auto statistics = ModelSufficientStatistics<S>::from_model(two_stream_model<S>());
    auto& gaussian = statistics.streams[1].emissions[0];
    gaussian.weighted_sums.assign(6, S(2));
    gaussian.weighted_squared_sums.assign(6, S(-3));
    gaussian.component_occupancies.assign(3, S(4));
    gaussian.state_occupancy = S(5);
    statistics.durations[1] = {S(1), S(2), S(3)};
    statistics.clear();
    EXPECT_EQ(statistics.streams.size(), 2u);
    EXPECT_EQ(statistics.streams[0].emissions.size(), 2u);
    expect_zero_gaussian(gaussian, 3, 2);
    EXPECT_EQ(statistics.durations.size(), 3u);
    EXPECT_EQ(statistics.durations[1].value_sum, S(0));
    EXPECT_EQ(statistics.durations[1].occupancy, S(0));
}

}  // namespace
}  // namespace tarvek
