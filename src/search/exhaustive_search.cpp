// Exhaustive search: every node in id order (or an allow-list's nodes), screened by mask and cached norm
// before its distance.
//
// Nodes are scored one at a time in address order: the vectors then stream through memory as one
// sequential read; interleaving several nodes' sums (as the walks do for scattered neighbours) splits
// the stream and halves the scan rate. A node's lines are also requested a few nodes ahead, which the
// hardware prefetcher alone does not quite keep up with.
#include <algorithm>
#include <array>
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

// How far ahead of the scan a node's lines are requested: about 10 KiB. On a Zen 5 EPYC 4 KiB left a
// sixth of the read rate unused; 8 to 16 KiB came within a few per cent of each other.
constexpr size_t kPrefetchBytes = 10 << 10;

// f(std::integral_constant<MetricKind, metric>{}): one instantiation of a scan per metric.
template <class F>
void for_metric(MetricKind metric, F&& f) {
    switch (metric) {
        case Euclidean:
            return f(std::integral_constant<MetricKind, Euclidean>{});
        case Cosine:
            return f(std::integral_constant<MetricKind, Cosine>{});
        case PoincareBall:
            return f(std::integral_constant<MetricKind, PoincareBall>{});
        default:
            return f(std::integral_constant<MetricKind, Poincare>{});
    }
}

}  // namespace

// One query's part of a scan: its k nearest so far and, under the Poincare metric, the largest
// argument that could still change them.
struct HyperbolicIndex::ScanRow {
    const float* query;
    float term;
    TopK best;
    float limit = 0.0f;
    float limit_for = std::numeric_limits<float>::quiet_NaN();  // the farthest kept distance `limit` belongs to
    // A pair whose screened value is strictly above this cannot change the row: the heap would ignore it
    // or the radius refuse it. Kept current by rebound() after every offer of a batch scan.
    float bound = std::numeric_limits<float>::infinity();
    // On an index with remainders (`exact`): the query's (null for zeros), and what a float32 key can lie
    // below the exact one in the units of the key's square root; the float32 keys are screened against
    // `bound` widened by that.
    bool exact = false;
    const float* remainder = nullptr;
    double reach = 0.0;
    double slack = 0.0;
    float screen_bound = std::numeric_limits<float>::infinity();

    ScanRow(const float* q, float t, int32_t k) : query(q), term(t), best(k) {}

    // `limit` for the current farthest distance; only while the heap ignores what lies beyond it.
    float arg_limit() {
        const float top = best.farthest();
        if (!(top == limit_for)) {
            limit = largest_arg_within(top);
            limit_for = top;
        }
        return limit;
    }

    // Under Poincare the bound is on the argument of arccosh, which the radius (a distance) is not.
    void rebound(MetricKind metric, const Filter& filter) {
        bound = std::numeric_limits<float>::infinity();
        if (best.ignores_beyond_farthest()) bound = metric == Poincare ? arg_limit() : best.farthest();
        if (metric != Poincare && filter.radius_on && filter.radius < bound) bound = filter.radius;
        screen_bound = exact ? widened(bound) : bound;
    }

    // A float32 sum misses the exact one by at most the two remainders' norms in its square root, and
    // its own rounding by `slack` relative; the key's product rounds the same way on both sides.
    float widened(float b) const {
        if (!(b < std::numeric_limits<float>::infinity())) return b;
        const double root = std::sqrt(static_cast<double>(b) * (1.0 + 0x1p-20)) + reach;
        const float wide = static_cast<float>(root * root * (1.0 + slack));
        return std::nextafter(wide, std::numeric_limits<float>::infinity());
    }
};

// Under the Poincare metric the logarithm dominates a node's cost, so nodes are ranked by the argument
// of arccosh and the distance is taken only when the node could change the kept set: one whose
// argument lies beyond `limit` has a distance strictly beyond every kept one, and the heap is known
// to ignore such a newcomer.
void HyperbolicIndex::offer_scored(ScanRow& row, const Filter& filter, float sum, int32_t node) const {
    float d;
    if (metric == Poincare) {
        const float t = kernels::poincare_arg(sum, row.term, node_norm(node));
        if (row.best.ignores_beyond_farthest() && t > row.arg_limit()) return;
        d = kernels::poincare_of_arg(t);
    } else {
        d = from_sum(sum, row.term, node);
    }
    if (filter.within(d)) row.best.offer({d, node});
}

