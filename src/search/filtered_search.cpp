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

    bool passes(NodeDist e) const { return filter.passes(static_cast<size_t>(e.id), index.mask(e.id), index.stored_norm(e.id), e.dist); }

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
    std::vector<NodeDist> out;
    filtered_search_batch(query, &query_term, 1, k, ef, filter, &out);
    return out;
}

void HyperbolicIndex::filtered_search_batch(const float* queries, const float* query_terms, size_t m, int32_t k,
                                            int32_t ef, const Filter& filter,
                                            std::vector<NodeDist>* results) const {
    if (size() == 0 || ep_id < 0) {
        std::fill_n(results, m, std::vector<NodeDist>{});
        return;
    }
    const size_t width = static_cast<size_t>(std::max({k, ef, 1}));
    in_lane_blocks(queries, query_terms, m, [&](size_t first, size_t count, const int32_t* entries) {
        std::vector<MatchPolicy> policies;
        policies.reserve(count);
        for (size_t i = 0; i < count; ++i) policies.push_back({*this, filter, k, Beam(width), TopK(k), k >= 1});
        walk_lanes(queries + first * dims(), query_terms + first, entries, count, 0, policies.data());
        for (size_t i = 0; i < count; ++i) results[first + i] = policies[i].matches.drain_ascending();
    });
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
