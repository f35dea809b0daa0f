#include "core/update.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using testing::bits;
using testing::error_of;
using testing::two_to;

template <class S>
class Update : public ::testing::Test {};
TYPED_TEST_SUITE(Update, testing::Scalars);

// Every value of a model as bits, so that "unchanged" means bit-identical.
template <class S>
std::vector<std::uint64_t> model_bits(const ModelParameters<S>& model) {
    std::vector<std::uint64_t> out;
    const auto add = [&](const std::vector<S>& values) {
        out.push_back(values.size());
        for (const S v : values) out.push_back(bits(v));
    };
    for (const auto& stream : model.streams) {
        out.push_back(bits(stream.weight));
        for (const auto& mixture : stream.emissions) {
            add(mixture.weights);
            add(mixture.means);
            add(mixture.variances);
            add(mixture.variance_floors);
            out.push_back(mixture.dimensions);
        }
    }
    for (const auto& d : model.durations) {
        for (const S v : {d.mean, d.variance, d.variance_floor}) out.push_back(bits(v));
        for (const auto c : {d.minimum_duration, d.maximum_duration, d.fixed_mean_duration}) {
            out.push_back(static_cast<std::uint32_t>(c));
        }
    }
    return out;
}

template <class S>
std::vector<std::uint64_t> mixture_bits(const GaussianMixtureParameters<S>& mixture) {
    ModelParameters<S> model;
    model.streams.resize(1);
    model.streams[0].emissions.push_back(mixture);
    return model_bits(model);
}

template <class S>
std::vector<std::uint64_t> duration_bits(const DurationParameters<S>& duration) {
    ModelParameters<S> model;
    model.durations.push_back(duration);
    return model_bits(model);
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

// Statistics that re-estimate component 0 to weight 0.5, means 3 and 1, variances 1 and 2.
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
    return UpdateOptions<S>{duration_floor, emission_floor, geometric};
}

template <class S>
DurationSufficientStatistics<S> triple(S value_sum, S squared_sum, S occupancy) {
    return DurationSufficientStatistics<S>{value_sum, squared_sum, occupancy};
}

// One step of a check order: a change to valid inputs and the message it must give even when
// every later step's change is applied too.
template <class... Args>
struct Step {
    std::string expected;
    std::function<void(Args&...)> change;
};

// For each step, applies its change and all later ones (latest first) to fresh inputs and
// expects the step's message.
template <class... Args, class Run>
void expect_check_order(const std::vector<Step<Args...>>& steps, Run make_and_run) {
    for (std::size_t n = 0; n < steps.size(); ++n) {
        SCOPED_TRACE("step " + std::to_string(n + 1) + ": " + steps[n].expected);
        std::vector<std::function<void(Args & ...)>> changes;
        for (std::size_t k = steps.size(); k-- > n;) changes.push_back(steps[k].change);
        EXPECT_EQ(make_and_run(changes), steps[n].expected);
    }
}

// ---- options ----------------------------------------------------------------------------

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

// ---- Gaussian mixtures --------------------------------------------------------------------

TYPED_TEST(Update, GaussianWorkedValuesAndFloors) {
    using S = TypeParam;
    struct Case {
        S option_floor;
        S own_floor;
        S variance0;
    };
    // The estimate 1, raised by whichever floor is larger.
    for (const Case c :
         {Case{0, 0, 1}, Case{S(1.5), 0, S(1.5)}, Case{S(1.5), 2, 2}, Case{-0.0, -0.0, 1}}) {
        auto mixture = old_mixture<S>();
        mixture.variance_floors[0] = c.own_floor;
        EXPECT_TRUE(update(mixture, worked_statistics<S>(), floors<S>(0, c.option_floor)));
        EXPECT_EQ(mixture.weights[0], S(0.5));
        EXPECT_EQ(mixture.means[0], S(3));
        EXPECT_EQ(mixture.variances[0], c.variance0);
        EXPECT_EQ(mixture.means[1], S(1));
        EXPECT_EQ(mixture.variances[1], std::max(S(2), c.option_floor));
        // Component 1 had no occupancy: its old values stay and the weights sum to 1.25.
        EXPECT_EQ(mixture.weights[1], S(0.75));
        EXPECT_EQ(mixture.means[2], S(-3));
        EXPECT_EQ(mixture.variances[3], S(10));
        EXPECT_EQ(mixture.variance_floors[0], c.own_floor);
        EXPECT_EQ(mixture.dimensions, 2u);
    }
}

