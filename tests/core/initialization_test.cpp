#include "core/initialization.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/update.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;

template <class S>
class Initialization : public ::testing::Test {};
TYPED_TEST_SUITE(Initialization, testing::Scalars);

template <class S>
struct Setup {
    ModelParameters<S> model;
    ModelSufficientStatistics<S> statistics;
    ObservationData<S> observation;
    SegmentationData<S> segmentation;

    void run() { collect_initialization(statistics, model, observation, segmentation); }
};

// Every statistic as bits, so that "unchanged" means bit-identical.
template <class S>
std::vector<std::uint64_t> statistics_bits(const ModelSufficientStatistics<S>& statistics) {
    std::vector<std::uint64_t> out;
    const auto add = [&](const std::vector<S>& values) {
        out.push_back(values.size());
        for (const S v : values) out.push_back(bits(v));
    };
    for (const auto& stream : statistics.streams) {
        for (const auto& g : stream.emissions) {
            add(g.weighted_sums);
            add(g.weighted_squared_sums);
            add(g.component_occupancies);
            out.push_back(g.dimensions);
            out.push_back(bits(g.state_occupancy));
        }
    }
    for (const auto& d : statistics.durations) {
        for (const S v : {d.value_sum, d.squared_sum, d.occupancy}) out.push_back(bits(v));
    }
    return out;
}

// One stream of `emissions` single-component emissions in `dimensions`, and `states` states.
template <class S>
Setup<S> one_stream(std::uint64_t emissions, std::uint64_t dimensions, std::uint64_t states,
                    std::vector<S> values, std::vector<std::int32_t> boundaries,
                    std::vector<std::int32_t> duration_states,
                    std::vector<std::int32_t> emission_states) {
    Setup<S> s;
    const std::vector<StreamLayout> layouts{{emissions, 1, dimensions}};
    s.model = ModelParameters<S>(layouts, states);
    s.statistics = ModelSufficientStatistics<S>::from_model(s.model);
    const std::vector<std::size_t> dims{dimensions};
    s.observation = ObservationData<S>::create(values.size() / dimensions, dims);
    s.observation.streams[0].values = values;
    s.segmentation = SegmentationData<S>::create(1, boundaries.size());
    s.segmentation.boundaries = boundaries;
    s.segmentation.duration_states = duration_states;
    s.segmentation.output_states[0] = emission_states;
    return s;
}

// Mean and population variance of the listed frames of one dimension, in long double and two
// passes.
template <class S>
std::pair<long double, long double> moments(const std::vector<S>& values, std::size_t dimensions,
                                            std::size_t dimension,
                                            const std::vector<std::size_t>& frames) {
    long double sum = 0;
    for (const std::size_t t : frames) sum += values[t * dimensions + dimension];
    const long double mean = sum / frames.size();
    long double squares = 0;
    for (const std::size_t t : frames) {
        const long double deviation = values[t * dimensions + dimension] - mean;
        squares += deviation * deviation;
    }
    return {mean, squares / frames.size()};
}

