#pragma once
// The Python expectation classes: `HsmmExpectationF32/F64` and `GeometricExpectationF32/F64`,
// plain holders of one utterance's posteriors (durations or transitions, state occupancies, one
// mixture-posterior table per stream) and the radius or slope of their window. Nothing is
// checked here; the statistics' `collect_hsmm` and `collect_geometric` check them at use.

#include <span>
#include <string>
#include <vector>

#include "core/inference/duration_occupancy.hpp"
#include "core/training/expectation.hpp"
#include "core/inference/mixture_occupancy.hpp"
#include "core/inference/occupancy.hpp"
#include "core/inference/score_table.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

template <Scalar S>
struct HsmmExpectationValue {
    DurationOccupancies durations;
    StateScoreTable<S> states;
    std::vector<MixtureOccupancies> mixtures;
    S state_radius = 0;

    HsmmExpectation<S> view() const {
        return {durations, states, std::span<const MixtureOccupancies>(mixtures), state_radius};
    }
};

template <Scalar S>
struct GeometricExpectationValue {
    TransitionOccupancies transitions;
    StateScoreTable<S> states;
    std::vector<MixtureOccupancies> mixtures;
    S pruning_slope = 0;

    GeometricExpectation<S> view() const {
        return {transitions, states, std::span<const MixtureOccupancies>(mixtures), pruning_slope};
    }
};

template <Scalar S>
struct HsmmExpectationClass {
    using Value = HsmmExpectationValue<S>;
    static std::string name() { return std::string("HsmmExpectation") + Precision<S>::suffix; }
    static void define(ClassBuilder<HsmmExpectationClass>& c);
};

template <Scalar S>
struct GeometricExpectationClass {
    using Value = GeometricExpectationValue<S>;
    static std::string name() { return std::string("GeometricExpectation") + Precision<S>::suffix; }
    static void define(ClassBuilder<GeometricExpectationClass>& c);
};

}  // namespace tarvek::py
