// The k nearest other nodes of every node, without the graph. Random pivots part the rows; each part is
// scored whole against the parts whose pivots are nearest its own, which seeds every node's list. A few
// random-projection trees add the pairs of their leaves, which cross the parts' borders. Then rounds of
// neighbour descent (the neighbours of a node's neighbours are likely its own) join, around every node,
// the members its list and the lists that hold it gained since the last round with each other and with
// the older ones, until a round changes almost nothing. Every pair is scored in a block, so each row
// loaded serves a whole row of pairs: the reason this beats building and walking a graph for all pairs.
// The large blocks (the pivots, the parts) go through block_dots' matrix product, the small ones
// (leaves, joins), whose rows would cost as much to pack as to score, through the exhaustive scans'
// tiles. The lists rank by those values; every value returned is computed again by dist_to_nodes.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/parallel_for.h"
#include "core/hyperbolic_index.h"
#include "search/block_dots.h"
#include "search/tile_scan.h"

namespace vek {

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// splitmix64's finaliser: the draws come from the seed and what is drawn for, not from a generator's
// state, so they do not depend on which thread makes them or in what order.
uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Every node's k nearest found so far, as a max-heap of values per node, in one record per node that
// starts on a cache line: a head (the list's largest value, where an offer that cannot enter is turned
// away without the lock, and the lock) and the k members. A node's members change under its lock.
class Lists {
public:
    // A member: its value and its node, whose top bit marks it new since the node's last join.
    struct Entry {
        float value;
        uint32_t node;
    };
    static constexpr uint32_t kNew = 1u << 31, kNone = ~kNew;  // kNone: an empty place, at +inf

    Lists(size_t n, int32_t k)
        : k_(static_cast<size_t>(k)), stride_((k_ + 1 + 7) / 8 * 8), store_(n * stride_ + 8, Entry{kInf, kNone}) {
        const auto address = reinterpret_cast<uintptr_t>(store_.data());
        records_ = store_.data() + ((64 - address % 64) % 64) / sizeof(Entry);
        for (size_t i = 0; i < n; ++i) records_[i * stride_].node = 0;  // unlocked
    }

    float bound(int32_t node) const {
        float b;
        __atomic_load(&record(node)->value, &b, __ATOMIC_RELAXED);
        return b;
    }
    // The k members of a node's list, heap-ordered; read and changed between the rounds' offers only.
    Entry* members(int32_t node) { return record(node) + 1; }
    const Entry* members(int32_t node) const { return record(node) + 1; }

    // Offers `other` at `value` to node's list; whether it entered (a member already held, or a value
    // not below the list's largest, does not).
    bool offer(int32_t node, int32_t other, float value) {
        if (!(value < bound(node)) || holds(node, static_cast<uint32_t>(other))) return false;
        Entry* head = record(node);
        while (__atomic_exchange_n(&head->node, 1u, __ATOMIC_ACQUIRE) != 0) {
        }
        const bool entered = enter(head + 1, static_cast<uint32_t>(other), value);
        if (entered) __atomic_store(&head->value, &head[1].value, __ATOMIC_RELAXED);
        __atomic_store_n(&head->node, 0u, __ATOMIC_RELEASE);
        return entered;
    }

    // The same for a caller that alone offers to this node and never offers a member twice.
    bool offer_alone(int32_t node, int32_t other, float value) {
        Entry* head = record(node);
        if (!(value < head->value) || !enter<false>(head + 1, static_cast<uint32_t>(other), value, 0)) return false;
        __atomic_store(&head->value, &head[1].value, __ATOMIC_RELAXED);
        return true;
    }

    // Fills an empty list with `count` (at most k) members, as old ones; the caller alone offers to it.
    void seed(int32_t node, const Entry* given, size_t count) {
        Entry* head = record(node);
        Entry* m = head + 1;
        std::copy_n(given, count, m);
        std::make_heap(m, m + k_, [](const Entry& x, const Entry& y) { return x.value < y.value; });
        __atomic_store(&head->value, &m[0].value, __ATOMIC_RELAXED);
    }
    size_t k() const { return k_; }
    // Requests a node's record, which a block's offers will read: the records lie all over memory.
    void prefetch(int32_t node) const { prefetch_lines<kToL1>(record(node), stride_ * sizeof(Entry)); }

private:
    // Whether `other` is a member, read without the lock: most pairs a join offers are held already,
    // and this turns them away for the price of the lock alone. A member replaced meanwhile had a value
    // above the list's new largest, as the same pair has here.
    bool holds(int32_t node, uint32_t other) const {
        const Entry* m = record(node) + 1;
        bool held = false;
        for (size_t j = 0; j < k_; ++j) held |= (__atomic_load_n(&m[j].node, __ATOMIC_RELAXED) & ~kNew) == other;
        return held;
    }
    // Members change under the lock, their nodes by atomic stores, which holds() reads beside them.
    static void put(Entry* at, Entry e) {
        at->value = e.value;
        __atomic_store_n(&at->node, e.node, __ATOMIC_RELAXED);
    }

    Entry* record(int32_t node) const { return records_ + static_cast<size_t>(node) * stride_; }

