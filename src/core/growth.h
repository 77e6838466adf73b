// Capacity growth shared by the per-node arrays and the link table.
#pragma once

#include <algorithm>
#include <vector>

namespace vek {

// Grows capacity geometrically so that `extra` more elements fit without reallocation.
template <class T, class Alloc>
void reserve_for(std::vector<T, Alloc>& v, size_t extra) {
    const size_t need = v.size() + extra;
    if (need > v.capacity()) v.reserve(std::max(need, v.capacity() * 2));
}

}  // namespace vek
