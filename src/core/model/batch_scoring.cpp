#include "core/model/batch_scoring.hpp"

#include <algorithm>
#include <cstdint>

#include "core/model/batch_kernels.hpp"
#include "core/numerics/allocation.hpp"

namespace tarvek {

template <Scalar S>
FrameBlock<S>::FrameBlock(std::uint64_t dimensions, const ModelError& failure) {
    // One extra cache line lets the values start on a 64-byte boundary.
    constexpr std::size_t line = 64 / sizeof(S);
    storage_ = allocate_or_fail(checked_add(checked_mul(dimensions, width), line).value_or(~0ULL),
                                S(0), failure);
    const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
    values_ = storage_.data() + (64 - address % 64) % 64 / sizeof(S);
}

namespace {

// Tiles of 16 bytes: the copy moves whole tiles of frames × dimensions and transposes each in
// registers, far fewer moves than one value at a time.
typedef float FloatTile __attribute__((vector_size(16)));
typedef float FloatRow __attribute__((vector_size(16), aligned(4), may_alias));
typedef double DoubleTile __attribute__((vector_size(16)));
typedef double DoubleRow __attribute__((vector_size(16), aligned(8), may_alias));

// Values j .. j + 3 of rows[0 .. 3], stored transposed at out: value j + c of row i at
// out[c · stride + i].
void transpose_tile(const float* const* rows, std::size_t j, float* out,
                    std::size_t stride) noexcept {
    const FloatTile r0 = *reinterpret_cast<const FloatRow*>(rows[0] + j);
    const FloatTile r1 = *reinterpret_cast<const FloatRow*>(rows[1] + j);
    const FloatTile r2 = *reinterpret_cast<const FloatRow*>(rows[2] + j);
    const FloatTile r3 = *reinterpret_cast<const FloatRow*>(rows[3] + j);
    const FloatTile low01 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
    const FloatTile low23 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
    const FloatTile high01 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
    const FloatTile high23 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
    *reinterpret_cast<FloatRow*>(out) = __builtin_shufflevector(low01, low23, 0, 1, 4, 5);
    *reinterpret_cast<FloatRow*>(out + stride) = __builtin_shufflevector(low01, low23, 2, 3, 6, 7);
    *reinterpret_cast<FloatRow*>(out + 2 * stride) =
        __builtin_shufflevector(high01, high23, 0, 1, 4, 5);
    *reinterpret_cast<FloatRow*>(out + 3 * stride) =
        __builtin_shufflevector(high01, high23, 2, 3, 6, 7);
}
// The same for values j, j + 1 of rows[0], rows[1].
void transpose_tile(const double* const* rows, std::size_t j, double* out,
                    std::size_t stride) noexcept {
    const DoubleTile r0 = *reinterpret_cast<const DoubleRow*>(rows[0] + j);
    const DoubleTile r1 = *reinterpret_cast<const DoubleRow*>(rows[1] + j);
    *reinterpret_cast<DoubleRow*>(out) = __builtin_shufflevector(r0, r1, 0, 2);
    *reinterpret_cast<DoubleRow*>(out + stride) = __builtin_shufflevector(r0, r1, 1, 3);
}

}  // namespace

template <Scalar S>
void FrameBlock<S>::load(const S* frames, std::uint64_t dimensions, std::size_t count) noexcept {
    count_ = count;
    const S* rows[width];
    for (std::size_t b = 0; b < width; ++b) rows[b] = frames + std::min(b, count - 1) * dimensions;
    constexpr std::size_t tile = 16 / sizeof(S);
    std::size_t j = 0;
    for (; j + tile <= dimensions; j += tile) {
        for (std::size_t b = 0; b < width; b += tile) {
            transpose_tile(rows + b, j, values_ + j * width + b, width);
        }
    }
    for (; j < dimensions; ++j) {
        for (std::size_t b = 0; b < width; ++b) values_[j * width + b] = rows[b][j];
    }
}

template <Scalar S>
std::vector<S> block_density_rows(std::uint64_t components, const ModelError& failure) {
    const auto count = checked_mul(components, FrameBlock<S>::width);
    return allocate_or_fail(count.value_or(~0ULL), S(0), failure);
}

namespace {

constexpr std::size_t width = FrameBlock<float>::width;

// Vectors of `Bytes` bytes: 16 for SSE2 and NEON, 32 for AVX. They may alias the block's
// scalars, whose alignment suits both widths. Every lane operation is the scalar IEEE
// operation (no contraction), so the lanes give the one-frame kernel's bits.
template <Scalar S, std::size_t Bytes>
struct LaneVector {
    typedef S type __attribute__((vector_size(Bytes), may_alias));
};

// Per component: Σ_j (x_bj − μ_kj)² / v_kj per lane, j in order, then the density
// 0.5·N_k − 0.5·sum in 64 bits. The divisions of every component run before any exponential:
// mixed in between them, the exponentials kept the divider idle.
template <Scalar S, std::size_t Bytes>
[[gnu::always_inline]] inline void densities_kernel(const PreparedGaussianView<S>& view,
                                                    const S* block, bool every,
                                                    S* densities) noexcept {
    using Vector = typename LaneVector<S, Bytes>::type;
    constexpr std::size_t n = width * sizeof(S) / Bytes;
    const GaussianMixtureParameters<S>& mixture = view.parameters();
    const std::size_t d = mixture.dimensions;
    const std::size_t m = mixture.weights.size();
    const auto* x = reinterpret_cast<const Vector*>(block);
    for (std::size_t k = 0; k < m; ++k) {
        // A zero weight adds nothing to a mixture of several components.
        if (!every && m > 1 && mixture.weights[k] == S(0)) continue;
        const S* mean = mixture.means.data() + k * d;
        const S* variance = mixture.variances.data() + k * d;
        Vector quadratic[n] = {};
        for (std::size_t j = 0; j < d; ++j) {
            const S mu = mean[j];
            const S v = variance[j];
#pragma GCC unroll 16
            for (std::size_t i = 0; i < n; ++i) {
                const Vector difference = x[j * n + i] - mu;
                quadratic[i] = quadratic[i] + difference * difference / v;
            }
        }
        alignas(64) S lanes[width];
#pragma GCC unroll 16
        for (std::size_t i = 0; i < n; ++i) reinterpret_cast<Vector*>(lanes)[i] = quadratic[i];
        const double half_normalizer = 0.5 * static_cast<double>(view.normalizers()[k]);
        S* row = densities + k * width;
        for (std::size_t b = 0; b < width; ++b) {
            row[b] = static_cast<S>(half_normalizer - 0.5 * static_cast<double>(lanes[b]));
        }
    }
}

// The one-frame mixture rule lane by lane: the weighted fast exponentials of the components of
// nonzero weight summed in 64 bits (in registers, a vector of lanes widened at a time), then
// the clamped fast logarithm times the temperature.
template <Scalar S, std::size_t Bytes>
[[gnu::always_inline]] inline void log_probabilities_kernel(const PreparedGaussianView<S>& view,
                                                            const S* densities, S temperature,
                                                            S* out) noexcept {
    const std::vector<S>& weights = view.parameters().weights;
    if (temperature == S(0)) {
        std::fill_n(out, width, S(0));
        return;
    }
    if (weights.size() == 1) {
        for (std::size_t b = 0; b < width; ++b) out[b] = temperature * densities[b];
        return;
    }
    using Wide = typename LaneVector<double, Bytes>::type;
    using Narrow = typename LaneVector<S, Bytes / sizeof(double) * sizeof(S)>::type;
    constexpr std::size_t wide_count = width * sizeof(double) / Bytes;
    Wide sums[wide_count];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < wide_count; ++i) sums[i] = Wide{};
    for (std::size_t k = 0; k < weights.size(); ++k) {
        if (weights[k] == S(0)) continue;
        const S* row = densities + k * width;
        alignas(64) S powers[width];
        for (std::size_t b = 0; b < width; ++b) powers[b] = fast_exp(row[b]);
        const double weight = static_cast<double>(weights[k]);
#pragma GCC unroll 16
        for (std::size_t i = 0; i < wide_count; ++i) {
            const Narrow power = reinterpret_cast<const Narrow*>(powers)[i];
            sums[i] = sums[i] + weight * __builtin_convertvector(power, Wide);
        }
    }
    alignas(64) double lane_sums[width];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < wide_count; ++i) reinterpret_cast<Wide*>(lane_sums)[i] = sums[i];
    for (std::size_t b = 0; b < width; ++b) {
        out[b] = finish_mixture_log_probability(lane_sums[b], temperature);
    }
}

