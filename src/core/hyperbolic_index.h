// The index: an HNSW graph over float32 vectors (stored as float32, or compressed: core/stored_rows.h)
// under one metric.
// Member functions are grouped by subsystem: core/ (state, distances), build/ (insertion),
// search/ (layer walk, graph, filtered and exhaustive searches), io/ (index file, statistics).
// Nothing here touches Python; the binding layer checks inputs and handles the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <type_traits>
#include <queue>
#include <random>
#include <shared_mutex>
#include <string>
#include <vector>

#include "core/huge_pages.h"
#include "core/kernels.h"
#include "core/link_table.h"
#include "core/prefetch.h"
#include "core/stored_rows.h"
#include "search/filter.h"

namespace vek {

struct ConcurrentBuild;
struct Recheck;  // a candidate with the verdict an earlier selection gave it (build/select_neighbours.cpp)

// Under the Poincare metric, graph walks never step onto nodes this close to the boundary.
constexpr float kBoundaryNormSq = 0.995f;

// Asks insertion to derive a PoincareBall node's 1 - |x|^2 from its float32 values.
constexpr double kDerivedFactor = std::numeric_limits<double>::quiet_NaN();

// PoincareBall is the geodesic distance of the unit ball for callers that hand in each point's
// 1 - |x|^2 (computed in double from their own values): it ranks by the argument of the distance,
// |u - v|^2 / ((1 - |u|^2)(1 - |v|^2)), with no clamp and no boundary rule. No metric name selects it.
enum MetricKind : int32_t { Poincare = 0, Euclidean = 1, Cosine = 2, PoincareBall = 3 };

// Walks that one thread runs at once, taking turns, in batch searches. More than two are slower: each
// keeps its own visit marks and candidates in the cache.
constexpr size_t kWalkLanes = 2;

// A scored node. Comparisons look at the distance only, so ties are ordered by heap mechanics alone.
struct NodeDist {
    float dist;
    int32_t id;
    bool operator<(const NodeDist& o) const { return dist < o.dist; }
    bool operator>(const NodeDist& o) const { return dist > o.dist; }
};

// The per-node arrays: each may be lent by a mapped index file (core/huge_pages.h).
template <class T>
using Column = std::vector<T, HugePageAllocator<T>>;
using VectorStore = Column<float>;

using FarthestFirst = std::priority_queue<NodeDist>;  // top = farthest
using NearestFirst = std::priority_queue<NodeDist, std::vector<NodeDist>, std::greater<NodeDist>>;

// Empties a farthest-first heap into a list, in the order the heap pops: farthest first.
inline std::vector<NodeDist> drain(FarthestFirst& heap) {
    std::vector<NodeDist> out;
    out.reserve(heap.size());
    while (!heap.empty()) {
        out.push_back(heap.top());
        heap.pop();
    }
    return out;
}


// A node's place in the graph (HyperbolicIndex::reachability): reached by the walks from the entry point;
// stranded, holding or receiving a link that no walk from the entry point leads to; or unlinked.
enum NodeReach : uint8_t { kUnlinked = 0, kReached = 1, kStranded = 2 };

// `current(y, out)` copies node y's list on a layer, as an insertion will leave it so far, into `out`.
using ListOf = std::function<void(int32_t, LinkList&)>;

struct IndexStats {
    int32_t num_nodes;
    int32_t ep_id;
    int32_t ep_layer;
    int32_t max_m;
    int32_t max_m_0;
    int32_t dimension;
    double avg_degree_layer0;
    std::vector<int64_t> layer_distribution;
};

class HyperbolicIndex {
public:
    HyperbolicIndex(int32_t dimension, float curvature, int32_t M, const std::string& metric);
    HyperbolicIndex(int32_t dimension, MetricKind metric, int32_t M);
    HyperbolicIndex(const HyperbolicIndex&) = delete;
    HyperbolicIndex& operator=(const HyperbolicIndex&) = delete;

