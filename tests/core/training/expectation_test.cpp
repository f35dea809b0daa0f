#include "core/training/expectation.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "training/expectation_test_support.hpp"

namespace tarvek {
namespace {

using testing::chain_utterance;
using testing::duration_table;
using testing::error_of;
using testing::statistics_bits;
using testing::Utterance;

template <class S>
class Expectation : public ::testing::Test {};
TYPED_TEST_SUITE(Expectation, testing::Scalars);

using Cells = std::vector<std::optional<DurationPosterior>>;

// State occupancy 4^t at frame t and a posterior {[1], 1} in every cell: position s's emission
// state occupancy is the sum of 4^t over its visits, its duration occupancy their count.
template <class S>
Utterance<S> counting_utterance(std::uint64_t frames, std::vector<std::int32_t> boundaries) {
    auto u = chain_utterance<S>(frames, boundaries);
    for (std::uint64_t t = 0; t < frames; ++t) {
        for (std::uint64_t s = 0; s < boundaries.size(); ++s)
            u.states(t, s) = std::ldexp(S(1), 2 * t);
    }
    u.durations = duration_table(frames, boundaries.size(),
                                 Cells(frames * boundaries.size(), DurationPosterior{{1.0f}, 1}));
    return u;
}

template <class S>
void expect_visits(const Utterance<S>& u, std::vector<double> encoded, std::vector<double> counts) {
    for (std::size_t s = 0; s < 3; ++s) {
        EXPECT_EQ(u.statistics.streams[1].emissions[s].state_occupancy, encoded[s]) << s;
        EXPECT_EQ(u.statistics.durations[s].occupancy, counts[s]) << s;
    }
}

// Boundaries [2, 3, 5]: windows over frames 0–2, 2–3 and 3–4. Radius 0 visits position k alone
// (the boundary frame under k and k + 1); radius 1 visits (b_k, k) and (b_k, k + 1) twice; 0.5
// gives windows {k − 1, k}.
TYPED_TEST(Expectation, HsmmVisitsEveryWindowCellOncePerWindow) {
    using S = TypeParam;
    struct Row {
        double radius;
        std::vector<double> encoded, counts;
    };
    for (const Row& row : std::vector<Row>{{0, {21, 80, 320}, {3, 2, 2}},
                                           {0.5, {101, 400, 320}, {5, 4, 2}},
                                           {1, {101, 421, 400}, {5, 7, 4}},
                                           {2, {421, 421, 421}, {7, 7, 7}}}) {
        SCOPED_TRACE(row.radius);
        auto u = counting_utterance<S>(5, {2, 3, 5});
        u.radius = S(row.radius);
        u.collect_hsmm();
        expect_visits(u, row.encoded, row.counts);
    }
}

// w = trunc(0.34 · 3) = 1 and c = floor(t / 2): frames 1–4 visit {0}, {0, 1}, {0, 1}, {1, 2};
// frames 0 and T − 1 add nothing; each visit adds the advance 0.5 and no squared sum.
TYPED_TEST(Expectation, GeometricCoversOnlyTheInnerFramesOfTheBand) {
    using S = TypeParam;
    auto u = counting_utterance<S>(6, {2, 4, 6});
    u.slope = S(0.34);
    u.collect_geometric();
    expect_visits(u, {84, 336, 256}, {84, 336, 256});
    for (std::size_t s = 0; s < 3; ++s) {
        EXPECT_EQ(u.statistics.durations[s].value_sum, S(0.5) * S(s == 2 ? 1 : 3));
        EXPECT_EQ(u.statistics.durations[s].squared_sum, S(0));
    }
    // One or two frames, or slope · S < 1: nothing to add.
    for (const auto& [frames, slope] : {std::pair{1, 1.0}, {2, 1.0}, {6, 0.3}}) {
        auto v =
            chain_utterance<S>(frames, frames == 6 ? std::vector{2, 4, 6} : std::vector{frames});
        v.slope = S(slope);
        const auto before = statistics_bits(v.statistics);
        v.collect_geometric();
        EXPECT_EQ(statistics_bits(v.statistics), before) << frames;
    }
}

// One position over 2 frames, radius 0: only cell (0, 0) holds a posterior. {[0.5, 0.5], 1}
// adds 1.5, 2.5 and 1; at minimum 0 the first entry is duration 0; negative zero passes. An
// absent mixture cell adds the state occupancy alone.
TYPED_TEST(Expectation, SmallSums) {
    using S = TypeParam;
    for (const auto& [minimum, first, value_sum, squared_sum] :
         {std::tuple{1, 0.5f, 1.5, 2.5}, {0, 0.5f, 0.5, 0.5}, {1, -0.0f, 1.0, 2.0}}) {
        auto u = chain_utterance<S>(2, {2});
        u.radius = S(-0.0);
        u.durations =
            duration_table(2, 1, {DurationPosterior{{first, 0.5f}, std::uint64_t(minimum)}, {}});
        u.collect_hsmm();
        const auto& d = u.statistics.durations[0];
        EXPECT_EQ(d.value_sum, S(value_sum));
        EXPECT_EQ(d.squared_sum, S(squared_sum));
        EXPECT_EQ(d.occupancy, S(first + 0.5f));
    }
    auto u = chain_utterance<S>(2, {2});
    u.states.values = {S(0.5), S(0.25)};
    u.mixtures[0] = MixtureOccupancies::from_values(2, 1, {1, 0}, {0, 2, 2}, {0.25f, 0.75f});
    u.collect_hsmm();
    const auto& g = u.statistics.streams[0].emissions[0];
    using V = std::vector<S>;
    EXPECT_EQ(g.state_occupancy, S(0.75));
    EXPECT_EQ(g.component_occupancies, (V{S(0.25), S(0.75)}));
    // Frame 0 alone: (−1, −0.5).
    EXPECT_EQ(g.weighted_sums, (V{S(-0.25), S(-0.125), S(-0.75), S(-0.375)}));
    EXPECT_EQ(g.weighted_squared_sums, (V{S(0.25), S(0.0625), S(0.75), S(0.1875)}));
}

// Each step's change is applied with every later one; the step's message must win and the
// statistics stay bit-identical. Position checks target position 0, stream 0.
template <class S>
using Step = std::pair<std::string, std::function<void(Utterance<S>&)>>;

template <class S>
void walk(std::vector<Step<S>> steps, bool hsmm) {
    for (std::size_t n = 0; n < steps.size(); ++n) {
        SCOPED_TRACE(steps[n].first);
        auto u = chain_utterance<S>(6, {2, 4, 6});
        u.radius = S(1);
        for (std::size_t k = steps.size(); k-- > n;) steps[k].second(u);
        const auto before = statistics_bits(u.statistics);
        EXPECT_EQ(error_of([&] { hsmm ? u.collect_hsmm() : u.collect_geometric(); }),
                  steps[n].first);
        EXPECT_EQ(statistics_bits(u.statistics), before);
    }
}

template <class S>
std::vector<Step<S>> shared_steps(std::vector<Step<S>> first, std::vector<Step<S>> last) {
    const S nan = std::numeric_limits<S>::quiet_NaN();
    first.insert(
        first.end(),
        {
            {"statistics stream or duration counts differ from the model",
             [](auto& u) {
                 const auto edit = u.statistics.edit();
                 edit.durations().pop_back();
             }},
            {"observation storage does not match dimensions",
             [](auto& u) { u.observation.streams[1].values.pop_back(); }},
            {"segmentation arrays have inconsistent lengths",
             [](auto& u) { u.segmentation.duration_states.push_back(0); }},
            {"expectation dimensions or stream counts differ",
             [](auto& u) { u.states.frames = 7; }},
            {"expectation observations must be finite",
             [nan](auto& u) { u.observation.streams[1].values[3] = nan; }},
            {"expectation duration state is out of range",
             [](auto& u) { u.segmentation.duration_states[0] = 3; }},
            {"mixture posterior dimensions differ", [](auto& u) { u.mixtures[0].frames = 3; }},
            {"expectation emission state is out of range",
             [](auto& u) { u.segmentation.output_states[0][0] = -1; }},
            {"expectation feature dimensions differ",
             [](auto& u) {
                 u.observation.streams[0].dimension = 1, u.observation.streams[0].values.resize(6);
             }},
            {"invalid mixture posterior components", [](auto& u) { u.mixtures[0].values[1] = -1; }},
        });
    first.insert(first.end(), last.begin(), last.end());
    return first;
}

TYPED_TEST(Expectation, HsmmCheckOrder) {
    using S = TypeParam;
    const S max = std::numeric_limits<S>::max();
    walk<S>(shared_steps<S>(
                {{"state pruning radius must be finite and nonnegative",
                  [](auto& u) { u.radius = -1; }}},
                {{"duration posterior dimensions differ", [](auto& u) { u.durations.states = 2; }},
                 {"expectation boundaries are unordered or out of range",
                  [](auto& u) { u.segmentation.boundaries[1] = 7; }},
                 {"invalid duration posterior probability",
                  [](auto& u) {
                      u.durations = duration_table(6, 3, Cells(18, DurationPosterior{{0.5f}, 1}));
                      u.durations.values[17] =
                          std::numeric_limits<float>::quiet_NaN();  // visited last
                  }},
                 // The state occupancies are only checked through the sums they make.
                 {"Gaussian statistics contain invalid values",
                  [max](auto& u) {
                      {
                          const auto edit = u.statistics.edit();
                          edit.streams()[1].emissions[2].state_occupancy = max;
                      }
                      u.states(5, 2) = max;
                  }}}),
            true);
}

TYPED_TEST(Expectation, GeometricCheckOrder) {
    using S = TypeParam;
    const S max = std::numeric_limits<S>::max();
    walk<S>(shared_steps<S>({}, {{"invalid transition dimensions or pruning slope",
                                  [](auto& u) { u.slope = std::numeric_limits<S>::quiet_NaN(); }},
                                 {"invalid transition posterior probability",
                                  [](auto& u) { u.transitions.entries[4 * 3 + 2].advance = -1; }},
                                 {"duration statistics must be finite and nonnegative",
                                  [max](auto& u) {
                                      const auto edit = u.statistics.edit();
                                      edit.durations()[1].occupancy = max, u.states(3, 1) = max;
                                  }}}),
            false);
}

// Checks not in the walk above; each leaves the statistics bit-identical.
TYPED_TEST(Expectation, CheckDetails) {
    using S = TypeParam;
    const char* unordered = "expectation boundaries are unordered or out of range";
    const char* final_boundary = "final boundary must match frame count";
    const char* components = "invalid mixture posterior components";
    // Boundaries are checked after the duration shapes, the NaN radius before everything.
    const std::vector<std::pair<std::function<void(Utterance<S>&)>, std::string>> cases{
        {[](auto& u) {
             u.segmentation.boundaries = {2, 1, 6};
         },
         unordered},
        {[](auto& u) {
             u.segmentation.boundaries = {2, 4, 5};
         },
         final_boundary},
        {[](auto& u) {
             u.segmentation.boundaries = {2, 4, 5}, u.durations.frames = 5;
         },
         "duration posterior dimensions differ"},
        {[](auto& u) {
             u.radius = std::numeric_limits<S>::quiet_NaN(), u.observation.streams.clear();
         },
         "state pruning radius must be finite and nonnegative"},
        {[](auto& u) {
             u.durations = duration_table(6, 3, Cells(18, DurationPosterior{{0.5f, 0.5f}, 1}));
             u.durations.minimums[4] = ~std::uint64_t{0};  // cell (1, 1), entry 1
         },
         "posterior duration overflows"},
        // Radius 1: position 2 is never visited at frame 0, whose cell has a third weight.
        {[](auto& u) {
             auto& m = u.mixtures[0];
             m.values.insert(m.values.begin() + 6, 0.5f);
             for (std::size_t i = 3; i < m.offsets.size(); ++i) ++m.offsets[i];
         },
         components},
    };
    for (const auto& [change, expected] : cases) {
        SCOPED_TRACE(expected);
        auto u = chain_utterance<S>(6, {2, 4, 6});
        u.radius = S(1);
        change(u);
        const auto before = statistics_bits(u.statistics);
        EXPECT_EQ(error_of([&] { u.collect_hsmm(); }), expected);
        if (expected == components) {
            EXPECT_EQ(error_of([&] { u.collect_geometric(); }), expected);
        }
        EXPECT_EQ(statistics_bits(u.statistics), before);
    }
}

// Random statistics and posteriors, present outside the windows too; shared emission and
// duration states, and states no position names.
template <class S>
Utterance<S> random_utterance(std::mt19937_64& random) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const auto draw = [&](double low, double high) {
        return S(low + (high - low) * uniform(random));
    };
    auto u = chain_utterance<S>(30, {4, 4, 9, 15, 16, 24, 30});
    u.segmentation.output_states = {{0, 1, 0, 2, 3, 1, 2}, {2, 2, 0, 1, 0, 1, 2}};
    u.segmentation.duration_states = {0, 1, 2, 0, 3, 4, 1};
    const auto edit = u.statistics.edit();
    for (auto& stream : edit.streams()) {
        for (auto& g : stream.emissions) {
            g.state_occupancy = draw(0, 5);
            for (S& v : g.component_occupancies) v = draw(0, 5);
            for (S& v : g.weighted_sums) v = draw(-5, 5);
            for (S& v : g.weighted_squared_sums) v = draw(0, 5);
        }
    }
    for (auto& d : edit.durations()) d = {draw(0, 9), draw(0, 9), draw(0, 3)};
    for (auto& stream : u.observation.streams) {
        for (S& v : stream.values) v = draw(-3, 3);
    }
    Cells cells(30 * 7);
    for (auto& cell : cells) {
        if (random() % 3 == 0) continue;
        cell = DurationPosterior{{}, random() % 3};
        for (std::uint64_t n = random() % 5; n > 0; --n)
            cell->probabilities.push_back(float(draw(0, 1)));
    }
    u.durations = duration_table(30, 7, cells);
    for (S& v : u.states.values) v = draw(0, 1);
    for (auto& table : u.mixtures) {
        for (float& v : table.values) v = float(draw(0.1, 1));
    }
    for (auto& entry : u.transitions.entries) {
        entry = {std::uint32_t(random() % 2), float(draw(0, 1)), float(draw(0, 1))};
    }
    u.radius = S(std::vector<double>{0, 0.5, 1, 2.5}[random() % 4]);
    u.slope = S(std::vector<double>{0.05, 0.2, 0.5}[random() % 3]);
    return u;
}

// The staged transaction gives the full-copy transaction's outcome, values and message, also
// when a sum overflows or when the statistics were invalid before the call.
TYPED_TEST(Expectation, StagedTransactionMatchesAFullCopy) {
    using S = TypeParam;
    const S max = std::numeric_limits<S>::max();
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const std::vector<std::pair<std::string, std::function<void(Utterance<S>&)>>> cases{
        {"plain", [](auto&) {}},
        {"Gaussian sum overflows",
         [max](auto& u) { u.observation.streams[0].values[50] = max / 2; }},
        {"untouched Gaussian invalid before",
         [nan](auto& u) {
             const auto edit = u.statistics.edit();
             edit.streams()[0].emissions[4].weighted_sums[3] = nan;
         }},
        {"touched Gaussian invalid before",
         [](auto& u) {
             const auto edit = u.statistics.edit();
             edit.streams()[1].emissions[1].state_occupancy = -1;
         }},
        {"untouched duration invalid before",
         [](auto& u) {
             const auto edit = u.statistics.edit();
             edit.durations()[5].squared_sum = -1;
         }},
        {"emission count differs",
         [](auto& u) {
             const auto edit = u.statistics.edit();
             edit.streams()[1].emissions.pop_back();
         }},
        {"duration sums overflow (32-bit)",
         [max](auto& u) {
             const auto edit = u.statistics.edit();
             edit.durations()[1].value_sum = edit.durations()[1].occupancy = max;
             for (float& v : u.durations.values) v = 3e38f;
         }},
        {"both overflow",
         [max](auto& u) {
             {
                 const auto edit = u.statistics.edit();
                 edit.durations()[0].occupancy = max;
             }
             for (float& v : u.durations.values) v = 3e38f;
             u.observation.streams[1].values[21] = max / 2;
         }},
    };
    std::mt19937_64 random(2024);
    for (int round = 0; round < 12; ++round) {
        const auto base = random_utterance<S>(random);
        for (const auto& [name, change] : cases) {
            for (const bool hsmm : {true, false}) {
                SCOPED_TRACE(name + " round " + std::to_string(round) +
                             (hsmm ? " hsmm" : " geometric"));
                auto staged = base;
                change(staged);
                auto full = staged;
                EXPECT_EQ(
                    error_of([&] { hsmm ? staged.collect_hsmm() : staged.collect_geometric(); }),
                    error_of([&] { testing::reference_collect(full, hsmm); }));
                EXPECT_EQ(statistics_bits(staged.statistics), statistics_bits(full.statistics));
            }
        }
    }
}

}  // namespace
}  // namespace tarvek
