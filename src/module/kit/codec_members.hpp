#pragma once
// The byte-string members every serializable class shares: four static readers, `write()`,
// optionally `write_with_encoding(code)`, and the decoded class a prefix reader returns.
//
// A reading class holds the core record type as its value and names its decoded class:
//   static std::string decoded_name();        // "DecodedModelF32"
// Sample-set collections also declare `static constexpr bool sample_set = true;`, which names
// the decoded members `samples()` / `into_samples()` instead of `parameters()` /
// `into_parameters()`.

#include <cstdint>
#include <string>
#include <utility>

#include "core/numerics/error.hpp"
#include "core/codec/serial.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

// What a prefix reader returns: the decoded value and the number of bytes consumed.
template <class Record>
struct Decoded {
    Record value;
    std::uint64_t position = 0;
};

template <class ReadingClass>
constexpr bool is_sample_set() {
    if constexpr (requires { ReadingClass::sample_set; }) {
        return ReadingClass::sample_set;
    } else {
        return false;
    }
}

template <class ReadingClass>
struct DecodedClass {
    using Record = typename ReadingClass::Value;
    using Value = Decoded<Record>;
    static std::string name() { return ReadingClass::decoded_name(); }

    static void define(ClassBuilder<DecodedClass>& c) {
        constexpr bool set = is_sample_set<ReadingClass>();
        c.property("position", [](const Value& decoded) { return decoded.position; });
        c.method(set ? "samples()" : "parameters()",
                 [](const Value& decoded) { return make_object<ReadingClass>(decoded.value); });
        c.method(set ? "into_samples()" : "into_parameters()", [](Taken<Value> decoded) {
            return make_object<ReadingClass>(std::move(decoded.value.value));
        });
    }
};

template <class ReadingClass>
Object read_whole(const ByteString& bytes, std::uint64_t max_array_entries) {
    using Record = typename ReadingClass::Value;
    return make_object<ReadingClass>(read_record<Record>(bytes.bytes, max_array_entries));
}

template <class ReadingClass>
Object read_prefix(const ByteString& bytes, std::uint64_t max_array_entries) {
    using Record = typename ReadingClass::Value;
    Prefix<Record> prefix = read_record_prefix<Record>(bytes.bytes, max_array_entries);
    return make_object<DecodedClass<ReadingClass>>(
        Decoded<Record>{std::move(prefix.value), prefix.position});
}

// read, read_with_limits, read_prefix, read_prefix_with_limits and write().
template <class ReadingClass>
void define_codec(ClassBuilder<ReadingClass>& c) {
    using Record = typename ReadingClass::Value;
    c.static_method("read(bytes)", [](const ByteString& bytes) {
        return read_whole<ReadingClass>(bytes, default_max_array_entries);
    });
    c.static_method("read_with_limits(bytes, max_array_entries)",
                    [](const ByteString& bytes, std::uint64_t max_array_entries) {
                        return read_whole<ReadingClass>(bytes, max_array_entries);
                    });
    c.static_method("read_prefix(bytes)", [](const ByteString& bytes) {
        return read_prefix<ReadingClass>(bytes, default_max_array_entries);
    });
    c.static_method("read_prefix_with_limits(bytes, max_array_entries)",
                    [](const ByteString& bytes, std::uint64_t max_array_entries) {
                        return read_prefix<ReadingClass>(bytes, max_array_entries);
                    });
    c.method("write()", [](const Record& value) { return ByteString{write_record(value)}; });
}

// write_with_encoding(code): 0 the current schema, 1 the historical one; any other code is
// refused before the value is examined.
template <class ReadingClass>
void define_write_with_encoding(ClassBuilder<ReadingClass>& c) {
    using Record = typename ReadingClass::Value;
    c.method("write_with_encoding(code)", [](const Record& value, std::uint32_t code) {
        if (code > 1) throw ModelError("invalid model encoding");
        return ByteString{write_record(value, static_cast<ModelEncoding>(code))};
    });
}

}  // namespace tarvek::py
