#include "core/duration_occupancy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "core/hsmm.hpp"
#include "expectation_test_support.hpp"
#include "hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::duration_model;
using testing::duration_table;
using testing::error_of;
using testing::hsmm_chain;
using testing::table_of;

template <class S>
class DurationOccupancy : public ::testing::Test {};
TYPED_TEST_SUITE(DurationOccupancy, testing::Scalars);

using Cells = std::vector<std::optional<DurationPosterior>>;

const char* const invalid_table =
    "duration occupancies require positive matching dimensions, representable durations and "
    "finite nonnegative weights";

// Vectors of bits, for exact comparisons that treat NaN and signed zeros strictly.
template <class S>
std::vector<std::uint64_t> all_bits(const std::vector<S>& values) {
    std::vector<std::uint64_t> out;
    for (const S v : values) out.push_back(testing::bits(v));
    return out;
}

// A model, chain, emission table and options, with the forward and backward passes run.
template <class S>
struct Passes {
    ModelParameters<S> model;
    SegmentationData<S> segmentation;
    StateScoreTable<S> emissions;
    HsmmOptions<S> options;
    HsmmScoreTables<S> forward;
    HsmmScoreTables<S> backward;

    void run() {
        forward = search_hsmm(model, segmentation, emissions, options, false);
        backward = backward_hsmm_with(model, segmentation, emissions, options);
    }
    S total() const {
        S z = log_zero<S>;
        for (std::uint64_t t = 0; t < forward.end.frames; ++t) {
            z = log_add(z, forward.end(t, 0) + backward.end(t, 0));
        }
        return z;
    }
    DurationOccupancies posteriors(S z) const {
        return duration_occupancies_with(model, segmentation, emissions, forward, backward, z,
                                         options);
    }
    DurationOccupancies posteriors() const { return posteriors(total()); }
    StateScoreTable<S> states(const DurationOccupancies& durations) const {
        return hsmm_state_occupancies(model, segmentation, emissions, durations, options);
    }
};

template <class S>
Passes<S> passes(std::initializer_list<std::int32_t> boundaries, S radius) {
    Passes<S> p;
    const std::size_t positions = boundaries.size();
    for (std::size_t k = 0; k < positions; ++k) {
        DurationParameters<S> d;
        d.mean = static_cast<S>(2 + k % 2);
        d.variance = S(1.5);
        p.model.durations.push_back(d);
    }
    p.segmentation = hsmm_chain<S>(boundaries);
    const std::uint64_t frames = static_cast<std::uint64_t>(*(boundaries.end() - 1));
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> uniform(-2.0, -0.5);
    p.emissions = table_of<S>(frames, positions,
                              [&](std::uint64_t, std::uint64_t) { return uniform(random); });
    p.options.state_radius = radius;
    p.options.duration_extra = 3;
    p.options.duration_extra_factor = 0;
    p.run();
    return p;
}

TEST(DurationOccupancyTable, FromValues) {
    const auto six_absent = DurationOccupancies::from_values(2, 3, std::vector<std::uint8_t>(6, 0),
                                                             std::vector<std::uint64_t>(6, 9),
                                                             std::vector<std::uint64_t>(7, 0), {});
    EXPECT_EQ(six_absent.frames, 2u);
    EXPECT_EQ(six_absent.minimums, std::vector<std::uint64_t>(6, 0));  // absent: minimum 0
    EXPECT_FALSE(six_absent.get(1, 2));
    EXPECT_EQ(error_of([] { DurationOccupancies::from_values(0, 3, {}, {}, {0}, {}); }),
              invalid_table);

    const auto table = duration_table(1, 2, {DurationPosterior{{0.25f, 0.5f}, 3}, {}});
    const auto cell = table.get(0, 0);
    ASSERT_TRUE(cell);
    EXPECT_EQ(cell->minimum, 3u);
    EXPECT_EQ(cell->probability(4), 0.5f);
    EXPECT_EQ(cell->probability(2), 0.0f);  // below the minimum, no wrap-around
    EXPECT_EQ(cell->probability(5), 0.0f);
    EXPECT_FALSE(table.get(0, 1));
    EXPECT_FALSE(table.get(1, 0));

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::uint64_t top = ~std::uint64_t{0};
    // A NaN, a negative value, minimum + length past 64 bits, an absent cell with values, a
    // flag of 2, a count mismatch.
    EXPECT_EQ(error_of([&] { duration_table(1, 1, {DurationPosterior{{0.5f, nan}, 1}}); }),
              invalid_table);
    EXPECT_EQ(error_of([&] { duration_table(1, 1, {DurationPosterior{{-0.5f}, 1}}); }),
              invalid_table);
    EXPECT_EQ(error_of([&] { duration_table(1, 1, {DurationPosterior{{0.5f}, top}}); }),
              invalid_table);
    EXPECT_EQ(error_of([] { DurationOccupancies::from_values(1, 1, {0}, {0}, {0, 1}, {0.5f}); }),
              invalid_table);
    EXPECT_EQ(error_of([] { DurationOccupancies::from_values(1, 1, {2}, {0}, {0, 0}, {}); }),
              invalid_table);
    EXPECT_EQ(error_of([] { DurationOccupancies::from_values(1, 2, {0}, {0}, {0, 0}, {}); }),
              invalid_table);
    // Accepted: an empty posterior at the largest minimum, minimum 0, negative zero.
    EXPECT_EQ(error_of([&] {
                  duration_table(1, 3,
                                 {DurationPosterior{{}, top}, DurationPosterior{{0.5f}, 0},
                                  DurationPosterior{{-0.0f}, top - 1}});
              }),
              "no error");
}

