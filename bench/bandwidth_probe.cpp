// Single-thread read bandwidth: four independent AVX2 sums streaming through a buffer, the fastest a
// scan of the same bytes could go. Built and loaded by exact.py.
#include <immintrin.h>

#include <chrono>
#include <cstddef>

extern "C" double read_gb_per_s(const float* data, size_t count, int passes) {
    double best = 0.0;
    volatile float sink = 0.0f;
    for (int p = 0; p < passes; ++p) {
        const auto start = std::chrono::steady_clock::now();
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        for (size_t i = 0; i + 32 <= count; i += 32) {
            a0 = _mm256_add_ps(a0, _mm256_loadu_ps(data + i));
            a1 = _mm256_add_ps(a1, _mm256_loadu_ps(data + i + 8));
            a2 = _mm256_add_ps(a2, _mm256_loadu_ps(data + i + 16));
            a3 = _mm256_add_ps(a3, _mm256_loadu_ps(data + i + 24));
        }
        const __m256 s = _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3));
        sink = sink + _mm256_cvtss_f32(s);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double rate = static_cast<double>(count) * sizeof(float) / secs / 1e9;
        if (rate > best) best = rate;
    }
    return best;
}
