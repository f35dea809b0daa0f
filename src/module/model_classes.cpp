// Whole models from Python: construction from stream layouts, access to streams and
// durations, whole replacement under the shape check, validation, copies and builders.

#include "module/model_classes.hpp"

#include <cstdint>
#include <utility>
#include <vector>

#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"
#include "module/duration_classes.hpp"
#include "module/generation_classes.hpp"
#include "module/kit/codec_members.hpp"
#include "module/kit/indexed.hpp"
#include "module/kit/registry.hpp"
#include "module/model_inference.hpp"
#include "module/prepared_classes.hpp"
#include "module/statistics_classes.hpp"
#include "module/stream_classes.hpp"

namespace tarvek::py {

namespace {

// Streams are described by a flat list of (emissions, components, dimensions) triples.
std::vector<StreamLayout> stream_layouts(const std::vector<std::uint32_t>& flat) {
    if (flat.size() % 3 != 0) {
        throw ModelError("stream layouts require emissions/components/dimensions triples");
    }
    auto layouts = allocate_or_bad_alloc<StreamLayout>(flat.size() / 3);
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        layouts[i] = {flat[3 * i], flat[3 * i + 1], flat[3 * i + 2]};
    }
    return layouts;
}

template <Scalar S>
void define_model_parameters(ClassBuilder<ModelClass<S>>& c) {
    using Value = ModelParameters<S>;
    c.constructor("(layouts, durations)",
                  [](const std::vector<std::uint32_t>& layouts, std::uint64_t durations) {
                      return Value(stream_layouts(layouts), durations);
                  });
    c.static_method("empty()", [] { return make_object<ModelClass<S>>(Value{}); });
    c.property("streams", [](const Value& model) { return model.streams.size(); });
    c.property("durations", [](const Value& model) { return model.durations.size(); });
    c.method("stream(index)", [](const Value& model, std::uint64_t index) {
        return object_at<StreamClass<S>>(model.streams, index);
    });
    c.method("duration(index)", [](const Value& model, std::uint64_t index) {
        return object_at<DurationClass<S>>(model.durations, index);
    });
    c.method("set_stream(index, value)",
             [](Value& model, std::uint64_t index, const Shared<StreamClass<S>>& value) {
                 const auto edit = model.edit();
                 replace_at(edit.streams(), index, *value, ModelError("stream index out of range"));
             });
    c.method("set_duration(index, value)", [](Value& model, std::uint64_t index,
                                              const Shared<DurationClass<S>>& value) {
        const auto edit = model.edit();
        replace_at(edit.durations(), index, *value, ModelError("duration index out of range"));
    });
    c.method("replace(streams, durations)",
             [](Value& model, const Shared<StreamCollectionClass<S>>& streams,
                const Shared<DurationCollectionClass<S>>& durations) {
                 Value candidate(*streams, *durations);
                 candidate.validate_mixtures();
                 model = std::move(candidate);
             });
    c.method("validate()", [](const Value& model) { model.validate_mixtures(); });
    c.cloned();
    define_codec(c);
    define_write_with_encoding(c);
}

}  // namespace

template <Scalar S>
void ModelClass<S>::define(ClassBuilder<ModelClass>& c) {
    define_model_parameters(c);
    define_model_preparation(c);
    define_model_inference(c);
    define_model_generation(c);
    define_model_update(c);
}

template <Scalar S>
void ModelBuilderClass<S>::define(ClassBuilder<ModelBuilderClass>& c) {
    c.constructor("(streams, durations)", [](std::uint64_t streams, std::uint64_t durations) {
        return Value(streams, durations);
    });
    c.property("streams", [](const Value& builder) { return builder.streams.size(); });
    c.property("durations", [](const Value& builder) { return builder.durations.size(); });
    c.method("stream(index)", [](const Value& builder, std::uint64_t index) {
        return slot_object<StreamClass<S>>(builder.streams, index);
    });
    c.method("duration(index)", [](const Value& builder, std::uint64_t index) {
        return slot_object<DurationClass<S>>(builder.durations, index);
    });
    c.method("has_stream(index)", [](const Value& builder, std::uint64_t index) {
        return slot_filled(builder.streams, index);
    });
    c.method("has_duration(index)", [](const Value& builder, std::uint64_t index) {
        return slot_filled(builder.durations, index);
    });
    c.method("set_stream(index, value)",
             [](Value& builder, std::uint64_t index, const Shared<StreamClass<S>>& value) {
                 fill_slot(builder.streams, index, *value, ModelError("stream index out of range"));
             });
    c.method("set_duration(index, value)", [](Value& builder, std::uint64_t index,
                                              const Shared<DurationClass<S>>& value) {
        fill_slot(builder.durations, index, *value, ModelError("duration index out of range"));
    });
    c.method("clear_stream(index)", [](Value& builder, std::uint64_t index) {
        clear_slot(builder.streams, index, ModelError("stream index out of range"));
    });
    c.method("clear_duration(index)", [](Value& builder, std::uint64_t index) {
        clear_slot(builder.durations, index, ModelError("duration index out of range"));
    });
    c.method("resize(streams, durations)",
             [](Value& builder, std::uint64_t streams, std::uint64_t durations) {
                 Value resized(streams, durations);
                 carry_slots(builder.streams, resized.streams);
                 carry_slots(builder.durations, resized.durations);
                 builder = std::move(resized);
             });
    c.method("build()", [](Taken<Value> builder) {
        return make_object<ModelClass<S>>(std::move(builder.value).build());
    });
    c.cloned();
}

template struct ModelClass<float>;
template struct ModelClass<double>;
template struct ModelBuilderClass<float>;
template struct ModelBuilderClass<double>;

namespace {

const Registration registration{[] {
    register_class<DecodedClass<ModelClass<float>>>();
    register_class<DecodedClass<ModelClass<double>>>();
    register_class<ModelClass<float>>();
    register_class<ModelBuilderClass<float>>();
    register_class<ModelClass<double>>();
    register_class<ModelBuilderClass<double>>();
}};

}  // namespace
}  // namespace tarvek::py
