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
};

thread_local SelectScratch scratch;

// Sorts `count` entries ascending when their distances are pairwise distinct and none is NaN: then
// the result is what any exact sort gives. False (and `entries` in some order) otherwise.
bool sort_if_distinct(NodeDist* entries, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (std::isnan(entries[i].dist)) return false;
    std::sort(entries, entries + count);
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

// The distance of Part 2.2 from its sum and the two nodes' terms (the query's first), as from_sum gives it.
template <int Metric>
inline float finish(float sum, float query_term, float node_term) {
    if constexpr (Metric == Euclidean)
        return sum;
    else if constexpr (Metric == Cosine)
        return kernels::cosine(sum, query_term, node_term);
    else if constexpr (Metric == PoincareBall)
        return sum * (query_term * node_term);
    else
        return kernels::poincare(sum, query_term, node_term);
}

// Whether one of the W nodes `v` (with terms `t`) lies strictly nearer to the query than `bound`.
template <int Metric, int W>
inline bool any_nearer(const float* query, float query_term, float bound, const float* const* v, const float* t,
                       size_t dims) {
    float sums[W];
    kernels::accumulate<Metric != Cosine, W>(query, v, dims, sums);
    bool nearer = false;
    for (int g = 0; g < W; ++g) nearer |= finish<Metric>(sums[g], query_term, t[g]) < bound;
    return nearer;
}

}  // namespace

template <int Metric>
std::vector<int32_t> HyperbolicIndex::select_sorted(const NodeDist* sorted, size_t count, int M) const {
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

    for (size_t i = 0; i < count; ++i) {
        const NodeDist& c = sorted[i];
        if (selected.size() >= limit) break;
        const float* cv = vec(c.id);
        const float ct = node_term(c.id);
        const size_t k = selected.size();
        bool dominated = false;
        for (size_t j = 0; j < k && !dominated;) {
            if (j == 0 || k - j <= 4) {
                dominated = any_nearer<Metric, 4>(cv, ct, c.dist, kv + j, kt + j, n);
                j += 4;
            } else {
                dominated = any_nearer<Metric, 8>(cv, ct, c.dist, kv + j, kt + j, n);
                j += 8;
            }
        }
        if (dominated) {
            s.discarded.push_back(c);
            continue;
        }
        selected.push_back(c.id);
        // The kept node, and copies of it as padding up to kPad places beyond.
        for (size_t p = k; p < k + kPad; ++p) {
            kv[p] = cv;
            kt[p] = ct;
        }
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
    if (sort_if_distinct(sorted.data(), sorted.size()))
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
    if (!sort_if_distinct(sorted.data(), sorted.size())) {
        // The queue of the members pushed in list order, drained and sorted.
        FarthestFirst pool;
        for (size_t j = 0; j < members.size(); ++j) pool.push({dists[j], members[j]});
        drain_and_sort(pool, sorted);
    }
    return select_in_order(sorted.data(), sorted.size(), M);
}

}  // namespace vek
