#include "core/training/initialization.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "core/training/update.hpp"
#include "training/expectation_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;
using testing::statistics_bits;

template <class S>
class Initialization : public ::testing::Test {};
TYPED_TEST_SUITE(Initialization, testing::Scalars);

template <class S>
struct Setup {
    ModelParameters<S> model;
    ModelSufficientStatistics<S> statistics;
    ObservationData<S> observation;
    SegmentationData<S> segmentation;

    // Single-component emissions of the given dimensions per stream; states[k] names segment
    // k's duration state and its emission state in every stream.
    Setup(std::vector<StreamLayout> layouts, std::uint64_t durations, std::uint64_t frames,
          std::vector<std::int32_t> boundaries, std::vector<std::int32_t> states)
        : model(layouts, durations),
          statistics(ModelSufficientStatistics<S>::from_model(model)),
          segmentation(SegmentationData<S>::create(layouts.size(), boundaries.size())) {
        std::vector<std::size_t> dimensions;
        for (const auto& layout : layouts) dimensions.push_back(layout.dimensions);
        observation = ObservationData<S>::create(frames, dimensions);
        segmentation.boundaries = boundaries;
        segmentation.duration_states = states;
        for (auto& row : segmentation.output_states) row = states;
    }
    void run() { collect_initialization(statistics, model, observation, segmentation); }
};

// 7 frames of 2-D data over boundaries [2, 5, 7] and states [0, 1, 0], floors 0.1: the means
// and population variances of each state's frames and segment lengths, computed here in long
// double (emission 0's second dimension barely varies, so its floor applies).
TYPED_TEST(Initialization, ThenUpdateGivesFrameAndLengthMoments) {
    using S = TypeParam;
    const std::vector<S> values{S(1.0), S(0.30), S(2.5), S(0.31), S(-1.0), S(4.0),  S(0.5),
                                S(6.0), S(2.0),  S(5.5), S(3.25), S(0.29), S(0.75), S(0.32)};
    Setup<S> s({{2, 1, 2}}, 2, 7, {2, 5, 7}, {0, 1, 0});
    s.observation.streams[0].values = values;
    s.run();
    const S floor = S(0.1);
    update(s.model, s.statistics, UpdateOptions<S>{floor, floor, false});
    const auto moments = [](const std::vector<long double>& x) {
        long double mean = 0, variance = 0;
        for (const long double v : x) mean += v / x.size();
        for (const long double v : x) variance += (v - mean) * (v - mean) / x.size();
        return std::pair{mean, std::max(variance, 0.1L)};
    };
    const double tolerance = sizeof(S) == 8 ? 1e-12 : 1e-5;
    const std::vector<std::vector<std::size_t>> frames{{0, 1, 5, 6}, {2, 3, 4}};
    for (std::size_t e = 0; e < 2; ++e) {
        EXPECT_EQ(s.model.streams[0].emissions[e].weights[0], S(1));
        for (std::size_t j = 0; j < 2; ++j) {
            std::vector<long double> x;
            for (const std::size_t t : frames[e]) x.push_back(values[2 * t + j]);
            const auto [mean, variance] = moments(x);
            EXPECT_NEAR(s.model.streams[0].emissions[e].means[j], mean,
                        tolerance * std::fabs(mean));
            EXPECT_NEAR(s.model.streams[0].emissions[e].variances[j], variance,
                        tolerance * variance);
        }
    }
    EXPECT_EQ(s.model.streams[0].emissions[0].variances[1], floor);
    EXPECT_EQ(s.model.durations[0].mean, S(2));  // lengths 2 and 2
    EXPECT_EQ(s.model.durations[0].variance, floor);
    EXPECT_EQ(s.model.durations[1].mean, S(3));
    EXPECT_EQ(s.model.durations[1].variance, floor);
}

