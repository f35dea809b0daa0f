// Segmentations from Python: the segmentation with its arrays and jump lists, the jump group
// that carries one jump list, the transition graph built from a segmentation, and the
// segmentation collection. Integer arrays cross the boundary as signed 32-bit values.

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
void JumpGroupClass<S>::define(ClassBuilder<JumpGroupClass>& c) {
    c.constructor("(deltas, probabilities)",
                  [](const std::vector<std::int32_t>& deltas, const std::vector<S>& probabilities) {
                      if (deltas.size() != probabilities.size()) {
                          throw ModelError("jump deltas and probabilities differ");
                      }
                      Value jumps = allocate_or_bad_alloc<JumpParameters<S>>(deltas.size());
                      for (std::size_t i = 0; i < jumps.size(); ++i)
                          jumps[i] = {deltas[i], probabilities[i]};
                      return jumps;
                  });
    c.property("length", [](const Value& jumps) { return jumps.size(); });
    c.method("deltas()", [](const Value& jumps) {
        std::vector<std::int32_t> deltas(jumps.size());
        for (std::size_t i = 0; i < jumps.size(); ++i) deltas[i] = jumps[i].delta;
        return deltas;
    });
    c.method("probabilities()", [](const Value& jumps) {
        std::vector<S> probabilities(jumps.size());
        for (std::size_t i = 0; i < jumps.size(); ++i) probabilities[i] = jumps[i].probability;
        return probabilities;
    });
    c.cloned();
}

namespace {

template <Scalar S>
void require_row(const SegmentationData<S>& segmentation, std::uint64_t stream) {
    if (stream >= segmentation.stream_count()) {
        throw ModelError("output stream index out of range");
    }
}

}  // namespace

template <Scalar S>
void SegmentationClass<S>::define(ClassBuilder<SegmentationClass>& c) {
    c.constructor("(streams, segments)", [](std::uint64_t streams, std::uint64_t segments) {
        if (streams >= legacy_count_limit || segments >= legacy_count_limit) {
            throw ModelError("segmentation shape exceeds the legacy format");
        }
        return Value::create(streams, segments);
    });
    c.property("streams", [](const Value& segmentation) { return segmentation.stream_count(); });
    c.property("segments", [](const Value& segmentation) { return segmentation.segment_count(); });

    // ---- arrays (setters keep every length) ----
    c.method("boundaries()", [](const Value& segmentation) { return segmentation.boundaries; });
    c.method("set_boundaries(values)", [](Value& segmentation, std::vector<std::int32_t> values) {
        if (values.size() != segmentation.segment_count()) {
            throw ModelError("boundary count differs");
        }
        segmentation.boundaries = std::move(values);
    });
    c.method("duration_states()",
             [](const Value& segmentation) { return segmentation.duration_states; });
    c.method("set_duration_states(values)",
             [](Value& segmentation, std::vector<std::int32_t> values) {
                 if (values.size() != segmentation.segment_count()) {
                     throw ModelError("duration state count differs");
                 }
                 segmentation.duration_states = std::move(values);
             });
    // Unlike the other look-ups, an absent row is an error rather than None.
    c.method("output_states(stream)", [](const Value& segmentation, std::uint64_t stream) {
        require_row(segmentation, stream);
        return segmentation.output_states[stream];
    });
    c.method("set_output_states(stream, values)",
             [](Value& segmentation, std::uint64_t stream, std::vector<std::int32_t> values) {
                 require_row(segmentation, stream);
                 if (values.size() != segmentation.output_states[stream].size()) {
                     throw ModelError("output state count differs");
                 }
                 segmentation.output_states[stream] = std::move(values);
             });
    c.method("replace(value)", [](Value& segmentation, const Shared<SegmentationClass>& value) {
        assign_copy(segmentation, *value);
    });
    c.method("validate()", [](const Value& segmentation) { segmentation.validate(); });
    c.cloned();

    // ---- jumps ----
    c.method("outgoing(state)", [](const Value& segmentation, std::uint64_t state) {
        return object_at<JumpGroupClass<S>>(segmentation.outgoing, state);
    });
    c.method("set_outgoing(state, jumps)",
             [](Value& segmentation, std::uint64_t state, const Shared<JumpGroupClass<S>>& jumps) {
                 replace_validated(segmentation, segmentation.outgoing, state, *jumps,
                                   ModelError("jump state index out of range"));
             });
    c.method("add_jump(state, delta, probability)",
             [](Value& segmentation, std::uint64_t state, std::int32_t delta, S probability) {
                 add_jump(segmentation, state, delta, probability);
             });
    c.method("build_transitions()", [](const Value& segmentation) {
        return make_object<TransitionGraphClass<S>>(build_transitions(Value(segmentation)));
    });
    c.method("build_transitions_owned()", [](Taken<Value> segmentation) {
        return make_object<TransitionGraphClass<S>>(
            build_transitions(std::move(segmentation.value)));
    });
    c.method("resegment(occurrences)",
             [](const Value& segmentation, const std::vector<std::uint32_t>& occurrences) {
                 if (occurrences.size() % 2 != 0) {
                     throw ModelError("state occurrences require state/end pairs");
                 }
                 auto pairs = allocate_or_bad_alloc<StateOccurrence>(occurrences.size() / 2);
                 for (std::size_t i = 0; i < pairs.size(); ++i) {
                     pairs[i] = {occurrences[2 * i], occurrences[2 * i + 1]};
                 }
                 return make_object<SegmentationClass>(resegment(segmentation, pairs));
             });
    define_codec(c);
}

