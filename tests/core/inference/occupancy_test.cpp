#include "core/inference/occupancy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/inference/geometric.hpp"
#include "inference/geometric_test_support.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

using geometric_testing::chain_model;
using geometric_testing::chain_segmentation;
using geometric_testing::in_band;
using geometric_testing::random_table;
using testing::error_of;

template <class S>
class Occupancy : public ::testing::Test {};
TYPED_TEST_SUITE(Occupancy, testing::Scalars);

// A forward-backward run and everything the two occupancy computations take.
template <class S>
struct Posteriors {
    ModelParameters<S> model;
    SegmentationData<S> segmentation;
    StateScoreTable<S> emissions, alpha, beta;
    S total = 0;
    S temperature = 1;
    S slope = 1;

    Posteriors(std::mt19937_64& random, const std::vector<double>& means, std::uint64_t frames,
               S slope)
        : model(chain_model<S>(means)),
          segmentation(chain_segmentation<S>(means.size(), frames)),
          emissions(random_table<S>(random, frames, means.size(), -4.0, 0.5)),
          slope(slope) {
        alpha = forward_geometric(model, segmentation, emissions, temperature, slope);
        beta = backward_geometric(model, segmentation, emissions, temperature, slope);
        total = beta(0, 0) + emissions(0, 0);
    }

    StateScoreTable<S> states() const { return geometric_occupancies(alpha, beta, total, slope); }
    TransitionOccupancies transitions() const {
        return geometric_transition_occupancies(model, segmentation, emissions, alpha, beta, total,
                                                temperature, slope);
    }
};

TYPED_TEST(Occupancy, PosteriorsAgreeOnInnerFrames) {
    using S = TypeParam;
    std::mt19937_64 random(4);
    struct Shape {
        std::vector<double> means;
        std::uint64_t frames;
        double slope;
    };
    // Three frames have one inner frame, fewer have none; the last band is empty (0.33 · 3 < 1).
    for (const Shape& shape :
         {Shape{{2, 3, 4, 2.5}, 12, 1.0}, Shape{{2, 5, 3, 1, 4, 6}, 30, 0.5},
          Shape{{3, 3, 3, 3, 3}, 17, 0.4}, Shape{{2, 3}, 1, 1.0}, Shape{{2, 3}, 2, 1.0},
          Shape{{2, 3}, 3, 1.0}, Shape{{2, 3, 4}, 9, 0.33}}) {
        const Posteriors<S> run(random, shape.means, shape.frames, static_cast<S>(shape.slope));
        const auto occupancy = run.states();
        const auto transitions = run.transitions();
        const std::uint64_t positions = shape.means.size();
        const std::uint64_t w = LinearBand::half_width_of(run.slope, positions);
        ASSERT_EQ(transitions.entries.size(), shape.frames * positions);
        for (std::uint64_t t = 0; t < shape.frames; ++t) {
            const bool inner = t >= 1 && t + 1 < shape.frames;
            double sum = 0;
            for (std::uint64_t s = 0; s < positions; ++s) {
                SCOPED_TRACE(::testing::Message() << shape.frames << " " << t << " " << s);
                const S value = occupancy(t, s);
                const TransitionOccupancy& entry = transitions.entries[t * positions + s];
                sum += value;
                if (!inner || !in_band(t, s, shape.frames, positions, w)) {
                    EXPECT_EQ(value, S(0));
                    EXPECT_EQ(entry, TransitionOccupancy{});
                    continue;
                }
                EXPECT_EQ(entry.present, 1u);
                if (s == 0) {
                    EXPECT_EQ(entry.advance, 1.0f);
                    EXPECT_NEAR(entry.stay, value, 5e-3);
                } else {
                    EXPECT_NEAR(entry.stay + entry.advance, value, 5e-3);
                }
            }
            if (inner && w > 0) {
                EXPECT_NEAR(sum, 1.0, 1e-2) << t;
            }
        }
    }
}

TYPED_TEST(Occupancy, ScoresAboveTheTotalGiveOne) {
    using S = TypeParam;
    std::mt19937_64 random(8);
    Posteriors<S> run(random, {2, 3}, 4, S(1));
    for (auto* table : {&run.alpha, &run.beta, &run.emissions}) {
        for (S& value : table->values) value = S(0);
    }
    run.total = S(-50);
    const auto occupancy = run.states();
    const auto transitions = run.transitions();
    for (std::uint64_t t = 1; t < 3; ++t) {
        for (std::uint64_t s = 0; s < 2; ++s) {
            EXPECT_EQ(occupancy(t, s), S(1));
            EXPECT_EQ(transitions.entries[t * 2 + s], (TransitionOccupancy{1, 1.0f, 1.0f}));
        }
    }
}

