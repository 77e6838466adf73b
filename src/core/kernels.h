// Distance kernels. Every sum of products or squares in the index follows one order, so that a pair of
// vectors has exactly one distance wherever it is computed:
//   eight FMA lanes over full blocks of 8; lanes reduced as ((l0+l4)+(l1+l5)) + ((l2+l6)+(l3+l7));
//   then, if 4 or more remain, four rounded products added one at a time; then one FMA per leftover.
// The build uses -ffp-contract=off, so every fused operation below is one we wrote on purpose.
#pragma once

// GCC 12 reports the _mm512_undefined_* operands inside its own AVX-512 headers as possibly
// uninitialised wherever they are inlined (its bug 105593); the warning belongs to those header lines.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include <cmath>
#include <cstddef>

namespace vek {

// Reads the stored side of a sum: float32 values as they are (core/stored_rows.h has the compressed
// storages' readers). block(row, i) is values i .. i + 7, at(row, i) value i.
struct Float32Rows {
    using Elem = float;
    __m256 block(const float* row, size_t i) const { return _mm256_loadu_ps(row + i); }
    float at(const float* row, size_t i) const { return row[i]; }
};

}  // namespace vek

namespace vek::kernels {

inline float reduce8(__m256 acc) {
    const __m128 s = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));  // s_j = l_j + l_j+4
    const __m128 pairs = _mm_add_ps(s, _mm_shuffle_ps(s, s, _MM_SHUFFLE(2, 3, 0, 1)));       // s0+s1, ., s2+s3, .
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
}

// reduce8 of eight accumulators at once, lane j of the result from acc[j]: the same additions with the
// same operands in the same order (l_j + l_j+4, then s0 + s1 and s2 + s3, then their sum), so each lane
// is bit-identical to reduce8(acc[j]), NaN payloads included; shuffles stand in for the extractions.
inline __m256 reduce8x8(const __m256* acc) {
    __m256 s[4];  // s[j]: the s of acc[j] in the low half, of acc[j + 4] in the high half
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j)
        s[j] = _mm256_add_ps(_mm256_permute2f128_ps(acc[j], acc[j + 4], 0x20),
                             _mm256_permute2f128_ps(acc[j], acc[j + 4], 0x31));
    // Per half: s0 + s1, s2 + s3 of the first operand's two accumulators, then of the second's.
    auto pair_sums = [](__m256 a, __m256 b) {
        return _mm256_add_ps(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)),
                             _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    };
    const __m256 p01 = pair_sums(s[0], s[1]), p23 = pair_sums(s[2], s[3]);
    return pair_sums(p01, p23);
}

// The scalar tail of a sum, from index i on, folded into r (the reduced lanes); b read through `rows`.
template <bool Diff, class Rows = Float32Rows>
inline float finish(const float* a, const typename Rows::Elem* b, size_t i, size_t n, float r, const Rows& rows = {}) {
    auto term = [&](size_t j, float& x, float& y) {
        x = a[j];
        y = rows.at(b, j);
        if constexpr (Diff) {
            x = x - y;
            y = x;
        }
    };
    if (n - i >= 4) {
        float p[4];
        for (int k = 0; k < 4; ++k) {
            float x, y;
            term(i + k, x, y);
            p[k] = x * y;
        }
        r = r + p[0];
        r = r + p[1];
        r = r + p[2];
        r = r + p[3];
        i += 4;
    }
    for (; i < n; ++i) {
        float x, y;
        term(i, x, y);
        r = std::fmaf(x, y, r);
    }
    return r;
}

// One block's step of a sum: acc + (x - y)^2 when Diff, acc + x * y otherwise, one FMA per lane.
template <bool Diff>
inline __m256 add_term(__m256 x, __m256 y, __m256 acc) {
    if constexpr (Diff) {
        const __m256 t = _mm256_sub_ps(x, y);
        return _mm256_fmadd_ps(t, t, acc);
    } else {
        return _mm256_fmadd_ps(x, y, acc);
    }
}

