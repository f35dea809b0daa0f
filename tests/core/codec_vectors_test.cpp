// The byte strings of tests/data/codec_vectors.json (shared with the Python tests): every valid
// record decodes to its value, writes back byte for byte and charges exactly its budget;
// every invalid one fails with its message; no truncation or mutation of them crashes, and
// no read sizes an allocation from a header alone.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <type_traits>

#include "codec_test_support.hpp"
#include "json_support.hpp"

// GCC cannot tell that these replacements pair malloc with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
// The largest single allocation since the last reset.
std::atomic<std::size_t> largest_allocation{0};
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

const Json& vectors() {
    static const Json document =
        load_json(std::string(TARVEK_TEST_DATA_DIR) + "/codec_vectors.json");
    return document;
}

// ---- Values described in the data file ----------------------------------------------------

template <Scalar S>
std::vector<S> scalars_from(const Json& json) {
    std::vector<S> values;
    for (const Json& item : json.items) values.push_back(static_cast<S>(item.number()));
    return values;
}
std::vector<std::int32_t> integers_from(const Json& json) {
    std::vector<std::int32_t> values;
    for (const Json& item : json.items) values.push_back(static_cast<std::int32_t>(item.integer()));
    return values;
}

template <Scalar S>
void from_json(const Json& json, GaussianMixtureParameters<S>& mixture) {
    mixture.weights = scalars_from<S>(json["weights"]);
    mixture.means = scalars_from<S>(json["means"]);
    mixture.variances = scalars_from<S>(json["variances"]);
    mixture.variance_floors = scalars_from<S>(json["variance_floors"]);
    mixture.dimensions = json["dimensions"].unsigned_integer();
}
template <Scalar S>
void from_json(const Json& json, DurationParameters<S>& duration) {
    duration.mean = static_cast<S>(json["mean"].number());
    duration.variance = static_cast<S>(json["variance"].number());
    duration.minimum_duration = static_cast<std::int32_t>(json["minimum_duration"].integer());
    duration.maximum_duration = static_cast<std::int32_t>(json["maximum_duration"].integer());
    duration.fixed_mean_duration = static_cast<std::int32_t>(json["fixed_mean_duration"].integer());
    duration.variance_floor = static_cast<S>(json["variance_floor"].number());
}
template <Scalar S>
void from_json(const Json& json, StreamParameters<S>& stream) {
    stream.weight = static_cast<S>(json["weight"].number());
    for (const Json& item : json["emissions"].items)
        from_json(item, stream.emissions.emplace_back());
}
template <Scalar S>
void from_json(const Json& json, ModelParameters<S>& model) {
    for (const Json& item : json["streams"].items) from_json(item, model.streams.emplace_back());
    for (const Json& item : json["durations"].items)
        from_json(item, model.durations.emplace_back());
}
template <Scalar S>
void from_json(const Json& json, ObservationData<S>& observation) {
    observation.frames = json["frames"].unsigned_integer();
    for (const Json& item : json["streams"].items) {
        observation.streams.push_back(
            {scalars_from<S>(item["values"]), item["dimension"].unsigned_integer()});
    }
}
template <Scalar S>
void from_json(const Json& json, SegmentationData<S>& segmentation) {
    segmentation.boundaries = integers_from(json["boundaries"]);
    segmentation.duration_states = integers_from(json["duration_states"]);
    for (const Json& row : json["output_states"].items) {
        segmentation.output_states.push_back(integers_from(row));
    }
    for (const Json& list : json["outgoing"].items) {
        auto& jumps = segmentation.outgoing.emplace_back();
        for (const Json& jump : list.items) {
            jumps.push_back({static_cast<std::int32_t>(jump["delta"].integer()),
                             static_cast<S>(jump["probability"].number())});
        }
    }
}
template <class Member>
void from_json(const Json& json, std::vector<Member>& members) {
    for (const Json& item : json.items) from_json(item, members.emplace_back());
}

// ---- Record kinds -------------------------------------------------------------------------

template <class T>
struct IsModelRecord : std::false_type {};
template <Scalar S>
struct IsModelRecord<GaussianMixtureParameters<S>> : std::true_type {};
template <Scalar S>
struct IsModelRecord<StreamParameters<S>> : std::true_type {};
template <Scalar S>
struct IsModelRecord<ModelParameters<S>> : std::true_type {};

template <Scalar S, class Visit>
void with_record_type(const std::string& kind, Visit&& visit) {
    if (kind == "mixture") {
        visit(std::type_identity<GaussianMixtureParameters<S>>{});
    } else if (kind == "duration") {
        visit(std::type_identity<DurationParameters<S>>{});
    } else if (kind == "stream") {
        visit(std::type_identity<StreamParameters<S>>{});
    } else if (kind == "model") {
        visit(std::type_identity<ModelParameters<S>>{});
    } else if (kind == "observation") {
        visit(std::type_identity<ObservationData<S>>{});
    } else if (kind == "segmentation") {
        visit(std::type_identity<SegmentationData<S>>{});
    } else if (kind == "observation_set") {
        visit(std::type_identity<std::vector<ObservationData<S>>>{});
    } else if (kind == "segmentation_set") {
        visit(std::type_identity<std::vector<SegmentationData<S>>>{});
    } else {
        ADD_FAILURE() << "unknown record kind " << kind;
    }
}

constexpr std::array<const char*, 8> record_kinds = {
    "mixture",     "duration",     "stream",          "model",
    "observation", "segmentation", "observation_set", "segmentation_set"};

