// Observations from Python: the observation, one stream on its own, and the collections of
// each. An observation object always holds a valid observation; a stream object holds any
// dimension and values until it is put into an observation.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"
#include "module/data_classes.hpp"
#include "module/kit/codec_members.hpp"
#include "module/kit/collection.hpp"
#include "module/kit/indexed.hpp"
#include "module/kit/registry.hpp"

namespace tarvek::py {

template <Scalar S>
void ObservationStreamClass<S>::define(ClassBuilder<ObservationStreamClass>& c) {
    c.constructor("(dimensions, values)", [](std::uint64_t dimensions, std::vector<S> values) {
        return Value{std::move(values), dimensions};
    });
    c.property("dimensions", [](const Value& stream) { return stream.dimension; });
    c.method("values()",
             [](const Value& stream) -> const std::vector<S>& { return stream.values; });
    c.method("replace(dimensions, values)",
             [](Value& stream, std::uint64_t dimensions, std::vector<S> values) {
                 stream.values = std::move(values);
                 stream.dimension = dimensions;
             });
    c.cloned();
}

template <Scalar S>
void ObservationStreamCollectionClass<S>::define(
    ClassBuilder<ObservationStreamCollectionClass>& c) {
    define_collection<ObservationStreamClass<S>>(c);
}

template <Scalar S>
void ObservationClass<S>::define(ClassBuilder<ObservationClass>& c) {
    c.constructor("(frames, dimensions)",
                  [](std::uint64_t frames,
                     const Widened<std::uint32_t, std::vector<std::size_t>>& dimensions) {
                      return Value::create(frames, dimensions.values);
                  });
    c.property("frames", [](const Value& observation) { return observation.frames; });
    c.property("streams", [](const Value& observation) { return observation.stream_count(); });
    c.method("stream(index)", [](const Value& observation, std::uint64_t index) {
        return object_at<ObservationStreamClass<S>>(observation.streams, index);
    });
    c.method("set_stream(index, value)", [](Value& observation, std::uint64_t index,
                                            const Shared<ObservationStreamClass<S>>& value) {
        replace_validated(observation, observation.streams, index, *value,
                          ModelError("observation stream index out of range"));
    });
    c.method("replace(frames, streams)",
             [](Value& observation, std::uint64_t frames,
                const Shared<ObservationStreamCollectionClass<S>>& streams) {
                 Value candidate;
                 candidate.frames = frames;
                 candidate.streams = *streams;
                 candidate.validate();
                 observation = std::move(candidate);
             });
    c.method("frame(stream, time)",
             [](const Value& observation, std::uint64_t stream,
                std::uint64_t time) -> std::optional<std::vector<S>> {
                 if (stream >= observation.stream_count() || time >= observation.frames) {
                     return std::nullopt;
                 }
                 const ObservationStreamData<S>& data = observation.streams[stream];
                 const auto end = checked_mul(time + 1, data.dimension);
                 if (!end || *end > data.values.size()) return std::nullopt;
                 const auto first = data.values.begin();
                 return std::vector<S>(first + static_cast<std::ptrdiff_t>(*end - data.dimension),
                                       first + static_cast<std::ptrdiff_t>(*end));
             });
    c.method("validate()", [](const Value& observation) { observation.validate(); });
    c.cloned();
    define_codec(c);
}

template <Scalar S>
void ObservationCollectionClass<S>::define(ClassBuilder<ObservationCollectionClass>& c) {
    define_collection<ObservationClass<S>>(c);
    define_codec(c);
}

template struct ObservationStreamClass<float>;
template struct ObservationStreamClass<double>;
template struct ObservationStreamCollectionClass<float>;
template struct ObservationStreamCollectionClass<double>;
template struct ObservationClass<float>;
template struct ObservationClass<double>;
template struct ObservationCollectionClass<float>;
template struct ObservationCollectionClass<double>;

namespace {

const Registration registration{[] {
    register_class<ObservationStreamCollectionClass<float>>();
    register_class<ObservationCollectionClass<float>>();
    register_class<ObservationStreamClass<float>>();
    register_class<ObservationClass<float>>();
    register_class<ObservationStreamCollectionClass<double>>();
    register_class<ObservationCollectionClass<double>>();
    register_class<ObservationStreamClass<double>>();
    register_class<ObservationClass<double>>();
    register_class<DecodedClass<ObservationClass<float>>>();
    register_class<DecodedClass<ObservationClass<double>>>();
    register_class<DecodedClass<ObservationCollectionClass<float>>>();
    register_class<DecodedClass<ObservationCollectionClass<double>>>();
}};

}  // namespace
}  // namespace tarvek::py
