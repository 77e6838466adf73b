// Graph k-NN search: greedy descent, one layer-0 beam search, then post-filters on its ordered result.
#include <algorithm>
#include <stdexcept>

#include "core/hyperbolic_index.h"

namespace vek {

std::vector<int32_t> HyperbolicIndex::custom_hnsw_search(const float* query, int32_t k, uint64_t filter_mask,
                                                         int32_t ef_search, float max_radius,
                                                         float min_norm) const {
    if (size() == 0 || ep_id < 0) return {};
    if (k < 0) throw std::length_error("vector::reserve");

    const float query_norm = simd_dot(query, query);
    const int32_t ef = std::max(ef_search, k);
    const float norm_bound = min_norm >= 0.0f ? min_norm * min_norm : -1.0f;

    const int32_t cur = descend(query, query_norm, 0);
    FarthestFirst w = search_layer(query, query_norm, cur, ef, 0);
    std::vector<NodeDist> ordered = drain(w);
    std::reverse(ordered.begin(), ordered.end());

    std::vector<int32_t> out;
    out.reserve(static_cast<size_t>(k));
    for (const NodeDist& e : ordered) {
        if (max_radius >= 0.0f && e.dist > max_radius) continue;
        if (filter_mask != 0 && (masks[e.id] & filter_mask) != filter_mask) continue;
        if (norm_bound >= 0.0f && stored_norms[e.id] < norm_bound) continue;
        out.push_back(e.id);
        if (static_cast<int64_t>(out.size()) >= k) break;
    }
    return out;
}

}  // namespace vek