    // --- core (core/index.cpp) ---
    std::string metric_name() const;
    float stored_norm(int32_t node) const { return stored_norms[node]; }
    uint64_t mask(int32_t node) const { return masks[node]; }
    MetricKind metric_kind() const { return metric; }
    // The query's share of every distance to it: its squared norm, or under PoincareBall
    // 1 / (1 - |q|^2), here from the float32 values (NaN outside the ball).
    float term_of(const float* query) const;
    // The same from a caller's own 1 - |q|^2 (only PoincareBall uses it).
    static float ball_term(double factor) { return static_cast<float>(1.0 / factor); }
    float distance(const float* query, int32_t node) const;
    size_t size() const { return stored_norms.size(); }
    int32_t get_dimension() const { return dimension; }
    // Readers share it, writers hold it alone; taken by the callers (the binding), not by members.
    std::shared_mutex& guard() const { return guard_; }

    float simd_dot(const float* a, const float* b) const { return kernels::dot(a, b, dims()); }
    inline float dist_to_node(const float* query, float query_term, int32_t node) const;
    // Distances from one query to `count` nodes, each bit-identical to dist_to_node.
    inline void dist_to_nodes(const float* query, float query_term, const int32_t* ids, size_t count,
                              float* out) const;
    // The metric's value from a pair's sum over the dimensions (the dot product under cosine, the
    // squared difference otherwise): the second half of every distance.
    inline float from_sum(float sum, float query_term, int32_t node) const;

    // --- build (build/) ---
    // `factor` is the vector's 1 - |x|^2 under PoincareBall (NaN: derived from the float32 values) and
    // is ignored otherwise; a point outside the ball is refused with std::invalid_argument.
    void add_unlinked(const float* vector, uint64_t mask, double factor = kDerivedFactor);
    // Room in every per-node array for `count` more nodes: a batch grows them once, not by doubling
    // (each doubling copies the arrays and touches fresh pages).
    void reserve_rows(size_t count);
    void add_linked(const float* vector, uint64_t mask, int32_t ef_construction, double factor = kDerivedFactor);
    // Whether enough rows were linked one at a time since the last repair for repair_links to be worth
    // its pass over the whole graph, and that repair: every node no layer-0 walk from the entry point
    // reaches is linked again. On failure the lists are put back.
    bool repair_due() const;
    void repair_links(int32_t ef_construction);
    // Links `count` rows (row-major, dims() floats each; `factors` may be null) on `threads` threads at
    // once. Levels are drawn in row order as `count` add_linked calls draw them, but the links depend on
    // the threads' timing unless `threads` is 1. Linked concurrently, if any row fails none is added and
    // nothing changes, and with `reconnect` every node that no layer-0 walk from the entry point reaches
    // is then linked again (a whole-graph pass: worth it once per run of slices); row by row (one thread) the
    // rows before a failed one stay.
    void add_linked_batch(const float* rows, const uint64_t* row_masks, const double* factors, size_t count,
                          int32_t ef_construction, int threads, bool reconnect = true);
    // Removes the nodes `doomed` (distinct, each below size()) on up to `threads` threads: every list
    // that held one is selected again from its other members and the removed nodes' surviving
    // neighbours, the last nodes move into the freed places, and nodes no walk reaches any more are
    // linked again (build/remove_nodes.cpp). Returns where each node went: to[x] is node x's new id,
    // -1 for a removed one. A failure before the nodes move changes nothing; one in the final repair
    // leaves the nodes removed and the repair's lists put back.
    std::vector<int32_t> remove_nodes(const std::vector<int32_t>& doomed, int32_t ef_construction, int threads);
    // Renumbers every node: node order[i] becomes node i (`order` a permutation of the node ids).
    // A failure changes nothing.
    void reorder(const std::vector<int32_t>& order);
    // Gives back what the per-node arrays and the lists hold beyond their contents.
    void shrink_to_fit();
    // Picks at most M of the candidates (consumed) as a neighbour list, nearest first, topped up to
    // `fill` (at most M) with the nearest of those a kept one dominated; `kept`, when given, receives
    // how many of its first ids no nearer kept one dominated.
    std::vector<int32_t> select_neighbours(FarthestFirst& candidates, int M, int fill, int32_t* kept) const;

