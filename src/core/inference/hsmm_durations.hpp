#pragma once
// HSMM options and the duration rows every HSMM pass starts from: for each position of the
// reference segmentation's chain, the temperature-scaled log score of each duration of its
// segment, indexed by the duration in frames (entry 0 is log zero and never read).

#include <cstdint>
#include <span>
#include <vector>

#include "core/data/data.hpp"
#include "core/model/model.hpp"
#include "core/model/preparation.hpp"

namespace tarvek {

template <Scalar S>
struct HsmmOptions {
    S temperature = 1;      // multiplies every duration log value and every jump log weight
    S duration_weight = 1;  // multiplies the Gaussian duration log density
    S state_radius = 5;     // half-width, in chain positions, of each segment's window
    std::uint64_t duration_extra = 30;  // frames added to the scaled segment length
    S duration_extra_factor = 1;        // the segment length is scaled by (1 + this)

    bool operator==(const HsmmOptions&) const = default;
};

// The row length for a segment of `length` frames: the larger of
// trunc((1 + factor) · length + extra) and mean + 2·sqrt(variance), truncated, capped by an
// active maximum duration M (so at most M − 1 is allowed) and never below 0. All in 64 bits.
template <Scalar S>
std::uint64_t duration_limit(std::int32_t length, const DurationParameters<S>& duration,
                             const HsmmOptions<S>& options) noexcept;

// Where the duration log values come from: absent (the model's own duration laws), or a
// prepared model whose model is the one being scored. A non-owning view; the prepared model
// must outlive it.
template <Scalar S>
class PreparedHsmmDurations {
  public:
    PreparedHsmmDurations() noexcept = default;
    explicit PreparedHsmmDurations(const OwnedPreparedModelParameters<S>& prepared) noexcept
        : prepared_(&prepared) {}

    bool present() const noexcept { return prepared_ != nullptr; }
    // The options the caches were prepared with; only when present.
    const PreparationOptions<S>& options() const noexcept { return prepared_->options; }

    // The prepared log value of duration d of `state`: "prepared duration state is out of
    // range" unless the state has a preparation, then "duration exceeds the legacy frame
    // range" for d >= 2^31. Only when present.
    S log_probability(std::uint64_t state, std::uint64_t d) const;

  private:
    const OwnedPreparedModelParameters<S>* prepared_ = nullptr;
};

// One row per chain position. Each row is owned by the pass that built it.
template <Scalar S>
using HsmmDurationRows = std::vector<std::vector<S>>;

// Validates the options and the segmentation against a frames × states emission table and
// builds the rows, each check in turn: radius, the preparation's temperature and weight,
// segmentation arrays and jump lists, the state count, the weights and extra factor, then
// per position its boundary, duration state and law, its row (`clamp` caps the length at
// frames + 1), and last the final boundary. A row longer than 2^31 − 1 entries, or one that
// cannot be allocated, fails with "HSMM allocation failed".
template <Scalar S>
HsmmDurationRows<S> prepare_hsmm_durations_with(const ModelParameters<S>& model,
                                                const SegmentationData<S>& segmentation,
                                                std::uint64_t frames, std::uint64_t states,
                                                const HsmmOptions<S>& options, bool clamp,
                                                PreparedHsmmDurations<S> prepared = {});

}  // namespace tarvek
