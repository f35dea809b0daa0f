#include "core/expectation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "expectation_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::chain_utterance;
using testing::duration_table;
using testing::error_of;
using testing::statistics_bits;
using testing::Utterance;

template <class S>
class Expectation : public ::testing::Test {};
TYPED_TEST_SUITE(Expectation, testing::Scalars);

// How often the windows of radius r visit each cell (t, s), from the window definition.
template <class S>
std::map<std::pair<std::uint64_t, std::uint64_t>, int> window_visits(
    std::uint64_t frames, const std::vector<std::int32_t>& boundaries, double radius) {
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> visits;
    const auto positions = static_cast<std::int64_t>(boundaries.size());
    for (std::int64_t k = 0; k < positions; ++k) {
        const std::int64_t first = k == 0 ? 0 : boundaries[k - 1];
        const std::int64_t last = std::min<std::int64_t>(boundaries[k], frames - 1);
        const std::int64_t lo = static_cast<std::int64_t>(std::floor(std::max(k - radius, 0.0)));
        const std::int64_t hi = std::min<std::int64_t>(positions - 1, std::floor(k + radius));
        for (std::int64_t t = first; t <= last; ++t) {
            for (std::int64_t s = lo; s <= hi; ++s) ++visits[{t, s}];
        }
    }
    return visits;
}

// State occupancy 4^t at frame t and a duration posterior {[1], 1} in every cell, so that the
// sums of position s tell how often each of its frames was visited: the emission's state
// occupancy is the sum of visits × 4^t, the duration occupancy the number of visits.
template <class S>
Utterance<S> counting_utterance(std::uint64_t frames, std::vector<std::int32_t> boundaries,
                                S radius) {
    auto u = chain_utterance<S>(frames, boundaries);
    const std::uint64_t positions = boundaries.size();
    for (std::uint64_t t = 0; t < frames; ++t) {
        for (std::uint64_t s = 0; s < positions; ++s) u.states(t, s) = std::ldexp(S(1), 2 * t);
    }
    u.durations = duration_table(frames, positions,
                                 std::vector<std::optional<DurationPosterior>>(
                                     frames * positions, DurationPosterior{{1.0f}, 1}));
    u.radius = radius;
    return u;
}

TYPED_TEST(Expectation, HsmmVisitsEveryWindowCellOncePerWindow) {
    using S = TypeParam;
    const std::vector<std::int32_t> boundaries{2, 3, 5};
    for (const double radius : {0.0, 0.5, 1.0, 2.0}) {
        SCOPED_TRACE(radius);
        auto u = counting_utterance<S>(5, boundaries, static_cast<S>(radius));
        u.collect_hsmm();
        const auto visits = window_visits<S>(5, boundaries, radius);
        for (std::uint64_t s = 0; s < 3; ++s) {
            double encoded = 0;
            int count = 0;
            for (const auto& [cell, n] : visits) {
                if (cell.second != s) continue;
                encoded += n * std::ldexp(1.0, 2 * static_cast<int>(cell.first));
                count += n;
            }
            EXPECT_EQ(u.statistics.streams[1].emissions[s].state_occupancy, encoded) << s;
            EXPECT_EQ(u.statistics.durations[s].occupancy, count) << s;
        }
        if (radius == 0.0) {
            // Position k alone over frames b_(k−1) .. b_k: 1 + 4 + 16, 16 + 64, 64 + 256.
            EXPECT_EQ(u.statistics.streams[1].emissions[0].state_occupancy, 21);
            EXPECT_EQ(u.statistics.streams[1].emissions[1].state_occupancy, 80);
            EXPECT_EQ(u.statistics.streams[1].emissions[2].state_occupancy, 320);
        }
        if (radius == 1.0) {
            // (b_k, k) and (b_k, k + 1) twice.
            for (const auto& cell :
                 {std::pair<std::uint64_t, std::uint64_t>{2, 0}, {2, 1}, {3, 1}, {3, 2}}) {
                EXPECT_EQ(visits.at(cell), 2);
            }
        }
        if (radius == 0.5) {
            // Windows {k − 1, k}: (b_k, k) twice.
            EXPECT_EQ(visits.at({2, 0}), 2);
            EXPECT_EQ(visits.at({3, 1}), 2);
            EXPECT_EQ(visits.at({2, 1}), 1);
            EXPECT_EQ(visits.at({3, 2}), 1);
            EXPECT_EQ(visits.count({2, 2}), 0u);
        }
    }
}

