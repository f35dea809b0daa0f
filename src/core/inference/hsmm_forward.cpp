// The forward and Viterbi recursion and the Viterbi traceback.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "core/inference/hsmm.hpp"
#include "core/inference/hsmm_jumps.hpp"
#include "core/inference/hsmm_lanes.hpp"
#include "core/inference/pruning.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

constexpr const char* allocation_failed = "HSMM allocation failed";

// The candidates of end[t][s] are c_d = (row[d] + A_d) + begin[t − d + 1][s] for the
// durations d = 1 .. dmax, where A_d holds the emissions of frames t, t − 1, ..., t − d + 2
// added to 0 in that order. A chain folds them in ascending d.

// Forward: the log-sum, starting from log zero.
template <Scalar S>
struct LogSumChain {
    S value;
    void first(S candidate) noexcept { value = log_add(log_zero<S>, candidate); }
    void add(S candidate, std::uint64_t) noexcept { value = log_add(value, candidate); }
};

// Viterbi: only a strictly greater candidate replaces the best, so on ties the shorter
// duration stays; a first candidate at or below log zero leaves no duration (0).
template <Scalar S>
struct BestChain {
    S value;
    std::uint64_t duration;
    void first(S candidate) noexcept {
        const bool none = candidate <= log_zero<S>;
        value = none ? log_zero<S> : candidate;
        duration = none ? 0 : 1;
    }
    void add(S candidate, std::uint64_t d) noexcept {
        const bool better = candidate > value;
        value = better ? candidate : value;
        duration = better ? d : duration;
    }
};

// Folds the chains of N adjacent positions at one frame together, so that their independent
// log-add latencies overlap; each chain keeps its own order. `begin` and `emission` point at
// the first lane's cell; every row has at least 2 entries, so every dmax is at least 1.
template <Scalar S, class Chain, std::size_t N>
inline void fold_ends(Chain (&chains)[N], const S* const (&rows)[N], const std::uint64_t (&dmax)[N],
                      const S* begin, const S* emission, std::size_t stride) noexcept {
    S sums[N];
    std::uint64_t common = dmax[0];
    for (std::size_t j = 0; j < N; ++j) {
        sums[j] = S(0);
        chains[j].first((rows[j][1] + sums[j]) + begin[j]);
        common = std::min(common, dmax[j]);
    }
    std::uint64_t d = 2;
    for (; d <= common; ++d) {
        for (std::size_t j = 0; j < N; ++j) sums[j] = sums[j] + emission[j];
        emission -= stride;
        begin -= stride;
        for (std::size_t j = 0; j < N; ++j) chains[j].add((rows[j][d] + sums[j]) + begin[j], d);
    }
    // Longer rows finish alone.
    for (std::size_t j = 0; j < N; ++j) {
        const S* e = emission + j;
        const S* b = begin + j;
        for (std::uint64_t dj = d; dj <= dmax[j]; ++dj) {
            sums[j] = sums[j] + *e;
            e -= stride;
            b -= stride;
            chains[j].add((rows[j][dj] + sums[j]) + *b, dj);
        }
    }
}

template <Scalar S, bool Viterbi>
class ForwardRecursion {
  public:
    using Chain = std::conditional_t<Viterbi, BestChain<S>, LogSumChain<S>>;

    ForwardRecursion(const HsmmPassInputs<S>& in, HsmmScoreTables<S>& tables) noexcept
        : in_(in),
          positions_(in.positions),
          begin_(tables.begin.values.data()),
          end_(tables.end.values.data()),
          predecessors_(Viterbi ? tables.predecessors.data() : nullptr),
          starts_(Viterbi ? tables.starts.data() : nullptr) {}

    void run() noexcept {
        const StateRadiusWindow<S> window(in_.segmentation.boundaries, in_.frames, in_.radius);
        for (std::uint64_t k = 0; k < positions_; ++k) {
            const IndexRange frames = window.segment_frames(k);
            const IndexRange chain = window.segment_positions(k);
            for (std::uint64_t t = frames.first; t < frames.last; ++t) {
                // Within one frame the cells depend only on earlier frames and on their own
                // begin entry, so all begins come first and the ends are folded in groups.
                for (std::uint64_t s = chain.first; s < chain.last; ++s) begin_cell(t, s);
                fold_lane_groups(*this, in_.rows, t, chain.first, chain.last);
            }
        }
    }

