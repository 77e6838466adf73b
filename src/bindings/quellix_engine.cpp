#include "bindings/quellix_engine.h"

#include <algorithm>
#include <cfloat>
#include <stdexcept>

#include "search/top_k.h"

namespace quellix {

float radius_key(MetricKind metric, float radius) {
    if (metric != vek::PoincareBall) return radius;
    // arcosh(1 + 2 key) <= r  <=>  key <= sinh(r / 2)^2; the rounding of both sides is settled by stepping.
    const double s = std::sinh(static_cast<double>(radius) / 2.0);
    float key = static_cast<float>(std::min(s * s, static_cast<double>(INFINITY)));
    while (key > 0.0f && ball_distance(key) > radius) key = std::nextafter(key, 0.0f);
    while (!std::isinf(key) && ball_distance(std::nextafter(key, INFINITY)) <= radius)
        key = std::nextafter(key, INFINITY);
    return key;
}

double node_norm_sq(const HyperbolicIndex& index, int32_t node) {
    const double slot = index.get_stored_norm(node);
    return index.metric_kind() == vek::PoincareBall ? 1.0 - 1.0 / slot : slot;
}

bool passes_screens(const HyperbolicIndex& index, const Filters& filters, int32_t node) {
    if ((index.node_mask(node) & filters.mask) != filters.mask) return false;
    if (!filters.has_norm_bounds()) return true;
    const double n2 = node_norm_sq(index, node);
    if (filters.min_norm_sq >= 0.0 && !(n2 >= filters.min_norm_sq)) return false;
    if (filters.max_norm_sq >= 0.0 && !(n2 <= filters.max_norm_sq)) return false;
    return true;
}

namespace {

bool within(const Filters& filters, float value) { return !filters.has_radius() || value <= filters.max_key; }

// Keeps the nearest match, then stops at the first jump of more than 0.6 after a distance above 0.01,
// or at the first distance above 2.0 (the cut of vek_core's filtered search), on returned distances.
void cut_at_gap(MetricKind metric, std::vector<NodeDist>& ranked) {
    for (size_t i = 1; i < ranked.size(); ++i) {
        const float prev = user_distance(metric, ranked[i - 1].dist);
        const float cur = user_distance(metric, ranked[i].dist);
        if ((prev > 0.01f && cur - prev > 0.6f) || cur > 2.0f) {
            ranked.resize(i);
            return;
        }
    }
}

}  // namespace

std::vector<NodeDist> graph_search(const HyperbolicIndex& index, const float* query, float query_slot, int32_t k,
                                   int32_t ef, const Filters& filters) {
    std::vector<NodeDist> out;
    if (index.size() == 0 || index.entry_point() < 0 || k <= 0) return out;
    int32_t cur = index.entry_point();
    for (int32_t layer = index.entry_layer(); layer > 0; --layer) {
        vek::FarthestFirst w = index.search_layer(query, query_slot, cur, 1, layer);
        if (!w.empty()) cur = w.top().id;
    }
    vek::FarthestFirst w = index.search_layer(query, query_slot, cur, std::max(ef, k), 0);
    std::vector<NodeDist> ordered = vek::drain(w);
    std::reverse(ordered.begin(), ordered.end());
    for (const NodeDist& e : ordered) {
        if (!within(filters, e.dist) || !passes_screens(index, filters, e.id)) continue;
        out.push_back(e);
        if (static_cast<int32_t>(out.size()) >= k) break;
    }
    return out;
}

std::vector<NodeDist> filtered_search(const HyperbolicIndex& index, const float* query, float query_slot,
                                      int32_t k, int32_t ef, const Filters& filters, bool cut_gaps) {
    if (index.metric_kind() == vek::PoincareBall || filters.has_norm_bounds() || !cut_gaps)
        throw std::logic_error("filtered_search: not available for these arguments yet");
    std::vector<NodeDist> out;
    if (k <= 0) return out;
    const float radius = filters.has_radius() ? filters.max_key : -1.0f;
    for (int32_t id : index.filtered_search(query, k, filters.mask, ef, radius, -1.0f))
        out.push_back({index.dist_to_node(query, query_slot, id), id});
    return out;
}

std::vector<NodeDist> exact_search(const HyperbolicIndex& index, const float* query, float query_slot, int32_t k,
                                   const Filters& filters) {
    const size_t n = index.size();
    if (n == 0 || k <= 0) return {};
    vek::TopK best(k);
    constexpr size_t kBatch = 64;
    int32_t ids[kBatch];
    float values[kBatch];
    for (size_t start = 0; start < n;) {
        size_t count = 0;
        for (; start < n && count < kBatch; ++start)
            if (passes_screens(index, filters, static_cast<int32_t>(start))) ids[count++] = static_cast<int32_t>(start);
        index.dist_to_nodes(query, query_slot, ids, count, values);
        for (size_t j = 0; j < count; ++j)
            if (within(filters, values[j])) best.offer({values[j], ids[j]});
    }
    return best.drain_ascending();
}

}  // namespace quellix
