// The quellix binding's view of the engine: its three searches with quellix's filters, and the
// conversion between engine distance values and the distances quellix returns. Every engine call of
// the quellix module goes through here.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/hyperbolic_index.h"

namespace quellix {

using vek::HyperbolicIndex;
using vek::MetricKind;
using vek::NodeDist;

// A query's filters. Norm bounds are plain Euclidean norms of the stored vectors, both inclusive;
// `max_key` bounds the engine's distance value (see radius_key), +inf when off.
struct Filters {
    uint64_t mask = 0;
    float max_key = INFINITY;
    double min_norm_sq = -1.0;  // negative: off
    double max_norm_sq = -1.0;  // negative: off
    bool has_radius() const { return !std::isinf(max_key); }
    bool has_norm_bounds() const { return min_norm_sq >= 0.0 || max_norm_sq >= 0.0; }
};

// Geodesic distance of the Poincare ball from a PoincareBall key: arcosh(1 + 2 key), in double so that
// points near each other and near the boundary keep their relative precision.
inline float ball_distance(float key) {
    const double x = 2.0 * static_cast<double>(key);
    return static_cast<float>(std::log1p(x + std::sqrt(x * (x + 2.0))));
}

// The distance a caller sees for an engine distance value.
inline float user_distance(MetricKind metric, float value) {
    return metric == vek::PoincareBall ? ball_distance(value) : value;
}

// The largest engine value whose user distance is at most `radius` (radius >= 0), so that a bound on
// engine values filters exactly as the bound on returned distances would.
float radius_key(MetricKind metric, float radius);

// A node's squared Euclidean norm, from its slot.
double node_norm_sq(const HyperbolicIndex& index, int32_t node);

// Whether a node passes the mask and norm filters (the radius is checked where its value is known).
bool passes_screens(const HyperbolicIndex& index, const Filters& filters, int32_t node);

// The three searches for one query with its slot (its squared norm, or its g under PoincareBall).
// Results are nearest first, with engine distance values.
std::vector<NodeDist> graph_search(const HyperbolicIndex& index, const float* query, float query_slot, int32_t k,
                                   int32_t ef, const Filters& filters);
std::vector<NodeDist> filtered_search(const HyperbolicIndex& index, const float* query, float query_slot,
                                      int32_t k, int32_t ef, const Filters& filters, bool cut_gaps);
std::vector<NodeDist> exact_search(const HyperbolicIndex& index, const float* query, float query_slot, int32_t k,
                                   const Filters& filters);

}  // namespace quellix
