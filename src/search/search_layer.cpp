// Best-first beam search over one layer, with per-thread visit marks that need no clearing between
// calls: a call marks nodes with its own version number, and the table is zeroed only when the
// 16-bit version wraps.
#include <algorithm>

#include "core/hyperbolic_index.h"
#include "search/prefetch.h"

namespace vek {

namespace {

struct VisitMarks {
    std::vector<uint16_t> tags;
    uint16_t version = 0;
};

thread_local VisitMarks marks;

}  // namespace

FarthestFirst HyperbolicIndex::search_layer(const float* query, float query_norm, int32_t entry, int32_t ef,
                                            int32_t layer) const {
    VisitMarks& vm = marks;
    if (vm.tags.size() < size()) vm.tags.resize(size(), 0);
    if (++vm.version == 0) {
        std::fill(vm.tags.begin(), vm.tags.end(), uint16_t{0});
        vm.version = 1;
    }
    const uint16_t tag = vm.version;
    uint16_t* visited = vm.tags.data();
    const bool boundary_rule = metric == Poincare;
    const size_t width = static_cast<size_t>(std::max(ef, 1));

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

        const LinkList& neighbours = links[c.id][layer];
        const size_t count = neighbours.size();
        if (count > 0) prefetch_vector(vec(neighbours[0]));
        for (size_t j = 0; j < count; ++j) {
            const int32_t v = neighbours[j];
            if (visited[v] == tag) continue;
            visited[v] = tag;
            if (boundary_rule && stored_norms[v] >= kBoundaryNormSq) continue;
            if (j + 1 < count) prefetch_vector(vec(neighbours[j + 1]));
            const float d = dist_to_node(query, query_norm, v);
            if (result.size() < width || d < result.top().dist) {
                candidates.push({d, v});
                result.push({d, v});
                if (result.size() > width) result.pop();
            }
        }
    }
    return result;
}

}  // namespace vek
