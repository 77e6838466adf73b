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

// How many removed nodes one list's reselection looks through for survivors: enough for the removed
// neighbours of a region cleared in one call, bounded for a node at the edge of a huge cleared region.
constexpr size_t kRemovedLookedThrough = 64;

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
    // the survivors and them keeps, nearest first; those it would only top the list up with (in the
    // ball) just refill it to its former length, so that degrees, and the work of a walk, stay as a
    // build leaves them.
    // In the ball a removed node's neighbours are often its children, which dominate one another: the
    // survivors' own neighbours widen the choice there.
    WalkScratch& marks = walk_scratch();
    marks.begin(size());
    const FirstVisit first(marks);
    first(u);
    LinkList list, through;
    const LinkSpan old = links.at(u, layer);
    for (int32_t y : old) {
        first(y);
        (gone[y] ? through : list).push_back(y);
    }
    const size_t survivors = list.size();
    std::vector<int32_t> pool(list);
    auto offer = [&](int32_t y) {
        if (!first(y)) return;
        if (!gone[y])
            pool.push_back(y);
        else if (through.size() < kRemovedLookedThrough)
            through.push_back(y);
    };
    for (size_t i = 0; i < through.size(); ++i)
        for (int32_t y : links.at(through[i], layer)) offer(y);
    if (metric == PoincareBall)
        for (size_t i = 0; i < survivors; ++i)
            for (int32_t y : links.at(list[i], layer))
                if (!gone[y]) offer(y);
    if (pool.size() == survivors) return list;
    std::vector<float> dists(pool.size());
    dist_to_nodes(vec(u), node_term(u), pool.data(), pool.size(), dists.data());
    FarthestFirst w;
    for (size_t j = 0; j < pool.size(); ++j) w.push({dists[j], pool[j]});
    const int32_t limit = link_limit(layer);
    int32_t kept = 0;
    const std::vector<int32_t> chosen = select_neighbours(w, limit, rebuild_quota(layer).fill, &kept);
    for (size_t j = 0; j < chosen.size(); ++j) {
        const size_t room = j < static_cast<size_t>(kept) ? static_cast<size_t>(limit) : old.size();
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
    for (int32_t x : orphans) {
        if (ep_id < 0 || x == ep_id) continue;
        const float* q = vec(x);
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
