#include "core/data/data.hpp"

#include <optional>

#include "core/numerics/allocation.hpp"
#include "core/numerics/error.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

template <Scalar S>
ObservationData<S> ObservationData<S>::create(std::size_t frames,
                                              std::span<const std::size_t> dimensions) {
    if (frames >= legacy_count_limit || dimensions.empty()) {
        throw ModelError("observation requires streams and a frame count fitting i32");
    }
    const ModelError allocation_failed("observation allocation failed");
    // Every dimension, and the running size of the whole value, is checked in stream order
    // before anything is allocated, so an oversized shape is refused without zero-filling
    // the streams before it.
    std::optional<std::uint64_t> total_bytes = 0;
    for (const std::size_t dimension : dimensions) {
        if (dimension == 0 || dimension >= legacy_count_limit) {
            throw ModelError("observation dimensions must be positive and fit i32");
        }
        total_bytes =
            checked_add(total_bytes, checked_mul(checked_mul(frames, dimension), sizeof(S)));
        if (!allocation_fits(total_bytes)) throw allocation_failed;
    }
    ObservationData result;
    result.frames = frames;
    result.streams.reserve(dimensions.size());
    for (const std::size_t dimension : dimensions) {
        result.streams.push_back(
            {allocate_or_fail<S>(frames * dimension, S(0), allocation_failed), dimension});
    }
    return result;
}

template <Scalar S>
void ObservationData<S>::validate() const {
    if (frames >= legacy_count_limit) throw ModelError("frame count exceeds the legacy format");
    if (streams.empty()) throw ModelError("an observation requires at least one stream");
    for (const ObservationStreamData<S>& stream : streams) {
        if (stream.dimension == 0 || stream.dimension >= legacy_count_limit) {
            throw ModelError("observation dimensions must be positive and fit i32");
        }
        // Both factors are below 2^31, so the product cannot wrap.
        if (stream.values.size() != stream.dimension * frames) {
            throw ModelError("observation storage does not match dimensions");
        }
    }
}

template <Scalar S>
bool ObservationData<S>::all_values_finite() const noexcept {
    for (const ObservationStreamData<S>& stream : streams) {
        if (!all_finite(stream.values)) return false;
    }
    return true;
}

namespace {

// Total bytes of a new segmentation of the given shape, or empty when that overflows.
template <Scalar S>
std::optional<std::uint64_t> segmentation_bytes(std::uint64_t streams, std::uint64_t segments) {
    using Row = std::vector<std::int32_t>;
    using JumpList = std::vector<JumpParameters<S>>;
    const auto state_arrays = checked_mul(segments, 2 * sizeof(std::int32_t));
    const auto rows =
        checked_add(checked_mul(streams, sizeof(Row) + heap_block_overhead),
                    checked_mul(checked_mul(streams, segments), sizeof(std::int32_t)));
    // Every segment's one-jump list is a heap block of its own.
    const auto jump_lists =
        checked_mul(segments, sizeof(JumpList) + sizeof(JumpParameters<S>) + heap_block_overhead);
    return checked_add(checked_add(state_arrays, rows), jump_lists);
}

}  // namespace

template <Scalar S>
SegmentationData<S> SegmentationData<S>::create(std::size_t streams, std::size_t segments) {
    require_allocatable(segmentation_bytes<S>(streams, segments));
    SegmentationData result;
    result.boundaries.assign(segments, 0);
    result.duration_states.assign(segments, 0);
    result.output_states.resize(streams);  // rows filled in place: no extra row to copy from
    for (std::vector<std::int32_t>& row : result.output_states) row.assign(segments, 0);
    result.outgoing.assign(segments, std::vector<JumpParameters<S>>(1));
    return result;
}

template <Scalar S>
void SegmentationData<S>::validate() const {
    const std::size_t segments = boundaries.size();
    const ModelError inconsistent("segmentation arrays have inconsistent lengths");
    if (duration_states.size() != segments || outgoing.size() != segments) throw inconsistent;
    for (const std::vector<std::int32_t>& row : output_states) {
        if (row.size() != segments) throw inconsistent;
    }
    for (const std::vector<JumpParameters<S>>& jumps : outgoing) {
        bool valid = !jumps.empty() && jumps.back().delta == 1;
        for (std::size_t j = 0; valid && j + 1 < jumps.size(); ++j) valid = jumps[j].delta != 1;
        if (!valid)
            throw ModelError("outgoing jumps must terminate with a single delta-1 transition");
    }
}

template struct ObservationData<float>;
template struct ObservationData<double>;
template struct SegmentationData<float>;
template struct SegmentationData<double>;

}  // namespace tarvek
