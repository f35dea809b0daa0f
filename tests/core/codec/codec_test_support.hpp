#pragma once
// Helpers shared by the codec tests: hex byte strings and the codec's error.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec/serial.hpp"
#include "test_support.hpp"

namespace tarvek::testing {

using Bytes = std::vector<std::uint8_t>;

// "94 01 CA" gives the three bytes.
inline Bytes from_hex(std::string_view hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += hex[i] == ' ' ? 1 : 2) {
        if (hex[i] != ' ') bytes.push_back(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return bytes;
}

inline std::string to_hex(const Bytes& bytes) {
    std::string out;
    for (const std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += "0123456789ABCDEF"[b >> 4];
        out += "0123456789ABCDEF"[b & 15];
    }
    return out;
}

// The message and kind of the CodecError `action` throws; "no error" when none.
template <class Action>
std::pair<std::string, CodecErrorKind> codec_failure(Action&& action) {
    try {
        action();
    } catch (const CodecError& error) {
        return {error.what(), error.kind()};
    }
    return {"no error", CodecErrorKind::invalid_data};
}
template <class Action>
std::string codec_error_of(Action&& action) {
    return codec_failure(action).first;
}

}  // namespace tarvek::testing