    template <bool Held = true>
    bool enter(Entry* m, uint32_t other, float value, uint32_t mark = kNew) {
        if (!(value < m[0].value)) return false;
        if constexpr (Held)
            for (size_t j = 0; j < k_; ++j)
                if ((m[j].node & ~kNew) == other) return false;
        // The root gives way; the newcomer sinks to its place.
        size_t i = 0;
        for (;;) {
            const size_t l = 2 * i + 1, r = l + 1;
            size_t big = i;
            float top = value;
            if (l < k_ && m[l].value > top) big = l, top = m[l].value;
            if (r < k_ && m[r].value > top) big = r;
            if (big == i) break;
            put(m + i, m[big]);
            i = big;
        }
        put(m + i, {value, other | mark});
        return true;
    }

    size_t k_, stride_;
    std::vector<Entry> store_;
    Entry* records_;
};

// Seeding: parts of about kBlock rows around random pivots (more over large indexes, where the pivots'
// count would grow the assignment quadratically), each part scored against the kProbes parts whose
// pivots are nearest its own.
constexpr size_t kBlock = 128, kProbes = 6;
// Then kTrees random-projection trees, whose leaves of at most kLeaf rows reach across the parts'
// borders; a tree splits at most kMaxDepth deep (then at random).
constexpr int kTrees = 6;
constexpr size_t kLeaf = 48;
constexpr int kMaxDepth = 200;
// How many of a node's reverse neighbours one join takes, per kind of member (new and old), beyond its
// own list.
constexpr size_t kReverse = 16;
// Rounds end once one enters fewer than this share of n * k members, or after kMaxRounds.
constexpr double kSettled = 0.001;
constexpr int kMaxRounds = 16;

// Rows as the descent reads them: float32 (decoded where stored compressed), each with its term as a
// query. The descent's own copy lists them part by part, so that the rows one join reads share pages
// and cache lines: position p holds node original[p], and the descent speaks positions.
struct Rows {
    size_t dims = 0;
    bool cosine = false;
    std::vector<float> values;  // the rows, where they are not read from the index in place
    std::vector<float> terms;
    std::vector<float> inverse_norms;  // under cosine: 1 / |row|, 0 for a zero row
    std::vector<int32_t> original;
    const float* base = nullptr;
    size_t stride = 0;

    const float* row(int32_t p) const { return base + static_cast<size_t>(p) * stride; }
    size_t size() const { return terms.size(); }
};

// A block's nodes (positions ids[0, count)), packed for block_dots, with what turns their products
// into the metric's ranking values: their inverse norms under cosine, their terms otherwise (zero past
// count).
struct Block {
    PackedRows packed;
    std::vector<int32_t> ids;  // the nodes, then -1 to the panels' end
    std::vector<float> scales;

    void pack(const Rows& rows, const int32_t* nodes, size_t count) {
        packed.pack(count, rows.dims, [&rows, nodes](size_t j) { return rows.row(nodes[j]); });
        ids.assign(nodes, nodes + count);
        ids.resize(packed.padded(), -1);
        scales.assign(packed.padded(), 0.0f);
        for (size_t at = 0; at < count; ++at)
            scales[at] = rows.cosine ? rows.inverse_norms[nodes[at]] : rows.terms[nodes[at]];
    }
};

// The few values of a row under a bound, and the k smallest of them, for seeding lists without a
// heap: no branch depends on the values.
class Seeding {
public:
    // Keeps (value, id) of row r's values (ids[j] for r[j], stride of them, a multiple of eight) that
    // are at most every lane of `bound`, `self` left out; how many.
    size_t gather(const float* r, const int32_t* ids, size_t stride, __m256 bound, int32_t self) {
        if (values_.size() < stride + 8) values_.resize(stride + 8), ids_.resize(stride + 8);
        const __m256i me = _mm256_set1_epi32(self);
        size_t count = 0;
        for (size_t at = 0; at < stride; at += 8) {
            const __m256 v = _mm256_loadu_ps(r + at);
            unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, bound, _CMP_LE_OQ)));
            if (mask == 0) continue;
            const __m256i id = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ids + at));
            mask &= ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(id, me))));
            // The kept lanes moved to the front, in order.
            const __m256i order = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPack[mask].data())));
            _mm256_storeu_ps(values_.data() + count, _mm256_permutevar8x32_ps(v, order));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(ids_.data() + count), _mm256_permutevar8x32_epi32(id, order));
            count += static_cast<size_t>(__builtin_popcount(mask));
        }
        count_ = count;
        return count;
    }

    // The k smallest of the kept values (the first of equals first), as old members, in no order.
    const Lists::Entry* smallest(size_t k) {
        pad(values_, count_);
        chosen_.resize(k);
        for (size_t i = 0; i < count_; ++i) {
            const size_t rank = rank_of(values_.data(), count_, i);
            if (rank < k) chosen_[rank] = {values_[i], static_cast<uint32_t>(ids_[i])};
        }
        return chosen_.data();
    }

    // A bound on the k + 1 smallest of r[0, stride) (stride a multiple of eight): the (k + 1)-th smallest
    // of the minima of 8 g disjoint sets of its values, g the groups of vectors (interleaved: the nearest
    // parts come first in a row), at least k + 1 minima and about twice as many, so that few values
    // fall under it. +inf where the row is too short for that, or holds NaN.
    float bound(const float* r, size_t stride, size_t k) {
        const size_t vectors = stride / 8, groups = std::min(vectors, (2 * (k + 1) + 7) / 8);
        if (8 * groups < k + 1) return kInf;
        minima_.resize(8 * groups + 8);
        for (size_t g = 0; g < groups; ++g) {
            __m256 low = _mm256_set1_ps(kInf);
            for (size_t v = g; v < vectors; v += groups) low = _mm256_min_ps(low, _mm256_loadu_ps(r + 8 * v));
            _mm256_storeu_ps(minima_.data() + 8 * g, low);
        }
        const size_t m = 8 * groups;
        pad(minima_, m);
        for (size_t i = 0; i < m; ++i)
            if (rank_of(minima_.data(), m, i) == k) return minima_[i];
        return kInf;  // NaN minima take no rank
    }

