// The backward recursion.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/inference/hsmm.hpp"
#include "core/inference/hsmm_jumps.hpp"
#include "core/inference/hsmm_lanes.hpp"
#include "core/inference/pruning.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

// τ · ln(w) + emission + begin of one jump's target: in 64 bits the log weight comes first;
// in 32 bits the two table values are added first and the log weight in 64 bits.
inline double jump_term(double log_weight, double emission, double begin) noexcept {
    return (log_weight + emission) + begin;
}
inline float jump_term(double log_weight, float emission, float begin) noexcept {
    return static_cast<float>(static_cast<double>(emission + begin) + log_weight);
}

// begin-beta of a non-last position at frame t: the log-sum, from log zero, over the durations
// d = 1 .. L − 1 of (row[d] + A_d) + v_d, where A_d holds the emissions of frames t + 1 ..
// t + d − 1 added to 0 in order and v_d is the end-beta at the segment's last frame; a segment
// running past the last frame keeps the emissions up to the end and v_d = 0.
//
// Folds N adjacent positions together, so that their independent log-add latencies overlap;
// each keeps its own order. `emission` and `end` point at the first lane's cell; every row has
// at least 2 entries; `remaining` is T − t.
template <Scalar S, std::size_t N>
inline void fold_begins(S (&totals)[N], const S* const (&rows)[N],
                        const std::uint64_t (&lengths)[N], std::uint64_t remaining,
                        const S* emission, const S* end, std::size_t stride) noexcept {
    S sums[N];
    std::uint64_t inside[N];  // the longest duration that ends within the observation
    std::uint64_t common_inside = ~std::uint64_t{0};
    std::uint64_t common_last = ~std::uint64_t{0};
    for (std::size_t j = 0; j < N; ++j) {
        sums[j] = S(0);
        totals[j] = log_add(log_zero<S>, (rows[j][1] + sums[j]) + end[j]);
        inside[j] = std::min(lengths[j] - 1, remaining);
        common_inside = std::min(common_inside, inside[j]);
        common_last = std::min(common_last, lengths[j] - 1);
    }
    std::uint64_t d = 2;
    for (; d <= common_inside; ++d) {
        emission += stride;
        end += stride;
        for (std::size_t j = 0; j < N; ++j) sums[j] = sums[j] + emission[j];
        for (std::size_t j = 0; j < N; ++j) {
            totals[j] = log_add(totals[j], (rows[j][d] + sums[j]) + end[j]);
        }
    }
    bool together = true;
    for (std::size_t j = 0; j < N; ++j) together = together && inside[j] == common_inside;
    if (together) {
        for (; d <= common_last; ++d) {
            for (std::size_t j = 0; j < N; ++j) {
                totals[j] = log_add(totals[j], (rows[j][d] + sums[j]) + S(0));
            }
        }
    }
    // What is left of each row, alone.
    for (std::size_t j = 0; j < N; ++j) {
        const S* e = emission + j;
        const S* v = end + j;
        std::uint64_t dj = d;
        for (; dj <= inside[j]; ++dj) {
            e += stride;
            v += stride;
            sums[j] = sums[j] + *e;
            totals[j] = log_add(totals[j], (rows[j][dj] + sums[j]) + *v);
        }
        for (; dj < lengths[j]; ++dj) {
            totals[j] = log_add(totals[j], (rows[j][dj] + sums[j]) + S(0));
        }
    }
}

template <Scalar S>
class BackwardRecursion {
  public:
    BackwardRecursion(const HsmmPassInputs<S>& in, HsmmScoreTables<S>& tables) noexcept
        : in_(in),
          frames_(in.frames),
          positions_(in.positions),
          last_(in.positions - 1),
          begin_(tables.begin.values.data()),
          end_(tables.end.values.data()) {}

    void run() {
        const StateRadiusWindow<S> window(in_.segmentation.boundaries, frames_, in_.radius);
        for (std::uint64_t k = positions_; k-- > 0;) {
            // The forward window's frames without the boundary frame b_k, which belongs to
            // k + 1.
            const auto boundary = static_cast<std::uint64_t>(in_.segmentation.boundaries[k]);
            const IndexRange frames = window.segment_frames(k).intersection({0, boundary});
            const IndexRange chain = window.segment_positions(k);
            const std::uint64_t non_last = std::min(chain.last, last_);
            for (std::uint64_t t = frames.last; t-- > frames.first;) {
                // end-beta reads only frame t + 1, and begin-beta its own column from frame t
                // on, so all end entries of the frame come first and the begins are folded.
                for (std::uint64_t s = chain.first; s < chain.last; ++s) end_cell(t, s);
                fold_lane_groups(*this, in_.rows, t, chain.first, non_last);
                if (chain.last > last_) last_begin_cell(t);
            }
        }
    }

