#pragma once
// The cells that emission scoring and the mixture occupancies compute over a frames-by-positions
// table: every cell, the state-radius windows, or the linear band over every frame or over the
// inner frames only. Each position's frames form one run; the passes score those runs block by
// block of frames, so that each block is prepared once for all the positions that meet it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/inference/pruning.hpp"
#include "core/numerics/allocation.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

enum class CellShape { every, state_radius, linear_band, inner_linear_band };

template <Scalar S>
class ComputedCells {
  public:
    // The parameter is the radius or the slope. Only the state-radius shape reads `boundaries`,
    // which must then have passed `check_window_boundaries` for `frames`.
    ComputedCells(CellShape shape, std::span<const std::int32_t> boundaries, std::uint64_t frames,
                  std::uint64_t positions, S parameter) noexcept
        : shape_(shape),
          frames_(frames),
          positions_(positions),
          window_(boundaries, frames, parameter),
          band_(LinearBand::from_slope(frames, positions, parameter)),
          band_frames_(shape == CellShape::inner_linear_band ? inner_frames(frames)
                                                             : IndexRange{0, frames}) {}

    // The frames at which position s is computed.
    IndexRange position_frames(std::uint64_t s) const noexcept {
        if (frames_ == 0) return {};
        switch (shape_) {
            case CellShape::state_radius:
                return window_.position_frames(s);
            case CellShape::linear_band:
            case CellShape::inner_linear_band:
                return band_.position_frames(s).intersection(band_frames_);
            default:
                return {0, frames_};
        }
    }

    // Every computed cell in the defining order (a boundary frame of the state-radius window
    // twice, as in the definition).
    template <class Visit>
    void visit_in_order(Visit&& visit) const {
        if (frames_ == 0) return;
        switch (shape_) {
            case CellShape::state_radius:
                for (std::uint64_t k = 0; k < positions_; ++k) {
                    const IndexRange frames = window_.segment_frames(k);
                    const IndexRange positions = window_.segment_positions(k);
                    for (std::uint64_t t = frames.first; t < frames.last; ++t) {
                        for (std::uint64_t s = positions.first; s < positions.last; ++s) {
                            visit(t, s);
                        }
                    }
                }
                return;
            case CellShape::linear_band:
            case CellShape::inner_linear_band:
                for (std::uint64_t t = band_frames_.first; t < band_frames_.last; ++t) {
                    const IndexRange positions = band_.frame_positions(t);
                    for (std::uint64_t s = positions.first; s < positions.last; ++s) visit(t, s);
                }
                return;
            default:
                for (std::uint64_t t = 0; t < frames_; ++t) {
                    for (std::uint64_t s = 0; s < positions_; ++s) visit(t, s);
                }
                return;
        }
    }

  private:
    CellShape shape_;
    std::uint64_t frames_;
    std::uint64_t positions_;
    StateRadiusWindow<S> window_;
    LinearBand band_;
    IndexRange band_frames_;
};

// Every position's run of computed frames, and the blocks of frames the runs meet.
class PositionRuns {
  public:
    template <Scalar S>
    PositionRuns(const ComputedCells<S>& cells, std::uint64_t positions,
                 const ModelError& allocation_failed)
        : runs_(allocate_or_fail(positions, IndexRange{}, allocation_failed)) {
        std::uint64_t latest_first = 0;
        for (std::uint64_t s = 0; s < positions; ++s) {
            runs_[s] = cells.position_frames(s);
            if (runs_[s].empty()) continue;
            ordered_ = ordered_ && runs_[s].first >= latest_first;
            latest_first = std::max(latest_first, runs_[s].first);
        }
    }

    IndexRange run(std::uint64_t s) const noexcept { return runs_[s]; }

    // Calls visit(block, candidates) for the blocks of `width` frames (the last one shorter) of
    // `frames` frames in order, skipping blocks that no run meets. `candidates` holds every
    // position whose run meets the block, and maybe others: callers intersect each run with
    // the block. When the runs start in position order, as those of every shape do (but for
    // rounding with more than 2^24 positions in 32 bits), both ends of the candidates only move
    // forward and all blocks together cost O(S) besides the candidates; otherwise every
    // position is a candidate.
    template <class Visit>
    void for_each_block(std::uint64_t frames, std::size_t width, Visit&& visit) const {
        const std::uint64_t count = runs_.size();
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        for (std::uint64_t first = 0; first < frames; first += width) {
            const IndexRange block{first, std::min<std::uint64_t>(frames, first + width)};
            while (low < count && runs_[low].last <= block.first) ++low;
            if (ordered_) {
                high = std::max(high, low);
                while (high < count && (runs_[high].empty() || runs_[high].first < block.last)) {
                    ++high;
                }
            } else {
                high = count;
            }
            if (low < high) visit(block, IndexRange{low, high});
        }
    }

  private:
    std::vector<IndexRange> runs_;
    bool ordered_ = true;  // the nonempty runs start in position order
};

}  // namespace tarvek
