// Links again the nodes that no walk over layer 0 from the entry point reaches.
//
// Rows inserted at the same moment do not see one another: a few near each other can end up linking
// only among themselves once the lists that held them are rebuilt, and a later slice's rebuilds can cut
// off what an earlier slice left. One row at a time it happens too, where a region's lists all prefer
// other members: near the boundary of the ball every list has nearer members than a boundary node, so
// each rebuild that meets one drops it. Each such node is found by a walk over the finished graph and
// put in the list of the nearest node that walk reached: at its end where there is room, else in the
// place of the member that most other reached lists hold. Nothing else changes, so no other node loses
// its last link (rebuilding the lists through the selection instead dropped other boundary nodes in
// turn).
#include <algorithm>

#include "build/concurrent_build.h"
#include "core/hyperbolic_index.h"

namespace vek {

namespace {

// A pass can still cut a node off where the member that gives its place up was held only by nodes it
// leads to itself: the next pass finds it. Passes after the first are rare and short.
constexpr int kRepairPasses = 3;

// How often a one-thread add repairs: once the rows linked since the last repair are this share of
// the index, so that adding one row at a time costs a bounded share of the pass over the whole graph.
constexpr size_t kRepairShare = 64;

}  // namespace

bool HyperbolicIndex::leads_back(int32_t y, int32_t h) const { return holds_link(links.at(y, 0), h); }

bool HyperbolicIndex::repair_due() const { return ep_id >= 0 && linked_since_repair * kRepairShare >= size(); }

void HyperbolicIndex::repair_links(int32_t ef_construction) {
    if (ep_id < 0) return;
    ConcurrentBuild build(size(), size(), 1);  // every list predates the repair: each one changed is saved
    build_ = &build;
    try {
        reconnect_nodes(ef_construction);
    } catch (...) {
        build_ = nullptr;
        build.saved[0].restore(links);
        throw;
    }
    build_ = nullptr;
}

bool HyperbolicIndex::give_place(int32_t m, int32_t x, std::vector<int32_t>& in_links) {
    const std::lock_guard<NodeLock> hold(build_->lock(m));
    const LinkSpan list = links.at(m, 0);
    if (holds_link(list, x)) return true;
    LinkList now(list.begin(), list.end());
    if (static_cast<int64_t>(now.size()) >= link_limit(0)) {
        // A member that another reached list holds independently stays reached; the more such lists,
        // the safer.
        auto others = [&](int32_t y) { return in_links[y] - (leads_back(y, m) ? 0 : 1); };
        auto spare = now.end();
        for (auto it = now.begin(); it != now.end(); ++it)
            if (others(*it) >= 1 && (spare == now.end() || others(*it) >= others(*spare))) spare = it;
        if (spare == now.end()) return false;
        if (!leads_back(*spare, m)) --in_links[*spare];
        now.erase(spare);
    }
    now.push_back(x);
    if (!leads_back(x, m)) ++in_links[x];
    build_->save_once(m, 0, links);
    links.set(m, 0, now);
    return true;
}

void HyperbolicIndex::reconnect_nodes(int32_t ef_construction) {
    linked_since_repair = 0;
    for (int pass = 0; pass < kRepairPasses; ++pass) {
        // Reached over layer 0 from the entry point: a node that only an upper layer leads to is found
        // only by a descent that happens to stop on it. Per node, how many reached lists hold it
        // independently (lists of nodes it does not link to itself: two nodes that only hold each other
        // are an island once everything else lets go of them), kept up to date as nodes join.
        std::vector<uint8_t> reached(size(), 0);
        std::vector<int32_t> in_links(size(), 0);
        std::vector<int32_t> found{ep_id};
        reached[ep_id] = kReached;
        spread_on_layer(0, reached, found, 0);
        if (found.size() == size()) return;
        auto count_links_of = [&](int32_t node) {
            for (int32_t y : links.at(node, 0)) in_links[y] += !leads_back(y, node);
        };
        for (int32_t node : found) count_links_of(node);
        bool stranded = false;
        std::vector<float> own_values;
        for (size_t i = 0; i < size(); ++i) {
            const auto x = static_cast<int32_t>(i);
            if (reached[x] || links.at(x, 0).empty()) continue;  // an empty list: added without links
            stranded = true;
            const float* q = query_of(x, own_values);
            const float qn = node_term(x);
            FarthestFirst w = candidates_for(x, q, qn, descend(q, qn, 0), ef_construction, 0);
            const std::vector<NodeDist> near = drain(w);  // farthest first
            bool joined = false;
            for (auto it = near.rbegin(); !joined && it != near.rend(); ++it)
                joined = reached[it->id] && give_place(it->id, x, in_links);
            if (!joined) continue;
            reached[x] = kReached;
            found.assign(1, x);
            spread_on_layer(0, reached, found, 0);
            for (int32_t f : found) count_links_of(f);
        }
        if (!stranded) return;
    }
}

}  // namespace vek
