// The bulk mask update: one mask per node, replaced in place.
#include <algorithm>
#include <stdexcept>

#include "core/hyperbolic_index.h"

namespace vek {

void HyperbolicIndex::set_masks(const uint64_t* new_masks, size_t count) {
    if (count != size()) throw std::runtime_error("Mask array size does not match graph size!");
    std::copy(new_masks, new_masks + count, masks.begin());
}

}  // namespace vek
