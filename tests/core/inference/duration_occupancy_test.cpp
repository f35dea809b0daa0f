#include "core/inference/duration_occupancy.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <tuple>

#include "inference/hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::duration_table;
using testing::error_of;
using testing::PathReference;

template <class S>
class DurationOccupancy : public ::testing::Test {};
TYPED_TEST_SUITE(DurationOccupancy, testing::Scalars);

const char* const invalid_table =
    "duration occupancies require positive matching dimensions, representable durations and "
    "finite nonnegative weights";

// The passes over a reference chain (every window holding every position unless narrowed).
template <class S>
struct Passes {
    PathReference reference;
    ModelParameters<S> model = reference.model<S>();
    SegmentationData<S> segmentation = reference.segmentation<S>();
    StateScoreTable<S> emissions = reference.table<S>();
    HsmmOptions<S> options = reference.options<S>();
    HsmmScoreTables<S> forward, backward;

    explicit Passes(PathReference r, double radius = -1) : reference(std::move(r)) {
        if (radius >= 0) options.state_radius = S(radius);
        run();
    }
    void run() {
        forward = search_hsmm(model, segmentation, emissions, options, false);
        backward = backward_hsmm_with(model, segmentation, emissions, options);
    }
    S total() const {
        S z = log_zero<S>;
        for (std::uint64_t t = 0; t < emissions.frames; ++t) {
            z = log_add(z, forward.end(t, 0) + backward.end(t, 0));
        }
        return z;
    }
    DurationOccupancies posteriors(S z) const {
        return duration_occupancies_with(model, segmentation, emissions, forward, backward, z,
                                         options);
    }
    StateScoreTable<S> states(const DurationOccupancies& durations) const {
        return hsmm_state_occupancies(model, segmentation, emissions, durations, options);
    }
};

PathReference chain(std::vector<std::int32_t> boundaries, std::uint64_t seed = 7) {
    std::mt19937_64 random(seed);
    std::vector<PathReference::Law> laws;
    for (std::size_t k = 0; k < boundaries.size(); ++k) laws.push_back({2.0 + k % 2, 1.5});
    auto r = PathReference::random(random, laws, std::move(boundaries),
                                   std::vector<std::vector<std::int32_t>>(laws.size()));
    r.extra = 3;
    r.factor = 0;
    return r;
}

TEST(DurationOccupancyTable, FromValues) {
    const auto absent = DurationOccupancies::from_values(2, 3, TableVector<std::uint8_t>(6, 0),
                                                         TableVector<std::uint64_t>(6, 9),
                                                         TableVector<std::uint64_t>(7, 0), {});
    EXPECT_EQ(absent.minimums, std::vector<std::uint64_t>(6, 0));  // absent: minimum 0
    const auto table = duration_table(1, 2, {DurationPosterior{{0.25f, 0.5f}, 3}, {}});
    const auto cell = table.get(0, 0);
    ASSERT_TRUE(cell && !table.get(0, 1) && !absent.get(1, 2));
    // Below the minimum and past the end: 0, no wrap-around.
    EXPECT_EQ((std::vector{cell->probability(2), cell->probability(4), cell->probability(5)}),
              (std::vector{0.0f, 0.5f, 0.0f}));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::uint64_t top = ~std::uint64_t{0};
    using P = DurationPosterior;
    for (const auto& refused : std::vector<std::function<void()>>{
             [] { DurationOccupancies::from_values(0, 3, {}, {}, {0}, {}); },
             [&] {
                 duration_table(1, 1, {P{{0.5f, nan}, 1}});
             },
             [] {
                 duration_table(1, 1, {P{{-0.5f}, 1}});
             },
             [&] {
                 duration_table(1, 1, {P{{0.5f}, top}});
             },
             [] {
                 DurationOccupancies::from_values(1, 1, {0}, {0}, {0, 1}, {0.5f});
             },
             [] {
                 DurationOccupancies::from_values(1, 1, {2}, {0}, {0, 0}, {});
             },
             [] {
                 DurationOccupancies::from_values(1, 2, {0}, {0}, {0, 0}, {});
             }}) {
        EXPECT_EQ(error_of(refused), invalid_table);
    }
    // An empty posterior at the largest minimum, minimum 0, negative zero.
    EXPECT_NO_THROW(duration_table(1, 3, {P{{}, top}, P{{0.5f}, 0}, P{{-0.0f}, top - 1}}));
}