namespace {

// The nodes a screened scan considers, in ascending order: the allow-list's, or every node.
size_t candidate_count(const Filter& filter, size_t n) {
    return filter.allowed_nodes != nullptr ? filter.allowed_count : n;
}

// visit(node) for each candidate from..to-1 (positions as candidate_count counts them) that passes the
// screen.
template <class Visit>
void for_screened(const Filter& filter, const uint64_t* masks, const float* norms, size_t from, size_t to,
                  Visit&& visit) {
    for (size_t j = from; j < to; ++j) {
        const size_t i = filter.allowed_nodes != nullptr ? static_cast<size_t>(filter.allowed_nodes[j]) : j;
        if (filter.screen(i, masks[i], norms[i])) visit(static_cast<int32_t>(i));
    }
}

// What a batch scan compares with a row's bound: the metric's value, under Poincare the argument of
// arccosh (what offer_scored compares with the row's limit).
template <MetricKind Metric>
float screened(float sum, float query_term, float node_term) {
    if constexpr (Metric == Poincare)
        return kernels::poincare_arg(sum, query_term, node_term);
    else
        return metric_value<Metric>(sum, query_term, node_term);
}
template <MetricKind Metric>
__m256 screened8(__m256 sum, __m256 query_terms, __m256 node_terms) {
    if constexpr (Metric == Euclidean)
        return sum;
    else if constexpr (Metric == Cosine)
        return kernels::cosine8(sum, query_terms, node_terms);
    else if constexpr (Metric == PoincareBall)
        return kernels::ball_key8(sum, query_terms, node_terms);
    else
        return kernels::poincare_arg8(sum, query_terms, node_terms);
}

}  // namespace

std::vector<HyperbolicIndex::ScanRow> HyperbolicIndex::scan_rows(const float* queries, const float* query_terms,
                                                                  size_t m, int32_t k, const Filter& filter,
                                                                  const float* query_remainders) const {
    std::vector<ScanRow> rows;
    rows.reserve(m);
    const bool exact = has_remainders();
    const double terms_max = exact ? *std::max_element(inv_factors.begin(), inv_factors.end()) : 0.0;
    for (size_t q = 0; q < m; ++q) {
        rows.emplace_back(queries + q * dims(), query_terms[q], k);
        ScanRow& row = rows.back();
        if (exact) {
            row.exact = true;
            row.remainder = query_remainders != nullptr ? query_remainders + q * dims() : nullptr;
            double own = 0.0;
            for (size_t j = 0; row.remainder != nullptr && j < dims(); ++j)
                own += static_cast<double>(row.remainder[j]) * row.remainder[j];
            // In key units a difference counts sqrt(query term * node term) times, at most the largest term.
            row.reach = (std::sqrt(own) + remainder_reach) * (1.0 + 0x1p-20) *
                        std::sqrt(static_cast<double>(row.term) * terms_max * (1.0 + 0x1p-20));
            row.slack = static_cast<double>(dims() + 32) * 0x1p-22;
        }
        row.rebound(metric, filter);
    }
    return rows;
}

template <MetricKind Metric>
bool HyperbolicIndex::settle(ScanRow& row, float& sum, float node_term, int32_t node) const {
    if (screened<Metric>(sum, row.term, node_term) > row.screen_bound) return false;
    if constexpr (Metric == PoincareBall) {
        if (row.exact) {
            sum = kernels::split_l2sq(row.query, row.remainder, vec(node), remainder(node), dims());
            return !(screened<Metric>(sum, row.term, node_term) > row.bound);
        }
    }
    return true;
}

std::vector<NodeDist> HyperbolicIndex::exhaustive_search(const float* query, float query_term, int32_t k,
                                                         const Filter& filter, const float* query_remainder) const {
    const int32_t n = static_cast<int32_t>(size());
    if (n == 0) return {};
    if (k < 0) throw std::invalid_argument("negative k");
    if (k == 0) return {};

    ScanRow row = std::move(scan_rows(query, &query_term, 1, k, filter, query_remainder)[0]);
    const bool screen = !filter.screens_nothing();
    for_metric(metric, [&](auto kind) {
        constexpr MetricKind M = decltype(kind)::value;
        screen ? scan_one<M, true>(row, filter) : scan_one<M, false>(row, filter);
    });
    return row.best.drain_ascending();
}

