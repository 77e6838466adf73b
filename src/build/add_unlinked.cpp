// Appending nodes. Capacity is secured in every per-node array before the first append, so an
// allocation failure leaves all five arrays of equal length and the index unchanged.
#include "core/growth.h"
#include "core/hyperbolic_index.h"

namespace vek {

void HyperbolicIndex::append_node(const float* vector, float slot, uint64_t mask, int32_t level) {
    const size_t d = dims();
    reserve_for(vectors, d);
    reserve_for(stored_norms, 1);
    reserve_for(masks, 1);
    reserve_for(node_levels, 1);
    links.reserve_one_more();
    // From here on nothing allocates, so nothing can throw.
    vectors.insert(vectors.end(), vector, vector + d);
    stored_norms.push_back(slot);
    masks.push_back(mask);
    node_levels.push_back(level);
    links.push_node(level);
}

void HyperbolicIndex::add_unlinked(const float* vector, uint64_t mask) {
    add_unlinked(vector, simd_dot(vector, vector), mask);
}

void HyperbolicIndex::add_unlinked(const float* vector, float slot, uint64_t mask) {
    append_node(vector, slot, mask, 0);
}

}  // namespace vek