TYPED_TEST(Initialization, SegmentsAndTheirFrames) {
    using S = TypeParam;
    // One segment over [1, 2, 3]: occupancies 3, sums 6 and 14, the duration triple (3, 9, 1);
    // a second call adds to the sums.
    Setup<S> one({{1, 1, 1}}, 1, 3, {3}, {0});
    one.observation.streams[0].values = {1, 2, 3};
    one.run();
    const auto& g = one.statistics.streams[0].emissions[0];
    EXPECT_EQ(g.state_occupancy, S(3));
    EXPECT_EQ(g.component_occupancies, std::vector<S>{3});
    EXPECT_EQ(g.weighted_sums, std::vector<S>{6});
    EXPECT_EQ(g.weighted_squared_sums, std::vector<S>{14});
    const auto& d = one.statistics.durations[0];
    EXPECT_EQ((std::vector<S>{d.value_sum, d.squared_sum, d.occupancy}), (std::vector<S>{3, 9, 1}));
    one.run();
    EXPECT_EQ(g.weighted_squared_sums, std::vector<S>{28});

    // [2, 2, 5]: the middle segment adds one duration of 0 and no frames.
    Setup<S> empty({{3, 1, 1}}, 3, 5, {2, 2, 5}, {0, 1, 2});
    empty.observation.streams[0].values = {1, 2, 3, 4, 5};
    empty.run();
    const auto& middle = empty.statistics.durations[1];
    EXPECT_EQ(
        (std::vector{bits(middle.value_sum), bits(middle.squared_sum), bits(middle.occupancy)}),
        (std::vector{bits(S(0)), bits(S(0)), bits(S(1))}));
    EXPECT_EQ(empty.statistics.streams[0].emissions[1].state_occupancy, S(0));
    EXPECT_EQ(empty.statistics.streams[0].emissions[2].weighted_sums, std::vector<S>{12});

    // [2, 4] with 5 frames: frame 4 belongs to no segment.
    Setup<S> trailing({{2, 1, 1}}, 2, 5, {2, 4}, {0, 1});
    trailing.observation.streams[0].values = {1, 2, 3, 4, 5};
    trailing.run();
    EXPECT_EQ(trailing.statistics.streams[0].emissions[1].weighted_sums, std::vector<S>{7});

    // No segments at all: nothing changes.
    Setup<S> none({{1, 1, 1}}, 1, 2, {}, {});
    const auto before = statistics_bits(none.statistics);
    none.run();
    EXPECT_EQ(statistics_bits(none.statistics), before);
}

// Two streams (two emissions in 2-D; one in 1-D), 7 frames, boundaries [2, 5, 7], duration
// states [0, 1, 0], emission states [0, 1, 0] and [0, 0, 0]; the statistics hold earlier sums.
template <class S>
Setup<S> two_streams() {
    Setup<S> s({{2, 1, 2}, {1, 1, 1}}, 2, 7, {2, 5, 7}, {0, 1, 0});
    s.segmentation.output_states[1] = {0, 0, 0};
    {
        const auto edit = s.statistics.edit();
        edit.streams()[0].emissions[1].weighted_sums = {S(0.5), S(-0.25)};
        edit.durations()[1].occupancy = S(1.5);
    }
    for (std::size_t i = 0; i < 14; ++i) s.observation.streams[0].values[i] = S(i) / S(4);
    for (std::size_t i = 0; i < 7; ++i) s.observation.streams[1].values[i] = S(1) - S(i);
    return s;
}

