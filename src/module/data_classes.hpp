#pragma once
// The data classes: observations and their streams, segmentations with their jump groups and
// transition graphs, the collections of each, the sample set builders and the data sets.
// Declared here so that the other families can take them as arguments and return them
// (`Shared<SegmentationClass<S>>`, `make_object<ObservationClass<S>>(...)`); their members are
// defined and registered in observation_classes.cpp, segmentation_classes.cpp and
// dataset_classes.cpp. Observations, segmentations and their collections read and write byte
// strings (`decoded_name()` names the class their prefix readers return).

#include <string>
#include <vector>

#include "core/data/data.hpp"
#include "core/data/data_operations.hpp"
#include "core/numerics/scalar_ops.hpp"
#include "core/data/transitions.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

// "Observation" + "F32".
template <Scalar S>
std::string precision_name(const char* stem) {
    return std::string(stem) + Precision<S>::suffix;
}

// ---- observations ------------------------------------------------------------------------

// One stream on its own, with no invariant: checked only when put into an observation.
template <Scalar S>
struct ObservationStreamClass {
    using Value = ObservationStreamData<S>;
    static std::string name() { return precision_name<S>("ObservationStream"); }
    static void define(ClassBuilder<ObservationStreamClass>& c);
};

template <Scalar S>
struct ObservationStreamCollectionClass {
    using Value = std::vector<ObservationStreamData<S>>;
    static std::string name() { return precision_name<S>("ObservationStreamCollection"); }
    static void define(ClassBuilder<ObservationStreamCollectionClass>& c);
};

// Always holds a valid observation: every writer validates its candidate before storing it.
template <Scalar S>
struct ObservationClass {
    using Value = ObservationData<S>;
    static std::string name() { return precision_name<S>("Observation"); }
    static std::string decoded_name() { return precision_name<S>("DecodedObservation"); }
    static void define(ClassBuilder<ObservationClass>& c);
};

template <Scalar S>
struct ObservationCollectionClass {
    using Value = std::vector<ObservationData<S>>;
    static std::string name() { return precision_name<S>("ObservationCollection"); }
    static constexpr bool sample_set = true;  // decoded as samples(), not parameters()
    static std::string decoded_name() { return precision_name<S>("DecodedObservationSet"); }
    static void define(ClassBuilder<ObservationCollectionClass>& c);
};

// ---- segmentations -----------------------------------------------------------------------

// One segment's jump list, unchecked until it is put into a segmentation.
template <Scalar S>
struct JumpGroupClass {
    using Value = std::vector<JumpParameters<S>>;
    static std::string name() { return precision_name<S>("JumpGroup"); }
    static void define(ClassBuilder<JumpGroupClass>& c);
};

template <Scalar S>
struct SegmentationClass {
    using Value = SegmentationData<S>;
    static std::string name() { return precision_name<S>("Segmentation"); }
    static std::string decoded_name() { return precision_name<S>("DecodedSegmentation"); }
    static void define(ClassBuilder<SegmentationClass>& c);
};

template <Scalar S>
struct SegmentationCollectionClass {
    using Value = std::vector<SegmentationData<S>>;
    static std::string name() { return precision_name<S>("SegmentationCollection"); }
    static constexpr bool sample_set = true;  // decoded as samples(), not parameters()
    static std::string decoded_name() { return precision_name<S>("DecodedSegmentationSet"); }
    static void define(ClassBuilder<SegmentationCollectionClass>& c);
};

// A segmentation with its incoming lists; made only by a segmentation's build_transitions.
template <Scalar S>
struct TransitionGraphClass {
    using Value = TransitionGraphParameters<S>;
    static std::string name() { return precision_name<S>("TransitionGraph"); }
    static void define(ClassBuilder<TransitionGraphClass>& c);
};

// ---- sample set builders and data sets ---------------------------------------------------

template <Scalar S>
struct ObservationSetBuilderClass {
    using Value = SampleSetBuilder<ObservationData<S>>;
    static std::string name() { return precision_name<S>("ObservationSetBuilder"); }
    static void define(ClassBuilder<ObservationSetBuilderClass>& c);
};

template <Scalar S>
struct SegmentationSetBuilderClass {
    using Value = SampleSetBuilder<SegmentationData<S>>;
    static std::string name() { return precision_name<S>("SegmentationSetBuilder"); }
    static void define(ClassBuilder<SegmentationSetBuilderClass>& c);
};

// Two independent sample lists; their lengths may differ until they are regrouped.
template <Scalar S>
struct DatasetData {
    std::vector<ObservationData<S>> observations;
    std::vector<SegmentationData<S>> segmentations;
};

template <Scalar S>
struct DatasetClass {
    using Value = DatasetData<S>;
    static std::string name() { return precision_name<S>("Dataset"); }
    static void define(ClassBuilder<DatasetClass>& c);
};

}  // namespace tarvek::py
