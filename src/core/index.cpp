// Construction and the small accessors.
#include <cmath>

#include "core/hyperbolic_index.h"

namespace vek {

namespace {

MetricKind parse_metric(const std::string& name) {
    if (name == "euclidean" || name == "l2") return Euclidean;
    if (name == "cosine") return Cosine;
    return Poincare;  // the default, and the fallback for any other name
}

}  // namespace

HyperbolicIndex::HyperbolicIndex(int32_t dimension_, float curvature_, int32_t M, const std::string& metric_name)
    : dimension(dimension_),
      curvature(curvature_),
      metric(parse_metric(metric_name)) {
    set_link_parameters(M);
    std::random_device device("default");
    level_rng.seed(device());
}

void HyperbolicIndex::set_link_parameters(int32_t M) {
    max_m = M;
    max_m_0 = static_cast<int32_t>(2u * static_cast<uint32_t>(M));  // wraps rather than overflows
    level_mult = static_cast<float>(1.0 / std::log(static_cast<double>(M)));
}

std::string HyperbolicIndex::metric_name() const {
    switch (metric) {
        case Euclidean:
            return "euclidean";
        case Cosine:
            return "cosine";
        default:
            return "poincare";
    }
}

float HyperbolicIndex::distance(const float* query, int32_t node) const {
    return dist_to_node(query, simd_dot(query, query), node);
}

}  // namespace vek