TEST(TransitionOccupancies, FromValues) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const TableVector<TransitionOccupancy> six(6, TransitionOccupancy{1, 0.5f, -0.0f});
    const auto table = TransitionOccupancies::from_values(2, 3, six);
    EXPECT_EQ(table, (TransitionOccupancies{six, 2, 3}));
    const char* invalid =
        "transition occupancies require positive matching dimensions and finite nonnegative "
        "weights";
    // Only present entries are looked at.
    const std::tuple<std::uint64_t, std::uint64_t, TableVector<TransitionOccupancy>, const char*>
        cases[] = {{2, 3, {six.begin(), six.end() - 1}, invalid},
                   {0, 3, {}, invalid},
                   {2, 0, {}, invalid},
                   {testing::two_to(33), testing::two_to(32), six, invalid},
                   {1, 1, {{0, nan, nan}}, "no error"},
                   {1, 1, {{2, nan, -1.0f}}, "no error"},
                   {1, 1, {{1, nan, 0.0f}}, invalid},
                   {1, 1, {{1, 0.0f, std::numeric_limits<float>::infinity()}}, invalid},
                   {1, 1, {{1, -1e-30f, 0.0f}}, invalid}};
    for (const auto& [frames, states, entries, expected] : cases) {
        EXPECT_EQ(error_of([&] { TransitionOccupancies::from_values(frames, states, entries); }),
                  expected);
    }
}

// The state occupancies make the first two checks only (the first five cases).
TYPED_TEST(Occupancy, CheckOrder) {
    using S = TypeParam;
    using Break = std::function<void(Posteriors<S>&)>;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const Break shapes = [](Posteriors<S>& r) { r.beta.frames = 4; };
    const Break bounds = [&](Posteriors<S>& r) { r.total = nan; };
    const Break lengths = [](Posteriors<S>& r) { r.segmentation.boundaries.push_back(5); };
    const Break jumps = [](Posteriors<S>& r) { r.segmentation.outgoing[0].clear(); };
    const Break count = [](Posteriors<S>& r) { r.emissions.frames = 6; };
    const Break temperature = [](Posteriors<S>& r) { r.temperature = S(-1); };
    const Break duration = [](Posteriors<S>& r) { r.segmentation.duration_states[0] = -1; };
    const Break mean = [](Posteriors<S>& r) {
        const auto edit = r.model.edit();
        edit.durations()[1].mean = S(INFINITY);
    };
    struct Case {
        std::vector<Break> breaks;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {{shapes, bounds, lengths, jumps, count, temperature, duration, mean},
         "occupancy forward/backward dimensions differ"},
        {{bounds, lengths, jumps, count, temperature, duration, mean},
         "occupancy total must be finite and pruning slope finite and nonnegative"},
        {{[](Posteriors<S>& r) { r.slope = S(-1e-30); }, lengths},
         "occupancy total must be finite and pruning slope finite and nonnegative"},
        {{[](Posteriors<S>& r) { r.slope = S(INFINITY); }},
         "occupancy total must be finite and pruning slope finite and nonnegative"},
        {{[](Posteriors<S>& r) { r.total = -S(INFINITY); }},
         "occupancy total must be finite and pruning slope finite and nonnegative"},
        {{lengths, jumps, count, temperature, duration, mean},
         "segmentation arrays have inconsistent lengths"},
        {{jumps, count, temperature, duration, mean},
         "outgoing jumps must terminate with a single delta-1 transition"},
        {{count, temperature, duration, mean}, "transition occupancy dimensions differ"},
        {{[](Posteriors<S>& r) { r.emissions.states = 3; }},
         "transition occupancy dimensions differ"},
        {{[](Posteriors<S>& r) { r.segmentation = chain_segmentation<S>(3, 5); }},
         "transition occupancy dimensions differ"},
        {{temperature, duration, mean}, "temperature must be finite and nonnegative"},
        {{duration, mean}, "duration state is out of range"},
        {{mean}, "duration mean must be finite"},
        {{[](Posteriors<S>& r) { r.temperature = r.slope = S(-0.0); }}, "no error"},
    };
    std::mt19937_64 random(12);
    for (const Case& test : cases) {
        Posteriors<S> run(random, {2, 3}, 5, S(1));
        for (const Break& b : test.breaks) b(run);
        EXPECT_EQ(error_of([&] { run.transitions(); }), test.expected);
        const bool shared = &test - cases.data() < 5;
        EXPECT_EQ(error_of([&] { run.states(); }), shared ? test.expected : "no error");
    }
}

TYPED_TEST(Occupancy, TableAllocFail) {
    using S = TypeParam;
    // 2^47 cells: 2^50 bytes of occupancies, 1.5 · 2^50 of transition entries.
    std::mt19937_64 random(14);
    Posteriors<S> run(random, {2}, 3, S(1));
    for (auto* table : {&run.alpha, &run.beta, &run.emissions}) table->frames = testing::two_to(47);
    EXPECT_EQ(error_of([&] { run.states(); }), "occupancy allocation failed");
    EXPECT_EQ(error_of([&] { run.transitions(); }), "occupancy allocation failed");
}

}  // namespace
}  // namespace tarvek
