// Engine pieces that only the quellix binding uses: construction by metric kind, slot replacement and
// the memory figure of its statistics.
#include <algorithm>

#include "core/hyperbolic_index.h"

namespace vek {

HyperbolicIndex::HyperbolicIndex(int32_t dimension_, int32_t M, MetricKind metric_)
    : HyperbolicIndex(dimension_, 1.0f, M, std::string("poincare")) {
    metric = metric_;
}

void HyperbolicIndex::set_slots(const float* slots) { std::copy(slots, slots + size(), stored_norms.begin()); }

size_t HyperbolicIndex::memory_bytes() const {
    return vectors.capacity() * sizeof(float) + stored_norms.capacity() * sizeof(float) +
           node_levels.capacity() * sizeof(int32_t) + masks.capacity() * sizeof(uint64_t) + links.memory_bytes() +
           sizeof(HyperbolicIndex);
}

}  // namespace vek