TEST(DurationOccupancyTable, NegligiblePosteriors) {
    EXPECT_TRUE(negligible_posterior(0.000001f));
    EXPECT_FALSE(negligible_posterior(0.00002f));
    // 0.00001 in 32 bits lies just below the 64-bit 1e-5.
    EXPECT_TRUE(negligible_posterior(0.00001f));
    EXPECT_FALSE(negligible_posterior(std::nextafter(0.00001f, 1.0f)));
    // Every power of two at or below the negligible exponent is negligible (below -126 the
    // fast power of two clamps).
    std::uint64_t failures = 0;
    for (float p = negligible_exponent; p >= -126.0f; p = std::nextafter(p, -200.0f)) {
        failures += !negligible_posterior(fast_pow2(p));
    }
    EXPECT_EQ(failures, 0u);
    EXPECT_FALSE(negligible_posterior(fast_pow2(-16.0f)));
}

TYPED_TEST(DurationOccupancy, OnePositionChainHasNoPosterior) {
    using S = TypeParam;
    const auto p = passes<S>({4}, S(2));
    const auto durations = p.posteriors();
    EXPECT_EQ(durations.presence, std::vector<std::uint8_t>(4, 0));
    EXPECT_TRUE(durations.values.empty());
    const auto states = p.states(durations);
    EXPECT_EQ(states.values, std::vector<S>(4, S(0)));
}

TYPED_TEST(DurationOccupancy, LastPositionHasNoPosteriorNorOccupancy) {
    using S = TypeParam;
    for (const S radius : {S(0), S(1), S(5)}) {
        const auto p = passes<S>({3, 5, 8}, radius);
        const auto durations = p.posteriors();
        const auto states = p.states(durations);
        for (std::uint64_t t = 0; t < 8; ++t) {
            EXPECT_FALSE(durations.get(t, 2)) << t;
            EXPECT_EQ(states(t, 2), S(0));
            S row = 0;
            for (std::uint64_t s = 0; s < 3; ++s) row += states(t, s);
            // With radius 0 only the last position is active after its first frame.
            if (radius == S(0) && t > 5) {
                EXPECT_EQ(row, S(0)) << t;
            } else {
                EXPECT_GT(row, S(0)) << t;
                EXPECT_LE(row, S(1)) << t;
            }
        }
    }
}

