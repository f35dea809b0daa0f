// The MessagePack forms of the codec and the checks its writers run; the byte strings of whole
// records are in codec_vectors_test.cpp.

#include "core/serial.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "codec_test_support.hpp"
#include "core/serial_primitives.hpp"
#include "core/serial_records.hpp"

namespace tarvek::testing {
namespace {

Bytes written(auto&& write) {
    Bytes out;
    Writer writer(out);
    write(writer);
    return out;
}

TEST(SerialIntegers, WrittenInTheShortestFormAndReadBack) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {-1, "FF"},
        {-32, "E0"},
        {0, "00"},
        {127, "7F"},
        {128, "CC 80"},
        {255, "CC FF"},
        {256, "CD 01 00"},
        {65535, "CD FF FF"},
        {65536, "CE 00 01 00 00"},
        {2147483647, "CE 7F FF FF FF"},
        {-33, "D0 DF"},
        {-128, "D0 80"},
        {-129, "D1 FF 7F"},
        {-32768, "D1 80 00"},
        {-32769, "D2 FF FF 7F FF"},
        {std::numeric_limits<std::int32_t>::min(), "D2 80 00 00 00"},
    };
    for (const auto& [value, hex] : cases) {
        EXPECT_EQ(to_hex(written([v = value](Writer& w) { w.integer(v); })), hex) << value;
        const Bytes bytes = from_hex(hex);
        Decoder decoder(bytes, 0);
        EXPECT_EQ(decoder.integer(), value);
        EXPECT_EQ(decoder.position(), bytes.size());
    }
}

TEST(SerialIntegers, AnyFormThatFitsIsReadOthersAreRefused) {
    const std::pair<const char*, std::int64_t> accepted[] = {
        {"D3 00 00 00 00 00 00 00 05", 5},
        {"D3 FF FF FF FF 80 00 00 00", std::numeric_limits<std::int32_t>::min()},
        {"CF 00 00 00 00 7F FF FF FF", 2147483647},
        {"D0 05", 5},
        {"D1 00 05", 5},
        {"D2 00 00 00 05", 5},
        {"CD 00 05", 5},
    };
    for (const auto& [hex, value] : accepted) {
        const Bytes bytes = from_hex(hex);
        Decoder decoder(bytes, 0);
        EXPECT_EQ(decoder.integer(), value) << hex;
    }
    const std::pair<const char*, const char*> refused[] = {
        {"CE 80 00 00 00", "out of range integral type conversion attempted"},
        {"CF 00 00 00 01 00 00 00 00", "out of range integral type conversion attempted"},
        {"D3 00 00 00 00 80 00 00 00", "out of range integral type conversion attempted"},
        {"D3 FF FF FF FF 7F FF FF FF", "out of range integral type conversion attempted"},
        {"CA 3F 80 00 00", "the type decoded isn't match with the expected one"},
        {"C3", "the type decoded isn't match with the expected one"},
        {"90", "the type decoded isn't match with the expected one"},
        {"", "failed to read MessagePack marker"},
        {"CE 00 01", "failed to read MessagePack data"},
    };
    for (const auto& [hex, message] : refused) {
        const Bytes bytes = from_hex(hex);
        EXPECT_EQ(codec_error_of([&] { Decoder(bytes, 0).integer(); }), message) << hex;
    }
}

TEST(SerialArrays, HeaderFormsAndBudget) {
    const std::pair<std::uint64_t, const char*> cases[] = {{0, "90"},
                                                           {15, "9F"},
                                                           {16, "DC 00 10"},
                                                           {65535, "DC FF FF"},
                                                           {65536, "DD 00 01 00 00"},
                                                           {4294967295, "DD FF FF FF FF"}};
    for (const auto& [count, hex] : cases) {
        EXPECT_EQ(to_hex(written([c = count](Writer& w) { w.array(c); })), hex);
    }
    Bytes out;
    Writer writer(out);
    EXPECT_EQ(codec_error_of([&] { writer.array(std::uint64_t{1} << 32); }),
              "array exceeds MessagePack limits");
    EXPECT_TRUE(out.empty());

    // Any form is read for any count; a count equal to the budget left passes and leaves 0.
    const Bytes wide = from_hex("DC 00 03 DD 00 00 00 02 91");
    Decoder decoder(wide, 5);
    decoder.expect_array(3);
    EXPECT_EQ(decoder.array(), 2u);
    EXPECT_EQ(decoder.remaining(), 0u);
    EXPECT_EQ(codec_error_of([&] { decoder.array(); }),
              "model exceeds the array-entry decoding limit");

    const Bytes three = from_hex("93");
    EXPECT_EQ(codec_error_of([&] { Decoder(three, 10).expect_array(4); }),
              "expected array length 4, found 3");
    const Bytes truncated = from_hex("DC 00");
    EXPECT_EQ(codec_error_of([&] { Decoder(truncated, 10).array(); }),
              "failed to read MessagePack data");
}

