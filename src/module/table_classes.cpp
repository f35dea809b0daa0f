// Score, occupancy, log-emission and density tables from Python: construction with the shape
// and value checks of each kind, the shared readers, and the reductions over score tables.

#include "module/table_classes.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/inference/emission_density.hpp"
#include "core/inference/occupancy.hpp"
#include "core/inference/score_reductions.hpp"
#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"
#include "module/kit/registry.hpp"

namespace tarvek::py {
namespace {

// A table from Python's parts: at least one frame and one state, and exactly frames × states
// values that each pass `accepted`; any failure throws `refused`.
template <Scalar S, class Accepted>
StateScoreTable<S> table_from(std::uint64_t frames, std::uint64_t states, TableVector<S>&& values,
                              Accepted accepted, const ModelError& refused) {
    const auto cells = checked_mul(frames, states);
    if (frames == 0 || states == 0 || !cells || *cells != values.size()) throw refused;
    for (const S value : values) {
        if (!accepted(value)) throw refused;
    }
    return StateScoreTable<S>{std::move(values), frames, states};
}

// The members every table class shares.
template <Scalar S, class Class>
void define_table_readers(ClassBuilder<Class>& c) {
    using Value = StateScoreTable<S>;
    c.property("frames", [](const Value& table) { return table.frames; });
    c.property("states", [](const Value& table) { return table.states; });
    c.method("get(frame, state)",
             [](const Value& table, std::uint64_t frame, std::uint64_t state) -> std::optional<S> {
                 if (frame >= table.frames || state >= table.states) return std::nullopt;
                 return table(frame, state);
             });
    c.method("values()", [](const Value& table) -> const TableVector<S>& { return table.values; });
    c.cloned();
}

}  // namespace

template <Scalar S>
void StateScoresClass<S>::define(ClassBuilder<StateScoresClass>& c) {
    c.constructor("(frames, states, values)",
                  [](std::uint64_t frames, std::uint64_t states, TableVector<S> values) {
                      return table_from(
                          frames, states, std::move(values), [](S) { return true; },
                          ModelError("state score table requires positive matching dimensions"));
                  });
    define_table_readers<S>(c);
    c.method("total_log_probability()",
             [](const Value& forward) { return total_log_probability(forward); });
    c.method("total_through_state(backward, state)",
             [](const Value& forward, const Shared<StateScoresClass>& backward,
                std::uint64_t state) { return total_through_state(forward, *backward, state); });
    c.method("geometric_occupancies(backward, total, pruning_slope)",
             [](const Value& forward, const Shared<StateScoresClass>& backward, S total,
                S pruning_slope) {
                 return make_object<StateOccupanciesClass<S>>(
                     geometric_occupancies(forward, *backward, total, pruning_slope));
             });
    c.method("backward_log_probability(emissions)",
             [](const Value& backward, const Shared<LogEmissionsClass<S>>& emissions) {
                 return backward_log_probability(backward, *emissions);
             });
}

template <Scalar S>
void StateOccupanciesClass<S>::define(ClassBuilder<StateOccupanciesClass>& c) {
    c.constructor("(frames, states, values)", [](std::uint64_t frames, std::uint64_t states,
                                                 TableVector<S> values) {
        return table_from(
            frames, states, std::move(values), [](S value) { return is_finite_nonnegative(value); },
            ModelError("occupancies require positive matching "
                       "dimensions and finite nonnegative values"));
    });
    define_table_readers<S>(c);
}

template <Scalar S>
void LogEmissionsClass<S>::define(ClassBuilder<LogEmissionsClass>& c) {
    c.constructor("(frames, states, values)", [](std::uint64_t frames, std::uint64_t states,
                                                 TableVector<S> values) {
        return table_from(
            frames, states, std::move(values), [](S value) { return std::isfinite(value); },
            ModelError("log emission table requires positive "
                       "matching dimensions and finite values"));
    });
    define_table_readers<S>(c);
    c.method("probabilities()", [](const Value& log_emissions) {
        Value densities = log_emissions;
        to_emission_densities(densities);
        return make_object<EmissionDensitiesClass<S>>(std::move(densities));
    });
}

template <Scalar S>
void EmissionDensitiesClass<S>::define(ClassBuilder<EmissionDensitiesClass>& c) {
    define_table_readers<S>(c);
}

template struct StateScoresClass<float>;
template struct StateScoresClass<double>;
template struct StateOccupanciesClass<float>;
template struct StateOccupanciesClass<double>;
template struct LogEmissionsClass<float>;
template struct LogEmissionsClass<double>;
template struct EmissionDensitiesClass<float>;
template struct EmissionDensitiesClass<double>;

namespace {

const Registration registration{[] {
    register_class<StateScoresClass<float>>();
    register_class<StateScoresClass<double>>();
    register_class<StateOccupanciesClass<float>>();
    register_class<StateOccupanciesClass<double>>();
    register_class<LogEmissionsClass<float>>();
    register_class<LogEmissionsClass<double>>();
    register_class<EmissionDensitiesClass<float>>();
    register_class<EmissionDensitiesClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
