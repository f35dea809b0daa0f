#pragma once
// The HSMM recursions along a reference segmentation: forward (log-sum) and Viterbi (maximum
// with back-pointers) in one routine, the Viterbi traceback, and the backward recursion. The
// states of a recursion are the chain positions of the segmentation, each with its own
// duration state and jumps; only the cells of the state-radius windows are visited.
//
// Each pass takes its transitions from a segmentation (the incoming lists are built, and the
// segmentation validated, on every call) or from a transition graph together with the
// segmentation it holds (its incoming lists are used as they stand).

#include <cstdint>
#include <vector>

#include "core/data/data.hpp"
#include "core/inference/hsmm_durations.hpp"
#include "core/model/model.hpp"
#include "core/inference/score_table.hpp"
#include "core/data/transitions.hpp"

namespace tarvek {

// The begin and end tables of one pass, frames × positions. Forward: begin[t][s] scores all
// paths in which the segment of s begins at t, end[t][s] those in which it ends at t, both
// with the emission at t. Backward: the scores of the frames after t given that the segment
// of s begins (begin) or ends (end) at t. The back-pointers exist only after a Viterbi pass
// (one per cell, -1 for none): the position whose segment ended at t − 1 on the best way
// into begin[t][s], and the begin frame of the best segment ending in end[t][s].
template <Scalar S>
struct HsmmScoreTables {
    StateScoreTable<S> begin;
    StateScoreTable<S> end;
    TableVector<std::int64_t> predecessors;
    TableVector<std::int64_t> starts;

    bool operator==(const HsmmScoreTables&) const = default;
};

// One segment of a decoded path: its chain position and its exclusive end frame.
struct HsmmOccurrence {
    std::uint64_t state = 0;
    std::uint64_t end = 0;

    bool operator==(const HsmmOccurrence&) const = default;
};

// The best path of a Viterbi pass, in time order, with its score end[T − 1][S − 1] and the
// pass's begin and end tables.
template <Scalar S>
struct HsmmPath {
    std::vector<HsmmOccurrence> occurrences;
    S log_probability = 0;
    StateScoreTable<S> begin;
    StateScoreTable<S> end;

    bool operator==(const HsmmPath&) const = default;
};

// Forward (viterbi = false) or Viterbi pass. Checks, in order: the segmentation's transitions
// (segmentation form only), then everything `prepare_hsmm_durations_with` checks (rows clamped
// to frames + 1), then the table allocations ("HSMM allocation failed"). The emission table
// is trusted to hold frames × states values.
template <Scalar S>
HsmmScoreTables<S> search_hsmm(const ModelParameters<S>& model,
                               const SegmentationData<S>& segmentation,
                               const StateScoreTable<S>& emissions, const HsmmOptions<S>& options,
                               bool viterbi, PreparedHsmmDurations<S> prepared = {});
template <Scalar S>
HsmmScoreTables<S> search_hsmm(const ModelParameters<S>& model,
                               const TransitionGraphParameters<S>& graph,
                               const StateScoreTable<S>& emissions, const HsmmOptions<S>& options,
                               bool viterbi, PreparedHsmmDurations<S> prepared = {});

// The Viterbi pass and its traceback from the last cell: "no complete HSMM path survives the
// inference constraints" when a segment has no start, "HSMM path has no predecessor" when a
// start has no predecessor, "HSMM path does not begin in the first state".
template <Scalar S>
HsmmPath<S> viterbi_hsmm_with(const ModelParameters<S>& model,
                              const SegmentationData<S>& segmentation,
                              const StateScoreTable<S>& emissions, const HsmmOptions<S>& options,
                              PreparedHsmmDurations<S> prepared = {});
template <Scalar S>
HsmmPath<S> viterbi_hsmm_with(const ModelParameters<S>& model,
                              const TransitionGraphParameters<S>& graph,
                              const StateScoreTable<S>& emissions, const HsmmOptions<S>& options,
                              PreparedHsmmDurations<S> prepared = {});

// The backward pass (begin-beta, end-beta; no back-pointers). The last position is censored:
// its segment lasts to the end of the observation and its duration is not scored. Rows are
// not clamped, so a duration running past the last frame counts with the emissions up to the
// end. Both forms read the segmentation's own outgoing jumps; the segmentation form builds
// its incoming lists only to validate them.
template <Scalar S>
HsmmScoreTables<S> backward_hsmm_with(const ModelParameters<S>& model,
                                      const SegmentationData<S>& segmentation,
                                      const StateScoreTable<S>& emissions,
                                      const HsmmOptions<S>& options,
                                      PreparedHsmmDurations<S> prepared = {});
template <Scalar S>
HsmmScoreTables<S> backward_hsmm_with(const ModelParameters<S>& model,
                                      const TransitionGraphParameters<S>& graph,
                                      const StateScoreTable<S>& emissions,
                                      const HsmmOptions<S>& options,
                                      PreparedHsmmDurations<S> prepared = {});

}  // namespace tarvek
