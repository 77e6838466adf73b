// Moving nodes to other numbers: a removal's fill-in of the freed places, and a reordering of them all.
#include <algorithm>

#include "core/hyperbolic_index.h"

namespace vek {

void HyperbolicIndex::move_node(int32_t from, int32_t to) {
    const size_t d = dims();
    std::copy_n(vec(from), stride_, vectors.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(to) * stride_));
    if (has_remainders())
        std::copy_n(remainders.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(from) * d), d,
                    remainders.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(to) * d));
    stored_norms[to] = stored_norms[from];
    masks[to] = masks[from];
    node_levels[to] = node_levels[from];
    if (metric == PoincareBall) inv_factors[to] = inv_factors[from];
    links.move_node(from, to);
}

void HyperbolicIndex::reorder(const std::vector<int32_t>& order) {
    const size_t n = size(), d = dims();
    std::vector<int32_t> to(n);
    for (size_t i = 0; i < n; ++i) to[static_cast<size_t>(order[i])] = static_cast<int32_t>(i);
    // Everything is built aside first: a failed allocation leaves the index as it was.
    VectorStore new_vectors(n * stride_);
    Column<float> new_norms(n), new_factors(inv_factors.size()), new_remainders(remainders.size());
    std::vector<int32_t> new_levels(n);
    Column<uint64_t> new_masks(n);
    for (size_t i = 0; i < n; ++i) {
        const auto o = static_cast<size_t>(order[i]);
        std::copy_n(vectors.data() + o * stride_, stride_, new_vectors.data() + i * stride_);
        if (has_remainders()) std::copy_n(remainders.data() + o * d, d, new_remainders.data() + i * d);
        new_norms[i] = stored_norms[o];
        new_levels[i] = node_levels[o];
        new_masks[i] = masks[o];
        if (!inv_factors.empty()) new_factors[i] = inv_factors[o];
    }
    LinkTable new_links = links.permuted(order, to);
    vectors.swap(new_vectors);
    stored_norms.swap(new_norms);
    inv_factors.swap(new_factors);
    remainders.swap(new_remainders);
    node_levels.swap(new_levels);
    masks.swap(new_masks);
    links.swap(new_links);
    if (ep_id >= 0) ep_id = to[static_cast<size_t>(ep_id)];
}

void HyperbolicIndex::shrink_to_fit() {
    vectors.shrink_to_fit();
    stored_norms.shrink_to_fit();
    node_levels.shrink_to_fit();
    masks.shrink_to_fit();
    inv_factors.shrink_to_fit();
    remainders.shrink_to_fit();
    links.shrink_to_fit();
}

}  // namespace vek
