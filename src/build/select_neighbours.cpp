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
//
// A list the selection wrote is its kept candidates then those that topped it up, each part nearest
// first, and the table remembers where the first part ends. When one node joins such a list and the
// list is selected again, only what the newcomer can change needs deciding: a candidate kept before
// stays kept unless a node kept now that was not kept before dominates it, and one dominated before
// stays dominated while every node kept before it still is (its dominator among them). The verdicts,
// and so the list, are those of the whole selection.
#include <algorithm>
#include <cmath>
#include <type_traits>

#include "core/hyperbolic_index.h"

namespace vek {

// A member of a list being selected again: its distance and id, and what the selection that wrote the
// list made of it.
struct Recheck {
    enum Verdict : uint8_t { Kept, Dominated, Newcomer };
    NodeDist c;
    Verdict was;
};

namespace {

// The entries of a priority queue in their heap layout.
struct HeapAccess : FarthestFirst {
    static std::vector<NodeDist>& entries(FarthestFirst& q) { return q.*(&HeapAccess::c); }
};

// Working storage of the selections on this thread; it only grows.
struct SelectScratch {
    std::vector<NodeDist> sorted;
    std::vector<NodeDist> discarded;
    std::vector<const float*> kept_vecs;   // the kept nodes' vectors, padded (see PaddedNodes)
    std::vector<float> kept_terms;         // and their terms
    std::vector<const float*> fresh_vecs;  // the same for the nodes a reselection keeps anew
    std::vector<float> fresh_terms;
    std::vector<float> dists;
    std::vector<NodeDist> merged;
    std::vector<Recheck> order;
    // Under a compressed storage: the candidates' decoded vectors by position, the list owner's, and
    // where each selected candidate stands among the candidates.
    std::vector<float> decoded;
    std::vector<float> own_values;
    std::vector<size_t> positions;
};

// The vector of the candidate at `position` (node `id`) as float32: its stored row, or decoded into
// the scratch at that position. The selection compares stored nodes with each other, and each comparison
// then reads one decoded vector against one stored row, as every distance does.
struct CandidateVectors {
    const HyperbolicIndex& index;
    float* decoded;
    CandidateVectors(const HyperbolicIndex& i, std::vector<float>& buffer, size_t count) : index(i) {
        if (index.codec().compressed() && buffer.size() < count * index.dims()) buffer.resize(count * index.dims());
        decoded = buffer.data();
    }
    const float* operator()(size_t position, int32_t id) const {
        if (!index.codec().compressed()) return index.vec(id);
        return index.decoded(id, decoded + position * index.dims());
    }
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

// Whether one of the nodes at positions from .. to - 1 of the padded arrays `v`, `t` lies strictly
// nearer to the query than `bound`.
template <int Metric>
inline bool any_nearer_among(const float* query, float query_term, float bound, const float* const* v, const float* t,
                             size_t from, size_t to, size_t dims) {
    for (size_t j = from; j < to; j += to - j <= 4 ? 4 : 8) {
        const bool nearer = to - j <= 4 ? any_nearer<Metric, 4>(query, query_term, bound, v + j, t + j, dims)
                                        : any_nearer<Metric, 8>(query, query_term, bound, v + j, t + j, dims);
        if (nearer) return true;
    }
    return false;
}

// Kept nodes' vectors and terms at positions 0, 1, ..., each followed by kPad copies of the last, so
// that groups of up to eight read from any kept position stay within what was written.
struct PaddedNodes {
    const float** vecs;
    float* terms;
    size_t count = 0;

