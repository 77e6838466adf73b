// Filtered graph search: the layer-0 walk with a plain beam for its candidates, plus a bounded heap of
// the nodes that pass the filter among all it scores, and a stop rule that keeps walking while fewer
// than k of them are known. The answer's gap cut is a separate step.
#include <algorithm>

#include "search/top_k.h"
#include "search/walk.h"

namespace vek {

namespace {

struct MatchPolicy {
    const HyperbolicIndex& index;
    const Filter& filter;
    int32_t k;
    Beam beam;
    TopK matches;
    // The entry is always expanded when k >= 1: it sits at the beam's top, so the stop rule would
    // otherwise end the walk on it as soon as it matched.
    bool expand_entry;

    bool passes(NodeDist e) const { return filter.passes(index.mask(e.id), index.stored_norm(e.id), e.dist); }

    void enter(NodeDist e) {
        beam.enter(e);
        if (passes(e)) matches.push_unbounded(e);
    }
    bool stop(const NodeDist& c) {
        if (expand_entry) {
            expand_entry = false;
            return false;
        }
        return c.dist >= beam.farthest() && matches.size() >= k;
    }
    // Scored against the filter whether or not it joins the beam.
    bool admit(NodeDist e) {
        const bool candidate = beam.admit(e);
        if (passes(e)) matches.offer(e);
        return candidate;
    }
};

}  // namespace

std::vector<NodeDist> HyperbolicIndex::filtered_search(const float* query, float query_term, int32_t k,
                                                       int32_t ef, const Filter& filter) const {
    if (size() == 0 || ep_id < 0) return {};
    const int32_t cur = descend(query, query_term, 0);
    MatchPolicy policy{*this, filter, k, Beam(static_cast<size_t>(std::max({k, ef, 1}))), TopK(k), k >= 1};
    walk(query, query_term, {dist_to_node(query, query_term, cur), cur}, 0, policy);
    return policy.matches.drain_ascending();
}

std::vector<NodeDist> cut_at_gap(const std::vector<NodeDist>& ranked) {
    std::vector<NodeDist> out;
    if (ranked.empty()) return out;
    out.reserve(ranked.size());
    out.push_back(ranked[0]);
    for (size_t i = 1; i < ranked.size(); ++i) {
        const float prev = ranked[i - 1].dist;
        const float cur = ranked[i].dist;
        if ((prev > 0.01f && cur - prev > 0.6f) || cur > 2.0f) break;
        out.push_back(ranked[i]);
    }
    return out;
}

}  // namespace vek
