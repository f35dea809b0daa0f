#include "core/training/update.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;

template <class S>
class Update : public ::testing::Test {};
TYPED_TEST_SUITE(Update, testing::Scalars);

// Every value as bits, so that "unchanged" means bit-identical.
template <class S>
void append_bits(std::vector<std::uint64_t>& out, const GaussianMixtureParameters<S>& m) {
    for (const auto* values : {&m.weights, &m.means, &m.variances, &m.variance_floors}) {
        out.push_back(values->size());
        for (const S v : *values) out.push_back(bits(v));
    }
    out.push_back(m.dimensions);
}
template <class S>
void append_bits(std::vector<std::uint64_t>& out, const DurationParameters<S>& d) {
    out.insert(out.end(), {bits(d.mean), bits(d.variance), bits(d.variance_floor)});
    for (const std::int32_t c : {d.minimum_duration, d.maximum_duration, d.fixed_mean_duration}) {
        out.push_back(std::uint32_t(c));
    }
}
template <class S>
void append_bits(std::vector<std::uint64_t>& out, const StreamParameters<S>& stream) {
    out.push_back(bits(stream.weight));
    for (const auto& mixture : stream.emissions) append_bits(out, mixture);
}
template <class S>
void append_bits(std::vector<std::uint64_t>& out, const ModelParameters<S>& model) {
    for (const auto& stream : model.streams) append_bits(out, stream);
    for (const auto& duration : model.durations) append_bits(out, duration);
}
template <class P>
std::vector<std::uint64_t> bits_of(const P& value) {
    std::vector<std::uint64_t> out;
    append_bits(out, value);
    return out;
}

// Two components over two dimensions with distinct old values.
template <class S>
GaussianMixtureParameters<S> old_mixture() {
    GaussianMixtureParameters<S> mixture(2, 2);
    mixture.weights = {S(0.25), S(0.75)};
    mixture.means = {S(-1), S(-2), S(-3), S(-4)};
    mixture.variances = {S(7), S(8), S(9), S(10)};
    return mixture;
}

// Re-estimates component 0 to weight 0.5, means 3 and 1, variances 1 and 2; component 1 has
// no occupancy.
template <class S>
GaussianSufficientStatistics<S> worked_statistics() {
    GaussianSufficientStatistics<S> g(2, 2);
    g.state_occupancy = 4;
    g.component_occupancies = {2, 0};
    g.weighted_sums = {6, 2, 100, 100};
    g.weighted_squared_sums = {20, 6, 100, 100};
    return g;
}

template <class S>
UpdateOptions<S> floors(S duration_floor, S emission_floor, bool geometric = false) {
    return {duration_floor, emission_floor, geometric};
}

// Two streams (two emissions of old_mixture; one of one component in one dimension) and two
// durations, with statistics that re-estimate all but emission 1 of stream 0.
template <class S>
ModelParameters<S> old_model() {
    ModelParameters<S> model;
    {
        const auto edit = model.edit();
        edit.streams().resize(2);
        edit.streams()[0].emissions = {old_mixture<S>(), old_mixture<S>()};
        edit.streams()[0].weight = S(0.5);
        edit.streams()[1].emissions = {GaussianMixtureParameters<S>(1, 1)};
        edit.streams()[1].emissions[0].means = {S(0.5)};
        edit.streams()[1].emissions[0].variances = {S(1.5)};
        edit.durations() = {{S(3), S(1)}, {S(4), S(2)}};
    }
    return model;
}
template <class S>
ModelSufficientStatistics<S> occupied_statistics(const ModelParameters<S>& model) {
    auto statistics = ModelSufficientStatistics<S>::from_model(model);
    const auto edit = statistics.edit();
    edit.streams()[0].emissions = {worked_statistics<S>(), worked_statistics<S>()};
    edit.streams()[0].emissions[1].state_occupancy = 0;
    auto& single = edit.streams()[1].emissions[0];
    single.state_occupancy = 2;
    single.component_occupancies = {2};
    single.weighted_sums = {2};
    single.weighted_squared_sums = {10};
    edit.durations() = {{10, 60, 2}, {S(0.5), 0, 2}};
    return statistics;
}

