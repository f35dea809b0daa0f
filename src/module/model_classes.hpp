#pragma once
// The Python classes of whole models: `ModelF32`/`ModelF64` and their builders. The model's
// members come in groups: `ModelClass<S>::define` (model_classes.cpp) calls one
// `define_model_<group>(c)` per group, each defined in the file of the family whose classes
// that group takes and returns (preparation, scoring, inference, training, generation).

#include <string>

#include "core/model/model.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

template <Scalar S>
struct ModelClass {
    using Value = ModelParameters<S>;
    static std::string name() { return std::string("Model") + Precision<S>::suffix; }
    static std::string decoded_name() { return "Decoded" + name(); }
    static void define(ClassBuilder<ModelClass>& c);
};

template <Scalar S>
struct ModelBuilderClass {
    using Value = ModelParametersBuilder<S>;
    static std::string name() { return std::string("ModelBuilder") + Precision<S>::suffix; }
    static void define(ClassBuilder<ModelBuilderClass>& c);
};

}  // namespace tarvek::py
