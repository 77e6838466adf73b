// Graph k-NN search: greedy descent, one layer-0 beam search, then the filter on its ordered result.
#include <algorithm>
#include <stdexcept>

#include "core/hyperbolic_index.h"

namespace vek {

std::vector<NodeDist> HyperbolicIndex::graph_search(const float* query, float query_term, int32_t k, int32_t ef,
                                                    const Filter& filter) const {
    if (size() == 0 || ep_id < 0) return {};
    if (k < 0) throw std::invalid_argument("negative k");

    const int32_t cur = descend(query, query_term, 0);
    FarthestFirst w = search_layer(query, query_term, cur, std::max(ef, k), 0);
    std::vector<NodeDist> ordered = drain(w);
    std::reverse(ordered.begin(), ordered.end());

    std::vector<NodeDist> out;
    out.reserve(static_cast<size_t>(k));
    for (const NodeDist& e : ordered) {
        if (!filter.passes(masks[e.id], stored_norms[e.id], e.dist)) continue;
        out.push_back(e);
        if (static_cast<int64_t>(out.size()) >= k) break;
    }
    return out;
}

}  // namespace vek
