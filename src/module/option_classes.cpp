// Option records from Python: defaults, writable properties that store whatever converts, and
// copies. Nothing is checked here.

#include "module/option_classes.hpp"

#include "module/kit/registry.hpp"

namespace tarvek::py {

template <Scalar S>
void PreparationOptionsClass<S>::define(ClassBuilder<PreparationOptionsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    c.property(
        "duration_cache_length", [](const Value& options) { return options.duration_cache_length; },
        [](Value& options, std::uint64_t value) { options.duration_cache_length = value; });
    c.property(
        "duration_weight", [](const Value& options) { return options.duration_weight; },
        [](Value& options, S value) { options.duration_weight = value; });
    c.property(
        "temperature", [](const Value& options) { return options.temperature; },
        [](Value& options, S value) { options.temperature = value; });
    c.cloned();
}

template <Scalar S>
void HsmmOptionsClass<S>::define(ClassBuilder<HsmmOptionsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    c.property(
        "temperature", [](const Value& options) { return options.temperature; },
        [](Value& options, S value) { options.temperature = value; });
    c.property(
        "duration_weight", [](const Value& options) { return options.duration_weight; },
        [](Value& options, S value) { options.duration_weight = value; });
    c.property(
        "state_radius", [](const Value& options) { return options.state_radius; },
        [](Value& options, S value) { options.state_radius = value; });
    c.property(
        "duration_extra", [](const Value& options) { return options.duration_extra; },
        [](Value& options, std::uint64_t value) { options.duration_extra = value; });
    c.property(
        "duration_extra_factor", [](const Value& options) { return options.duration_extra_factor; },
        [](Value& options, S value) { options.duration_extra_factor = value; });
    c.cloned();
}

template <Scalar S>
void GeometricOptionsClass<S>::define(ClassBuilder<GeometricOptionsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    c.property(
        "temperature", [](const Value& options) { return options.temperature; },
        [](Value& options, S value) { options.temperature = value; });
    c.property(
        "pruning_slope", [](const Value& options) { return options.pruning_slope; },
        [](Value& options, S value) { options.pruning_slope = value; });
    c.cloned();
}

template <Scalar S>
void UpdateOptionsClass<S>::define(ClassBuilder<UpdateOptionsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    c.property(
        "duration_mode", [](const Value& options) { return options.duration_mode; },
        [](Value& options, std::uint32_t value) { options.duration_mode = value; });
    c.property(
        "duration_variance_floor",
        [](const Value& options) { return options.duration_variance_floor; },
        [](Value& options, S value) { options.duration_variance_floor = value; });
    c.property(
        "emission_variance_floor",
        [](const Value& options) { return options.emission_variance_floor; },
        [](Value& options, S value) { options.emission_variance_floor = value; });
    c.cloned();
}

template struct PreparationOptionsClass<float>;
template struct PreparationOptionsClass<double>;
template struct HsmmOptionsClass<float>;
template struct HsmmOptionsClass<double>;
template struct GeometricOptionsClass<float>;
template struct GeometricOptionsClass<double>;
template struct UpdateOptionsClass<float>;
template struct UpdateOptionsClass<double>;

namespace {

const Registration registration{[] {
    register_class<PreparationOptionsClass<float>>();
    register_class<PreparationOptionsClass<double>>();
    register_class<HsmmOptionsClass<float>>();
    register_class<HsmmOptionsClass<double>>();
    register_class<GeometricOptionsClass<float>>();
    register_class<GeometricOptionsClass<double>>();
    register_class<UpdateOptionsClass<float>>();
    register_class<UpdateOptionsClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
