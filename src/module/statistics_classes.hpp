#pragma once
// The Python classes of sufficient statistics: `GaussianStatisticsF32/F64`,
// `DurationStatisticsF32/F64`, `StreamStatisticsF32/F64`, `ModelStatisticsF32/F64` and the
// collections of Gaussian, stream and duration statistics. They hold the core containers
// unchecked; the accumulations and updates that use them check them against a model.
//
// The `update` members of the model, stream, Gaussian and duration classes read these
// statistics: `define_<class>_update(c)` adds them (called from each class's `define`).

#include <string>
#include <vector>

#include "core/training/statistics.hpp"
#include "module/duration_classes.hpp"
#include "module/gaussian_classes.hpp"
#include "module/kit/class_builder.hpp"
#include "module/model_classes.hpp"
#include "module/stream_classes.hpp"

namespace tarvek::py {

template <Scalar S>
struct GaussianStatisticsClass {
    using Value = GaussianSufficientStatistics<S>;
    static std::string name() { return std::string("GaussianStatistics") + Precision<S>::suffix; }
    static void define(ClassBuilder<GaussianStatisticsClass>& c);
};

template <Scalar S>
struct DurationStatisticsClass {
    using Value = DurationSufficientStatistics<S>;
    static std::string name() { return std::string("DurationStatistics") + Precision<S>::suffix; }
    static void define(ClassBuilder<DurationStatisticsClass>& c);
};

template <Scalar S>
struct StreamStatisticsClass {
    using Value = StreamSufficientStatistics<S>;
    static std::string name() { return std::string("StreamStatistics") + Precision<S>::suffix; }
    static void define(ClassBuilder<StreamStatisticsClass>& c);
};

template <Scalar S>
struct ModelStatisticsClass {
    using Value = ModelSufficientStatistics<S>;
    static std::string name() { return std::string("ModelStatistics") + Precision<S>::suffix; }
    static void define(ClassBuilder<ModelStatisticsClass>& c);
};

template <Scalar S>
struct GaussianStatisticsCollectionClass {
    using Value = std::vector<GaussianSufficientStatistics<S>>;
    static std::string name() {
        return std::string("GaussianStatisticsCollection") + Precision<S>::suffix;
    }
    static void define(ClassBuilder<GaussianStatisticsCollectionClass>& c);
};

template <Scalar S>
struct StreamStatisticsCollectionClass {
    using Value = std::vector<StreamSufficientStatistics<S>>;
    static std::string name() {
        return std::string("StreamStatisticsCollection") + Precision<S>::suffix;
    }
    static void define(ClassBuilder<StreamStatisticsCollectionClass>& c);
};

template <Scalar S>
struct DurationStatisticsCollectionClass {
    using Value = std::vector<DurationSufficientStatistics<S>>;
    static constexpr const char* index_message = "duration statistic index out of range";
    static std::string name() {
        return std::string("DurationStatisticsCollection") + Precision<S>::suffix;
    }
    static void define(ClassBuilder<DurationStatisticsCollectionClass>& c);
};

// `update(statistics, options)`: the receiver re-estimated in place, unchanged on any error.
template <Scalar S>
void define_model_update(ClassBuilder<ModelClass<S>>& c);
template <Scalar S>
void define_stream_update(ClassBuilder<StreamClass<S>>& c);
template <Scalar S>
void define_gaussian_update(ClassBuilder<GaussianClass<S>>& c);
template <Scalar S>
void define_duration_update(ClassBuilder<DurationClass<S>>& c);

}  // namespace tarvek::py
