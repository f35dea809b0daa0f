#pragma once
// Helpers shared by the codec tests: hex byte strings, the codec's error message, and
// field-by-field equality of the model records (NaN equal to NaN of the same bits).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/serial.hpp"
#include "test_support.hpp"

namespace tarvek::testing {

using Bytes = std::vector<std::uint8_t>;

// "94 01 CA" and "9401ca" both give the three bytes.
inline Bytes from_hex(std::string_view hex) {
    Bytes bytes;
    int high = -1;
    for (const char c : hex) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            continue;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    return bytes;
}

inline std::string to_hex(const Bytes& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The message of the CodecError `action` throws, or "no error".
template <class Action>
std::string codec_error_of(Action&& action) {
    try {
        action();
    } catch (const CodecError& error) {
        return error.what();
    }
    return "no error";
}

template <class Action>
CodecErrorKind codec_error_kind_of(Action&& action) {
    try {
        action();
    } catch (const CodecError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no error";
    return CodecErrorKind::invalid_data;
}

template <Scalar S>
bool same_values(const std::vector<S>& a, const std::vector<S>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (bits(a[i]) != bits(b[i])) return false;
    }
    return true;
}

template <class T>
bool same_records(const std::vector<T>& a, const std::vector<T>& b);

template <Scalar S>
bool same_record(const GaussianMixtureParameters<S>& a, const GaussianMixtureParameters<S>& b) {
    return a.dimensions == b.dimensions && same_values(a.weights, b.weights) &&
           same_values(a.means, b.means) && same_values(a.variances, b.variances) &&
           same_values(a.variance_floors, b.variance_floors);
}
template <Scalar S>
bool same_record(const DurationParameters<S>& a, const DurationParameters<S>& b) {
    return bits(a.mean) == bits(b.mean) && bits(a.variance) == bits(b.variance) &&
           a.minimum_duration == b.minimum_duration && a.maximum_duration == b.maximum_duration &&
           a.fixed_mean_duration == b.fixed_mean_duration &&
           bits(a.variance_floor) == bits(b.variance_floor);
}
template <Scalar S>
bool same_record(const StreamParameters<S>& a, const StreamParameters<S>& b) {
    return bits(a.weight) == bits(b.weight) && same_records(a.emissions, b.emissions);
}
template <Scalar S>
bool same_record(const ModelParameters<S>& a, const ModelParameters<S>& b) {
    return same_records(a.streams, b.streams) && same_records(a.durations, b.durations);
}
template <Scalar S>
bool same_record(const ObservationData<S>& a, const ObservationData<S>& b) {
    return a == b;
}
template <Scalar S>
bool same_record(const SegmentationData<S>& a, const SegmentationData<S>& b) {
    return a == b;
}
template <class T>
bool same_record(const std::vector<T>& a, const std::vector<T>& b) {
    return same_records(a, b);
}

template <class T>
bool same_records(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_record(a[i], b[i])) return false;
    }
    return true;
}

}  // namespace tarvek::testing