// Per lane the shift fast_ln(occupancy) − log probability, then per component its share.
template <Scalar S>
[[gnu::always_inline]] inline void occupancy_kernel(const PreparedGaussianView<S>& view,
                                                    const S* densities, const S* log_probabilities,
                                                    const S* occupancies, S temperature,
                                                    bool capped, float* out) noexcept {
    alignas(64) S shifts[width];
    for (std::size_t b = 0; b < width; ++b) {
        shifts[b] =
            static_cast<S>(fast_ln(static_cast<float>(occupancies[b]))) - log_probabilities[b];
    }
    // Four components at a time, whose shares are then transposed into the lanes' lists.
    const std::vector<S>& weights = view.parameters().weights;
    const std::size_t m = weights.size();
    for (std::size_t first = 0; first < m; first += 4) {
        const std::size_t count = std::min<std::size_t>(4, m - first);
        alignas(64) float shares[4][width];
        for (std::size_t c = 0; c < count; ++c) {
            const S* row = densities + (first + c) * width;
            alignas(64) S arguments[width];
            for (std::size_t b = 0; b < width; ++b) {
                arguments[b] = shifts[b] + row[b] * temperature;
            }
            alignas(64) S powers[width];
            numerics::exponentials<S, width>(arguments, capped, powers);
            const S weight = weights[first + c];
#pragma GCC unroll 1  // unrolled first, the loop would not vectorise
            for (std::size_t b = 0; b < width; ++b) {
                const auto value = static_cast<float>(weight * powers[b]);
                shares[c][b] = value == value ? value : 0.0f;  // a NaN as 0
            }
        }
        if (count == 4) {
            const float* rows[4] = {shares[0], shares[1], shares[2], shares[3]};
            for (std::size_t b = 0; b < width; b += 4) {
                transpose_tile(rows, b, out + b * m + first, m);
            }
        } else {
            for (std::size_t c = 0; c < count; ++c) {
                for (std::size_t b = 0; b < width; ++b) out[b * m + first + c] = shares[c][b];
            }
        }
    }
}