TYPED_TEST(Expectation, DurationPosteriorSums) {
    using S = TypeParam;
    for (const std::uint64_t minimum : {1, 0}) {
        // One position over 2 frames, radius 0: only cell (0, 0) holds a posterior.
        auto u = chain_utterance<S>(2, {2});
        u.durations = duration_table(2, 1, {DurationPosterior{{0.5f, 0.5f}, minimum}, {}});
        u.collect_hsmm();
        const auto& d = u.statistics.durations[0];
        if (minimum == 1) {
            EXPECT_EQ(d.value_sum, S(1.5));
            EXPECT_EQ(d.squared_sum, S(2.5));
        } else {
            // The first entry is duration 0.
            EXPECT_EQ(d.value_sum, S(0.5));
            EXPECT_EQ(d.squared_sum, S(0.5));
        }
        EXPECT_EQ(d.occupancy, S(1));
    }
}

TYPED_TEST(Expectation, AbsentMixtureCellAddsOnlyTheStateOccupancy) {
    using S = TypeParam;
    auto u = chain_utterance<S>(2, {2});
    u.states.values = {S(0.5), S(0.25)};
    u.mixtures[0] = MixtureOccupancies::from_values(2, 1, {1, 0}, {0, 2, 2}, {0.25f, 0.75f});
    u.collect_hsmm();
    const auto& g = u.statistics.streams[0].emissions[0];
    EXPECT_EQ(g.state_occupancy, S(0.75));
    EXPECT_EQ(g.component_occupancies, (std::vector<S>{S(0.25), S(0.75)}));
    // Frame 0 alone: x = (-1, -0.5).
    const S x0 = u.observation.streams[0].values[0];
    const S x1 = u.observation.streams[0].values[1];
    EXPECT_EQ(g.weighted_sums,
              (std::vector<S>{S(0.25) * x0, S(0.25) * x1, S(0.75) * x0, S(0.75) * x1}));
    EXPECT_EQ(g.weighted_squared_sums, (std::vector<S>{x0 * (S(0.25) * x0), x1 * (S(0.25) * x1),
                                                       x0 * (S(0.75) * x0), x1 * (S(0.75) * x1)}));
}

TYPED_TEST(Expectation, GeometricCoversOnlyTheInnerFramesOfTheBand) {
    using S = TypeParam;
    for (const std::uint64_t frames : {1, 2}) {
        auto u = chain_utterance<S>(frames, {static_cast<std::int32_t>(frames)});
        const auto before = statistics_bits(u.statistics);
        u.collect_geometric();
        EXPECT_EQ(statistics_bits(u.statistics), before);
    }
    // slope · S < 1: an empty band.
    {
        auto u = chain_utterance<S>(6, {2, 4, 6});
        u.slope = S(0.3);
        const auto before = statistics_bits(u.statistics);
        u.collect_geometric();
        EXPECT_EQ(statistics_bits(u.statistics), before);
    }
    // Frames 0 and T − 1 add nothing; the inner frames add each band cell once.
    auto u = counting_utterance<S>(6, {2, 4, 6}, S(0));
    u.slope = S(0.34);  // w = 1: c − 1 < s <= c... positions c − 1 .. c
    u.collect_geometric();
    for (std::uint64_t s = 0; s < 3; ++s) {
        double encoded = 0;
        int count = 0;
        for (std::uint64_t t = 1; t < 5; ++t) {
            const std::uint64_t c = 3 * t / 6;
            if (s + 1 >= c && s < c + 1) {
                encoded += std::ldexp(1.0, 2 * static_cast<int>(t));
                ++count;
            }
        }
        EXPECT_EQ(u.statistics.streams[0].emissions[s].state_occupancy, encoded) << s;
        EXPECT_EQ(u.statistics.durations[s].occupancy, encoded) << s;
        EXPECT_EQ(u.statistics.durations[s].value_sum, S(0.5) * S(count)) << s;
        EXPECT_EQ(u.statistics.durations[s].squared_sum, S(0)) << s;
    }
}

