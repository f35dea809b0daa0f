// Option records from Python: defaults, writable properties that store whatever converts, and
// copies. Nothing is checked here.

#include "module/option_classes.hpp"

#include "module/kit/registry.hpp"

namespace tarvek::py {

template <Scalar S>
void PreparationOptionsClass<S>::define(ClassBuilder<PreparationOptionsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    define_field<&Value::duration_cache_length>(c, "duration_cache_length");
    define_field<&Value::duration_weight>(c, "duration_weight");
    define_field<&Value::temperature>(c, "temperature");
    c.cloned();
}

template <Scalar S>
void HsmmOptionsClass<S>::define(ClassBuilder<HsmmOptionsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    define_field<&Value::temperature>(c, "temperature");
    define_field<&Value::duration_weight>(c, "duration_weight");
    define_field<&Value::state_radius>(c, "state_radius");
    define_field<&Value::duration_extra>(c, "duration_extra");
    define_field<&Value::duration_extra_factor>(c, "duration_extra_factor");
    c.cloned();
}

template <Scalar S>
void GeometricOptionsClass<S>::define(ClassBuilder<GeometricOptionsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    define_field<&Value::temperature>(c, "temperature");
    define_field<&Value::pruning_slope>(c, "pruning_slope");
    c.cloned();
}

template <Scalar S>
void UpdateOptionsClass<S>::define(ClassBuilder<UpdateOptionsClass>& c) {
    c.constructor("()", [] { return Value{}; });
    define_field<&Value::duration_mode>(c, "duration_mode");
    define_field<&Value::duration_variance_floor>(c, "duration_variance_floor");
    define_field<&Value::emission_variance_floor>(c, "emission_variance_floor");
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