template <Scalar S>
void SegmentationCollectionClass<S>::define(ClassBuilder<SegmentationCollectionClass>& c) {
    define_collection<SegmentationClass<S>>(c);
    define_codec(c);
}

template <Scalar S>
void TransitionGraphClass<S>::define(ClassBuilder<TransitionGraphClass>& c) {
    c.method("segmentation()", [](const Value& graph) {
        return make_object<SegmentationClass<S>>(graph.segmentation);
    });
    c.method("into_segmentation()", [](Taken<Value> graph) {
        return make_object<SegmentationClass<S>>(std::move(graph.value.segmentation));
    });
    c.method("incoming(state)",
             [](const Value& graph, std::uint64_t state) -> std::optional<Object> {
                 if (state >= graph.incoming.size()) return std::nullopt;
                 const auto list = graph.incoming[state];
                 return make_object<JumpGroupClass<S>>(
                     std::vector<JumpParameters<S>>(list.begin(), list.end()));
             });
    c.method("outgoing(state)", [](const Value& graph, std::uint64_t state) {
        return object_at<JumpGroupClass<S>>(graph.segmentation.outgoing, state);
    });
    c.cloned();
}

template struct JumpGroupClass<float>;
template struct JumpGroupClass<double>;
template struct SegmentationClass<float>;
template struct SegmentationClass<double>;
template struct SegmentationCollectionClass<float>;
template struct SegmentationCollectionClass<double>;
template struct TransitionGraphClass<float>;
template struct TransitionGraphClass<double>;

namespace {

const Registration registration{[] {
    register_class<SegmentationCollectionClass<float>>();
    register_class<JumpGroupClass<float>>();
    register_class<SegmentationClass<float>>();
    register_class<TransitionGraphClass<float>>();
    register_class<SegmentationCollectionClass<double>>();
    register_class<JumpGroupClass<double>>();
    register_class<SegmentationClass<double>>();
    register_class<TransitionGraphClass<double>>();
    register_class<DecodedClass<SegmentationClass<float>>>();
    register_class<DecodedClass<SegmentationClass<double>>>();
    register_class<DecodedClass<SegmentationCollectionClass<float>>>();
    register_class<DecodedClass<SegmentationCollectionClass<double>>>();
}};

}  // namespace
}  // namespace tarvek::py
