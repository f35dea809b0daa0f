#include "core/inference/hsmm_durations.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "inference/hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::duration_model;
using testing::error_of;
using testing::hsmm_chain;
using testing::two_to;

template <class S>
class HsmmDurations : public ::testing::Test {};
TYPED_TEST_SUITE(HsmmDurations, testing::Scalars);

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

template <Scalar S>
OwnedPreparedModelParameters<S> prepared(std::vector<std::uint64_t> states) {
    return prepare_owned_duration_states(duration_model<S>({{3, 1}, {3, 1}}),
                                         PreparationOptions<S>{8, S(1), S(1)},
                                         std::span<const std::uint64_t>(states));
}

TYPED_TEST(HsmmDurations, DefaultsAndRowLengths) {
    using S = TypeParam;
    const HsmmOptions<S> defaults;
    EXPECT_EQ(defaults, (HsmmOptions<S>{S(1), S(1), S(5), 30, S(1)}));
    HsmmOptions<S> bare{S(1), S(1), S(5), 0, S(0.5)};
    struct Row {
        std::int32_t length;
        DurationParameters<S> law;
        const HsmmOptions<S>& options;
        std::uint64_t expected;
    };
    for (const Row& row : std::vector<Row>{
             {10, {S(4), S(1)}, defaults, 50},         // max(trunc(2·10 + 30), 4 + 2·1)
             {10, {S(4), S(1), -1, 3}, defaults, 3},   // maximum M: durations up to M − 1
             {10, {S(4), S(1), -1, 0}, defaults, 50},  // 0 is no maximum
             {5, {S(100), S(100)}, defaults, 120},     // trunc(max(40, 120))
             {3, {S(-50), S(1)}, bare, 4},             // trunc(1.5 · 3)
             {0, {S(-50), S(1)}, bare, 0}}) {          // never below 0
        EXPECT_EQ(duration_limit(row.length, row.law, row.options), row.expected) << row.length;
    }
    bare.duration_extra = ~std::uint64_t{0};
    EXPECT_EQ(duration_limit(0, DurationParameters<S>{S(1), S(1)}, bare), ~std::uint64_t{0});
}

// Rows against the duration law, clamped to T + 1 and unclamped; a minimum at temperatures
// 1, 0.5 (above log zero: still usable) and 0 (every other entry ±0).
TYPED_TEST(HsmmDurations, RowsFollowTheDurationLaw) {
    using S = TypeParam;
    auto model = duration_model<S>({{4, 1}, {2.5, 0.7}, {4, 1}});
    {
        const auto edit = model.edit();
        edit.durations()[2].minimum_duration = 3;
    }
    const auto chain = hsmm_chain<S>({10, 12, 12});
    HsmmOptions<S> options{S(0.8), S(1.5)};
    const auto clamped = prepare_hsmm_durations_with(model, chain, 12, 3, options, true);
    const auto full = prepare_hsmm_durations_with(model, chain, 12, 3, options, false);
    EXPECT_EQ(full[0].size(), 50u);
    EXPECT_EQ(full[1].size(), 34u);
    EXPECT_EQ(clamped[0].size(), 13u);
    const double tolerance = std::is_same_v<S, float> ? 2e-5 : 1e-12;
    const double laws[3][2] = {{4, 1}, {2.5, 0.7}, {4, 1}};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(full[k][0], log_zero<S>);
        for (std::size_t d = 1; d < full[k].size(); ++d) {
            const double expected =
                k == 2 && d < 3
                    ? 0.8 * -1e15
                    : testing::duration_log_density(double(d), laws[k][0], laws[k][1], 1.5, 0.8);
            EXPECT_NEAR(full[k][d], expected, tolerance * (1 + std::abs(expected))) << k << d;
            if (d < 13) {
                EXPECT_EQ(bits(clamped[k][d]), bits(full[k][d]));
            }
        }
    }
    options.temperature = S(0.5);
    EXPECT_EQ(prepare_hsmm_durations_with(model, chain, 12, 3, options, false)[2][2], S(-5e14));
    options.temperature = S(0);
    const auto cold = prepare_hsmm_durations_with(model, chain, 12, 3, options, false)[2];
    for (std::size_t d = 0; d < cold.size(); ++d) EXPECT_EQ(cold[d], d < 3 ? log_zero<S> : S(0));
}

