// Entry points of the codec: the checks before writing, whole-buffer and prefix reads, and
// the checks after reading.

#include "core/codec/serial.hpp"

#include <utility>

#include "core/codec/serial_records.hpp"

namespace tarvek {

namespace {

template <Scalar S>
void check_floors_are_zero(const GaussianMixtureParameters<S>& mixture) {
    // NaN counts as nonzero, -0.0 as zero.
    for (const S floor : mixture.variance_floors) {
        if (!(floor == S(0))) {
            throw CodecError(CodecErrorKind::invalid_input,
                             "historical schema cannot represent nonzero variance floors");
        }
    }
}

// How each record kind is checked, written and read.
template <class T>
struct Record;

template <Scalar S>
struct Record<GaussianMixtureParameters<S>> {
    using T = GaussianMixtureParameters<S>;
    static void check_shape(const T& mixture, CodecErrorKind kind) {
        as_codec_error(kind, [&] { mixture.check_shape(); });
    }
    static void check_floors(const T& mixture) { check_floors_are_zero(mixture); }
    static void write(Writer& writer, const T& mixture, ModelEncoding encoding) {
        write_mixture(writer, mixture, encoding);
    }
    static T read(Decoder& decoder) { return read_mixture<S>(decoder); }
};

template <Scalar S>
struct Record<StreamParameters<S>> {
    using T = StreamParameters<S>;
    static void check_shape(const T& stream, CodecErrorKind kind) {
        as_codec_error(kind, [&] { stream.validate(); });
    }
    static void check_floors(const T& stream) {
        for (const auto& mixture : stream.emissions) check_floors_are_zero(mixture);
    }
    static void write(Writer& writer, const T& stream, ModelEncoding encoding) {
        write_stream(writer, stream, encoding);
    }
    static T read(Decoder& decoder) { return read_stream<S>(decoder); }
};

template <Scalar S>
struct Record<ModelParameters<S>> {
    using T = ModelParameters<S>;
    static void check_shape(const T& model, CodecErrorKind kind) {
        as_codec_error(kind, [&] { model.validate_mixtures(); });
    }
    static void check_floors(const T& model) {
        for (const auto& stream : model.streams) Record<StreamParameters<S>>::check_floors(stream);
    }
    static void write(Writer& writer, const T& model, ModelEncoding encoding) {
        write_model(writer, model, encoding);
    }
    static T read(Decoder& decoder) { return read_model<S>(decoder); }
};

template <Scalar S>
struct Record<DurationParameters<S>> {
    using T = DurationParameters<S>;
    static void check_shape(const T&, CodecErrorKind) {}
    static void write(Writer& writer, const T& duration) { write_duration(writer, duration); }
    static T read(Decoder& decoder) { return read_duration<S>(decoder); }
};

template <Scalar S>
struct Record<ObservationData<S>> {
    using T = ObservationData<S>;
    static void validate(const T& observation) {
        as_codec_error(CodecErrorKind::invalid_input, [&] { observation.validate(); });
    }
    static void check_shape(const T&, CodecErrorKind) {}  // validated while reading
    static void write(Writer& writer, const T& observation) {
        validate(observation);
        write_observation(writer, observation);
    }
    static T read(Decoder& decoder) { return read_observation<S>(decoder); }
};

template <Scalar S>
struct Record<SegmentationData<S>> {
    using T = SegmentationData<S>;
    static void validate(const T& segmentation) {
        as_codec_error(CodecErrorKind::invalid_input, [&] { segmentation.validate(); });
    }
    static void check_shape(const T&, CodecErrorKind) {}  // validated while reading
    static void write(Writer& writer, const T& segmentation) {
        validate(segmentation);
        write_segmentation(writer, segmentation);
    }
    static T read(Decoder& decoder) { return read_segmentation<S>(decoder); }
};

// A set: an array of member records sharing one budget.
template <class Member>
struct Record<std::vector<Member>> {
    using T = std::vector<Member>;
    static void check_shape(const T&, CodecErrorKind) {}
    static void write(Writer& writer, const T& members) {
        // Nothing is written unless every member is valid.
        for (const Member& member : members) Record<Member>::validate(member);
        writer.array(members.size());
        for (const Member& member : members) Record<Member>::write(writer, member);
    }
    static T read(Decoder& decoder) {
        const std::uint64_t count = decoder.array();
        // Members are appended as they decode: the count alone reserves nothing.
        T members;
        for (std::uint64_t i = 0; i < count; ++i) members.push_back(Record<Member>::read(decoder));
        return members;
    }
};

}  // namespace

template <class T>
std::vector<std::uint8_t> write_record(const T& value) {
    std::vector<std::uint8_t> out;
    Writer writer(out);
    if constexpr (requires { Record<T>::check_floors(value); }) {
        Record<T>::check_shape(value, CodecErrorKind::invalid_input);
        Record<T>::write(writer, value, ModelEncoding::current);
    } else {
        Record<T>::write(writer, value);
    }
    return out;
}

template <class T>
std::vector<std::uint8_t> write_record(const T& value, ModelEncoding encoding) {
    Record<T>::check_shape(value, CodecErrorKind::invalid_input);
    if (encoding == ModelEncoding::historical) Record<T>::check_floors(value);
    std::vector<std::uint8_t> out;
    Writer writer(out);
    Record<T>::write(writer, value, encoding);
    return out;
}

template <class T>
T read_record(std::span<const std::uint8_t> bytes, std::uint64_t max_array_entries) {
    Decoder decoder(bytes, max_array_entries);
    T value = Record<T>::read(decoder);
    decoder.end();
    Record<T>::check_shape(value, CodecErrorKind::invalid_data);
    return value;
}

template <class T>
Prefix<T> read_record_prefix(std::span<const std::uint8_t> bytes, std::uint64_t max_array_entries) {
    Decoder decoder(bytes, max_array_entries);
    T value = Record<T>::read(decoder);
    Record<T>::check_shape(value, CodecErrorKind::invalid_data);
    return {std::move(value), decoder.position()};
}

#define TARVEK_RECORD(T)                                                     \
    template std::vector<std::uint8_t> write_record<T>(const T&);            \
    template T read_record<T>(std::span<const std::uint8_t>, std::uint64_t); \
    template Prefix<T> read_record_prefix<T>(std::span<const std::uint8_t>, std::uint64_t);
#define TARVEK_MODEL_RECORD(T) \
    TARVEK_RECORD(T)           \
    template std::vector<std::uint8_t> write_record<T>(const T&, ModelEncoding);

#define TARVEK_RECORDS(S)                             \
    TARVEK_MODEL_RECORD(GaussianMixtureParameters<S>) \
    TARVEK_MODEL_RECORD(StreamParameters<S>)          \
    TARVEK_MODEL_RECORD(ModelParameters<S>)           \
    TARVEK_RECORD(DurationParameters<S>)              \
    TARVEK_RECORD(ObservationData<S>)                 \
    TARVEK_RECORD(SegmentationData<S>)                \
    TARVEK_RECORD(std::vector<ObservationData<S>>)    \
    TARVEK_RECORD(std::vector<SegmentationData<S>>)

TARVEK_RECORDS(float)
TARVEK_RECORDS(double)

#undef TARVEK_RECORDS
#undef TARVEK_MODEL_RECORD
#undef TARVEK_RECORD

}  // namespace tarvek
