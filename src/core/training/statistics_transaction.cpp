#include "core/training/statistics_transaction.hpp"

#include <algorithm>
#include <span>
#include <utility>

namespace tarvek {

namespace {

// The distinct states of `named` in ascending order, each position's index among them, and a
// copy of each state's part.
template <class Part, class Staged>
void stage(Staged& staged, std::span<const std::int32_t> named, const std::vector<Part>& parts) {
    staged.states.assign(named.begin(), named.end());
    std::sort(staged.states.begin(), staged.states.end());
    staged.states.erase(std::unique(staged.states.begin(), staged.states.end()),
                        staged.states.end());
    staged.slots.resize(named.size());
    for (std::size_t k = 0; k < named.size(); ++k) {
        staged.slots[k] = static_cast<std::size_t>(
            std::lower_bound(staged.states.begin(), staged.states.end(), named[k]) -
            staged.states.begin());
    }
    staged.copies.reserve(staged.states.size());
    for (const std::int32_t state : staged.states) {
        staged.copies.push_back(parts[static_cast<std::size_t>(state)]);
    }
}

}  // namespace

template <Scalar S>
StagedStatistics<S>::StagedStatistics(const ModelSufficientStatistics<S>& statistics,
                                      const SegmentationData<S>& segmentation) {
    streams_.resize(statistics.streams.size());
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        stage(streams_[i], std::span<const std::int32_t>(segmentation.output_states[i]),
              statistics.streams[i].emissions);
    }
    stage<DurationSufficientStatistics<S>>(
        durations_, std::span<const std::int32_t>(segmentation.duration_states),
        statistics.durations);
}

template <Scalar S>
void StagedStatistics<S>::validate_for(const ModelParameters<S>& model) const {
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        const auto& mixtures = model.streams[i].emissions;
        const auto& staged = streams_[i];
        for (std::size_t j = 0; j < staged.states.size(); ++j) {
            staged.copies[j].validate_for(mixtures[static_cast<std::size_t>(staged.states[j])]);
        }
    }
    for (const DurationSufficientStatistics<S>& duration : durations_.copies) duration.validate();
}

template <Scalar S>
void StagedStatistics<S>::commit(ModelSufficientStatistics<S>& statistics) noexcept {
    // The copies passed their checks and the rest passed before the call: statistics whose
    // values were known to be valid stay so.
    const bool values_known = RememberedCheck(statistics.valid_values, statistics.stamp).known();
    {
        const auto edit = statistics.edit();
        for (std::size_t i = 0; i < streams_.size(); ++i) {
            auto& gaussians = edit.streams()[i].emissions;
            auto& staged = streams_[i];
            for (std::size_t j = 0; j < staged.states.size(); ++j) {
                std::swap(gaussians[static_cast<std::size_t>(staged.states[j])], staged.copies[j]);
            }
        }
        for (std::size_t j = 0; j < durations_.states.size(); ++j) {
            std::swap(edit.durations()[static_cast<std::size_t>(durations_.states[j])],
                      durations_.copies[j]);
        }
    }
    if (values_known) RememberedCheck(statistics.valid_values, statistics.stamp).remember();
}

template class StagedStatistics<float>;
template class StagedStatistics<double>;

}  // namespace tarvek