// As the batch scan does, a pair beyond the row's bound is passed over before offer_scored. Without
// Screen the masks and norms are not read: under squared Euclidean the vectors are then the scan's one
// stream from memory, and two more small streams beside it cost about a fifth of the scan's rate.
template <MetricKind Metric, bool Screen>
void HyperbolicIndex::scan_one(ScanRow& row, const Filter& filter) const {
    codec_.visit([&](const auto& rows) { scan_one<Metric, Screen>(row, filter, rows); });
}

template <MetricKind Metric, bool Screen, class Rows>
void HyperbolicIndex::scan_one(ScanRow& row, const Filter& filter, const Rows& rows) const {
    const int32_t n = static_cast<int32_t>(size());
    const size_t bytes = std::max<size_t>(1, row_bytes());
    const int32_t ahead = static_cast<int32_t>(std::max<size_t>(2, kPrefetchBytes / bytes));
    auto score = [&](int32_t i) {
        float sum = kernels::accumulate_one<Metric != Cosine>(row.query, row_of<Rows>(vec(i)), dims(), rows);
        if (!settle<Metric>(row, sum, Metric == Euclidean ? 0.0f : node_term(i), i)) return;
        offer_scored(row, filter, sum, i);
        row.rebound(Metric, filter);
    };
    if constexpr (!Screen) {
        for (int32_t i = 0; i < n; ++i) {
            if (i + ahead < n) prefetch_vector(i + ahead);
            score(i);
        }
    } else {
        // The screen runs ahead over a stretch of nodes and only the vectors of those that pass are
        // requested and read: under a selective filter the scan then costs the masks, not the vectors.
        // An allow-list is the stretch's source instead of every node.
        constexpr int32_t kStretch = 1024;
        std::array<int32_t, kStretch> passing;
        const size_t total = candidate_count(filter, static_cast<size_t>(n));
        for (size_t from = 0; from < total; from += kStretch) {
            int32_t count = 0;
            for_screened(filter, masks.data(), stored_norms.data(), from, std::min(total, from + kStretch),
                         [&](int32_t i) { passing[count++] = i; });
            for (int32_t j = 0; j < std::min(ahead, count); ++j) prefetch_vector(passing[j]);
            for (int32_t j = 0; j < count; ++j) {
                if (j + ahead < count) prefetch_vector(passing[j + ahead]);
                score(passing[j]);
            }
        }
    }
}

