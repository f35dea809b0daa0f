// Records of Gaussian mixtures, durations, streams and models.

#include <cstdint>
#include <limits>
#include <utility>

#include "core/codec/serial_records.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

// Fewest bytes of each record (one component, one dimension, historical schema; a stream
// without emissions), bounding how many the rest of the input could still hold.
constexpr std::size_t min_mixture_bytes = 20;
constexpr std::size_t min_duration_bytes = 19;
constexpr std::size_t min_stream_bytes = 7;

}  // namespace

std::uint64_t mixture_entries(std::uint64_t mixture_count, std::uint64_t dimensions) {
    const auto entries = checked_mul(mixture_count, dimensions);
    if (!entries) fail_data("dimensions overflow");
    return *entries;
}

void check_parameter_length(std::uint64_t entries) {
    constexpr auto signed_limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const auto current_length = checked_mul(entries, 3);
    if (entries > signed_limit || !current_length || *current_length > signed_limit) {
        fail_data("parameter length overflows");
    }
}

// ---- Writers ------------------------------------------------------------------------------

template <Scalar S>
void write_mixture(Writer& writer, const GaussianMixtureParameters<S>& mixture,
                   ModelEncoding encoding) {
    const bool with_floors = encoding == ModelEncoding::current;
    const std::size_t entries = mixture.means.size();
    writer.array(4);
    writer.integer(static_cast<std::int32_t>(mixture.mixture_count()));
    writer.integer(static_cast<std::int32_t>(mixture.dimensions));
    writer.array(mixture.weights.size());
    writer.values(std::span<const S>(mixture.weights));
    writer.array((with_floors ? 3 : 2) * std::uint64_t{entries});
    // Mean, variance and floor of each entry stand together.
    std::uint8_t* at = writer.grow(entries * (with_floors ? 3 : 2) * wire::float_bytes);
    for (std::size_t e = 0; e < entries; ++e) {
        Writer::put_float(at, mixture.means[e]);
        Writer::put_float(at + wire::float_bytes, mixture.variances[e]);
        at += 2 * wire::float_bytes;
        if (with_floors) {
            Writer::put_float(at, mixture.variance_floors[e]);
            at += wire::float_bytes;
        }
    }
}

template <Scalar S>
void write_duration(Writer& writer, const DurationParameters<S>& duration) {
    writer.array(6);
    writer.value(duration.mean);
    writer.value(duration.variance);
    writer.integer(duration.minimum_duration);
    writer.integer(duration.maximum_duration);
    writer.integer(duration.fixed_mean_duration);
    writer.value(duration.variance_floor);
}

template <Scalar S>
void write_stream(Writer& writer, const StreamParameters<S>& stream, ModelEncoding encoding) {
    writer.array(2);
    writer.value(stream.weight);
    writer.array(stream.emissions.size());
    for (const auto& mixture : stream.emissions) write_mixture(writer, mixture, encoding);
}

template <Scalar S>
void write_model(Writer& writer, const ModelParameters<S>& model, ModelEncoding encoding) {
    writer.array(2);
    writer.array(model.streams.size());
    for (const auto& stream : model.streams) write_stream(writer, stream, encoding);
    writer.array(model.durations.size());
    for (const auto& duration : model.durations) write_duration(writer, duration);
}

// ---- Readers ------------------------------------------------------------------------------

template <Scalar S>
GaussianMixtureParameters<S> read_mixture(Decoder& decoder) {
    decoder.expect_array(4);
    const std::uint64_t mixture_count = decoder.dimension();
    const std::uint64_t dimensions = decoder.dimension();
    GaussianMixtureParameters<S> mixture;
    decoder.expect_array(mixture_count);
    decoder.values(mixture_count, mixture.weights);

    const std::uint64_t entries = mixture_entries(mixture_count, dimensions);
    const std::uint64_t length = decoder.array();
    check_parameter_length(entries);
    bool with_floors;
    if (length == 3 * entries) {
        with_floors = true;
    } else if (length == 2 * entries) {
        with_floors = false;
    } else {
        fail_data("parameter array matches neither historical nor current schema");
    }

    const std::size_t entry_bytes = (with_floors ? 3 : 2) * wire::float_bytes;
    const std::size_t capacity = decoder.reservable(entries, entry_bytes);
    mixture.means.reserve(capacity);
    mixture.variances.reserve(capacity);
    if (with_floors) mixture.variance_floors.reserve(capacity);
    for (std::uint64_t e = 0; e < entries; ++e) {
        mixture.means.push_back(static_cast<S>(decoder.float32()));
        mixture.variances.push_back(static_cast<S>(decoder.float32()));
        if (with_floors) mixture.variance_floors.push_back(static_cast<S>(decoder.float32()));
    }
    // Every entry has been read, so this allocation is bounded by the input.
    if (!with_floors) mixture.variance_floors.assign(entries, S(0));
    mixture.dimensions = dimensions;
    return mixture;
}

template <Scalar S>
DurationParameters<S> read_duration(Decoder& decoder) {
    decoder.expect_array(6);
    DurationParameters<S> duration;
    duration.mean = static_cast<S>(decoder.float32());
    duration.variance = static_cast<S>(decoder.float32());
    duration.minimum_duration = decoder.integer();
    duration.maximum_duration = decoder.integer();
    duration.fixed_mean_duration = decoder.integer();
    duration.variance_floor = static_cast<S>(decoder.float32());
    return duration;
}

template <Scalar S>
StreamParameters<S> read_stream(Decoder& decoder) {
    decoder.expect_array(2);
    StreamParameters<S> stream;
    stream.weight = static_cast<S>(decoder.float32());
    const std::uint64_t emission_count = decoder.array();
    stream.emissions.reserve(decoder.reservable(emission_count, min_mixture_bytes));
    for (std::uint64_t e = 0; e < emission_count; ++e) {
        stream.emissions.push_back(read_mixture<S>(decoder));
    }
    return stream;
}

template <Scalar S>
ModelParameters<S> read_model(Decoder& decoder) {
    decoder.expect_array(2);
    std::vector<StreamParameters<S>> streams;
    const std::uint64_t stream_count = decoder.array();
    streams.reserve(decoder.reservable(stream_count, min_stream_bytes));
    for (std::uint64_t s = 0; s < stream_count; ++s) streams.push_back(read_stream<S>(decoder));
    std::vector<DurationParameters<S>> durations;
    const std::uint64_t state_count = decoder.array();
    durations.reserve(decoder.reservable(state_count, min_duration_bytes));
    for (std::uint64_t n = 0; n < state_count; ++n) {
        durations.push_back(read_duration<S>(decoder));
    }
    return ModelParameters<S>(std::move(streams), std::move(durations));
}

#define TARVEK_MODEL_CODEC(S)                                                                    \
    template void write_mixture<S>(Writer&, const GaussianMixtureParameters<S>&, ModelEncoding); \
    template void write_duration<S>(Writer&, const DurationParameters<S>&);                      \
    template void write_stream<S>(Writer&, const StreamParameters<S>&, ModelEncoding);           \
    template void write_model<S>(Writer&, const ModelParameters<S>&, ModelEncoding);             \
    template GaussianMixtureParameters<S> read_mixture<S>(Decoder&);                             \
    template DurationParameters<S> read_duration<S>(Decoder&);                                   \
    template StreamParameters<S> read_stream<S>(Decoder&);                                       \
    template ModelParameters<S> read_model<S>(Decoder&);

TARVEK_MODEL_CODEC(float)
TARVEK_MODEL_CODEC(double)
#undef TARVEK_MODEL_CODEC

}  // namespace tarvek