TYPED_TEST(Expectation, NegativeZeroIsAcceptedAndNanRadiusFailsFirst) {
    using S = TypeParam;
    auto u = chain_utterance<S>(2, {2});
    u.radius = S(-0.0);
    u.durations = duration_table(2, 1, {DurationPosterior{{-0.0f, 0.5f}, 1}, {}});
    u.collect_hsmm();
    EXPECT_EQ(u.statistics.durations[0].value_sum, S(1));

    auto broken = chain_utterance<S>(2, {2});
    broken.radius = std::numeric_limits<S>::quiet_NaN();
    broken.statistics.durations.pop_back();
    broken.observation.streams.clear();
    EXPECT_EQ(error_of([&] { broken.collect_hsmm(); }),
              "state pruning radius must be finite and nonnegative");
}

TYPED_TEST(Expectation, BoundariesAreCheckedAfterTheExpectationAndDurationShapes) {
    using S = TypeParam;
    const auto with_boundaries = [](std::vector<std::int32_t> boundaries) {
        auto u = chain_utterance<S>(4, {1, 2, 4});
        u.segmentation.boundaries = std::move(boundaries);
        return u;
    };
    auto unordered = with_boundaries({2, 1, 4});
    EXPECT_EQ(error_of([&] { unordered.collect_hsmm(); }),
              "expectation boundaries are unordered or out of range");
    auto short_of_end = with_boundaries({2, 3, 3});
    EXPECT_EQ(error_of([&] { short_of_end.collect_hsmm(); }),
              "final boundary must match frame count");
    auto two = chain_utterance<S>(4, {2, 4});
    two.segmentation.boundaries = {2, 3};
    EXPECT_EQ(error_of([&] { two.collect_hsmm(); }), "final boundary must match frame count");

    unordered.durations.frames = 3;
    EXPECT_EQ(error_of([&] { unordered.collect_hsmm(); }), "duration posterior dimensions differ");
    short_of_end.observation.streams[0].values[0] = std::numeric_limits<S>::infinity();
    EXPECT_EQ(error_of([&] { short_of_end.collect_hsmm(); }),
              "expectation observations must be finite");
}

TYPED_TEST(Expectation, MixtureCellsAreCheckedAtEveryFrame) {
    using S = TypeParam;
    // Radius 0: position 1 is never visited at frame 0, whose cell has a third weight.
    auto u = chain_utterance<S>(4, {2, 4});
    u.mixtures[0] = testing::full_mixture_table(
        4, 2, [](std::uint64_t) { return 2; },
        [](std::uint64_t, std::uint64_t, std::uint64_t) { return 0.5f; });
    u.mixtures[0].values.insert(u.mixtures[0].values.begin() + 4, 0.5f);
    for (std::size_t i = 2; i < u.mixtures[0].offsets.size(); ++i) ++u.mixtures[0].offsets[i];
    const auto before = statistics_bits(u.statistics);
    EXPECT_EQ(error_of([&] { u.collect_hsmm(); }), "invalid mixture posterior components");
    EXPECT_EQ(error_of([&] { u.collect_geometric(); }), "invalid mixture posterior components");
    EXPECT_EQ(statistics_bits(u.statistics), before);
}

// Each step's change is applied with every later one (latest first); the step's message must
// win and the statistics stay bit-identical. Position checks target position 0, stream 0.
template <class S>
struct Step {
    std::string expected;
    std::function<void(Utterance<S>&)> change;
};

