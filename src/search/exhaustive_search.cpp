// Exhaustive search: every node in id order, screened by mask and cached norm before its distance.
//
// Nodes are scored one at a time in address order: the vectors then stream through memory as one
// sequential read; interleaving several nodes' sums (as the walks do for scattered neighbours) splits
// the stream and halves the scan rate. A node's lines are also requested a few nodes ahead, which the
// hardware prefetcher alone does not quite keep up with.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "search/tile_scan.h"
#include "search/top_k.h"

namespace vek {

namespace {

uint32_t bits_of(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}
float float_of(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

// The largest argument whose Poincare distance is at most `d`, or 0 when there is none. Arguments
// and distances are positive, so their bit patterns order like their values, and a search over the
// patterns finds the exact boundary; that arccosh of the argument never decreases makes it one
// boundary.
float largest_arg_within(float d) {
    const uint32_t first = bits_of(1.000001f);  // the smallest argument the kernel produces
    const uint32_t inf = bits_of(std::numeric_limits<float>::infinity());
    auto ok = [d](uint32_t u) { return kernels::poincare_of_arg(float_of(u)) <= d; };
    if (!ok(first)) return 0.0f;
    if (ok(inf)) return std::numeric_limits<float>::infinity();
    // Start next to the answer and gallop outwards to bracket it: lo is within, hi beyond.
    double guess = std::cosh(static_cast<double>(d));
    if (!(guess < std::numeric_limits<float>::max())) guess = std::numeric_limits<float>::max();
    uint32_t at = bits_of(static_cast<float>(guess));
    if (at < first) at = first;
    uint32_t lo, hi;
    if (ok(at)) {
        lo = at;
        uint32_t step = 1;
        while (inf - lo > step && ok(lo + step)) {
            lo += step;
            step *= 2;
        }
        hi = inf - lo > step ? lo + step : inf;
    } else {
        hi = at;
        uint32_t step = 1;
        while (hi - first > step && !ok(hi - step)) {
            hi -= step;
            step *= 2;
        }
        lo = hi - first > step ? hi - step : first;
    }
    while (hi - lo > 1) {
        const uint32_t mid = lo + (hi - lo) / 2;
        (ok(mid) ? lo : hi) = mid;
    }
    return float_of(lo);
}

constexpr int32_t kPrefetchAhead = 8;  // nodes

}  // namespace

void HyperbolicIndex::prefetch_vector(int32_t node) const {
    const char* p = reinterpret_cast<const char*>(vec(node));
    for (size_t off = 0; off < dims() * sizeof(float); off += 64) _mm_prefetch(p + off, _MM_HINT_T0);
}

// One query's part of a scan: its k nearest so far and, under the Poincare metric, the largest
// argument that could still change them.
struct HyperbolicIndex::ScanRow {
    const float* query;
    float term;
    TopK best;
    float limit = 0.0f;
    float limit_for = std::numeric_limits<float>::quiet_NaN();  // the farthest kept distance `limit` belongs to

    ScanRow(const float* q, float t, int32_t k) : query(q), term(t), best(k) {}
};

// Under the Poincare metric the logarithm dominates a node's cost, so nodes are ranked by the argument
// of arccosh and the distance is taken only when the node could change the kept set: one whose
// argument lies beyond `limit` has a distance strictly beyond every kept one, and the heap is known
// to ignore such a newcomer.
void HyperbolicIndex::offer_scored(ScanRow& row, const Filter& filter, float sum, int32_t node) const {
    float d;
    if (metric == Poincare) {
        const float t = kernels::poincare_arg(sum, row.term, node_norm(node));
        if (row.best.ignores_beyond_farthest()) {
            const float top = row.best.farthest();
            if (!(top == row.limit_for)) {
                row.limit = largest_arg_within(top);
                row.limit_for = top;
            }
            if (t > row.limit) return;
        }
        d = kernels::poincare_of_arg(t);
    } else {
        d = from_sum(sum, row.term, node);
    }
    if (filter.within(d)) row.best.offer({d, node});
}

std::vector<NodeDist> HyperbolicIndex::exhaustive_search(const float* query, float query_term, int32_t k,
                                                         const Filter& filter) const {
    const int32_t n = static_cast<int32_t>(size());
    if (n == 0) return {};
    if (k < 0) throw std::invalid_argument("negative k");
    if (k == 0) return {};

    ScanRow row(query, query_term, k);
    for (int32_t i = 0; i < n; ++i) {
        if (i + kPrefetchAhead < n) prefetch_vector(i + kPrefetchAhead);
        if (!filter.screen(masks[i], stored_norms[i])) continue;
        offer_scored(row, filter, raw_sum(query, i), i);
    }
    return row.best.drain_ascending();
}

void HyperbolicIndex::exhaustive_search_batch(const float* queries, const float* query_terms, size_t m,
                                              int32_t k, const Filter& filter,
                                              std::vector<NodeDist>* results) const {
    const size_t n = size();
    if (n != 0 && k < 0) throw std::invalid_argument("negative k");
    std::vector<int32_t> ids;
    std::vector<ScanRow> rows;
    if (n != 0 && k != 0 && m != 0) {
        ids.reserve(n);
        for (size_t i = 0; i < n; ++i)
            if (filter.screen(masks[i], stored_norms[i])) ids.push_back(static_cast<int32_t>(i));
        rows.reserve(m);
        for (size_t q = 0; q < m; ++q) rows.emplace_back(queries + q * dims(), query_terms[q], k);
        std::vector<const float*> queries_of(m);
        for (size_t q = 0; q < m; ++q) queries_of[q] = rows[q].query;
        auto offer = [&](size_t q, float sum, int32_t node) { offer_scored(rows[q], filter, sum, node); };
        if (metric == Cosine)
            scan_tiles<false>(*this, queries_of.data(), m, ids.data(), ids.size(), offer);
        else
            scan_tiles<true>(*this, queries_of.data(), m, ids.data(), ids.size(), offer);
    }
    for (size_t q = 0; q < m; ++q) results[q] = rows.empty() ? std::vector<NodeDist>{} : rows[q].best.drain_ascending();
}

}  // namespace vek
