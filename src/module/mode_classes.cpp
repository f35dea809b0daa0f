// Emission pruning and mixture-occupancy modes from Python: a code and a parameter, stored as
// given.

#include "module/mode_classes.hpp"

#include "module/kit/registry.hpp"

namespace tarvek::py {
namespace {

// Both classes have the same surface: (mode, parameter), two writable properties and copies.
template <class Class, Scalar S>
void define_mode_members(ClassBuilder<Class>& c) {
    using Value = typename Class::Value;
    c.constructor("(mode, parameter)",
                  [](std::uint32_t mode, S parameter) { return Value{mode, parameter}; });
    define_field<&Value::mode>(c, "mode");
    define_field<&Value::parameter>(c, "parameter");
    c.cloned();
}

}  // namespace

template <Scalar S>
void EmissionPruningClass<S>::define(ClassBuilder<EmissionPruningClass>& c) {
    define_mode_members<EmissionPruningClass, S>(c);
}

template <Scalar S>
void MixtureOccupancyModeClass<S>::define(ClassBuilder<MixtureOccupancyModeClass>& c) {
    define_mode_members<MixtureOccupancyModeClass, S>(c);
}

template struct EmissionPruningClass<float>;
template struct EmissionPruningClass<double>;
template struct MixtureOccupancyModeClass<float>;
template struct MixtureOccupancyModeClass<double>;

namespace {

const Registration registration{[] {
    register_class<EmissionPruningClass<float>>();
    register_class<EmissionPruningClass<double>>();
    register_class<MixtureOccupancyModeClass<float>>();
    register_class<MixtureOccupancyModeClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
