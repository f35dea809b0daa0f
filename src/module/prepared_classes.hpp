#pragma once
// The Python classes of prepared parameters: `PreparedModelF32/F64` (a model with its mixture
// normalizers and duration caches, the entry point of HSMM inference and emission scoring),
// `PreparedStreamF32/F64`, `PreparedGaussianF32/F64` and `PreparedDurationF32/F64`. None has a
// constructor: they come from the `prepare*` members that `define_<class>_preparation` adds to
// the model, stream, Gaussian and duration classes (called from their `define`).

#include <string>

#include "core/model/model.hpp"
#include "core/model/preparation.hpp"
#include "core/model/probability.hpp"
#include "module/duration_classes.hpp"
#include "module/gaussian_classes.hpp"
#include "module/kit/class_builder.hpp"
#include "module/model_classes.hpp"
#include "module/stream_classes.hpp"

namespace tarvek::py {

template <Scalar S>
struct PreparedModelClass {
    using Value = OwnedPreparedModelParameters<S>;
    static std::string name() { return std::string("PreparedModel") + Precision<S>::suffix; }
    static void define(ClassBuilder<PreparedModelClass>& c);
};

template <Scalar S>
struct PreparedStreamClass {
    using Value = OwnedPreparedStreamParameters<S>;
    static std::string name() { return std::string("PreparedStream") + Precision<S>::suffix; }
    static void define(ClassBuilder<PreparedStreamClass>& c);
};

template <Scalar S>
struct PreparedGaussianClass {
    using Value = PreparedGaussianParameters<S>;
    static std::string name() { return std::string("PreparedGaussian") + Precision<S>::suffix; }
    static void define(ClassBuilder<PreparedGaussianClass>& c);
};

// One state's prepared law with its own copy of the parameters it was made from (the
// preparation computes durations beyond its cache from them).
template <Scalar S>
struct PreparedDuration {
    DurationPreparation<S> preparation;
    DurationParameters<S> duration;
};

template <Scalar S>
struct PreparedDurationClass {
    using Value = PreparedDuration<S>;
    static std::string name() { return std::string("PreparedDuration") + Precision<S>::suffix; }
    static void define(ClassBuilder<PreparedDurationClass>& c);
};

// `prepare`, `prepare_owned`, `prepare_selected_durations`, `prepare_owned_selected_durations`.
template <Scalar S>
void define_model_preparation(ClassBuilder<ModelClass<S>>& c);
// `prepare()`, `prepare_owned()`.
template <Scalar S>
void define_stream_preparation(ClassBuilder<StreamClass<S>>& c);
// `prepare()`, `prepare_owned()`.
template <Scalar S>
void define_gaussian_preparation(ClassBuilder<GaussianClass<S>>& c);
// `prepare(options)`, `prepare_owned(options)`.
template <Scalar S>
void define_duration_preparation(ClassBuilder<DurationClass<S>>& c);

}  // namespace tarvek::py
