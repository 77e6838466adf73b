// Filtered graph search: a layer-0 walk that scores every node it reaches against the filters, keeps
// the passing ones in a bounded heap, does not stop while it holds fewer than k of them, and cuts its
// ranked answer at the first large gap in distance. Also the bulk mask update.
#include <algorithm>
#include <stdexcept>

#include "core/hyperbolic_index.h"
#include "search/top_k.h"

namespace vek {

namespace {

struct Filter {
    uint64_t mask;
    float max_radius;
    float min_norm;

    bool passes(uint64_t node_mask, float node_norm, float d) const {
        if (mask != 0 && (node_mask & mask) != mask) return false;
        if (min_norm >= 0.0f && !(node_norm >= min_norm)) return false;
        if (max_radius >= 0.0f && !(d <= max_radius)) return false;
        return true;
    }
};

// Keeps the nearest match, then stops at the first jump of more than 0.6 after a distance above 0.01,
// or at the first distance above 2.0.
std::vector<int32_t> cut_at_gap(const std::vector<NodeDist>& ranked) {
    std::vector<int32_t> out;
    if (ranked.empty()) return out;
    out.reserve(ranked.size());
    out.push_back(ranked[0].id);
    for (size_t i = 1; i < ranked.size(); ++i) {
        const float prev = ranked[i - 1].dist;
        const float cur = ranked[i].dist;
        if ((prev > 0.01f && cur - prev > 0.6f) || cur > 2.0f) break;
        out.push_back(ranked[i].id);
    }
    return out;
}

}  // namespace

std::vector<int32_t> HyperbolicIndex::filtered_search(const float* query, int32_t k, uint64_t filter_mask,
                                                      int32_t ef_search, float max_radius,
                                                      float min_norm) const {
    if (size() == 0 || ep_id < 0) return {};
    const Filter filter{filter_mask, max_radius, min_norm};
    const float query_norm = simd_dot(query, query);
    const int32_t cur = descend(query, query_norm, 0);
    const size_t ef = static_cast<size_t>(std::max({k, ef_search, 1}));

    std::vector<uint8_t> visited(size(), 0);
    auto first_visit = [&visited](int32_t v) {
        if (visited[v]) return false;
        visited[v] = 1;
        return true;
    };
    std::vector<int32_t> fresh;
    std::vector<float> dists;
    NearestFirst candidates;
    FarthestFirst beam;
    TopK matches(k);

    const float d0 = dist_to_node(query, query_norm, cur);
    candidates.push({d0, cur});
    beam.push({d0, cur});
    visited[cur] = 1;
    if (filter.passes(masks[cur], stored_norms[cur], d0)) matches.push_unbounded({d0, cur});

    // The entry is always expanded when k >= 1: it sits at the beam's top, so the stop rule would
    // otherwise end the walk on it as soon as it matched.
    bool expand_entry = k >= 1;
    while (!candidates.empty()) {
        const NodeDist c = candidates.top();
        candidates.pop();
        if (!expand_entry && c.dist >= beam.top().dist && matches.size() >= k) break;
        expand_entry = false;

        if (!candidates.empty()) prefetch_links(candidates.top().id, 0);  // likely expanded next

        const LinkList& list = links.at(c.id, 0);
        if (fresh.size() < list.size()) {
            fresh.resize(list.size());
            dists.resize(list.size());
        }
        const size_t count = score_fresh(query, query_norm, list, first_visit, fresh.data(), dists.data());
        for (size_t j = 0; j < count; ++j) {
            const int32_t v = fresh[j];
            const float d = dists[j];
            if (beam.size() < ef || d < beam.top().dist) {
                candidates.push({d, v});
                beam.push({d, v});
                if (beam.size() > ef) beam.pop();
            }
            if (filter.passes(masks[v], stored_norms[v], d)) matches.offer({d, v});
        }
    }
    return cut_at_gap(matches.drain_ascending());
}

void HyperbolicIndex::update_masks(const uint64_t* new_masks, size_t count) {
    if (count != size()) throw std::runtime_error("Mask array size does not match graph size!");
    std::copy(new_masks, new_masks + count, masks.begin());
}

}  // namespace vek
