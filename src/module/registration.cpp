// The module function: every class and function in a fixed order, then `__version__`, each
// name appended to `__all__` as it is added.

#include "module/registration.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "module/kit/registry.hpp"

namespace tarvek::py {
namespace {

// The registration order: 128 classes and 19 functions.
constexpr std::array<std::string_view, 147> registration_order = {
    "DecodedStreamF32",
    "DecodedStreamF64",
    "DecodedModelF32",
    "DecodedModelF64",
    "GaussianStatisticsCollectionF32",
    "StreamStatisticsCollectionF32",
    "DurationStatisticsCollectionF32",
    "StreamStatisticsF32",
    "ModelStatisticsF32",
    "GaussianStatisticsCollectionF64",
    "StreamStatisticsCollectionF64",
    "DurationStatisticsCollectionF64",
    "StreamStatisticsF64",
    "ModelStatisticsF64",
    "StreamCollectionF32",
    "StreamF32",
    "StreamBuilderF32",
    "PreparedStreamF32",
    "ModelF32",
    "ModelBuilderF32",
    "PreparedModelF32",
    "StreamCollectionF64",
    "StreamF64",
    "StreamBuilderF64",
    "PreparedStreamF64",
    "ModelF64",
    "ModelBuilderF64",
    "PreparedModelF64",
    "ObservationStreamCollectionF32",
    "ObservationCollectionF32",
    "SegmentationCollectionF32",
    "ObservationStreamF32",
    "ObservationF32",
    "JumpGroupF32",
    "SegmentationF32",
    "TransitionGraphF32",
    "ObservationStreamCollectionF64",
    "ObservationCollectionF64",
    "SegmentationCollectionF64",
    "ObservationStreamF64",
    "ObservationF64",
    "JumpGroupF64",
    "SegmentationF64",
    "TransitionGraphF64",
    "DecodedObservationF32",
    "DecodedObservationF64",
    "DecodedSegmentationF32",
    "DecodedSegmentationF64",
    "ObservationSetBuilderF32",
    "ObservationSetBuilderF64",
    "SegmentationSetBuilderF32",
    "SegmentationSetBuilderF64",
    "DatasetF32",
    "regroup_data_f32",
    "DatasetF64",
    "regroup_data_f64",
    "PreparationOptionsF32",
    "UpdateOptionsF32",
    "DurationStatisticsF32",
    "DurationF32",
    "PreparedDurationF32",
    "DecodedDurationF32",
    "PreparationOptionsF64",
    "UpdateOptionsF64",
    "DurationStatisticsF64",
    "DurationF64",
    "PreparedDurationF64",
    "DecodedDurationF64",
    "EmissionPruningF32",
    "LogEmissionsF32",
    "EmissionDensitiesF32",
    "EmissionPruningF64",
    "LogEmissionsF64",
    "EmissionDensitiesF64",
    "MixturePosteriorCollection",
    "HsmmExpectationF32",
    "GeometricExpectationF32",
    "HsmmExpectationF64",
    "GeometricExpectationF64",
    "DurationCollectionF32",
    "DurationCollectionF64",
    "GaussianCollectionF32",
    "GaussianF32",
    "PreparedGaussianF32",
    "GaussianStatisticsF32",
    "DecodedGaussianF32",
    "GaussianCollectionF64",
    "GaussianF64",
    "PreparedGaussianF64",
    "GaussianStatisticsF64",
    "DecodedGaussianF64",
    "uniform_sample_f32",
    "gaussian_sample_f32",
    "choose_component_f32",
    "GeneratedObservationF32",
    "GenerationF32",
    "uniform_sample_f64",
    "gaussian_sample_f64",
    "choose_component_f64",
    "GeneratedObservationF64",
    "GenerationF64",
    "GeometricOptionsF32",
    "StateScoresF32",
    "GeometricPathF32",
    "GeometricOptionsF64",
    "StateScoresF64",
    "GeometricPathF64",
    "HsmmOptionsF32",
    "HsmmScoresF32",
    "HsmmPathF32",
    "HsmmOptionsF64",
    "HsmmScoresF64",
    "HsmmPathF64",
    "PoolPageUsage",
    "PoolPages",
    "PoolAllocation",
    "MemoryPool",
    "NumericalTable",
    "numerical_constants",
    "NumericalTableF32",
    "NumericalIteratorF32",
    "numerical_log_add_f32",
    "numerical_negative_exponential_f32",
    "numerical_exponential_f32",
    "numerical_log_add_table_f32",
    "numerical_exponential_table_f32",
    "NumericalTableF64",
    "NumericalIteratorF64",
    "numerical_log_add_f64",
    "numerical_negative_exponential_f64",
    "numerical_exponential_f64",
    "numerical_log_add_table_f64",
    "numerical_exponential_table_f64",
    "TransitionPosterior",
    "TransitionPosteriors",
    "DurationPosterior",
    "DurationPosteriors",
    "MixtureWeights",
    "MixturePosteriors",
    "StateOccupanciesF32",
    "MixtureOccupancyModeF32",
    "StateOccupanciesF64",
    "MixtureOccupancyModeF64",
    "DecodedObservationSetF32",
    "DecodedObservationSetF64",
    "DecodedSegmentationSetF32",
    "DecodedSegmentationSetF64",
};

constexpr const char* module_version = "0.1.0";

// Appends `name` to `__all__` (creating it on the first addition), then sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = Ref::steal(checked(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) raise_pending();
    }
    Ref text = Ref::steal(checked(PyUnicode_FromString(name)));
    if (PyList_Append(all.get(), text.get()) != 0) raise_pending();
    if (PyObject_SetAttrString(module, name, value) != 0) raise_pending();
}

// Refuses a registered name that has no place in the order (a misspelt class name) and a name
// of the order that nothing registered (a binding file left out of the build), before anything
// is added.
void check_registered_names() {
    if (!registration_fault().empty()) raise(PyExc_SystemError, registration_fault().c_str());
    for (const std::string& name : registered_names()) {
        if (std::find(registration_order.begin(), registration_order.end(), name) ==
            registration_order.end()) {
            raise(PyExc_SystemError, ("unknown registration: " + name).c_str());
        }
    }
    for (std::string_view entry : registration_order) {
        const std::string name(entry);
        if (!find_class_entry(name) && !find_function_entry(name)) {
            raise(PyExc_SystemError, ("missing registration: " + name).c_str());
        }
    }
}

}  // namespace

void register_everything(PyObject* module) {
    check_registered_names();
    Ref module_name = Ref::steal(checked(PyModule_GetNameObject(module)));
    for (std::string_view entry : registration_order) {
        const std::string name(entry);
        if (TypeFactory factory = find_class_entry(name)) {
            add_to_module(module, name.c_str(), reinterpret_cast<PyObject*>(factory()));
        } else {
            Ref function = Ref::steal(
                checked(PyCFunction_NewEx(find_function_entry(name), module, module_name.get())));
            add_to_module(module, name.c_str(), function.get());
        }
    }
    Ref version = Ref::steal(checked(PyUnicode_FromString(module_version)));
    add_to_module(module, "__version__", version.get());
}

}  // namespace tarvek::py
