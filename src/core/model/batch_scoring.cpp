#include "core/model/batch_scoring.hpp"

#include <algorithm>
#include <cstdint>

#include "core/model/batch_kernels.hpp"
#include "core/model/block_copy.hpp"
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

template <Scalar S>
void FrameBlock<S>::load(const S* frames, std::uint64_t dimensions, std::size_t count) noexcept {
    frames_ = frames;
    dimensions_ = dimensions;
    count_ = count;
    copied_ = false;
}

template <Scalar S>
std::vector<S> block_density_rows(std::uint64_t components, const ModelError& failure) {
    const auto count = checked_mul(components, FrameBlock<S>::width);
    return allocate_or_fail(count.value_or(~0ULL), S(0), failure);
}

namespace {

// Vectors of `Bytes` bytes: 16 for SSE2 and NEON, 32 for AVX. They may alias the block's
// scalars, whose alignment suits both widths. Every lane operation is the scalar IEEE
// operation (no contraction), so the lanes give the one-frame kernel's bits.
template <Scalar S, std::size_t Bytes>
struct LaneVector {
    typedef S type __attribute__((vector_size(Bytes), may_alias));
};

constexpr std::size_t width = FrameBlock<float>::width;

// A component whose density row is done but whose weighted fast exponentials are still to be
// added to the lane sums. They need none of the next component's divisions and run between
// them, a few vector operations per `step`: in one piece, their chains held the scheduler's
// entries long enough to starve the divider. The steps are fast_exp's operations in its order
// on every lane, so the sums keep the one-frame bits.
template <Scalar S, std::size_t Bytes>
class PendingComponent {
    using Wide = typename LaneVector<double, Bytes>::type;
    using Narrow = typename LaneVector<float, Bytes / 2>::type;

  public:
    // The lane sums of the one-frame mixture rule, in 64 bits, a vector of lanes at a time.
    struct Sums {
        static constexpr std::size_t count = width * sizeof(double) / Bytes;
        Wide lanes[count] = {};
    };

    static constexpr std::size_t steps = numerics::SteppedFastExp<width>::steps + 1;

    // Component k, whose density row `row` holds; `step` 0 to steps − 1 or `finish` add it.
    [[gnu::always_inline]] void start(std::size_t k, const S* row) noexcept {
        component_ = k;
        row_ = row;
    }

    // The exponentials' steps, then their weighted sum into the lane sums.
    [[gnu::always_inline]] void step(std::size_t index, const PreparedGaussianView<S>& view,
                                     Wide* sums) noexcept {
        if (index + 1 < steps) return exponentials_.step(index, row_);
        accumulate(exponentials_.powers(), view, sums);
    }

    // All the steps at once, when no divisions are left to interleave with: in registers, the
    // exponentials are a shorter chain than through the steps' arrays.
    [[gnu::always_inline]] void finish(const PreparedGaussianView<S>& view, Wide* sums) noexcept {
        alignas(64) float powers[width];
        for (std::size_t b = 0; b < width; ++b) powers[b] = fast_exp(static_cast<float>(row_[b]));
        accumulate(powers, view, sums);
    }

  private:
    [[gnu::always_inline]] void accumulate(const float* powers, const PreparedGaussianView<S>& view,
                                           Wide* sums) const noexcept {
        const double weight = static_cast<double>(view.parameters().weights[component_]);
#pragma GCC unroll 16
        for (std::size_t i = 0; i < Sums::count; ++i) {
            const Narrow power = reinterpret_cast<const Narrow*>(powers)[i];
            sums[i] = sums[i] + weight * __builtin_convertvector(power, Wide);
        }
    }

    numerics::SteppedFastExp<width> exponentials_;
    const S* row_ = nullptr;
    std::size_t component_ = 0;
};

// Component k's quadratic sums Σ_j (x_bj − μ_kj)² / v_kj, one vector of lanes per entry of
// `quadratic`: dimension j from the lanes `column` holds.
template <Scalar S, std::size_t Bytes>
[[gnu::always_inline]] inline void add_dimension(typename LaneVector<S, Bytes>::type* quadratic,
                                                 const typename LaneVector<S, Bytes>::type* column,
                                                 S mu, S v) noexcept {
#pragma GCC unroll 16
    for (std::size_t i = 0; i < width * sizeof(S) / Bytes; ++i) {
        const auto difference = column[i] - mu;
        quadratic[i] = quadratic[i] + difference * difference / v;
    }
}

// The density row of component k from its quadratic sums: 0.5·N_k − 0.5·sum in 64 bits.
template <Scalar S, std::size_t Bytes>
[[gnu::always_inline]] inline void store_densities(
    const PreparedGaussianView<S>& view, std::size_t k,
    const typename LaneVector<S, Bytes>::type* quadratic, S* row) noexcept {
    using Vector = typename LaneVector<S, Bytes>::type;
    alignas(64) S lanes[width];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < width * sizeof(S) / Bytes; ++i) {
        reinterpret_cast<Vector*>(lanes)[i] = quadratic[i];
    }
    const double half_normalizer = 0.5 * static_cast<double>(view.normalizers()[k]);
    for (std::size_t b = 0; b < width; ++b) {
        row[b] = static_cast<S>(half_normalizer - 0.5 * static_cast<double>(lanes[b]));
    }
}

