// Records of observations and segmentations.
//
// The segmentation record keeps a stored layout that MessagePack's nesting does not
// describe: its header announces 3 items while four follow, and each jump list's header
// counts jumps while two items (delta, probability) follow per jump.

#include <cstdint>
#include <utility>

#include "core/codec/serial_records.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

// A jump is an integer and a float.
constexpr std::size_t min_jump_bytes = wire::min_integer_bytes + wire::float_bytes;

std::int32_t as_int32(std::uint64_t count) {
    return static_cast<std::int32_t>(count);
}

}  // namespace

// ---- Writers ------------------------------------------------------------------------------

template <Scalar S>
void write_observation(Writer& writer, const ObservationData<S>& observation) {
    writer.array(3);
    writer.integer(as_int32(observation.frames));
    writer.array(observation.streams.size());
    for (const auto& stream : observation.streams) writer.integer(as_int32(stream.dimension));
    writer.array(observation.streams.size());
    for (const auto& stream : observation.streams) {
        writer.array(stream.values.size());
        writer.values(std::span<const S>(stream.values));
    }
}

template <Scalar S>
void write_segmentation(Writer& writer, const SegmentationData<S>& segmentation) {
    writer.array(3);  // four items follow
    writer.integers(segmentation.boundaries);
    writer.integers(segmentation.duration_states);
    writer.array(segmentation.output_states.size());
    for (const auto& row : segmentation.output_states) writer.integers(row);
    writer.array(segmentation.outgoing.size());
    for (const auto& jumps : segmentation.outgoing) {
        writer.array(jumps.size());  // jumps, not items
        for (const JumpParameters<S>& jump : jumps) {
            writer.integer(jump.delta);
            writer.value(jump.probability);
        }
    }
}

// ---- Readers ------------------------------------------------------------------------------

template <Scalar S>
ObservationData<S> read_observation(Decoder& decoder) {
    decoder.expect_array(3);
    ObservationData<S> observation;
    observation.frames = decoder.nonnegative_integer();

    const std::uint64_t stream_count = decoder.array();
    std::vector<std::uint64_t> dimensions;
    dimensions.reserve(decoder.reservable(stream_count, wire::min_integer_bytes));
    for (std::uint64_t s = 0; s < stream_count; ++s) dimensions.push_back(decoder.dimension());
    decoder.expect_array(stream_count);

    observation.streams.reserve(dimensions.size());
    for (const std::uint64_t dimension : dimensions) {
        const auto count = checked_mul(observation.frames, dimension);
        if (!count) {
            fail_data("observation dimensions overflow");
        }
        decoder.expect_array(*count);
        ObservationStreamData<S> stream;
        stream.dimension = dimension;
        decoder.values(*count, stream.values);
        observation.streams.push_back(std::move(stream));
    }
    as_codec_error(CodecErrorKind::invalid_data, [&] { observation.validate(); });
    return observation;
}

template <Scalar S>
SegmentationData<S> read_segmentation(Decoder& decoder) {
    decoder.expect_array(3);
    SegmentationData<S> segmentation;
    const std::uint64_t segments = decoder.array();
    decoder.integers(segments, segmentation.boundaries);
    decoder.expect_array(segments);
    decoder.integers(segments, segmentation.duration_states);

    const std::uint64_t streams = decoder.array();
    for (std::uint64_t s = 0; s < streams; ++s) {
        std::vector<std::int32_t> row;
        decoder.expect_array(segments);
        decoder.integers(segments, row);
        segmentation.output_states.push_back(std::move(row));
    }

    decoder.expect_array(segments);
    // The boundaries already read bound the segment count by the input.
    segmentation.outgoing.reserve(segmentation.boundaries.size());
    for (std::uint64_t i = 0; i < segments; ++i) {
        const std::uint64_t jump_count = decoder.array();
        decoder.charge_jump_data(jump_count);
        std::vector<JumpParameters<S>> jumps;
        jumps.reserve(decoder.reservable(jump_count, min_jump_bytes));
        for (std::uint64_t j = 0; j < jump_count; ++j) {
            JumpParameters<S> jump;
            jump.delta = decoder.integer();
            jump.probability = static_cast<S>(decoder.float32());
            jumps.push_back(jump);
        }
        segmentation.outgoing.push_back(std::move(jumps));
    }
    as_codec_error(CodecErrorKind::invalid_data, [&] { segmentation.validate(); });
    return segmentation;
}

#define TARVEK_DATA_CODEC(S)                                                  \
    template void write_observation<S>(Writer&, const ObservationData<S>&);   \
    template void write_segmentation<S>(Writer&, const SegmentationData<S>&); \
    template ObservationData<S> read_observation<S>(Decoder&);                \
    template SegmentationData<S> read_segmentation<S>(Decoder&);

TARVEK_DATA_CODEC(float)
TARVEK_DATA_CODEC(double)
#undef TARVEK_DATA_CODEC

}  // namespace tarvek
