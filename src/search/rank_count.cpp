#include "search/rank_count.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "search/tile_scan.h"

namespace vek {

namespace {

// Margins in the square root of the float64 key, sqrt(K) with K = |u - v|^2 / (f_u f_v), about half
// the distance for near nodes: beyond them two keys give distinct float64 distances however the
// formula rounds (it rounds 1 + 2K to 53 bits and its sums differ from the exact ones by ~1e-15).
constexpr double kRelativeMargin = 1e-9;
constexpr double kAbsoluteMargin = 1e-7;
// Past this relative key error the bounds say nothing: every node is measured in float64.
constexpr double kUselessSlack = 0.25;

// How many entries of the ascending a[0, n) lie below k (or at k too, when AtToo). The halving runs a
// number of steps fixed by n, with the comparisons as conditional moves: where the nodes fall among
// the positives is unpredictable, and a branch per step would mispredict about half the time.
template <bool AtToo>
size_t count_below(const double* a, size_t n, double k) {
    if (n == 0) return 0;
    const double* base = a;
    for (size_t len = n; len > 1;) {
        const size_t half = len / 2;
        const bool below = AtToo ? base[half] <= k : base[half] < k;
        base += below ? half : 0;
        len -= half;
    }
    return static_cast<size_t>(base - a) + (AtToo ? *base <= k : *base < k);
}

}  // namespace

// One query's part of a block: its positives nearest first with the key interval, in the engine's
// keys, outside which a node is surely nearer or surely not; and what the scan has counted so far.
struct RankCounter::Row {
    const float* query;
    float term;
    const double* exact;
    double factor;
    const int32_t* positives;  // ascending ids
    size_t count;
    size_t next = 0;  // the first positive not below the last node placed (nodes come in id order)
    std::vector<size_t> by_key;  // positive indices, nearest first
    std::vector<double> lo, hi, dist;  // per positive, in by_key order
    float hi_float = -std::numeric_limits<float>::infinity();  // hi.back() rounded up
    std::vector<int64_t> sure;   // sure[j]: nodes surely nearer than positives j and after
    std::vector<int64_t> close;  // per positive: nodes too close to call and nearer by float64
};

// Bounds of the key error. The engine's key is fl(fl(s) * fl(t_q * t_v)): s the float32 sum of d
// squared differences of float32 values, within (d + 16) 2^-23 of |u' - v'|^2 relatively (all terms are
// positive) plus (d + 16) 2^-150 where values underflow; t the stored 1 / factor, each within
// `term_error` of 1 / f, measured here against the factors computed from the float64 values. So the key
// is A^2 / (f_q f_v) (1 + delta), A = |u' - v'|, |delta| below key_slack_ (with a margin of two).
RankCounter::RankCounter(const HyperbolicIndex& index, size_t n, const double* exact)
    : index_(index), n_(n), exact_(exact), every_(n), factors_(n), rounding_(n) {
    if (index.metric_kind() != PoincareBall) throw std::invalid_argument("rank counts need the poincare metric");
    if (n > index.size()) throw std::invalid_argument("more vectors than the index holds");
    const size_t d = index.dims();
    const auto& terms = index.ball_terms();
    double term_error = 0.0;
    for (size_t v = 0; v < n; ++v) {
        const double* x = exact + v * d;
        const float* stored = index.vec(static_cast<int32_t>(v));
        double sq = 0.0, moved = 0.0;
        for (size_t c = 0; c < d; ++c) {
            const float rounded = static_cast<float>(x[c]);
            if (!(rounded == stored[c]))
                throw std::invalid_argument("vector " + std::to_string(v) +
                                            " is not the float64 value of the index's vector");
            const double t = x[c] - static_cast<double>(rounded);
            sq += x[c] * x[c];
            moved += t * t;
        }
        const double f = 1.0 - sq;
        if (!(f > 0.0)) throw std::invalid_argument("vector " + std::to_string(v) + " lies outside the unit ball");
        every_[v] = static_cast<int32_t>(v);
        factors_[v] = f;
        rounding_[v] = std::sqrt(moved);
        worst_rounding_ = std::max(worst_rounding_, rounding_[v]);
        least_factor_ = std::min(least_factor_, f);
        term_error = std::max(term_error, std::fabs(static_cast<double>(terms[v]) * f - 1.0));
    }
    key_slack_ = 4.0 * term_error + static_cast<double>(d + 16) * 0x1p-21;
}

double RankCounter::exact_distance(const Row& row, int32_t node, double* key) const {
    const size_t d = index_.dims();
    const double* x = exact_ + static_cast<size_t>(node) * d;
    double sq = 0.0;
    for (size_t c = 0; c < d; ++c) {
        const double t = row.exact[c] - x[c];
        sq += t * t;
    }
    const double den = row.factor * factors_[node];
    *key = sq / den;
    return std::acosh(1.0 + 2.0 * sq / den);
}

// In r = sqrt(K): the float32 copies lie within e (the query's rounding plus the worst node's) of the
// float64 points, so A and |u - v| differ by at most e, and r by at most e / sqrt(f_q f_min); with the
// key error, a node's r lies in [sqrt(key / (1 + slack)), sqrt(key / (1 - slack))] widened by that.
RankCounter::Row RankCounter::prepare(const RankRows& rows, size_t r) const {
    const int32_t q = rows.children[r];
    const size_t first = static_cast<size_t>(rows.starts[r]);
    Row row;
    row.query = index_.vec(q);
    row.term = index_.ball_terms()[q];
    row.exact = exact_ + static_cast<size_t>(q) * index_.dims();
    row.factor = factors_[q];
    row.positives = rows.positives + first;
    row.count = static_cast<size_t>(rows.starts[r + 1]) - first;
    std::vector<double> key(row.count), dist(row.count);
    for (size_t i = 0; i < row.count; ++i) dist[i] = exact_distance(row, row.positives[i], &key[i]);
    row.by_key.resize(row.count);
    std::iota(row.by_key.begin(), row.by_key.end(), size_t{0});
    std::stable_sort(row.by_key.begin(), row.by_key.end(), [&](size_t a, size_t b) { return key[a] < key[b]; });

    const double spread = row.factor * least_factor_;
    const double underflow = static_cast<double>(index_.dims() + 16) * 0x1p-149 / spread;
    const double reach = (rounding_[q] + worst_rounding_) * (1.0 + 0x1p-40) / std::sqrt(spread) * (1.0 + 0x1p-40) +
                         std::sqrt(underflow);
    const bool useless = key_slack_ >= kUselessSlack;
    row.lo.resize(row.count);
    row.hi.resize(row.count);
    row.dist.resize(row.count);
    for (size_t j = 0; j < row.count; ++j) {
        const size_t i = row.by_key[j];
        row.dist[j] = dist[i];
        const double root = std::sqrt(key[i]);
        const double below = root * (1.0 - kRelativeMargin) - kAbsoluteMargin - reach;
        const double beyond = root * (1.0 + kRelativeMargin) + kAbsoluteMargin + reach;
        row.lo[j] = useless || !(below > 0.0) ? 0.0 : (1.0 - key_slack_) * below * below;
        row.hi[j] = useless ? std::numeric_limits<double>::infinity() : (1.0 + key_slack_) * beyond * beyond;
    }
    if (row.count) {
        // Rounded up: a key above it is above the last bound.
        row.hi_float = static_cast<float>(row.hi.back());
        if (static_cast<double>(row.hi_float) < row.hi.back()) row.hi_float = std::nextafter(row.hi_float, INFINITY);
    }
    row.sure.assign(row.count + 1, 0);
    row.close.assign(row.count, 0);
    return row;
}

// A node whose key is below lo[j] is surely nearer than positives j and after (lo ascends); one above
// hi[j] surely not nearer than positives up to j. Those between are measured. A NaN key says nothing.
void RankCounter::place_between(Row& row, float key, int32_t node) const {
    while (row.next < row.count && row.positives[row.next] < node) ++row.next;
    if (row.next < row.count && row.positives[row.next] == node) return;
    size_t from = 0, to = row.count;  // the positives too close to call: [from, to)
    if (key == key) {
        // hi[j] >= lo[j] and both ascend, so the positives with hi[j] < key come before those with lo[j] <= key.
        to = count_below<true>(row.lo.data(), row.count, key);
        from = count_below<false>(row.hi.data(), row.count, key);
    }
    ++row.sure[to];
    if (from < to) {
        double unused;
        const double d = exact_distance(row, node, &unused);
        for (size_t j = from; j < to; ++j) row.close[j] += d < row.dist[j];
    }
}

// One row over the nodes [begin, begin + len), whose sums are `sums` (overwritten by their keys). Most
// nodes lie beyond every positive: eight keys at a time are compared with the farthest bound, and only
// the others (NaN included) are placed.
void RankCounter::rank_slice(Row& row, float* sums, size_t begin, size_t len) const {
    // from_sum under PoincareBall, for consecutive nodes.
    const float* terms = index_.ball_terms().data() + begin;
    for (size_t j = 0; j < len; ++j) sums[j] = kernels::ball_key(sums[j], row.term, terms[j]);
    const __m256 beyond = _mm256_set1_ps(row.hi_float);
    size_t j = 0;
    for (; j + 8 <= len; j += 8) {
        unsigned within = static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(sums + j), beyond, _CMP_NGT_UQ)));
        for (; within; within &= within - 1) {
            const size_t at = j + static_cast<size_t>(__builtin_ctz(within));
            place_between(row, sums[at], static_cast<int32_t>(begin + at));
        }
    }
    for (; j < len; ++j)
        if (!(sums[j] > row.hi_float)) place_between(row, sums[j], static_cast<int32_t>(begin + j));
}