TYPED_TEST(HsmmDurations, PreparedLookupRefusals) {
    using S = TypeParam;
    const auto both = prepared<S>({0, 1});
    const PreparedHsmmDurations<S> lookup(both);
    EXPECT_EQ(error_of([&] { lookup.log_probability(2, 1); }),
              "prepared duration state is out of range");
    EXPECT_EQ(error_of([&] { lookup.log_probability(0, two_to(31)); }),
              "duration exceeds the legacy frame range");
}

// Everything one call of the row builder takes; each case changes what it needs.
template <Scalar S>
struct RowCall {
    ModelParameters<S> model = duration_model<S>({{3, 1}, {3, 1}});
    SegmentationData<S> chain = hsmm_chain<S>({3, 6});
    std::uint64_t frames = 6, states = 2;
    HsmmOptions<S> options;
    bool clamp = false;
    const OwnedPreparedModelParameters<S>* prepared = nullptr;

    std::string run() const {
        return error_of([&] {
            prepare_hsmm_durations_with(
                model, chain, frames, states, options, clamp,
                prepared ? PreparedHsmmDurations<S>(*prepared) : PreparedHsmmDurations<S>());
        });
    }
};

// Each failing row also breaks a later step, to show the earlier one is reported.
TYPED_TEST(HsmmDurations, CheckOrder) {
    using S = TypeParam;
    using Call = RowCall<S>;
    const auto both = prepared<S>({0, 1});
    const auto first = prepared<S>({0});
    const char* radius = "state pruning radius must be finite and nonnegative";
    const char* preparation = "HSMM temperature and duration weight differ from preparation";
    const char* weights = "HSMM weights and duration factor must be finite and nonnegative";
    const char* ordered = "HSMM boundaries must be ordered within the observation";
    const char* law = "HSMM duration requires a finite mean and positive variance";
    const char* final_boundary = "final HSMM boundary must match the frame count";
    const char* ok = "no error";
    const char* lengths = "segmentation arrays have inconsistent lengths";
    const char* jumps = "outgoing jumps must terminate with a single delta-1 transition";
    const char* count = "emission and segmentation state counts differ";
    const char* missing = "prepared duration state is out of range";
    const std::vector<std::pair<const char*, std::function<void(Call&)>>> rows{
        {ok, [](Call&) {}},
        {ok, [](Call& c) { c.options.state_radius = S(-0.0); }},
        {radius,
         [&](Call& c) {
             c.prepared = &both, c.options = {S(2), S(1), S(nan)};
         }},
        {radius, [](Call& c) { c.options.state_radius = S(-1), c.states = 3; }},
        {preparation, [&](Call& c) { c.prepared = &both, c.options.duration_weight = S(0.5); }},
        {preparation,
         [&](Call& c) {
             c.prepared = &both, c.options.temperature = std::nextafter(S(1), S(2));
             c.chain.duration_states.pop_back();
         }},
        {lengths, [](Call& c) { c.chain.duration_states.pop_back(), c.chain.outgoing[0].clear(); }},
        {jumps,
         [](Call& c) {
             c.chain.outgoing[1] = {{1, S(1)}, {1, S(1)}}, c.states = 3;
         }},
        {count, [](Call& c) { c.states = 3, c.options.temperature = S(nan); }},
        {weights, [](Call& c) { c.options.temperature = S(-1), c.chain.boundaries[0] = -1; }},
        {weights, [](Call& c) { c.options.duration_weight = S(inf); }},
        {weights, [](Call& c) { c.options.duration_extra_factor = S(nan); }},
        {ok,
         [](Call& c) {
             c.options = {S(-0.0), S(-0.0), S(5), 30, S(-0.0)};
         }},
        // The extra frames are never checked.
        {ordered, [](Call& c) { c.options.duration_extra = ~0ull, c.chain.boundaries[0] = 7; }},
        {ordered,
         [](Call& c) {
             c.chain.boundaries = {4, 3};
         }},
        {ordered,
         [](Call& c) {
             c.chain.boundaries = {-1, 6};
         }},
        {ok,
         [](Call& c) {
             c.chain.boundaries = {6, 6};
         }},
        {"negative duration state",
         [](Call& c) { c.chain.duration_states[0] = -1, c.chain.boundaries[1] = 2; }},
        {"duration state is out of range", [](Call& c) { c.chain.duration_states[1] = 2; }},
        {law,
         [](Call& c) {
             const auto edit = c.model.edit();
             edit.durations()[1].mean = S(nan);
         }},
        {law,
         [](Call& c) {
             const auto edit = c.model.edit();
             edit.durations()[1].variance = S(0);
         }},
        {law,
         [](Call& c) {
             const auto edit = c.model.edit();
             edit.durations()[0].variance = S(inf);
         }},
        {missing,
         [&](Call& c) {
             c.prepared = &first, c.chain.boundaries = {3, 5};
         }},
        // A row of one entry looks nothing up.
        {ok,
         [&](Call& c) {
             c.prepared = &first;
             const auto edit = c.model.edit();
             edit.durations()[1].maximum_duration = 1;
         }},
        {final_boundary,
         [](Call& c) {
             c.chain.boundaries = {3, 5};
         }},
        {ok, [](Call& c) { c.chain = hsmm_chain<S>({}), c.frames = c.states = 0; }},
        {final_boundary, [](Call& c) { c.chain = hsmm_chain<S>({}), c.states = 0; }},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        Call call;
        rows[i].second(call);
        EXPECT_EQ(call.run(), rows[i].first) << "row " << i;
    }
}