    // --- search (search/) ---
    // The nearest nodes a beam of width ef (at least 1) finds on one layer from `entry`.
    FarthestFirst search_layer(const float* query, float query_term, int32_t entry, int32_t ef,
                               int32_t layer) const;
    // Descent and one layer-0 beam of width max(ef, k); the first k results that pass `filter`,
    // nearest first. Throws std::invalid_argument for a negative k on a searchable index.
    std::vector<NodeDist> graph_search(const float* query, float query_term, int32_t k, int32_t ef,
                                       const Filter& filter) const;
    // Descent and a layer-0 walk that keeps the k nearest nodes passing `filter` among all it scores
    // and goes on while it holds fewer than k; nearest first, not cut (see cut_at_gap).
    std::vector<NodeDist> filtered_search(const float* query, float query_term, int32_t k, int32_t ef,
                                          const Filter& filter) const;
    // graph_search and filtered_search for m queries (row-major, dims() floats each, with their terms):
    // results[q] is exactly the answer for row q. The walks of kWalkLanes rows at a time take turns,
    // each computing while the others' memory requests are on their way.
    void graph_search_batch(const float* queries, const float* query_terms, size_t m, int32_t k, int32_t ef,
                            const Filter& filter, std::vector<NodeDist>* results) const;
    void filtered_search_batch(const float* queries, const float* query_terms, size_t m, int32_t k, int32_t ef,
                               const Filter& filter, std::vector<NodeDist>* results) const;
    // Every node in id order; the k nearest that pass `filter`, nearest first. Throws
    // std::invalid_argument for a negative k on a non-empty index. On an index with remainders nodes
    // rank by exact_key, with the query's remainders (dims() floats, or null for zeros).
    std::vector<NodeDist> exhaustive_search(const float* query, float query_term, int32_t k, const Filter& filter,
                                            const float* query_remainder = nullptr) const;
    // exhaustive_search for m queries (row-major, dims() floats each, with their terms and, on an index
    // with remainders, theirs) at once; results[q] is exactly what exhaustive_search answers for row q;
    // search/tile_scan.h's scan_block says how many rows a call should take.
    void exhaustive_search_batch(const float* queries, const float* query_terms, size_t m, int32_t k,
                                 const Filter& filter, std::vector<NodeDist>* results,
                                 const float* query_remainders = nullptr) const;
    // The k nearest other nodes of every node, found without the graph (search/neighbour_graph.cpp):
    // row i of ids and values (k each) nearest first, ties by id, each value exactly dist_to_nodes' for
    // node i's vector and that node; -1 and +inf pad a row when fewer than k other nodes exist.
    // Approximate, as the walks are. Squared Euclidean and cosine only (std::invalid_argument
    // otherwise); with one thread the answer depends on the seed alone.
    void neighbour_graph(int32_t k, int threads, uint64_t seed, int32_t* ids, float* values) const;
    void set_masks(const uint64_t* new_masks, size_t count);
    // Each node's NodeReach, in O(nodes + links) without recursion. The walks descend, so a node is
    // reached when some layer's lists lead to it from the nodes reached on the layers above. Judged by
    // the lists alone: the Poincare metric's boundary rule is not applied.
    std::vector<uint8_t> reachability() const;

    // --- io (io/) ---
    void save(const std::string& filename) const;
    void load(const std::string& filename);
    // The index file's records on an open stream; `name` appears in error messages. Reading checks the
    // whole record set and replaces this instance only when it is sound; `size` is the byte count left.
    // The vectors are written as float32 (a compressed index's decoded values).
    void write_records(FILE* f, const std::string& name) const;
    // `derive_terms` false: the caller sets the Poincare factors itself right after (set_ball_factors), from
    // a file that carries them, so float32 values that round onto the sphere are no reason to refuse it.
    // `codec`: how the records' vectors are stored (float32 in every vek_core file).
    void read_records(FILE* f, uint64_t size, const std::string& name, bool derive_terms = true,
                      const Codec& codec = {});
    IndexStats statistics() const;

    // Under PoincareBall, each node's 1 / (1 - |x|^2); empty under the other metrics.
    const Column<float>& ball_terms() const { return inv_factors; }
    // Replaces those terms from the nodes' 1 - |x|^2 (one per node, each finite and positive), for a
    // file that carries them; std::invalid_argument otherwise, and nothing changes.
    void set_ball_factors(const double* factors, size_t count);