// Each step's change is applied with every later one (latest first); the step's message must
// win and the statistics stay bit-identical. The segment checks all target segment 1.
TYPED_TEST(Initialization, CheckOrder) {
    using S = TypeParam;
    using Change = std::function<void(Setup<S>&)>;
    const auto two_components = [](Setup<S>& s) {
        {
            const auto edit = s.model.edit();
            edit.streams()[0].emissions[1] = GaussianMixtureParameters<S>(2, 2);
        }
        {
            const auto edit = s.statistics.edit();
            edit.streams()[0].emissions[1] = GaussianSufficientStatistics<S>(2, 2);
        }
    };
    const std::vector<std::pair<std::string, Change>> steps{
        {"statistics stream or duration counts differ from the model",
         [](auto& s) {
             const auto edit = s.statistics.edit();
             edit.durations().pop_back();
         }},
        {"observation dimensions must be positive and fit i32",
         [](auto& s) { s.observation.streams[1].dimension = 0; }},
        {"segmentation arrays have inconsistent lengths",
         [](auto& s) { s.segmentation.duration_states.pop_back(); }},
        {"initialization stream counts differ",
         [](auto& s) { s.segmentation.output_states.pop_back(); }},
        {"initialization boundaries are unordered or out of range",
         [](auto& s) { s.segmentation.boundaries[1] = 1; }},
        {"initialization duration state is out of range",
         [](auto& s) { s.segmentation.duration_states[1] = 2; }},
        {"initialization emission state is out of range",
         [](auto& s) { s.segmentation.output_states[0][1] = 2; }},
        {"initialization feature dimensions differ",
         [](auto& s) {
             {
                 const auto edit = s.model.edit();
                 edit.streams()[0].emissions[1] = GaussianMixtureParameters<S>(1, 3);
             }
             {
                 const auto edit = s.statistics.edit();
                 edit.streams()[0].emissions[1] = GaussianSufficientStatistics<S>(1, 3);
             }
         }},
        {"initialization requires single-component emissions", two_components},
        {"initialization observations must be finite",
         [](auto& s) { s.observation.streams[1].values[6] = std::numeric_limits<S>::quiet_NaN(); }},
    };
    const auto expect = [](const std::string& expected, const std::vector<Change>& changes) {
        auto s = two_streams<S>();
        for (const auto& change : changes) change(s);
        const auto before = statistics_bits(s.statistics);
        EXPECT_EQ(error_of([&] { s.run(); }), expected);
        EXPECT_EQ(statistics_bits(s.statistics), before);
    };
    for (std::size_t n = 0; n < steps.size(); ++n) {
        std::vector<Change> changes;
        for (std::size_t k = steps.size(); k-- > n;) changes.push_back(steps[k].second);
        SCOPED_TRACE(steps[n].first);
        expect(steps[n].first, changes);
    }
    // Single cases: each kind of unordered boundary; segment 0's last check before segment 1's
    // first; a two-component emission refused even for an empty segment; an overflowing sum.
    const char* unordered = "initialization boundaries are unordered or out of range";
    const char* single = "initialization requires single-component emissions";
    const S max = std::numeric_limits<S>::max();
    for (const auto& [expected, change] : std::vector<std::pair<std::string, Change>>{
             {"initialization stream counts differ",
              [](auto& s) { s.observation.streams.pop_back(); }},
             {unordered,
              [](auto& s) {
                  s.segmentation.boundaries = {3, 2, 7};
              }},
             {unordered,
              [](auto& s) {
                  s.segmentation.boundaries = {2, 5, 8};
              }},
             {unordered, [](auto& s) { s.segmentation.boundaries[0] = -1; }},
             {"initialization duration state is out of range",
              [](auto& s) { s.segmentation.duration_states[2] = -1; }},
             {"initialization emission state is out of range",
              [](auto& s) { s.segmentation.output_states[1][0] = -1; }},
             {single,
              [&](auto& s) {
                  two_components(s);
                  s.segmentation.output_states[0][0] = 1, s.segmentation.boundaries[1] = 0;
              }},
             {single,
              [&](auto& s) {
                  two_components(s), s.segmentation.boundaries = {2, 2, 7};
              }},
             {"Gaussian statistics contain invalid values", [max](auto& s) {
                  {
                      const auto edit = s.statistics.edit();
                      edit.streams()[0].emissions[0].weighted_sums[1] = max;
                  }
                  s.observation.streams[0].values[3] = max;
              }}}) {
        SCOPED_TRACE(expected);
        expect(expected, {change});
    }
}

// Shared emissions and earlier sums: every value written out by hand from the frames i / 4
// (stream 0) and 1 − i (stream 1).
TYPED_TEST(Initialization, TwoStreamsAddToEarlierSums) {
    using S = TypeParam;
    auto s = two_streams<S>();
    s.run();
    using V = std::vector<S>;
    const auto& zero = s.statistics.streams[0].emissions[0];
    const auto& one = s.statistics.streams[0].emissions[1];
    const auto& all = s.statistics.streams[1].emissions[0];
    EXPECT_EQ((V{zero.state_occupancy, zero.component_occupancies[0], one.state_occupancy,
                 all.state_occupancy}),
              (V{4, 4, 3, 7}));
    EXPECT_EQ(zero.weighted_sums, (V{6, 7}));
    EXPECT_EQ(zero.weighted_squared_sums, (V{S(15.5), S(18.75)}));
    EXPECT_EQ(one.weighted_sums, (V{5, 5}));
    EXPECT_EQ(one.weighted_squared_sums, (V{S(7.25), S(9.6875)}));
    EXPECT_EQ(all.weighted_sums, V{-14});
    EXPECT_EQ(all.weighted_squared_sums, V{56});
    for (std::size_t d = 0; d < 2; ++d) {
        const auto& triple = s.statistics.durations[d];
        EXPECT_EQ((V{triple.value_sum, triple.squared_sum, triple.occupancy}),
                  (d == 0 ? V{4, 8, 2} : V{3, 9, S(2.5)}));
    }
}

}  // namespace
}  // namespace tarvek