TYPED_TEST(Update, GaussianNegativeEstimateMeetsTheFloors) {
    using S = TypeParam;
    auto g = worked_statistics<S>();
    g.weighted_squared_sums[0] = 2;  // 1 − 9 = −8
    auto mixture = old_mixture<S>();
    ASSERT_TRUE(update(mixture, g, floors<S>(0, 0)));
    EXPECT_EQ(bits(mixture.variances[0]), bits(S(0)));
    ASSERT_TRUE(update(mixture, g, floors<S>(0, S(0.5))));
    EXPECT_EQ(mixture.variances[0], S(0.5));
}

TYPED_TEST(Update, GaussianOccupancyThreshold) {
    using S = TypeParam;
    // A state occupancy of 5e-8 changes nothing, whatever the components hold.
    auto g = worked_statistics<S>();
    g.state_occupancy = S(5e-8);
    g.component_occupancies = {std::numeric_limits<S>::max(), 3};
    auto mixture = old_mixture<S>();
    const auto before = mixture_bits(mixture);
    EXPECT_FALSE(update(mixture, g, floors<S>(0, 0)));
    EXPECT_EQ(mixture_bits(mixture), before);

    // The threshold itself counts as occupied, the next value below it as none, for the state
    // and for a component alike.
    const S at = S(1e-7);
    const S below = std::nextafter(at, S(0));
    g = worked_statistics<S>();
    g.state_occupancy = below;
    EXPECT_FALSE(update(mixture, g, floors<S>(0, 0)));
    g.state_occupancy = at;
    g.component_occupancies = {below, at};
    g.weighted_sums = {1, 1, 0, 0};
    g.weighted_squared_sums = {1, 1, 0, 0};
    EXPECT_TRUE(update(mixture, g, floors<S>(0, 0)));
    EXPECT_EQ(mixture.weights[0], S(0.25));  // component 0 kept its weight
    EXPECT_EQ(mixture.weights[1], S(1));
    EXPECT_EQ(mixture.means[2], S(0));
}

TYPED_TEST(Update, GaussianOverflowsLeaveTheMixtureUnchanged) {
    using S = TypeParam;
    const S huge = std::numeric_limits<S>::max();
    const S tiny = S(1e-7);
    const std::vector<std::pair<std::function<void(GaussianSufficientStatistics<S>&)>, std::string>>
        cases{
            {[&](auto& g) {
                 g.component_occupancies[1] = huge;
                 g.state_occupancy = tiny;
             },
             "mixture weight update overflows"},
            {[&](auto& g) {
                 g.component_occupancies[1] = tiny;
                 g.weighted_sums[3] = huge;
             },
             "Gaussian update overflows"},
            {[&](auto& g) {
                 g.component_occupancies[1] = tiny;
                 g.weighted_squared_sums[2] = huge;
             },
             "Gaussian update overflows"},
    };
    for (const auto& [change, expected] : cases) {
        // Component 0 is re-estimated first; the failure in component 1 drops it too.
        auto g = worked_statistics<S>();
        change(g);
        auto mixture = old_mixture<S>();
        const auto before = mixture_bits(mixture);
        EXPECT_EQ(error_of([&] { update(mixture, g, floors<S>(0, 0)); }), expected);
        EXPECT_EQ(mixture_bits(mixture), before);
    }
}

TYPED_TEST(Update, GaussianCheckOrder) {
    using S = TypeParam;
    using M = GaussianMixtureParameters<S>;
    using G = GaussianSufficientStatistics<S>;
    using O = UpdateOptions<S>;
    const S nan = std::numeric_limits<S>::quiet_NaN();
    const std::vector<Step<M, G, O>> steps{
        {"mixture count and dimensions must be positive", [](M& m, G&, O&) { m.weights.clear(); }},
        {"dimensions exceed the legacy format", [](M& m, G&, O&) { m.dimensions = two_to(31); }},
        {"parameter lengths do not match dimensions", [](M& m, G&, O&) { m.means.pop_back(); }},
        {"Gaussian statistics dimensions differ from the model",
         [](M&, G& g, O&) { g.component_occupancies.push_back(0); }},
        {"Gaussian statistics contain invalid values",
         [nan](M&, G& g, O&) { g.weighted_sums[1] = nan; }},
        {"variance floors must be finite and nonnegative",
         [](M&, G&, O& o) { o.duration_variance_floor = S(-1); }},
        {"emission variance floors must be finite and nonnegative",
         [nan](M& m, G&, O&) { m.variance_floors[3] = nan; }},
    };
    expect_check_order<M, G, O>(steps, [](const auto& changes) {
        M mixture = old_mixture<S>();
        G g = worked_statistics<S>();
        g.state_occupancy = 0;  // the checks run even when nothing would be re-estimated
        O options = floors<S>(0, 0);
        for (const auto& change : changes) change(mixture, g, options);
        const auto before = mixture_bits(mixture);
        const std::string message = error_of([&] { update(mixture, g, options); });
        EXPECT_EQ(mixture_bits(mixture), before);
        return message;
    });
}

