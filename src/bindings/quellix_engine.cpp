#include "bindings/quellix_engine.h"

#include <algorithm>
#include <cfloat>

namespace quellix {

float radius_key(MetricKind metric, float radius) {
    if (metric != vek::PoincareBall) return radius;
    // arcosh(1 + 2 key) <= r  <=>  key <= sinh(r / 2)^2; the rounding of both sides is settled by stepping.
    const double s = std::sinh(static_cast<double>(radius) / 2.0);
    float key = static_cast<float>(std::min(s * s, static_cast<double>(FLT_MAX)));
    using vek::kernels::ball_distance;
    while (key > 0.0f && ball_distance(key) > radius) key = std::nextafter(key, 0.0f);
    while (key < FLT_MAX && ball_distance(std::nextafter(key, INFINITY)) <= radius)
        key = std::nextafter(key, INFINITY);
    return key;
}

namespace {

float squared(double norm) { return static_cast<float>(std::min(norm * norm, static_cast<double>(FLT_MAX))); }

std::vector<NodeDist> to_user(MetricKind metric, std::vector<NodeDist> found) {
    if (metric == vek::PoincareBall)
        for (NodeDist& e : found) e.dist = vek::kernels::ball_distance(e.dist);
    return found;
}

}  // namespace

vek::Filter engine_filter(MetricKind metric, const Bounds& bounds) {
    const float max_value = bounds.max_distance ? radius_key(metric, *bounds.max_distance) : -1.0f;
    const float min_sq = bounds.min_norm ? squared(*bounds.min_norm) : -1.0f;
    const float max_sq = bounds.max_norm ? squared(*bounds.max_norm) : -1.0f;
    vek::Filter f = vek::Filter::norm_range(bounds.mask, max_value, min_sq, max_sq);
    f.any = bounds.any;
    return f;
}

namespace {

// On an index with remainders the walks' float32 keys give way to the exact ones; then the engine keys
// become the distances a caller sees.
void finish(const HyperbolicIndex& index, const Rows& rows, const vek::Filter& filter, std::vector<NodeDist>* results) {
    const size_t d = index.dims();
    for (size_t i = 0; i < rows.count; ++i) {
        if (index.has_remainders())
            index.rekey(rows.values + i * d, rows.remainders ? rows.remainders + i * d : nullptr, rows.terms[i],
                        filter, results[i]);
        results[i] = to_user(index.metric_kind(), std::move(results[i]));
    }
}

}  // namespace

void graph_search(const HyperbolicIndex& index, const Rows& rows, int32_t k, int32_t ef, const vek::Filter& filter,
                  std::vector<NodeDist>* results) {
    index.graph_search_batch(rows.values, rows.terms, rows.count, k, ef, filter, results);
    finish(index, rows, filter, results);
}

void filtered_search(const HyperbolicIndex& index, const Rows& rows, int32_t k, int32_t ef, const vek::Filter& filter,
                     bool cut_gaps, std::vector<NodeDist>* results) {
    if (k > 0)
        index.filtered_search_batch(rows.values, rows.terms, rows.count, k, ef, filter, results);
    else  // the engine would still answer with its entry node
        std::fill_n(results, rows.count, std::vector<NodeDist>{});
    finish(index, rows, filter, results);
    if (cut_gaps)
        for (size_t i = 0; i < rows.count; ++i) results[i] = vek::cut_at_gap(results[i]);
}

void exact_search(const HyperbolicIndex& index, const Rows& rows, int32_t k, const vek::Filter& filter,
                  std::vector<NodeDist>* results) {
    index.exhaustive_search_batch(rows.values, rows.terms, rows.count, k, filter, results, rows.remainders);
    for (size_t i = 0; i < rows.count; ++i) results[i] = to_user(index.metric_kind(), std::move(results[i]));
}

}  // namespace quellix