TEST(SerialArrays, MixtureSizeGuardsDoNotWrap) {
    const std::uint64_t most = (std::uint64_t{1} << 31) - 1;
    // 3 x (2^31 - 1)^2 exceeds 2^63 although the entry count itself fits.
    EXPECT_EQ(mixture_entries(most, most), most * most);
    EXPECT_EQ(codec_error_of([&] { check_parameter_length(mixture_entries(most, most)); }),
              "parameter length overflows");
    EXPECT_EQ(codec_error_of([] { check_parameter_length(std::uint64_t{1} << 63); }),
              "parameter length overflows");
    EXPECT_EQ(codec_error_of(
                  [] { check_parameter_length(std::numeric_limits<std::int64_t>::max() / 3); }),
              "no error");
    EXPECT_EQ(
        codec_error_of([] { mixture_entries(std::uint64_t{1} << 32, std::uint64_t{1} << 32); }),
        "dimensions overflow");
}

template <class T>
class SerialRecords : public ::testing::Test {};
TYPED_TEST_SUITE(SerialRecords, Scalars);

TYPED_TEST(SerialRecords, FloatsTravelAsFloat32) {
    using S = TypeParam;
    const std::pair<S, const char*> cases[] = {
        {S(0.1), "CA 3D CC CC CD"},
        {S(-2.5), "CA C0 20 00 00"},
        {S(-0.0), "CA 80 00 00 00"},
        {std::numeric_limits<S>::infinity(), "CA 7F 80 00 00"},
    };
    for (const auto& [value, hex] : cases) {
        EXPECT_EQ(to_hex(written([v = value](Writer& w) { w.value(v); })), hex);
    }
    const Bytes tenth = from_hex("CA 3D CC CC CD");
    EXPECT_EQ(static_cast<S>(Decoder(tenth, 0).float32()), static_cast<S>(0.10000000149011612));
    if constexpr (std::is_same_v<S, double>) {
        EXPECT_EQ(to_hex(written([](Writer& w) { w.value(1e300); })), "CA 7F 80 00 00");
        EXPECT_EQ(to_hex(written([](Writer& w) { w.value(-1e300); })), "CA FF 80 00 00");
        EXPECT_EQ(to_hex(written([](Writer& w) { w.value(1e-50); })), "CA 00 00 00 00");
    }
    const Bytes nan = written([](Writer& w) { w.value(std::numeric_limits<S>::quiet_NaN()); });
    EXPECT_TRUE(std::isnan(Decoder(nan, 0).float32()));
}

template <Scalar S>
GaussianMixtureParameters<S> mixture(std::uint64_t components, std::uint64_t dimensions) {
    GaussianMixtureParameters<S> result(components, dimensions);
    for (std::size_t i = 0; i < result.means.size(); ++i) {
        result.means[i] = S(0.5) * static_cast<S>(i);
        result.variances[i] = S(1) + static_cast<S>(i);
    }
    return result;
}

template <Scalar S>
ModelParameters<S> two_stream_model() {
    ModelParameters<S> model;
    for (int s = 0; s < 2; ++s) {
        StreamParameters<S> stream;
        stream.weight = S(0.5) + static_cast<S>(s);
        stream.emissions = {mixture<S>(1, 2), mixture<S>(2, 3)};
        model.streams.push_back(stream);
    }
    model.durations.resize(3);
    model.durations[1].mean = S(4);
    model.durations[2].maximum_duration = 12;
    return model;
}

TYPED_TEST(SerialRecords, HistoricalSchemaRefusesNonzeroFloorsBeforeWriting) {
    using S = TypeParam;
    const char* refused = "historical schema cannot represent nonzero variance floors";
    ModelParameters<S> model = two_stream_model<S>();
    model.streams.back().emissions.back().variance_floors.back() = S(-0.0);
    EXPECT_EQ(codec_error_of([&] { write_record(model, ModelEncoding::historical); }), "no error");

    for (const S floor : {S(1e-3), std::numeric_limits<S>::quiet_NaN()}) {
        model.streams.back().emissions.back().variance_floors.back() = floor;
        EXPECT_EQ(codec_error_of([&] { write_record(model, ModelEncoding::historical); }), refused);
        EXPECT_EQ(codec_error_kind_of([&] { write_record(model, ModelEncoding::historical); }),
                  CodecErrorKind::invalid_input);
        EXPECT_EQ(
            codec_error_of([&] { write_record(model.streams.back(), ModelEncoding::historical); }),
            refused);
        EXPECT_EQ(codec_error_of([&] {
                      write_record(model.streams.back().emissions.back(),
                                   ModelEncoding::historical);
                  }),
                  refused);
        EXPECT_EQ(codec_error_of([&] { write_record(model); }), "no error");
    }
}