// ---- durations ----------------------------------------------------------------------------

TYPED_TEST(Update, DurationExplicitWorkedValues) {
    using S = TypeParam;
    struct Case {
        std::int32_t fixed_mean;
        S option_floor;
        S own_floor;
        S mean;
        S variance;
    };
    for (const Case c : {Case{-1, S(4.9), 0, 5, 5}, Case{-1, 7, 0, 5, 7}, Case{-1, 7, 8, 5, 8},
                         Case{4, S(4.9), 0, 4, 6}, Case{4, 0, S(6.5), 4, S(6.5)}}) {
        DurationParameters<S> duration{S(1), S(2), 3, 40, c.fixed_mean, c.own_floor};
        EXPECT_TRUE(update(duration, triple<S>(10, 60, 2), floors<S>(c.option_floor, 0)));
        EXPECT_EQ(duration.mean, c.mean);
        EXPECT_EQ(duration.variance, c.variance);
        // Constraints and the floor are never re-estimated.
        EXPECT_EQ(duration.minimum_duration, 3);
        EXPECT_EQ(duration.maximum_duration, 40);
        EXPECT_EQ(duration.fixed_mean_duration, c.fixed_mean);
        EXPECT_EQ(duration.variance_floor, c.own_floor);
    }
}

TYPED_TEST(Update, DurationGeometricWorkedValues) {
    using S = TypeParam;
    const auto geometric = floors<S>(S(0.5), 0, true);
    DurationParameters<S> duration;
    EXPECT_TRUE(update(duration, triple<S>(S(0.5), 0, 2), geometric));
    EXPECT_EQ(duration.mean, S(4));
    EXPECT_EQ(duration.variance, S(4));
    EXPECT_TRUE(update(duration, triple<S>(3, 0, 2), geometric));
    EXPECT_EQ(duration.mean, S(1));
    EXPECT_EQ(duration.variance, S(1));
    // The mean before the floors: a larger floor raises the variance only.
    EXPECT_TRUE(update(duration, triple<S>(S(0.5), 0, 2), floors<S>(9, 0, true)));
    EXPECT_EQ(duration.mean, S(4));
    EXPECT_EQ(duration.variance, S(9));

    const auto before = duration_bits(duration);
    EXPECT_EQ(error_of([&] { update(duration, triple<S>(0, 5, 2), geometric); }),
              "geometric update requires positive transition occupancy");
    EXPECT_EQ(duration_bits(duration), before);
}

TYPED_TEST(Update, DurationWithoutOccupancyIsUnchanged) {
    using S = TypeParam;
    for (const bool geometric : {false, true}) {
        DurationParameters<S> duration{S(3), S(2), 1, 9, 2, S(0.5)};
        const auto before = duration_bits(duration);
        EXPECT_FALSE(update(duration, triple<S>(0, 0, 0), floors<S>(0, 0, geometric)));
        EXPECT_FALSE(update(duration, triple<S>(7, 50, S(5e-8)), floors<S>(0, 0, geometric)));
        EXPECT_EQ(duration_bits(duration), before);
    }
}

TYPED_TEST(Update, DurationOverflowsLeaveTheDurationUnchanged) {
    using S = TypeParam;
    const S huge = std::numeric_limits<S>::max();
    const S smallest = std::numeric_limits<S>::denorm_min();
    struct Case {
        DurationSufficientStatistics<S> statistics;
        bool geometric;
        std::int32_t fixed_mean;
    };
    for (const Case c : {Case{triple<S>(huge, 0, S(0.5)), false, -1},   // the mean
                         Case{triple<S>(1, huge, S(0.5)), false, -1},   // the variance
                         Case{triple<S>(1, huge, S(0.5)), false, 3},    // about a fixed mean
                         Case{triple<S>(smallest, 0, 1), true, -1}}) {  // 1 / m rounds to inf
        DurationParameters<S> duration{S(3), S(2), -1, -1, c.fixed_mean, 0};
        const auto before = duration_bits(duration);
        EXPECT_EQ(error_of([&] { update(duration, c.statistics, floors<S>(0, 0, c.geometric)); }),
                  "duration update overflows");
        EXPECT_EQ(duration_bits(duration), before);
    }
}