// An f32 1e-5 lies just below the 64-bit threshold; every power of two at or below the
// negligible exponent is negligible (below -126 the fast power of two clamps).
TEST(DurationOccupancyTable, NegligiblePosteriors) {
    EXPECT_TRUE(negligible_posterior(0.000001f));
    EXPECT_FALSE(negligible_posterior(0.00002f));
    EXPECT_TRUE(negligible_posterior(0.00001f));
    EXPECT_FALSE(negligible_posterior(std::nextafter(0.00001f, 1.0f)));
    std::uint64_t failures = 0;
    for (float p = negligible_exponent; p >= -126.0f; p = std::nextafter(p, -200.0f)) {
        failures += !negligible_posterior(fast_pow2(p));
    }
    EXPECT_EQ(failures, 0u);
    EXPECT_FALSE(negligible_posterior(fast_pow2(-16.0f)));
}

// The last position never gets a posterior, so its occupancy is 0 and rows where only it is
// active stay 0; with radius 0 posteriors exist only in each position's own frames.
TYPED_TEST(DurationOccupancy, LastPositionAndWindows) {
    using S = TypeParam;
    const Passes<S> single(chain({4}));
    const auto none = single.posteriors(single.total());
    EXPECT_EQ(none.presence, std::vector<std::uint8_t>(4, 0));
    EXPECT_EQ(single.states(none).values, std::vector<S>(4, S(0)));
    for (const double radius : {0.0, 1.0, 5.0}) {
        const Passes<S> p(chain({3, 5, 8}), radius);
        const auto durations = p.posteriors(p.total());
        const auto states = p.states(durations);
        const std::uint64_t b[] = {0, 3, 5, 8};
        for (std::uint64_t t = 0; t < 8; ++t) {
            S row = 0;
            for (std::uint64_t s = 0; s < 3; ++s) {
                row += states(t, s);
                if (radius == 0) {
                    EXPECT_EQ(bool(durations.get(t, s)), s < 2 && b[s] <= t && t <= b[s + 1]);
                }
            }
            EXPECT_FALSE(durations.get(t, 2)) << t;
            EXPECT_EQ(states(t, 2), S(0));
            if (radius == 0 && t > 5) {
                EXPECT_EQ(row, S(0)) << t;
            } else {
                EXPECT_TRUE(row > S(0) && row <= S(1)) << t;
            }
        }
    }
}

TYPED_TEST(DurationOccupancy, ValuesAtOrAboveZeroAreOneAndUnreachableCellsKeepOneValue) {
    using S = TypeParam;
    const Passes<S> p(chain({3, 5, 8}));
    // A normaliser far below every score makes every reachable value's exponent positive.
    const auto durations = p.posteriors(S(-1e6));
    const auto first = durations.get(0, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->minimum, 1u);
    EXPECT_EQ(first->probabilities.size(), p.reference.row_length(0) - 1);
    for (const float value : first->probabilities) EXPECT_EQ(value, 1.0f);
    const auto unreachable = durations.get(0, 1);  // position 1 cannot begin at frame 0
    ASSERT_TRUE(unreachable);
    ASSERT_EQ(unreachable->probabilities.size(), 1u);
    EXPECT_EQ(bits(unreachable->probabilities[0]), bits(fast_pow2(-126.0f)));
    EXPECT_NEAR(unreachable->probabilities[0], 1.1755e-38, 1e-42);

    // A NaN exponent counts as 0: the value is 1, not the result of casting a NaN.
    Passes<S> q(chain({3, 5, 8}), 1);
    q.emissions(1, 0) = std::numeric_limits<S>::quiet_NaN();
    q.run();
    const auto nan_table = q.posteriors(S(0));
    const auto cell = nan_table.get(0, 0);
    ASSERT_TRUE(cell);
    EXPECT_LT(cell->probabilities[0], 1.0f);
    EXPECT_EQ(cell->probabilities[1], 1.0f);
}

