// The k nearest other nodes of every node, without the graph. Random pivots part the rows; each part is
// scored whole against the parts whose pivots are nearest its own, which seeds every node's list. A few
// random-projection trees add the pairs of their leaves, which cross the parts' borders. Then rounds of
// neighbour descent (the neighbours of a node's neighbours are likely its own) join, around every node,
// the members its list and the lists that hold it gained since the last round with each other and with
// the older ones, until a round changes almost nothing. Parts, leaves and joins are scored as blocks by
// the exhaustive scans' tiles, so each row loaded serves a whole row of pairs: the reason this beats
// building and walking a graph for all pairs. The lists rank by the tiles' values; every value
// returned is computed again by dist_to_nodes.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/parallel_for.h"
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
        if (!(value < bound(node))) return false;
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

private:
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
            m[i] = m[big];
            i = big;
        }
        m[i] = {value, other | mark};
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
constexpr int kTrees = 4;
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

// The values of a block of pairs: row q holds, for the query node qs[q], the value of each node
// ids[at], padded with +inf to a whole number of eight-value groups.
struct Block {
    std::vector<const float*> queries;
    std::vector<float> values, node_scales;
    size_t stride = 0;

    const float* row(size_t q) const { return values.data() + q * stride; }

    // With `dots`, the plain dot products instead of the metric's values.
    void score(const Rows& rows, const int32_t* qs, size_t m, const int32_t* ids, size_t count, bool dots = false) {
        const bool products = rows.cosine || dots;  // the tiles' sums: dot products, else squared differences
        stride = (count + 7) / 8 * 8;
        values.resize(m * stride);
        queries.resize(m);
        for (size_t q = 0; q < m; ++q) queries[q] = rows.row(qs[q]);
        auto node = [&rows, ids](size_t j) { return rows.row(ids[j]); };
        auto prefetch = [&rows, ids](size_t j) { prefetch_lines<kToL1>(rows.row(ids[j]), rows.dims * sizeof(float)); };
        for_row_groups(m, rows.dims, [&](auto group, size_t q0) {
            constexpr int Q = decltype(group)::value;
            auto store = [&](size_t at, const auto& sums) {
                constexpr int N = std::extent_v<std::remove_reference_t<decltype(sums)>, 1>;
                for (int q = 0; q < Q; ++q)
                    for (int v = 0; v < N; ++v) values[(q0 + q) * stride + at + v] = sums[q][v];
            };
            if (products)
                tiles_over<false, Q>(rows.dims, queries.data(), q0, node, prefetch, 0, count, store, Float32Rows{});
            else
                tiles_over<true, Q>(rows.dims, queries.data(), q0, node, prefetch, 0, count, store, Float32Rows{});
        });
        // Cosine pairs rank by 1 - dot / |q| / |n| from the rows' inverse norms: two products where the
        // metric's value takes two roots and a division, and the same up to rounding, which the
        // final pass's own values settle.
        if (rows.cosine && !dots) {
            node_scales.resize(stride);
            for (size_t at = 0; at < count; ++at) node_scales[at] = rows.inverse_norms[ids[at]];
            std::fill(node_scales.begin() + static_cast<std::ptrdiff_t>(count), node_scales.end(), 0.0f);
            const __m256 one = _mm256_set1_ps(1.0f);
            for (size_t q = 0; q < m; ++q) {
                float* r = values.data() + q * stride;
                const __m256 scale = _mm256_set1_ps(rows.inverse_norms[qs[q]]);
                for (size_t at = 0; at < stride; at += 8) {
                    const __m256 both = _mm256_mul_ps(scale, _mm256_loadu_ps(&node_scales[at]));
                    _mm256_storeu_ps(r + at, _mm256_fnmadd_ps(_mm256_loadu_ps(r + at), both, one));
                }
            }
        }
        for (size_t q = 0; q < m; ++q)
            std::fill(values.begin() + static_cast<std::ptrdiff_t>(q * stride + count),
                      values.begin() + static_cast<std::ptrdiff_t>((q + 1) * stride), kInf);
    }