// out[k] = sum over i of a[i] * b[k][i], or of (a[i] - b[k][i])^2 when Diff, for K vectors at once
// (stored rows, decoded by `rows`). Each sum keeps its own lanes and the order above, so it is
// bit-identical to a sum computed alone; interleaving K independent FMA chains only hides their latency.
template <bool Diff, int K, class Rows = Float32Rows>
inline void accumulate(const float* a, const typename Rows::Elem* const* b, size_t n, float* out,
                       const Rows& rows = {}) {
    // The k loops are unrolled so that the K accumulators live in registers, not on the stack.
    __m256 acc[K];
#pragma GCC unroll 8
    for (int k = 0; k < K; ++k) acc[k] = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 x = _mm256_loadu_ps(a + i);
#pragma GCC unroll 8
        for (int k = 0; k < K; ++k) {
            acc[k] = add_term<Diff>(x, rows.block(b[k], i), acc[k]);
        }
    }
#pragma GCC unroll 8
    for (int k = 0; k < K; ++k) out[k] = finish<Diff>(a, b[k], i, n, reduce8(acc[k]), rows);
}

// sums[q][v] for Q queries against N vectors, each exactly as accumulate computes it: every pair keeps
// its own lanes and order, and each loaded block of a vector serves all Q queries.
template <bool Diff, int Q, int N, class Rows = Float32Rows>
inline void accumulate_tile(const float* const* a, const typename Rows::Elem* const* b, size_t n, float (*sums)[N],
                            const Rows& rows = {}) {
    __m256 acc[Q][N];
#pragma GCC unroll 8
    for (int q = 0; q < Q; ++q)
#pragma GCC unroll 8
        for (int v = 0; v < N; ++v) acc[q][v] = _mm256_setzero_ps();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 y[N];
#pragma GCC unroll 8
        for (int v = 0; v < N; ++v) y[v] = rows.block(b[v], i);
#pragma GCC unroll 8
        for (int q = 0; q < Q; ++q) {
            __m256 x = _mm256_loadu_ps(a[q] + i);
            // Held in a register: folded into each of the N operations instead, the load would be
            // issued N times, and the loads, not the arithmetic, would set the pace.
            if constexpr (N > 1) asm("" : "+x"(x));
#pragma GCC unroll 8
            for (int v = 0; v < N; ++v) acc[q][v] = add_term<Diff>(x, y[v], acc[q][v]);
        }
    }
    // Eight accumulators at a time through reduce8x8, the rest one by one; the tail, if any, after.
    constexpr int kPairs = Q * N, kBlocked = kPairs / 8 * 8;
    float* const flat = &sums[0][0];
    const __m256* const lanes = &acc[0][0];
#pragma GCC unroll 4
    for (int l = 0; l < kBlocked; l += 8) _mm256_storeu_ps(flat + l, reduce8x8(lanes + l));
#pragma GCC unroll 8
    for (int l = kBlocked; l < kPairs; ++l) flat[l] = reduce8(lanes[l]);
    if (i < n)
        for (int q = 0; q < Q; ++q)
            for (int v = 0; v < N; ++v) sums[q][v] = finish<Diff>(a[q], b[v], i, n, sums[q][v], rows);
}

template <bool Diff, class Rows = Float32Rows>
inline float accumulate_one(const float* a, const typename Rows::Elem* b, size_t n, const Rows& rows = {}) {
    float r;
    accumulate<Diff, 1>(a, &b, n, &r, rows);
    return r;
}

inline float dot(const float* a, const float* b, size_t n) { return accumulate_one<false>(a, b, n); }
inline float l2sq(const float* a, const float* b, size_t n) { return accumulate_one<true>(a, b, n); }

// Cosine distance from a dot product and the two squared norms.
inline float cosine(float d, float x, float g) {
    const float den = std::sqrt(x) * std::sqrt(g);
    if (den < 1e-8f) return 1.0f;
    return 1.0f - d / den;
}

