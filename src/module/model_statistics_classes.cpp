// Whole-model statistics from Python: zeroed statistics shaped like a model, piecewise access,
// and the accumulation of one utterance (posteriors gathered in an expectation, the hard counts
// of a segmentation, or a whole expectation step). Every accumulation is a core transaction:
// on any error the held statistics are exactly as before.

#include <cstdint>
#include <utility>
#include <vector>

#include "core/numerics/error.hpp"
#include "core/training/estimation.hpp"
#include "core/training/expectation.hpp"
#include "core/training/initialization.hpp"
#include "module/data_classes.hpp"
#include "module/expectation_classes.hpp"
#include "module/kit/indexed.hpp"
#include "module/kit/registry.hpp"
#include "module/option_classes.hpp"
#include "module/statistics_classes.hpp"

namespace tarvek::py {

namespace {

template <Scalar S>
void define_statistics_access(ClassBuilder<ModelStatisticsClass<S>>& c) {
    using Value = ModelSufficientStatistics<S>;
    c.constructor("()", [] { return Value{}; });
    c.static_method("from_model(value)", [](const Shared<ModelClass<S>>& value) {
        return make_object<ModelStatisticsClass<S>>(Value::from_model(*value));
    });
    c.property("streams", [](const Value& statistics) { return statistics.streams.size(); });
    c.property("durations", [](const Value& statistics) { return statistics.durations.size(); });
    c.method("stream(index)", [](const Value& statistics, std::uint64_t index) {
        return object_at<StreamStatisticsClass<S>>(statistics.streams, index);
    });
    c.method("set_stream(index, value)", [](Value& statistics, std::uint64_t index,
                                            const Shared<StreamStatisticsClass<S>>& value) {
        const auto edit = statistics.edit();
        replace_at(edit.streams(), index, *value,
                   ModelError("stream statistic index out of range"));
    });
    c.method("duration(index)", [](const Value& statistics, std::uint64_t index) {
        return object_at<DurationStatisticsClass<S>>(statistics.durations, index);
    });
    c.method("set_duration(index, value)", [](Value& statistics, std::uint64_t index,
                                              const Shared<DurationStatisticsClass<S>>& value) {
        const auto edit = statistics.edit();
        replace_at(edit.durations(), index, *value,
                   ModelError("duration statistic index out of range"));
    });
    c.method("replace(streams, durations)",
             [](Value& statistics, const Shared<StreamStatisticsCollectionClass<S>>& streams,
                const Shared<DurationStatisticsCollectionClass<S>>& durations) {
                 statistics = Value(*streams, *durations);
             });
    c.method("clear()", [](Value& statistics) { statistics.clear(); });
    c.cloned();
}

template <Scalar S>
void define_statistics_accumulation(ClassBuilder<ModelStatisticsClass<S>>& c) {
    using Value = ModelSufficientStatistics<S>;
    using Model = Shared<ModelClass<S>>;
    using Observation = Shared<ObservationClass<S>>;
    using Segmentation = Shared<SegmentationClass<S>>;
    c.method(
        "collect_hsmm(model, observation, segmentation, expectation)",
        [](Value& statistics, const Model& model, const Observation& observation,
           const Segmentation& segmentation, const Shared<HsmmExpectationClass<S>>& expectation) {
            collect_hsmm(statistics, *model, *observation, *segmentation, expectation->view());
        });
    c.method("collect_geometric(model, observation, segmentation, expectation)",
             [](Value& statistics, const Model& model, const Observation& observation,
                const Segmentation& segmentation,
                const Shared<GeometricExpectationClass<S>>& expectation) {
                 collect_geometric(statistics, *model, *observation, *segmentation,
                                   expectation->view());
             });
    c.method("collect_initialization(model, observation, segmentation)",
             [](Value& statistics, const Model& model, const Observation& observation,
                const Segmentation& segmentation) {
                 collect_initialization(statistics, *model, *observation, *segmentation);
             });
    c.method("estimate_hsmm(model, observation, segmentation, options)",
             [](Value& statistics, const Model& model, const Observation& observation,
                const Segmentation& segmentation, const Shared<HsmmOptionsClass<S>>& options) {
                 const HsmmOptions<S> settings = *options;
                 return estimate_hsmm(statistics, *model, *observation, *segmentation, settings);
             });
    c.method("estimate_geometric(model, observation, segmentation, options)",
             [](Value& statistics, const Model& model, const Observation& observation,
                const Segmentation& segmentation, const Shared<GeometricOptionsClass<S>>& options) {
                 return estimate_geometric(statistics, *model, *observation, *segmentation,
                                           options->temperature, options->pruning_slope);
             });
}

}  // namespace

template <Scalar S>
void ModelStatisticsClass<S>::define(ClassBuilder<ModelStatisticsClass>& c) {
    define_statistics_access(c);
    define_statistics_accumulation(c);
}

template struct ModelStatisticsClass<float>;
template struct ModelStatisticsClass<double>;

namespace {

const Registration registration{[] {
    register_class<ModelStatisticsClass<float>>();
    register_class<ModelStatisticsClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
