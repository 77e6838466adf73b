// Best-first beam search over one layer, with per-thread visit marks that need no clearing between
// calls: a call marks nodes with its own version number, and the table is zeroed only when the
// 16-bit version wraps.
#include <algorithm>

#include "core/hyperbolic_index.h"

namespace vek {

namespace {

struct WalkScratch {
    std::vector<uint16_t> tags;
    uint16_t version = 0;
    std::vector<int32_t> ids;
    std::vector<float> dists;
};

thread_local WalkScratch scratch;

}  // namespace

FarthestFirst HyperbolicIndex::search_layer(const float* query, float query_norm, int32_t entry, int32_t ef,
                                            int32_t layer) const {
    WalkScratch& ws = scratch;
    if (ws.tags.size() < size()) ws.tags.resize(size(), 0);
    if (++ws.version == 0) {
        std::fill(ws.tags.begin(), ws.tags.end(), uint16_t{0});
        ws.version = 1;
    }
    const uint16_t tag = ws.version;
    uint16_t* visited = ws.tags.data();
    auto first_visit = [visited, tag](int32_t v) {
        if (visited[v] == tag) return false;
        visited[v] = tag;
        return true;
    };
    const size_t width = static_cast<size_t>(std::max(ef, 1));  // a width below 1 searches as 1

    NearestFirst candidates;
    FarthestFirst result;
    const float d0 = dist_to_node(query, query_norm, entry);
    candidates.push({d0, entry});
    visited[entry] = tag;
    result.push({d0, entry});

    while (!candidates.empty()) {
        const NodeDist c = candidates.top();
        candidates.pop();
        if (result.size() >= width && c.dist > result.top().dist) break;

        if (!candidates.empty()) prefetch_links(candidates.top().id, layer);  // likely expanded next

        const LinkList& list = links.at(c.id, layer);
        if (ws.ids.size() < list.size()) {
            ws.ids.resize(list.size());
            ws.dists.resize(list.size());
        }
        int32_t* ids = ws.ids.data();
        float* dists = ws.dists.data();
        const size_t fresh = score_fresh(query, query_norm, list, first_visit, ids, dists);
        for (size_t j = 0; j < fresh; ++j) {
            const float d = dists[j];
            if (result.size() < width || d < result.top().dist) {
                candidates.push({d, ids[j]});
                result.push({d, ids[j]});
                if (result.size() > width) result.pop();
            }
        }
    }
    return result;
}

}  // namespace vek
