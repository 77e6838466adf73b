#pragma once

#include <xmmintrin.h>

namespace vek {

// Pulls a vector towards the second-level cache ahead of its distance computation.
inline void prefetch_vector(const float* p) { _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T1); }

// Under the Poincare metric, nodes this close to the boundary are never walked into.
constexpr float kBoundaryNormSq = 0.995f;

}  // namespace vek