private:
    // +inf from c to the next multiple of eight past it.
    static void pad(std::vector<float>& x, size_t c) {
        std::fill(x.begin() + static_cast<std::ptrdiff_t>(c), x.begin() + static_cast<std::ptrdiff_t>(c / 8 * 8 + 8), kInf);
    }
    // The rank of x[i] among x[0, c) (padded with +inf to whole vectors): the values below it, and the
    // equal ones before it (at most it in the vectors before its own, below it in those after).
    static size_t rank_of(const float* x, size_t c, size_t i) {
        const __m256 v = _mm256_set1_ps(x[i]);
        const size_t own = i / 8 * 8;
        __m256i count = _mm256_setzero_si256();
        auto add = [&count](__m256 hit) { count = _mm256_sub_epi32(count, _mm256_castps_si256(hit)); };
        for (size_t at = 0; at < own; at += 8) add(_mm256_cmp_ps(_mm256_loadu_ps(x + at), v, _CMP_LE_OQ));
        const __m256 y = _mm256_loadu_ps(x + own);
        const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256 before = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(i - own)), lanes));
        add(_mm256_blendv_ps(_mm256_cmp_ps(y, v, _CMP_LT_OQ), _mm256_cmp_ps(y, v, _CMP_LE_OQ), before));
        for (size_t at = own + 8; at < c; at += 8) add(_mm256_cmp_ps(_mm256_loadu_ps(x + at), v, _CMP_LT_OQ));
        __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(count), _mm256_extracti128_si256(count, 1));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
        return static_cast<size_t>(_mm_cvtsi128_si32(sum));
    }

    // kPack[mask]: the positions of mask's set bits, in order, then zeros.
    static constexpr auto kPack = [] {
        std::array<std::array<uint8_t, 8>, 256> t{};
        for (unsigned mask = 0; mask < 256; ++mask) {
            size_t n = 0;
            for (uint8_t b = 0; b < 8; ++b)
                if (mask & (1u << b)) t[mask][n++] = b;
        }
        return t;
    }();

    std::vector<float> values_, minima_;
    std::vector<int32_t> ids_;
    std::vector<Lists::Entry> chosen_;
    size_t count_ = 0;
};

// The values of rows against a block: row q holds, for the query node qs[q], the value of each of the
// block's nodes, padded with +inf to the block's panels.
struct Scores {
    std::vector<const float*> queries;
    std::vector<float> values, scales;
    size_t stride = 0;

    const float* row(size_t q) const { return values.data() + q * stride; }

    // The pairs among the nodes block[0, count) that hold one of the first `fresh` (a leaf: all of
    // them; a join: its new members): row q the values of block[q] with block[j] for j > q, through
    // the scans' tiles, for small blocks whose rows would cost as much to pack as to score. Each
    // group of rows starts at its first row's column, so a pair of two rows is scored about once;
    // the columns before it are left unwritten. Squared differences, or cosine's ranking value.
    void score_pairs(const Rows& rows, const int32_t* block, size_t fresh, size_t count) {
        stride = (count + 7) / 8 * 8;
        values.resize(fresh * stride);
        queries.resize(fresh);
        for (size_t q = 0; q < fresh; ++q) queries[q] = rows.row(block[q]);
        auto node = [&rows, block](size_t j) { return rows.row(block[j]); };
        auto prefetch = [&rows, block](size_t j) { prefetch_lines<kToL1>(rows.row(block[j]), rows.dims * sizeof(float)); };
        for_row_groups(fresh, rows.dims, [&](auto group, size_t q0) {
            constexpr int Q = decltype(group)::value;
            auto store = [&](size_t at, const auto& sums) {
                constexpr int N = std::extent_v<std::remove_reference_t<decltype(sums)>, 1>;
                for (int q = 0; q < Q; ++q)
                    for (int v = 0; v < N; ++v) values[(q0 + q) * stride + at + v] = sums[q][v];
            };
            if (rows.cosine)
                tiles_over<false, Q>(rows.dims, queries.data(), q0, node, prefetch, q0, count, store, Float32Rows{});
            else
                tiles_over<true, Q>(rows.dims, queries.data(), q0, node, prefetch, q0, count, store, Float32Rows{});
        });
        if (rows.cosine) {
            scales.resize(stride);
            for (size_t at = 0; at < count; ++at) scales[at] = rows.inverse_norms[block[at]];
            std::fill(scales.begin() + static_cast<std::ptrdiff_t>(count), scales.end(), 0.0f);
            to_cosine(rows, block, fresh, scales.data());
        }
        pad(fresh, count);
    }

