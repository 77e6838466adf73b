// Reachability of boundary nodes under the accurate Poincare metric.
//
// Near the boundary of the ball a node is far from every other node, so when the list of its nearest
// neighbour overflows and is rebuilt, it is the first member to go; a node that loses its last link
// that way can no longer be reached by any walk. A rebuilt list therefore keeps a member that would be
// left with fewer than two links, and the new node keeps the link from its nearest neighbour. The
// member that leaves instead is the farthest kept one that still has two links elsewhere.
#include <algorithm>
#include <functional>

#include "core/hyperbolic_index.h"

namespace vek {

namespace {

// Whether `node` keeps two links once m's is gone, as far as its own neighbours tell (links usually
// run both ways). One is not enough: two boundary nodes that only link each other are an island.
bool safe_without(int32_t node, int32_t m, const ListOf& current) {
    thread_local LinkList around, back;  // reused: no allocation once warm
    current(node, around);
    int links_in = 0;
    for (int32_t y : around) {
        if (y == m || y == node) continue;
        current(y, back);
        if (std::find(back.begin(), back.end(), node) != back.end() && ++links_in == 2) return true;
    }
    return false;
}

}  // namespace

bool HyperbolicIndex::keep_reachable(int32_t m, const std::vector<int32_t>& pool, int32_t n, bool n_needs_it,
                                     const ListOf& current, LinkList& chosen) const {
    bool changed = false;
    for (int32_t x : pool) {
        if (std::find(chosen.begin(), chosen.end(), x) != chosen.end()) continue;
        const bool orphaned = x == n ? n_needs_it : !safe_without(x, m, current);
        if (!orphaned) continue;
        for (size_t j = chosen.size(); j-- > 0;) {
            const int32_t y = chosen[j];
            if (y == n || !safe_without(y, m, current)) continue;
            chosen.erase(chosen.begin() + static_cast<std::ptrdiff_t>(j));  // keeps capacity: no allocation
            chosen.push_back(x);
            changed = true;
            break;
        }
    }
    return changed;
}

}  // namespace vek
