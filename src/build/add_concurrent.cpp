// Linked insertion of a batch on several threads at once, into one graph.
//
// Every row's records are appended first, so the stored vectors, norms and levels stay put while the
// threads link. A thread holds one node's lock at a time while it reads or rewrites that node's lists
// (walks copy a list under its lock); a row that rises above the entry point's layer holds the entry
// lock for the whole of its insertion, so the entry point moves once the row is fully linked. A list
// of a node that existed before the batch is saved the first time the batch changes it: when any row
// fails, the saved lists go back and the new rows are removed. Under PoincareBall a rebuild that may
// drop a link also holds the one mend lock (see link_concurrently).
#include <algorithm>

#include "build/concurrent_build.h"
#include "core/growth.h"
#include "core/parallel_for.h"
#include "search/walk.h"

namespace vek {

namespace {

bool holds(const LinkList& list, int32_t id) { return std::find(list.begin(), list.end(), id) != list.end(); }

// Drops `id` from a farthest-first heap: another thread may already have linked the row being inserted
// to nodes this walk passed, and the walk then finds the row itself.
void remove_from(FarthestFirst& heap, int32_t id) {
    std::vector<NodeDist> kept = drain(heap);
    kept.erase(std::remove_if(kept.begin(), kept.end(), [id](const NodeDist& e) { return e.id == id; }),
               kept.end());
    for (const NodeDist& e : kept) heap.push(e);
}

}  // namespace

void HyperbolicIndex::add_linked_batch(const float* rows, const uint64_t* row_masks, const double* factors,
                                       size_t count, int32_t ef_construction, int threads) {
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
        reserve_for(vectors, (count - start) * d);  // geometric: slices follow one another
        for (size_t i = start; i < count; ++i) append_node(rows + i * d, row_masks[i], draw_level(), factor_of(i));

        ConcurrentBuild build(size(), first, static_cast<size_t>(threads));
        build_ = &build;
        try {
            parallel_for(count - start, threads, [&](size_t i, size_t worker) {
                link_concurrently(static_cast<int32_t>(first + start + i), ef_construction, worker);
            });
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

    // Before the first change to a node that existed before the batch, its lists are kept aside.
    auto save_once = [&](int32_t node) {
        if (static_cast<size_t>(node) >= build.touched.size() || build.touched[node]) return;
        build.saved[worker].save(node, links);
        build.touched[node] = 1;
    };

    // Under PoincareBall a list may lose a member only while this thread holds the mend lock, so each
    // mend sees every other removal done. It reads the lists around it under their own locks; the only
    // thread that waits for a node lock while holding another is the one with the mend lock.
    const bool mends = metric == PoincareBall;
    const auto lists_now = [&](int32_t known, const LinkList& known_list, int32_t layer) {
        return ListOf([&, known, layer](int32_t y, LinkList& out) {
            if (y == known) {
                out = known_list;  // held, or frozen under the mend lock
                return;
            }
            const std::lock_guard<NodeLock> hold(build.lock(y));
            out = links.at(y, layer);
        });
    };
    // The row's own list at a layer. Rows that found it first have already linked to it there: they
    // stay candidates, and a merge that drops one waits for the mend lock under PoincareBall.
    const auto set_own = [&](int32_t layer, int32_t limit, const LinkList& own, std::vector<int32_t>& members) {
        std::unique_lock<NodeLock> mend(build.mend_lock, std::defer_lock);
        for (;;) {
            {
                const std::lock_guard<NodeLock> hold(build.lock(n));
                LinkList& list = links.at(n, layer);
                if (list.empty()) {
                    list = own;
                    return;
                }
                members.assign(own.begin(), own.end());
                for (int32_t x : list)
                    if (!holds(own, x)) members.push_back(x);
                if (static_cast<int64_t>(members.size()) <= limit) {
                    list.assign(members.begin(), members.end());
                    return;
                }
                if (!mends || mend.owns_lock()) {
                    LinkList merged = rebuild_links(n, members, limit);
                    if (mends) keep_reachable(n, members, -1, false, lists_now(n, list, layer), merged);
                    list.swap(merged);
                    return;
                }
            }
            mend.lock();  // before the node lock, then look again
        }
    };
    // The link from m back to the row under PoincareBall. The selection runs on a copy of m's list with
    // no lock held; a full list cannot change while the mend lock is held (growing it would need that
    // lock too), so under it the copy is checked once, mended and committed, and the selection is only
    // redone when another row rebuilt the list in between.
    const auto link_back_mended = [&](int32_t m, int32_t layer, int32_t limit, bool nearest,
                                      std::vector<int32_t>& members) {
        LinkList seen;
        for (;;) {
            {
                const std::lock_guard<NodeLock> hold(build.lock(m));
                LinkList& list = links.at(m, layer);
                if (holds(list, n)) return;
                if (static_cast<int64_t>(list.size()) + 1 <= limit) {
                    save_once(m);
                    list.push_back(n);
                    return;
                }
                seen = list;
            }
            LinkList chosen = rebuilt_with(m, seen, n, limit, members);
            const std::lock_guard<NodeLock> mend(build.mend_lock);
            {
                const std::lock_guard<NodeLock> hold(build.lock(m));
                if (links.at(m, layer) != seen) continue;
            }
            keep_reachable(m, members, n, nearest, lists_now(m, seen, layer), chosen);
            const std::lock_guard<NodeLock> hold(build.lock(m));
            save_once(m);
            links.at(m, layer).swap(chosen);
            return;
        }
    };

    const float* q = vec(n);
    const float qn = node_term(n);
    std::vector<int32_t> members;
    int32_t e = descend(q, qn, entry_id, entry_layer, level);
    for (int32_t layer = std::min(level, entry_layer); layer >= 0; --layer) {
        const int32_t limit = link_limit(layer);
        FarthestFirst w = search_layer(q, qn, e, ef_construction, layer);
        if (walk_scratch().visited(n)) remove_from(w, n);
        const LinkList own = select_neighbours(w, limit);
        set_own(layer, limit, own, members);
        for (int32_t m : own) {
            if (mends) {
                link_back_mended(m, layer, limit, m == own[0], members);
                continue;
            }
            const std::lock_guard<NodeLock> hold(build.lock(m));
            LinkList& list = links.at(m, layer);
            if (holds(list, n)) continue;  // m found this row on its own and linked it already
            save_once(m);
            if (static_cast<int64_t>(list.size()) + 1 <= limit) {
                list.push_back(n);
                continue;
            }
            LinkList chosen = rebuilt_with(m, list, n, limit, members);
            list.swap(chosen);
        }
        if (!own.empty()) e = own[0];
    }
    if (level > entry_layer) {
        ep_layer = level;
        ep_id = n;
    }
}

}  // namespace vek