    // Offers each pair scored by score_pairs to both of its nodes' lists; how many entered. Eight values
    // at a time are screened against both lists' largest (limits: scratch for the columns' own).
    size_t offer_pairs(Lists& lists, const int32_t* block, size_t fresh, size_t count, std::vector<float>& limits) const {
        limits.resize(stride);
        for (size_t j = 0; j < count; ++j) limits[j] = lists.bound(block[j]);
        std::fill(limits.begin() + static_cast<std::ptrdiff_t>(count), limits.end(), -kInf);
        size_t entered = 0;
        for (size_t q = 0; q < fresh; ++q) {
            const int32_t a = block[q];
            const float* r = row(q);
            for (size_t at = (q + 1) / 8 * 8; at < stride; at += 8) {
                const __m256 v = _mm256_loadu_ps(r + at);
                unsigned below = static_cast<unsigned>(_mm256_movemask_ps(_mm256_or_ps(
                    _mm256_cmp_ps(v, _mm256_set1_ps(limits[q]), _CMP_LT_OQ),
                    _mm256_cmp_ps(v, _mm256_loadu_ps(&limits[at]), _CMP_LT_OQ))));
                if (at <= q) below &= ~((2u << (q - at)) - 1);  // the pairs with j > q only
                while (below != 0) {
                    const size_t j = at + static_cast<size_t>(__builtin_ctz(below));
                    below &= below - 1;
                    const int32_t b = block[j];
                    if (b == a) continue;
                    if (r[j] < limits[q] && lists.offer(a, b, r[j])) ++entered, limits[q] = lists.bound(a);
                    if (r[j] < limits[j] && lists.offer(b, a, r[j])) ++entered, limits[j] = lists.bound(b);
                }
            }
        }
        return entered;
    }

    // The values of the nodes of a packed block. With `dots`, the plain dot products instead: under
    // squared Euclidean |x|^2 + |y|^2 - 2 x.y, the same as the tiles' sums up to rounding, which the
    // final pass's own values settle.
    void score(const Rows& rows, const Block& block, const int32_t* qs, size_t m, bool dots = false) {
        stride = block.packed.padded();
        values.resize(m * stride);
        queries.resize(m);
        for (size_t q = 0; q < m; ++q) queries[q] = rows.row(qs[q]);
        block.packed.dots(queries.data(), m, values.data(), stride);
        if (dots) return;
        if (rows.cosine) {
            to_cosine(rows, qs, m, block.scales.data());
        } else {
            const __m256 minus_two = _mm256_set1_ps(-2.0f);
            for (size_t q = 0; q < m; ++q) {
                float* r = values.data() + q * stride;
                const __m256 term = _mm256_set1_ps(rows.terms[qs[q]]);
                for (size_t at = 0; at < stride; at += 8) {
                    const __m256 both = _mm256_add_ps(term, _mm256_loadu_ps(&block.scales[at]));
                    _mm256_storeu_ps(r + at, _mm256_fmadd_ps(minus_two, _mm256_loadu_ps(r + at), both));
                }
            }
        }
        pad(m, block.packed.count());
    }

    // Offers row q's nodes to the list of qs[q] (itself left out), value by value; eight values at a
    // time are screened against the list's largest. This caller alone offers to that list, and the ids
    // are distinct and new to it.
    void offer_row(Lists& lists, const int32_t* qs, size_t q, const int32_t* ids) const {
        const int32_t a = qs[q];
        const float* r = row(q);
        float limit = lists.bound(a);
        for (size_t at = 0; at < stride; at += 8) {
            unsigned below = static_cast<unsigned>(
                _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(r + at), _mm256_set1_ps(limit), _CMP_LT_OQ)));
            while (below != 0) {
                const size_t j = at + static_cast<size_t>(__builtin_ctz(below));
                below &= below - 1;
                if (ids[j] == a || !(r[j] < limit)) continue;
                if (lists.offer_alone(a, ids[j], r[j])) limit = lists.bound(a);
            }
        }
    }

    // Seeds the empty list of qs[q] with the k smallest of row q against `block` (itself left out),
    // which a bound (Seeding::bound) and a selection among the few values under it find for a fraction
    // of a heap's work. A row whose values give no such bound (too short, or NaN) is offered value by
    // value.
    void seed_row(Lists& lists, const int32_t* qs, size_t q, const Block& block, Seeding& picked) {
        const int32_t a = qs[q];
        const float* r = row(q);
        const size_t k = lists.k();
        const float bound = picked.bound(r, stride, k);
        if (!(bound < kInf)) {
            offer_row(lists, qs, q, block.ids.data());
            return;
        }
        const size_t count = picked.gather(r, block.ids.data(), stride, _mm256_set1_ps(bound), a);
        if (count < k) {
            offer_row(lists, qs, q, block.ids.data());
            return;
        }
        lists.seed(a, picked.smallest(k), k);
    }

private:
    // Dot products to cosine's ranking value, 1 - x.y / |x| / |y| from the rows' inverse norms (node
    // scales[at] for the node at `at`): two products where the metric's value takes two roots and a
    // division, and the same up to rounding, which the final pass's own values settle.
    void to_cosine(const Rows& rows, const int32_t* qs, size_t m, const float* node_scales) {
        const __m256 one = _mm256_set1_ps(1.0f);
        for (size_t q = 0; q < m; ++q) {
            float* r = values.data() + q * stride;
            const __m256 scale = _mm256_set1_ps(rows.inverse_norms[qs[q]]);
            for (size_t at = 0; at < stride; at += 8) {
                const __m256 both = _mm256_mul_ps(scale, _mm256_loadu_ps(node_scales + at));
                _mm256_storeu_ps(r + at, _mm256_fnmadd_ps(_mm256_loadu_ps(r + at), both, one));
            }
        }
    }
    // +inf past the count nodes, so no padding is ever offered.
    void pad(size_t m, size_t count) {
        for (size_t q = 0; q < m; ++q) std::fill(values.begin() + static_cast<std::ptrdiff_t>(q * stride + count),
                                                 values.begin() + static_cast<std::ptrdiff_t>((q + 1) * stride), kInf);
    }
};

