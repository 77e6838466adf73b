// The index: an HNSW graph over float32 vectors under one metric.
// Member functions are grouped by subsystem: core/ (state, distances), build/ (insertion),
// search/ (layer walk, graph, filtered and exhaustive searches), io/ (index file, statistics).
// Nothing here touches Python; the binding layer checks inputs and handles the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "core/kernels.h"

namespace vek {

enum MetricKind : int32_t { Poincare = 0, Euclidean = 1, Cosine = 2 };

// A scored node. Comparisons look at the distance only, so ties are ordered by heap mechanics alone.
struct NodeDist {
    float dist;
    int32_t id;
    bool operator<(const NodeDist& o) const { return dist < o.dist; }
    bool operator>(const NodeDist& o) const { return dist > o.dist; }
};

using FarthestFirst = std::priority_queue<NodeDist>;  // top = farthest
using NearestFirst = std::priority_queue<NodeDist, std::vector<NodeDist>, std::greater<NodeDist>>;

using LinkList = std::vector<int32_t>;
using NodeLinks = std::vector<LinkList>;  // one list per layer 0..level

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
    HyperbolicIndex(const HyperbolicIndex&) = delete;
    HyperbolicIndex& operator=(const HyperbolicIndex&) = delete;

    // --- core (core/index.cpp) ---
    std::string get_metric() const;
    float get_stored_norm(int32_t node_id) const { return stored_norms[node_id]; }
    float compute_distance(const float* query, int32_t node_id) const;
    size_t size() const { return stored_norms.size(); }
    int32_t get_dimension() const { return dimension; }
    MetricKind get_metric_kind() const { return metric; }

    float simd_dot(const float* a, const float* b) const { return kernels::dot(a, b, dims()); }
    inline float dist_to_node(const float* query, float query_norm, int32_t node) const;

    // --- build (build/) ---
    void add_item_flat(const float* vector, uint64_t mask);
    void add_item_and_link(const float* vector, uint64_t mask, int32_t ef_construction);
    std::vector<int32_t> select_neighbours(const float* base, float base_norm, FarthestFirst& candidates,
                                           int M) const;

    // --- search (search/) ---
    FarthestFirst search_layer(const float* query, float query_norm, int32_t entry, int32_t ef,
                               int32_t layer) const;
    std::vector<int32_t> custom_hnsw_search(const float* query, int32_t k, uint64_t filter_mask,
                                            int32_t ef_search, float max_radius, float min_norm) const;
    std::vector<int32_t> filtered_search(const float* query, int32_t k, uint64_t filter_mask, int32_t ef_search,
                                         float max_radius, float min_norm) const;
    std::vector<int32_t> hardware_flat_search(const float* query, int32_t k, uint64_t filter_mask,
                                              float max_radius, float min_norm_sq) const;
    void update_masks(const uint64_t* new_masks, size_t count);

    // --- io (io/) ---
    void save_index(const std::string& filename) const;
    void load_index(const std::string& filename);
    IndexStats get_stats() const;

private:
    size_t dims() const { return dimension > 0 ? static_cast<size_t>(dimension) : 0; }
    const float* vec(int32_t node) const { return vectors.data() + static_cast<size_t>(node) * dims(); }
    // Squared norm of a stored node, recomputed for this call when the cached value is missing.
    float node_norm(int32_t node) const {
        float g = stored_norms[node];
        return g < 0.0f ? simd_dot(vec(node), vec(node)) : g;
    }
    int32_t link_limit(int32_t layer) const;
    int32_t draw_level();
    int32_t descend(const float* query, float query_norm, int32_t target_layer) const;
    void append_node(const float* vector, uint64_t mask, int32_t level);
    void link_reverse(int32_t m, int32_t n, int32_t layer, int32_t limit);

    int32_t dimension;
    float curvature;
    int32_t max_m;
    int32_t max_m_0;
    int32_t ep_id = -1;
    int32_t ep_layer = -1;
    float level_mult;
    MetricKind metric;
    std::vector<float> vectors;  // node i occupies [i * dimension, (i + 1) * dimension)
    std::vector<float> stored_norms;
    std::vector<int32_t> node_levels;
    std::vector<NodeLinks> links;
    std::vector<uint64_t> masks;
    std::mt19937 level_rng;
    std::uniform_real_distribution<double> unit_dist{0.0, 1.0};

    friend struct IndexFile;
};

// The one distance of the system: every search, insertion and Python call goes through here.
inline float HyperbolicIndex::dist_to_node(const float* query, float query_norm, int32_t node) const {
    const float* v = vec(node);
    const size_t n = dims();
    switch (metric) {
        case Euclidean:
            return kernels::l2sq(query, v, n);
        case Cosine:
            return kernels::cosine(kernels::dot(query, v, n), query_norm, node_norm(node));
        default:
            return kernels::poincare(kernels::l2sq(query, v, n), query_norm, node_norm(node));
    }
}

}  // namespace vek