TYPED_TEST(DurationOccupancy, ValuesAtOrAboveZeroAreOneAndUnreachableCellsKeepOneValue) {
    using S = TypeParam;
    const auto p = passes<S>({3, 5, 8}, S(5));
    // A normaliser far below every score makes every reachable value's exponent positive.
    const auto durations = p.posteriors(S(-1e6));
    const auto rows = prepare_hsmm_durations_with(p.model, p.segmentation, 8, 3, p.options, false);
    const auto first = durations.get(0, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->minimum, 1u);
    EXPECT_EQ(first->probabilities.size(), rows[0].size() - 1);
    for (const float value : first->probabilities) EXPECT_EQ(value, 1.0f);
    // Position 1 cannot begin at frame 0.
    const auto unreachable = durations.get(0, 1);
    ASSERT_TRUE(unreachable);
    ASSERT_EQ(unreachable->probabilities.size(), 1u);
    EXPECT_EQ(bits(unreachable->probabilities[0]), bits(fast_pow2(-126.0f)));
    EXPECT_NEAR(unreachable->probabilities[0], 1.1755e-38, 1e-42);

    // A NaN exponent counts as 0: the value is 1, not the result of casting a NaN.
    auto q = passes<S>({3, 5, 8}, S(1));
    q.emissions(1, 0) = std::numeric_limits<S>::quiet_NaN();
    q.run();
    const auto nan_table = q.posteriors(S(0));
    const auto cell = nan_table.get(0, 0);
    ASSERT_TRUE(cell);
    EXPECT_LT(cell->probabilities[0], 1.0f);
    EXPECT_EQ(cell->probabilities[1], 1.0f);
}

// Every window cell's posteriors straight from the definition: each value through the fast
// power of two, then the trailing negligible ones dropped.
template <class S>
DurationOccupancies reference_posteriors(const Passes<S>& p, S total) {
    const auto rows = prepare_hsmm_durations_with(p.model, p.segmentation, p.emissions.frames,
                                                  p.emissions.states, p.options, false);
    const auto incoming = build_incoming(p.segmentation);
    const std::int64_t frames = static_cast<std::int64_t>(p.emissions.frames);
    const std::int64_t positions = static_cast<std::int64_t>(p.emissions.states);
    Cells cells(frames * positions);
    for (std::int64_t k = 0; k < positions; ++k) {
        const std::int64_t first = k == 0 ? 0 : p.segmentation.boundaries[k - 1];
        const std::int64_t last = std::min<std::int64_t>(p.segmentation.boundaries[k], frames - 1);
        const auto lo = static_cast<std::int64_t>(std::max<double>(k - p.options.state_radius, 0));
        const auto hi = std::min<std::int64_t>(positions - 2, k + p.options.state_radius);
        for (std::int64_t t = first; t <= last; ++t) {
            for (std::int64_t s = lo; s <= hi; ++s) {
                S in = t == 0 && s == 0 ? S(0) : log_zero<S>;
                if (t > 0) {
                    for (const auto& jump : incoming[s]) {
                        const std::int64_t q = s + jump.delta;
                        if (jump.probability == S(0) || q < 0) continue;
                        const double weight = static_cast<double>(p.options.temperature) *
                                              std::log(static_cast<double>(jump.probability));
                        in = log_add(
                            in,
                            static_cast<S>(static_cast<double>(p.forward.end(t - 1, q)) + weight));
                    }
                }
                DurationPosterior posterior;
                S a = 0;
                for (std::int64_t d = 1; d < static_cast<std::int64_t>(rows[s].size()); ++d) {
                    const std::int64_t e = t + d - 1;
                    S v = 0;
                    if (e < frames) {
                        a = a + p.emissions(e, s);
                        v = p.backward.end(e, s);
                    }
                    const S x = (((in + rows[s][d]) + a) + v) - total;
                    const float power = static_cast<float>(std::fmin(x, S(0))) * 1.442695f;
                    posterior.probabilities.push_back(fast_pow2(power));
                }
                if (posterior.probabilities.empty()) continue;
                while (posterior.probabilities.size() > 1 &&
                       static_cast<double>(posterior.probabilities.back()) < 1e-5) {
                    posterior.probabilities.pop_back();
                }
                cells[t * positions + s] = posterior;
            }
        }
    }
    return duration_table(frames, positions, cells);
}

TYPED_TEST(DurationOccupancy, PosteriorsFollowTheDefinitionBitForBit) {
    using S = TypeParam;
    for (const S radius : {S(0), S(1), S(2.5)}) {
        SCOPED_TRACE(radius);
        auto p = passes<S>({3, 7, 7, 12, 15, 19}, radius);
        add_jump(p.segmentation, 0, 2, S(0.25));
        add_jump(p.segmentation, 2, 3, S(0.5));
        add_jump(p.segmentation, 3, 0, S(0));
        p.options.duration_extra = 6;  // rows reaching past the last frame
        p.run();
        EXPECT_EQ(p.posteriors(), reference_posteriors(p, p.total()));
        // A normaliser that leaves long runs of values above the threshold.
        EXPECT_EQ(p.posteriors(p.total() - S(8)), reference_posteriors(p, p.total() - S(8)));
    }
}

