// The batch tile kernel on 512-bit registers, for processors that have them (chosen at run time; the
// rest of the engine stays on AVX2). Each register holds two pairs' eight lanes side by side, so every
// sum keeps exactly the lanes, order and fused operations of kernels::accumulate: the results are
// bit-identical, and only twice as many pairs advance per instruction.
#pragma once

#include <immintrin.h>

#include <atomic>
#include <cstddef>

#include "core/kernels.h"

#define VEK_WIDE __attribute__((target("avx2,fma,avx512f,avx512dq")))

namespace vek::kernels {

// Whether this processor (and the operating system's saved register state) runs the wide kernel.
inline bool wide_supported() {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    }();
    return supported;
}

// Off switches the batch scans back to the 256-bit tiles on any processor (for tests that compare the
// two); on where the processor does not support them has no effect.
inline std::atomic<bool>& wide_wanted() {
    static std::atomic<bool> wanted{true};
    return wanted;
}
inline bool wide_tiles() { return wide_wanted().load(std::memory_order_relaxed) && wide_supported(); }

// Queries in pairs for accumulate_wide_tile: for each block of 8 values, the blocks of rows 2p and
// 2p + 1 side by side, pair after pair. `out` holds rows * (n / 8) * 8 floats; rows is even.
inline void pack_query_pairs(const float* const* a, int rows, size_t n, float* out) {
    const size_t blocks = n / 8;
    for (size_t blk = 0; blk < blocks; ++blk)
        for (int q = 0; q < rows; ++q)
            for (int l = 0; l < 8; ++l) *out++ = a[q][blk * 8 + l];
}

// sums[h][q][w] for Q queries (packed by pack_query_pairs; their rows in `a` for the tail) against the N
// vectors b, node 2h + w: as accumulate_tile computes them. A register holds rows 2p and 2p + 1 against
// one node, its vector's block broadcast into both halves.
template <bool Diff, int Q, int N>
VEK_WIDE inline void accumulate_wide_tile(const float* packed, const float* const* a, const float* const* b,
                                          size_t n, float (*sums)[Q][2]) {
    static_assert(Q % 2 == 0 && N % 2 == 0, "rows and nodes come in pairs");
    constexpr int P = Q / 2;
    __m512 acc[P][N];
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
        for (int v = 0; v < N; ++v) acc[p][v] = _mm512_setzero_ps();
    const size_t blocks = n / 8;
    for (size_t blk = 0; blk < blocks; ++blk) {
        __m512 y[N];
#pragma GCC unroll 8
        for (int v = 0; v < N; ++v) y[v] = _mm512_broadcast_f32x8(_mm256_loadu_ps(b[v] + blk * 8));
        const float* rows = packed + blk * Q * 8;
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) {
            __m512 x = _mm512_loadu_ps(rows + p * 16);
            if constexpr (N > 1) asm("" : "+v"(x));  // one load for the N operations, as in accumulate_tile
#pragma GCC unroll 8
            for (int v = 0; v < N; ++v) {
                if constexpr (Diff) {
                    const __m512 t = _mm512_sub_ps(x, y[v]);
                    acc[p][v] = _mm512_fmadd_ps(t, t, acc[p][v]);
                } else {
                    acc[p][v] = _mm512_fmadd_ps(x, y[v], acc[p][v]);
                }
            }
        }
    }
    // Each half back into its pair's place of sums, then the reductions of accumulate_tile.
    constexpr int kPairs = Q * N, kBlocked = kPairs / 8 * 8;
    __m256 lanes[kPairs];
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p)
#pragma GCC unroll 8
        for (int v = 0; v < N; ++v) {
            const int at = ((v / 2) * Q + 2 * p) * 2 + v % 2;
            lanes[at] = _mm512_castps512_ps256(acc[p][v]);
            lanes[at + 2] = _mm512_extractf32x8_ps(acc[p][v], 1);
        }
    float* const flat = &sums[0][0][0];
#pragma GCC unroll 4
    for (int l = 0; l < kBlocked; l += 8) _mm256_storeu_ps(flat + l, reduce8x8(lanes + l));
#pragma GCC unroll 8
    for (int l = kBlocked; l < kPairs; ++l) flat[l] = reduce8(lanes[l]);
    if (blocks * 8 < n)
        for (int q = 0; q < Q; ++q)
            for (int v = 0; v < N; ++v)
                sums[v / 2][q][v % 2] = finish<Diff>(a[q], b[v], blocks * 8, n, sums[v / 2][q][v % 2]);
}

}  // namespace vek::kernels