TYPED_TEST(SerialRecords, WritersCheckShapesAndValidityFirst) {
    using S = TypeParam;
    ModelParameters<S> model = two_stream_model<S>();
    model.streams[1].emissions[0].variances.pop_back();
    const char* lengths = "parameter lengths do not match dimensions";
    EXPECT_EQ(codec_error_of([&] { write_record(model); }), lengths);
    EXPECT_EQ(codec_error_of([&] { write_record(model, ModelEncoding::historical); }), lengths);
    EXPECT_EQ(codec_error_of([&] { write_record(model.streams[1]); }), lengths);
    EXPECT_EQ(codec_error_kind_of([&] { write_record(model.streams[1]); }),
              CodecErrorKind::invalid_input);
    GaussianMixtureParameters<S> empty;
    EXPECT_EQ(codec_error_of([&] { write_record(empty); }),
              "mixture count and dimensions must be positive");

    ObservationData<S> observation = ObservationData<S>::create(2, std::vector<std::size_t>{1});
    observation.streams[0].values.push_back(S(1));
    EXPECT_EQ(codec_error_of([&] { write_record(observation); }),
              "observation storage does not match dimensions");
    std::vector<ObservationData<S>> observations = {
        ObservationData<S>::create(1, std::vector<std::size_t>{1}), observation};
    EXPECT_EQ(codec_error_of([&] { write_record(observations); }),
              "observation storage does not match dimensions");

    SegmentationData<S> segmentation = SegmentationData<S>::create(1, 2);
    segmentation.outgoing[1] = {{2, S(1)}};
    EXPECT_EQ(codec_error_of([&] { write_record(segmentation); }),
              "outgoing jumps must terminate with a single delta-1 transition");
    EXPECT_EQ(codec_error_kind_of([&] { write_record(segmentation); }),
              CodecErrorKind::invalid_input);
    SegmentationData<S> inconsistent = SegmentationData<S>::create(1, 2);
    inconsistent.duration_states.pop_back();
    std::vector<SegmentationData<S>> segmentations = {SegmentationData<S>::create(1, 2),
                                                      inconsistent};
    EXPECT_EQ(codec_error_of([&] { write_record(segmentations); }),
              "segmentation arrays have inconsistent lengths");
}

TYPED_TEST(SerialRecords, UncheckedValuesAndOtherPrecisionRoundTrip) {
    using S = TypeParam;
    using Other = std::conditional_t<std::is_same_v<S, float>, double, float>;
    ModelParameters<S> model = two_stream_model<S>();
    // Values are not checked: NaN and negative weights, means and variances pass.
    model.streams[0].weight = std::numeric_limits<S>::quiet_NaN();
    model.streams[1].weight = S(-2);
    model.streams[0].emissions[1].means[0] = std::numeric_limits<S>::quiet_NaN();
    model.streams[0].emissions[1].variances[1] = S(-3);
    model.streams[1].emissions[0].weights[0] = S(0.1);
    model.durations[0].minimum_duration = -7;

    const Bytes bytes = write_record(model);
    const ModelParameters<S> same =
        read_record<ModelParameters<S>>(bytes, default_max_array_entries);
    EXPECT_EQ(write_record(same), bytes);
    EXPECT_TRUE(std::isnan(same.streams[0].weight));
    EXPECT_EQ(same.streams[0].emissions[1].variances[1], S(-3));
    EXPECT_EQ(same.durations[0].minimum_duration, -7);

    // Either precision reads the other's bytes; values are those of float32.
    const auto other = read_record<ModelParameters<Other>>(bytes, default_max_array_entries);
    EXPECT_EQ(write_record(other), bytes);
    EXPECT_EQ(other.streams[1].emissions[0].weights[0], static_cast<Other>(0.1f));
    EXPECT_EQ(other.streams[1].emissions[1].means, (std::vector<Other>{0, 0.5, 1, 1.5, 2, 2.5}));
}

TEST(SerialRecordsF64, TinyVariancesNarrowToZero) {
    ModelParameters<double> model = two_stream_model<double>();
    model.streams[0].emissions[0].variances[0] = 1e-50;
    const auto read =
        read_record<ModelParameters<double>>(write_record(model), default_max_array_entries);
    EXPECT_EQ(read.streams[0].emissions[0].variances[0], 0.0);
}

TEST(SerialErrors, CopiesKeepFormattedMessages) {
    const Bytes three = from_hex("93");
    try {
        Decoder(three, 10).expect_array(4);
        FAIL() << "no error";
    } catch (const Error& error) {
        const CodecError copy = dynamic_cast<const CodecError&>(error);
        EXPECT_STREQ(copy.what(), "expected array length 4, found 3");
        EXPECT_EQ(copy.kind(), CodecErrorKind::invalid_data);
    }
}

}  // namespace
}  // namespace tarvek::testing