TYPED_TEST(Update, DurationCheckOrder) {
    using S = TypeParam;
    using D = DurationParameters<S>;
    using T = DurationSufficientStatistics<S>;
    using O = UpdateOptions<S>;
    const S inf = std::numeric_limits<S>::infinity();
    const std::vector<Step<D, T, O>> steps{
        {"duration statistics must be finite and nonnegative",
         [](D&, T& t, O&) { t.occupancy = -1; }},
        {"variance floors must be finite and nonnegative",
         [inf](D&, T&, O& o) { o.emission_variance_floor = inf; }},
        {"duration variance floor must be finite and nonnegative",
         [](D& d, T&, O&) { d.variance_floor = S(-1e-30); }},
    };
    expect_check_order<D, T, O>(steps, [](const auto& changes) {
        D duration{S(3), S(2), -1, -1, -1, 0};
        T statistics{};  // no occupancy: the checks still run
        O options = floors<S>(0, 0);
        for (const auto& change : changes) change(duration, statistics, options);
        const auto before = duration_bits(duration);
        const std::string message = error_of([&] { update(duration, statistics, options); });
        EXPECT_EQ(duration_bits(duration), before);
        return message;
    });
    // Each of the three sums is checked.
    const S nan = std::numeric_limits<S>::quiet_NaN();
    for (const T bad : {triple<S>(nan, 0, 1), triple<S>(0, inf, 1), triple<S>(0, 0, -inf)}) {
        D duration;
        EXPECT_EQ(error_of([&] { update(duration, bad, floors<S>(0, 0)); }),
                  "duration statistics must be finite and nonnegative");
    }
}

// ---- streams and models -------------------------------------------------------------------

// Two streams (two emissions of old_mixture; one emission of one component in one dimension)
// and two states.
template <class S>
ModelParameters<S> old_model() {
    ModelParameters<S> model;
    model.streams.resize(2);
    model.streams[0].emissions = {old_mixture<S>(), old_mixture<S>()};
    model.streams[0].weight = S(0.5);
    GaussianMixtureParameters<S> single(1, 1);
    single.means = {S(0.5)};
    single.variances = {S(1.5)};
    model.streams[1].emissions = {single};
    model.durations = {DurationParameters<S>{S(3), S(1), -1, -1, -1, 0},
                       DurationParameters<S>{S(4), S(2), -1, -1, -1, 0}};
    return model;
}

template <class S>
ModelSufficientStatistics<S> occupied_statistics(const ModelParameters<S>& model) {
    auto statistics = ModelSufficientStatistics<S>::from_model(model);
    statistics.streams[0].emissions = {worked_statistics<S>(), worked_statistics<S>()};
    auto& single = statistics.streams[1].emissions[0];
    single.state_occupancy = 2;
    single.component_occupancies = {2};
    single.weighted_sums = {2};
    single.weighted_squared_sums = {10};
    statistics.durations = {triple<S>(10, 60, 2), triple<S>(S(0.5), 0, 2)};
    return statistics;
}

TYPED_TEST(Update, ModelReestimatesEveryStreamAndDuration) {
    using S = TypeParam;
    auto model = old_model<S>();
    auto statistics = occupied_statistics(model);
    statistics.streams[0].emissions[1].state_occupancy = 0;  // emission 1 keeps everything
    update(model, statistics, floors<S>(S(4.5), 0));
    EXPECT_EQ(model.streams[0].emissions[0].means[0], S(3));
    EXPECT_EQ(model.streams[0].emissions[0].weights[0], S(0.5));
    EXPECT_EQ(mixture_bits(model.streams[0].emissions[1]), mixture_bits(old_mixture<S>()));
    EXPECT_EQ(model.streams[0].weight, S(0.5));
    EXPECT_EQ(model.streams[1].emissions[0].means[0], S(1));
    EXPECT_EQ(model.streams[1].emissions[0].variances[0], S(4));
    EXPECT_EQ(model.durations[0].mean, S(5));
    EXPECT_EQ(model.durations[0].variance, S(5));
    // Explicit mode reads state 1's sums as durations: mean 0.25, variance max(−1/16, 4.5).
    EXPECT_EQ(model.durations[1].mean, S(0.25));
    EXPECT_EQ(model.durations[1].variance, S(4.5));
}

TYPED_TEST(Update, ModelFailureInTheLastDurationChangesNothing) {
    using S = TypeParam;
    auto model = old_model<S>();
    auto statistics = occupied_statistics(model);
    statistics.durations[1] = triple<S>(0, 0, 2);
    const auto before = model_bits(model);
    EXPECT_EQ(error_of([&] { update(model, statistics, floors<S>(0, 0, true)); }),
              "geometric update requires positive transition occupancy");
    EXPECT_EQ(model_bits(model), before);

    // A bad emission floor in the last stream, after the first was re-estimated.
    model.streams[1].emissions[0].variance_floors[0] = S(-1);
    const auto before_floor = model_bits(model);
    EXPECT_EQ(error_of([&] { update(model, occupied_statistics(model), floors<S>(0, 0)); }),
              "emission variance floors must be finite and nonnegative");
    EXPECT_EQ(model_bits(model), before_floor);
}