// side[i] = rows[ids[i]] . normal - offset for i < count: four rows at a time, so that four chains of
// FMAs overlap (one row's chain alone waits on each FMA's latency); rows requested a few ahead.
void project(const Rows& rows, const int32_t* ids, size_t count, const float* normal, float offset, float* side) {
    const size_t d = rows.dims, whole = d / 8 * 8;
    constexpr size_t kAhead = 8;
    for (size_t i = 0; i < count; i += 4) {
        const size_t m = std::min<size_t>(4, count - i);
        for (size_t a = i + kAhead; a < std::min(count, i + kAhead + 4); ++a)
            prefetch_lines<kToL1>(rows.row(ids[a]), d * sizeof(float));
        const float* x[4];
        for (size_t r = 0; r < 4; ++r) x[r] = rows.row(ids[i + std::min(r, m - 1)]);
        __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
        for (size_t t = 0; t < whole; t += 8) {
            const __m256 w = _mm256_loadu_ps(normal + t);
            for (int r = 0; r < 4; ++r) acc[r] = _mm256_fmadd_ps(_mm256_loadu_ps(x[r] + t), w, acc[r]);
        }
        for (size_t r = 0; r < m; ++r) {
            alignas(32) float lanes[8];
            _mm256_store_ps(lanes, acc[r]);
            float sum = 0.0f;
            for (float l : lanes) sum += l;
            for (size_t t = whole; t < d; ++t) sum = std::fma(x[r][t], normal[t], sum);
            side[i + r] = sum - offset;
        }
    }
}

// One tree over positions [0, rows.size()): split by random hyperplanes (between two of the part's rows,
// through the origin under cosine) until each part fits a leaf; leaf(ids, count) for every leaf.
template <class Leaf>
void grow_tree(const Rows& rows, uint64_t seed, Leaf&& leaf) {
    const size_t n = rows.size(), d = rows.dims;
    std::vector<int32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<int32_t>(i);
    std::vector<float> normal(d), side(n);
    std::vector<int32_t> spill(n);
    struct Part {
        size_t lo, hi;
        int depth;
    };
    std::vector<Part> parts{{0, n, 0}};
    uint64_t draws = 0;
    while (!parts.empty()) {
        const Part p = parts.back();
        parts.pop_back();
        const size_t size = p.hi - p.lo;
        if (size <= kLeaf) {
            leaf(&order[p.lo], size);
            continue;
        }
        size_t mid = p.lo;
        if (p.depth < kMaxDepth) {
            const int32_t a = order[p.lo + mix(seed + ++draws) % size];
            int32_t b = order[p.lo + mix(seed + ++draws) % size];
            if (a == b) b = order[a == order[p.lo] ? p.lo + 1 : p.lo];
            const float* xa = rows.row(a);
            const float* xb = rows.row(b);
            float offset = 0.0f;
            if (rows.cosine) {
                const float ia = rows.inverse_norms[a], ib = rows.inverse_norms[b];
                for (size_t j = 0; j < d; ++j) normal[j] = xa[j] * ia - xb[j] * ib;
            } else {
                for (size_t j = 0; j < d; ++j) {
                    normal[j] = xa[j] - xb[j];
                    offset += normal[j] * 0.5f * (xa[j] + xb[j]);
                }
            }
            project(rows, &order[p.lo], size, normal.data(), offset, &side[p.lo]);
            // Rows on the plane go to alternate sides, so equal rows still part. The partition is
            // stable: every part's rows stay in the copy's order, so its passes read forward.
            bool flip = false;
            size_t lo = p.lo, right = 0;
            for (size_t i = p.lo; i < p.hi; ++i) {
                const float s = side[i];
                const bool left = s < 0.0f || (s == 0.0f && (flip = !flip));
                if (left)
                    order[lo++] = order[i];
                else
                    spill[right++] = order[i];
            }
            std::copy_n(spill.begin(), right, order.begin() + static_cast<std::ptrdiff_t>(lo));
            mid = lo;
        }
        // A split that leaves a side (nearly) empty is no split: halve the part as it stands.
        if (mid - p.lo < size / 16 || p.hi - mid < size / 16) mid = p.lo + size / 2;
        parts.push_back({p.lo, mid, p.depth + 1});
        parts.push_back({mid, p.hi, p.depth + 1});
    }
}

// Up to `cap` of list[0, size), chosen by the draws of (seed, owner, member) when there are more.
void sample_into(const int32_t* list, size_t size, size_t cap, uint64_t seed, int32_t owner,
                 std::vector<int32_t>& out) {
    if (size <= cap) {
        out.insert(out.end(), list, list + size);
        return;
    }
    std::vector<std::pair<uint64_t, int32_t>> keyed(size);
    for (size_t j = 0; j < size; ++j)
        keyed[j] = {mix(seed ^ (static_cast<uint64_t>(owner) << 32 | static_cast<uint32_t>(list[j]))), list[j]};
    std::nth_element(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(cap), keyed.end());
    for (size_t j = 0; j < cap; ++j) out.push_back(keyed[j].second);
}

// Reverse lists: for each node, the nodes whose forward list (of `counts[v]` ids at v * k) holds it.
struct Reverse {
    std::vector<size_t> start;
    std::vector<int32_t> from;