TYPED_TEST(Initialization, ThenUpdateGivesFrameAndLengthMoments) {
    using S = TypeParam;
    // Frames 0, 1, 5 and 6 belong to emission 0, whose second dimension barely varies.
    const std::vector<S> values{S(1.0), S(0.30), S(2.5), S(0.31), S(-1.0), S(4.0),  S(0.5),
                                S(6.0), S(2.0),  S(5.5), S(3.25), S(0.29), S(0.75), S(0.32)};
    const std::vector<std::int32_t> boundaries{2, 5, 7};
    const std::vector<std::int32_t> states{0, 1, 0};
    auto s = one_stream<S>(2, 2, 2, values, boundaries, states, states);
    s.run();
    const S floor = S(0.1);
    update(s.model, s.statistics, UpdateOptions<S>{floor, floor, false});

    const double tolerance = sizeof(S) == 8 ? 1e-12 : 1e-5;
    const std::vector<std::vector<std::size_t>> frames{{0, 1, 5, 6}, {2, 3, 4}};
    for (std::size_t e = 0; e < 2; ++e) {
        const auto& mixture = s.model.streams[0].emissions[e];
        EXPECT_EQ(mixture.weights[0], S(1));
        for (std::size_t j = 0; j < 2; ++j) {
            const auto [mean, variance] = moments(values, 2, j, frames[e]);
            const long double floored = std::max(variance, static_cast<long double>(floor));
            EXPECT_NEAR(mixture.means[j], mean, tolerance * std::fabs(mean)) << e << j;
            EXPECT_NEAR(mixture.variances[j], floored, tolerance * floored) << e << j;
        }
    }
    EXPECT_EQ(s.model.streams[0].emissions[0].variances[1], floor);  // the floored dimension

    // Segment lengths per duration state, from the boundaries.
    for (std::int32_t state = 0; state < 2; ++state) {
        std::vector<long double> lengths;
        for (std::size_t k = 0; k < boundaries.size(); ++k) {
            if (states[k] == state) lengths.push_back(boundaries[k] - (k ? boundaries[k - 1] : 0));
        }
        long double mean = 0;
        for (const long double l : lengths) mean += l / lengths.size();
        long double variance = 0;
        for (const long double l : lengths) variance += (l - mean) * (l - mean) / lengths.size();
        EXPECT_EQ(s.model.durations[state].mean, static_cast<S>(mean));
        EXPECT_EQ(s.model.durations[state].variance,
                  static_cast<S>(std::max(variance, static_cast<long double>(floor))));
    }
    EXPECT_EQ(s.model.durations[0].mean, S(2));
    EXPECT_EQ(s.model.durations[1].mean, S(3));
}

TYPED_TEST(Initialization, OneSegmentOverThreeFrames) {
    using S = TypeParam;
    auto s = one_stream<S>(1, 1, 1, {1, 2, 3}, {3}, {0}, {0});
    s.run();
    const auto& g = s.statistics.streams[0].emissions[0];
    EXPECT_EQ(g.state_occupancy, S(3));
    EXPECT_EQ(g.component_occupancies, std::vector<S>{3});
    EXPECT_EQ(g.weighted_sums, std::vector<S>{6});
    EXPECT_EQ(g.weighted_squared_sums, std::vector<S>{14});
    const auto& d = s.statistics.durations[0];
    EXPECT_EQ(d.value_sum, S(3));
    EXPECT_EQ(d.squared_sum, S(9));
    EXPECT_EQ(d.occupancy, S(1));
    // A second call adds to the sums.
    s.run();
    EXPECT_EQ(g.weighted_squared_sums, std::vector<S>{28});
    EXPECT_EQ(s.statistics.durations[0].occupancy, S(2));
}

TYPED_TEST(Initialization, EmptySegmentAndTrailingFrames) {
    using S = TypeParam;
    // [2, 2, 5]: the middle segment adds one duration of 0 and no frames.
    auto s = one_stream<S>(3, 1, 3, {1, 2, 3, 4, 5}, {2, 2, 5}, {0, 1, 2}, {0, 1, 2});
    s.run();
    const auto& middle = s.statistics.durations[1];
    EXPECT_EQ(bits(middle.value_sum), bits(S(0)));
    EXPECT_EQ(bits(middle.squared_sum), bits(S(0)));
    EXPECT_EQ(middle.occupancy, S(1));
    EXPECT_EQ(s.statistics.streams[0].emissions[1].state_occupancy, S(0));
    EXPECT_EQ(s.statistics.streams[0].emissions[2].weighted_sums, std::vector<S>{12});

    // [2, 4] with 5 frames: frame 4 belongs to no segment.
    s = one_stream<S>(2, 1, 2, {1, 2, 3, 4, 5}, {2, 4}, {0, 1}, {0, 1});
    s.run();
    EXPECT_EQ(s.statistics.streams[0].emissions[1].weighted_sums, std::vector<S>{7});
    EXPECT_EQ(s.statistics.streams[0].emissions[1].state_occupancy, S(2));

    // No segments at all: nothing changes.
    s = one_stream<S>(1, 1, 1, {1, 2}, {}, {}, {});
    const auto before = statistics_bits(s.statistics);
    s.run();
    EXPECT_EQ(statistics_bits(s.statistics), before);
}

