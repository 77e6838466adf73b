// Graph k-NN search: greedy descent, one layer-0 beam search, then the filter on its ordered result.
#include <algorithm>
#include <stdexcept>

#include "search/walk.h"

namespace vek {

std::vector<NodeDist> HyperbolicIndex::graph_search(const float* query, float query_term, int32_t k, int32_t ef,
                                                    const Filter& filter) const {
    std::vector<NodeDist> out;
    graph_search_batch(query, &query_term, 1, k, ef, filter, &out);
    return out;
}

void HyperbolicIndex::graph_search_batch(const float* queries, const float* query_terms, size_t m, int32_t k,
                                         int32_t ef, const Filter& filter, std::vector<NodeDist>* results) const {
    if (size() == 0 || ep_id < 0) {
        std::fill_n(results, m, std::vector<NodeDist>{});
        return;
    }
    if (k < 0) throw std::invalid_argument("negative k");
    in_lane_blocks(queries, query_terms, m, [&](size_t first, size_t count, const int32_t* entries) {
        FarthestFirst beams[kWalkLanes];
        search_layer_lanes(queries + first * dims(), query_terms + first, entries, count, std::max(ef, k), 0, beams);
        for (size_t i = 0; i < count; ++i) results[first + i] = nearest_passing(beams[i], k, filter);
    });
}

std::vector<NodeDist> HyperbolicIndex::nearest_passing(FarthestFirst& beam, int32_t k, const Filter& filter) const {
    const std::vector<NodeDist> farthest_first = drain(beam);
    // Without a screen the masks and norms are not read: each read is a likely miss per node kept.
    const bool screens = !filter.screens_nothing();
    std::vector<NodeDist> out;
    out.reserve(static_cast<size_t>(k));
    for (auto e = farthest_first.rbegin(); e != farthest_first.rend(); ++e) {
        const size_t node = static_cast<size_t>(e->id);
        if (screens ? !filter.passes(node, masks[node], stored_norms[node], e->dist) : !filter.within(e->dist))
            continue;
        out.push_back(*e);
        if (static_cast<int64_t>(out.size()) >= k) break;
    }
    return out;
}

}  // namespace vek