    PaddedNodes(std::vector<const float*>& v, std::vector<float>& t, size_t room) {
        if (v.size() < room + kPad) {
            v.resize(room + kPad);
            t.resize(room + kPad);
        }
        vecs = v.data();
        terms = t.data();
    }
    void push(const float* v, float t) {
        for (size_t q = count; q < count + kPad; ++q) {
            vecs[q] = v;
            terms[q] = t;
        }
        ++count;
    }
};

// Records how many were kept, then tops the list up with the dominated ones, nearest first.
void top_up(std::vector<int32_t>& selected, const std::vector<NodeDist>& discarded, size_t fill, int32_t* kept) {
    if (kept) *kept = static_cast<int32_t>(selected.size());
    for (const NodeDist& c : discarded) {
        if (selected.size() >= fill) break;
        selected.push_back(c.id);
    }
}

}  // namespace

#ifndef VEK_SEL_ROWS
#define VEK_SEL_ROWS 4
#endif
#ifndef VEK_SEL_COLS
#define VEK_SEL_COLS 2
#endif

template <int Metric>
std::vector<int32_t> HyperbolicIndex::select_sorted(const NodeDist* sorted, size_t count, int M, int fill,
                                                     int32_t* kept) const {
    constexpr int R = VEK_SEL_ROWS;  // candidates scored together against the first kept nodes
    constexpr int C = VEK_SEL_COLS;  // how many of the first kept nodes
    const size_t limit = M > 0 ? static_cast<size_t>(M) : 0;  // a negative limit selects nothing
    std::vector<int32_t> selected;
    selected.reserve(std::min(limit, count));
    SelectScratch& s = scratch;
    s.discarded.clear();
    PaddedNodes kept_nodes(s.kept_vecs, s.kept_terms, std::min(limit, count));
    const float* const* kv = kept_nodes.vecs;
    const float* kt = kept_nodes.terms;
    const size_t n = dims();
    auto keep = [&](int32_t id, const float* v, float t) {
        selected.push_back(id);
        kept_nodes.push(v, t);
    };
    const CandidateVectors candidate(*this, s.decoded, count);

    size_t i = 0;
    if (count > 0 && limit > 0) keep(sorted[0].id, candidate(0, sorted[0].id), node_term(sorted[0].id));
    i = 1;
    while (i < count && selected.size() < limit) {
        // Rows i .. i + rows - 1 against kept positions 0 .. C - 1 in one tile; a short last batch
        // repeats its last row.
        const size_t rows = std::min<size_t>(R, count - i);
        const float* rv[R];
        float rt[R];
        for (int r = 0; r < R; ++r) {
            const size_t at = i + std::min<size_t>(r, rows - 1);
            const int32_t id = sorted[at].id;
            rv[r] = r < static_cast<int>(rows) ? candidate(at, id) : rv[r - 1];
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
            dominated = dominated ||
                        any_nearer_among<Metric>(rv[r], rt[r], c.dist, kv, kt, std::min<size_t>(C, k0), selected.size(), n);
            if (dominated)
                s.discarded.push_back(c);
            else
                keep(c.id, rv[r], rt[r]);
        }
        i += rows;
    }
    top_up(selected, s.discarded, std::min(limit, fill > 0 ? static_cast<size_t>(fill) : 0), kept);
    return selected;
}

template <int Metric>
std::vector<int32_t> HyperbolicIndex::reselect_sorted(const Recheck* order, size_t count, int M, int fill,
                                                       int32_t* kept) const {
    const size_t limit = M > 0 ? static_cast<size_t>(M) : 0;
    std::vector<int32_t> selected;
    selected.reserve(std::min(limit, count));
    SelectScratch& s = scratch;
    s.discarded.clear();
    // The kept nodes' vectors are gathered only once a full check needs them: most rechecks need none.
    PaddedNodes kept_nodes(s.kept_vecs, s.kept_terms, std::min(limit, count));
    PaddedNodes fresh_nodes(s.fresh_vecs, s.fresh_terms, std::min(limit, count));  // kept now, not before
    bool lost_one = false;  // whether a node kept before is dominated now
    const size_t n = dims();
    const CandidateVectors candidate(*this, s.decoded, count);
    std::vector<size_t>& at = s.positions;  // at[p]: the position of selected[p]
    at.clear();
    for (size_t i = 0; i < count && selected.size() < limit; ++i) {
        const Recheck& r = order[i];
        if (r.was == Recheck::Dominated && !lost_one) {
            s.discarded.push_back(r.c);
            continue;
        }
        if (r.was == Recheck::Kept && fresh_nodes.count == 0) {
            selected.push_back(r.c.id);
            at.push_back(i);
            continue;
        }
        const float* v = candidate(i, r.c.id);
        const float t = node_term(r.c.id);
        bool dominated;
        if (r.was == Recheck::Kept) {
            dominated = any_nearer_among<Metric>(v, t, r.c.dist, fresh_nodes.vecs, fresh_nodes.terms, 0, fresh_nodes.count, n);
        } else {
            for (size_t p = kept_nodes.count; p < selected.size(); ++p)
                kept_nodes.push(candidate(at[p], selected[p]), node_term(selected[p]));
            dominated = any_nearer_among<Metric>(v, t, r.c.dist, kept_nodes.vecs, kept_nodes.terms, 0, kept_nodes.count, n);
        }
        if (dominated) {
            s.discarded.push_back(r.c);
            lost_one = lost_one || r.was == Recheck::Kept;
        } else {
            selected.push_back(r.c.id);
            at.push_back(i);
            if (r.was != Recheck::Kept) fresh_nodes.push(v, t);
        }
    }
    top_up(selected, s.discarded, std::min(limit, fill > 0 ? static_cast<size_t>(fill) : 0), kept);
    return selected;
}

namespace {

// `members` (distances `dists`) as a list whose first `kept` were kept, the rest but the last dominated,
// and the last the newcomer, merged nearest first into `order`. False when two distances are equal
// or one is NaN: the full selection then decides, taking such candidates in the queue's order.
bool merge_for_recheck(const std::vector<int32_t>& members, const float* dists, size_t kept, std::vector<Recheck>& order) {
    const size_t count = members.size();
    const size_t newcomer = count - 1;
    order.resize(count);
    size_t a = 0, b = kept;
    bool placed = false;
    for (size_t out = 0; out < count; ++out) {
        size_t pick = count;
        Recheck::Verdict was = Recheck::Newcomer;
        auto consider = [&](size_t j, Recheck::Verdict v) {
            if (pick == count || dists[j] < dists[pick]) {
                pick = j;
                was = v;
            }
        };
        if (a < kept) consider(a, Recheck::Kept);
        if (b < newcomer) consider(b, Recheck::Dominated);
        if (!placed) consider(newcomer, Recheck::Newcomer);
        if (was == Recheck::Kept)
            ++a;
        else if (was == Recheck::Dominated)
            ++b;
        else
            placed = true;
        order[out] = {{dists[pick], members[pick]}, was};
        if (std::isnan(dists[pick]) || (out > 0 && !(order[out - 1].c.dist < order[out].c.dist))) return false;
    }
    return true;
}

// f(std::integral_constant<int, Metric>{}) for the index's metric.
template <class F>
decltype(auto) for_metric(MetricKind metric, F&& f) {
    switch (metric) {
        case Euclidean:
            return f(std::integral_constant<int, Euclidean>{});
        case Cosine:
            return f(std::integral_constant<int, Cosine>{});
        case PoincareBall:
            return f(std::integral_constant<int, PoincareBall>{});
        default:
            return f(std::integral_constant<int, Poincare>{});
    }
}

}  // namespace

std::vector<int32_t> HyperbolicIndex::select_in_order(const NodeDist* sorted, size_t count, int M, int fill,
                                                       int32_t* kept) const {
    return for_metric(metric, [&](auto m) { return select_sorted<decltype(m)::value>(sorted, count, M, fill, kept); });
}

std::vector<int32_t> HyperbolicIndex::reselect_in_order(const Recheck* order, size_t count, int M, int fill,
                                                         int32_t* kept) const {
    return for_metric(metric, [&](auto m) { return reselect_sorted<decltype(m)::value>(order, count, M, fill, kept); });
}

std::vector<int32_t> HyperbolicIndex::select_neighbours(FarthestFirst& candidates, int M, int fill, int32_t* kept) const {
    std::vector<NodeDist>& sorted = scratch.sorted;
    const std::vector<NodeDist>& heap = HeapAccess::entries(candidates);
    sorted.assign(heap.begin(), heap.end());
    if (sort_if_distinct(sorted.data(), sorted.size(), scratch.merged))
        HeapAccess::entries(candidates).clear();
    else
        drain_and_sort(candidates, sorted);
    return select_in_order(sorted.data(), sorted.size(), M, fill, kept);
}

LinkList HyperbolicIndex::rebuild_links(int32_t m, const std::vector<int32_t>& members, int M, int fill,
                                        int32_t members_kept, int32_t* kept) const {
    std::vector<float>& dists = scratch.dists;
    dists.resize(members.size());
    dist_to_nodes(query_of(m, scratch.own_values), node_term(m), members.data(), members.size(), dists.data());
    if (members_kept >= 0 && static_cast<size_t>(members_kept) < members.size() &&
        merge_for_recheck(members, dists.data(), static_cast<size_t>(members_kept), scratch.order))
        return reselect_in_order(scratch.order.data(), members.size(), M, fill, kept);
    std::vector<NodeDist>& sorted = scratch.sorted;
    sorted.resize(members.size());
    for (size_t j = 0; j < members.size(); ++j) sorted[j] = {dists[j], members[j]};
    if (!sort_if_distinct(sorted.data(), sorted.size(), scratch.merged)) {
        // The queue of the members pushed in list order, drained and sorted.
        FarthestFirst pool;
        for (size_t j = 0; j < members.size(); ++j) pool.push({dists[j], members[j]});
        drain_and_sort(pool, sorted);
    }
    return select_in_order(sorted.data(), sorted.size(), M, fill, kept);
}

LinkList HyperbolicIndex::rebuilt_with(int32_t m, LinkSpan list, int32_t list_kept, int32_t n, int32_t layer,
                                       std::vector<int32_t>& members, int32_t* kept) const {
    members.assign(list.begin(), list.end());
    members.push_back(n);
    const Quota q = rebuild_quota(layer);
    return rebuild_links(m, members, q.limit, q.fill, list_kept, kept);
}

}  // namespace vek
