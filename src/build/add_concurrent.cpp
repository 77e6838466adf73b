// Linked insertion of a batch on several threads at once, into one graph.
//
// Every row's records are appended first, so the stored vectors, norms and levels stay put while the
// threads link. A thread holds one node's lock at a time while it reads or rewrites that node's lists
// (walks copy a list under its lock); a row that rises above the entry point's layer holds the entry
// lock for the whole of its insertion, so the entry point moves once the row is fully linked. A list
// of a node that existed before the batch is saved the first time the batch changes it: when any row
// fails, the saved lists go back and the new rows are removed.
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
    if (threads <= 1 || !links_concurrently()) {
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
            reconnect_rows(first + start, ef_construction);
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

    const float* q = vec(n);
    const float qn = node_term(n);
    int32_t e = descend(q, qn, entry_id, entry_layer, level);
    for (int32_t layer = std::min(level, entry_layer); layer >= 0; --layer) {
        FarthestFirst w = search_layer(q, qn, e, ef_construction, layer);
        if (walk_scratch().visited(n)) remove_from(w, n);
        const LinkList own = link_on_layer(n, layer, w, worker);
        if (!own.empty()) e = own[0];
    }
    if (level > entry_layer) {
        ep_layer = level;
        ep_id = n;
    }
}

LinkList HyperbolicIndex::link_on_layer(int32_t n, int32_t layer, FarthestFirst& w, size_t worker) {
    ConcurrentBuild& build = *build_;
    const int32_t limit = link_limit(layer);
    const LinkList own = select_neighbours(w, limit);
    {
        // Rows that found this one first have already linked to it here: they stay candidates.
        const std::lock_guard<NodeLock> hold(build.lock(n));
        LinkList& list = links.at(n, layer);
        if (list.empty()) {
            list = own;
        } else {
            LinkList pool = own;
            for (int32_t x : list)
                if (!holds(pool, x)) pool.push_back(x);
            LinkList merged = static_cast<int64_t>(pool.size()) <= limit ? pool : rebuild_links(n, pool, limit);
            list.swap(merged);
        }
    }
    thread_local std::vector<int32_t> members;
    for (int32_t m : own) {
        const std::lock_guard<NodeLock> hold(build.lock(m));
        LinkList& list = links.at(m, layer);
        if (holds(list, n)) continue;  // m found this row on its own and linked it already
        build.save_once(m, worker, links);
        if (static_cast<int64_t>(list.size()) + 1 <= limit) {
            list.push_back(n);
            continue;
        }
        LinkList chosen = rebuilt_with(m, list, n, limit, members);
        list.swap(chosen);
    }
    return own;
}

// Rows inserted at the same moment do not see one another: a few near each other can end up linking
// only among themselves once the lists that held them are rebuilt, with no walk from the entry point
// reaching them. Each such row is linked again from a walk over the finished graph.
void HyperbolicIndex::reconnect_rows(size_t from, int32_t ef_construction) {
    std::vector<uint8_t> reached(size(), 0);
    std::vector<int32_t> todo;
    auto spread = [&](int32_t start) {
        reached[start] = 1;
        todo.push_back(start);
        while (!todo.empty()) {
            const int32_t x = todo.back();
            todo.pop_back();
            for (int32_t y : links.at(x, 0))
                if (!reached[y]) {
                    reached[y] = 1;
                    todo.push_back(y);
                }
        }
    };
    spread(ep_id);
    for (size_t i = from; i < size(); ++i) {
        const auto x = static_cast<int32_t>(i);
        if (reached[x]) continue;
        const float* q = vec(x);
        const float qn = node_term(x);
        FarthestFirst w = search_layer(q, qn, descend(q, qn, 0), ef_construction, 0);
        if (walk_scratch().visited(x)) remove_from(w, x);
        for (int32_t m : link_on_layer(x, 0, w, 0))
            if (reached[m] && holds(links.at(m, 0), x)) {
                spread(x);
                break;
            }
    }
}

}  // namespace vek
