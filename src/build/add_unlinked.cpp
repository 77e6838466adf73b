// Appending nodes. Capacity is secured in every per-node array before the first append, so an
// allocation failure leaves all five arrays of equal length and the index unchanged.
#include <cmath>
#include <stdexcept>
#include <vector>

#include "core/growth.h"
#include "core/hyperbolic_index.h"

namespace vek {

void HyperbolicIndex::reserve_rows(size_t count) {
    reserve_for(vectors, count * stride_);
    reserve_for(stored_norms, count);
    reserve_for(masks, count);
    reserve_for(node_levels, count);
    if (metric == PoincareBall) reserve_for(inv_factors, count);
    links.reserve_more(count);
}

void HyperbolicIndex::append_node(const float* vector, uint64_t mask, int32_t level, double factor) {
    const size_t d = dims();
    reserve_for(vectors, stride_);
    // A compressed row is encoded aside first, and its norm taken from the decoded values.
    thread_local std::vector<float> encoded, values;
    const float* row = vector;
    const float* stored = vector;
    if (codec_.compressed()) {
        encoded.resize(stride_);
        values.resize(d);
        if (!codec_.encode(vector, d, encoded.data()))
            throw std::invalid_argument("a value beyond the range of the index's storage");
        codec_.decode(encoded.data(), d, values.data());
        row = encoded.data();
        stored = values.data();
    }
    reserve_for(stored_norms, 1);
    reserve_for(masks, 1);
    reserve_for(node_levels, 1);
    links.reserve_one_more();
    const bool ball = metric == PoincareBall;
    float term = 0.0f;
    if (ball) {
        term = new_ball_term(vector, factor);
        reserve_for(inv_factors, 1);
    }
    // The node's upper lists are its last allocation; a failure there leaves the other arrays alone.
    links.push_node(level);
    // From here on nothing allocates, so nothing can throw.
    const float norm = simd_dot(stored, stored);
    vectors.insert(vectors.end(), row, row + stride_);
    stored_norms.push_back(norm);
    masks.push_back(mask);
    node_levels.push_back(level);
    if (ball) inv_factors.push_back(term);
}

float HyperbolicIndex::new_ball_term(const float* vector, double factor) const {
    if (std::isnan(factor)) factor = kernels::ball_factor(vector, dims());
    const float term = ball_term(factor);
    // A factor so small that its inverse overflows float32 is as unusable as one outside the ball.
    if (!(factor > 0.0) || !std::isfinite(term)) throw std::invalid_argument("point outside the unit ball");
    return term;
}

void HyperbolicIndex::add_unlinked(const float* vector, uint64_t mask, double factor) {
    append_node(vector, mask, 0, factor);
}

}  // namespace vek