// Every component's density row, then the annealed mixture log probability lane by lane: the
// weighted fast exponentials of the components of nonzero weight summed in 64 bits, then the
// clamped fast logarithm times the temperature. Each component's sums run over j in order;
// the previous component's exponentials run between its dimensions.
template <Scalar S, std::size_t Bytes>
[[gnu::always_inline]] inline void score_kernel(const PreparedGaussianView<S>& view,
                                                FrameBlock<S>& block, bool every, S temperature,
                                                S* densities, S* out) noexcept {
    using Vector = typename LaneVector<S, Bytes>::type;
    constexpr std::size_t n = width * sizeof(S) / Bytes;
    constexpr std::size_t steps = PendingComponent<S, Bytes>::steps;
    const GaussianMixtureParameters<S>& mixture = view.parameters();
    const std::vector<S>& weights = mixture.weights;
    const std::size_t d = mixture.dimensions;
    const std::size_t m = weights.size();
    const auto* x = reinterpret_cast<const Vector*>(block_copy::BlockCopy<S, Bytes>::values(block));
    using Pending = PendingComponent<S, Bytes>;
    typename Pending::Sums sums;
    Pending pending;
    bool has_pending = false;
    const bool summed = temperature != S(0) && m > 1;
    // One component on a copied block, the plain-HMM shape: its dimensions in one plain run. The
    // loop below would carry its copy, weight and pending steps around every call, a measurable
    // share of a call this short.
    const bool single = m == 1 && block.copied();
    if (single) {
        Vector quadratic[n] = {};
        for (std::size_t j = 0; j < d; ++j) {
            add_dimension<S, Bytes>(quadratic, x + j * n, mixture.means[j], mixture.variances[j]);
        }
        store_densities<S, Bytes>(view, 0, quadratic, densities);
    }
    for (std::size_t k = single ? m : 0; k < m; ++k) {
        // A zero weight adds nothing to a mixture of several components.
        const bool weighted = m == 1 || weights[k] != S(0);
        if (!every && !weighted) continue;
        const S* mean = mixture.means.data() + k * d;
        const S* variance = mixture.variances.data() + k * d;
        Vector quadratic[n] = {};
        const auto add_dimensions = [&](std::size_t first, std::size_t end) {
            for (std::size_t j = first; j < end; ++j) {
                add_dimension<S, Bytes>(quadratic, x + j * n, mean[j], variance[j]);
            }
        };
        if (!block.copied()) {
            // The first component copies the block in a tile of dimensions at a time and sums
            // each tile from registers: the copy's moves then run between its divisions.
            const block_copy::BlockCopy<S, Bytes> copy(block);
            std::size_t j = 0;
            for (; j + copy.tile <= d; j += copy.tile) {
                alignas(64) S transposed[copy.tile * width];
                copy.transpose(j, transposed);
                copy.store(j, transposed);
#pragma GCC unroll 16
                for (std::size_t c = 0; c < copy.tile; ++c) {
                    add_dimension<S, Bytes>(quadratic,
                                            reinterpret_cast<const Vector*>(transposed) + c * n,
                                            mean[j + c], variance[j + c]);
                }
            }
            copy.copy_rest(j, d);
            add_dimensions(j, d);
        } else if (has_pending) {
            // Equal runs of dimensions between the steps keep the loop exits predictable; the
            // pending row is written after the previous component's last divisions, which the
            // divider is still working through for the first runs.
            constexpr std::size_t lead = 3;
            const std::size_t run = d / (lead + steps + 1);
            add_dimensions(0, lead * run);
            for (std::size_t step = 0; step < steps; ++step) {
                add_dimensions((lead + step) * run, (lead + step + 1) * run);
                pending.step(step, view, sums.lanes);
            }
            add_dimensions((lead + steps) * run, d);
        } else {
            add_dimensions(0, d);
        }
        S* row = densities + k * width;
        store_densities<S, Bytes>(view, k, quadratic, row);
        has_pending = summed && weighted;
        if (has_pending) pending.start(k, row);
    }
    if (!block.copied()) {
        // No component was scored: the copy is still due for the next mixture.
        block_copy::BlockCopy<S, Bytes>(block).copy_all(d);
    }
    if (has_pending) pending.finish(view, sums.lanes);
    if (temperature == S(0)) {
        std::fill_n(out, width, S(0));
    } else if (m == 1) {
        for (std::size_t b = 0; b < width; ++b) out[b] = temperature * densities[b];
    } else {
        alignas(64) double lane_sums[width];
#pragma GCC unroll 16
        for (std::size_t i = 0; i < Pending::Sums::count; ++i) {
            reinterpret_cast<typename LaneVector<double, Bytes>::type*>(lane_sums)[i] =
                sums.lanes[i];
        }
        for (std::size_t b = 0; b < width; ++b) {
            out[b] = finish_mixture_log_probability(lane_sums[b], temperature);
        }
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
                block_copy::transpose_tile(rows, b, out + b * m + first, m);
            }
        } else {
            for (std::size_t c = 0; c < count; ++c) {
                for (std::size_t b = 0; b < width; ++b) out[b * m + first + c] = shares[c][b];
            }
        }
    }
}

