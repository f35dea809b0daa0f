#pragma once
// Byte strings of models, streams, Gaussian mixtures, durations, observations, segmentations
// and sets of observations or segmentations. Each is one MessagePack record made of array
// headers, integers in the signed 32-bit range and 32-bit floats only, with no version or
// precision marker: both precisions write and read the same bytes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/data/data.hpp"
#include "core/numerics/error.hpp"
#include "core/model/model.hpp"

namespace tarvek {

// The parameter schema of Gaussian mixtures (schema codes 0 and 1): the current one stores a
// variance floor beside every mean and variance, the historical one only means and variances.
enum class ModelEncoding : std::uint8_t { current = 0, historical = 1 };

// Invalid data: found while decoding, by the checks after decoding, or an array too large to
// write. Invalid input: refused by the checks that run before writing.
enum class CodecErrorKind : std::uint8_t { invalid_data, invalid_input };

// The failure of every codec operation. Callers only use the message; displaying the error
// yields the message alone.
class CodecError : public Error {
  public:
    template <std::size_t N>
    CodecError(CodecErrorKind kind, const char (&message)[N]) noexcept
        : Error(message), kind_(kind) {}
    // A message formatted at run time, shared by the copies of the error.
    CodecError(CodecErrorKind kind, std::string message);
    // A validation failure, its message unchanged.
    CodecError(CodecErrorKind kind, const ModelError& error) noexcept;

    const char* what() const noexcept override;
    CodecErrorKind kind() const noexcept { return kind_; }

  private:
    std::shared_ptr<const std::string> formatted_;
    CodecErrorKind kind_;
};

// The array-entry budget of the readers that take none.
inline constexpr std::uint64_t default_max_array_entries = 16777216;

// A record decoded from the start of a byte string and the number of bytes it took.
template <class T>
struct Prefix {
    T value;
    std::uint64_t position;
};

// Record types T, for S = float and double: GaussianMixtureParameters<S>,
// DurationParameters<S>, StreamParameters<S>, ModelParameters<S>, ObservationData<S>,
// SegmentationData<S>, std::vector<ObservationData<S>>, std::vector<SegmentationData<S>>.

// Writes one record in the current schema. Mixtures, streams and models get the mixture
// shape check first, observations and segmentations their validation, sets the validation
// of every member before anything is written; durations are written unchecked.
template <class T>
std::vector<std::uint8_t> write_record(const T& value);

// Mixtures, streams and models only: the shape check, then under the historical schema the
// test that every variance floor is zero, then the record in the given schema.
template <class T>
std::vector<std::uint8_t> write_record(const T& value, ModelEncoding encoding);

// Decodes one record from the whole buffer; bytes after it fail with
// "trailing data after object". At most `max_array_entries` array entries are decoded.
template <class T>
T read_record(std::span<const std::uint8_t> bytes, std::uint64_t max_array_entries);

// Decodes one record from the start of the buffer; what follows is not looked at.
template <class T>
Prefix<T> read_record_prefix(std::span<const std::uint8_t> bytes, std::uint64_t max_array_entries);

}  // namespace tarvek
