#pragma once
// The Python frames × states table classes: `StateScoresF32/F64` (log scores of the geometric
// passes, with the reductions that turn forward and backward tables into totals and
// occupancies), `StateOccupanciesF32/F64`, `LogEmissionsF32/F64` (the emission argument of
// every inference method) and `EmissionDensitiesF32/F64`. All four hold a `StateScoreTable`;
// inference, emission scoring and the expectations take and return these classes.

#include <string>

#include "core/inference/score_table.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

template <Scalar S>
struct StateScoresClass {
    using Value = StateScoreTable<S>;
    static std::string name() { return std::string("StateScores") + Precision<S>::suffix; }
    static void define(ClassBuilder<StateScoresClass>& c);
};

template <Scalar S>
struct StateOccupanciesClass {
    using Value = StateScoreTable<S>;
    static std::string name() { return std::string("StateOccupancies") + Precision<S>::suffix; }
    static void define(ClassBuilder<StateOccupanciesClass>& c);
};

template <Scalar S>
struct LogEmissionsClass {
    using Value = StateScoreTable<S>;
    static std::string name() { return std::string("LogEmissions") + Precision<S>::suffix; }
    static void define(ClassBuilder<LogEmissionsClass>& c);
};

// No constructor: only `probabilities()` and the emission-density methods make them.
template <Scalar S>
struct EmissionDensitiesClass {
    using Value = StateScoreTable<S>;
    static std::string name() { return std::string("EmissionDensities") + Precision<S>::suffix; }
    static void define(ClassBuilder<EmissionDensitiesClass>& c);
};

}  // namespace tarvek::py
