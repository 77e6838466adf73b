// Removal. Every list that held a removed node keeps its other members and fills the rest of its room
// from the surviving neighbours of the removed nodes it held (through chains of removed nodes too),
// so that a region keeps its links across the gap. All new lists are computed from the graph as it
// was before anything changes: they do not depend on their order or on the threads, and a failure
// while computing them changes nothing. Then the last nodes move into the freed places, so that
// storage stays dense and the memory of a removed node serves the next one added, and the nodes that
// no walk reaches any more are linked again as after an insertion.
#include <algorithm>

#include "core/hyperbolic_index.h"
#include "core/parallel_for.h"
#include "search/walk.h"

namespace vek {

namespace {

// How many removed nodes one list's relinking looks through for candidates, nearest first: in flat
// spaces a few hold the region's nodes; in the ball more, as a removed node's neighbours are often its
// children, which dominate one another.
constexpr size_t kRemovedLookedThrough = 12;
constexpr size_t kRemovedLookedThroughBall = 16;

// In flat spaces, the candidates a relinked list's selection sees, per link it may hold: on LSA rows
// under a sliding window 2 per link lost 0.007 of recall at a low width, 6 matched a fresh build.
constexpr size_t kCandidatesPerLink = 6;

struct NewList {
    int32_t node;
    int32_t layer;
    LinkList list;
};

}  // namespace

LinkList HyperbolicIndex::relinked_without(int32_t u, int32_t layer, const std::vector<uint8_t>& gone) const {
    // The members that stay keep their places, links back from insertions included: a selection over
    // them would drop every one it finds dominated, and with them much of what makes the region
    // navigable (on clustered data a fifth of the recall lost at a low width after one round of 5 %).
    // The rest of the list, up to its limit, takes the removed nodes' neighbours that a selection over
    // the survivors and them keeps, nearest first; those it would only top the list up with just
    // refill it towards its former length, so that degrees, and the work of a walk, stay as a build
    // leaves them.
    // Removed nodes are looked through nearest to u first, and only a few: where they link one another
    // (the oldest nodes, which a sliding window removes together) following every chain led far from
    // u and made each relinked list cost more than an insertion, for no better list.
    const bool ball = metric == PoincareBall;
    const size_t looked_through = ball ? kRemovedLookedThroughBall : kRemovedLookedThrough;
    WalkScratch& marks = walk_scratch();
    marks.begin(size());
    const FirstVisit first(marks);
    first(u);
    std::vector<float> own_values;
    const float* q = query_of(u, own_values);
    const float qt = node_term(u);
    NearestFirst removed;
    std::vector<NodeDist> pool;  // the survivors, then the candidates met through removed nodes
    LinkList met;
    std::vector<float> dists;
    auto meet = [&](LinkSpan ys) {
        met.clear();
        for (int32_t y : ys)
            if (first(y)) met.push_back(y);
        dists.resize(met.size());
        dist_to_nodes(q, qt, met.data(), met.size(), dists.data());
        for (size_t j = 0; j < met.size(); ++j) {
            if (gone[met[j]])
                removed.push({dists[j], met[j]});
            else
                pool.push_back({dists[j], met[j]});
        }
    };
    const LinkSpan old = links.at(u, layer);
    meet(old);
    LinkList list;
    for (int32_t y : old)
        if (!gone[y]) list.push_back(y);
    const size_t survivors = list.size();
    for (size_t i = 0; i < looked_through && !removed.empty(); ++i) {
        const int32_t x = removed.top().id;
        removed.pop();
        meet(links.at(x, layer));
    }
    if (pool.size() == survivors) return list;
    // Flat spaces: the nearest candidates are enough for a selection that keeps a few of them. The
    // ball's selection keeps far candidates that lead elsewhere in the hierarchy: it sees them all.
    const size_t cap = kCandidatesPerLink * static_cast<size_t>(link_limit(layer));
    if (!ball && pool.size() - survivors > cap) {
        const auto from = pool.begin() + static_cast<std::ptrdiff_t>(survivors);
        std::nth_element(from, from + static_cast<std::ptrdiff_t>(cap), pool.end());
        pool.resize(survivors + cap);
    }
    FarthestFirst w;
    for (const NodeDist& c : pool) w.push(c);
    const int32_t limit = link_limit(layer);
    int32_t kept = 0;
    const std::vector<int32_t> chosen = select_neighbours(w, limit, limit, &kept);
    // Dominated candidates refill the list towards its former length: without them every replaced
    // vector, inserted beside its old self, which dominates its neighbourhood, left its region with
    // fewer links (on clustered data mean degree 12.6 against a fresh build's 14.7 after 30,000
    // replacements). In flat spaces only up to M, or degrees grow with every round of removals.
    const size_t former = ball ? old.size() : std::min(old.size(), static_cast<size_t>(std::max(max_m, 0)));
    for (size_t j = 0; j < chosen.size(); ++j) {
        const size_t room = j < static_cast<size_t>(kept) ? static_cast<size_t>(limit) : former;
        if (list.size() >= room) break;
        const auto stayed = list.begin() + static_cast<std::ptrdiff_t>(survivors);
        if (std::find(list.begin(), stayed, chosen[j]) == stayed) list.push_back(chosen[j]);
    }
    return list;
}

std::vector<int32_t> HyperbolicIndex::remove_nodes(const std::vector<int32_t>& doomed, int32_t ef_construction,
                                                    int threads) {
    const size_t n = size();
    std::vector<uint8_t> gone(n, 0);
    for (int32_t x : doomed) gone[static_cast<size_t>(x)] = 1;

    // The lists that lose a member, each selected again.
    std::vector<std::pair<int32_t, int32_t>> touched;
    for (size_t i = 0; i < n; ++i) {
        if (gone[i]) continue;
        const auto u = static_cast<int32_t>(i);
        for (int32_t layer = 0; layer <= node_levels[i]; ++layer) {
            const LinkSpan list = links.at(u, layer);
            if (std::any_of(list.begin(), list.end(), [&](int32_t y) { return gone[y] != 0; }))
                touched.emplace_back(u, layer);
        }
    }
    std::vector<NewList> lists(touched.size());
    parallel_for(touched.size(), threads, [&](size_t t) {
        const auto [u, layer] = touched[t];
        NewList& out = lists[t];
        out.node = u;
        out.layer = layer;
        out.list = relinked_without(u, layer, gone);
    });
    for (const NewList& l : lists) links.reserve(l.node, l.layer, l.list.size());

    // The new entry point: the surviving node of the highest level, or, on level 0, one that held links.
    int32_t entry = ep_id >= 0 && !gone[ep_id] ? ep_id : -1;
    if (ep_id >= 0 && entry < 0) {
        for (size_t i = 0; i < n; ++i)
            if (!gone[i] && (entry < 0 || node_levels[i] > node_levels[entry])) entry = static_cast<int32_t>(i);
        if (entry >= 0 && node_levels[entry] == 0) {
            entry = -1;
            for (const NewList& l : lists)
                if (entry < 0 || l.node < entry) entry = l.node;
            for (size_t i = 0; i < n && entry < 0; ++i)
                if (!gone[i] && !links.at(static_cast<int32_t>(i), 0).empty()) entry = static_cast<int32_t>(i);
        }
    }

    // Where each node goes: the survivors beyond the new end fill the freed places below it, in order.
    const size_t live = n - static_cast<size_t>(std::count(gone.begin(), gone.end(), uint8_t{1}));
    std::vector<int32_t> to(n, -1);
    size_t mover = live;
    for (size_t i = 0; i < live; ++i) {
        if (!gone[i]) {
            to[i] = static_cast<int32_t>(i);
            continue;
        }
        while (gone[mover]) ++mover;
        to[mover++] = static_cast<int32_t>(i);
    }

    // Commit: nothing below allocates until the repair.
    std::vector<int32_t> orphans;  // linked nodes left without any layer-0 link
    for (const NewList& l : lists) {
        links.set(l.node, l.layer, l.list);  // not a selection's list: no kept prefix
        if (l.layer == 0 && l.list.empty()) orphans.push_back(to[l.node]);
    }
    for (size_t i = live; i < n; ++i)
        if (!gone[i]) move_node(static_cast<int32_t>(i), to[i]);
    links.renumber(to, live);
    truncate_nodes(live);
    if (has_remainders()) remainders.resize(live * dims());
    ep_id = entry >= 0 ? to[entry] : -1;
    ep_layer = ep_id >= 0 ? node_levels[ep_id] : -1;

    // A linked node that lost every layer-0 link is linked again from a walk, as if inserted anew; the
    // repair then gives it a place in a reached list.
    std::vector<float> own_values;
    for (int32_t x : orphans) {
        if (ep_id < 0 || x == ep_id) continue;
        const float* q = query_of(x, own_values);
        const float qn = node_term(x);
        FarthestFirst w = candidates_for(x, q, qn, descend(q, qn, 0), ef_construction, 0);
        const Quota quota = own_quota(0);
        int32_t kept = LinkTable::kUnknownKept;
        const LinkList own = select_neighbours(w, quota.limit, quota.fill, &kept);
        links.set(x, 0, own, kept);
    }
    repair_links(ef_construction);
    return to;
}

}  // namespace vek
