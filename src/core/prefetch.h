// Software prefetch of a whole block, line by line.
#pragma once

#include <cstddef>

namespace vek {

// __builtin_prefetch locality: 3 is _MM_HINT_T0 (all cache levels), 2 is _MM_HINT_T1 (from level 2 on).
constexpr int kToL1 = 3;
constexpr int kToL2 = 2;

// Requests the cache lines of [p + from, p + bytes); `from` skips lines already asked for.
template <int Locality>
inline void prefetch_lines(const void* p, size_t bytes, size_t from = 0) {
    const char* c = static_cast<const char*>(p);
    for (size_t off = from; off < bytes; off += 64) __builtin_prefetch(c + off, 0, Locality);
}

}  // namespace vek
