#pragma once
// The pruning windows: which (frame, position) cells of a frames-by-positions table a pass
// visits. Emission scoring, the geometric and HSMM passes, the occupancies and the statistics
// accumulation all take their cells from here, so every pass agrees on the same cells.
//
// State-radius window of segment k (segments are the positions 0 .. S − 1 of a reference
// segmentation over T frames, b_k the exclusive end boundary of segment k, b_(−1) = 0):
//   frames    b_(k−1) .. min(b_k, T − 1), inclusive; the boundary frame b_k is therefore in
//             the windows of both k and k + 1;
//   positions trunc(max(k − r, 0)) .. min(S − 1, trunc(min(k + r, S − 1))), inclusive, with
//             k − r, k + r and the min/max formed in the pass's scalar type.
// Linear band of frame t, half-width w = trunc(slope · S) formed in the scalar type:
//   c = floor(S · t / T) (exact), positions max(c − w, 0) <= s < min(S, c + w) (the sum
//   saturating); at most 2w positions, none when w = 0.
//
// Both shapes are monotone, so the frames at which one position is visited form a single
// contiguous range too; passes that work position by position (one batch of frames per
// position) ask for that range instead of scanning the definition frame by frame.
//
// Every range is half-open: [first, last).

#include <cstdint>
#include <span>

#include "core/numerics/error.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

struct IndexRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // exclusive

    bool empty() const noexcept { return last <= first; }
    std::uint64_t size() const noexcept { return empty() ? 0 : last - first; }
    bool contains(std::uint64_t index) const noexcept { return first <= index && index < last; }
    // The indices in both ranges (for passes that skip the first and last frame).
    IndexRange intersection(IndexRange other) const noexcept {
        return {first > other.first ? first : other.first, last < other.last ? last : other.last};
    }

    bool operator==(const IndexRange&) const = default;
};

// The inner frames 1 .. T − 2, which the geometric posteriors cover: the first and the last
// frame lack a transition on one side. None when T <= 2.
inline IndexRange inner_frames(std::uint64_t frames) noexcept {
    return frames <= 2 ? IndexRange{} : IndexRange{1, frames - 1};
}

// The boundary check that a state-radius window relies on. In order, starting from a previous
// value of 0: each boundary at least the previous one and at most `frames`, else `unordered`;
// then the last boundary (0 when there is none) equal to `frames`, else `final_mismatch`.
void check_window_boundaries(std::span<const std::int32_t> boundaries, std::uint64_t frames,
                             const ModelError& unordered, const ModelError& final_mismatch);

// The state-radius windows of a segmentation. Borrows `boundaries`, which must have passed
// `check_window_boundaries` for `frames` >= 1; the radius must be finite and nonnegative.
// Allocates nothing; every query is O(1) but the position queries (O(log S)).
template <Scalar S>
class StateRadiusWindow {
  public:
    StateRadiusWindow(std::span<const std::int32_t> boundaries, std::uint64_t frames,
                      S radius) noexcept
        : boundaries_(boundaries), frames_(frames), radius_(radius) {}

    std::uint64_t frame_count() const noexcept { return frames_; }
    std::uint64_t position_count() const noexcept { return boundaries_.size(); }

    // Frames of segment k's window; empty when its start lies beyond T − 1.
    IndexRange segment_frames(std::uint64_t k) const noexcept {
        const std::uint64_t start = k == 0 ? 0 : boundary(k - 1);
        const std::uint64_t end = boundary(k) < frames_ - 1 ? boundary(k) : frames_ - 1;
        return {start, end + 1};
    }

    // Positions of segment k's window; may be empty only when rounding in S makes lo > hi
    // (positions beyond 2^24 in 32-bit precision).
    IndexRange segment_positions(std::uint64_t k) const noexcept {
        const std::uint64_t top = position_count() - 1;
        const S centre = static_cast<S>(k);
        const S low = max_ignoring_nan(static_cast<S>(centre - radius_), S(0));
        const S high = min_ignoring_nan(static_cast<S>(centre + radius_), static_cast<S>(top));
        const std::uint64_t lo = saturating_cast<std::uint64_t>(low);
        const std::uint64_t hi = saturating_cast<std::uint64_t>(high);
        return {lo, (hi < top ? hi : top) + 1};
    }