template <class P, class T, class O>
using Steps = std::vector<std::pair<std::string, std::function<void(P&, T&, O&)>>>;

// For each step, applies its change and every later one to fresh inputs; the step's message
// must win and the parameters stay bit-identical.
template <class P, class T, class O>
void check_order(const Steps<P, T, O>& steps, const P& fresh, const T& fresh_statistics,
                 const O& fresh_options) {
    for (std::size_t n = 0; n < steps.size(); ++n) {
        SCOPED_TRACE(steps[n].first);
        P value = fresh;
        T statistics = fresh_statistics;
        O options = fresh_options;
        for (std::size_t k = steps.size(); k-- > n;) steps[k].second(value, statistics, options);
        const auto before = bits_of(value);
        EXPECT_EQ(error_of([&] { update(value, statistics, options); }), steps[n].first);
        EXPECT_EQ(bits_of(value), before);
    }
}

TYPED_TEST(Update, OptionsFromDurationMode) {
    using S = TypeParam;
    EXPECT_FALSE(UpdateOptions<S>::from_duration_mode(0, S(1), S(2)).geometric);
    const auto geometric = UpdateOptions<S>::from_duration_mode(1, S(-1), S(2));
    EXPECT_TRUE(geometric.geometric);
    EXPECT_EQ(geometric.duration_variance_floor, S(-1));  // floors are checked at use
    EXPECT_EQ(geometric.emission_variance_floor, S(2));
    for (const std::uint32_t mode : {2u, 0xFFFFFFFFu}) {
        EXPECT_EQ(error_of([&] { UpdateOptions<S>::from_duration_mode(mode, S(0), S(0)); }),
                  "invalid duration update mode");
    }
}

// The worked values, the variance raised by whichever floor is larger; component 1 keeps its
// old values, so the weights sum to 1.25.
TYPED_TEST(Update, GaussianWorkedValuesAndFloors) {
    using S = TypeParam;
    for (const auto& [option_floor, own_floor, variance0] : {std::tuple{S(0), S(0), S(1)},
                                                             {S(1.5), S(0), S(1.5)},
                                                             {S(1.5), S(2), S(2)},
                                                             {S(-0.0), S(-0.0), S(1)}}) {
        auto mixture = old_mixture<S>();
        mixture.variance_floors[0] = own_floor;
        EXPECT_TRUE(update(mixture, worked_statistics<S>(), floors<S>(0, option_floor)));
        EXPECT_EQ(mixture.weights, (std::vector<S>{S(0.5), S(0.75)}));
        EXPECT_EQ(mixture.means, (std::vector<S>{S(3), S(1), S(-3), S(-4)}));
        EXPECT_EQ(mixture.variances,
                  (std::vector<S>{variance0, std::max(S(2), option_floor), S(9), S(10)}));
        EXPECT_EQ(mixture.variance_floors[0], own_floor);
    }
    // A negative estimate (1 − 9) meets the floors, or becomes 0 without them.
    auto g = worked_statistics<S>();
    g.weighted_squared_sums[0] = 2;
    auto mixture = old_mixture<S>();
    ASSERT_TRUE(update(mixture, g, floors<S>(0, 0)));
    EXPECT_EQ(bits(mixture.variances[0]), bits(S(0)));
    ASSERT_TRUE(update(mixture, g, floors<S>(0, S(0.5))));
    EXPECT_EQ(mixture.variances[0], S(0.5));
}

// 1e-7 itself counts as occupied, the next value below it as none, for the state (then
// nothing changes, whatever the components hold) and for a component alike.
TYPED_TEST(Update, GaussianOccupancyThreshold) {
    using S = TypeParam;
    const S at = S(1e-7), below = std::nextafter(at, S(0));
    auto mixture = old_mixture<S>();
    const auto before = bits_of(mixture);
    for (const S occupancy : {S(5e-8), below}) {
        auto g = worked_statistics<S>();
        g.state_occupancy = occupancy;
        g.component_occupancies = {std::numeric_limits<S>::max(), 3};
        EXPECT_FALSE(update(mixture, g, floors<S>(0, 0)));
        EXPECT_EQ(bits_of(mixture), before);
    }
    GaussianSufficientStatistics<S> g(2, 2);
    g.state_occupancy = at;
    g.component_occupancies = {below, at};
    g.weighted_sums = g.weighted_squared_sums = {1, 1, 0, 0};
    EXPECT_TRUE(update(mixture, g, floors<S>(0, 0)));
    EXPECT_EQ(mixture.weights, (std::vector<S>{S(0.25), S(1)}));
    EXPECT_EQ(mixture.means, (std::vector<S>{S(-1), S(-2), S(0), S(0)}));
}