// Two streams (two emissions in 2 dimensions; one emission in 1), two states, 7 frames,
// boundaries [2, 5, 7]; the statistics hold earlier sums.
template <class S>
Setup<S> two_streams() {
    Setup<S> s;
    const std::vector<StreamLayout> layouts{{2, 1, 2}, {1, 1, 1}};
    s.model = ModelParameters<S>(layouts, 2);
    s.statistics = ModelSufficientStatistics<S>::from_model(s.model);
    s.statistics.streams[0].emissions[1].weighted_sums = {S(0.5), S(-0.25)};
    s.statistics.durations[1].occupancy = S(1.5);
    const std::vector<std::size_t> dims{2, 1};
    s.observation = ObservationData<S>::create(7, dims);
    for (std::size_t i = 0; i < 14; ++i) s.observation.streams[0].values[i] = S(i) / S(3);
    for (std::size_t i = 0; i < 7; ++i) s.observation.streams[1].values[i] = S(1) - S(i);
    s.segmentation = SegmentationData<S>::create(2, 3);
    s.segmentation.boundaries = {2, 5, 7};
    s.segmentation.duration_states = {0, 1, 0};
    s.segmentation.output_states = {{0, 1, 0}, {0, 0, 0}};
    return s;
}

// A two-component emission 1 in stream 0, in the model and the statistics alike.
template <class S>
void make_emission_one_two_component(Setup<S>& s) {
    s.model.streams[0].emissions[1] = GaussianMixtureParameters<S>(2, 2);
    s.statistics.streams[0].emissions[1] = GaussianSufficientStatistics<S>(2, 2);
}

TYPED_TEST(Initialization, CheckOrder) {
    using S = TypeParam;
    using Change = std::function<void(Setup<S>&)>;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    struct Step {
        std::string expected;
        Change change;
    };
    // Each step's change is applied with every later one (latest first); the step's message
    // must win. The segment checks all target segment 1.
    const std::vector<Step> steps{
        {"statistics stream or duration counts differ from the model",
         [](auto& s) { s.statistics.durations.pop_back(); }},
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
             s.model.streams[0].emissions[1] = GaussianMixtureParameters<S>(1, 3);
             s.statistics.streams[0].emissions[1] = GaussianSufficientStatistics<S>(1, 3);
         }},
        {"initialization requires single-component emissions",
         [](auto& s) { make_emission_one_two_component(s); }},
        {"initialization observations must be finite",
         [nan](auto& s) { s.observation.streams[1].values[6] = nan; }},
    };
    for (std::size_t n = 0; n < steps.size(); ++n) {
        SCOPED_TRACE(steps[n].expected);
        auto s = two_streams<S>();
        for (std::size_t k = steps.size(); k-- > n;) steps[k].change(s);
        const auto before = statistics_bits(s.statistics);
        EXPECT_EQ(error_of([&] { s.run(); }), steps[n].expected);
        EXPECT_EQ(statistics_bits(s.statistics), before);
    }
}