    // The segments whose windows hold position s.
    IndexRange position_segments(std::uint64_t s) const noexcept {
        const std::uint64_t count = position_count();
        const std::uint64_t first =
            first_segment(count, [&](std::uint64_t k) { return segment_positions(k).last > s; });
        const std::uint64_t last =
            first_segment(count, [&](std::uint64_t k) { return segment_positions(k).first > s; });
        return {first, last};
    }

    // The frames at which position s is visited: the union of the frames of the segments in
    // `position_segments(s)`, which is contiguous. A frame where two of those windows meet is
    // listed once.
    IndexRange position_frames(std::uint64_t s) const noexcept {
        const IndexRange segments = position_segments(s);
        if (segments.empty()) return {};
        return {segment_frames(segments.first).first, segment_frames(segments.last - 1).last};
    }

  private:
    std::uint64_t boundary(std::uint64_t k) const noexcept {
        return static_cast<std::uint64_t>(boundaries_[k]);
    }

    // The first k in [0, count) for which the monotone `predicate` holds, or count.
    template <class Predicate>
    static std::uint64_t first_segment(std::uint64_t count, Predicate&& predicate) noexcept {
        std::uint64_t low = 0;
        std::uint64_t high = count;
        while (low < high) {
            const std::uint64_t middle = low + (high - low) / 2;
            if (predicate(middle)) {
                high = middle;
            } else {
                low = middle + 1;
            }
        }
        return low;
    }

    std::span<const std::int32_t> boundaries_;
    std::uint64_t frames_;
    S radius_;
};

// The linear band of a T × S table (T, S >= 1). Allocates nothing; every query is O(1).
class LinearBand {
  public:
    LinearBand(std::uint64_t frames, std::uint64_t positions, std::uint64_t half_width) noexcept
        : frames_(frames), positions_(positions), half_width_(half_width) {}

    // w = trunc(slope · S), the product in S, truncated toward zero and saturating.
    template <Scalar S>
    static std::uint64_t half_width_of(S slope, std::uint64_t positions) noexcept {
        return saturating_cast<std::uint64_t>(static_cast<S>(slope * static_cast<S>(positions)));
    }
    template <Scalar S>
    static LinearBand from_slope(std::uint64_t frames, std::uint64_t positions, S slope) noexcept {
        return {frames, positions, half_width_of(slope, positions)};
    }

    std::uint64_t half_width() const noexcept { return half_width_; }

    // floor(S · t / T) with the product in 128 bits.
    std::uint64_t centre(std::uint64_t t) const noexcept {
        return static_cast<std::uint64_t>(wide(positions_) * t / frames_);
    }

    // The positions of frame t's band.
    IndexRange frame_positions(std::uint64_t t) const noexcept {
        const std::uint64_t c = centre(t);
        const std::uint64_t lo = c >= half_width_ ? c - half_width_ : 0;
        std::uint64_t sum;
        if (__builtin_add_overflow(c, half_width_, &sum)) sum = ~std::uint64_t{0};
        return {lo, sum < positions_ ? sum : positions_};
    }

    // The frames whose band holds position s: those with s − w < c(t) <= s + w.
    IndexRange position_frames(std::uint64_t s) const noexcept {
        if (s >= positions_) return {};
        const std::uint64_t lowest_centre = s >= half_width_ ? s - half_width_ + 1 : 0;
        const std::uint64_t first = first_frame_reaching(lowest_centre);
        // c(t) <= S − 1 for every frame, so a bound of S − 1 or more holds everywhere.
        const std::uint64_t last =
            half_width_ >= positions_ - 1 - s ? frames_ : first_frame_reaching(s + half_width_ + 1);
        return {first, last};
    }

  private:
    using Wide = unsigned __int128;
    static Wide wide(std::uint64_t value) noexcept { return value; }

    // The first frame t with c(t) >= m (m < S): ceil(m · T / S).
    std::uint64_t first_frame_reaching(std::uint64_t m) const noexcept {
        const Wide product = wide(m) * frames_;
        return static_cast<std::uint64_t>(product / positions_ + (product % positions_ != 0));
    }

    std::uint64_t frames_;
    std::uint64_t positions_;
    std::uint64_t half_width_;
};

}  // namespace tarvek
