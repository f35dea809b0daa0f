#pragma once
// The transaction every accumulation of one segmented utterance runs in: the sums are added to
// copies, the copies are checked, and only then do they replace the caller's statistics, so a
// failure leaves the statistics exactly as they were.
//
// Only the parts the utterance can change are copied: the Gaussians of the emission states and
// the duration sums of the duration states that its segmentation names. Every accumulation
// first validates the whole statistics against the model, so the parts that are not copied
// stay valid, and checking the copies (Gaussians stream by stream, then durations) reports the
// same first failure as validating a full copy would.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/data/data.hpp"
#include "core/model/model.hpp"
#include "core/training/statistics.hpp"

namespace tarvek {

template <Scalar S>
class StagedStatistics {
  public:
    // Copies the parts `segmentation` names. Its emission and duration states must already be
    // known to lie in range of `statistics`, and it must have one emission-state row per
    // statistics stream.
    StagedStatistics(const ModelSufficientStatistics<S>& statistics,
                     const SegmentationData<S>& segmentation);

    // The copies that chain position `position` adds to.
    GaussianSufficientStatistics<S>& emission(std::size_t stream, std::size_t position) noexcept {
        return streams_[stream].copies[streams_[stream].slots[position]];
    }
    // Which copy of `stream` chain position `position` adds to, and how many copies it has.
    std::size_t emission_slot(std::size_t stream, std::size_t position) const noexcept {
        return streams_[stream].slots[position];
    }
    std::size_t emission_count(std::size_t stream) const noexcept {
        return streams_[stream].copies.size();
    }
    DurationSufficientStatistics<S>& duration(std::size_t position) noexcept {
        return durations_.copies[durations_.slots[position]];
    }

    // The checks `ModelSufficientStatistics::validate_for` makes of the copied parts, in its
    // order: Gaussians stream by stream in state order, then durations in state order.
    void validate_for(const ModelParameters<S>& model) const;

    // Swaps the copies into the statistics they were made from.
    void commit(ModelSufficientStatistics<S>& statistics) noexcept;

  private:
    template <class Part>
    struct Staged {
        std::vector<std::int32_t> states;  // distinct, ascending
        std::vector<std::size_t> slots;    // per position, its state's index in `states`
        std::vector<Part> copies;          // one per entry of `states`
    };

    std::vector<Staged<GaussianSufficientStatistics<S>>> streams_;
    Staged<DurationSufficientStatistics<S>> durations_;
};

}  // namespace tarvek
