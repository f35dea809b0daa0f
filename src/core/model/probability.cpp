#include "core/model/probability.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/numerics/allocation.hpp"
#include "core/model/model_operations.hpp"
#include "core/numerics/value_checks.hpp"

namespace tarvek {

template <Scalar S>
std::vector<S> gaussian_normalizers(const GaussianMixtureParameters<S>& mixture) {
    mixture.check_shape();
    const auto positive = [](S value) { return std::isfinite(value) && value > S(0); };
    const auto& weights = mixture.weights;
    if (!all_finite(mixture.means) ||
        !std::all_of(mixture.variances.begin(), mixture.variances.end(), positive) ||
        !all_finite_nonnegative(weights)) {
        throw ModelError(
            "emissions require finite means, positive variances, and nonnegative finite weights");
    }
    const std::size_t d = mixture.dimensions;
    std::vector<S> normalizers = allocate_or_bad_alloc<S>(weights.size());
    for (std::size_t k = 0; k < weights.size(); ++k) {
        const S* variance = mixture.variances.data() + k * d;
        S sum = 0;
        for (std::size_t j = 0; j < d; ++j) {
            sum = static_cast<S>(static_cast<double>(sum) -
                                 std::log(two_pi * static_cast<double>(variance[j])));
        }
        normalizers[k] = sum;
    }
    return normalizers;
}

template <Scalar S>
void check_observation(std::span<const S> observation, std::uint64_t dimensions) {
    if (observation.size() != dimensions || !all_finite(observation)) {
        throw ModelError("observation must have matching dimensions and finite values");
    }
}

template <Scalar S>
void check_temperature(S temperature) {
    if (!is_finite_nonnegative(temperature)) {
        throw ModelError("temperature must be finite and nonnegative");
    }
}

template <Scalar S>
PreparedGaussianParameters<S> GaussianMixtureParameters<S>::prepare_owned() && {
    GaussianMixtureParameters mixture = std::exchange(*this, GaussianMixtureParameters{});
    std::vector<S> normalizers = gaussian_normalizers(mixture);
    return {std::move(mixture), std::move(normalizers)};
}

template <Scalar S>
S PreparedGaussianView<S>::component_log_probability(std::span<const S> x, std::uint64_t k) const {
    check_observation(x, dimensions());
    if (k >= mixture_count()) throw ModelError("mixture component is out of range");
    return component_log_density(x.data(), k);
}

template <Scalar S>
S PreparedGaussianView<S>::log_probability(std::span<const S> x, S temperature) const {
    check_observation(x, dimensions());
    check_temperature(temperature);
    return log_probability_unchecked(x.data(), temperature);
}

template <Scalar S>
PreparedGaussianParameters<S> PreparedGaussianView<S>::to_owned() const {
    return {*parameters_, std::vector<S>(normalizers_.begin(), normalizers_.end())};
}

// ---- Batch scoring ------------------------------------------------------------------------
//
// Frames are scored in blocks of `block_frames`. A block's values are copied dimension-major
// into a small stack buffer so that the per-dimension step of every frame's sum is one
// contiguous vector operation across the block; each frame's sum still runs over the
// dimensions in order, with the same operations as the one-frame kernel. Dimensions and
// components are taken in chunks so that the buffers stay fixed in size.

namespace {

constexpr std::size_t block_frames = 16;
constexpr std::size_t block_dimensions = 64;
constexpr std::size_t block_components = 8;

// Vectors of `Bytes` bytes: 16 for SSE2 and NEON, 32 for AVX. Every lane operation is the
// scalar IEEE operation (no contraction), so the lanes give the one-frame kernel's bits.
template <Scalar S, std::size_t Bytes>
struct LaneVector;
template <>
struct LaneVector<float, 16> {
    typedef float type __attribute__((vector_size(16)));
};
template <>
struct LaneVector<double, 16> {
    typedef double type __attribute__((vector_size(16)));
};
template <>
struct LaneVector<float, 32> {
    typedef float type __attribute__((vector_size(32)));
};
template <>
struct LaneVector<double, 32> {
    typedef double type __attribute__((vector_size(32)));
};

// quadratic[b] += Σ_j (x_bj − μ_j)² / v_j over `count` dimensions, j in order, for every
// frame b of the block.
template <Scalar S, std::size_t Bytes>
[[gnu::always_inline]] inline void accumulate_quadratic(const S* transposed, std::size_t count,
                                                        const S* mean, const S* variance,
                                                        S* quadratic) noexcept {
    using Vector = typename LaneVector<S, Bytes>::type;
    constexpr std::size_t n = block_frames * sizeof(S) / Bytes;
    Vector sums[n];
    std::memcpy(sums, quadratic, sizeof sums);
    for (std::size_t j = 0; j < count; ++j) {
        Vector x[n];
        std::memcpy(x, transposed + j * block_frames, sizeof x);
        const S m = mean[j];
        const S v = variance[j];
#pragma GCC unroll 16
        for (std::size_t i = 0; i < n; ++i) {
            const Vector difference = x[i] - m;
            sums[i] = sums[i] + difference * difference / v;
        }
    }
    std::memcpy(quadratic, sums, sizeof sums);
}

// Scores `count` (1 to block_frames) consecutive frames; the temperature is not 0.
template <Scalar S, std::size_t Bytes>
[[gnu::always_inline]] inline void score_block(const GaussianMixtureParameters<S>& mixture,
                                               std::span<const S> normalizers, const S* frames,
                                               std::size_t count, S temperature, S* out) noexcept {
    const std::size_t d = mixture.dimensions;
    const std::size_t m = mixture.weights.size();
    const S* weights = mixture.weights.data();
    alignas(64) S transposed[block_dimensions * block_frames];
    alignas(64) S quadratic[block_components * block_frames];
    double sums[block_frames] = {};

    for (std::size_t k0 = 0; k0 < m; k0 += block_components) {
        const std::size_t components = std::min(block_components, m - k0);
        std::fill_n(quadratic, components * block_frames, S(0));
        for (std::size_t j0 = 0; j0 < d; j0 += block_dimensions) {
            const std::size_t dims = std::min(block_dimensions, d - j0);
            // A short block repeats its last frame; the extra lanes are never stored.
            for (std::size_t b = 0; b < block_frames; ++b) {
                const S* frame = frames + std::min(b, count - 1) * d + j0;
                for (std::size_t j = 0; j < dims; ++j) transposed[j * block_frames + b] = frame[j];
            }
            for (std::size_t c = 0; c < components; ++c) {
                const std::size_t k = k0 + c;
                if (m > 1 && weights[k] == S(0)) continue;
                accumulate_quadratic<S, Bytes>(transposed, dims, mixture.means.data() + k * d + j0,
                                               mixture.variances.data() + k * d + j0,
                                               quadratic + c * block_frames);
            }
        }
        for (std::size_t c = 0; c < components; ++c) {
            const std::size_t k = k0 + c;
            const double half_normalizer = 0.5 * static_cast<double>(normalizers[k]);
            const S* quadratic_k = quadratic + c * block_frames;
            if (m == 1) {
                for (std::size_t b = 0; b < count; ++b) {
                    const S density =
                        static_cast<S>(half_normalizer - 0.5 * static_cast<double>(quadratic_k[b]));
                    out[b] = temperature * density;
                }
                return;
            }
            if (weights[k] == S(0)) continue;
            const double weight = static_cast<double>(weights[k]);
            for (std::size_t b = 0; b < block_frames; ++b) {
                const S density =
                    static_cast<S>(half_normalizer - 0.5 * static_cast<double>(quadratic_k[b]));
                sums[b] = sums[b] + weight * static_cast<double>(fast_exp(density));
            }
        }
    }
    for (std::size_t b = 0; b < count; ++b) {
        out[b] = finish_mixture_log_probability(sums[b], temperature);
    }
}

template <Scalar S, std::size_t Bytes>
[[gnu::always_inline]] inline void score_frames(const GaussianMixtureParameters<S>& mixture,
                                                std::span<const S> normalizers, const S* frames,
                                                std::size_t frame_count, S temperature,
                                                S* out) noexcept {
    const std::size_t d = mixture.dimensions;
    for (std::size_t f = 0; f < frame_count; f += block_frames) {
        const std::size_t count = std::min(block_frames, frame_count - f);
        score_block<S, Bytes>(mixture, normalizers, frames + f * d, count, temperature, out + f);
    }
}

template <Scalar S>
void score_frames_baseline(const GaussianMixtureParameters<S>& mixture,
                           std::span<const S> normalizers, const S* frames, std::size_t frame_count,
                           S temperature, S* out) noexcept {
    score_frames<S, 16>(mixture, normalizers, frames, frame_count, temperature, out);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same kernel built for AVX2 (twice the lanes), chosen at run time. AVX2 brings no fused
// multiply-add and contraction is off, so the results are the baseline's.
#define TARVEK_WIDE_KERNEL 1
template <Scalar S>
__attribute__((target("avx2"))) void score_frames_avx2(const GaussianMixtureParameters<S>& mixture,
                                                       std::span<const S> normalizers,
                                                       const S* frames, std::size_t frame_count,
                                                       S temperature, S* out) noexcept {
    score_frames<S, 32>(mixture, normalizers, frames, frame_count, temperature, out);
}

bool detect_avx2() noexcept {
    __builtin_cpu_init();  // static initialisation may run before libgcc's own
    return __builtin_cpu_supports("avx2");
}
const bool has_avx2 = detect_avx2();
#endif

}  // namespace

template <Scalar S>
void PreparedGaussianView<S>::log_probabilities_unchecked(const S* frames, std::size_t frame_count,
                                                          S temperature, S* out) const noexcept {
    if (temperature == S(0)) {
        std::fill_n(out, frame_count, S(0));
        return;
    }
#ifdef TARVEK_WIDE_KERNEL
    if (has_avx2) {
        score_frames_avx2(*parameters_, normalizers_, frames, frame_count, temperature, out);
        return;
    }
#endif
    score_frames_baseline(*parameters_, normalizers_, frames, frame_count, temperature, out);
}

template <Scalar S>
void PreparedGaussianView<S>::log_probabilities(std::span<const S> frames, S temperature,
                                                std::span<S> out) const {
    const std::size_t d = parameters_->dimensions;
    const std::size_t frame_count = out.size();
    const auto total = checked_mul(frame_count, d);
    if (!total || *total != frames.size()) {
        throw ModelError("observation must have matching dimensions and finite values");
    }
    if (frame_count == 0) return;
    check_observation(frames.first(d), d);
    check_temperature(temperature);
    for (std::size_t f = 1; f < frame_count; ++f) check_observation(frames.subspan(f * d, d), d);
    log_probabilities_unchecked(frames.data(), frame_count, temperature, out.data());
}

#define TARVEK_INSTANTIATE(S)                                                                \
    template std::vector<S> gaussian_normalizers(const GaussianMixtureParameters<S>&);       \
    template void check_observation<S>(std::span<const S>, std::uint64_t);                   \
    template void check_temperature<S>(S);                                                   \
    template PreparedGaussianParameters<S> GaussianMixtureParameters<S>::prepare_owned() &&; \
    template class PreparedGaussianView<S>;
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