    // How linked insertion fills the lists (build/link_quota.cpp): Classic tops every list up to its limit
    // with the candidates the selection found dominated; Sparse is quellix's. Nothing else reads it.
    enum class Linking : uint8_t { Classic, Sparse };
    void set_linking(Linking rules) { linking = rules; }

    // --- storage (core/stored_rows.h) ---
    const Codec& codec() const { return codec_; }
    // Stores the vectors of this (empty) index as `codec` says; std::invalid_argument for a compressed
    // storage under the Poincare metrics, whose walks and factors need the float32 values.
    void set_codec(const Codec& codec);
    // Node `node`'s vector as float32: its stored row itself, or decoded into `buf` (dims() floats).
    const float* decoded(int32_t node, float* buf) const {
        if (!codec_.compressed()) return vec(node);
        codec_.decode(vec(node), dims(), buf);
        return buf;
    }
    // The same with `buf` sized as needed: a node's vector where it plays the query.
    const float* query_of(int32_t node, std::vector<float>& buf) const {
        if (codec_.compressed()) buf.resize(dims());
        return decoded(node, buf.data());
    }

    // --- product support (core/product.cpp): what the quellix binding reads beyond the above ---
    int32_t max_links() const { return max_m; }
    std::mt19937& level_generator() { return level_rng; }
    const std::mt19937& level_generator() const { return level_rng; }
    // Recomputes every cached squared norm from its vector.
    void refresh_norms();
    // Bytes held by the per-node arrays and the neighbour lists, capacity included.
    size_t memory_bytes() const;

    // --- remainders (core/remainders.cpp) ---
    // A PoincareBall index whose vectors came with more precision than float32 holds keeps each
    // coordinate's remainder x - float(x). The walks rank by the float32 values alone; the exact search
    // and every distance handed to a caller come from exact_key, with the remainders.
    bool has_remainders() const { return !remainders.empty(); }
    const float* remainder(int32_t node) const { return remainders.data() + static_cast<size_t>(node) * dims(); }
    const Column<float>& all_remainders() const { return remainders; }
    // Room for the remainders of `count` more nodes (given or zero), so that add_remainders cannot fail.
    void reserve_remainders(size_t count, bool given);
    // The remainders of the newest `count` nodes (row-major, or null for zeros): the first given ones
    // give every older node zeros. A no-op for null rows on an index without remainders.
    void add_remainders(const float* rows, size_t count);
    // Replaces every node's remainders (size() rows, each finite); std::invalid_argument otherwise.
    void set_remainders(const float* rows, size_t count);
    // The key of a query (values, remainders or null for zeros, term) to a node, as the exact search
    // ranks it.
    inline float exact_key(const float* query, const float* query_remainder, float query_term, int32_t node) const;
    // Found nodes of a walk re-keyed by exact_key, those beyond the filter's radius dropped, nearest first
    // (a stable sort: nodes of equal keys keep their order).
    void rekey(const float* query, const float* query_remainder, float query_term, const Filter& filter,
               std::vector<NodeDist>& found) const;

