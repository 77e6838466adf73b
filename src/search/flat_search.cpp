// Exhaustive search: every node in id order, screened by mask and cached norm before its distance.
#include <stdexcept>

#include "core/hyperbolic_index.h"
#include "search/top_k.h"

namespace vek {

std::vector<int32_t> HyperbolicIndex::hardware_flat_search(const float* query, int32_t k, uint64_t filter_mask,
                                                           float max_radius, float min_norm_sq) const {
    const size_t n = size();
    if (n == 0) return {};
    if (k < 0) throw std::length_error("vector::reserve");  // nothing could be kept anyway
    if (k == 0) return {};

    const float query_norm = simd_dot(query, query);
    const bool norm_screen = min_norm_sq >= 0.0f;
    const float norm_floor = min_norm_sq - 0.15f;
    const bool radius_screen = max_radius >= 0.0f;
    TopK best(k);
    for (size_t i = 0; i < n; ++i) {
        if ((masks[i] & filter_mask) != filter_mask) continue;
        if (norm_screen && norm_floor > stored_norms[i]) continue;
        const int32_t id = static_cast<int32_t>(i);
        const float d = dist_to_node(query, query_norm, id);
        if (radius_screen && !(d <= max_radius)) continue;
        best.offer({d, id});
    }
    std::vector<int32_t> out;
    for (const NodeDist& e : best.drain_ascending()) out.push_back(e.id);
    return out;
}

}  // namespace vek