TYPED_TEST(Update, GaussianCheckOrderAndOverflows) {
    using S = TypeParam;
    using M = GaussianMixtureParameters<S>;
    using G = GaussianSufficientStatistics<S>;
    using O = UpdateOptions<S>;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    auto empty = worked_statistics<S>();
    empty.state_occupancy = 0;  // the checks run even when nothing would be re-estimated
    check_order<M, G, O>(
        {{"mixture count and dimensions must be positive", [](M& m, G&, O&) { m.weights.clear(); }},
         {"dimensions exceed the legacy format",
          [](M& m, G&, O&) { m.dimensions = testing::two_to(31); }},
         {"parameter lengths do not match dimensions", [](M& m, G&, O&) { m.means.pop_back(); }},
         {"Gaussian statistics dimensions differ from the model",
          [](M&, G& g, O&) { g.component_occupancies.push_back(0); }},
         {"Gaussian statistics contain invalid values",
          [nan](M&, G& g, O&) { g.weighted_sums[1] = nan; }},
         {"variance floors must be finite and nonnegative",
          [](M&, G&, O& o) { o.duration_variance_floor = S(-1); }},
         {"emission variance floors must be finite and nonnegative",
          [nan](M& m, G&, O&) { m.variance_floors[3] = nan; }}},
        old_mixture<S>(), empty, floors<S>(0, 0));
    // Component 0 is re-estimated first; the failure in component 1 drops it too.
    const S huge = std::numeric_limits<S>::max(), tiny = S(1e-7);
    for (const auto& step : Steps<M, G, O>{
             {"mixture weight update overflows",
              [&](M&, G& g, O&) { g.component_occupancies[1] = huge, g.state_occupancy = tiny; }},
             {"Gaussian update overflows",
              [&](M&, G& g, O&) { g.component_occupancies[1] = tiny, g.weighted_sums[3] = huge; }},
             {"Gaussian update overflows", [&](M&, G& g, O&) {
                  g.component_occupancies[1] = tiny, g.weighted_squared_sums[2] = huge;
              }}}) {
        check_order<M, G, O>({step}, old_mixture<S>(), worked_statistics<S>(), floors<S>(0, 0));
    }
}

// Triple (10, 60, 2): mean 5 and variance 5, raised by the larger floor; with the fixed mean
// 4: 16 + (30 − 5 · 8) = 6. Geometric: m = 0.25 gives mean 4, m = 1.5 gives max(1 / 1.5, 1) = 1,
// the variance being the mean before the floors. Constraints and floors are never re-estimated.
TYPED_TEST(Update, DurationWorkedValues) {
    using S = TypeParam;
    struct Row {
        bool geometric;
        std::int32_t fixed_mean;
        S option_floor, own_floor, value_sum, squared_sum, mean, variance;
    };
    for (const Row& r : std::vector<Row>{{false, -1, S(4.9), 0, 10, 60, 5, 5},
                                         {false, -1, 7, 0, 10, 60, 5, 7},
                                         {false, -1, 7, 8, 10, 60, 5, 8},
                                         {false, 4, S(4.9), 0, 10, 60, 4, 6},
                                         {false, 4, 0, S(6.5), 10, 60, 4, S(6.5)},
                                         {true, -1, S(0.5), 0, S(0.5), 0, 4, 4},
                                         {true, -1, S(0.5), 0, 3, 0, 1, 1},
                                         {true, -1, 9, 0, S(0.5), 0, 4, 9}}) {
        DurationParameters<S> duration{S(1), S(2), 3, 40, r.fixed_mean, r.own_floor};
        EXPECT_TRUE(update(duration, {r.value_sum, r.squared_sum, 2},
                           floors<S>(r.option_floor, 0, r.geometric)));
        EXPECT_EQ(bits_of(duration), bits_of(DurationParameters<S>{r.mean, r.variance, 3, 40,
                                                                   r.fixed_mean, r.own_floor}));
    }
    const auto geometric = floors<S>(0, 0, true);
    DurationParameters<S> duration;
    EXPECT_EQ(error_of([&] {
                  update(duration, {0, 5, 2}, geometric);
              }),
              "geometric update requires positive transition occupancy");
    EXPECT_EQ(bits_of(duration), bits_of(DurationParameters<S>{}));
    // No occupancy, in both modes: unchanged and false.
    for (const bool mode : {false, true}) {
        DurationParameters<S> kept{S(3), S(2), 1, 9, 2, S(0.5)};
        EXPECT_FALSE(update(kept, {0, 0, 0}, floors<S>(0, 0, mode)));
        EXPECT_FALSE(update(kept, {7, 50, S(5e-8)}, floors<S>(0, 0, mode)));
        EXPECT_EQ(bits_of(kept), bits_of(DurationParameters<S>{S(3), S(2), 1, 9, 2, S(0.5)}));
    }
}