// The kernels' entry points for `run_kernel`.
struct ScoreKernel {
    template <std::size_t Bytes, Scalar S>
    [[gnu::always_inline]] static void run(const PreparedGaussianView<S>* view,
                                           FrameBlock<S>* block, bool every, S temperature,
                                           S* densities, S* out) noexcept {
        score_kernel<S, Bytes>(*view, *block, every, temperature, densities, out);
    }
};
struct OccupancyKernel {
    template <std::size_t, Scalar S>
    [[gnu::always_inline]] static void run(const PreparedGaussianView<S>* view, const S* densities,
                                           const S* log_probabilities, const S* occupancies,
                                           S temperature, bool capped, float* out) noexcept {
        occupancy_kernel(*view, densities, log_probabilities, occupancies, temperature, capped,
                         out);
    }
};

}  // namespace

template <Scalar S>
void score_block(InstructionSet set, const PreparedGaussianView<S>& view, FrameBlock<S>& block,
                 DensityRows rows, S temperature, S* densities, S* out) noexcept {
    run_kernel<ScoreKernel>(set, &view, &block, rows == DensityRows::every, temperature, densities,
                            out);
}

template <Scalar S>
void score_block(const PreparedGaussianView<S>& view, FrameBlock<S>& block, DensityRows rows,
                 S temperature, S* densities, S* out) noexcept {
    score_block(fastest_instruction_set, view, block, rows, temperature, densities, out);
}

template <Scalar S>
void block_component_occupancies(InstructionSet set, const PreparedGaussianView<S>& view,
                                 const S* densities, const S* log_probabilities,
                                 const S* occupancies, S temperature, bool capped,
                                 float* out) noexcept {
    run_kernel<OccupancyKernel>(set, &view, densities, log_probabilities, occupancies, temperature,
                                capped, out);
}

template <Scalar S>
void block_component_occupancies(const PreparedGaussianView<S>& view, const S* densities,
                                 const S* log_probabilities, const S* occupancies, S temperature,
                                 bool capped, float* out) noexcept {
    block_component_occupancies(fastest_instruction_set, view, densities, log_probabilities,
                                occupancies, temperature, capped, out);
}

#define TARVEK_INSTANTIATE(S)                                                                     \
    template class FrameBlock<S>;                                                                 \
    template std::vector<S> block_density_rows<S>(std::uint64_t, const ModelError&);              \
    template void score_block(const PreparedGaussianView<S>&, FrameBlock<S>&, DensityRows, S, S*, \
                              S*);                                                                \
    template void score_block(InstructionSet, const PreparedGaussianView<S>&, FrameBlock<S>&,     \
                              DensityRows, S, S*, S*);                                            \
    template void block_component_occupancies(const PreparedGaussianView<S>&, const S*, const S*, \
                                              const S*, S, bool, float*);                         \
    template void block_component_occupancies(InstructionSet, const PreparedGaussianView<S>&,     \
                                              const S*, const S*, const S*, S, bool, float*);
TARVEK_INSTANTIATE(float)
TARVEK_INSTANTIATE(double)
#undef TARVEK_INSTANTIATE

}  // namespace tarvek
