// How many links each list may hold, and how far the selection tops a list up with candidates it found
// dominated.
//
// Classic tops every list up to its limit. That keeps layer-0 lists always full, so every link back to
// a new node rebuilds its neighbour's list, and each rebuild is another chance for a newcomer to
// dominate one of the few long links between distant regions: over a large build they wear away, and
// walks that start in the wrong region stay there. A full list also doubles the work of every hop.
//
// Sparse gives a new node at most M links on layer 0 (room is left for the links back from later
// nodes, which are then appended without a rebuild) and, in flat space, keeps only what the selection
// keeps. In the ball the selection's test keeps almost nothing: near the boundary a node's parent in
// the hierarchy dominates every other candidate, so a list of the selection's alone is one link long
// and whole subtrees hang on single links. There lists are still topped up, the new node's to M. The
// upper layers are small and guide the descent between regions: their lists are topped up everywhere.
#include <algorithm>

#include "core/hyperbolic_index.h"

namespace vek {

int32_t HyperbolicIndex::link_limit(int32_t layer) const {
    const int32_t limit = layer == 0 ? max_m_0 : max_m;
    return limit > 0 ? limit : 0;
}

HyperbolicIndex::Quota HyperbolicIndex::own_quota(int32_t layer) const {
    const int32_t limit = link_limit(layer);
    if (linking == Linking::Classic || layer > 0) return {limit, limit};
    const int32_t own = std::min(limit, max_m > 0 ? max_m : 0);
    return {own, metric == PoincareBall ? own : 0};
}

HyperbolicIndex::Quota HyperbolicIndex::rebuild_quota(int32_t layer) const {
    const int32_t limit = link_limit(layer);
    if (linking == Linking::Classic || layer > 0 || metric == PoincareBall) return {limit, limit};
    return {limit, 0};
}

}  // namespace vek
