#pragma once
// Batch scoring of prepared mixtures: a block of consecutive frames is copied dimension-major
// once and then scored under as many mixtures as need it, each per-dimension step of every
// frame's sum one vector operation across the block. Each frame's sum still runs over the
// dimensions in order with the one-frame kernel's operations, so every result has the
// one-frame kernel's bits. An AVX2 build of the kernels is chosen at run time over the SSE2
// baseline (batch_kernels.hpp declares both); neither contracts into fused multiply-adds.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/model/probability.hpp"
#include "core/numerics/error.hpp"

namespace tarvek {

namespace block_copy {
template <Scalar S, std::size_t Bytes>
class BlockCopy;
}

// Up to `width` consecutive frames of one stream, value j of lane b at j · width + b. Lanes
// past the frame count repeat the last frame, so every lane holds a real frame; their results
// are never used.
template <Scalar S>
class FrameBlock {
  public:
    static constexpr std::size_t width = 16;

    // Room for frames of up to `dimensions` values; a failed allocation throws `failure`.
    FrameBlock(std::uint64_t dimensions, const ModelError& failure);
    FrameBlock(FrameBlock&&) noexcept = default;  // the values move with their storage
    FrameBlock& operator=(FrameBlock&&) noexcept = default;

    // Takes `count` (1 to width) frames of `dimensions` values each, frame f at f · dimensions,
    // which must stay in place until the block is next scored: the first `score_block` copies
    // them in between its divisions, where the copy costs almost no time of its own.
    void load(const S* frames, std::uint64_t dimensions, std::size_t count) noexcept;

    std::size_t count() const noexcept { return count_; }
    std::uint64_t dimensions() const noexcept { return dimensions_; }
    // Whether the values hold the frames `load` took.
    bool copied() const noexcept { return copied_; }

  private:
    // The block copy alone reads the frames and writes the values, aligned for the widest
    // vectors.
    template <Scalar, std::size_t>
    friend class block_copy::BlockCopy;
    const S* frames() const noexcept { return frames_; }
    S* values() noexcept { return values_; }
    void mark_copied() noexcept { copied_ = true; }

    std::vector<S> storage_;
    S* values_ = nullptr;
    const S* frames_ = nullptr;
    std::uint64_t dimensions_ = 0;
    std::size_t count_ = 0;
    bool copied_ = true;
};

// Which components `score_block` gives a density row.
enum class DensityRows {
    scored,  // those the mixture log probability reads: the only one, or each of nonzero weight
    every,
};

// Scores every lane of `block` (loaded with the mixture's dimension count): the log density of
// each component `rows` names into densities[k · width + b] (other rows are left as they
// are), and the annealed mixture log probability into out[b], bit for bit what
// `component_log_density` and `log_probability` give the lane's frame. The first call after
// `load` reads the caller's frames, which must still be in place, and copies them into the
// block; later calls read only the block.
template <Scalar S>
void score_block(const PreparedGaussianView<S>& view, FrameBlock<S>& block, DensityRows rows,
                 S temperature, S* densities, S* out) noexcept;

// The mixture-component occupancies of every lane from `score_block`'s densities of every
// component and its log probabilities, lane by lane: out[b · m + k] = weight_k · E(fast_ln(o_b)
// − lp_b + density_kb · temperature) rounded to 32 bits, a NaN stored as 0, where m is the
// component count, o_b the lane's occupancy and E is `exponential`, or `negative_exponential`
// when `capped`.
template <Scalar S>
void block_component_occupancies(const PreparedGaussianView<S>& view, const S* densities,
                                 const S* log_probabilities, const S* occupancies, S temperature,
                                 bool capped, float* out) noexcept;

// sums[b] + scores[b] × weight for every lane, the product rounded before the sum, where the
// first stream's sums start from 0; both arrays 16-byte aligned.
template <Scalar S>
inline void add_weighted_lanes(const S* scores, S weight, bool first, S* sums) noexcept {
    typedef S Vector __attribute__((vector_size(16), may_alias));
    for (std::size_t i = 0; i < FrameBlock<S>::width * sizeof(S) / 16; ++i) {
        Vector& sum = reinterpret_cast<Vector*>(sums)[i];
        sum = (first ? Vector{} : sum) + reinterpret_cast<const Vector*>(scores)[i] * weight;
    }
}

// Scratch for scoring blocks under mixtures of up to `components` components.
template <Scalar S>
std::vector<S> block_density_rows(std::uint64_t components, const ModelError& failure);

}  // namespace tarvek
