// The batch tile kernel on 512-bit registers, for processors that have them (chosen at run time; the
// rest of the engine stays on AVX2). Each register holds two pairs' eight lanes side by side, so every
// sum keeps exactly the lanes, order and fused operations of kernels::accumulate: the results are
// bit-identical, and only twice as many pairs advance per instruction.
#pragma once

#include <atomic>
#include <cstddef>

#include "core/kernels.h"  // and through it the intrinsics

#define VEK_WIDE __attribute__((target("avx2,fma,avx512f,avx512dq")))

namespace vek::kernels {

// Whether this processor (and the operating system's saved register state) runs the wide kernel.
// Kept in an atomic rather than a guarded static: threads that ask first at the same time each detect
// and store the same answer, and the sanitizers see no unordered access.
inline bool wide_supported() {
    static std::atomic<int> known{-1};
    int supported = known.load(std::memory_order_relaxed);
    if (supported < 0) {
        __builtin_cpu_init();
        supported = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
        known.store(supported, std::memory_order_relaxed);
    }
    return supported != 0;
}

// Set to false, the batch scans go back to the 256-bit tiles (tests compare the two); true has no
// effect on a processor without AVX-512.
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

// add_term on both halves at once: the same operations lane for lane.
template <bool Diff>
VEK_WIDE inline __m512 add_term(__m512 x, __m512 y, __m512 acc) {
    if constexpr (Diff) {
        const __m512 t = _mm512_sub_ps(x, y);
        return _mm512_fmadd_ps(t, t, acc);
    } else {
        return _mm512_fmadd_ps(x, y, acc);
    }
}

// reduce8x8's pair_sums on each 128-bit chunk.
VEK_WIDE inline __m512 pair_sums(__m512 a, __m512 b) {
    return _mm512_add_ps(_mm512_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                         _mm512_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
}

// reduce8 of sixteen pairs at once, from eight registers of two pairs each: regs[2e] and regs[2e + 1]
// hold the pairs that go to lanes 4e, 4e + 2 and 4e + 1, 4e + 3 of the result (each register its low
// half's pair first). The additions of reduce8x8 on each half, so every lane is bit-identical to
// reduce8 of its pair, and a permutation at the end puts the lanes in that order.
VEK_WIDE inline __m512 reduce16(const __m512* regs) {
    __m512 s[4];  // s[e]: per 128-bit chunk c, l_j + l_j+4 of regs[2e + c / 2]'s pair in half c % 2
#pragma GCC unroll 4
    for (int e = 0; e < 4; ++e)
        s[e] = _mm512_add_ps(_mm512_shuffle_f32x4(regs[2 * e], regs[2 * e + 1], 0x88),
                             _mm512_shuffle_f32x4(regs[2 * e], regs[2 * e + 1], 0xDD));
    // Lane 4c + e: the sum of s[e]'s chunk c, which is the pair of lane 4e + {0, 2, 1, 3}[c].
    const __m512 r = pair_sums(pair_sums(s[0], s[1]), pair_sums(s[2], s[3]));
    const __m512i order = _mm512_setr_epi32(0, 8, 4, 12, 1, 9, 5, 13, 2, 10, 6, 14, 3, 11, 7, 15);
    return _mm512_permutexvar_ps(order, r);
}

// sums[h][q][w] for Q queries (packed by pack_query_pairs; their rows in `a` for the tail) against the N
// stored rows b (read through `rows`), node 2h + w: as accumulate_tile computes them. A register holds
// rows 2p and 2p + 1 against one node, its vector's decoded block broadcast into both halves.
template <bool Diff, int Q, int N, class Rows = Float32Rows>
VEK_WIDE __attribute__((always_inline)) inline void accumulate_wide_tile(const float* packed, const float* const* a,
                                                                      const typename Rows::Elem* const* b, size_t n,
                                                                      float (*sums)[Q][2], const Rows& rows = {}) {
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
        for (int v = 0; v < N; ++v) y[v] = _mm512_broadcast_f32x8(rows.block(b[v], blk * 8));
        const float* rows = packed + blk * Q * 8;
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) {
            __m512 x = _mm512_loadu_ps(rows + p * 16);
            if constexpr (N > 1) asm("" : "+v"(x));  // one load for the N operations, as in accumulate_tile
#pragma GCC unroll 8
            for (int v = 0; v < N; ++v) acc[p][v] = add_term<Diff>(x, y[v], acc[p][v]);
        }
    }
    // The pairs of sums come in units of four: rows 2p and 2p + 1 against nodes 2h and 2h + 1, that is
    // the registers acc[p][2h] and acc[p][2h + 1], at sums[h][2p]. Four units at a time through reduce16.
    constexpr int kUnits = P * N / 2;
    float* const flat = &sums[0][0][0];
#pragma GCC unroll 4
    for (int k = 0; k < kUnits; k += 4) {
        __m512 regs[8];
#pragma GCC unroll 4
        for (int e = 0; e < 4; ++e) {
            const int u = k + e;  // unit u: rows 2 (u % P) and up, nodes 2 (u / P) and up
            regs[2 * e] = u < kUnits ? acc[u % P][2 * (u / P)] : _mm512_setzero_ps();
            regs[2 * e + 1] = u < kUnits ? acc[u % P][2 * (u / P) + 1] : _mm512_setzero_ps();
        }
        const __m512 r = reduce16(regs);
        if (k + 4 <= kUnits)
            _mm512_storeu_ps(flat + 4 * k, r);
        else
            _mm512_mask_storeu_ps(flat + 4 * k, static_cast<__mmask16>((1u << (4 * (kUnits - k))) - 1), r);
    }
    if (blocks * 8 < n)
        for (int q = 0; q < Q; ++q)
            for (int v = 0; v < N; ++v)
                sums[v / 2][q][v % 2] = finish<Diff>(a[q], b[v], blocks * 8, n, sums[v / 2][q][v % 2], rows);
}

}  // namespace vek::kernels