template <class S>
std::vector<Step<S>> shared_steps() {
    const S nan = std::numeric_limits<S>::quiet_NaN();
    return {
        {"statistics stream or duration counts differ from the model",
         [](auto& u) { u.statistics.durations.pop_back(); }},
        {"observation storage does not match dimensions",
         [](auto& u) { u.observation.streams[1].values.pop_back(); }},
        {"segmentation arrays have inconsistent lengths",
         [](auto& u) { u.segmentation.duration_states.push_back(0); }},
        {"expectation dimensions or stream counts differ", [](auto& u) { u.states.frames = 7; }},
        {"expectation observations must be finite",
         [nan](auto& u) { u.observation.streams[1].values[3] = nan; }},
        {"expectation duration state is out of range",
         [](auto& u) { u.segmentation.duration_states[0] = 3; }},
        {"mixture posterior dimensions differ", [](auto& u) { u.mixtures[0].frames = 3; }},
        {"expectation emission state is out of range",
         [](auto& u) { u.segmentation.output_states[0][0] = -1; }},
        {"expectation feature dimensions differ",
         [](auto& u) {
             u.observation.streams[0].dimension = 1;
             u.observation.streams[0].values.resize(6);
         }},
        {"invalid mixture posterior components", [](auto& u) { u.mixtures[0].values[1] = -1; }},
    };
}

template <class S>
void walk(std::vector<Step<S>> steps, const std::function<void(Utterance<S>&)>& run) {
    for (std::size_t n = 0; n < steps.size(); ++n) {
        SCOPED_TRACE(steps[n].expected);
        auto u = chain_utterance<S>(6, {2, 4, 6});
        u.radius = S(1);
        for (std::size_t k = steps.size(); k-- > n;) steps[k].change(u);
        const auto before = statistics_bits(u.statistics);
        EXPECT_EQ(error_of([&] { run(u); }), steps[n].expected);
        EXPECT_EQ(statistics_bits(u.statistics), before);
    }
}

TYPED_TEST(Expectation, HsmmCheckOrder) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    std::vector<Step<S>> steps{
        {"state pruning radius must be finite and nonnegative", [](auto& u) { u.radius = -1; }}};
    for (auto& step : shared_steps<S>()) steps.push_back(step);
    const std::vector<Step<S>> rest{
        {"duration posterior dimensions differ", [](auto& u) { u.durations.states = 2; }},
        {"expectation boundaries are unordered or out of range",
         [](auto& u) { u.segmentation.boundaries[1] = 7; }},
        {"invalid duration posterior probability",
         [nan](auto& u) {
             u.durations = duration_table(
                 6, 3,
                 std::vector<std::optional<DurationPosterior>>(18, DurationPosterior{{0.5f}, 1}));
             u.durations.values[17] = nan;  // cell (5, 2), visited last
         }},
        {"Gaussian statistics contain invalid values",
         [](auto& u) {
             u.statistics.streams[1].emissions[2].state_occupancy = std::numeric_limits<S>::max();
             u.states(5, 2) = std::numeric_limits<S>::max();
         }},
    };
    for (auto& step : rest) steps.push_back(step);
    walk<S>(steps, [](Utterance<S>& u) { u.collect_hsmm(); });
}

TYPED_TEST(Expectation, GeometricCheckOrder) {
    using S = TypeParam;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    std::vector<Step<S>> steps = shared_steps<S>();
    const std::vector<Step<S>> rest{
        {"invalid transition dimensions or pruning slope", [nan](auto& u) { u.slope = nan; }},
        {"invalid transition posterior probability",
         [](auto& u) { u.transitions.entries[4 * 3 + 2].advance = -1; }},
        {"duration statistics must be finite and nonnegative",
         [](auto& u) {
             u.statistics.durations[1].occupancy = std::numeric_limits<S>::max();
             u.states(3, 1) = std::numeric_limits<S>::max();
         }},
    };
    for (auto& step : rest) steps.push_back(step);
    walk<S>(steps, [](Utterance<S>& u) { u.collect_geometric(); });
}

