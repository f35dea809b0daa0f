#include "core/hsmm_durations.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/hsmm.hpp"
#include "hsmm_test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::duration_log_density;
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
DurationParameters<S> law(double mean, double variance, std::int32_t minimum = -1,
                          std::int32_t maximum = -1) {
    DurationParameters<S> duration;
    duration.mean = static_cast<S>(mean);
    duration.variance = static_cast<S>(variance);
    duration.minimum_duration = minimum;
    duration.maximum_duration = maximum;
    return duration;
}

template <Scalar S>
OwnedPreparedModelParameters<S> prepared_model(ModelParameters<S> model, std::uint64_t cache,
                                               S weight, S temperature,
                                               std::vector<std::uint64_t> states) {
    PreparationOptions<S> options;
    options.duration_cache_length = cache;
    options.duration_weight = weight;
    options.temperature = temperature;
    return prepare_owned_duration_states(std::move(model), options,
                                         std::span<const std::uint64_t>(states));
}

TYPED_TEST(HsmmDurations, OptionDefaultsAndRowLengths) {
    using S = TypeParam;
    const HsmmOptions<S> defaults;
    EXPECT_EQ(defaults.temperature, S(1));
    EXPECT_EQ(defaults.duration_weight, S(1));
    EXPECT_EQ(defaults.state_radius, S(5));
    EXPECT_EQ(defaults.duration_extra, 30u);
    EXPECT_EQ(defaults.duration_extra_factor, S(1));

    // max(trunc(2·10 + 30), 4 + 2·1) = 50; a maximum M leaves durations up to M − 1.
    EXPECT_EQ(duration_limit(10, law<S>(4, 1), defaults), 50u);
    EXPECT_EQ(duration_limit(10, law<S>(4, 1, -1, 3), defaults), 3u);
    auto capped = duration_model<S>({{4, 1}});
    capped.durations[0].maximum_duration = 3;
    const auto row =
        prepare_hsmm_durations_with(capped, hsmm_chain<S>({10}), 10, 1, defaults, false)[0];
    ASSERT_EQ(row.size(), 3u);  // durations 1 and 2 only
    EXPECT_EQ(row[0], log_zero<S>);
    EXPECT_EQ(duration_limit(10, law<S>(4, 1, -1, 1), defaults), 1u);
    EXPECT_EQ(duration_limit(10, law<S>(4, 1, -1, 0), defaults), 50u);  // 0 is no maximum
    EXPECT_EQ(duration_limit(5, law<S>(100, 100), defaults), 120u);     // trunc(max(40, 120))

    HsmmOptions<S> bare;
    bare.duration_extra = 0;
    bare.duration_extra_factor = S(0.5);
    EXPECT_EQ(duration_limit(3, law<S>(-50, 1), bare), 4u);  // trunc(1.5 · 3) = 4
    EXPECT_EQ(duration_limit(0, law<S>(-50, 1), bare), 0u);  // never below 0
    bare.duration_extra = ~std::uint64_t{0};
    EXPECT_EQ(duration_limit(0, law<S>(1, 1), bare), ~std::uint64_t{0});  // saturates
}

TYPED_TEST(HsmmDurations, RowsFollowTheDurationLaw) {
    using S = TypeParam;
    const auto model = duration_model<S>({{4, 1}, {2.5, 0.7}});
    const auto chain = hsmm_chain<S>({10, 12});
    HsmmOptions<S> options;
    options.temperature = S(0.8);
    options.duration_weight = S(1.5);

    const auto clamped = prepare_hsmm_durations_with(model, chain, 12, 2, options, true);
    const auto full = prepare_hsmm_durations_with(model, chain, 12, 2, options, false);
    ASSERT_EQ(clamped.size(), 2u);
    EXPECT_EQ(full[0].size(), 50u);     // max(2·10 + 30, 4 + 2)
    EXPECT_EQ(full[1].size(), 34u);     // max(2·2 + 30, ...)
    EXPECT_EQ(clamped[0].size(), 13u);  // T + 1
    EXPECT_EQ(clamped[1].size(), 13u);
    const double tolerance = std::is_same_v<S, float> ? 2e-5 : 1e-12;
    const double laws[2][2] = {{4, 1}, {2.5, 0.7}};
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(full[k][0], log_zero<S>);
        for (std::size_t d = 1; d < full[k].size(); ++d) {
            const double expected =
                duration_log_density(double(d), laws[k][0], laws[k][1], 1.5, 0.8);
            EXPECT_NEAR(full[k][d], expected, tolerance * (1 + std::abs(expected))) << k << d;
            if (d < clamped[k].size()) {
                EXPECT_EQ(bits(clamped[k][d]), bits(full[k][d]));
            }
        }
    }
}

