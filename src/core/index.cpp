// Construction and the small accessors.
#include <cmath>
#include <limits>
#include <stdexcept>

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
    stride_ = dims();
    set_link_parameters(M);
    std::random_device device("default");
    level_rng.seed(device());
}

HyperbolicIndex::HyperbolicIndex(int32_t dimension_, MetricKind metric_, int32_t M)
    : HyperbolicIndex(dimension_, 1.0f, M, "poincare") {
    metric = metric_;
}

void HyperbolicIndex::set_link_parameters(int32_t M) {
    max_m = M;
    max_m_0 = base_link_limit(M);
    links.set_limit(max_m_0);
    level_mult = static_cast<float>(1.0 / std::log(static_cast<double>(M)));
}

std::string HyperbolicIndex::metric_name() const {
    switch (metric) {
        case Euclidean:
            return "euclidean";
        case Cosine:
            return "cosine";
        case PoincareBall:
            return "poincare_ball";
        default:
            return "poincare";
    }
}

float HyperbolicIndex::term_of(const float* query) const {
    if (metric == PoincareBall) {
        const double factor = kernels::ball_factor(query, dims());
        return factor > 0.0 ? ball_term(factor) : std::numeric_limits<float>::quiet_NaN();
    }
    return simd_dot(query, query);
}

void HyperbolicIndex::set_codec(const Codec& codec) {
    if (size() != 0) throw std::invalid_argument("the storage of an index that holds vectors cannot change");
    if (codec.compressed() && (metric == Poincare || metric == PoincareBall))
        throw std::invalid_argument("poincare vectors are stored as float32");
    if (codec.storage() == Storage::Int8 && codec.steps().size() != dims())
        throw std::invalid_argument("an int8 range per dimension is needed");
    const size_t stride = codec.row_floats(dims());
    codec_ = codec;
    stride_ = stride;
}

float HyperbolicIndex::decoded_norm(int32_t node) const {
    if (!codec_.compressed()) return simd_dot(vec(node), vec(node));
    std::vector<float> values(dims());
    const float* v = decoded(node, values.data());
    return simd_dot(v, v);
}

float HyperbolicIndex::distance(const float* query, int32_t node) const {
    return dist_to_node(query, term_of(query), node);
}

void HyperbolicIndex::set_ball_factors(const double* factors, size_t count) {
    if (metric != PoincareBall) throw std::invalid_argument("only the PoincareBall metric keeps factors");
    if (count != size()) throw std::invalid_argument("one factor per node is needed");
    Column<float> terms(count);
    for (size_t i = 0; i < count; ++i) {
        terms[i] = ball_term(factors[i]);
        if (!(factors[i] > 0.0) || !std::isfinite(terms[i]))
            throw std::invalid_argument("node " + std::to_string(i) + " lies outside the unit ball");
    }
    inv_factors.swap(terms);
}

}  // namespace vek