// Posteriors and state occupancies against every path as the backward pass counts it: each
// segment's share of the total, durations past the last frame censored there.
TYPED_TEST(DurationOccupancy, MatchEnumeratedPaths) {
    using S = TypeParam;
    auto r = chain({3, 5, 7, 9, 11}, 3);
    r.outgoing[0].insert(r.outgoing[0].begin(), {2, 0.25});
    r.outgoing[2].insert(r.outgoing[2].begin(), {-1, 0.5});
    r.outgoing[1].insert(r.outgoing[1].begin(), {2, 0.0});
    const Passes<S> p(r);
    const std::uint64_t T = r.frames(), P = r.positions();
    const auto paths = r.paths(true);
    std::vector<double> scores;
    for (const auto& path : paths) scores.push_back(path.score);
    const double z = testing::log_sum(scores);
    EXPECT_NEAR(p.total(), z, testing::score_tolerance<S>(z));
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, double> share;
    std::vector<double> covered(T * P, 0.0);
    for (const auto& path : paths) {
        for (const auto& g : path.segments) {
            share[{g.start, g.state, g.duration}] += std::exp(path.score - z);
            for (auto t = g.start; t < std::min(g.start + g.duration, T); ++t) {
                covered[t * P + g.state] += std::exp(path.score - z);
            }
        }
    }
    const auto durations = p.posteriors(p.total());
    const auto states = p.states(durations);
    for (std::uint64_t t = 0; t < T; ++t) {
        double row = 0;
        for (std::uint64_t s = 0; s < P; ++s) row += covered[t * P + s];
        for (std::uint64_t s = 0; s < P; ++s) {
            SCOPED_TRACE(::testing::Message() << "frame " << t << ", position " << s);
            const double expected = covered[t * P + s] / (row + 1e-7);
            EXPECT_NEAR(states(t, s), expected, 0.01 * expected + 1e-5);
            const auto cell = durations.get(t, s);
            ASSERT_EQ(bool(cell), s + 1 < P);
            for (std::uint64_t d = 1; cell && d < r.row_length(s); ++d) {
                const double value = share[{t, s, d}];
                EXPECT_NEAR(cell->probability(d), value, 0.01 * value + 1.1e-5) << d;
            }
        }
    }
    EXPECT_EQ(duration_occupancies_with(p.model, build_transitions(p.segmentation), p.emissions,
                                        p.forward, p.backward, p.total(), p.options),
              durations);
}

// Hand-made posteriors: each covers its durations' frames; position 0 reads frame 0 only and
// later positions never read frame 0; an empty posterior at minimum 0 and one at a minimum
// near 2^64 add nothing.
TYPED_TEST(DurationOccupancy, StateOccupanciesFromHandMadePosteriors) {
    using S = TypeParam;
    const Passes<S> p(chain({2, 4, 6}));
    std::vector<std::optional<DurationPosterior>> cells(6 * 3);
    cells[0 * 3 + 0] = DurationPosterior{{0.5f, 0.25f}, 2};
    cells[0 * 3 + 1] = DurationPosterior{{1.0f}, 1};
    cells[1 * 3 + 0] = DurationPosterior{{1.0f}, 1};
    cells[1 * 3 + 1] = DurationPosterior{{}, 0};
    cells[2 * 3 + 1] = DurationPosterior{{0.5f}, 1};
    cells[3 * 3 + 1] = DurationPosterior{{0.125f, 0.25f}, 1};
    cells[4 * 3 + 2] = DurationPosterior{{1.0f}, 3};
    cells[5 * 3 + 1] = DurationPosterior{{0.5f, 0.25f}, ~std::uint64_t{0} - 2};
    const auto states = p.states(duration_table(6, 3, cells));
    const double raw[6][3] = {{0.75, 0, 0},  {0.75, 0, 0},   {0.25, 0.5, 0},
                              {0, 0.375, 0}, {0, 0.25, 1.0}, {0, 0, 1.0}};
    for (std::uint64_t t = 0; t < 6; ++t) {
        const double sum = raw[t][0] + raw[t][1] + raw[t][2] + 1e-7;
        for (std::uint64_t s = 0; s < 3; ++s) EXPECT_EQ(states(t, s), S(raw[t][s] / sum)) << t << s;
    }
}

