#pragma once
// Observations and segmentations: the two data values every inference, training and
// generation operation works on, with their shape constructors and their validation.
// Values own all their arrays; copies are deep.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/numerics/numerics.hpp"

namespace tarvek {

// One stream of one observation: frame-major values, dimension j of frame t at
// index t * dimension + j.
template <Scalar S>
struct ObservationStreamData {
    std::vector<S> values;
    std::size_t dimension = 0;

    bool operator==(const ObservationStreamData&) const = default;
};

// One observation sequence: a frame count shared by every stream.
template <Scalar S>
struct ObservationData {
    std::vector<ObservationStreamData<S>> streams;
    std::size_t frames = 0;

    // One zero-filled stream per entry of `dimensions`, each of `frames` frames.
    static ObservationData create(std::size_t frames, std::span<const std::size_t> dimensions);

    // Throws the first failing check: frame count, stream presence, then per stream its
    // dimension and its value count.
    void validate() const;

    // Whether every value of every stream is finite.
    bool all_values_finite() const noexcept;

    std::size_t stream_count() const noexcept { return streams.size(); }

    bool operator==(const ObservationData&) const = default;
};

// One outgoing jump of a segment: the target is the source plus `delta`. The default
// jump is the advance to the next segment with weight 1.
template <Scalar S>
struct JumpParameters {
    std::int32_t delta = 1;
    S probability = S(1);

    bool operator==(const JumpParameters&) const = default;
};

// A left-to-right chain of segments. Entry i of `boundaries` is the exclusive end frame of
// segment i; `output_states` holds one row per stream. Every outgoing list of a valid
// segmentation ends with its single delta-1 jump.
template <Scalar S>
struct SegmentationData {
    std::vector<std::int32_t> boundaries;
    std::vector<std::int32_t> duration_states;
    std::vector<std::vector<std::int32_t>> output_states;
    std::vector<std::vector<JumpParameters<S>>> outgoing;

    // Zero boundaries and states, every outgoing list the single default jump. Refuses a
    // shape whose total size is past the allocation cap with std::bad_alloc before
    // allocating anything.
    static SegmentationData create(std::size_t streams, std::size_t segments);

    // Throws the first failing check: array lengths, then the outgoing-list rule. Boundaries,
    // states and probabilities are not looked at.
    void validate() const;

    std::size_t segment_count() const noexcept { return boundaries.size(); }
    std::size_t stream_count() const noexcept { return output_states.size(); }

    bool operator==(const SegmentationData&) const = default;
};

}  // namespace tarvek