    // Offers row q's nodes to the list of qs[q] (itself left out); how many entered. Eight values at a
    // time are screened against the list's largest.
    // Alone: this caller is the only one offering to these lists, and ids are distinct and new to them.
    template <bool Alone = false>
    size_t offer_row(Lists& lists, const int32_t* qs, size_t q, const int32_t* ids) const {
        const int32_t a = qs[q];
        const float* r = row(q);
        float limit = lists.bound(a);
        size_t entered = 0;
        for (size_t at = 0; at < stride; at += 8) {
            unsigned below = static_cast<unsigned>(
                _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(r + at), _mm256_set1_ps(limit), _CMP_LT_OQ)));
            while (below != 0) {
                const size_t j = at + static_cast<size_t>(__builtin_ctz(below));
                below &= below - 1;
                if (ids[j] == a || !(r[j] < limit)) continue;
                if (Alone ? lists.offer_alone(a, ids[j], r[j]) : lists.offer(a, ids[j], r[j])) {
                    ++entered;
                    limit = lists.bound(a);
                }
            }
        }
        return entered;
    }
};

// One tree over positions [0, rows.size()): split by random hyperplanes (between two of the part's rows,
// through the origin under cosine) until each part fits a leaf; leaf(ids, count) for every leaf.
template <class Leaf>
void grow_tree(const Rows& rows, uint64_t seed, Leaf&& leaf) {
    const size_t n = rows.size(), d = rows.dims;
    std::vector<int32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<int32_t>(i);
    std::vector<float> normal(d), side(n);
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
            for (size_t i = p.lo; i < p.hi; ++i) side[i] = kernels::dot(rows.row(order[i]), normal.data(), d) - offset;
            // Rows on the plane go to alternate sides, so equal rows still part.
            bool flip = false;
            size_t lo = p.lo, hi = p.hi;
            while (lo < hi) {
                const float s = side[lo];
                const bool left = s < 0.0f || (s == 0.0f && (flip = !flip));
                if (left) {
                    ++lo;
                } else {
                    --hi;
                    std::swap(order[lo], order[hi]);
                    std::swap(side[lo], side[hi]);
                }
            }
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
        Block pairs;
        std::vector<int32_t> queries, fresh, old, block;
        std::vector<float> limits;
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
        s.pairs.score(plain, s.queries.data(), m, pivots.data(), parts, true);
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
        for (size_t first = start[c]; first < start[c + 1]; first += kRowsPerBlock) {
            const size_t m = std::min(kRowsPerBlock, start[c + 1] - first);
            s.queries.resize(m);
            for (size_t q = 0; q < m; ++q) s.queries[q] = static_cast<int32_t>(first + q);
            s.pairs.score(rows, s.queries.data(), m, s.block.data(), s.block.size());
            // Each row is in one part alone, and the parts are disjoint: nobody else offers to its list.
            for (size_t q = 0; q < m; ++q) s.pairs.offer_row<true>(lists, s.queries.data(), q, s.block.data());
        }
    });
    parallel_for(static_cast<size_t>(kTrees), threads, [&](size_t t, size_t worker) {
        Scratch& s = scratch[worker];
        grow_tree(rows, mix(seed ^ (0x7265657400000000ULL + t)), [&](const int32_t* leaf, size_t size) {
            s.pairs.score(rows, leaf, size, leaf, size);
            for (size_t q = 0; q < size; ++q) s.pairs.offer_row(lists, leaf, q, leaf);
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
                const size_t fresh_count = s.fresh.size();
                s.pairs.score(rows, s.fresh.data(), fresh_count, s.block.data(), s.block.size());
                // Pairs of two new members are offered from both ends as rows; those with an old one,
                // to the old one's list here.
                s.limits.resize(s.block.size());
                for (size_t at = fresh_count; at < s.block.size(); ++at) s.limits[at] = lists.bound(s.block[at]);
                for (size_t q = 0; q < fresh_count; ++q) {
                    s.entered += s.pairs.offer_row(lists, s.fresh.data(), q, s.block.data());
                    const float* r = s.pairs.row(q);
                    for (size_t at = fresh_count; at < s.block.size(); ++at) {
                        if (!(r[at] < s.limits[at]) || s.block[at] == s.fresh[q]) continue;
                        if (lists.offer(s.block[at], s.fresh[q], r[at])) {
                            ++s.entered;
                            s.limits[at] = lists.bound(s.block[at]);
                        }
                    }
                }
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
        for (size_t p = c * kChunk; p < std::min(n, (c + 1) * kChunk); ++p) {
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
