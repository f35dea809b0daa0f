#include "core/inference/mixture_occupancy.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/numerics/allocation.hpp"
#include "core/model/probability.hpp"
#include "core/inference/pruning.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

MixtureOccupancies MixtureOccupancies::from_values(std::uint64_t frames, std::uint64_t states,
                                                   std::vector<std::uint8_t> presence,
                                                   std::vector<std::uint64_t> offsets,
                                                   std::vector<float> values) {
    const ModelError invalid(
        "mixture occupancies require positive matching dimensions and finite nonnegative "
        "weights");
    if (!valid_layout(frames, states, presence, offsets, values)) throw invalid;
    return {{std::move(presence), std::move(offsets), std::move(values), frames, states}};
}

std::optional<std::span<const float>> MixtureOccupancies::get(std::uint64_t frame,
                                                              std::uint64_t state) const noexcept {
    const auto cell = present_cell(frame, state);
    if (!cell) return std::nullopt;
    return cell_values(*cell);
}

namespace {

// The computed cells, position by position: each position's frames form one run.
template <Scalar S>
class Cells {
  public:
    Cells(const SegmentationData<S>& segmentation, std::uint64_t frames, bool band, S parameter)
        : band_mode_(band),
          frames_(frames),
          window_(segmentation.boundaries, frames, parameter),
          band_(frames, segmentation.segment_count(), 0) {
        if (band) band_ = LinearBand::from_slope(frames, segmentation.segment_count(), parameter);
    }

    IndexRange position_frames(std::uint64_t s) const noexcept {
        if (band_mode_) {
            if (frames_ <= 2) return {};
            return band_.position_frames(s).intersection({1, frames_ - 1});
        }
        if (frames_ == 0) return {};
        return window_.position_frames(s);
    }

  private:
    bool band_mode_;
    std::uint64_t frames_;
    StateRadiusWindow<S> window_;
    LinearBand band_;
};

template <Scalar S>
void check_parameters(const ObservationData<S>& observation,
                      const SegmentationData<S>& segmentation, bool band, S parameter) {
    if (band) {
        if (!is_finite_nonnegative(parameter)) {
            throw ModelError("pruning slope must be finite and nonnegative");
        }
        return;
    }
    if (!is_finite_nonnegative(parameter)) {
        throw ModelError("state pruning radius must be finite and nonnegative");
    }
    check_window_boundaries(
        segmentation.boundaries, observation.frames,
        ModelError("mixture occupancy boundaries must be ordered within the observation"),
        ModelError("final boundary must match the frame count"));
}

// Per frame, whether all its values are finite.
template <Scalar S>
std::vector<std::uint8_t> finite_frames(const ObservationStreamData<S>& stream,
                                        std::uint64_t frames, const ModelError& allocation_failed) {
    std::vector<std::uint8_t> finite = allocate_or_fail<std::uint8_t>(frames, 1, allocation_failed);
    const std::size_t d = stream.dimension;
    for (std::uint64_t t = 0; t < frames; ++t) {
        const S* x = stream.values.data() + t * d;
        finite[t] = all_finite(std::span<const S>(x, d));
    }
    return finite;
}

// The stream's normalizers, mixture by mixture after its dimension check.
template <Scalar S>
std::vector<std::vector<S>> prepare_stream(const StreamParameters<S>& stream,
                                           std::uint64_t dimensions,
                                           const ModelError& allocation_failed) {
    std::vector<std::vector<S>> normalizers;
    reserve_or_fail(normalizers, stream.emissions.size(), allocation_failed);
    for (const GaussianMixtureParameters<S>& mixture : stream.emissions) {
        if (mixture.dimensions != dimensions) {
            throw ModelError("emission and observation dimensions differ");
        }
        normalizers.push_back(gaussian_normalizers(mixture));
    }
    return normalizers;
}

// Marks the computed cells and sets the offsets; returns the longest run of one position.
// A computed cell whose frame is not finite fails as its scoring would.
template <Scalar S>
std::uint64_t lay_out(MixtureOccupancies& result, const Cells<S>& computed,
                      const ObservationStreamData<S>& data, const StreamParameters<S>& stream,
                      std::span<const std::int32_t> emission_states,
                      const ModelError& allocation_failed) {
    const std::uint64_t positions = result.states;
    const std::uint64_t cells = result.presence.size();
    const std::vector<std::uint8_t> finite = finite_frames(data, result.frames, allocation_failed);
    std::uint64_t longest_run = 0;
    for (std::uint64_t s = 0; s < positions; ++s) {
        const IndexRange run = computed.position_frames(s);
        longest_run = std::max(longest_run, run.size());
        for (std::uint64_t t = run.first; t < run.last; ++t) {
            if (!finite[t]) {
                throw ModelError("observation must have matching dimensions and finite values");
            }
            result.presence[t * positions + s] = 1;
        }
    }
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < cells; ++i) {
        if (result.presence[i] == 1) {
            const auto state = static_cast<std::size_t>(emission_states[i % positions]);
            const auto sum = checked_add(total, stream.emissions[state].mixture_count());
            if (!sum) throw ModelError("component occupancy allocation failed");
            total = *sum;
        }
        result.offsets[i + 1] = total;
    }
    return longest_run;
}

}  // namespace