    // Folds the end chains of positions s .. s + N − 1 (rows of 2 entries or more); returns N.
    template <std::size_t N>
    std::size_t fold_group(std::uint64_t t, std::uint64_t s) noexcept {
        const S* rows[N];
        std::uint64_t dmax[N];
        for (std::size_t j = 0; j < N; ++j) {
            const std::vector<S>& row = in_.rows[s + j];
            rows[j] = row.data();
            dmax[j] = std::min<std::uint64_t>(row.size() - 1, t + 1);
        }
        Chain chains[N];
        const std::size_t cell = cell_of(t, s);
        fold_ends(chains, rows, dmax, begin_ + cell, in_.emission + cell, positions_);
        for (std::size_t j = 0; j < N; ++j) store_end(t, cell + j, chains[j]);
        return N;
    }

    std::size_t fold_single(std::uint64_t t, std::uint64_t s) noexcept {
        if (in_.rows[s].size() >= 2) return fold_group<1>(t, s);
        // No duration at all.
        const std::size_t cell = cell_of(t, s);
        end_[cell] = log_zero<S>;
        if constexpr (Viterbi) starts_[cell] = -1;
        return 1;
    }

  private:
    std::size_t cell_of(std::uint64_t t, std::uint64_t s) const noexcept {
        return static_cast<std::size_t>(t * positions_ + s);
    }

    // The incoming score from the segments that ended at t − 1, and begin[t][s].
    void begin_cell(std::uint64_t t, std::uint64_t s) noexcept {
        const std::size_t cell = cell_of(t, s);
        S incoming = log_zero<S>;
        std::int64_t predecessor = -1;
        // Position 0 can only begin at frame 0, so the forward pass needs no sum for it.
        if (t > 0 && (Viterbi || s > 0)) {
            const S* previous_end = end_ + cell - s - positions_;
            for (const ScaledJump& jump : in_.jumps[s]) {
                const S value = static_cast<S>(static_cast<double>(previous_end[jump.position]) +
                                               jump.log_weight);
                if constexpr (Viterbi) {
                    if (value > incoming) {
                        incoming = value;
                        predecessor = static_cast<std::int64_t>(jump.position);
                    }
                } else {
                    incoming = log_add(incoming, value);
                }
            }
        }
        if (t == 0) {
            begin_[cell] = s == 0 ? in_.emission[cell] : log_zero<S>;
        } else {
            begin_[cell] = s == 0 ? log_zero<S> : incoming + in_.emission[cell];
        }
        if constexpr (Viterbi) predecessors_[cell] = predecessor;
    }

    void store_end(std::uint64_t t, std::size_t cell, const Chain& chain) noexcept {
        end_[cell] = chain.value;
        if constexpr (Viterbi) {
            starts_[cell] =
                chain.duration == 0 ? -1 : static_cast<std::int64_t>(t - chain.duration + 1);
        }
    }

    const HsmmPassInputs<S>& in_;
    std::uint64_t positions_;
    S* begin_;
    S* end_;
    std::int64_t* predecessors_;
    std::int64_t* starts_;
};

template <Scalar S>
HsmmScoreTables<S> search(const ModelParameters<S>& model, const SegmentationData<S>& segmentation,
                          const IncomingJumps<S>& incoming, const StateScoreTable<S>& emissions,
                          const HsmmOptions<S>& options, bool viterbi,
                          PreparedHsmmDurations<S> prepared) {
    const std::uint64_t frames = emissions.frames;
    const std::uint64_t positions = emissions.states;
    const HsmmDurationRows<S> rows = prepare_hsmm_durations_with(
        model, segmentation, frames, positions, options, true, prepared);

    const ModelError failure = ModelError::from_static(allocation_failed);
    HsmmScoreTables<S> tables;
    tables.begin = StateScoreTable<S>::filled(frames, positions, failure);
    tables.end = StateScoreTable<S>::filled(frames, positions, failure);
    if (viterbi) {
        const std::uint64_t cells = tables.begin.values.size();
        tables.predecessors = table_or_fail<std::int64_t>(cells, -1, failure);
        tables.starts = table_or_fail<std::int64_t>(cells, -1, failure);
    }
    const ScaledJumpLists jumps =
        scaled_incoming_jumps(incoming, positions, options.temperature, failure);

    // With no frames there is no cell (and then no position either).
    if (frames == 0) return tables;
    const HsmmPassInputs<S> in{
        segmentation,        jumps, rows, emissions.values.data(), frames, positions,
        options.state_radius};
    if (viterbi) {
        ForwardRecursion<S, true>(in, tables).run();
    } else {
        ForwardRecursion<S, false>(in, tables).run();
    }
    return tables;
}