TYPED_TEST(DurationOccupancy, GraphFormMatchesSegmentationForm) {
    using S = TypeParam;
    auto p = passes<S>({2, 4, 6, 9}, S(1));
    add_jump(p.segmentation, 0, 2, S(0.25));
    add_jump(p.segmentation, 1, 2, S(0.5));
    p.run();
    const auto graph = build_transitions(p.segmentation);
    const auto from_graph = duration_occupancies_with(p.model, graph, p.emissions, p.forward,
                                                      p.backward, p.total(), p.options);
    EXPECT_EQ(from_graph, p.posteriors());
    EXPECT_GT(from_graph.values.size(), 8u);
}

TYPED_TEST(DurationOccupancy, CheckOrder) {
    using S = TypeParam;
    auto p = passes<S>({3, 5, 8}, S(1));
    const S z = p.total();
    auto bad_scores = p;
    bad_scores.backward.begin.frames = 7;
    bad_scores.options.state_radius = -1;
    EXPECT_EQ(error_of([&] { bad_scores.posteriors(std::numeric_limits<S>::infinity()); }),
              "duration occupancy score dimensions differ");
    auto bad_total = p;
    bad_total.options.state_radius = -1;
    EXPECT_EQ(error_of([&] { bad_total.posteriors(std::numeric_limits<S>::quiet_NaN()); }),
              "duration occupancy normalizer must be finite");
    EXPECT_EQ(error_of([&] { bad_total.posteriors(z); }),
              "state pruning radius must be finite and nonnegative");
    auto bad_jump = p;
    bad_jump.segmentation.outgoing[0].front().probability = S(-1);
    EXPECT_EQ(error_of([&] { bad_jump.posteriors(z); }),
              "transition weights must be finite and nonnegative");
    auto bad_state = bad_jump;
    bad_state.segmentation.duration_states[1] = 3;
    EXPECT_EQ(error_of([&] { bad_state.posteriors(z); }), "duration state is out of range");

    const auto durations = p.posteriors(z);
    auto other = durations;
    other.states = 2;
    bad_state.options.state_radius = -1;
    EXPECT_EQ(error_of([&] { bad_state.states(other); }), "duration occupancy dimensions differ");
    EXPECT_EQ(error_of([&] { bad_state.states(durations); }),
              "state pruning radius must be finite and nonnegative");
    auto short_presence = durations;
    short_presence.presence.pop_back();
    EXPECT_EQ(error_of([&] { p.states(short_presence); }), "duration occupancy dimensions differ");
    auto nan_inside = durations;
    nan_inside.values[0] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(error_of([&] { p.states(nan_inside); }),
              "occupancies require positive matching dimensions and finite nonnegative values");
    // No frame at all: the shape checks pass, the final check fails.
    Passes<S> empty;
    empty.model = p.model;
    empty.segmentation = hsmm_chain<S>({0});
    empty.emissions.states = 1;
    DurationOccupancies none;
    none.states = 1;
    none.offsets = {0};
    EXPECT_EQ(error_of([&] { empty.states(none); }),
              "occupancies require positive matching dimensions and finite nonnegative values");
}

// About 2^49 cells: the table is refused before anything of its size is allocated. The score
// tables carry only their shapes, which is all the checks before the allocation read.
TYPED_TEST(DurationOccupancy, TableAllocFail) {
    using S = TypeParam;
    const std::uint64_t frames = testing::two_to(31) - 1;
    const std::uint64_t positions = testing::two_to(18);
    ModelParameters<S> model = duration_model<S>({{2, 1}});
    model.durations[0].maximum_duration = 2;
    auto segmentation = SegmentationData<S>::create(1, positions);
    for (std::uint64_t k = 0; k < positions; ++k) {
        segmentation.boundaries[k] = static_cast<std::int32_t>((k + 1) * frames / positions);
    }
    StateScoreTable<S> shape;
    shape.frames = frames;
    shape.states = positions;
    const HsmmScoreTables<S> tables{shape, shape, {}, {}};
    HsmmOptions<S> options;
    EXPECT_EQ(error_of([&] {
                  duration_occupancies_with(model, segmentation, shape, tables, tables, S(0),
                                            options);
              }),
              "duration occupancy allocation failed");
}

