// The quellix binding's view of the engine: its three searches with quellix's filters, and the
// conversion between engine distance values and the distances quellix returns. Every search of the
// quellix module goes through here.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/hyperbolic_index.h"

namespace quellix {

using vek::HyperbolicIndex;
using vek::MetricKind;
using vek::NodeDist;

// A query's filters as the caller states them: required mask bits, an inclusive bound on the returned
// distance, inclusive bounds on the plain Euclidean norm of a stored vector.
struct Bounds {
    uint64_t mask = 0;
    std::optional<float> max_distance;
    std::optional<double> min_norm;
    std::optional<double> max_norm;
    uint64_t any = 0;  // a node passes when it carries one of these bits too (0: no such condition)
};

// The distance a caller sees for an engine distance value.
inline float user_distance(MetricKind metric, float value) {
    return metric == vek::PoincareBall ? vek::kernels::ball_distance(value) : value;
}

// The largest engine value whose user distance is at most `radius` (radius >= 0), so that a bound on
// engine values filters exactly as the bound on returned distances would.
float radius_key(MetricKind metric, float radius);

// The engine filter for `bounds` under `metric`.
vek::Filter engine_filter(MetricKind metric, const Bounds& bounds);

// A block of query rows: `count` rows of dims() floats, each with its term (HyperbolicIndex::term_of, or
// ball_term of the caller's own factor) and its remainders (null for zeros), which only an index with
// remainders of its own reads.
struct Rows {
    const float* values;
    const float* terms;
    const float* remainders;
    size_t count;
};

// The three searches for a block of rows, for k >= 0, one result per row: nearest first, with the
// distances a caller sees.
void graph_search(const HyperbolicIndex& index, const Rows& rows, int32_t k, int32_t ef, const vek::Filter& filter,
                  std::vector<NodeDist>* results);
void filtered_search(const HyperbolicIndex& index, const Rows& rows, int32_t k, int32_t ef, const vek::Filter& filter,
                     bool cut_gaps, std::vector<NodeDist>* results);
void exact_search(const HyperbolicIndex& index, const Rows& rows, int32_t k, const vek::Filter& filter,
                  std::vector<NodeDist>* results);

}  // namespace quellix
