// The byte strings of tests/data/codec_vectors.json, shared with the Python tests (its "about"
// says what each entry promises), truncated and mutated too.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <iomanip>
#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>

#include "codec/codec_test_support.hpp"
#include "codec/json_support.hpp"

// GCC cannot tell that these replacements pair malloc with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<std::size_t> largest_allocation{0};  // since the last reset
}  // namespace

void* operator new(std::size_t size) {
    std::size_t seen = largest_allocation.load(std::memory_order_relaxed);
    while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace tarvek::testing {
namespace {

// The fields of each record, under the names the data file uses.
template <class T, class F>
void each_field(T& r, F&& f) {
    if constexpr (requires { r.variance_floors; }) {
        f("weights", r.weights), f("dimensions", r.dimensions), f("means", r.means);
        f("variances", r.variances), f("variance_floors", r.variance_floors);
    } else if constexpr (requires { r.minimum_duration; }) {
        f("mean", r.mean), f("variance", r.variance), f("minimum_duration", r.minimum_duration);
        f("maximum_duration", r.maximum_duration);
        f("fixed_mean_duration", r.fixed_mean_duration), f("variance_floor", r.variance_floor);
    } else if constexpr (requires { r.emissions; }) {
        f("weight", r.weight), f("emissions", r.emissions);
    } else if constexpr (requires { r.edit(); }) {
        const auto edit = r.edit();
        f("streams", edit.streams()), f("durations", edit.durations());
    } else if constexpr (requires { r.durations; }) {
        f("streams", r.streams), f("durations", r.durations);
    } else if constexpr (requires { r.dimension; }) {
        f("values", r.values), f("dimension", r.dimension);
    } else if constexpr (requires { r.frames; }) {
        f("frames", r.frames), f("streams", r.streams);
    } else if constexpr (requires { r.delta; }) {
        f("delta", r.delta), f("probability", r.probability);
    } else {
        f("boundaries", r.boundaries), f("duration_states", r.duration_states);
        f("output_states", r.output_states), f("outgoing", r.outgoing);
    }
}

template <class T>
void from_json(const Json& json, T& value) {
    if constexpr (std::is_floating_point_v<T>) {
        value = static_cast<T>(json.number());
    } else if constexpr (std::is_integral_v<T>) {
        value = static_cast<T>(json.integer());
    } else if constexpr (requires { value.emplace_back(); }) {
        for (const Json& item : json.items) from_json(item, value.emplace_back());
    } else {
        each_field(value, [&](const char* key, auto& field) { from_json(json[key], field); });
    }
}

// Every field's exact value, so that two records compare by their text.
template <class T>
void describe(std::ostream& out, const T& value) {
    if constexpr (std::is_arithmetic_v<T>) {
        out << std::setprecision(17) << +value << ' ';
    } else if constexpr (requires { value.begin(); }) {
        out << '[';
        for (const auto& item : value) describe(out, item);
        out << ']';
    } else {
        each_field(value, [&](const char* key, const auto& field) {
            out << key << ':';
            describe(out, field);
        });
    }
}
template <class T>
std::string text(const T& value) {
    std::ostringstream out;
    describe(out, value);
    return out.str();
}

const Json& vectors() {
    static const Json document =
        load_json(std::string(TARVEK_TEST_DATA_DIR) + "/codec_vectors.json");
    return document;
}

constexpr const char* record_kinds[] = {"mixture",         "duration",        "stream",
                                        "model",           "observation",     "segmentation",
                                        "observation_set", "segmentation_set"};

template <Scalar S, class Visit>
void with_record_type(const std::string& kind, Visit&& visit) {
    using Types =
        std::tuple<GaussianMixtureParameters<S>, DurationParameters<S>, StreamParameters<S>,
                   ModelParameters<S>, ObservationData<S>, SegmentationData<S>,
                   std::vector<ObservationData<S>>, std::vector<SegmentationData<S>>>;
    bool known = false;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((kind == record_kinds[I]
              ? (known = true, visit(std::type_identity<std::tuple_element_t<I, Types>>{}))
              : void()),
         ...);
    }(std::make_index_sequence<std::size(record_kinds)>{});
    if (!known) ADD_FAILURE() << "unknown record kind " << kind;
}

template <class T>
class CodecVectors : public ::testing::Test {};
TYPED_TEST_SUITE(CodecVectors, Scalars);

TYPED_TEST(CodecVectors, ValidRecordsDecodeWriteBackAndChargeTheirBudget) {
    for (const Json& vector : vectors()["valid"].items) {
        SCOPED_TRACE(vector["name"].text);
        const Bytes bytes = from_hex(vector["hex"].text);
        const std::uint64_t budget = vector["budget"].unsigned_integer();
        with_record_type<TypeParam>(vector["kind"].text, [&]<class T>(std::type_identity<T>) {
            T expected{};
            from_json(vector["value"], expected);
            EXPECT_EQ(text(read_record<T>(bytes, default_max_array_entries)), text(expected));
            EXPECT_EQ(text(read_record<T>(bytes, budget)), text(expected));
            if (budget > 0) {
                EXPECT_EQ(codec_error_of([&] { read_record<T>(bytes, budget - 1); }),
                          vector["below_budget_error"].text);
            }
            const Json* written = vector.find("write");
            EXPECT_EQ(to_hex(write_record(expected)), (written ? *written : vector["hex"]).text);
            // Records holding mixtures are also written under a chosen schema.
            if constexpr (
                requires { expected.weights; } || requires { expected.emissions; } ||
                requires { expected.durations; }) {
                EXPECT_EQ(write_record(expected, ModelEncoding::current), write_record(expected));
                if (const Json* historical = vector.find("write_historical")) {
                    EXPECT_EQ(to_hex(write_record(expected, ModelEncoding::historical)),
                              historical->text);
                }
            }
            Bytes followed = bytes;
            followed.push_back(0x00);
            EXPECT_EQ(codec_error_of([&] { read_record<T>(followed, default_max_array_entries); }),
                      "trailing data after object");
            const Prefix<T> prefix = read_record_prefix<T>(followed, default_max_array_entries);
            EXPECT_EQ(prefix.position, bytes.size());
            EXPECT_EQ(text(prefix.value), text(expected));
            // Every truncation fails at the end of input, in both read shapes.
            for (std::size_t length = 0; length < bytes.size(); ++length) {
                const std::span<const std::uint8_t> cut(bytes.data(), length);
                for (const std::string& message :
                     {codec_error_of([&] { read_record<T>(cut, default_max_array_entries); }),
                      codec_error_of(
                          [&] { read_record_prefix<T>(cut, default_max_array_entries); })}) {
                    EXPECT_TRUE(message == "failed to read MessagePack marker" ||
                                message == "failed to read MessagePack data")
                        << "length " << length << ": " << message;
                }
            }
        });
    }
}

TYPED_TEST(CodecVectors, InvalidRecordsFailWithTheirMessageAndNoLargeAllocation) {
    for (const Json& vector : vectors()["invalid"].items) {
        SCOPED_TRACE(vector["name"].text);
        const Bytes bytes = from_hex(vector["hex"].text);
        const Json* limit = vector.find("max_array_entries");
        const std::uint64_t budget = limit ? limit->unsigned_integer() : default_max_array_entries;
        with_record_type<TypeParam>(vector["kind"].text, [&]<class T>(std::type_identity<T>) {
            largest_allocation = 0;
            const auto whole = codec_failure([&] { read_record<T>(bytes, budget); });
            const std::string prefix =
                codec_error_of([&] { read_record_prefix<T>(bytes, budget); });
            EXPECT_LT(largest_allocation.load(), 4096u);
            EXPECT_EQ(whole.first, vector["error"].text);
            EXPECT_EQ(whole.second, CodecErrorKind::invalid_data);
            EXPECT_EQ(prefix, vector["error"].text);
        });
    }
}

// Mutated vectors, read as every record kind: a codec error, or a value that writes without
// complaint and reads back to the same bytes.
TYPED_TEST(CodecVectors, RandomMutationsDecodeOrFailCleanly) {
    static constexpr std::uint8_t telling_bytes[] = {0x00, 0x01, 0x7F, 0x80, 0x90, 0x93, 0x9F,
                                                     0xC0, 0xCA, 0xCB, 0xCC, 0xCE, 0xCF, 0xD0,
                                                     0xD2, 0xD3, 0xDC, 0xDD, 0xE0, 0xFF};
    const auto& valid = vectors()["valid"].items;
    std::mt19937_64 random(0x5eed0c0dec);
    const auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes = from_hex(valid[below(valid.size())]["hex"].text);
        for (std::size_t e = 1 + below(3); e > 0 && !bytes.empty(); --e) {
            const auto at = bytes.begin() + static_cast<std::ptrdiff_t>(below(bytes.size()));
            const std::uint8_t telling = telling_bytes[below(std::size(telling_bytes))];
            switch (below(5)) {
                case 0:
                    *at = static_cast<std::uint8_t>(below(256));
                    break;
                case 1:
                    *at = telling;
                    break;
                case 2:
                    *at ^= static_cast<std::uint8_t>(1u << below(8));
                    break;
                case 3:
                    bytes.insert(at, telling);
                    break;
                default:
                    bytes.erase(at);
                    break;
            }
        }
        for (const char* kind : record_kinds) {
            with_record_type<TypeParam>(kind, [&]<class T>(std::type_identity<T>) {
                std::optional<T> value;
                try {
                    value = read_record<T>(bytes, default_max_array_entries);
                } catch (const CodecError&) {
                    return;
                }
                const Bytes written = write_record(*value);
                EXPECT_EQ(write_record(read_record<T>(written, default_max_array_entries)),
                          written);
                EXPECT_EQ(read_record_prefix<T>(bytes, default_max_array_entries).position,
                          bytes.size());
            });
        }
    }
}

}  // namespace
}  // namespace tarvek::testing