    // Node `node`'s stored row: dims() float32 values, or under a compressed codec its codes
    // (row_floats() floats' worth, read through codec().visit's reader).
    const float* vec(int32_t node) const { return vectors.data() + static_cast<size_t>(node) * stride_; }
    // Starts fetching a node's whole row into the cache.
    void prefetch_vector(int32_t node) const { prefetch_lines<kToL1>(vec(node), row_bytes()); }
    size_t dims() const { return dimension > 0 ? static_cast<size_t>(dimension) : 0; }
    size_t row_floats() const { return stride_; }
    size_t row_bytes() const { return stride_ * sizeof(float); }

private:
    // Whether the walks step over this node: under the Poincare metric, nodes at the boundary.
    bool beyond_boundary(int32_t node) const { return metric == Poincare && stored_norms[node] >= kBoundaryNormSq; }
    // Best-first walks over one layer for `count` rows (at most kWalkLanes) from entries[i], taking turns:
    // the one graph walk of the index. policies[i] decides which scored nodes join row i's candidates
    // and when its walk stops (search/walk.h).
    template <class Policy>
    void walk_lanes(const float* queries, const float* query_terms, const int32_t* entries, size_t count,
                    int32_t layer, Policy* policies) const;
    // The rows of a batch search kWalkLanes at a time, each block descended to layer 0 together:
    // block(first, count, entries) for rows [first, first + count) (search/walk.h).
    template <class Block>
    void in_lane_blocks(const float* queries, const float* query_terms, size_t m, Block&& block) const;
    // Expansion of one walk step: the ids of `list` not seen before (`first_visit(id)` marks one seen and
    // says whether it was fresh), minus those beyond the boundary, into `ids` (room for the whole list),
    // with their vectors, terms and layer-0 lists requested from memory; how many there are.
    template <class Mark>
    size_t gather_fresh(LinkSpan list, Mark&& first_visit, int32_t* ids) const;
    // The exhaustive scans (search/exhaustive_search.cpp).
    struct ScanRow;
    void offer_scored(ScanRow& row, const Filter& filter, float sum, int32_t node) const;
    // Whether the pair of `row` and `node`, of float32 sum `sum`, can change the row; `sum` is then the
    // one to offer. With remainders the float32 sum only screens, against a bound widened by what it
    // can miss, and the exact sum decides.
    template <MetricKind Metric>
    bool settle(ScanRow& row, float& sum, float node_term, int32_t node) const;
    // Rows of an exact search, with their remainders on an index that has them.
    std::vector<ScanRow> scan_rows(const float* queries, const float* query_terms, size_t m, int32_t k,
                                   const Filter& filter, const float* query_remainders) const;
    // The scan of one row over every node in id order; Screen when `filter` screens any node out.
    template <MetricKind Metric, bool Screen>
    void scan_one(ScanRow& row, const Filter& filter) const;
    template <MetricKind Metric, bool Screen, class Rows>
    void scan_one(ScanRow& row, const Filter& filter, const Rows& rows) const;
    // The batch scan of rows[0, m) over ids[0, count); terms[j] is node ids[j]'s term (unread under
    // Euclidean).
    template <MetricKind Metric>
    void scan_batch(ScanRow* rows, size_t m, const int32_t* ids, const float* terms, size_t count,
                    const Filter& filter) const;
    // Starts fetching a node's neighbour list on a layer, ahead of its expansion (search/walk.h).
    inline void prefetch_links(int32_t node, int32_t layer) const;

