#pragma once
// The copy of a loaded frame block into its values, dimension-major, which the batch kernels
// run between their divisions. Whole tiles of frames × dimensions are transposed in registers,
// far fewer moves than one value at a time. For batch_scoring.cpp alone, whose baseline and
// AVX2 builds each inline it.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/model/batch_scoring.hpp"

namespace tarvek::block_copy {

// Tiles of 16 bytes.
typedef float FloatTile __attribute__((vector_size(16)));
typedef float FloatRow __attribute__((vector_size(16), aligned(4), may_alias));
typedef double DoubleTile __attribute__((vector_size(16)));
typedef double DoubleRow __attribute__((vector_size(16), aligned(8), may_alias));

// Values j .. j + 3 of rows[0 .. 3], stored transposed at out: value j + c of row i at
// out[c · stride + i].
inline void transpose_tile(const float* const* rows, std::size_t j, float* out,
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
inline void transpose_tile(const double* const* rows, std::size_t j, double* out,
                           std::size_t stride) noexcept {
    const DoubleTile r0 = *reinterpret_cast<const DoubleRow*>(rows[0] + j);
    const DoubleTile r1 = *reinterpret_cast<const DoubleRow*>(rows[1] + j);
    *reinterpret_cast<DoubleRow*>(out) = __builtin_shufflevector(r0, r1, 0, 2);
    *reinterpret_cast<DoubleRow*>(out + stride) = __builtin_shufflevector(r0, r1, 1, 3);
}

// Tiles of 32 bytes for AVX: two 16-byte tiles side by side, rows i and i + 4 (floats) or
// i + 2 (doubles) in the halves of one vector, each half transposed as above.
typedef float FloatPair __attribute__((vector_size(32)));
typedef float FloatPairRow __attribute__((vector_size(32), aligned(4), may_alias));
typedef double DoublePair __attribute__((vector_size(32)));
typedef double DoublePairRow __attribute__((vector_size(32), aligned(8), may_alias));

// Values j .. j + 3 of rows[0 .. 7], stored transposed at out.
[[gnu::always_inline]] inline void transpose_pair_tile(const float* const* rows, std::size_t j,
                                                       float* out, std::size_t stride) noexcept {
    FloatPair r[4];
    for (std::size_t i = 0; i < 4; ++i) {
        r[i] = __builtin_shufflevector(*reinterpret_cast<const FloatRow*>(rows[i] + j),
                                       *reinterpret_cast<const FloatRow*>(rows[i + 4] + j), 0, 1, 2,
                                       3, 4, 5, 6, 7);
    }
    const FloatPair low01 = __builtin_shufflevector(r[0], r[1], 0, 8, 1, 9, 4, 12, 5, 13);
    const FloatPair low23 = __builtin_shufflevector(r[2], r[3], 0, 8, 1, 9, 4, 12, 5, 13);
    const FloatPair high01 = __builtin_shufflevector(r[0], r[1], 2, 10, 3, 11, 6, 14, 7, 15);
    const FloatPair high23 = __builtin_shufflevector(r[2], r[3], 2, 10, 3, 11, 6, 14, 7, 15);
    *reinterpret_cast<FloatPairRow*>(out) =
        __builtin_shufflevector(low01, low23, 0, 1, 8, 9, 4, 5, 12, 13);
    *reinterpret_cast<FloatPairRow*>(out + stride) =
        __builtin_shufflevector(low01, low23, 2, 3, 10, 11, 6, 7, 14, 15);
    *reinterpret_cast<FloatPairRow*>(out + 2 * stride) =
        __builtin_shufflevector(high01, high23, 0, 1, 8, 9, 4, 5, 12, 13);
    *reinterpret_cast<FloatPairRow*>(out + 3 * stride) =
        __builtin_shufflevector(high01, high23, 2, 3, 10, 11, 6, 7, 14, 15);
}
// Values j, j + 1 of rows[0 .. 3].
[[gnu::always_inline]] inline void transpose_pair_tile(const double* const* rows, std::size_t j,
                                                       double* out, std::size_t stride) noexcept {
    DoublePair r[2];
    for (std::size_t i = 0; i < 2; ++i) {
        r[i] = __builtin_shufflevector(*reinterpret_cast<const DoubleRow*>(rows[i] + j),
                                       *reinterpret_cast<const DoubleRow*>(rows[i + 2] + j), 0, 1,
                                       2, 3);
    }
    *reinterpret_cast<DoublePairRow*>(out) = __builtin_shufflevector(r[0], r[1], 0, 4, 2, 6);
    *reinterpret_cast<DoublePairRow*>(out + stride) =
        __builtin_shufflevector(r[0], r[1], 1, 5, 3, 7);
}

// The copy of a loaded block into its values: `tile` dimensions of every lane at a time,
// transposed in registers, then the last d mod tile dimensions one value at a time, after which
// the block counts as copied.
template <Scalar S, std::size_t Bytes>
class BlockCopy {
  public:
    static constexpr std::size_t width = FrameBlock<S>::width;
    static constexpr std::size_t tile = 16 / sizeof(S);

    // The values of `block`, dimension-major, which the kernels read once it is copied.
    static const S* values(FrameBlock<S>& block) noexcept { return block.values(); }

    explicit BlockCopy(FrameBlock<S>& block) noexcept : block_(block), values_(block.values()) {
        const std::uint64_t d = block.dimensions();
        for (std::size_t b = 0; b < width; ++b) {
            rows_[b] = block.frames() + std::min(b, block.count() - 1) * d;
        }
    }

    // Dimensions j .. j + tile − 1 of every lane into `out`, dimension-major like the values.
    [[gnu::always_inline]] void transpose(std::size_t j, S* out) const noexcept {
        for (std::size_t b = 0; b < width; b += Bytes / sizeof(S)) {
            if constexpr (Bytes == 16) {
                transpose_tile(rows_ + b, j, out + b, width);
            } else {
                transpose_pair_tile(rows_ + b, j, out + b, width);
            }
        }
    }
    // The tile of dimensions from j that `transpose` gave, into the values.
    [[gnu::always_inline]] void store(std::size_t j, const S* transposed) const noexcept {
        typedef S Vector __attribute__((vector_size(Bytes), may_alias));
#pragma GCC unroll 16
        for (std::size_t i = 0; i < tile * width * sizeof(S) / Bytes; ++i) {
            reinterpret_cast<Vector*>(values_ + j * width)[i] =
                reinterpret_cast<const Vector*>(transposed)[i];
        }
    }
    // The last dimensions, first to end − 1, which completes the copy.
    void copy_rest(std::size_t first, std::size_t end) const noexcept {
        for (std::size_t j = first; j < end; ++j) {
            for (std::size_t b = 0; b < width; ++b) values_[j * width + b] = rows_[b][j];
        }
        block_.mark_copied();
    }
    void copy_all(std::uint64_t d) const noexcept {
        std::size_t j = 0;
        for (; j + tile <= d; j += tile) transpose(j, values_ + j * width);
        copy_rest(j, d);
    }

  private:
    FrameBlock<S>& block_;
    const S* rows_[width];
    S* values_;
};

}  // namespace tarvek::block_copy