// Nearly every pair of a full scan lies beyond its row's bound, so a tile of rows by two nodes is first
// screened whole, eight values at a time against the rows' bounds (four rows in one comparison, a last
// pair of rows in both halves of one); only a tile with a pair on or within its bound (or NaN) is looked
// at pair by pair, each against its row's bound as it stands after the pairs before it, and only those
// pairs go through offer_scored.
template <MetricKind Metric>
void HyperbolicIndex::scan_batch(ScanRow* rows, size_t m, const int32_t* ids, const float* terms, size_t count,
                                 const Filter& filter) const {
    std::vector<const float*> queries(m);
    for (size_t q = 0; q < m; ++q) queries[q] = rows[q].query;
    // Lane 2r + v of a block holds the pair of its row r and node v; a block of two rows fills both halves.
    auto lanes = [](const ScanRow* own, int rows_in_block, float ScanRow::*field) {
        const int r2 = rows_in_block == 4 ? 2 : 0, r3 = rows_in_block == 4 ? 3 : 1;
        return _mm256_setr_ps(own[0].*field, own[0].*field, own[1].*field, own[1].*field, own[r2].*field,
                              own[r2].*field, own[r3].*field, own[r3].*field);
    };
    auto tiler = [&, this](auto group, size_t q0) {
        constexpr int Q = decltype(group)::value;
        constexpr int kFull = Q / 4, kBlocks = kFull + (Q % 4) / 2, kScreened = kFull * 4 + (kBlocks - kFull) * 2;
        ScanRow* const own = rows + q0;
        struct Block {
            __m256 query_terms, bounds;
        };
        std::array<Block, kBlocks> blocks;
        auto rebound_lanes = [own, &lanes](std::array<Block, kBlocks>& into, bool terms_too) {
            for (int b = 0; b < kBlocks; ++b) {
                const int size = b < kFull ? 4 : 2;
                if (terms_too) into[b].query_terms = lanes(own + 4 * b, size, &ScanRow::term);
                into[b].bounds = lanes(own + 4 * b, size, &ScanRow::screen_bound);
            }
        };
        rebound_lanes(blocks, true);
        return [this, own, ids, terms, &filter, rebound_lanes, blocks](size_t at, const auto& sums) mutable {
            auto node_term_at = [terms](size_t j) { return Metric == Euclidean ? 0.0f : terms[j]; };
            constexpr int N = std::extent_v<std::remove_reference_t<decltype(sums)>, 1>;
            if constexpr (N == 2 && kBlocks > 0) {
                __m256 node_terms = _mm256_setzero_ps();
                if constexpr (Metric != Euclidean) {
                    const __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(terms + at));
                    node_terms = _mm256_castsi256_ps(_mm256_broadcastq_epi64(two));
                }
                bool beyond = true;
                for (int b = 0; b < kBlocks && beyond; ++b) {
                    const float* first = &sums[4 * b][0];
                    const __m256 raw = b < kFull ? _mm256_loadu_ps(first)
                                                 : _mm256_broadcast_ps(reinterpret_cast<const __m128*>(first));
                    const __m256 values = screened8<Metric>(raw, blocks[b].query_terms, node_terms);
                    beyond = _mm256_movemask_ps(_mm256_cmp_ps(values, blocks[b].bounds, _CMP_GT_OQ)) == 0xFF;
                }
                if constexpr (kScreened < Q) {
                    const ScanRow& last = own[Q - 1];
                    for (int v = 0; v < N && beyond; ++v)
                        beyond = screened<Metric>(sums[Q - 1][v], last.term, node_term_at(at + v)) > last.screen_bound;
                }
                if (beyond) return;
            }
            bool offered = false;
            for (int v = 0; v < N; ++v) {
                const float node_term = node_term_at(at + v);
                for (int q = 0; q < Q; ++q) {
                    ScanRow& row = own[q];
                    float sum = sums[q][v];
                    if (!settle<Metric>(row, sum, node_term, ids[at + v])) continue;
                    offer_scored(row, filter, sum, ids[at + v]);
                    row.rebound(Metric, filter);
                    offered = true;
                }
            }
            if (offered) rebound_lanes(blocks, false);
        };
    };
    scan_tiles<Metric != Cosine>(*this, queries.data(), m, ids, count, tiler);
}

void HyperbolicIndex::exhaustive_search_batch(const float* queries, const float* query_terms, size_t m,
                                              int32_t k, const Filter& filter, std::vector<NodeDist>* results,
                                              const float* query_remainders) const {
    const size_t n = size();
    if (n != 0 && k < 0) throw std::invalid_argument("negative k");
    // A lone query gains nothing from tiles, and its one stream of vectors from memory is best read in
    // order with the lines requested ahead.
    if (m == 1) {
        results[0] = exhaustive_search(queries, query_terms[0], k, filter, query_remainders);
        return;
    }
    std::vector<ScanRow> rows;
    if (n != 0 && k != 0 && m != 0) {
        std::vector<int32_t> ids;
        std::vector<float> terms;  // each screened node's term, next to its id
        const size_t total = candidate_count(filter, n);
        ids.reserve(total);
        for_screened(filter, masks.data(), stored_norms.data(), 0, total, [&](int32_t i) { ids.push_back(i); });
        if (metric != Euclidean) {
            terms.resize(ids.size());
            for (size_t j = 0; j < ids.size(); ++j)
                terms[j] = metric == PoincareBall ? inv_factors[ids[j]] : node_norm(ids[j]);
        }
        rows = scan_rows(queries, query_terms, m, k, filter, query_remainders);
        for_metric(metric, [&](auto kind) {
            scan_batch<decltype(kind)::value>(rows.data(), m, ids.data(), terms.data(), ids.size(), filter);
        });
    }
    for (size_t q = 0; q < m; ++q) results[q] = rows.empty() ? std::vector<NodeDist>{} : rows[q].best.drain_ascending();
}

}  // namespace vek