TYPED_TEST(Update, NegativeEmissionFloorFailsEveryOperationWithoutOccupancy) {
    using S = TypeParam;
    auto model = old_model<S>();
    const auto statistics = ModelSufficientStatistics<S>::from_model(model);  // all zero
    const auto options = floors<S>(0, S(-1));
    const std::string expected = "variance floors must be finite and nonnegative";
    const auto before = model_bits(model);
    EXPECT_EQ(error_of([&] { update(model, statistics, options); }), expected);
    EXPECT_EQ(error_of([&] { update(model.streams[0], statistics.streams[0], options); }),
              expected);
    EXPECT_EQ(error_of([&] {
                  update(model.streams[0].emissions[0], statistics.streams[0].emissions[0],
                         options);
              }),
              expected);
    EXPECT_EQ(error_of([&] { update(model.durations[0], statistics.durations[0], options); }),
              expected);
    EXPECT_EQ(model_bits(model), before);
}

TYPED_TEST(Update, StreamCheckOrderAndTransaction) {
    using S = TypeParam;
    using P = StreamParameters<S>;
    using T = StreamSufficientStatistics<S>;
    using O = UpdateOptions<S>;
    const std::vector<Step<P, T, O>> steps{
        {"stream statistics emission count differs", [](P&, T& t, O&) { t.emissions.pop_back(); }},
        {"variance floors must be finite and nonnegative",
         [](P&, T&, O& o) { o.emission_variance_floor = S(-1); }},
        // The first emission is re-estimated before the second fails.
        {"Gaussian statistics dimensions differ from the model",
         [](P& p, T&, O&) {
             p.emissions.back().dimensions = 1;
             p.emissions.back().means.resize(2);
             p.emissions.back().variances.resize(2);
             p.emissions.back().variance_floors.resize(2);
         }},
    };
    expect_check_order<P, T, O>(steps, [](const auto& changes) {
        auto model = old_model<S>();
        P stream = model.streams[0];
        T statistics = occupied_statistics(model).streams[0];
        O options = floors<S>(0, 0);
        for (const auto& change : changes) change(stream, statistics, options);
        model.streams[0] = stream;
        const auto before = model_bits(model);
        const std::string message =
            error_of([&] { update(model.streams[0], statistics, options); });
        EXPECT_EQ(model_bits(model), before);
        return message;
    });
}

TYPED_TEST(Update, ModelCheckOrder) {
    using S = TypeParam;
    using P = ModelParameters<S>;
    using T = ModelSufficientStatistics<S>;
    using O = UpdateOptions<S>;
    const std::vector<Step<P, T, O>> steps{
        {"statistics stream or duration counts differ from the model",
         [](P&, T& t, O&) { t.durations.pop_back(); }},
        {"statistics emission counts differ from the model",
         [](P&, T& t, O&) { t.streams[0].emissions.pop_back(); }},
        {"Gaussian statistics contain invalid values",
         [](P&, T& t, O&) { t.streams[0].emissions[1].state_occupancy = S(-1); }},
        {"duration statistics must be finite and nonnegative",
         [](P&, T& t, O&) { t.durations[0].squared_sum = S(-1); }},
        {"variance floors must be finite and nonnegative",
         [](P&, T&, O& o) { o.duration_variance_floor = std::numeric_limits<S>::quiet_NaN(); }},
        {"Gaussian update overflows",
         [](P&, T& t, O&) {
             auto& g = t.streams[0].emissions[1];
             g.state_occupancy = 1;
             g.component_occupancies[0] = S(1e-7);
             g.weighted_sums[0] = std::numeric_limits<S>::max();
         }},
        {"duration update overflows",
         [](P&, T& t, O&) {
             t.durations[1] = triple<S>(std::numeric_limits<S>::max(), 0, S(0.5));
         }},
    };
    expect_check_order<P, T, O>(steps, [](const auto& changes) {
        P model = old_model<S>();
        T statistics = occupied_statistics(model);
        O options = floors<S>(0, 0);
        for (const auto& change : changes) change(model, statistics, options);
        const auto before = model_bits(model);
        const std::string message = error_of([&] { update(model, statistics, options); });
        EXPECT_EQ(model_bits(model), before);
        return message;
    });
}

}  // namespace
}  // namespace tarvek