TYPED_TEST(HsmmDurations, RowAboveCapAllocFail) {
    using S = TypeParam;
    const char* failed = "HSMM allocation failed";
    RowCall<S> call;
    call.options.duration_extra = two_to(31);  // 2^31 + 2·3 entries
    EXPECT_EQ(call.run(), failed);
    call.chain.boundaries[1] = 7;  // position 0's row fails before position 1 is looked at
    EXPECT_EQ(call.run(), failed);
    call.chain.boundaries[1] = 6;
    call.clamp = true;  // clamped to T + 1
    EXPECT_EQ(call.run(), "no error");
    RowCall<S> wide;
    {
        const auto edit = wide.model.edit();
        edit.durations()[1].mean = S(1e30);
    }
    EXPECT_EQ(wide.run(), failed);
    wide.options.duration_extra = ~std::uint64_t{0};
    EXPECT_EQ(wide.run(), failed);
}

// Given a segmentation the passes build its transitions before anything else; given a graph
// they start with the options. The rows alone never look at jump weights.
TYPED_TEST(HsmmDurations, PassesCheckTransitionsFirst) {
    using S = TypeParam;
    const auto model = duration_model<S>({{3, 1}, {3, 1}});
    auto chain = hsmm_chain<S>({3, 6});
    const auto graph = build_transitions(chain);
    chain.outgoing[0].insert(chain.outgoing[0].begin(), {2, S(nan)});
    const auto emissions = testing::table_of<S>(6, 2, [](auto, auto) { return -1.0; });
    HsmmOptions<S> options{S(1), S(1), S(nan)};
    const char* weight = "transition weights must be finite and nonnegative";
    const char* radius = "state pruning radius must be finite and nonnegative";
    EXPECT_EQ(error_of([&] { search_hsmm(model, chain, emissions, options, false); }), weight);
    EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, options); }), weight);
    EXPECT_EQ(error_of([&] { backward_hsmm_with(model, chain, emissions, options); }), weight);
    EXPECT_EQ(error_of([&] { search_hsmm(model, graph, emissions, options, true); }), radius);
    EXPECT_EQ(error_of([&] { backward_hsmm_with(model, graph, emissions, options); }), radius);
    options.state_radius = S(1);
    EXPECT_EQ(error_of([&] { prepare_hsmm_durations_with(model, chain, 6, 2, options, true); }),
              "no error");
}

}  // namespace
}  // namespace tarvek
