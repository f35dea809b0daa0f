// Observation streams from Python: construction, the weight and the per-state mixtures,
// whole replacement under the shape check, copies, builders and collections.

#include "module/stream_classes.hpp"

#include <cstdint>
#include <utility>
#include <vector>

#include "core/numerics/error.hpp"
#include "module/gaussian_classes.hpp"
#include "module/kit/codec_members.hpp"
#include "module/kit/collection.hpp"
#include "module/kit/indexed.hpp"
#include "module/kit/registry.hpp"
#include "module/prepared_classes.hpp"
#include "module/statistics_classes.hpp"

namespace tarvek::py {

namespace {

// The stream weight crosses the boundary as a one-element list.
template <Scalar S>
S single_weight(const std::vector<S>& values) {
    if (values.size() != 1) throw ModelError("stream weight requires one scalar");
    return values[0];
}

}  // namespace

template <Scalar S>
void StreamClass<S>::define(ClassBuilder<StreamClass>& c) {
    c.constructor("(emissions, components, dimensions)",
                  [](std::uint64_t emissions, std::uint64_t components, std::uint64_t dimensions) {
                      return Value(emissions, components, dimensions);
                  });
    c.static_method("empty()", [] { return make_object<StreamClass>(Value{}); });
    c.property("emissions", [](const Value& stream) { return stream.emissions.size(); });
    c.method("weight()", [](const Value& stream) { return std::vector<S>{stream.weight}; });
    c.method("set_weight(values)", [](Value& stream, const std::vector<S>& values) {
        stream.weight = single_weight(values);
    });
    c.method("emission(index)", [](const Value& stream, std::uint64_t index) {
        return object_at<GaussianClass<S>>(stream.emissions, index);
    });
    c.method("set_emission(index, value)", [](Value& stream, std::uint64_t index,
                                              const Shared<GaussianClass<S>>& value) {
        replace_at(stream.emissions, index, *value, ModelError("emission index out of range"));
    });
    c.method("replace(weight, emissions)", [](Value& stream, const std::vector<S>& weight,
                                              const Shared<GaussianCollectionClass<S>>& emissions) {
        Value candidate;
        candidate.weight = single_weight(weight);
        candidate.emissions = *emissions;
        candidate.validate();
        stream = std::move(candidate);
    });
    c.method("validate()", [](const Value& stream) { stream.validate(); });
    define_stream_preparation(c);
    define_stream_update(c);
    c.cloned();
    define_codec(c);
    define_write_with_encoding(c);
}

template <Scalar S>
void StreamBuilderClass<S>::define(ClassBuilder<StreamBuilderClass>& c) {
    c.constructor("(emissions)", [](std::uint64_t emissions) { return Value(emissions); });
    c.property("emissions", [](const Value& builder) { return builder.emissions.size(); });
    c.method("weight()", [](const Value& builder) { return std::vector<S>{builder.weight}; });
    c.method("set_weight(values)", [](Value& builder, const std::vector<S>& values) {
        builder.weight = single_weight(values);
    });
    c.method("emission(index)", [](const Value& builder, std::uint64_t index) {
        return slot_object<GaussianClass<S>>(builder.emissions, index);
    });
    c.method("has_emission(index)", [](const Value& builder, std::uint64_t index) {
        return slot_filled(builder.emissions, index);
    });
    c.method("set_emission(index, value)", [](Value& builder, std::uint64_t index,
                                              const Shared<GaussianClass<S>>& value) {
        fill_slot(builder.emissions, index, *value, ModelError("emission index out of range"));
    });
    c.method("clear_emission(index)", [](Value& builder, std::uint64_t index) {
        clear_slot(builder.emissions, index, ModelError("emission index out of range"));
    });
    c.method("resize(emissions)", [](Value& builder, std::uint64_t emissions) {
        Value resized(emissions);
        resized.weight = builder.weight;
        carry_slots(builder.emissions, resized.emissions);
        builder = std::move(resized);
    });
    c.method("build()", [](Taken<Value> builder) {
        return make_object<StreamClass<S>>(std::move(builder.value).build());
    });
    c.cloned();
}

template <Scalar S>
void StreamCollectionClass<S>::define(ClassBuilder<StreamCollectionClass>& c) {
    define_collection<StreamClass<S>>(c);
}

template struct StreamClass<float>;
template struct StreamClass<double>;
template struct StreamBuilderClass<float>;
template struct StreamBuilderClass<double>;
template struct StreamCollectionClass<float>;
template struct StreamCollectionClass<double>;

namespace {

const Registration registration{[] {
    register_class<DecodedClass<StreamClass<float>>>();
    register_class<DecodedClass<StreamClass<double>>>();
    register_class<StreamCollectionClass<float>>();
    register_class<StreamClass<float>>();
    register_class<StreamBuilderClass<float>>();
    register_class<StreamCollectionClass<double>>();
    register_class<StreamClass<double>>();
    register_class<StreamBuilderClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