// Geodesic distance in the unit Poincare ball from the squared difference and the two squared norms,
// in two steps: the argument t of arcosh, then arcosh(t). The clamps keep points on or outside the
// sphere finite and make the distance of a point to itself arcosh(1.000001), never 0.
inline float poincare_arg(float o, float x, float g) {
    if (x > 0.999999f) x = 0.999999f;
    if (g > 0.999999f) g = 0.999999f;
    float den = (1.0f - x) * (1.0f - g);
    if (den < 1e-6f) den = 1e-6f;
    float t = (o + o) / den + 1.0f;
    if (t < 1.000001f) t = 1.000001f;
    return t;
}
// Non-decreasing in t over every value poincare_arg returns (checked over all of them by the native
// tests), which lets a scan rank by t and take the logarithm only where a node can be kept.
inline float poincare_of_arg(float t) { return std::log(t + std::sqrt(std::fmaf(t, t, -1.0f))); }
inline float poincare(float o, float x, float g) { return poincare_of_arg(poincare_arg(o, x, g)); }

// cosine, poincare_arg and ball_key for eight pairs at once, each lane bit-identical to the scalar
// function: the same operations in the same order, and the clamps written so that a NaN passes them
// as it does there (min_ps and max_ps return their second operand when either is NaN).
inline __m256 cosine8(__m256 d, __m256 x, __m256 g) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 den = _mm256_mul_ps(_mm256_sqrt_ps(x), _mm256_sqrt_ps(g));
    const __m256 value = _mm256_sub_ps(one, _mm256_div_ps(d, den));
    return _mm256_blendv_ps(value, one, _mm256_cmp_ps(den, _mm256_set1_ps(1e-8f), _CMP_LT_OQ));
}
inline __m256 poincare_arg8(__m256 o, __m256 x, __m256 g) {
    const __m256 one = _mm256_set1_ps(1.0f), edge = _mm256_set1_ps(0.999999f);
    x = _mm256_min_ps(edge, x);  // edge < x ? edge : x
    g = _mm256_min_ps(edge, g);
    __m256 den = _mm256_mul_ps(_mm256_sub_ps(one, x), _mm256_sub_ps(one, g));
    den = _mm256_max_ps(_mm256_set1_ps(1e-6f), den);  // 1e-6 > den ? 1e-6 : den
    const __m256 t = _mm256_add_ps(_mm256_div_ps(_mm256_add_ps(o, o), den), one);
    return _mm256_max_ps(_mm256_set1_ps(1.000001f), t);
}
inline __m256 ball_key8(__m256 sum, __m256 query_term, __m256 node_term) {
    return _mm256_mul_ps(sum, _mm256_mul_ps(query_term, node_term));
}

// 1 - |x|^2 of float32 values, summed in double: the factor a point of the ball contributes to every
// distance to it, which float32 would lose near the boundary.
inline double ball_factor(const float* x, size_t n) {
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * static_cast<double>(x[i]);
    return 1.0 - sum;
}

// The PoincareBall key of a pair, |u - v|^2 / ((1 - |u|^2)(1 - |v|^2)), from the squared difference and
// the two points' stored 1 / (1 - |x|^2): the terms first, so that the key is symmetric in the pair.
inline float ball_key(float sum, float query_term, float node_term) { return sum * (query_term * node_term); }

// |u - v|^2 of two points each held as float32 values and their float32 remainders (x = h + l to
// about 48 bits), in double, summed in coordinate order: near the boundary of the ball two points can
// lie closer together than float32 resolves, and there only the remainders keep their difference.
// A null `ul` stands for remainders of zero (a query given in float32).
inline float split_l2sq(const float* uh, const float* ul, const float* vh, const float* vl, size_t n) {
    double s = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double own = ul != nullptr ? static_cast<double>(ul[i]) : 0.0;
        const double d = (static_cast<double>(uh[i]) - static_cast<double>(vh[i])) + (own - static_cast<double>(vl[i]));
        s += d * d;
    }
    return static_cast<float>(s);
}

// Geodesic distance in the unit ball from the argument a = |u - v|^2 / ((1 - |u|^2)(1 - |v|^2)):
// arcosh(1 + 2a) = log1p(2a + sqrt(2a (2a + 2))), in double so that small distances keep their digits.
inline float ball_distance(float a) {
    const double x = 2.0 * static_cast<double>(a);
    return static_cast<float>(std::log1p(x + std::sqrt(x * (x + 2.0))));
}

}  // namespace vek::kernels