TYPED_TEST(Initialization, CheckDetails) {
    using S = TypeParam;
    const std::vector<std::pair<std::function<void(Setup<S>&)>, std::string>> cases{
        {[](auto& s) { s.observation.streams.pop_back(); }, "initialization stream counts differ"},
        {[](auto& s) { s.segmentation.boundaries = {3, 2, 7}; },
         "initialization boundaries are unordered or out of range"},
        {[](auto& s) { s.segmentation.boundaries = {2, 5, 8}; },
         "initialization boundaries are unordered or out of range"},
        {[](auto& s) { s.segmentation.boundaries[0] = -1; },
         "initialization boundaries are unordered or out of range"},
        {[](auto& s) { s.segmentation.duration_states[2] = -1; },
         "initialization duration state is out of range"},
        {[](auto& s) { s.segmentation.output_states[1][0] = -1; },
         "initialization emission state is out of range"},
        // Segment 0's last check comes before segment 1's first.
        {[](auto& s) {
             make_emission_one_two_component(s);
             s.segmentation.output_states[0][0] = 1;
             s.segmentation.boundaries[1] = 0;
         },
         "initialization requires single-component emissions"},
        // Also when the segment holds no frame.
        {[](auto& s) {
             make_emission_one_two_component(s);
             s.segmentation.boundaries = {2, 2, 7};
         },
         "initialization requires single-component emissions"},
        // A sum that overflows fails the final validation.
        {[](auto& s) {
             s.statistics.streams[0].emissions[0].weighted_sums[1] = std::numeric_limits<S>::max();
             s.observation.streams[0].values[3] = std::numeric_limits<S>::max();
         },
         "Gaussian statistics contain invalid values"},
    };
    for (const auto& [change, expected] : cases) {
        SCOPED_TRACE(expected);
        auto s = two_streams<S>();
        change(s);
        const auto before = statistics_bits(s.statistics);
        EXPECT_EQ(error_of([&] { s.run(); }), expected);
        EXPECT_EQ(statistics_bits(s.statistics), before);
    }
}

// The sums equal a plain pass over segments, frames, streams and dimensions, bit for bit,
// whatever emissions the segments share and whatever the statistics held before.
TYPED_TEST(Initialization, MatchesAPlainPassBitForBit) {
    using S = TypeParam;
    std::mt19937 random(13);
    std::uniform_real_distribution<double> uniform(-3.0, 3.0);
    auto s = two_streams<S>();
    const std::vector<StreamLayout> layouts{{4, 1, 3}, {3, 1, 2}};
    s.model = ModelParameters<S>(layouts, 3);
    s.statistics = ModelSufficientStatistics<S>::from_model(s.model);
    for (auto& stream : s.statistics.streams) {
        for (auto& g : stream.emissions) {
            g.state_occupancy = g.component_occupancies[0] = S(0.7);
            for (S& v : g.weighted_sums) v = static_cast<S>(uniform(random));
            for (S& v : g.weighted_squared_sums) v = static_cast<S>(std::fabs(uniform(random)));
        }
    }
    const std::vector<std::size_t> dims{3, 2};
    const std::size_t frames = 40;
    s.observation = ObservationData<S>::create(frames, dims);
    for (auto& stream : s.observation.streams) {
        for (S& v : stream.values) v = static_cast<S>(uniform(random));
    }
    const std::vector<std::int32_t> boundaries{3, 3, 9, 17, 17, 22, 30, 31, 38};
    s.segmentation = SegmentationData<S>::create(2, boundaries.size());
    s.segmentation.boundaries = boundaries;
    for (std::size_t k = 0; k < boundaries.size(); ++k) {
        s.segmentation.duration_states[k] = static_cast<std::int32_t>(random() % 3);
        s.segmentation.output_states[0][k] = static_cast<std::int32_t>(random() % 4);
        s.segmentation.output_states[1][k] = static_cast<std::int32_t>(random() % 3);
    }

    auto expected = s.statistics;
    std::int32_t start = 0;
    for (std::size_t k = 0; k < boundaries.size(); ++k) {
        auto& d = expected.durations[s.segmentation.duration_states[k]];
        const S length = static_cast<S>(boundaries[k] - start);
        d.value_sum += length;
        d.squared_sum += length * length;
        d.occupancy += 1;
        for (std::int32_t t = start; t < boundaries[k]; ++t) {
            for (std::size_t i = 0; i < 2; ++i) {
                auto& g = expected.streams[i].emissions[s.segmentation.output_states[i][k]];
                g.state_occupancy += 1;
                g.component_occupancies[0] += 1;
                for (std::size_t j = 0; j < dims[i]; ++j) {
                    const S x = s.observation.streams[i].values[t * dims[i] + j];
                    g.weighted_sums[j] += x;
                    g.weighted_squared_sums[j] += x * x;
                }
            }
        }
        start = boundaries[k];
    }
    s.run();
    EXPECT_EQ(statistics_bits(s.statistics), statistics_bits(expected));
}

}  // namespace
}  // namespace tarvek
