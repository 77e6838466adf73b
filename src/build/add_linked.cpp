// Linked insertion. All graph work (searches, selections, shrinks) is computed first into pending
// lists, and only then committed with non-throwing swaps and appends: an allocation failure midway
// removes the new node again and leaves every list, the entry point and the generator as they were.
#include <cmath>

#include "core/growth.h"
#include "core/hyperbolic_index.h"

namespace vek {

namespace {

struct PendingList {
    int32_t node;
    int32_t layer;
    LinkList list;
    int32_t kept;  // the selection's kept prefix, or LinkTable::kUnknownKept
};

}  // namespace

// Level of a new node: floor(-ln(u) * level_mult) with u uniform in [0, 1). Construction accepts any
// M; for M < 2 the multiplier is infinite, zero or NaN, and every node then gets level 0.
int32_t HyperbolicIndex::draw_level() {
    const double u = unit_dist(level_rng);  // consumes two 32-bit outputs
    const double mult = static_cast<double>(level_mult);
    if (!(std::isfinite(mult) && mult > 0.0)) return 0;
    return static_cast<int32_t>(-std::log(std::max(u, 1e-10)) * mult);
}

void HyperbolicIndex::truncate_nodes(size_t count) {
    vectors.resize(count * stride_);
    stored_norms.resize(count);
    masks.resize(count);
    node_levels.resize(count);
    links.resize(count);
    if (metric == PoincareBall) inv_factors.resize(count);
}

void HyperbolicIndex::add_linked(const float* vector, uint64_t mask, int32_t ef_construction, double factor) {
    const std::mt19937 rng_before = level_rng;
    const int32_t level = draw_level();
    const int32_t n = static_cast<int32_t>(size());
    try {
        append_node(vector, mask, level, factor);
    } catch (...) {
        level_rng = rng_before;
        throw;
    }

    try {
        std::vector<float> own_values;
        const float* q = query_of(n, own_values);
        const float qn = node_term(n);
        std::vector<LinkList> own(static_cast<size_t>(level) + 1);
        std::vector<int32_t> own_kept(own.size(), LinkTable::kUnknownKept);
        std::vector<PendingList> rebuilt;
        std::vector<std::pair<int32_t, int32_t>> appended;  // (neighbour, layer) that take n as-is
        std::vector<int32_t> members;

        if (ep_id >= 0) {
            int32_t e = descend(q, qn, level);
            for (int32_t layer = std::min(level, ep_layer); layer >= 0; --layer) {
                const int32_t limit = link_limit(layer);
                FarthestFirst w = search_layer(q, qn, e, ef_construction, layer);
                const Quota quota = own_quota(layer);
                own[layer] = select_neighbours(w, quota.limit, quota.fill, &own_kept[layer]);
                for (int32_t m : own[layer]) {
                    const LinkSpan list = links.at(m, layer);
                    if (static_cast<int64_t>(list.size()) + 1 <= limit) {
                        links.reserve(m, layer, list.size() + 1);
                        appended.emplace_back(m, layer);
                        continue;
                    }
                    // The list would overflow: rebuild it from its members plus n, m in the query role.
                    int32_t kept = LinkTable::kUnknownKept;
                    LinkList chosen = rebuilt_with(m, list, links.kept(m, layer), n, layer, members, &kept);
                    rebuilt.push_back({m, layer, std::move(chosen), kept});
                    if (metric == PoincareBall) {
                        const ListOf current = [&](int32_t y, LinkList& out) {
                            LinkSpan now = links.at(y, layer);
                            for (size_t j = 0; j + 1 < rebuilt.size(); ++j)
                                if (rebuilt[j].node == y && rebuilt[j].layer == layer) now = rebuilt[j].list;
                            out.assign(now.begin(), now.end());
                        };
                        if (keep_reachable(m, members, n, m == own[layer][0], current, rebuilt.back().list))
                            rebuilt.back().kept = LinkTable::kUnknownKept;
                    }
                    links.reserve(m, layer, rebuilt.back().list.size());
                }
                if (!own[layer].empty()) e = own[layer][0];
            }
        }

        for (int32_t layer = 0; layer <= level; ++layer) links.reserve(n, layer, own[layer].size());
        // Commit: nothing below allocates.
        for (int32_t layer = 0; layer <= level; ++layer) links.set(n, layer, own[layer], own_kept[layer]);
        for (const auto& [m, layer] : appended) links.append(m, layer, n);
        for (const PendingList& p : rebuilt) links.set(p.node, p.layer, p.list, p.kept);
    } catch (...) {
        truncate_nodes(static_cast<size_t>(n));
        level_rng = rng_before;
        throw;
    }
    if (level > ep_layer) {
        ep_layer = level;
        ep_id = n;
    }
    ++linked_since_repair;
}

}  // namespace vek