TYPED_TEST(Expectation, CheckDetails) {
    using S = TypeParam;
    const S max = std::numeric_limits<S>::max();
    const std::vector<std::pair<std::function<void(Utterance<S>&)>, std::string>> cases{
        {[](auto& u) { u.mixtures.pop_back(); }, "expectation dimensions or stream counts differ"},
        {[](auto& u) { u.segmentation.output_states[1][2] = 3; },
         "expectation emission state is out of range"},
        {[](auto& u) { u.durations.frames = 5; }, "duration posterior dimensions differ"},
        {[](auto& u) {
             u.durations = duration_table(6, 3,
                                          std::vector<std::optional<DurationPosterior>>(
                                              18, DurationPosterior{{0.5f, 0.5f}, 1}));
             u.durations.minimums[4] = ~std::uint64_t{0};  // cell (1, 1), entry 1
         },
         "posterior duration overflows"},
        // A state occupancy that makes a sum infinite is caught by the final validation only.
        {[max](auto& u) {
             u.states(1, 1) = max;
             u.statistics.streams[1].emissions[1].state_occupancy = max;
         },
         "Gaussian statistics contain invalid values"},
    };
    for (const auto& [change, expected] : cases) {
        SCOPED_TRACE(expected);
        auto u = chain_utterance<S>(6, {2, 4, 6});
        u.radius = S(1);
        change(u);
        const auto before = statistics_bits(u.statistics);
        EXPECT_EQ(error_of([&] { u.collect_hsmm(); }), expected);
        EXPECT_EQ(statistics_bits(u.statistics), before);
    }
}

// Random statistics, shared and unused emission and duration states, posteriors present outside
// the windows too: the staged transaction gives the full-copy transaction's outcome, values and
// message, also when a sum overflows or when the statistics were invalid before the call.
template <class S>
Utterance<S> random_utterance(std::mt19937_64& random) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const auto draw = [&](double low, double high) {
        return static_cast<S>(low + (high - low) * uniform(random));
    };
    Utterance<S> u;
    const std::vector<StreamLayout> layouts{{5, 3, 4}, {3, 1, 2}};
    u.model = ModelParameters<S>(layouts, 6);
    u.statistics = ModelSufficientStatistics<S>::from_model(u.model);
    for (auto& stream : u.statistics.streams) {
        for (auto& g : stream.emissions) {
            g.state_occupancy = draw(0, 5);
            for (S& v : g.component_occupancies) v = draw(0, 5);
            for (S& v : g.weighted_sums) v = draw(-5, 5);
            for (S& v : g.weighted_squared_sums) v = draw(0, 5);
        }
    }
    for (auto& d : u.statistics.durations) d = {draw(0, 9), draw(0, 9), draw(0, 3)};
    const std::uint64_t frames = 30;
    const std::vector<std::int32_t> boundaries{4, 4, 9, 15, 16, 24, 30};
    const std::uint64_t positions = boundaries.size();
    const std::vector<std::size_t> dimensions{4, 2};
    u.observation = ObservationData<S>::create(frames, dimensions);
    for (auto& stream : u.observation.streams) {
        for (S& v : stream.values) v = draw(-3, 3);
    }
    u.segmentation = SegmentationData<S>::create(2, positions);
    u.segmentation.boundaries = boundaries;
    // Emission state 4 of stream 0 and duration state 5 are never named.
    const std::vector<std::int32_t> emissions0{0, 1, 0, 2, 3, 1, 2};
    const std::vector<std::int32_t> emissions1{2, 2, 0, 1, 0, 1, 2};
    const std::vector<std::int32_t> durations{0, 1, 2, 0, 3, 4, 1};
    u.segmentation.output_states = {emissions0, emissions1};
    u.segmentation.duration_states = durations;
    std::vector<std::optional<DurationPosterior>> cells(frames * positions);
    for (auto& cell : cells) {
        if (random() % 3 == 0) continue;
        DurationPosterior posterior{{}, random() % 3};
        for (std::uint64_t n = random() % 5; n > 0; --n) {
            posterior.probabilities.push_back(static_cast<float>(draw(0, 1)));
        }
        cell = posterior;
    }
    u.durations = duration_table(frames, positions, cells);
    u.states.frames = frames;
    u.states.states = positions;
    for (std::uint64_t i = 0; i < frames * positions; ++i) u.states.values.push_back(draw(0, 1));
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& states = u.segmentation.output_states[i];
        const auto& mixtures = u.model.streams[i].emissions;
        u.mixtures.push_back(testing::full_mixture_table(
            frames, positions, [&](std::uint64_t s) { return mixtures[states[s]].mixture_count(); },
            [&](std::uint64_t, std::uint64_t, std::uint64_t) {
                return static_cast<float>(draw(0.1, 1));
            }));
    }
    std::vector<TransitionOccupancy> entries(frames * positions);
    for (auto& entry : entries) {
        entry = {static_cast<std::uint32_t>(random() % 2), static_cast<float>(draw(0, 1)),
                 static_cast<float>(draw(0, 1))};
    }
    u.transitions = TransitionOccupancies::from_values(frames, positions, entries);
    u.radius = static_cast<S>(std::vector<double>{0, 0.5, 1, 2.5}[random() % 4]);
    u.slope = static_cast<S>(std::vector<double>{0.05, 0.2, 0.5}[random() % 3]);
    return u;
}