TYPED_TEST(Update, DurationCheckOrderAndOverflows) {
    using S = TypeParam;
    using D = DurationParameters<S>;
    using T = DurationSufficientStatistics<S>;
    using O = UpdateOptions<S>;
    const S inf = std::numeric_limits<S>::infinity(), nan = std::numeric_limits<S>::quiet_NaN();
    const D fresh{S(3), S(2), -1, -1, -1, 0};
    const char* invalid = "duration statistics must be finite and nonnegative";
    check_order<D, T, O>({{invalid, [](D&, T& t, O&) { t.occupancy = -1; }},
                          {"variance floors must be finite and nonnegative",
                           [inf](D&, T&, O& o) { o.emission_variance_floor = inf; }},
                          {"duration variance floor must be finite and nonnegative",
                           [](D& d, T&, O&) { d.variance_floor = S(-1e-30); }}},
                         fresh, T{}, floors<S>(0, 0));  // no occupancy: the checks still run
    const S huge = std::numeric_limits<S>::max(), smallest = std::numeric_limits<S>::denorm_min();
    const char* overflows = "duration update overflows";
    for (const auto& step : Steps<D, T, O>{
             {invalid,
              [nan](D&, T& t, O&) {
                  t = {nan, 0, 1};
              }},
             {invalid,
              [inf](D&, T& t, O&) {
                  t = {0, inf, 1};
              }},
             {invalid,
              [inf](D&, T& t, O&) {
                  t = {0, 0, -inf};
              }},
             {overflows,
              [&](D&, T& t, O&) {
                  t = {huge, 0, S(0.5)};
              }},                                                        // the mean
             {overflows, [&](D&, T& t, O&) { t = {1, huge, S(0.5)}; }},  // the variance
             {overflows, [&](D& d, T& t, O&) { t = {1, huge, S(0.5)}, d.fixed_mean_duration = 3; }},
             {overflows, [&](D&, T& t, O& o) {
                  t = {smallest, 0, 1}, o.geometric = true;
              }}}) {
        check_order<D, T, O>({step}, fresh, T{}, floors<S>(0, 0));
    }
}

TYPED_TEST(Update, ModelReestimatesEveryStreamAndDuration) {
    using S = TypeParam;
    auto model = old_model<S>();
    update(model, occupied_statistics(model), floors<S>(S(4.5), 0));
    EXPECT_EQ(model.streams[0].emissions[0].means[0], S(3));
    EXPECT_EQ(model.streams[0].emissions[0].weights[0], S(0.5));
    EXPECT_EQ(bits_of(model.streams[0].emissions[1]), bits_of(old_mixture<S>()));
    EXPECT_EQ(model.streams[0].weight, S(0.5));
    EXPECT_EQ(model.streams[1].emissions[0].means[0], S(1));
    EXPECT_EQ(model.streams[1].emissions[0].variances[0], S(4));
    EXPECT_EQ(model.durations[0].mean, S(5));
    EXPECT_EQ(model.durations[0].variance, S(5));
    // Explicit mode reads state 1's sums as durations: mean 0.25, variance max(−1/16, 4.5).
    EXPECT_EQ(model.durations[1].mean, S(0.25));
    EXPECT_EQ(model.durations[1].variance, S(4.5));
}

