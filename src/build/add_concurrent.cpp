// Linked insertion of a batch on several threads at once, into one graph.
//
// Every row's records are appended first, so the stored vectors, norms and levels stay put while the
// threads link. A thread holds one node's lock at a time while it reads or rewrites that node's lists
// (walks read a layer-0 list in place, a list above it copied under its lock); a row that rises above the entry point's layer holds the entry
// lock for the whole of its insertion, so the entry point moves once the row is fully linked. A list
// of a node that existed before the batch is saved the first time the batch changes it: when any row
// fails, the saved lists go back and the new rows are removed. Under PoincareBall a rebuild mends its
// list as the one-thread build does, reading the lists around it only where their locks are free.
#include <algorithm>

#include "build/concurrent_build.h"
#include "core/growth.h"
#include "core/parallel_for.h"
#include "search/walk.h"

namespace vek {


// Another thread may already have linked n to nodes this walk passed, and the walk then finds n.
FarthestFirst HyperbolicIndex::candidates_for(int32_t n, const float* q, float qn, int32_t entry, int32_t ef,
                                              int32_t layer) const {
    FarthestFirst w = search_layer(q, qn, entry, ef, layer);
    if (!walk_scratch().visited(n)) return w;
    std::vector<NodeDist> kept = drain(w);
    kept.erase(std::remove_if(kept.begin(), kept.end(), [n](const NodeDist& e) { return e.id == n; }), kept.end());
    for (const NodeDist& e : kept) w.push(e);
    return w;
}

void HyperbolicIndex::add_linked_batch(const float* rows, const uint64_t* row_masks, const double* factors,
                                       size_t count, int32_t ef_construction, int threads, bool reconnect) {
    const size_t d = dims();
    auto factor_of = [factors](size_t i) { return factors ? factors[i] : kDerivedFactor; };
    if (threads <= 1) {
        for (size_t i = 0; i < count; ++i) add_linked(rows + i * d, row_masks[i], ef_construction, factor_of(i));
        return;
    }
    const size_t first = size();
    const std::mt19937 rng_before = level_rng;
    const int32_t ep_before = ep_id, ep_layer_before = ep_layer;
    try {
        size_t start = 0;
        if (ep_id < 0 && count > 0) {  // the first linked row of an index only becomes its entry point
            add_linked(rows, row_masks[0], ef_construction, factor_of(0));
            start = 1;
        }
        reserve_for(vectors, (count - start) * stride_);  // geometric: slices follow one another
        for (size_t i = start; i < count; ++i) append_node(rows + i * d, row_masks[i], draw_level(), factor_of(i));

        ConcurrentBuild build(size(), first, static_cast<size_t>(threads));
        build_ = &build;
        try {
            parallel_for(count - start, threads, [&](size_t i, size_t worker) {
                link_concurrently(static_cast<int32_t>(first + start + i), ef_construction, worker);
            });
            if (reconnect) reconnect_nodes(ef_construction);
        } catch (...) {
            build_ = nullptr;
            for (const UndoLog& log : build.saved) log.restore(links);
            throw;
        }
        build_ = nullptr;
    } catch (...) {
        truncate_nodes(first);
        level_rng = rng_before;
        ep_id = ep_before;
        ep_layer = ep_layer_before;
        throw;
    }
}

void HyperbolicIndex::link_concurrently(int32_t n, int32_t ef_construction, size_t worker) {
    ConcurrentBuild& build = *build_;
    const int32_t level = node_levels[n];
    std::unique_lock<std::mutex> entry(build.entry_lock);
    const int32_t entry_id = ep_id, entry_layer = ep_layer;
    if (level <= entry_layer) entry.unlock();

    std::vector<float> own_values;
    const float* q = query_of(n, own_values);
    const float qn = node_term(n);
    int32_t e = descend(q, qn, entry_id, entry_layer, level);
    for (int32_t layer = std::min(level, entry_layer); layer >= 0; --layer) {
        FarthestFirst w = candidates_for(n, q, qn, e, ef_construction, layer);
        const LinkList own = link_on_layer(n, layer, w, worker);
        if (!own.empty()) e = own[0];
    }
    if (level > entry_layer) {
        ep_layer = level;
        ep_id = n;
    }
}

// What keep_reachable reads under PoincareBall while this thread holds `held`'s lock: that list as it
// stands, and any other only if its lock is free at once. A list it cannot read counts as having no
// links, so the mend keeps a member it would otherwise drop; waiting instead could deadlock two threads
// that each hold the list the other reads.
ListOf HyperbolicIndex::lists_while_holding(int32_t held, int32_t layer) const {
    return [this, held, layer](int32_t y, LinkList& out) {
        out.clear();
        std::unique_lock<NodeLock> hold(build_->lock(y), std::defer_lock);
        if (y != held && !hold.try_lock()) return;
        const LinkSpan now = links.at(y, layer);
        out.assign(now.begin(), now.end());
    };
}

void HyperbolicIndex::link_back(int32_t m, int32_t n, int32_t layer, bool n_needs_it, size_t worker) {
    thread_local std::vector<int32_t> members;
    const int32_t limit = link_limit(layer);
    const std::lock_guard<NodeLock> hold(build_->lock(m));
    const LinkSpan list = links.at(m, layer);
    if (holds_link(list, n)) return;  // m found this row on its own and linked it already
    if (static_cast<int64_t>(list.size()) + 1 <= limit) {
        build_->save_once(m, worker, links);
        links.append(m, layer, n);
        return;
    }
    int32_t chosen_kept = LinkTable::kUnknownKept;
    LinkList chosen = rebuilt_with(m, list, links.kept(m, layer), n, layer, members, &chosen_kept);
    if (metric == PoincareBall && keep_reachable(m, members, n, n_needs_it, lists_while_holding(m, layer), chosen))
        chosen_kept = LinkTable::kUnknownKept;
    build_->save_once(m, worker, links);
    links.set(m, layer, chosen, chosen_kept);
}

LinkList HyperbolicIndex::link_on_layer(int32_t n, int32_t layer, FarthestFirst& w, size_t worker) {
    ConcurrentBuild& build = *build_;
    const int32_t limit = link_limit(layer);
    int32_t own_kept = LinkTable::kUnknownKept;
    const Quota quota = own_quota(layer);
    const LinkList own = select_neighbours(w, quota.limit, quota.fill, &own_kept);
    {
        // Rows that found this one first have already linked to it here: they stay candidates.
        const std::lock_guard<NodeLock> hold(build.lock(n));
        build.save_once(n, worker, links);  // a node relinked by reconnect_nodes may predate the build
        LinkList pool = own;
        for (int32_t x : links.at(n, layer))
            if (!holds_link(pool, x)) pool.push_back(x);
        int32_t kept = pool.size() == own.size() ? own_kept : LinkTable::kUnknownKept;
        if (static_cast<int64_t>(pool.size()) > limit) {
            const Quota r = rebuild_quota(layer);
            LinkList merged = rebuild_links(n, pool, r.limit, r.fill, LinkTable::kUnknownKept, &kept);
            if (metric == PoincareBall && keep_reachable(n, pool, -1, false, lists_while_holding(n, layer), merged))
                kept = LinkTable::kUnknownKept;
            pool.swap(merged);
        }
        links.set(n, layer, pool, kept);
    }
    for (int32_t m : own) link_back(m, n, layer, m == own[0], worker);
    return own;
}

}  // namespace vek