    void build(const std::vector<int32_t>& forward, const std::vector<uint32_t>& counts, size_t k) {
        const size_t n = counts.size();
        start.assign(n + 1, 0);
        for (size_t v = 0; v < n; ++v)
            for (size_t j = 0; j < counts[v]; ++j) ++start[static_cast<size_t>(forward[v * k + j]) + 1];
        for (size_t v = 0; v < n; ++v) start[v + 1] += start[v];
        from.resize(start[n]);
        std::vector<size_t> fill(start.begin(), start.end() - 1);
        for (size_t v = 0; v < n; ++v)
            for (size_t j = 0; j < counts[v]; ++j) from[fill[forward[v * k + j]]++] = static_cast<int32_t>(v);
    }
    const int32_t* of(int32_t v) const { return from.data() + start[v]; }
    size_t count(int32_t v) const { return start[v + 1] - start[v]; }
};

// The position of the smallest of keys[0, count) (the first of equals; NaN never), eight at a time.
uint32_t nearest_of(const float* keys, size_t count) {
    __m256 best = _mm256_set1_ps(kInf);
    __m256i at = _mm256_setzero_si256(), lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i step = _mm256_set1_epi32(8);
    size_t c = 0;
    for (; c + 8 <= count; c += 8) {
        const __m256 v = _mm256_loadu_ps(keys + c);
        const __m256 lower = _mm256_cmp_ps(v, best, _CMP_LT_OQ);
        best = _mm256_blendv_ps(best, v, lower);
        at = _mm256_blendv_epi8(at, lane, _mm256_castps_si256(lower));
        lane = _mm256_add_epi32(lane, step);
    }
    alignas(32) float b[8];
    alignas(32) uint32_t i[8];
    _mm256_store_ps(b, best);
    _mm256_store_si256(reinterpret_cast<__m256i*>(i), at);
    uint32_t found = 0;
    float low = kInf;
    for (int l = 0; l < 8; ++l)
        if (b[l] < low || (b[l] == low && i[l] < found)) low = b[l], found = i[l];
    for (; c < count; ++c)
        if (keys[c] < low) low = keys[c], found = static_cast<uint32_t>(c);
    return found;
}

}  // namespace