TYPED_TEST(Expectation, StagedTransactionMatchesAFullCopy) {
    using S = TypeParam;
    const S max = std::numeric_limits<S>::max();
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const std::vector<std::pair<std::string, std::function<void(Utterance<S>&)>>> cases{
        {"plain", [](auto&) {}},
        {"Gaussian sum overflows",
         [max](auto& u) { u.observation.streams[0].values[50] = max / 2; }},
        {"untouched Gaussian invalid before",
         [nan](auto& u) { u.statistics.streams[0].emissions[4].weighted_sums[3] = nan; }},
        {"touched Gaussian invalid before",
         [](auto& u) { u.statistics.streams[1].emissions[1].state_occupancy = -1; }},
        {"untouched duration invalid before",
         [](auto& u) { u.statistics.durations[5].squared_sum = -1; }},
        {"emission count differs", [](auto& u) { u.statistics.streams[1].emissions.pop_back(); }},
        {"duration sums overflow (32-bit)",
         [max](auto& u) {
             u.statistics.durations[1].value_sum = max;
             u.statistics.durations[1].occupancy = max;
             for (float& v : u.durations.values) v = 3e38f;
         }},
        {"both overflow",
         [max](auto& u) {
             u.statistics.durations[0].occupancy = max;
             for (float& v : u.durations.values) v = 3e38f;
             u.observation.streams[1].values[41] = max / 2;
         }},
    };
    std::mt19937_64 random(2024);
    for (int round = 0; round < 12; ++round) {
        const auto base = random_utterance<S>(random);
        for (const auto& [name, change] : cases) {
            SCOPED_TRACE(name + " round " + std::to_string(round));
            auto staged = base;
            change(staged);
            auto full = staged;
            EXPECT_EQ(error_of([&] { staged.collect_hsmm(); }),
                      error_of([&] { testing::reference_collect_hsmm(full); }));
            EXPECT_EQ(statistics_bits(staged.statistics), statistics_bits(full.statistics));

            staged = base;
            change(staged);
            full = staged;
            EXPECT_EQ(error_of([&] { staged.collect_geometric(); }),
                      error_of([&] { testing::reference_collect_geometric(full); }));
            EXPECT_EQ(statistics_bits(staged.statistics), statistics_bits(full.statistics));
        }
    }
}

}  // namespace
}  // namespace tarvek
