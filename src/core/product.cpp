// Engine pieces that only the quellix binding uses: norm refresh and the memory figure of its statistics.
#include "core/hyperbolic_index.h"

namespace vek {

void HyperbolicIndex::refresh_norms() {
    for (size_t i = 0; i < size(); ++i) stored_norms[i] = decoded_norm(static_cast<int32_t>(i));
}

size_t HyperbolicIndex::memory_bytes() const {
    return vectors.capacity() * sizeof(float) + (codec_.steps().capacity() + codec_.floors().capacity()) * sizeof(float) + stored_norms.capacity() * sizeof(float) +
           node_levels.capacity() * sizeof(int32_t) + masks.capacity() * sizeof(uint64_t) +
           inv_factors.capacity() * sizeof(float) + remainders.capacity() * sizeof(float) + links.memory_bytes() +
           sizeof(HyperbolicIndex);
}

}  // namespace vek