// The covering rule written over every duration with the posterior's own lookup (0 outside its
// range), start frames descending and durations ascending, each row then divided by its sum plus
// 1e-7.
template <class S>
StateScoreTable<S> reference_states(const Passes<S>& p, const DurationOccupancies& durations) {
    const auto rows = prepare_hsmm_durations_with(p.model, p.segmentation, p.emissions.frames,
                                                  p.emissions.states, p.options, false);
    const std::int64_t frames = static_cast<std::int64_t>(p.emissions.frames);
    const std::int64_t positions = static_cast<std::int64_t>(p.emissions.states);
    StateScoreTable<S> table;
    table.frames = frames;
    table.states = positions;
    table.values.assign(frames * positions, S(0));
    for (std::int64_t k = 0; k < positions; ++k) {
        const std::int64_t first = k == 0 ? 0 : p.segmentation.boundaries[k - 1];
        const std::int64_t last = std::min<std::int64_t>(p.segmentation.boundaries[k], frames - 1);
        const auto lo = static_cast<std::int64_t>(std::max<double>(k - p.options.state_radius, 0));
        const auto hi = std::min<std::int64_t>(positions - 1, k + p.options.state_radius);
        for (std::int64_t t = first; t <= last; ++t) {
            for (std::int64_t s = lo; s <= hi; ++s) {
                const std::int64_t length = static_cast<std::int64_t>(rows[s].size());
                S mass = 0;
                if (s == 0) {
                    if (const auto cell = durations.get(0, 0)) {
                        for (std::int64_t d = t + 1; d <= t + length - 1; ++d) {
                            mass += static_cast<S>(cell->probability(d));
                        }
                    }
                } else {
                    for (std::int64_t u = t; u >= 1 && u > t - length; --u) {
                        const auto cell = durations.get(u, s);
                        if (!cell) continue;
                        for (std::int64_t d = t - u + 1; d <= t - u + length - 1; ++d) {
                            mass += static_cast<S>(cell->probability(d));
                        }
                    }
                }
                table(t, s) = mass;
            }
        }
    }
    for (std::int64_t t = 0; t < frames; ++t) {
        S sum = 0;
        for (std::int64_t s = 0; s < positions; ++s) sum += table(t, s);
        for (std::int64_t s = 0; s < positions; ++s) {
            table(t, s) = static_cast<S>(static_cast<double>(table(t, s)) /
                                         (static_cast<double>(sum) + 1e-7));
        }
    }
    return table;
}

TYPED_TEST(DurationOccupancy, StateOccupanciesFollowTheCoveringRule) {
    using S = TypeParam;
    std::mt19937_64 random(5);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    for (const S radius : {S(0), S(1), S(2.5)}) {
        SCOPED_TRACE(radius);
        const auto p = passes<S>({3, 5, 5, 9, 12}, radius);
        // Posteriors from inference, then hand-made ones with every minimum and length, also
        // outside the windows, at frame 0 and for the last position.
        const auto computed = p.posteriors();
        EXPECT_EQ(all_bits(p.states(computed).values),
                  all_bits(reference_states(p, computed).values));
        Cells cells(12 * 5);
        for (auto& cell : cells) {
            if (random() % 4 == 0) continue;
            DurationPosterior posterior{{}, random() % 4};
            for (std::uint64_t n = random() % 12; n > 0; --n) {
                posterior.probabilities.push_back(uniform(random));
            }
            cell = posterior;
        }
        cells[7 * 5 + 3] = DurationPosterior{{0.5f, 0.25f}, ~std::uint64_t{0} - 2};
        // An empty posterior with minimum 0 adds nothing (and reads nothing).
        cells[4 * 5 + 1] = DurationPosterior{{}, 0};
        const auto made = duration_table(12, 5, cells);
        const auto states = p.states(made);
        EXPECT_EQ(all_bits(states.values), all_bits(reference_states(p, made).values));
        cells[4 * 5 + 1].reset();
        EXPECT_EQ(all_bits(states.values), all_bits(p.states(duration_table(12, 5, cells)).values));
    }
}

}  // namespace
}  // namespace tarvek