void HyperbolicIndex::neighbour_graph(int32_t k, int threads, uint64_t seed, int32_t* ids, float* values) const {
    if (metric != Euclidean && metric != Cosine)
        throw std::invalid_argument("the neighbour graph is computed under squared Euclidean and cosine only");
    if (k < 0) throw std::invalid_argument("negative k");
    const size_t n = size(), kk = static_cast<size_t>(k);
    if (k == 0 || n == 0) return;
    threads = std::max(threads, 1);

    struct Scratch {
        Block nodes;
        Scores pairs;
        std::vector<int32_t> queries, fresh, old, block;
        std::vector<float> limits;
        Seeding picked;
        std::vector<uint32_t> seen;
        uint32_t stamp = 0;
        size_t entered = 0;
    };
    std::vector<Scratch> scratch(static_cast<size_t>(threads));
    constexpr size_t kRowsPerBlock = 96;

    // Seeding: random pivots part the rows by their nearest pivot.
    Rows plain{dims(), metric == Cosine, {}, std::vector<float>(n), {}, {}, vec(0), stride_};
    if (codec_.compressed()) {
        plain.values.resize(n * dims());
        for (size_t i = 0; i < n; ++i) decoded(static_cast<int32_t>(i), &plain.values[i * dims()]);
        plain.base = plain.values.data(), plain.stride = dims();
    }
    constexpr size_t kChunk = 256;
    const size_t chunks = (n + kChunk - 1) / kChunk;
    if (plain.cosine) plain.inverse_norms.resize(n);
    parallel_for(chunks, threads, [&](size_t c) {
        for (size_t i = c * kChunk; i < std::min(n, (c + 1) * kChunk); ++i) {
            plain.terms[i] = term_of(plain.row(static_cast<int32_t>(i)));
            if (plain.cosine) plain.inverse_norms[i] = plain.terms[i] > 0.0f ? 1.0f / std::sqrt(plain.terms[i]) : 0.0f;
        }
    });
    // The assignment costs n * parts pairs and the parts' scoring n * probes * (n / parts): past
    // kBlock rows a part, their balance keeps the whole at O(n^1.5).
    const size_t block = std::max(kBlock, static_cast<size_t>(std::sqrt(static_cast<double>(n) / kProbes)));
    const size_t parts = std::max<size_t>(1, n / block);
    const size_t probes = std::min(parts, kProbes);
    std::vector<int32_t> pivots(n);
    for (size_t i = 0; i < n; ++i) pivots[i] = static_cast<int32_t>(i);
    for (size_t i = 0; i < parts; ++i) std::swap(pivots[i], pivots[i + mix(seed ^ i) % (n - i)]);
    pivots.resize(parts);
    std::vector<uint32_t> part_of(n);
    std::vector<int32_t> near(parts * probes);
    const size_t row_blocks = (n + kRowsPerBlock - 1) / kRowsPerBlock;
    const size_t pivot_blocks = (parts + kRowsPerBlock - 1) / kRowsPerBlock;
    // Blocks of rows find each row's nearest pivot; blocks of pivots, each pivot's `probes` nearest.
    Block pivot_rows;
    pivot_rows.pack(plain, pivots.data(), parts);
    parallel_for(row_blocks + pivot_blocks, threads, [&](size_t b, size_t worker) {
        Scratch& s = scratch[worker];
        const bool rows_block = b < row_blocks;
        const size_t first = (rows_block ? b : b - row_blocks) * kRowsPerBlock;
        const size_t m = std::min(kRowsPerBlock, (rows_block ? n : parts) - first);
        s.queries.resize(m);
        for (size_t q = 0; q < m; ++q)
            s.queries[q] = rows_block ? static_cast<int32_t>(first + q) : pivots[first + q];
        // Ranked by dot products, which the rows' own norms do not change: |p|^2 - 2 x.p under squared
        // Euclidean, -x.p / |p| under cosine.
        s.pairs.score(plain, pivot_rows, s.queries.data(), m, true);
        s.limits.resize(parts);
        for (size_t c = 0; c < parts; ++c) {
            const auto pivot = static_cast<size_t>(pivots[c]);
            s.limits[c] = plain.cosine ? -plain.inverse_norms[pivot] : plain.terms[pivot];
        }
        std::vector<uint32_t> order(parts);
        for (size_t q = 0; q < m; ++q) {
            float* r = s.pairs.values.data() + q * s.pairs.stride;
            if (plain.cosine)
                for (size_t c = 0; c < parts; ++c) r[c] *= s.limits[c];
            else
                for (size_t c = 0; c < parts; ++c) r[c] = std::fma(-2.0f, r[c], s.limits[c]);
            if (rows_block) {
                part_of[first + q] = nearest_of(r, parts);
            } else {
                for (uint32_t c = 0; c < parts; ++c) order[c] = c;
                std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(probes), order.end(),
                                  [r](uint32_t x, uint32_t y) { return r[x] < r[y] || (r[x] == r[y] && x < y); });
                for (size_t j = 0; j < probes; ++j) near[(first + q) * probes + j] = static_cast<int32_t>(order[j]);
            }
        }
    });
    std::vector<size_t> start(parts + 1, 0);
    for (size_t i = 0; i < n; ++i) ++start[part_of[i] + 1];
    for (size_t c = 0; c < parts; ++c) start[c + 1] += start[c];
    Rows rows{dims(), metric == Cosine, {}, std::vector<float>(n), {}, std::vector<int32_t>(n)};
    // Written once below, by every thread: left uninitialised here, the pages are first touched there.
    const std::unique_ptr<float[]> laid_out(new float[n * dims()]);
    rows.base = laid_out.get(), rows.stride = dims();
    if (rows.cosine) rows.inverse_norms.resize(n);
    {
        std::vector<size_t> fill(start.begin(), start.end() - 1);
        for (size_t i = 0; i < n; ++i) rows.original[fill[part_of[i]]++] = static_cast<int32_t>(i);
        parallel_for(chunks, threads, [&](size_t c) {
            for (size_t p = c * kChunk; p < std::min(n, (c + 1) * kChunk); ++p) {
                const auto from = static_cast<size_t>(rows.original[p]);
                std::copy_n(plain.row(rows.original[p]), dims(), laid_out.get() + p * dims());
                rows.terms[p] = plain.terms[from];
                if (rows.cosine) rows.inverse_norms[p] = plain.inverse_norms[from];
            }
        });
        plain = Rows{};
    }
    // Each part's rows against the rows of the parts whose pivots are nearest its own. Their pairs are
    // entered as old: the joins would only score again pairs that such blocks mostly scored already.
    Lists lists(n, k);
    parallel_for(parts, threads, [&](size_t c, size_t worker) {
        Scratch& s = scratch[worker];
        s.block.clear();
        for (size_t j = 0; j < probes; ++j) {
            const auto other = static_cast<size_t>(near[c * probes + j]);
            for (size_t p = start[other]; p < start[other + 1]; ++p) s.block.push_back(static_cast<int32_t>(p));
        }
        s.nodes.pack(rows, s.block.data(), s.block.size());
        for (size_t first = start[c]; first < start[c + 1]; first += kRowsPerBlock) {
            const size_t m = std::min(kRowsPerBlock, start[c + 1] - first);
            s.queries.resize(m);
            for (size_t q = 0; q < m; ++q) s.queries[q] = static_cast<int32_t>(first + q);
            s.pairs.score(rows, s.nodes, s.queries.data(), m);
            // Each row is in one part alone, and the parts are disjoint: nobody else offers to its list.
            for (size_t q = 0; q < m; ++q) s.pairs.seed_row(lists, s.queries.data(), q, s.nodes, s.picked);
        }
    });
    parallel_for(static_cast<size_t>(kTrees), threads, [&](size_t t, size_t worker) {
        Scratch& s = scratch[worker];
        grow_tree(rows, mix(seed ^ (0x7265657400000000ULL + t)), [&](const int32_t* leaf, size_t size) {
            for (size_t j = 0; j < size; ++j) lists.prefetch(leaf[j]);
            s.pairs.score_pairs(rows, leaf, size, size);
            s.pairs.offer_pairs(lists, leaf, size, size, s.limits);
        });
    });

    std::vector<int32_t> new_fwd(n * kk), old_fwd(n * kk);
    std::vector<uint32_t> new_count(n), old_count(n);
    Reverse new_rev, old_rev;
    for (int round = 0; round < kMaxRounds; ++round) {
        // Each node's members, split into those new since its last join (now no longer new) and the rest.
        parallel_for(chunks, threads, [&](size_t c) {
            for (size_t v = c * kChunk; v < std::min(n, (c + 1) * kChunk); ++v) {
                Lists::Entry* member = lists.members(static_cast<int32_t>(v));
                uint32_t nn = 0, no = 0;
                for (size_t j = 0; j < kk; ++j) {
                    if (member[j].node == Lists::kNone) continue;
                    const auto id = static_cast<int32_t>(member[j].node & ~Lists::kNew);
                    if (member[j].node & Lists::kNew) {
                        new_fwd[v * kk + nn++] = id;
                        member[j].node &= ~Lists::kNew;
                    } else {
                        old_fwd[v * kk + no++] = id;
                    }
                }
                new_count[v] = nn, old_count[v] = no;
            }
        });
        parallel_for(2, threads, [&](size_t which) {
            which == 0 ? new_rev.build(new_fwd, new_count, kk) : old_rev.build(old_fwd, old_count, kk);
        });
        const uint64_t round_seed = mix(seed ^ (0x726f756e64000000ULL + static_cast<uint64_t>(round)));
        for (Scratch& s : scratch) s.entered = 0;
        // The join around v: its new members and new reverse neighbours against each other and against
        // the old ones; a pair is offered to both of its nodes' lists.
        parallel_for(chunks, threads, [&](size_t c, size_t worker) {
            Scratch& s = scratch[worker];
            if (s.seen.empty()) s.seen.assign(n, 0);
            for (size_t v = c * kChunk; v < std::min(n, (c + 1) * kChunk); ++v) {
                const int32_t node = static_cast<int32_t>(v);
                if (++s.stamp == 0) {
                    std::fill(s.seen.begin(), s.seen.end(), 0);
                    s.stamp = 1;
                }
                auto distinct = [&](std::vector<int32_t>& list) {
                    size_t kept = 0;
                    for (int32_t x : list)
                        if (s.seen[x] != s.stamp) s.seen[x] = s.stamp, list[kept++] = x;
                    list.resize(kept);
                };
                s.fresh.assign(new_fwd.begin() + static_cast<std::ptrdiff_t>(v * kk),
                               new_fwd.begin() + static_cast<std::ptrdiff_t>(v * kk + new_count[v]));
                sample_into(new_rev.of(node), new_rev.count(node), kReverse, round_seed, node, s.fresh);
                distinct(s.fresh);
                if (s.fresh.empty()) continue;
                s.old.assign(old_fwd.begin() + static_cast<std::ptrdiff_t>(v * kk),
                             old_fwd.begin() + static_cast<std::ptrdiff_t>(v * kk + old_count[v]));
                sample_into(old_rev.of(node), old_rev.count(node), kReverse, round_seed ^ 1, node, s.old);
                distinct(s.old);
                s.block.assign(s.fresh.begin(), s.fresh.end());
                s.block.insert(s.block.end(), s.old.begin(), s.old.end());
                for (int32_t b : s.block) lists.prefetch(b);
                s.pairs.score_pairs(rows, s.block.data(), s.fresh.size(), s.block.size());
                s.entered += s.pairs.offer_pairs(lists, s.block.data(), s.fresh.size(), s.block.size(), s.limits);
            }
        });
        size_t entered = 0;
        for (const Scratch& s : scratch) entered += s.entered;
        if (static_cast<double>(entered) < kSettled * static_cast<double>(n) * static_cast<double>(kk)) break;
    }

    // Every value once more through the one distance routine (for the node's own stored row), and the
    // rows in order, in node order.
    parallel_for(chunks, threads, [&](size_t c) {
        std::vector<NodeDist> row;
        std::vector<float> out(kk), query;
        std::vector<int32_t> held;
        const size_t end = std::min(n, (c + 1) * kChunk);
        // The stored rows of the next node's members, which lie all over the index, are requested a node
        // ahead: otherwise each of them waits on memory in turn.
        auto request = [&](size_t p) {
            const Lists::Entry* member = lists.members(static_cast<int32_t>(p));
            for (size_t j = 0; j < kk; ++j)
                if (member[j].node != Lists::kNone) prefetch_vector(rows.original[member[j].node & ~Lists::kNew]);
        };
        if (c * kChunk < end) request(c * kChunk);
        for (size_t p = c * kChunk; p < end; ++p) {
            if (p + 1 < end) request(p + 1);
            const Lists::Entry* member = lists.members(static_cast<int32_t>(p));
            held.clear();
            for (size_t j = 0; j < kk; ++j)
                if (member[j].node != Lists::kNone)
                    held.push_back(rows.original[member[j].node & ~Lists::kNew]);
            const int32_t node = rows.original[p];
            const float* q = query_of(node, query);
            dist_to_nodes(q, term_of(q), held.data(), held.size(), out.data());
            row.clear();
            for (size_t j = 0; j < held.size(); ++j) row.push_back({out[j], held[j]});
            // NaN (from overflowing rows) ranks last, as the scans' heaps never keep it before a number.
            auto key = [](float x) { return std::isnan(x) ? kInf : x; };
            std::sort(row.begin(), row.end(), [&](const NodeDist& a, const NodeDist& b) {
                return key(a.dist) < key(b.dist) || (key(a.dist) == key(b.dist) && a.id < b.id);
            });
            const size_t at = static_cast<size_t>(node) * kk;
            for (size_t j = 0; j < kk; ++j) {
                ids[at + j] = j < row.size() ? row[j].id : -1;
                values[at + j] = j < row.size() ? row[j].dist : kInf;
            }
        }
    });
}

}  // namespace vek
