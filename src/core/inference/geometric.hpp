#pragma once
// The geometric family: every position of the reference segmentation is a state with a
// geometric duration, so at each frame the chain either stays in its position or advances to
// the next one. Forward, Viterbi and backward passes over a log-emission table, restricted to
// the linear band. A position's stay and advance log weights come from its duration mean.

#include <cstdint>
#include <span>
#include <vector>

#include "core/data/data.hpp"
#include "core/inference/pruning.hpp"
#include "core/inference/score_table.hpp"
#include "core/model/model.hpp"
#include "core/numerics/error.hpp"
#include "core/numerics/numerics.hpp"

namespace tarvek {

// Per-position log weights of staying and of advancing to the next position, in 64 bits in
// both precisions: with p = 1 / max(mean, 1.01), temperature · ln(1 − p) and temperature ·
// ln(p). The 32-bit twin rounds 1 − p and p to 32 bits before the logarithm.
struct GeometricLogWeights {
    std::vector<double> stay;
    std::vector<double> advance;
};

// The weights of every position of `segmentation` (already validated), the temperature
// already checked. Position by position: "duration state is out of range", then "duration
// mean must be finite". A refused allocation throws `allocation_failed`.
template <Scalar S>
GeometricLogWeights geometric_log_weights(const ModelParameters<S>& model,
                                          const SegmentationData<S>& segmentation, S temperature,
                                          const ModelError& allocation_failed);

// Result of the Viterbi decoding.
template <Scalar S>
struct GeometricPath {
    std::vector<std::uint64_t> path;  // position per frame
    std::vector<std::uint64_t> ends;  // exclusive end frame per position
    StateScoreTable<S> scores;        // the Viterbi forward table
    S log_probability = 0;
};

enum class SearchMode { sum, maximum };

// The working state shared by the three passes: the log weights, the caller's emission table
// (borrowed; it must outlive the search) and the band. Built once per call, so the weights are
// computed once and the passes allocate nothing beyond their result tables.
template <Scalar S>
class Search {
  public:
    // Checks in order: the segmentation's arrays and jump lists; the emission table's state
    // count against the segment count ("emission state count differs from the segmentation");
    // temperature and slope finite and nonnegative ("inference temperature and pruning slope
    // must be finite and nonnegative"); the positions' duration states and means.
    Search(const ModelParameters<S>& model, const SegmentationData<S>& segmentation,
           const StateScoreTable<S>& emissions, S temperature, S pruning_slope);

    std::span<const double> stay() const noexcept { return weights_.stay; }
    std::span<const double> advance() const noexcept { return weights_.advance; }
    const StateScoreTable<S>& emissions() const noexcept { return *emissions_; }
    std::uint64_t band_width() const noexcept { return band_.half_width(); }

    // A log-zero table shaped like the emission table ("inference allocation failed").
    StateScoreTable<S> empty_scores() const;

    struct Forward {
        StateScoreTable<S> scores;
        // Maximum mode only: per cell how far back the predecessor position at the previous
        // frame lies, 0 (stayed) or 1 (advanced), or -1 for none.
        TableVector<std::int8_t> steps_back;
    };
    // The forward table: log-add of the stay and advance terms (sum), or their maximum with
    // back-pointers, ties going to the stay move (maximum).
    Forward forward(SearchMode mode) const;

    // The backward table; every cell of the last frame is 0 (any position may end).
    StateScoreTable<S> backward() const;

  private:
    const StateScoreTable<S>* emissions_;
    GeometricLogWeights weights_;
    LinearBand band_;
};

template <Scalar S>
StateScoreTable<S> forward_geometric(const ModelParameters<S>& model,
                                     const SegmentationData<S>& segmentation,
                                     const StateScoreTable<S>& emissions, S temperature,
                                     S pruning_slope);

// The best path from the first position at frame 0 to the last at the last frame: "no
// complete path survives the inference constraints" when the traceback breaks off, "best path
// does not begin in the first state" when it does not end in position 0.
template <Scalar S>
GeometricPath<S> viterbi_geometric(const ModelParameters<S>& model,
                                   const SegmentationData<S>& segmentation,
                                   const StateScoreTable<S>& emissions, S temperature,
                                   S pruning_slope);

// The backward table; the observation's total log likelihood is beta(0, 0) + emis(0, 0).
template <Scalar S>
StateScoreTable<S> backward_geometric(const ModelParameters<S>& model,
                                      const SegmentationData<S>& segmentation,
                                      const StateScoreTable<S>& emissions, S temperature,
                                      S pruning_slope);

}  // namespace tarvek
