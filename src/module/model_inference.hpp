#pragma once
// Inference straight from a model's own parameters: the emission tables, the HSMM passes along
// a segmentation or a transition graph, the geometric passes, and the occupancies and
// posteriors computed from their tables. `define_model_inference` adds them to the model
// classes (called from `ModelClass<S>::define`). Durations are always scored from the model's
// own laws, never from a preparation.

#include "module/model_classes.hpp"

namespace tarvek::py {

template <Scalar S>
void define_model_inference(ClassBuilder<ModelClass<S>>& c);

}  // namespace tarvek::py
