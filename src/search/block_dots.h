// Dot products of a block of rows against a packed set of rows, as a matrix product: the set is laid
// out in panels of W rows, coordinate by coordinate, and a kernel keeps a tile of R rows by W of the set
// in registers, so every coordinate loaded serves R FMAs per register (R = 6 on the sixteen 256-bit
// registers, W = 16; R = 12 on the thirty-two 512-bit ones, W = 32, a sixth faster there than 6). For
// ranking candidates only (the neighbour descent's large blocks), where the scans' tiles, which keep
// every sum bit-identical to dist_to_nodes, spend most of their time on the sums' reductions. Each
// product is one FMA chain over the coordinates in order, whatever the panel's width: the 256- and
// 512-bit kernels give the same values.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/wide_kernels.h"

namespace vek {

class PackedRows {
public:
    // Packs count rows, row(j) the j-th (dims floats), into panels; the panels' last rows are zeros.
    template <class Row>
    void pack(size_t count, size_t dims, const Row& row) {
        width_ = kernels::wide_tiles() ? 32 : 16;
        count_ = count, dims_ = dims;
        panels_ = (count + width_ - 1) / width_;
        // Sixteen spare floats, so that the panels can start on a 64-byte line.
        store_.resize(panels_ * width_ * dims + 16);
        data_ = store_.data() + (64 - reinterpret_cast<uintptr_t>(store_.data()) % 64) % 64 / sizeof(float);
        const size_t whole = dims / 8 * 8;
        const float* src[8];
        for (size_t p = 0; p < panels_; ++p) {
            float* panel = data_ + p * width_ * dims;
            for (size_t r0 = 0; r0 < width_; r0 += 8) {
                for (size_t r = 0; r < 8; ++r) {
                    const size_t j = p * width_ + r0 + r;
                    src[r] = j < count ? row(j) : nullptr;
                }
                // Eight rows by eight coordinates at a time, turned in registers; missing rows are zeros.
                for (size_t t = 0; t < whole; t += 8) transpose8(src, t, panel + t * width_ + r0, width_);
                for (size_t t = whole; t < dims; ++t)
                    for (size_t r = 0; r < 8; ++r) panel[t * width_ + r0 + r] = src[r] ? src[r][t] : 0.0f;
            }
        }
    }

    size_t count() const { return count_; }
    // Values a row of products holds: count rounded up to whole panels.
    size_t padded() const { return panels_ * width_; }

    // out[q * stride + j] = queries[q] . row j, for q < m and j < padded() (zero rows beyond count).
    void dots(const float* const* queries, size_t m, float* out, size_t stride) const {
        if (width_ == 32)
            rows_from<true>(queries, 0, m, out, stride);
        else
            rows_from<false>(queries, 0, m, out, stride);
    }

private:
    static constexpr int kRows = 6, kWideRows = 12;  // the tiles' heights, 256- and 512-bit

    // out + i * stride gets (src[0][t + i], ..., src[7][t + i]) for i < 8; a null row reads as zeros.
    static void transpose8(const float* const* src, size_t t, float* out, size_t stride) {
        __m256 r[8];
        for (int i = 0; i < 8; ++i) r[i] = src[i] ? _mm256_loadu_ps(src[i] + t) : _mm256_setzero_ps();
        __m256 u[8], v[8];
        for (int i = 0; i < 8; i += 2) {
            u[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
            u[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
        }
        for (int i = 0; i < 8; i += 4) {
            v[i] = _mm256_shuffle_ps(u[i], u[i + 2], _MM_SHUFFLE(1, 0, 1, 0));
            v[i + 1] = _mm256_shuffle_ps(u[i], u[i + 2], _MM_SHUFFLE(3, 2, 3, 2));
            v[i + 2] = _mm256_shuffle_ps(u[i + 1], u[i + 3], _MM_SHUFFLE(1, 0, 1, 0));
            v[i + 3] = _mm256_shuffle_ps(u[i + 1], u[i + 3], _MM_SHUFFLE(3, 2, 3, 2));
        }
        for (int i = 0; i < 4; ++i) {
            _mm256_storeu_ps(out + i * stride, _mm256_permute2f128_ps(v[i], v[i + 4], 0x20));
            _mm256_storeu_ps(out + (i + 4) * stride, _mm256_permute2f128_ps(v[i], v[i + 4], 0x31));
        }
    }

    template <int R>
    static void tile(const float* const* a, size_t dims, const float* panel, float* out, size_t stride) {
        __m256 acc[R][2];
#pragma GCC unroll 6
        for (int q = 0; q < R; ++q) acc[q][0] = acc[q][1] = _mm256_setzero_ps();
        for (size_t t = 0; t < dims; ++t) {
            const __m256 b0 = _mm256_load_ps(panel + t * 16), b1 = _mm256_load_ps(panel + t * 16 + 8);
#pragma GCC unroll 6
            for (int q = 0; q < R; ++q) {
                const __m256 x = _mm256_broadcast_ss(a[q] + t);
                acc[q][0] = _mm256_fmadd_ps(x, b0, acc[q][0]);
                acc[q][1] = _mm256_fmadd_ps(x, b1, acc[q][1]);
            }
        }
#pragma GCC unroll 6
        for (int q = 0; q < R; ++q) {
            _mm256_storeu_ps(out + q * stride, acc[q][0]);
            _mm256_storeu_ps(out + q * stride + 8, acc[q][1]);
        }
    }

    template <int R>
    VEK_WIDE static void tile_wide(const float* const* a, size_t dims, const float* panel, float* out,
                                   size_t stride) {
        __m512 acc[R][2];
#pragma GCC unroll 12
        for (int q = 0; q < R; ++q) acc[q][0] = acc[q][1] = _mm512_setzero_ps();
        for (size_t t = 0; t < dims; ++t) {
            const __m512 b0 = _mm512_load_ps(panel + t * 32), b1 = _mm512_load_ps(panel + t * 32 + 16);
#pragma GCC unroll 12
            for (int q = 0; q < R; ++q) {
                const __m512 x = _mm512_set1_ps(a[q][t]);
                acc[q][0] = _mm512_fmadd_ps(x, b0, acc[q][0]);
                acc[q][1] = _mm512_fmadd_ps(x, b1, acc[q][1]);
            }
        }
#pragma GCC unroll 12
        for (int q = 0; q < R; ++q) {
            _mm512_storeu_ps(out + q * stride, acc[q][0]);
            _mm512_storeu_ps(out + q * stride + 16, acc[q][1]);
        }
    }

    // R rows at a time against every panel, then the rest of the rows in a lower tile.
    template <bool Wide, int R = (Wide ? kWideRows : kRows)>
    void rows_from(const float* const* queries, size_t q, size_t m, float* out, size_t stride) const {
        if constexpr (R > 0) {
            if (m - q < static_cast<size_t>(R)) return rows_from<Wide, R - 1>(queries, q, m, out, stride);
            for (; q + R <= m; q += R)
                for (size_t p = 0; p < panels_; ++p) {
                    const float* panel = data_ + p * width_ * dims_;
                    float* o = out + q * stride + p * width_;
                    if constexpr (Wide)
                        tile_wide<R>(queries + q, dims_, panel, o, stride);
                    else
                        tile<R>(queries + q, dims_, panel, o, stride);
                }
            if (q < m) rows_from<Wide, R - 1>(queries, q, m, out, stride);
        }
    }

    size_t width_ = 16, count_ = 0, dims_ = 0, panels_ = 0;
    std::vector<float> store_;
    float* data_ = nullptr;
};

}  // namespace vek
