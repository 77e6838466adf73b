// The HNSW neighbour-selection heuristic, keeping pruned candidates to top the list up.
#include <algorithm>

#include "core/hyperbolic_index.h"

namespace vek {

std::vector<int32_t> HyperbolicIndex::select_neighbours(FarthestFirst& candidates, int M) const {
    std::vector<NodeDist> sorted = drain(candidates);
    std::sort(sorted.begin(), sorted.end());

    const size_t limit = M > 0 ? static_cast<size_t>(M) : 0;  // a negative limit selects nothing
    std::vector<int32_t> selected;
    selected.reserve(std::min(limit, sorted.size()));
    std::vector<NodeDist> discarded;

    for (const NodeDist& c : sorted) {
        if (selected.size() >= limit) break;
        if (selected.empty()) {
            selected.push_back(c.id);
            continue;
        }
        // Candidate c stands in the query role against each kept node, in selection order; four
        // distances are computed at a time and checked in order.
        const float* cv = vec(c.id);
        const float cn = node_term(c.id);
        bool dominated = false;
        for (size_t j = 0; j < selected.size() && !dominated; j += 4) {
            const size_t group = std::min<size_t>(4, selected.size() - j);
            // At most four are written, but dist_to_nodes also has an eight-wide path, and the compiler
            // warns unless the array could hold its output.
            float d[8];
            dist_to_nodes(cv, cn, selected.data() + j, group, d);
            for (size_t g = 0; g < group && !dominated; ++g) dominated = d[g] < c.dist;
        }
        if (dominated)
            discarded.push_back(c);
        else
            selected.push_back(c.id);
    }
    for (const NodeDist& c : discarded) {
        if (selected.size() >= limit) break;
        selected.push_back(c.id);
    }
    return selected;
}

}  // namespace vek