void RankCounter::count(const RankRows& rows, size_t first, size_t count, int64_t* nearer, int64_t* place) const {
    std::vector<Row> block;
    block.reserve(count);
    std::vector<const float*> queries(count);
    for (size_t i = 0; i < count; ++i) {
        block.push_back(prepare(rows, first + i));
        queries[i] = block[i].query;
    }
    // Each group of rows takes a slice's sums, then ranks them row by row.
    const size_t slice = scan_slice(index_);
    std::vector<float> sums(kWideTileRows * std::min(slice, n_));
    for (size_t begin = 0; begin < n_; begin += slice) {
        const size_t end = std::min(n_, begin + slice), len = end - begin;
        for_row_groups(count, index_.dims(), [&](auto group, size_t q0) {
            constexpr int Q = decltype(group)::value;
            tile_sums<true, Q>(index_, queries.data(), q0, every_.data(), begin, end,
                               [&](size_t q, size_t at, float sum) { sums[(q - q0) * len + (at - begin)] = sum; });
            for (int q = 0; q < Q; ++q) rank_slice(block[q0 + q], sums.data() + q * len, begin, len);
        });
    }
    std::vector<int64_t> got;
    std::vector<size_t> order;
    for (size_t i = 0; i < count; ++i) {
        const Row& row = block[i];
        const size_t at = static_cast<size_t>(rows.starts[first + i]);
        got.assign(row.count, 0);
        int64_t sure = 0;
        for (size_t j = 0; j < row.count; ++j) {
            sure += row.sure[j];
            got[row.by_key[j]] = sure + row.close[j];
        }
        order.resize(row.count);
        std::iota(order.begin(), order.end(), size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return got[a] < got[b]; });
        for (size_t j = 0; j < row.count; ++j) {
            nearer[at + j] = got[j];
            place[at + order[j]] = static_cast<int64_t>(j);
        }
    }
}

}  // namespace vek
