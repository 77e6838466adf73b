// The HNSW neighbour-selection heuristic, keeping pruned candidates to top the list up.
//
// The candidates are taken nearest first. Their order is that of draining the farthest-first heap and
// sorting the result with std::sort, whose order among equal distances depends on the heap's layout and
// on std::sort's steps. When no two distances are equal and none is NaN that order is the one ascending
// order, and any sort gives it; only then is the heap's layout skipped. Otherwise the heap is drained
// and sorted exactly as it always was.
//
// Whether a candidate is dominated does not depend on the order in which the kept nodes are tried, so
// the distances are computed several at a time, in groups padded with copies of the last kept node
// (whose distance is one already in the group), and each candidate's verdict is the same as one
// distance at a time would give.
#include <algorithm>
#include <cmath>

#include "core/hyperbolic_index.h"

namespace vek {

namespace {

// The entries of a priority queue in their heap layout.
struct HeapAccess : FarthestFirst {
    static std::vector<NodeDist>& entries(FarthestFirst& q) { return q.*(&HeapAccess::c); }
};

// Working storage of the selections on this thread; it only grows.
struct SelectScratch {
    std::vector<NodeDist> sorted;
    std::vector<NodeDist> discarded;
    std::vector<const float*> kept_vecs;  // the kept nodes' vectors, padded (see Kept)
    std::vector<float> kept_terms;        // and their terms
    std::vector<float> dists;
    std::vector<NodeDist> merged;
};

thread_local SelectScratch scratch;

// Sorts `count` entries ascending when their distances are pairwise distinct and none is NaN: then
// the result is what any exact sort gives. False (and `entries` in some order) otherwise. A list that
// is a few ascending runs (a rebuilt neighbour list: the kept nodes, the topped-up ones, the new one)
// is merged run by run through `merged`.
bool sort_if_distinct(NodeDist* entries, size_t count, std::vector<NodeDist>& merged) {
    constexpr size_t kMaxRuns = 6;
    size_t ends[kMaxRuns];
    size_t runs = 0;
    for (size_t i = 0; i < count; ++i) {
        if (std::isnan(entries[i].dist)) return false;
        if (i == 0 || entries[i].dist > entries[i - 1].dist) continue;
        if (entries[i].dist == entries[i - 1].dist) return false;
        if (runs < kMaxRuns) ends[runs] = i;
        ++runs;  // a descent: a run ends before i
    }
    if (runs == 0) return true;
    if (runs < kMaxRuns) {
        ends[runs++] = count;
        merged.resize(count);
        size_t done = ends[0];
        for (size_t r = 1; r < runs; ++r) {
            std::merge(entries, entries + done, entries + done, entries + ends[r], merged.data());
            done = ends[r];
            std::copy(merged.data(), merged.data() + done, entries);
        }
    } else {
        std::sort(entries, entries + count);
    }
    for (size_t i = 1; i < count; ++i)
        if (!(entries[i - 1].dist < entries[i].dist)) return false;
    return true;
}

// Drains `heap` and sorts the result: the order the selection has always used.
void drain_and_sort(FarthestFirst& heap, std::vector<NodeDist>& out) {
    out.clear();
    out.reserve(heap.size());
    while (!heap.empty()) {
        out.push_back(heap.top());
        heap.pop();
    }
    std::sort(out.begin(), out.end());
}

constexpr size_t kPad = 8;  // room after the last kept node for padding a group

// Whether one of the W nodes `v` (with terms `t`) lies strictly nearer to the query than `bound`.
template <int Metric, int W>
inline bool any_nearer(const float* query, float query_term, float bound, const float* const* v, const float* t,
                       size_t dims) {
    float sums[W];
    kernels::accumulate<Metric != Cosine, W>(query, v, dims, sums);
    bool nearer = false;
    for (int g = 0; g < W; ++g) nearer |= metric_value<static_cast<MetricKind>(Metric)>(sums[g], query_term, t[g]) < bound;
    return nearer;
}

}  // namespace

#ifndef VEK_SEL_ROWS
#define VEK_SEL_ROWS 4
#endif
#ifndef VEK_SEL_COLS
#define VEK_SEL_COLS 2
#endif

template <int Metric>
std::vector<int32_t> HyperbolicIndex::select_sorted(const NodeDist* sorted, size_t count, int M) const {
    constexpr int R = VEK_SEL_ROWS;  // candidates scored together against the first kept nodes
    constexpr int C = VEK_SEL_COLS;  // how many of the first kept nodes
    const size_t limit = M > 0 ? static_cast<size_t>(M) : 0;  // a negative limit selects nothing
    std::vector<int32_t> selected;
    selected.reserve(std::min(limit, count));
    SelectScratch& s = scratch;
    s.discarded.clear();
    const size_t room = std::min(limit, count) + kPad;
    if (s.kept_vecs.size() < room) {
        s.kept_vecs.resize(room);
        s.kept_terms.resize(room);
    }
    const float** kv = s.kept_vecs.data();
    float* kt = s.kept_terms.data();
    const size_t n = dims();
    // The kept node at position p, and copies of it as padding up to kPad places beyond.
    auto keep = [&](int32_t id, const float* v, float t) {
        const size_t p = selected.size();
        selected.push_back(id);
        for (size_t q = p; q < p + kPad; ++q) {
            kv[q] = v;
            kt[q] = t;
        }
    };

    size_t i = 0;
    if (count > 0 && limit > 0) keep(sorted[0].id, vec(sorted[0].id), node_term(sorted[0].id));
    i = 1;
    while (i < count && selected.size() < limit) {
        // Rows i .. i + rows - 1 against kept positions 0 .. C - 1 in one tile; a short last batch
        // repeats its last row.
        const size_t rows = std::min<size_t>(R, count - i);
        const float* rv[R];
        float rt[R];
        for (int r = 0; r < R; ++r) {
            const int32_t id = sorted[i + std::min<size_t>(r, rows - 1)].id;
            rv[r] = vec(id);
            rt[r] = node_term(id);
        }
        const size_t k0 = selected.size();  // at least 1: positions k0 .. C - 1 hold copies of the last
        float sums[R][C];
        kernels::accumulate_tile<Metric != Cosine, R, C>(rv, kv, n, sums);
        // Finished before any row is kept: keeping overwrites the padding the tile was scored against.
        for (int r = 0; r < R; ++r)
            for (int g = 0; g < C; ++g) sums[r][g] = metric_value<static_cast<MetricKind>(Metric)>(sums[r][g], rt[r], kt[g]);
        for (size_t r = 0; r < rows; ++r) {
            if (selected.size() >= limit) break;
            const NodeDist& c = sorted[i + r];
            bool dominated = false;
            for (int g = 0; g < C; ++g) dominated |= sums[r][g] < c.dist;
            // The kept nodes the tile did not cover, those kept by earlier rows of this batch included.
            const size_t k = selected.size();
            for (size_t j = std::min<size_t>(C, k0); j < k && !dominated;) {
                if (k - j <= 4) {
                    dominated = any_nearer<Metric, 4>(rv[r], rt[r], c.dist, kv + j, kt + j, n);
                    j += 4;
                } else {
                    dominated = any_nearer<Metric, 8>(rv[r], rt[r], c.dist, kv + j, kt + j, n);
                    j += 8;
                }
            }
            if (dominated)
                s.discarded.push_back(c);
            else
                keep(c.id, rv[r], rt[r]);
        }
        i += rows;
    }
    for (const NodeDist& c : s.discarded) {
        if (selected.size() >= limit) break;
        selected.push_back(c.id);
    }
    return selected;
}

std::vector<int32_t> HyperbolicIndex::select_in_order(const NodeDist* sorted, size_t count, int M) const {
    switch (metric) {
        case Euclidean:
            return select_sorted<Euclidean>(sorted, count, M);
        case Cosine:
            return select_sorted<Cosine>(sorted, count, M);
        case PoincareBall:
            return select_sorted<PoincareBall>(sorted, count, M);
        default:
            return select_sorted<Poincare>(sorted, count, M);
    }
}

std::vector<int32_t> HyperbolicIndex::select_neighbours(FarthestFirst& candidates, int M) const {
    std::vector<NodeDist>& sorted = scratch.sorted;
    const std::vector<NodeDist>& heap = HeapAccess::entries(candidates);
    sorted.assign(heap.begin(), heap.end());
    if (sort_if_distinct(sorted.data(), sorted.size(), scratch.merged))
        HeapAccess::entries(candidates).clear();
    else
        drain_and_sort(candidates, sorted);
    return select_in_order(sorted.data(), sorted.size(), M);
}

LinkList HyperbolicIndex::rebuild_links(int32_t m, const std::vector<int32_t>& members, int M) const {
    std::vector<float>& dists = scratch.dists;
    dists.resize(members.size());
    dist_to_nodes(vec(m), node_term(m), members.data(), members.size(), dists.data());
    std::vector<NodeDist>& sorted = scratch.sorted;
    sorted.resize(members.size());
    for (size_t j = 0; j < members.size(); ++j) sorted[j] = {dists[j], members[j]};
    if (!sort_if_distinct(sorted.data(), sorted.size(), scratch.merged)) {
        // The queue of the members pushed in list order, drained and sorted.
        FarthestFirst pool;
        for (size_t j = 0; j < members.size(); ++j) pool.push({dists[j], members[j]});
        drain_and_sort(pool, sorted);
    }
    return select_in_order(sorted.data(), sorted.size(), M);
}

}  // namespace vek