    // Squared norm of a stored node, recomputed for this call when the cached value is missing.
    float node_norm(int32_t node) const {
        const float g = stored_norms[node];
        return g < 0.0f ? decoded_norm(node) : g;
    }
    // The squared norm of a node's decoded vector, as every stored norm is computed.
    float decoded_norm(int32_t node) const;
    // A stored node's term when it plays the query.
    float node_term(int32_t node) const { return metric == PoincareBall ? inv_factors[node] : node_norm(node); }
    // The term a new node stores under PoincareBall, from its factor (or its values when NaN).
    float new_ball_term(const float* vector, double factor) const;
    // Sets M and what follows from it: the layer-0 link limit and the level multiplier.
    void set_link_parameters(int32_t M);
    // The layer-0 link limit of M: 2M, wrapping rather than overflowing.
    static int32_t base_link_limit(int32_t M) { return static_cast<int32_t>(2u * static_cast<uint32_t>(M)); }
    // The selection heuristic over candidates already in the order select_neighbours takes them.
    std::vector<int32_t> select_in_order(const NodeDist* sorted, size_t count, int M, int fill, int32_t* kept) const;
    template <int Metric>
    std::vector<int32_t> select_sorted(const NodeDist* sorted, size_t count, int M, int fill, int32_t* kept) const;
    // The same selection for node m over `members` (each scored from m, which plays the query), as if
    // they had been pushed in list order into a queue handed to select_neighbours, for members whose
    // first `members_kept` were kept by the selection that wrote them as a list, whose others but the
    // last it dominated, and whose last is a newcomer (kUnknownKept: none of that is known).
    LinkList rebuild_links(int32_t m, const std::vector<int32_t>& members, int M, int fill, int32_t members_kept,
                           int32_t* kept) const;
    // The same selection over candidates in that order whose verdicts an earlier selection already
    // gave (build/select_neighbours.cpp): what it gives is what select_in_order would.
    std::vector<int32_t> reselect_in_order(const Recheck* order, size_t count, int M, int fill, int32_t* kept) const;
    template <int Metric>
    std::vector<int32_t> reselect_sorted(const Recheck* order, size_t count, int M, int fill, int32_t* kept) const;
    int32_t link_limit(int32_t layer) const;
    // How many links a list on a layer may hold, and up to how many the selection tops it up with the
    // candidates it found dominated: for a new node's own list, and for a list rebuilt when it overflows.
    struct Quota {
        int32_t limit;
        int32_t fill;
    };
    Quota own_quota(int32_t layer) const;
    Quota rebuild_quota(int32_t layer) const;
    int32_t draw_level();
    // Greedy one-wide descent from the entry point to `target_layer`; the node reached.
    int32_t descend(const float* query, float query_term, int32_t target_layer) const {
        return descend(query, query_term, ep_id, ep_layer, target_layer);
    }
    int32_t descend(const float* query, float query_term, int32_t entry, int32_t entry_layer,
                    int32_t target_layer) const {
        int32_t reached;
        descend_lanes(query, &query_term, 1, entry, entry_layer, target_layer, &reached);
        return reached;
    }
    // The search walks for `count` rows (at most kWalkLanes), taking turns: descend and search_layer
    // for each row, from one entry or from entries[i].
    void descend_lanes(const float* queries, const float* query_terms, size_t count, int32_t entry,
                       int32_t entry_layer, int32_t target_layer, int32_t* reached) const;
    void search_layer_lanes(const float* queries, const float* query_terms, const int32_t* entries,
                            size_t count, int32_t ef, int32_t layer, FarthestFirst* beams) const;
    // The first k of a beam's nodes, nearest first, that pass `filter` (the beam is consumed).
    std::vector<NodeDist> nearest_passing(FarthestFirst& beam, int32_t k, const Filter& filter) const;
    // Node m's list `list` on a layer once n joins it and it is cut back to `limit`: the members and n,
    // scored from m, through the selection. `list_kept` is the list's kept prefix when known
    // (LinkTable::kept), which spares the selection the verdicts it gave before; `kept` receives the
    // new list's. `members` is left holding the members and n.
    LinkList rebuilt_with(int32_t m, LinkSpan list, int32_t list_kept, int32_t n, int32_t layer,
                          std::vector<int32_t>& members, int32_t* kept) const;
    // One row of add_linked_batch, on one of its threads (build/add_concurrent.cpp).
    void link_concurrently(int32_t n, int32_t ef_construction, size_t worker);
    // Row n's links on one layer from the candidates `w` (consumed), merged with those other rows gave
    // it, and n joined to each chosen neighbour's list; the chosen neighbours, nearest first.
    LinkList link_on_layer(int32_t n, int32_t layer, FarthestFirst& w, size_t worker);
    ListOf lists_while_holding(int32_t held, int32_t layer) const;
    // Joins n to node m's list on a layer, rebuilding a full one (under PoincareBall mended, keeping n
    // there if `n_needs_it` allows).
    void link_back(int32_t m, int32_t n, int32_t layer, bool n_needs_it, size_t worker);
    // Links again each node that no walk over layer 0 from the entry point reaches
    // (build/repair_links.cpp), within a build's scope (build_ set).
    void reconnect_nodes(int32_t ef_construction);
    // Puts x in node m's layer-0 list: at its end when there is room, else in the place of a member that
    // `in_links` (per node, how many reached layer-0 lists hold it, not counting those it holds back)
    // says another list holds.
    bool give_place(int32_t m, int32_t x, std::vector<int32_t>& in_links);
    // Whether y's layer-0 list holds h.
    bool leads_back(int32_t y, int32_t h) const;
    // The candidates a walk from `entry` finds for node n on a layer, n itself left out.
    FarthestFirst candidates_for(int32_t n, const float* q, float qn, int32_t entry, int32_t ef, int32_t layer) const;
    // Marks kReached every node that `layer`'s lists lead to from found[from, end) and appends it to
    // `found`; nodes marked already are not entered again (search/reachability.cpp).
    void spread_on_layer(int32_t layer, std::vector<uint8_t>& reached, std::vector<int32_t>& found,
                         size_t from) const;
    // A list that a walk reads: the node's own, or during a concurrent build a copy taken under its lock.
    LinkSpan list_for_walk(int32_t node, int32_t layer, LinkList& copy) const;
    void append_node(const float* vector, uint64_t mask, int32_t level, double factor);
    // Node u's list on a layer without the nodes `gone` marks: its other members, then the members of
    // the removed ones it held that a selection keeps, up to the layer's limit.
    LinkList relinked_without(int32_t u, int32_t layer, const std::vector<uint8_t>& gone) const;
    // Copies node `from`'s vector, terms, mask and level into node `to` and moves its lists there.
    void move_node(int32_t from, int32_t to);
    // Removes every node from `count` on (their records and lists); links to them must be gone already.
    void truncate_nodes(size_t count);
    // Under PoincareBall, mends a rebuilt list of node m (`chosen`, picked from `pool`) that would drop a
    // node's last link into it (build/keep_reachable.cpp); whether it changed `chosen`.
    // `current(y, out)`: see ListOf.
    bool keep_reachable(int32_t m, const std::vector<int32_t>& pool, int32_t n, bool n_needs_it,
                        const ListOf& current, LinkList& chosen) const;