template <Scalar S>
MixtureOccupancies mixture_occupancies(const ModelParameters<S>& model,
                                       const ObservationData<S>& observation,
                                       const SegmentationData<S>& segmentation,
                                       const StateScoreTable<S>& occupancies, std::uint64_t stream,
                                       MixtureOccupancyMode mode, S temperature, S parameter) {
    observation.validate();
    segmentation.validate();
    const std::uint64_t frames = observation.frames;
    const std::uint64_t positions = segmentation.segment_count();
    const std::size_t stream_count = model.streams.size();
    if (occupancies.frames != frames || occupancies.states != positions ||
        observation.stream_count() != stream_count || segmentation.stream_count() != stream_count) {
        throw ModelError("mixture occupancy dimensions or stream counts differ");
    }
    check_temperature(temperature);
    const bool band = (static_cast<std::uint32_t>(mode) & 1U) != 0;
    check_parameters(observation, segmentation, band, parameter);
    if (stream >= observation.stream_count()) {
        throw ModelError("mixture occupancy stream is out of range");
    }
    const StreamParameters<S>& model_stream = model.streams[stream];
    const ObservationStreamData<S>& data = observation.streams[stream];
    const std::vector<std::int32_t>& emission_states = segmentation.output_states[stream];
    for (const std::int32_t state : emission_states) {
        if (state < 0 || static_cast<std::uint64_t>(state) >= model_stream.emissions.size()) {
            throw ModelError("mixture occupancy emission state is out of range");
        }
    }
    const ModelError allocation_failed("mixture occupancy allocation failed");
    const std::vector<std::vector<S>> normalizers =
        prepare_stream(model_stream, data.dimension, allocation_failed);

    const auto cells = checked_mul(frames, positions);
    if (!cells || !elements_fit<std::uint64_t>(*cells + 1)) throw allocation_failed;
    MixtureOccupancies result;
    result.presence = allocate_or_fail<std::uint8_t>(*cells, 0, allocation_failed);
    result.offsets = allocate_or_fail<std::uint64_t>(*cells + 1, 0, allocation_failed);
    result.frames = frames;
    result.states = positions;
    const Cells<S> computed(segmentation, frames, band, parameter);
    const std::uint64_t longest_run =
        lay_out(result, computed, data, model_stream, emission_states, allocation_failed);
    result.values = allocate_or_fail(result.offsets.back(), 0.0f,
                                     ModelError("component occupancy allocation failed"));
    std::vector<S> log_probabilities = allocate_or_fail(longest_run, S(0), allocation_failed);

    const std::size_t d = data.dimension;
    for (std::uint64_t s = 0; s < positions; ++s) {
        const IndexRange run = computed.position_frames(s);
        if (run.empty()) continue;
        const auto state = static_cast<std::size_t>(emission_states[s]);
        const GaussianMixtureParameters<S>& mixture = model_stream.emissions[state];
        const PreparedGaussianView<S> view(mixture, normalizers[state]);
        // The mixture log probability of every frame of the run, once per cell.
        view.log_probabilities_unchecked(data.values.data() + run.first * d, run.size(),
                                         temperature, log_probabilities.data());
        const std::size_t components = mixture.mixture_count();
        const S* weights = mixture.weights.data();
        for (std::uint64_t t = run.first; t < run.last; ++t) {
            const S* x = data.values.data() + t * d;
            const S shift = static_cast<S>(fast_ln(static_cast<float>(occupancies(t, s)))) -
                            log_probabilities[t - run.first];
            float* out = result.values.data() + result.offsets[t * positions + s];
            for (std::size_t m = 0; m < components; ++m) {
                const S y = shift + view.component_log_density(x, m) * temperature;
                const S e = band ? negative_exponential(y) : exponential(y);
                const auto value = static_cast<float>(weights[m] * e);
                out[m] = std::isnan(value) ? 0.0f : value;
            }
        }
    }
    return result;
}

#define TARVEK_INSTANTIATE(S)                                                             \
    template MixtureOccupancies mixture_occupancies(                                      \
        const ModelParameters<S>&, const ObservationData<S>&, const SegmentationData<S>&, \
        const StateScoreTable<S>&, std::uint64_t, MixtureOccupancyMode, S, S);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