// Both steps of `score_block` in one call.
template <Scalar S, std::size_t Bytes>
[[gnu::always_inline]] inline void score_kernel(const PreparedGaussianView<S>& view, const S* block,
                                                bool every, S temperature, S* densities,
                                                S* out) noexcept {
    densities_kernel<S, Bytes>(view, block, every, densities);
    log_probabilities_kernel<S, Bytes>(view, densities, temperature, out);
}

template <Scalar S>
void score_baseline(const PreparedGaussianView<S>& view, const S* block, bool every, S temperature,
                    S* densities, S* out) noexcept {
    score_kernel<S, 16>(view, block, every, temperature, densities, out);
}
template <Scalar S>
void occupancies_baseline(const PreparedGaussianView<S>& view, const S* densities,
                          const S* log_probabilities, const S* occupancies, S temperature,
                          bool capped, float* out) noexcept {
    occupancy_kernel(view, densities, log_probabilities, occupancies, temperature, capped, out);
}

#ifdef TARVEK_AVX2_BUILDS
// The same kernels built for AVX2 (twice the lanes per vector).
template <Scalar S>
[[gnu::target("avx2")]] void score_avx2(const PreparedGaussianView<S>& view, const S* block,
                                        bool every, S temperature, S* densities, S* out) noexcept {
    score_kernel<S, 32>(view, block, every, temperature, densities, out);
}
template <Scalar S>
[[gnu::target("avx2")]] void occupancies_avx2(const PreparedGaussianView<S>& view,
                                              const S* densities, const S* log_probabilities,
                                              const S* occupancies, S temperature, bool capped,
                                              float* out) noexcept {
    occupancy_kernel(view, densities, log_probabilities, occupancies, temperature, capped, out);
}
#endif

const InstructionSet fastest = fastest_instruction_set();

}  // namespace

template <Scalar S>
void score_block(InstructionSet set, const PreparedGaussianView<S>& view,
                 const FrameBlock<S>& block, DensityRows rows, S temperature, S* densities,
                 S* out) noexcept {
    const bool every = rows == DensityRows::every;
#ifdef TARVEK_AVX2_BUILDS
    if (set == InstructionSet::avx2) {
        return score_avx2(view, block.values(), every, temperature, densities, out);
    }
#endif
    score_baseline(view, block.values(), every, temperature, densities, out);
}

template <Scalar S>
void score_block(const PreparedGaussianView<S>& view, const FrameBlock<S>& block, DensityRows rows,
                 S temperature, S* densities, S* out) noexcept {
    score_block(fastest, view, block, rows, temperature, densities, out);
}

template <Scalar S>
void block_component_occupancies(InstructionSet set, const PreparedGaussianView<S>& view,
                                 const S* densities, const S* log_probabilities,
                                 const S* occupancies, S temperature, bool capped,
                                 float* out) noexcept {
#ifdef TARVEK_AVX2_BUILDS
    if (set == InstructionSet::avx2) {
        return occupancies_avx2(view, densities, log_probabilities, occupancies, temperature,
                                capped, out);
    }
#endif
    occupancies_baseline(view, densities, log_probabilities, occupancies, temperature, capped, out);
}

template <Scalar S>
void block_component_occupancies(const PreparedGaussianView<S>& view, const S* densities,
                                 const S* log_probabilities, const S* occupancies, S temperature,
                                 bool capped, float* out) noexcept {
    block_component_occupancies(fastest, view, densities, log_probabilities, occupancies,
                                temperature, capped, out);
}

#define TARVEK_INSTANTIATE(S)                                                                     \
    template class FrameBlock<S>;                                                                 \
    template std::vector<S> block_density_rows<S>(std::uint64_t, const ModelError&);              \
    template void score_block(const PreparedGaussianView<S>&, const FrameBlock<S>&, DensityRows,  \
                              S, S*, S*);                                                         \
    template void score_block(InstructionSet, const PreparedGaussianView<S>&,                     \
                              const FrameBlock<S>&, DensityRows, S, S*, S*);                      \
    template void block_component_occupancies(const PreparedGaussianView<S>&, const S*, const S*, \
                                              const S*, S, bool, float*);                         \
    template void block_component_occupancies(InstructionSet, const PreparedGaussianView<S>&,     \
                                              const S*, const S*, const S*, S, bool, float*);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
