#pragma once
// The MessagePack forms every record is made of (array headers, integers and 32-bit floats),
// and how the codec reports invalid data.
// Integers are written in their shortest form and read in any form whose value fits a signed
// 32-bit integer; floats are always float32. The decoder charges every array header it meets
// against one array-entry budget, and never sizes an array from a header alone, so a header
// that promises more than the input holds fails at the end of input, not in the allocator.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/codec/serial.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

// Fails with invalid data and a fixed message.
template <std::size_t N>
[[noreturn]] void fail_data(const char (&message)[N]) {
    throw CodecError(CodecErrorKind::invalid_data, message);
}

// Runs a model or data check; its failure becomes a codec error of the given kind.
template <class Check>
void as_codec_error(CodecErrorKind kind, Check&& check) {
    try {
        check();
    } catch (const ModelError& error) {
        throw CodecError(kind, error);
    }
}

namespace wire {
inline constexpr std::uint8_t float32 = 0xCA;
inline constexpr std::uint64_t max_array_count = 0xFFFFFFFF;
// Fewest bytes that an encoded item of each kind takes; bounds what the rest of the input
// could still hold.
inline constexpr std::size_t min_integer_bytes = 1;
inline constexpr std::size_t float_bytes = 5;
}  // namespace wire

// Appends items to a caller's buffer.
class Writer {
  public:
    explicit Writer(std::vector<std::uint8_t>& out) noexcept : out_(out) {}

    // Fails with "array exceeds MessagePack limits" above 4294967295 entries, writing nothing.
    void array(std::uint64_t count);
    void integer(std::int32_t value);
    void integers(std::span<const std::int32_t> values);

    // 64-bit values are rounded to the nearest float32 (infinite beyond its range).
    template <Scalar S>
    void value(S value) {
        std::uint8_t* at = grow(wire::float_bytes);
        put_float(at, value);
    }
    // The values one after the other, without a header.
    template <Scalar S>
    void values(std::span<const S> values) {
        std::uint8_t* at = grow(values.size() * wire::float_bytes);
        for (const S v : values) {
            put_float(at, v);
            at += wire::float_bytes;
        }
    }
    // Room for `bytes` more bytes; returns where they start.
    std::uint8_t* grow(std::size_t bytes) {
        const std::size_t size = out_.size();
        out_.resize(size + bytes);
        return out_.data() + size;
    }

    template <Scalar S>
    static void put_float(std::uint8_t* at, S value) noexcept {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
        at[0] = wire::float32;
        at[1] = static_cast<std::uint8_t>(bits >> 24);
        at[2] = static_cast<std::uint8_t>(bits >> 16);
        at[3] = static_cast<std::uint8_t>(bits >> 8);
        at[4] = static_cast<std::uint8_t>(bits);
    }

  private:
    std::vector<std::uint8_t>& out_;
};

// Reads items from the front of an input, charging array headers against a budget.
class Decoder {
  public:
    Decoder(std::span<const std::uint8_t> input, std::uint64_t max_array_entries) noexcept
        : data_(input.data()), size_(input.size()), remaining_(max_array_entries) {}

    // An array header, charged against the budget before anything else looks at its count.
    std::uint64_t array() {
        const std::uint64_t count = array_header();
        if (count > remaining_) fail_budget();
        remaining_ -= count;
        return count;
    }
    // `array`, whose count must equal `expected`.
    void expect_array(std::uint64_t expected) {
        const std::uint64_t count = array();
        if (count != expected) fail_length(expected, count);
    }
    // Charges `count` once more; the budget of a jump list counts each jump twice.
    void charge_jump_data(std::uint64_t count);

    // An integer of at least 1 (counts and dimensions).
    std::uint64_t dimension();
    // An integer of at least 0.
    std::uint64_t nonnegative_integer();

    std::int32_t integer() {
        const std::uint8_t marker = take_marker();
        if (marker <= 0x7F) return marker;
        if (marker >= 0xE0) return static_cast<std::int8_t>(marker);
        return integer_data(marker);
    }

    float float32() {
        if (size_ - position_ >= wire::float_bytes && data_[position_] == wire::float32) {
            const std::uint32_t bits = load_be32(data_ + position_ + 1);
            position_ += wire::float_bytes;
            return std::bit_cast<float>(bits);
        }
        return float32_slow();
    }
    // Appends `count` floats to `out`.
    template <Scalar S>
    void values(std::uint64_t count, std::vector<S>& out) {
        out.reserve(out.size() + reservable(count, wire::float_bytes));
        for (std::uint64_t i = 0; i < count; ++i) out.push_back(static_cast<S>(float32()));
    }
    // Appends `count` integers to `out`.
    void integers(std::uint64_t count, std::vector<std::int32_t>& out) {
        out.reserve(out.size() + reservable(count, wire::min_integer_bytes));
        for (std::uint64_t i = 0; i < count; ++i) out.push_back(integer());
    }

    // Whole-buffer reads: fails with "trailing data after object" when input remains.
    void end() const;

    // Bytes consumed so far.
    std::uint64_t position() const noexcept { return position_; }
    // How many of `count` items, each at least `item_bytes` long, the rest of the input could
    // hold: the most a reader may reserve for them.
    std::size_t reservable(std::uint64_t count, std::size_t item_bytes) const noexcept {
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(count, (size_ - position_) / item_bytes));
    }

  private:
    static std::uint32_t load_be32(const std::uint8_t* at) noexcept {
        std::uint32_t bits;
        std::memcpy(&bits, at, sizeof bits);
        if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap32(bits);
        return bits;
    }
    std::uint8_t take_marker() {
        if (position_ == size_) fail_marker();
        return data_[position_++];
    }
    std::uint64_t array_header();
    std::int32_t integer_data(std::uint8_t marker);
    float float32_slow();
    // Big-endian data bytes of the item whose marker was just read.
    std::uint64_t take_data(std::size_t bytes);

    [[noreturn]] static void fail_marker();
    [[noreturn]] static void fail_budget();
    [[noreturn]] static void fail_length(std::uint64_t expected, std::uint64_t found);

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    std::uint64_t remaining_;
};

}  // namespace tarvek
