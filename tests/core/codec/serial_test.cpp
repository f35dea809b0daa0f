// The MessagePack forms of the codec and the checks its writers run; whole records, truncations
// and refused forms are in codec_vectors_test.cpp.

#include "core/codec/serial.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "codec/codec_test_support.hpp"
#include "core/codec/serial_primitives.hpp"
#include "core/codec/serial_records.hpp"

namespace tarvek::testing {
namespace {

Bytes written(auto&& write) {
    Bytes out;
    Writer writer(out);
    write(writer);
    return out;
}

TEST(SerialPrimitives, IntegerAndHeaderForms) {
    // clang-format off
    const std::pair<std::int32_t, const char*> integers[] = {
        {-1, "FF"}, {127, "7F"}, {128, "CC 80"}, {-33, "D0 DF"}, {-129, "D1 FF 7F"},
        {65536, "CE 00 01 00 00"}, {INT32_MIN, "D2 80 00 00 00"}, {INT32_MAX, "CE 7F FF FF FF"}};
    // clang-format on
    for (const auto& [value, hex] : integers) {
        EXPECT_EQ(to_hex(written([v = value](Writer& w) { w.integer(v); })), hex) << value;
        EXPECT_EQ(Decoder(from_hex(hex), 0).integer(), value) << hex;
    }
    EXPECT_EQ(Decoder(from_hex("D3 00 00 00 00 00 00 00 05"), 0).integer(), 5);
    EXPECT_EQ(codec_error_of([] { Decoder(from_hex("CE 80 00 00 00"), 0).integer(); }),
              "out of range integral type conversion attempted");

    for (const auto& [count, hex] : {std::pair<std::uint64_t, const char*>{15, "9F"},
                                     {16, "DC 00 10"},
                                     {65536, "DD 00 01 00 00"}}) {
        EXPECT_EQ(to_hex(written([c = count](Writer& w) { w.array(c); })), hex);
    }
    Bytes out;
    EXPECT_EQ(codec_error_of([&] { Writer(out).array(two_to(32)); }),
              "array exceeds MessagePack limits");
    EXPECT_TRUE(out.empty());
    // A copy of the error keeps its formatted message.
    try {
        Decoder(from_hex("93"), 10).expect_array(4);
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        const CodecError copy = dynamic_cast<const CodecError&>(error);
        EXPECT_STREQ(copy.what(), "expected array length 4, found 3");
        EXPECT_EQ(copy.kind(), CodecErrorKind::invalid_data);
    }
}

TEST(SerialPrimitives, MixtureSizeGuardsDoNotWrap) {
    const std::uint64_t most = two_to(31) - 1;
    // 3 x (2^31 - 1)^2 exceeds 2^63 although the entry count itself fits.
    EXPECT_EQ(mixture_entries(most, most), most * most);
    EXPECT_EQ(codec_error_of([&] { check_parameter_length(mixture_entries(most, most)); }),
              "parameter length overflows");
    EXPECT_EQ(codec_error_of([] { check_parameter_length(INT64_MAX / 3); }), "no error");
    EXPECT_EQ(codec_error_of([] { mixture_entries(two_to(32), two_to(32)); }),
              "dimensions overflow");
}

template <class T>
class SerialRecords : public ::testing::Test {};
TYPED_TEST_SUITE(SerialRecords, Scalars);

TYPED_TEST(SerialRecords, FloatsTravelAsFloat32) {
    using S = TypeParam;
    EXPECT_EQ(to_hex(written([](Writer& w) { w.value(S(0.1)); })), "CA 3D CC CC CD");
    EXPECT_EQ(static_cast<S>(Decoder(from_hex("CA 3D CC CC CD"), 0).float32()),
              static_cast<S>(0.10000000149011612));
    if constexpr (sizeof(S) == 8) {
        EXPECT_EQ(to_hex(written([](Writer& w) { w.value(1e300); })), "CA 7F 80 00 00");
    }
}

// Two streams, each with a 1 x 2 and a 2 x 3 mixture; three durations.
template <Scalar S>
ModelParameters<S> two_stream_model() {
    ModelParameters<S> model;
    const auto edit = model.edit();
    for (int s = 0; s < 2; ++s) {
        auto& stream = edit.streams().emplace_back();
        stream.weight = S(0.5) + static_cast<S>(s);
        stream.emissions = {GaussianMixtureParameters<S>(1, 2), GaussianMixtureParameters<S>(2, 3)};
        for (auto& mixture : stream.emissions) {
            for (std::size_t i = 0; i < mixture.means.size(); ++i) {
                mixture.means[i] = S(0.5) * static_cast<S>(i);
                mixture.variances[i] = S(1) + static_cast<S>(i);
            }
        }
    }
    edit.durations().resize(3);
    edit.durations()[2].maximum_duration = 12;
    return model;
}

std::pair<std::string, CodecErrorKind> invalid_input(const char* message) {
    return {message, CodecErrorKind::invalid_input};
}

TYPED_TEST(SerialRecords, WritersCheckBeforeWriting) {
    using S = TypeParam;
    const auto historical = [](const auto& record) {
        return codec_failure([&] { write_record(record, ModelEncoding::historical); });
    };
    ModelParameters<S> model = two_stream_model<S>();
    const auto set_last_floor = [&](S floor) {
        const auto edit = model.edit();
        edit.streams().back().emissions.back().variance_floors.back() = floor;
    };
    set_last_floor(S(-0.0));
    EXPECT_EQ(historical(model).first, "no error");
    for (const S floor : {S(1e-3), std::numeric_limits<S>::quiet_NaN()}) {
        set_last_floor(floor);
        const auto refused =
            invalid_input("historical schema cannot represent nonzero variance floors");
        EXPECT_EQ(historical(model), refused);
        EXPECT_EQ(historical(model.streams[model.streams.size() - 1]), refused);
        EXPECT_EQ(codec_error_of([&] { write_record(model); }), "no error");
    }
    {
        const auto edit = model.edit();
        edit.streams()[1].emissions[0].variances.pop_back();
    }
    EXPECT_EQ(codec_failure([&] { write_record(model); }),
              invalid_input("parameter lengths do not match dimensions"));
    auto observation = ObservationData<S>::create(1, std::vector<std::size_t>{1});
    observation.streams[0].values.push_back(S(1));
    EXPECT_EQ(codec_failure([&] { write_record(observation); }),
              invalid_input("observation storage does not match dimensions"));
    std::vector<SegmentationData<S>> segmentations(2, SegmentationData<S>::create(1, 2));
    segmentations[0].outgoing[1] = {{2, S(1)}};
    EXPECT_EQ(codec_failure([&] { write_record(segmentations[0]); }),
              invalid_input("outgoing jumps must terminate with a single delta-1 transition"));
    // The second member fails before the first is written.
    segmentations[0] = SegmentationData<S>::create(1, 2);
    segmentations[1].duration_states.pop_back();
    EXPECT_EQ(codec_failure([&] { write_record(segmentations); }),
              invalid_input("segmentation arrays have inconsistent lengths"));
}

TYPED_TEST(SerialRecords, UncheckedValuesAndOtherPrecisionRoundTrip) {
    using S = TypeParam;
    using Other = std::conditional_t<std::is_same_v<S, float>, double, float>;
    ModelParameters<S> model = two_stream_model<S>();
    // Values are not checked: NaN and negative weights, means and variances pass.
    {
        const auto edit = model.edit();
        edit.streams()[0].weight = std::numeric_limits<S>::quiet_NaN();
        edit.streams()[1].weight = S(-2);
        edit.streams()[0].emissions[1].means[0] = std::numeric_limits<S>::quiet_NaN();
        edit.streams()[0].emissions[1].variances[1] = S(-3);
        edit.streams()[1].emissions[0].weights[0] = S(0.1);
        edit.durations()[0].minimum_duration = -7;
    }
    const Bytes bytes = write_record(model);
    const auto same = read_record<ModelParameters<S>>(bytes, default_max_array_entries);
    EXPECT_EQ(write_record(same), bytes);
    EXPECT_TRUE(std::isnan(same.streams[0].weight));
    EXPECT_EQ(same.streams[0].emissions[1].variances[1], S(-3));
    EXPECT_EQ(same.durations[0].minimum_duration, -7);
    // Either precision reads the other's bytes; values are those of float32.
    const auto other = read_record<ModelParameters<Other>>(bytes, default_max_array_entries);
    EXPECT_EQ(write_record(other), bytes);
    EXPECT_EQ(other.streams[1].emissions[0].weights[0], static_cast<Other>(0.1f));
    EXPECT_EQ(other.streams[1].emissions[1].means, (std::vector<Other>{0, 0.5, 1, 1.5, 2, 2.5}));
    if constexpr (sizeof(S) == 8) {  // narrowed below the float32 range
        {
            const auto edit = model.edit();
            edit.streams()[0].emissions[0].variances[0] = 1e-50;
        }
        const auto read = read_record<ModelParameters<S>>(write_record(model), 1000);
        EXPECT_EQ(read.streams[0].emissions[0].variances[0], 0.0);
    }
}

}  // namespace
}  // namespace tarvek::testing