template <class T>
class CodecVectors : public ::testing::Test {};
TYPED_TEST_SUITE(CodecVectors, Scalars);

TYPED_TEST(CodecVectors, ValidRecordsDecodeWriteBackAndChargeTheirBudget) {
    using S = TypeParam;
    for (const Json& vector : vectors()["valid"].items) {
        SCOPED_TRACE(vector["name"].text);
        const Bytes bytes = from_hex(vector["hex"].text);
        const std::uint64_t budget = vector["budget"].unsigned_integer();
        with_record_type<S>(vector["kind"].text, [&]<class T>(std::type_identity<T>) {
            T expected{};
            from_json(vector["value"], expected);
            EXPECT_TRUE(same_record(read_record<T>(bytes, default_max_array_entries), expected));

            EXPECT_TRUE(same_record(read_record<T>(bytes, budget), expected));
            if (budget > 0) {
                EXPECT_EQ(codec_error_of([&] { read_record<T>(bytes, budget - 1); }),
                          vector["below_budget_error"].text);
                EXPECT_EQ(codec_error_of([&] { read_record<T>(bytes, 0); }),
                          "model exceeds the array-entry decoding limit");
            }

            const Json* written = vector.find("write");
            EXPECT_EQ(to_hex(write_record(expected)),
                      to_hex(from_hex((written ? *written : vector["hex"]).text)));
            if constexpr (IsModelRecord<T>::value) {
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
            EXPECT_TRUE(same_record(prefix.value, expected));
        });
    }
}

TYPED_TEST(CodecVectors, InvalidRecordsFailWithTheirMessageAndNoLargeAllocation) {
    using S = TypeParam;
    for (const Json& vector : vectors()["invalid"].items) {
        SCOPED_TRACE(vector["name"].text);
        const Bytes bytes = from_hex(vector["hex"].text);
        const Json* limit = vector.find("max_array_entries");
        const std::uint64_t budget = limit ? limit->unsigned_integer() : default_max_array_entries;
        with_record_type<S>(vector["kind"].text, [&]<class T>(std::type_identity<T>) {
            largest_allocation = 0;
            const std::string whole = codec_error_of([&] { read_record<T>(bytes, budget); });
            const std::string prefix =
                codec_error_of([&] { read_record_prefix<T>(bytes, budget); });
            EXPECT_LT(largest_allocation.load(), 4096u);
            EXPECT_EQ(whole, vector["error"].text);
            EXPECT_EQ(prefix, vector["error"].text);
            EXPECT_EQ(codec_error_kind_of([&] { read_record<T>(bytes, budget); }),
                      CodecErrorKind::invalid_data);
        });
    }
}

TYPED_TEST(CodecVectors, EveryTruncationFailsAtTheEndOfInput) {
    using S = TypeParam;
    for (const Json& vector : vectors()["valid"].items) {
        SCOPED_TRACE(vector["name"].text);
        const Bytes bytes = from_hex(vector["hex"].text);
        with_record_type<S>(vector["kind"].text, [&]<class T>(std::type_identity<T>) {
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

// A decoded record writes without complaint, and what it writes reads back to itself.
template <class T>
void expect_decodes_or_fails_cleanly(const Bytes& bytes) {
    std::optional<T> value;
    try {
        value = read_record<T>(bytes, default_max_array_entries);
    } catch (const CodecError&) {
        return;
    }
    const Bytes written = write_record(*value);
    EXPECT_EQ(write_record(read_record<T>(written, default_max_array_entries)), written);
    try {
        EXPECT_LE(read_record_prefix<T>(bytes, default_max_array_entries).position, bytes.size());
    } catch (const CodecError&) {
        ADD_FAILURE() << "a whole-buffer read succeeded where the prefix read failed";
    }
}

TYPED_TEST(CodecVectors, RandomMutationsDecodeOrFailCleanly) {
    using S = TypeParam;
    static constexpr std::uint8_t telling_bytes[] = {0x00, 0x01, 0x7F, 0x80, 0x90, 0x93, 0x9F,
                                                     0xC0, 0xCA, 0xCB, 0xCC, 0xCE, 0xCF, 0xD0,
                                                     0xD2, 0xD3, 0xDC, 0xDD, 0xE0, 0xFF};
    const auto& valid = vectors()["valid"].items;
    std::mt19937_64 random(0x5eed0c0dec);
    auto below = [&](std::size_t n) {
        return static_cast<std::size_t>(
            std::uniform_int_distribution<std::size_t>(0, n - 1)(random));
    };
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes = from_hex(valid[below(valid.size())]["hex"].text);
        const std::size_t edits = 1 + below(3);
        for (std::size_t e = 0; e < edits && !bytes.empty(); ++e) {
            const std::size_t at = below(bytes.size());
            switch (below(5)) {
                case 0:
                    bytes[at] = static_cast<std::uint8_t>(below(256));
                    break;
                case 1:
                    bytes[at] = telling_bytes[below(std::size(telling_bytes))];
                    break;
                case 2:
                    bytes[at] ^= static_cast<std::uint8_t>(1u << below(8));
                    break;
                case 3:
                    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                 telling_bytes[below(std::size(telling_bytes))]);
                    break;
                default:
                    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at));
                    break;
            }
        }
        for (const char* kind : record_kinds) {
            with_record_type<S>(kind, [&]<class T>(std::type_identity<T>) {
                expect_decodes_or_fails_cleanly<T>(bytes);
            });
        }
    }
}

}  // namespace
}  // namespace tarvek::testing