    // Folds the begin chains of non-last positions s .. s + N − 1 (rows of 2 entries or more);
    // returns N.
    template <std::size_t N>
    std::size_t fold_group(std::uint64_t t, std::uint64_t s) {
        const S* rows[N];
        std::uint64_t lengths[N];
        for (std::size_t j = 0; j < N; ++j) {
            const std::vector<S>& row = in_.rows[s + j];
            rows[j] = row.data();
            lengths[j] = row.size();
            // Frames are below 2^31 and rows shorter than 2^31, so this never fires.
            if (!checked_add(t, lengths[j] - 1)) throw ModelError("duration end overflows");
        }
        S totals[N];
        const std::size_t cell = cell_of(t, s);
        fold_begins(totals, rows, lengths, frames_ - t, in_.emission + cell, end_ + cell,
                    positions_);
        for (std::size_t j = 0; j < N; ++j) begin_[cell + j] = totals[j];
        return N;
    }

    std::size_t fold_single(std::uint64_t t, std::uint64_t s) {
        if (in_.rows[s].size() >= 2) return fold_group<1>(t, s);
        begin_[cell_of(t, s)] = log_zero<S>;  // no duration at all
        return 1;
    }

  private:
    std::size_t cell_of(std::uint64_t t, std::uint64_t s) const noexcept {
        return static_cast<std::size_t>(t * positions_ + s);
    }

    // 0 at the last frame; else the log-sum over the outgoing jumps of a non-last position.
    void end_cell(std::uint64_t t, std::uint64_t s) noexcept {
        S value = log_zero<S>;
        if (t == frames_ - 1) {
            value = S(0);
        } else if (s < last_) {
            const std::size_t next_row = cell_of(t + 1, 0);
            for (const ScaledJump& jump : in_.jumps[s]) {
                const std::size_t target = next_row + jump.position;
                value = log_add(value,
                                jump_term(jump.log_weight, in_.emission[target], begin_[target]));
            }
        }
        end_[cell_of(t, s)] = value;
    }

    // Censored: the last segment lasts to the end, its duration unscored. The emissions after
    // t are added to 0 in ascending order.
    void last_begin_cell(std::uint64_t t) noexcept {
        S sum = S(0);
        for (std::uint64_t u = t + 1; u < frames_; ++u) sum = sum + in_.emission[cell_of(u, last_)];
        begin_[cell_of(t, last_)] = sum;
    }

    const HsmmPassInputs<S>& in_;
    std::uint64_t frames_;
    std::uint64_t positions_;
    std::uint64_t last_;
    S* begin_;
    S* end_;
};

template <Scalar S>
HsmmScoreTables<S> backward(const ModelParameters<S>& model,
                            const SegmentationData<S>& segmentation,
                            const StateScoreTable<S>& emissions, const HsmmOptions<S>& options,
                            PreparedHsmmDurations<S> prepared) {
    const std::uint64_t frames = emissions.frames;
    const std::uint64_t positions = emissions.states;
    const HsmmDurationRows<S> rows = prepare_hsmm_durations_with(
        model, segmentation, frames, positions, options, false, prepared);

    const ModelError failure("HSMM allocation failed");
    HsmmScoreTables<S> tables;
    tables.begin = StateScoreTable<S>::filled(frames, positions, failure);
    tables.end = StateScoreTable<S>::filled(frames, positions, failure);
    const ScaledJumpLists jumps = scaled_outgoing_jumps(segmentation, options.temperature, failure);

    // With no frames there is no cell (and then no position either).
    if (frames == 0) return tables;
    const HsmmPassInputs<S> in{
        segmentation,        jumps, rows, emissions.values.data(), frames, positions,
        options.state_radius};
    BackwardRecursion<S>(in, tables).run();
    return tables;
}

}  // namespace

template <Scalar S>
HsmmScoreTables<S> backward_hsmm_with(const ModelParameters<S>& model,
                                      const SegmentationData<S>& segmentation,
                                      const StateScoreTable<S>& emissions,
                                      const HsmmOptions<S>& options,
                                      PreparedHsmmDurations<S> prepared) {
    // Built for its checks only: the recursion walks the outgoing lists.
    (void)build_incoming(segmentation);
    return backward(model, segmentation, emissions, options, prepared);
}

template <Scalar S>
HsmmScoreTables<S> backward_hsmm_with(const ModelParameters<S>& model,
                                      const TransitionGraphParameters<S>& graph,
                                      const StateScoreTable<S>& emissions,
                                      const HsmmOptions<S>& options,
                                      PreparedHsmmDurations<S> prepared) {
    return backward(model, graph.segmentation, emissions, options, prepared);
}

#define TARVEK_INSTANTIATE(S, Source)                                           \
    template HsmmScoreTables<S> backward_hsmm_with(                             \
        const ModelParameters<S>&, const Source<S>&, const StateScoreTable<S>&, \
        const HsmmOptions<S>&, PreparedHsmmDurations<S>);
TARVEK_INSTANTIATE(float, SegmentationData)
TARVEK_INSTANTIATE(double, SegmentationData)
TARVEK_INSTANTIATE(float, TransitionGraphParameters)
TARVEK_INSTANTIATE(double, TransitionGraphParameters)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
