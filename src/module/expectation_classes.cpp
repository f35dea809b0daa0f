// HSMM and geometric expectations from Python: deep copies of one utterance's posteriors and
// the radius or slope of their window, stored as given and read or replaced part by part.

#include "module/expectation_classes.hpp"

#include "module/kit/indexed.hpp"
#include "module/kit/registry.hpp"
#include "module/posterior_classes.hpp"
#include "module/table_classes.hpp"

namespace tarvek::py {

namespace {

// The members both kinds share: the state-occupancy table and the mixture list.
template <Scalar S, class Class>
void define_shared_parts(ClassBuilder<Class>& c) {
    using Value = typename Class::Value;
    c.method("states()", [](const Value& expectation) {
        return make_object<StateOccupanciesClass<S>>(expectation.states);
    });
    c.method("set_states(value)",
             [](Value& expectation, const Shared<StateOccupanciesClass<S>>& value) {
                 assign_copy(expectation.states, *value);
             });
    c.method("mixtures()", [](const Value& expectation) {
        return make_object<MixturePosteriorCollectionClass>(expectation.mixtures);
    });
    c.method("set_mixtures(value)",
             [](Value& expectation, const Shared<MixturePosteriorCollectionClass>& value) {
                 assign_copy(expectation.mixtures, *value);
             });
    c.cloned();
}

}  // namespace

template <Scalar S>
void HsmmExpectationClass<S>::define(ClassBuilder<HsmmExpectationClass>& c) {
    c.constructor("(durations, states, mixtures, state_radius)",
                  [](const Shared<DurationPosteriorsClass>& durations,
                     const Shared<StateOccupanciesClass<S>>& states,
                     const Shared<MixturePosteriorCollectionClass>& mixtures, S state_radius) {
                      return Value{*durations, *states, *mixtures, state_radius};
                  });
    c.method("durations()", [](const Value& expectation) {
        return make_object<DurationPosteriorsClass>(expectation.durations);
    });
    c.method("set_durations(value)",
             [](Value& expectation, const Shared<DurationPosteriorsClass>& value) {
                 assign_copy(expectation.durations, *value);
             });
    define_shared_parts<S>(c);
    define_field<&Value::state_radius>(c, "state_radius");
}

template <Scalar S>
void GeometricExpectationClass<S>::define(ClassBuilder<GeometricExpectationClass>& c) {
    c.constructor("(transitions, states, mixtures, pruning_slope)",
                  [](const Shared<TransitionPosteriorsClass>& transitions,
                     const Shared<StateOccupanciesClass<S>>& states,
                     const Shared<MixturePosteriorCollectionClass>& mixtures, S pruning_slope) {
                      return Value{*transitions, *states, *mixtures, pruning_slope};
                  });
    c.method("transitions()", [](const Value& expectation) {
        return make_object<TransitionPosteriorsClass>(expectation.transitions);
    });
    c.method("set_transitions(value)",
             [](Value& expectation, const Shared<TransitionPosteriorsClass>& value) {
                 assign_copy(expectation.transitions, *value);
             });
    define_shared_parts<S>(c);
    define_field<&Value::pruning_slope>(c, "pruning_slope");
}

template struct HsmmExpectationClass<float>;
template struct HsmmExpectationClass<double>;
template struct GeometricExpectationClass<float>;
template struct GeometricExpectationClass<double>;

namespace {

const Registration registration{[] {
    register_class<HsmmExpectationClass<float>>();
    register_class<GeometricExpectationClass<float>>();
    register_class<HsmmExpectationClass<double>>();
    register_class<GeometricExpectationClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