// A negative emission floor fails every operation, also without any occupancy.
TYPED_TEST(Update, NegativeEmissionFloorFailsEveryOperation) {
    using S = TypeParam;
    auto model = old_model<S>();
    const auto statistics = ModelSufficientStatistics<S>::from_model(model);
    const auto options = floors<S>(0, S(-1));
    const auto before = bits_of(model);
    for (const auto& run : std::vector<std::function<void()>>{
             [&] { update(model, statistics, options); },
             [&] {
                 const auto edit = model.edit();
                 update(edit.streams()[0], statistics.streams[0], options);
             },
             [&] {
                 const auto edit = model.edit();
                 update(edit.streams()[0].emissions[0], statistics.streams[0].emissions[0],
                        options);
             },
             [&] {
                 const auto edit = model.edit();
                 update(edit.durations()[0], statistics.durations[0], options);
             }}) {
        EXPECT_EQ(error_of(run), "variance floors must be finite and nonnegative");
    }
    EXPECT_EQ(bits_of(model), before);
}

// The first emission is re-estimated before the second fails.
TYPED_TEST(Update, StreamCheckOrder) {
    using S = TypeParam;
    using P = StreamParameters<S>;
    using T = StreamSufficientStatistics<S>;
    using O = UpdateOptions<S>;
    check_order<P, T, O>(
        {{"stream statistics emission count differs", [](P&, T& t, O&) { t.emissions.pop_back(); }},
         {"variance floors must be finite and nonnegative",
          [](P&, T&, O& o) { o.emission_variance_floor = S(-1); }},
         {"Gaussian statistics dimensions differ from the model",
          [](P& p, T&, O&) {
              auto& last = p.emissions.back();
              last.dimensions = 1;
              last.means.resize(2), last.variances.resize(2), last.variance_floors.resize(2);
          }}},
        old_model<S>().streams[0], occupied_statistics(old_model<S>()).streams[0], floors<S>(0, 0));
}

// Later steps fail after earlier streams and durations were re-estimated on the copy, the last
// in the last duration.
TYPED_TEST(Update, ModelCheckOrder) {
    using S = TypeParam;
    using P = ModelParameters<S>;
    using T = ModelSufficientStatistics<S>;
    using O = UpdateOptions<S>;
    const S max = std::numeric_limits<S>::max();
    const Steps<P, T, O> steps{
        {"statistics stream or duration counts differ from the model",
         [](P&, T& t, O&) {
             const auto edit = t.edit();
             edit.durations().pop_back();
         }},
        {"statistics emission counts differ from the model",
         [](P&, T& t, O&) {
             const auto edit = t.edit();
             edit.streams()[0].emissions.pop_back();
         }},
        {"Gaussian statistics contain invalid values",
         [](P&, T& t, O&) {
             const auto edit = t.edit();
             edit.streams()[0].emissions[1].state_occupancy = S(-1);
         }},
        {"duration statistics must be finite and nonnegative",
         [](P&, T& t, O&) {
             const auto edit = t.edit();
             edit.durations()[0].squared_sum = S(-1);
         }},
        {"variance floors must be finite and nonnegative",
         [](P&, T&, O& o) { o.duration_variance_floor = std::numeric_limits<S>::quiet_NaN(); }},
        {"Gaussian update overflows",
         [max](P&, T& t, O&) {
             const auto edit = t.edit();
             auto& g = edit.streams()[0].emissions[1];
             g.state_occupancy = 1, g.component_occupancies[0] = S(1e-7), g.weighted_sums[0] = max;
         }},
        {"emission variance floors must be finite and nonnegative",
         [](P& p, T&, O&) {
             const auto edit = p.edit();
             edit.streams()[1].emissions[0].variance_floors[0] = S(-1);
         }},
        {"duration update overflows",
         [max](P&, T& t, O&) {
             const auto edit = t.edit();
             edit.durations()[1] = {max, 0, S(0.5)};
         }},
    };
    const auto model = old_model<S>();
    check_order<P, T, O>(steps, model, occupied_statistics(model), floors<S>(0, 0));
}

}  // namespace
}  // namespace tarvek
