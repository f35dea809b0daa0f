// Sample sets from Python: the builders that fill a set slot by slot, the data sets that pair
// observations with segmentations, and the regrouping of a data set into units of
// consecutive segments.

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "core/numerics/error.hpp"
#include "module/data_classes.hpp"
#include "module/kit/indexed.hpp"
#include "module/kit/registry.hpp"

namespace tarvek::py {
namespace {

// The members shared by the observation and the segmentation set builders.
template <class SampleClass, class CollectionClass, class BuilderClass>
void define_set_builder(ClassBuilder<BuilderClass>& c) {
    using Value = typename BuilderClass::Value;
    c.constructor("(samples)", [](std::uint64_t samples) { return Value::create(samples); });
    c.property("length", [](const Value& builder) { return builder.size(); });
    c.method("has(index)",
             [](const Value& builder, std::uint64_t index) { return builder.has(index); });
    c.method("get(index)", [](const Value& builder, std::uint64_t index) -> std::optional<Object> {
        auto sample = builder.get(index);
        if (!sample) return std::nullopt;
        return make_object<SampleClass>(std::move(*sample));
    });
    c.method("set(index, value)",
             [](Value& builder, std::uint64_t index, const Shared<SampleClass>& value) {
                 builder.set(index, *value);
             });
    c.method("clear(index)", [](Value& builder, std::uint64_t index) { builder.clear(index); });
    c.method("resize(count)", [](Value& builder, std::uint64_t count) { builder.resize(count); });
    c.method("build()", [](Taken<Value> builder) {
        return make_object<CollectionClass>(std::move(builder.value).build());
    });
    c.cloned();
}

template <Scalar S>
DatasetData<S> regroup(std::span<const ObservationData<S>> observations,
                       std::span<const SegmentationData<S>> segmentations,
                       std::uint64_t segments_per_unit) {
    AlignedDataset<S> units = regroup_with_precision(observations, segmentations,
                                                     static_cast<std::size_t>(segments_per_unit));
    return {std::move(units.observations), std::move(units.segmentations)};
}

}  // namespace

template <Scalar S>
void ObservationSetBuilderClass<S>::define(ClassBuilder<ObservationSetBuilderClass>& c) {
    define_set_builder<ObservationClass<S>, ObservationCollectionClass<S>>(c);
}

template <Scalar S>
void SegmentationSetBuilderClass<S>::define(ClassBuilder<SegmentationSetBuilderClass>& c) {
    define_set_builder<SegmentationClass<S>, SegmentationCollectionClass<S>>(c);
}

template <Scalar S>
void DatasetClass<S>::define(ClassBuilder<DatasetClass>& c) {
    using Observations = ObservationCollectionClass<S>;
    using Segmentations = SegmentationCollectionClass<S>;
    c.constructor("(observations, segmentations)", [](const Shared<Observations>& observations,
                                                      const Shared<Segmentations>& segmentations) {
        return Value{*observations, *segmentations};
    });
    c.property("observation_count", [](const Value& data) { return data.observations.size(); });
    c.property("segmentation_count", [](const Value& data) { return data.segmentations.size(); });
    c.method("observations()",
             [](const Value& data) { return make_object<Observations>(data.observations); });
    c.method("segmentations()",
             [](const Value& data) { return make_object<Segmentations>(data.segmentations); });
    c.method("observation(index)", [](const Value& data, std::uint64_t index) {
        return object_at<ObservationClass<S>>(data.observations, index);
    });
    c.method("segmentation(index)", [](const Value& data, std::uint64_t index) {
        return object_at<SegmentationClass<S>>(data.segmentations, index);
    });
    c.method("set_observation(index, value)",
             [](Value& data, std::uint64_t index, const Shared<ObservationClass<S>>& value) {
                 replace_at(data.observations, index, *value,
                            ModelError("observation sample index out of range"));
             });
    c.method("set_segmentation(index, value)",
             [](Value& data, std::uint64_t index, const Shared<SegmentationClass<S>>& value) {
                 replace_at(data.segmentations, index, *value,
                            ModelError("segmentation sample index out of range"));
             });
    c.method("replace(observations, segmentations)",
             [](Value& data, const Shared<Observations>& observations,
                const Shared<Segmentations>& segmentations) {
                 Value copy{*observations, *segmentations};
                 data = std::move(copy);
             });
    c.method("regroup(segments_per_unit)", [](const Value& data, std::uint64_t segments_per_unit) {
        return make_object<DatasetClass>(
            regroup<S>(data.observations, data.segmentations, segments_per_unit));
    });
    c.cloned();
}

template struct ObservationSetBuilderClass<float>;
template struct ObservationSetBuilderClass<double>;
template struct SegmentationSetBuilderClass<float>;
template struct SegmentationSetBuilderClass<double>;
template struct DatasetClass<float>;
template struct DatasetClass<double>;

namespace {

template <Scalar S>
void register_regrouping() {
    register_function(std::string("regroup_data_") + Precision<S>::lower +
                          "(observations, segmentations, segments_per_unit)",
                      [](const Shared<ObservationCollectionClass<S>>& observations,
                         const Shared<SegmentationCollectionClass<S>>& segmentations,
                         std::uint64_t segments_per_unit) {
                          return make_object<DatasetClass<S>>(
                              regroup<S>(*observations, *segmentations, segments_per_unit));
                      });
}

const Registration registration{[] {
    register_class<ObservationSetBuilderClass<float>>();
    register_class<ObservationSetBuilderClass<double>>();
    register_class<SegmentationSetBuilderClass<float>>();
    register_class<SegmentationSetBuilderClass<double>>();
    register_class<DatasetClass<float>>();
    register_class<DatasetClass<double>>();
    register_regrouping<float>();
    register_regrouping<double>();
}};

}  // namespace
}  // namespace tarvek::py