    int32_t dimension;
    float curvature;
    int32_t max_m;
    int32_t max_m_0;
    int32_t ep_id = -1;
    int32_t ep_layer = -1;
    float level_mult;
    MetricKind metric;
    Codec codec_;
    size_t stride_ = 0;   // floats per stored row: codec_.row_floats(dims())
    VectorStore vectors;  // node i occupies [i * stride_, (i + 1) * stride_)
    Column<float> stored_norms;
    std::vector<int32_t> node_levels;
    LinkTable links;  // links.at(node, layer): the node's neighbour list on that layer
    Column<uint64_t> masks;
    Column<float> inv_factors;  // PoincareBall only: per node 1 / (1 - |x|^2)
    Column<float> remainders;   // PoincareBall only, empty or node i at [i * dimension, (i + 1) * dimension)
    double remainder_reach = 0.0;    // the largest norm of a node's remainders
    std::mt19937 level_rng;
    std::uniform_real_distribution<double> unit_dist{0.0, 1.0};
    Linking linking = Linking::Classic;
    size_t linked_since_repair = 0;  // rows linked since the last repair (not kept in files)
    mutable std::shared_mutex guard_;
    ConcurrentBuild* build_ = nullptr;  // set while add_linked_batch runs on several threads

    friend struct IndexFile;
    friend struct QuellixLayout;
};

// Keeps the nearest match, then stops at the first jump of more than 0.6 after a distance above 0.01,
// or at the first distance above 2.0. `ranked` is nearest first.
std::vector<NodeDist> cut_at_gap(const std::vector<NodeDist>& ranked);

// The one distance of the system: every search, insertion and Python call goes through here.
// Several nodes at a time overlap their FMA chains and memory loads without changing any sum.
inline void HyperbolicIndex::dist_to_nodes(const float* query, float query_term, const int32_t* ids,
                                           size_t count, float* out) const {
    const size_t n = dims();
    const bool squared_difference = metric != Cosine;
    codec_.visit([&](const auto& rows) {
        using Rows = std::decay_t<decltype(rows)>;
        using Row = const typename Rows::Elem*;
        auto sums_of = [&](auto width, const Row* v, float* to) {
            constexpr int K = decltype(width)::value;
            if (squared_difference)
                kernels::accumulate<true, K>(query, v, n, to, rows);
            else
                kernels::accumulate<false, K>(query, v, n, to, rows);
        };
        constexpr std::integral_constant<int, 8> eight{};  // eight chains keep both FMA ports busy
        Row v[8];
        size_t j = 0;
        for (; j + 8 <= count; j += 8) {
            for (size_t k = 0; k < 8; ++k) v[k] = row_of<Rows>(vec(ids[j + k]));
            sums_of(eight, v, out + j);
        }
        // The last few as one group of four or eight, padded with copies of the last node: chains run one
        // at a time would each wait out every FMA's latency, and the copies read lines already fetched.
        // A pair's sum does not depend on the group it is computed in.
        if (const size_t rest = count - j; rest > 0) {
            for (size_t k = 0; k < 8; ++k) v[k] = row_of<Rows>(vec(ids[j + std::min(k, rest - 1)]));
            float tail[8];
            if (rest > 4)
                sums_of(eight, v, tail);
            else
                sums_of(std::integral_constant<int, 4>{}, v, tail);
            std::copy_n(tail, rest, out + j);
        }
    });
    if (metric == Euclidean) return;
    for (size_t k = 0; k < count; ++k) out[k] = from_sum(out[k], query_term, ids[k]);
}

// A metric's value from a pair's sum and the two terms (the query's first): what from_sum gives, for
// callers that hold the node's term already.
template <MetricKind Metric>
inline float metric_value(float sum, float query_term, float node_term) {
    if constexpr (Metric == Euclidean)
        return sum;
    else if constexpr (Metric == Cosine)
        return kernels::cosine(sum, query_term, node_term);
    else if constexpr (Metric == PoincareBall)
        return kernels::ball_key(sum, query_term, node_term);
    else
        return kernels::poincare(sum, query_term, node_term);
}

inline float HyperbolicIndex::exact_key(const float* query, const float* query_remainder, float query_term,
                                        int32_t node) const {
    const float sum = kernels::split_l2sq(query, query_remainder, vec(node), remainder(node), dims());
    return metric_value<PoincareBall>(sum, query_term, inv_factors[node]);
}

inline float HyperbolicIndex::from_sum(float sum, float query_term, int32_t node) const {
    switch (metric) {
        case Euclidean:
            return sum;
        case Cosine:
            return metric_value<Cosine>(sum, query_term, node_norm(node));
        case PoincareBall:
            return metric_value<PoincareBall>(sum, query_term, inv_factors[node]);
        default:
            return metric_value<Poincare>(sum, query_term, node_norm(node));
    }
}

template <class Mark>
size_t HyperbolicIndex::gather_fresh(LinkSpan list, Mark&& first_visit, int32_t* ids) const {
    size_t count = 0;
    for (const int32_t* at = list.begin(); at != list.end(); ++at) {
        const int32_t v = LinkTable::load(at);  // during a concurrent build another thread may write it
        // Every id is written and only fresh ones counted, so the loop has no branch to mispredict.
        const bool fresh = first_visit(v);
        const bool inside = !beyond_boundary(v);
        // The vector's first line is asked for before the mark is read, so the request need not wait
        // for it; everything else only for the fresh nodes below. Most of a long walk's neighbours are
        // seen already, and requests for their lines would take the memory system from the fresh ones.
        _mm_prefetch(reinterpret_cast<const char*>(vec(v)), _MM_HINT_T1);
        ids[count] = v;
        count += fresh & inside;
    }
    // For each fresh node: the rest of its vector (the first line is on its way), and its term, which
    // lives in an array of its own: a second miss unless fetched with the vector. Its list is not
    // asked for: few fresh nodes are ever expanded, and the walk asks for the next one's list a step
    // ahead; every other line requested would queue before the lines that are scored next.
    const size_t bytes = row_bytes();
    for (size_t j = 0; j < count; ++j) {
        prefetch_lines<kToL1>(vec(ids[j]), bytes, 64);
        if (metric == PoincareBall)
            _mm_prefetch(reinterpret_cast<const char*>(&inv_factors[ids[j]]), _MM_HINT_T1);
        else if (metric == Cosine)
            _mm_prefetch(reinterpret_cast<const char*>(&stored_norms[ids[j]]), _MM_HINT_T1);
    }
    return count;
}

inline float HyperbolicIndex::dist_to_node(const float* query, float query_term, int32_t node) const {
    float d;
    dist_to_nodes(query, query_term, &node, 1, &d);
    return d;
}

}  // namespace vek
