#pragma once
// Generation from Python: `GenerationF32`/`GenerationF64`, which pair a model with a sequence
// and generate from Python random sources, the `GeneratedObservationF32`/`F64` results, and the
// model's own `generate_with_uniform_values`, added to the model classes by
// `define_model_generation` (called from `ModelClass<S>::define`).

#include "module/model_classes.hpp"

namespace tarvek::py {

template <Scalar S>
void define_model_generation(ClassBuilder<ModelClass<S>>& c);

}  // namespace tarvek::py
