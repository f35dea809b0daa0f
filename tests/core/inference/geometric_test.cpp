#include "core/inference/geometric.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/inference/emission.hpp"
#include "inference/geometric_test_support.hpp"
#include "test_support.hpp"

namespace tarvek {
namespace {

using geometric_testing::chain_model;
using geometric_testing::chain_segmentation;
using geometric_testing::PlainHmm;
using geometric_testing::random_table;
using testing::error_of;

template <class S>
class Geometric : public ::testing::Test {};
TYPED_TEST_SUITE(Geometric, testing::Scalars);

// Everything one pass takes.
template <class S>
struct Call {
    ModelParameters<S> model;
    SegmentationData<S> segmentation;
    StateScoreTable<S> emissions;
    S temperature = 1;
    S slope = 1;

    StateScoreTable<S> forward() const {
        return forward_geometric(model, segmentation, emissions, temperature, slope);
    }
    GeometricPath<S> viterbi() const {
        return viterbi_geometric(model, segmentation, emissions, temperature, slope);
    }
    StateScoreTable<S> backward() const {
        return backward_geometric(model, segmentation, emissions, temperature, slope);
    }
};

template <class S>
Call<S> random_call(std::mt19937_64& random, const std::vector<double>& means, std::uint64_t frames,
                    S slope) {
    const std::uint64_t positions = means.size();
    return {chain_model<S>(means), chain_segmentation<S>(positions, frames),
            random_table<S>(random, frames, positions, -6.0, 0.5), S(1), slope};
}

// Log zero in the library, -inf in the reference.
template <class S>
void expect_close(S actual, double expected, double tolerance) {
    if (expected == geometric_testing::minus_infinity) {
        EXPECT_LE(actual, log_zero<S> / 2);
    } else {
        EXPECT_NEAR(actual, expected, tolerance);
    }
}

// Forward and backward against the plain HMM, cell by cell (the table log-add truncates and
// cuts off): first over emissions scored from the chain model with a band covering every
// cell, then over random tables and narrower bands.
TYPED_TEST(Geometric, PassesFollowThePlainHmm) {
    using S = TypeParam;
    std::mt19937_64 random(5);
    struct Case {
        std::vector<double> means;
        std::uint64_t frames;
        double slope;
    };
    for (const Case& c :
         {Case{{2, 3, 4}, 8, 1.0}, Case{{1.0, 4, 2.5, 7, 3, 5}, 23, 1.0},
          Case{{1.0, 4, 2.5, 7, 3, 5}, 23, 0.5}, Case{{1.0, 4, 2.5, 7, 3, 5}, 23, 0.34}}) {
        auto call = random_call<S>(random, c.means, c.frames, static_cast<S>(c.slope));
        if (c.means.size() == 3) {
            std::normal_distribution<double> normal(1.0, 1.0);
            const std::size_t dimension = 1;
            auto observation = ObservationData<S>::create(c.frames, std::span(&dimension, 1));
            for (auto& value : observation.streams[0].values)
                value = static_cast<S>(normal(random));
            call.emissions = emission_log_probabilities(call.model, observation, call.segmentation,
                                                        EmissionPruningMode::none, S(1), S(0));
        }
        const PlainHmm hmm(c.means, call.emissions,
                           LinearBand::half_width_of(call.slope, c.means.size()));
        const auto alpha = call.forward();
        const auto beta = call.backward();
        const auto alpha_ref = hmm.forward();
        const auto beta_ref = hmm.backward();
        for (std::uint64_t t = 0; t < c.frames; ++t) {
            for (std::uint64_t s = 0; s < c.means.size(); ++s) {
                SCOPED_TRACE(::testing::Message() << c.slope << " " << t << " " << s);
                expect_close(alpha(t, s), alpha_ref[t][s], 1e-3 * (t + 1));
                expect_close(beta(t, s), beta_ref[t][s], 1e-3 * (c.frames - t));
            }
        }
    }
}

// All monotone paths from (0, 0) to (T − 1, S − 1), by the frames at which they advance.
template <class S>
void best_of_all_paths(const PlainHmm& hmm, std::vector<std::uint64_t>& path, std::uint64_t t,
                       double score, double& best_score, std::vector<std::uint64_t>& best_path) {
    const std::uint64_t s = path.back();
    if (t == hmm.frames) {
        if (s == hmm.positions - 1 && score > best_score) {
            best_score = score;
            best_path = path;
        }
        return;
    }
    for (const std::uint64_t next : {s, s + 1}) {
        if (next >= hmm.positions) continue;
        const double move = next == s ? hmm.stay[s] : hmm.advance[s];
        path.push_back(next);
        best_of_all_paths<S>(hmm, path, t + 1, score + move + hmm.emissions[t][next], best_score,
                             best_path);
        path.pop_back();
    }
}

TYPED_TEST(Geometric, ViterbiEqualsExhaustiveSearch) {
    using S = TypeParam;
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> mean(0.8, 6.0);
    for (int trial = 0; trial < 20; ++trial) {
        const std::vector<double> means = {mean(random), mean(random), mean(random), mean(random)};
        const std::uint64_t frames = 6 + trial % 6;
        const auto call = random_call<S>(random, means, frames, S(1));
        const PlainHmm hmm(means, call.emissions, means.size());
        std::vector<std::uint64_t> path = {0};
        std::vector<std::uint64_t> best_path;
        double best_score = geometric_testing::minus_infinity;
        best_of_all_paths<S>(hmm, path, 1, hmm.emissions[0][0], best_score, best_path);

        const GeometricPath<S> result = call.viterbi();
        EXPECT_EQ(result.path, best_path) << trial;
        const double tolerance = std::is_same_v<S, double> ? 1e-9 : 1e-4 * frames;
        EXPECT_NEAR(result.log_probability, best_score, tolerance);
        EXPECT_EQ(result.log_probability, result.scores(frames - 1, means.size() - 1));
        // ends[s] is the first frame after position s.
        for (std::uint64_t s = 0; s < means.size(); ++s) {
            const std::uint64_t first_after =
                std::upper_bound(best_path.begin(), best_path.end(), s) - best_path.begin();
            EXPECT_EQ(result.ends[s], first_after);
        }
    }
}

TYPED_TEST(Geometric, ViterbiStayWinsTie) {
    using S = TypeParam;
    // Mean 2: staying and advancing weigh the same, and the two paths into (2, 1) tie.
    Call<S> call{chain_model<S>({2, 2}), chain_segmentation<S>(2, 3), {}, S(1), S(1)};
    call.emissions = {TableVector<S>(6, S(-1)), 3, 2};
    const auto result = call.viterbi();
    EXPECT_EQ(result.path, (std::vector<std::uint64_t>{0, 1, 1}));
    EXPECT_EQ(result.ends, (std::vector<std::uint64_t>{1, 3}));
}

TYPED_TEST(Geometric, OneFrame) {
    using S = TypeParam;
    Call<S> call{chain_model<S>({3}), chain_segmentation<S>(1, 1), {{S(-2.5)}, 1, 1}, S(1), S(0)};
    EXPECT_EQ(call.forward().values, std::vector<S>{S(-2.5)});
    const auto path = call.viterbi();
    EXPECT_EQ(path.path, std::vector<std::uint64_t>{0});
    EXPECT_EQ(path.ends, std::vector<std::uint64_t>{1});
    EXPECT_EQ(path.log_probability, S(-2.5));
    EXPECT_EQ(call.backward().values, std::vector<S>{S(0)});
    // Several positions: the path cannot reach the last one.
    std::mt19937_64 random(1);
    call = random_call<S>(random, {2, 3, 4}, 1, S(1));
    EXPECT_EQ(call.forward().values,
              (std::vector<S>{call.emissions.values[0], log_zero<S>, log_zero<S>}));
    EXPECT_EQ(call.backward().values, std::vector<S>(3, S(0)));
    EXPECT_EQ(error_of([&] { call.viterbi(); }), "best path does not begin in the first state");
}

// Emission scoring never makes tables without cells, but such tables must not be read.
TYPED_TEST(Geometric, TablesWithoutCells) {
    using S = TypeParam;
    Call<S> no_frames{chain_model<S>({2}), chain_segmentation<S>(1, 1), {}, S(1), S(1)};
    no_frames.emissions.states = 1;
    Call<S> no_positions{chain_model<S>({2}), chain_segmentation<S>(0, 1), {}, S(1), S(1)};
    no_positions.emissions.frames = 3;
    for (const Call<S>* call : {&no_frames, &no_positions}) {
        EXPECT_TRUE(call->forward().values.empty());
        EXPECT_TRUE(call->backward().values.empty());
        EXPECT_EQ(error_of([&] { call->viterbi(); }),
                  "no complete path survives the inference constraints");
    }
}

TYPED_TEST(Geometric, EmptyBand) {
    using S = TypeParam;
    std::mt19937_64 random(2);
    // 0.24 · 4 < 1: w = 0.
    const auto call = random_call<S>(random, {2, 3, 4, 5}, 6, S(0.24));
    const auto alpha = call.forward();
    const auto beta = call.backward();
    for (std::uint64_t t = 0; t < 6; ++t) {
        for (std::uint64_t s = 0; s < 4; ++s) {
            const bool first_cell = t == 0 && s == 0;
            EXPECT_EQ(alpha(t, s), first_cell ? call.emissions(0, 0) : log_zero<S>);
            EXPECT_EQ(beta(t, s), t == 5 ? S(0) : log_zero<S>);
        }
    }
    EXPECT_EQ(error_of([&] { call.viterbi(); }),
              "no complete path survives the inference constraints");
}

TYPED_TEST(Geometric, StayAndAdvanceWeights) {
    using S = TypeParam;
    const auto model = chain_model<S>({1.0, 0.5, 2, 4});
    const auto segmentation = chain_segmentation<S>(4, 4);
    const auto emissions = StateScoreTable<S>::filled(4, 4, ModelError("unused"));
    const auto rounded = [](double value) {
        return std::is_same_v<S, float> ? static_cast<double>(static_cast<float>(value)) : value;
    };
    const Search<S> search(model, segmentation, emissions, S(2), S(1));
    const double p = 1.0 / 1.01;
    for (std::uint64_t s : {0, 1}) {
        EXPECT_EQ(search.stay()[s], 2.0 * std::log(rounded(1.0 - p)));
        EXPECT_EQ(search.advance()[s], 2.0 * std::log(rounded(p)));
    }
    EXPECT_EQ(search.stay()[2], search.advance()[2]);
    EXPECT_EQ(search.advance()[2], 2.0 * std::log(0.5));
    EXPECT_EQ(search.stay()[3], 2.0 * std::log(0.75));
    EXPECT_EQ(search.band_width(), 4u);

    const Search<S> cold(model, segmentation, emissions, S(0), S(1));
    EXPECT_EQ(std::vector(cold.stay().begin(), cold.stay().end()), std::vector(4, 0.0));
    EXPECT_EQ(std::vector(cold.advance().begin(), cold.advance().end()), std::vector(4, 0.0));
}

// Each case breaks one check and every later one; its own message must win.
TYPED_TEST(Geometric, CheckOrder) {
    using S = TypeParam;
    using Break = std::function<void(Call<S>&)>;
    const Break lengths = [](Call<S>& c) { c.segmentation.duration_states.push_back(0); };
    const Break jumps = [](Call<S>& c) { c.segmentation.outgoing[1].back().delta = 2; };
    const Break states = [](Call<S>& c) { c.emissions.states = 4; };
    const Break temperature = [](Call<S>& c) { c.temperature = S(-1); };
    const Break duration = [](Call<S>& c) { c.segmentation.duration_states[0] = 3; };
    const Break mean = [](Call<S>& c) {
        const auto edit = c.model.edit();
        edit.durations()[1].mean = S(NAN);
    };
    const char* bounds = "inference temperature and pruning slope must be finite and nonnegative";
    const std::pair<std::vector<Break>, const char*> cases[] = {
        {{lengths, jumps, states, temperature, duration, mean},
         "segmentation arrays have inconsistent lengths"},
        {{jumps, states, temperature, duration, mean},
         "outgoing jumps must terminate with a single delta-1 transition"},
        {{states, temperature, duration, mean},
         "emission state count differs from the segmentation"},
        {{temperature, duration, mean}, bounds},
        {{[](Call<S>& c) { c.temperature = S(NAN); }}, bounds},
        {{[](Call<S>& c) { c.slope = S(-1e-30); }}, bounds},
        {{[](Call<S>& c) { c.slope = S(INFINITY); }}, bounds},
        {{duration, mean}, "duration state is out of range"},
        {{[](Call<S>& c) { c.segmentation.duration_states[0] = -1; }},
         "duration state is out of range"},
        {{mean}, "duration mean must be finite"},
        {{[](Call<S>& c) {
             const auto edit = c.model.edit();
             edit.durations()[2].mean = -S(INFINITY);
         }},
         "duration mean must be finite"},
        {{[](Call<S>& c) { c.temperature = S(-0.0); }}, "no error"}};
    std::mt19937_64 random(9);
    for (const auto& [breaks, expected] : cases) {
        auto call = random_call<S>(random, {2, 3, 4}, 5, S(1));
        for (const Break& b : breaks) b(call);
        EXPECT_EQ(error_of([&] { call.forward(); }), expected);
        EXPECT_EQ(error_of([&] { call.backward(); }), expected);
        EXPECT_EQ(error_of([&] { call.viterbi(); }), expected);
    }
    const auto call = random_call<S>(random, {2, 3, 4}, 5, S(-0.0));
    EXPECT_EQ(error_of([&] { call.forward(); }), "no error");
}

TYPED_TEST(Geometric, TableAllocFail) {
    using S = TypeParam;
    // A table shape of 2^47 cells (2^50 bytes or more) is refused before anything is filled.
    Call<S> call{chain_model<S>({2}), chain_segmentation<S>(1, 1), {}, S(1), S(1)};
    call.emissions.frames = testing::two_to(47);
    call.emissions.states = 1;
    EXPECT_EQ(error_of([&] { call.forward(); }), "inference allocation failed");
    EXPECT_EQ(error_of([&] { call.backward(); }), "inference allocation failed");
    EXPECT_EQ(error_of([&] { call.viterbi(); }), "inference allocation failed");
}

}  // namespace
}  // namespace tarvek