// Follows the back-pointers from the last cell; the checks run in trace order before the
// occurrences are allocated.
template <Scalar S>
HsmmPath<S> trace(HsmmScoreTables<S>&& tables) {
    const std::uint64_t frames = tables.end.frames;
    const std::uint64_t positions = tables.end.states;
    const ModelError no_path("no complete HSMM path survives the inference constraints");
    if (frames == 0 || positions == 0) throw no_path;

    // Visits every segment from the last back; returns the number of segments.
    auto walk = [&](auto&& visit) {
        std::uint64_t s = positions - 1;
        std::uint64_t e = frames;
        std::uint64_t count = 0;
        for (;;) {
            const std::int64_t u = tables.starts[(e - 1) * positions + s];
            if (u == -1) throw no_path;
            visit(count++, s, e);
            if (u == 0) break;
            const std::int64_t q =
                tables.predecessors[static_cast<std::uint64_t>(u) * positions + s];
            if (q == -1) throw ModelError("HSMM path has no predecessor");
            s = static_cast<std::uint64_t>(q);
            e = static_cast<std::uint64_t>(u);
        }
        if (s != 0) throw ModelError("HSMM path does not begin in the first state");
        return count;
    };
    const std::uint64_t count = walk([](std::uint64_t, std::uint64_t, std::uint64_t) {});

    HsmmPath<S> path;
    path.occurrences =
        allocate_or_fail(count, HsmmOccurrence{}, ModelError::from_static(allocation_failed));
    walk([&](std::uint64_t i, std::uint64_t s, std::uint64_t e) {
        path.occurrences[count - 1 - i] = {s, e};
    });
    path.log_probability = tables.end(frames - 1, positions - 1);
    path.begin = std::move(tables.begin);
    path.end = std::move(tables.end);
    return path;
}

}  // namespace

template <Scalar S>
HsmmScoreTables<S> search_hsmm(const ModelParameters<S>& model,
                               const SegmentationData<S>& segmentation,
                               const StateScoreTable<S>& emissions, const HsmmOptions<S>& options,
                               bool viterbi, PreparedHsmmDurations<S> prepared) {
    const IncomingJumps<S> incoming = build_incoming(segmentation);
    return search(model, segmentation, incoming, emissions, options, viterbi, prepared);
}

template <Scalar S>
HsmmScoreTables<S> search_hsmm(const ModelParameters<S>& model,
                               const TransitionGraphParameters<S>& graph,
                               const StateScoreTable<S>& emissions, const HsmmOptions<S>& options,
                               bool viterbi, PreparedHsmmDurations<S> prepared) {
    return search(model, graph.segmentation, graph.incoming, emissions, options, viterbi, prepared);
}

template <Scalar S>
HsmmPath<S> viterbi_hsmm_with(const ModelParameters<S>& model,
                              const SegmentationData<S>& segmentation,
                              const StateScoreTable<S>& emissions, const HsmmOptions<S>& options,
                              PreparedHsmmDurations<S> prepared) {
    return trace(search_hsmm(model, segmentation, emissions, options, true, prepared));
}

template <Scalar S>
HsmmPath<S> viterbi_hsmm_with(const ModelParameters<S>& model,
                              const TransitionGraphParameters<S>& graph,
                              const StateScoreTable<S>& emissions, const HsmmOptions<S>& options,
                              PreparedHsmmDurations<S> prepared) {
    return trace(search_hsmm(model, graph, emissions, options, true, prepared));
}

#define TARVEK_INSTANTIATE(S, Source)                                                         \
    template HsmmScoreTables<S> search_hsmm(const ModelParameters<S>&, const Source<S>&,      \
                                            const StateScoreTable<S>&, const HsmmOptions<S>&, \
                                            bool, PreparedHsmmDurations<S>);                  \
    template HsmmPath<S> viterbi_hsmm_with(const ModelParameters<S>&, const Source<S>&,       \
                                           const StateScoreTable<S>&, const HsmmOptions<S>&,  \
                                           PreparedHsmmDurations<S>);
TARVEK_INSTANTIATE(float, SegmentationData)
TARVEK_INSTANTIATE(double, SegmentationData)
TARVEK_INSTANTIATE(float, TransitionGraphParameters)
TARVEK_INSTANTIATE(double, TransitionGraphParameters)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