TYPED_TEST(HsmmDurations, MinimumDurationAndTemperature) {
    using S = TypeParam;
    auto model = duration_model<S>({{4, 1}});
    model.durations[0].minimum_duration = 3;
    const auto chain = hsmm_chain<S>({2});
    auto row_at = [&](double temperature) {
        HsmmOptions<S> options;
        options.temperature = static_cast<S>(temperature);
        return prepare_hsmm_durations_with(model, chain, 2, 1, options, false)[0];
    };
    const auto hot = row_at(1);
    EXPECT_EQ(hot[1], log_zero<S>);
    EXPECT_EQ(hot[2], log_zero<S>);
    EXPECT_GT(hot[3], S(-10));
    const auto half = row_at(0.5);
    EXPECT_EQ(half[1], S(-5e14));  // above log zero: still a usable duration
    EXPECT_EQ(half[2], S(-5e14));
    const auto cold = row_at(0);
    EXPECT_EQ(cold[0], log_zero<S>);
    EXPECT_EQ(cold[1], log_zero<S>);
    EXPECT_EQ(cold[2], log_zero<S>);
    for (std::size_t d = 3; d < cold.size(); ++d) EXPECT_EQ(cold[d], S(0)) << d;  // ±0
}

TYPED_TEST(HsmmDurations, PreparedRowsEqualModelRows) {
    using S = TypeParam;
    auto model = duration_model<S>({{4, 1}, {30, 9}});
    model.durations[1].minimum_duration = 2;
    const auto chain = hsmm_chain<S>({10, 25});
    HsmmOptions<S> options;
    options.temperature = S(0.8);
    options.duration_weight = S(1.5);
    // A short cache: most entries are computed on the spot.
    const auto prepared =
        prepared_model(model, 4, options.duration_weight, options.temperature, {0, 1});
    const auto plain = prepare_hsmm_durations_with(model, chain, 25, 2, options, false);
    const auto from_cache = prepare_hsmm_durations_with(model, chain, 25, 2, options, false,
                                                        PreparedHsmmDurations<S>(prepared));
    ASSERT_EQ(plain.size(), from_cache.size());
    for (std::size_t k = 0; k < plain.size(); ++k) {
        ASSERT_EQ(plain[k].size(), from_cache[k].size());
        for (std::size_t d = 0; d < plain[k].size(); ++d) {
            EXPECT_EQ(bits(plain[k][d]), bits(from_cache[k][d])) << k << " " << d;
        }
    }
    const PreparedHsmmDurations<S> lookup(prepared);
    EXPECT_EQ(bits(lookup.log_probability(1, 40)), bits(plain[1][40]));
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
    std::uint64_t frames = 6;
    std::uint64_t states = 2;
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

TYPED_TEST(HsmmDurations, CheckOrder) {
    using S = TypeParam;
    const auto prepared =
        prepared_model(duration_model<S>({{3, 1}, {3, 1}}), 8, S(1), S(1), {0, 1});
    const auto only_first = prepared_model(duration_model<S>({{3, 1}, {3, 1}}), 8, S(1), S(1), {0});
    // Each later step broken as well, to show the earlier one is reported.
    auto broken = [](RowCall<S> call) {
        call.chain.duration_states.pop_back();
        return call;
    };
    struct Case {
        const char* name;
        RowCall<S> call;
        const char* expected;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, const char* expected, auto&& change) {
        RowCall<S> call;
        change(call);
        cases.push_back({name, std::move(call), expected});
    };
    const char* radius = "state pruning radius must be finite and nonnegative";
    const char* preparation = "HSMM temperature and duration weight differ from preparation";
    const char* lengths = "segmentation arrays have inconsistent lengths";
    const char* jumps = "outgoing jumps must terminate with a single delta-1 transition";
    const char* count = "emission and segmentation state counts differ";
    const char* weights = "HSMM weights and duration factor must be finite and nonnegative";
    const char* ordered = "HSMM boundaries must be ordered within the observation";
    const char* final_boundary = "final HSMM boundary must match the frame count";

    add("valid", "no error", [](auto&) {});
    add("negative zero radius", "no error", [](auto& c) { c.options.state_radius = S(-0.0); });
    add("NaN radius", radius, [&](auto& c) {
        c = broken(c);
        c.prepared = &prepared;
        c.options.temperature = S(2);
        c.options.state_radius = S(nan);
    });
    add("negative radius", radius, [](auto& c) { c.options.state_radius = S(-1); });
    add("temperature one step off", preparation, [&](auto& c) {
        c = broken(c);
        c.prepared = &prepared;
        c.options.temperature = std::nextafter(S(1), S(2));
    });
    add("duration weight differs", preparation, [&](auto& c) {
        c.prepared = &prepared;
        c.options.duration_weight = S(0.5);
    });
    add("lengths", lengths, [&](auto& c) {
        c = broken(c);
        c.chain.outgoing[0].clear();
        c.states = 3;
    });
    add("jumps", jumps, [](auto& c) {
        c.chain.outgoing[1] = {{1, S(1)}, {1, S(1)}};
        c.states = 3;
    });
    add("state count", count, [](auto& c) {
        c.states = 3;
        c.options.temperature = S(nan);
    });
    add("negative temperature", weights, [](auto& c) {
        c.options.temperature = S(-1);
        c.chain.boundaries[0] = -1;
    });
    add("infinite duration weight", weights, [](auto& c) { c.options.duration_weight = S(inf); });
    add("NaN extra factor", weights, [](auto& c) { c.options.duration_extra_factor = S(nan); });
    add("negative zero weights", "no error", [](auto& c) {
        c.options.temperature = S(-0.0);
        c.options.duration_weight = S(-0.0);
        c.options.duration_extra_factor = S(-0.0);
    });
    add("extra unchecked before boundaries", ordered, [](auto& c) {
        c.options.duration_extra = ~std::uint64_t{0};
        c.chain.boundaries[0] = 7;
    });
    add("descending boundary", ordered, [](auto& c) { c.chain.boundaries = {4, 3}; });
    add("negative boundary", ordered, [](auto& c) { c.chain.boundaries = {-1, 6}; });
    add("boundary beyond frames", ordered, [](auto& c) { c.chain.boundaries = {3, 7}; });
    add("empty segments", "no error", [](auto& c) { c.chain.boundaries = {6, 6}; });
    add("negative duration state", "negative duration state", [](auto& c) {
        c.chain.duration_states[0] = -1;
        c.chain.boundaries[1] = 2;
    });
    add("duration state out of range", "duration state is out of range",
        [](auto& c) { c.chain.duration_states[1] = 2; });
    const char* law_message = "HSMM duration requires a finite mean and positive variance";
    add("NaN mean", law_message, [](auto& c) { c.model.durations[1].mean = S(nan); });
    add("zero variance", law_message, [](auto& c) { c.model.durations[1].variance = S(0); });
    add("infinite variance", law_message, [](auto& c) { c.model.durations[0].variance = S(inf); });
    add("missing preparation", "prepared duration state is out of range", [&](auto& c) {
        c.prepared = &only_first;
        c.chain.boundaries = {3, 5};  // the final boundary is checked afterwards
    });
    add("missing preparation, no duration to look up", "no error", [&](auto& c) {
        c.prepared = &only_first;
        c.model.durations[1].maximum_duration = 1;
    });
    add("final boundary", final_boundary, [](auto& c) { c.chain.boundaries = {3, 5}; });
    add("no positions, no frames", "no error", [](auto& c) {
        c.chain = hsmm_chain<S>({});
        c.frames = 0;
        c.states = 0;
    });
    add("no positions, some frames", final_boundary, [](auto& c) {
        c.chain = hsmm_chain<S>({});
        c.states = 0;
    });
    for (const Case& c : cases) EXPECT_EQ(c.call.run(), c.expected) << c.name;
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

    RowCall<S> wide_law;
    wide_law.model.durations[1].mean = S(1e30);
    EXPECT_EQ(wide_law.run(), failed);
    wide_law.options.duration_extra = ~std::uint64_t{0};
    EXPECT_EQ(wide_law.run(), failed);
}

// The passes given a segmentation build its transitions before anything else; given a graph
// they start with the options.
TYPED_TEST(HsmmDurations, PassesCheckTransitionsFirst) {
    using S = TypeParam;
    const auto model = duration_model<S>({{3, 1}, {3, 1}});
    auto chain = hsmm_chain<S>({3, 6});
    const auto graph = build_transitions(chain);
    chain.outgoing[0].insert(chain.outgoing[0].begin(), {2, S(nan)});
    const auto emissions = testing::table_of<S>(6, 2, [](auto, auto) { return -1.0; });
    HsmmOptions<S> options;
    options.state_radius = S(nan);
    const char* weight = "transition weights must be finite and nonnegative";
    const char* radius = "state pruning radius must be finite and nonnegative";
    EXPECT_EQ(error_of([&] { search_hsmm(model, chain, emissions, options, false); }), weight);
    EXPECT_EQ(error_of([&] { viterbi_hsmm_with(model, chain, emissions, options); }), weight);
    EXPECT_EQ(error_of([&] { backward_hsmm_with(model, chain, emissions, options); }), weight);
    EXPECT_EQ(error_of([&] { search_hsmm(model, graph, emissions, options, true); }), radius);
    EXPECT_EQ(error_of([&] { backward_hsmm_with(model, graph, emissions, options); }), radius);
    // The rows alone do not look at jump weights.
    options.state_radius = S(1);
    EXPECT_EQ(error_of([&] { prepare_hsmm_durations_with(model, chain, 6, 2, options, true); }),
              "no error");
}

}  // namespace
}  // namespace tarvek