TYPED_TEST(DurationOccupancy, CheckOrder) {
    using S = TypeParam;
    const Passes<S> p(chain({3, 5, 8}), 1);
    const S z = p.total();
    auto bad_scores = p;
    bad_scores.backward.begin.frames = 7;
    bad_scores.options.state_radius = -1;
    EXPECT_EQ(error_of([&] { bad_scores.posteriors(std::numeric_limits<S>::infinity()); }),
              "duration occupancy score dimensions differ");
    auto bad_radius = p;
    bad_radius.options.state_radius = -1;
    EXPECT_EQ(error_of([&] { bad_radius.posteriors(std::numeric_limits<S>::quiet_NaN()); }),
              "duration occupancy normalizer must be finite");
    EXPECT_EQ(error_of([&] { bad_radius.posteriors(z); }),
              "state pruning radius must be finite and nonnegative");
    auto bad_jump = p;
    bad_jump.segmentation.outgoing[0].front().probability = S(-1);
    EXPECT_EQ(error_of([&] { bad_jump.posteriors(z); }),
              "transition weights must be finite and nonnegative");
    // The rows come before the transitions.
    bad_jump.segmentation.duration_states[1] = 3;
    EXPECT_EQ(error_of([&] { bad_jump.posteriors(z); }), "duration state is out of range");

    const auto durations = p.posteriors(z);
    auto other = durations;
    other.states = 2;
    EXPECT_EQ(error_of([&] { bad_radius.states(other); }), "duration occupancy dimensions differ");
    EXPECT_EQ(error_of([&] { bad_radius.states(durations); }),
              "state pruning radius must be finite and nonnegative");
    auto short_presence = durations;
    short_presence.presence.pop_back();
    EXPECT_EQ(error_of([&] { p.states(short_presence); }), "duration occupancy dimensions differ");
    const char* invalid_values =
        "occupancies require positive matching dimensions and finite nonnegative values";
    auto nan_inside = durations;
    nan_inside.values[0] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(error_of([&] { p.states(nan_inside); }), invalid_values);
    // No frame at all: the shape checks pass, the final check fails.
    auto empty = p;
    empty.segmentation = testing::hsmm_chain<S>({0});
    empty.emissions = {{}, 0, 1};
    DurationOccupancies none;
    none.states = 1;
    none.offsets = {0};
    EXPECT_EQ(error_of([&] { empty.states(none); }), invalid_values);
}

// About 2^49 cells: refused before anything of that size is allocated. The score tables carry
// only their shapes, which is all the checks before the allocation read.
TYPED_TEST(DurationOccupancy, TableAllocFail) {
    using S = TypeParam;
    const std::uint64_t frames = testing::two_to(31) - 1, positions = testing::two_to(18);
    auto model = testing::duration_model<S>({{2, 1}});
    {
        const auto edit = model.edit();
        edit.durations()[0].maximum_duration = 2;
    }
    auto segmentation = SegmentationData<S>::create(1, positions);
    for (std::uint64_t k = 0; k < positions; ++k) {
        segmentation.boundaries[k] = std::int32_t((k + 1) * frames / positions);
    }
    const StateScoreTable<S> shape{{}, frames, positions};
    const HsmmScoreTables<S> tables{shape, shape, {}, {}};
    EXPECT_EQ(error_of([&] {
                  duration_occupancies_with(model, segmentation, shape, tables, tables, S(0), {});
              }),
              "duration occupancy allocation failed");
}

}  // namespace
}  // namespace tarvek
