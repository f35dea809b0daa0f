#include "core/codec/serial_primitives.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace tarvek {

// ---- CodecError ---------------------------------------------------------------------------

CodecError::CodecError(CodecErrorKind kind, std::string message)
    : Error(""), formatted_(std::make_shared<const std::string>(std::move(message))), kind_(kind) {}

CodecError::CodecError(CodecErrorKind kind, const ModelError& error) noexcept
    : Error(Literal{}, error.what()), kind_(kind) {}

const char* CodecError::what() const noexcept {
    return formatted_ ? formatted_->c_str() : Error::what();
}

namespace {

[[noreturn]] void fail_type() {
    fail_data("the type decoded isn't match with the expected one");
}

[[noreturn]] void fail_range() {
    fail_data("out of range integral type conversion attempted");
}

std::int32_t checked_int32(std::int64_t value) {
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        fail_range();
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

// ---- Writer -------------------------------------------------------------------------------

void Writer::array(std::uint64_t count) {
    if (count > wire::max_array_count) fail_data("array exceeds MessagePack limits");
    if (count <= 15) {
        out_.push_back(static_cast<std::uint8_t>(0x90 | count));
    } else if (count <= 0xFFFF) {
        std::uint8_t* at = grow(3);
        at[0] = 0xDC;
        at[1] = static_cast<std::uint8_t>(count >> 8);
        at[2] = static_cast<std::uint8_t>(count);
    } else {
        std::uint8_t* at = grow(5);
        at[0] = 0xDD;
        for (int i = 0; i < 4; ++i) at[1 + i] = static_cast<std::uint8_t>(count >> (24 - 8 * i));
    }
}

void Writer::integer(std::int32_t value) {
    // Two's complement bytes of the value, most significant first.
    const auto bits = static_cast<std::uint32_t>(value);
    auto put = [this, bits](std::uint8_t marker, int bytes) {
        std::uint8_t* at = grow(1 + static_cast<std::size_t>(bytes));
        at[0] = marker;
        for (int i = 0; i < bytes; ++i) {
            at[1 + i] = static_cast<std::uint8_t>(bits >> (8 * (bytes - 1 - i)));
        }
    };
    if (value >= -32 && value <= 127) {
        out_.push_back(static_cast<std::uint8_t>(bits));  // positive or negative fixint
    } else if (value >= 0) {
        if (value <= 0xFF) {
            put(0xCC, 1);
        } else if (value <= 0xFFFF) {
            put(0xCD, 2);
        } else {
            put(0xCE, 4);
        }
    } else if (value >= -128) {
        put(0xD0, 1);
    } else if (value >= -32768) {
        put(0xD1, 2);
    } else {
        put(0xD2, 4);
    }
}

void Writer::integers(std::span<const std::int32_t> values) {
    array(values.size());
    for (const std::int32_t v : values) integer(v);
}

// ---- Decoder ------------------------------------------------------------------------------

void Decoder::fail_marker() {
    fail_data("failed to read MessagePack marker");
}

void Decoder::fail_budget() {
    fail_data("model exceeds the array-entry decoding limit");
}

void Decoder::fail_length(std::uint64_t expected, std::uint64_t found) {
    throw CodecError(
        CodecErrorKind::invalid_data,
        "expected array length " + std::to_string(expected) + ", found " + std::to_string(found));
}

std::uint64_t Decoder::take_data(std::size_t bytes) {
    if (size_ - position_ < bytes) fail_data("failed to read MessagePack data");
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | data_[position_ + i];
    position_ += bytes;
    return value;
}

std::uint64_t Decoder::array_header() {
    const std::uint8_t marker = take_marker();
    if (marker >= 0x90 && marker <= 0x9F) return marker & 0x0F;
    if (marker == 0xDC) return take_data(2);
    if (marker == 0xDD) return take_data(4);
    fail_type();
}

std::int32_t Decoder::integer_data(std::uint8_t marker) {
    switch (marker) {
        case 0xCC:
            return static_cast<std::int32_t>(take_data(1));
        case 0xCD:
            return static_cast<std::int32_t>(take_data(2));
        case 0xCE:
        case 0xCF: {
            const std::uint64_t value = take_data(marker == 0xCE ? 4 : 8);
            if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
                fail_range();
            }
            return static_cast<std::int32_t>(value);
        }
        case 0xD0:
            return static_cast<std::int8_t>(take_data(1));
        case 0xD1:
            return static_cast<std::int16_t>(take_data(2));
        case 0xD2:
            return static_cast<std::int32_t>(take_data(4));
        case 0xD3:
            return checked_int32(static_cast<std::int64_t>(take_data(8)));
        default:
            fail_type();
    }
}

float Decoder::float32_slow() {
    if (take_marker() != wire::float32) fail_type();
    return std::bit_cast<float>(static_cast<std::uint32_t>(take_data(4)));
}

void Decoder::charge_jump_data(std::uint64_t count) {
    if (count > remaining_) fail_data("jump data exceeds the decoding limit");
    remaining_ -= count;
}

std::uint64_t Decoder::dimension() {
    const std::int32_t value = integer();
    if (value < 1) fail_data("mixture count and dimensions must be positive");
    return static_cast<std::uint64_t>(value);
}

std::uint64_t Decoder::nonnegative_integer() {
    const std::int32_t value = integer();
    if (value < 0) fail_data("negative array dimension");
    return static_cast<std::uint64_t>(value);
}

void Decoder::end() const {
    if (position_ != size_) fail_data("trailing data after object");
}

}  // namespace tarvek
