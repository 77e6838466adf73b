// Graph statistics.
#include "core/hyperbolic_index.h"

namespace vek {

IndexStats HyperbolicIndex::statistics() const {
    IndexStats s;
    const size_t n = size();
    s.num_nodes = static_cast<int32_t>(n);
    s.ep_id = ep_id;
    s.ep_layer = ep_layer;
    s.max_m = max_m;
    s.max_m_0 = max_m_0;
    s.dimension = dimension;

    double degree_sum = 0.0;
    for (size_t i = 0; i < n; ++i) degree_sum += static_cast<double>(links.at(static_cast<int32_t>(i), 0).size());
    s.avg_degree_layer0 = n == 0 ? 0.0 : degree_sum / static_cast<double>(n);

    // Position 0 is kept for nodes of level -1, which insertion and loading never produce; position
    // j >= 1 counts nodes whose top level is j - 1, up to the entry point's layer.
    const int32_t slots = ep_layer + 2;  // ep_layer >= -1 always holds
    s.layer_distribution.assign(static_cast<size_t>(slots), 0);
    for (int32_t level : node_levels)
        if (level + 1 < slots) ++s.layer_distribution[static_cast<size_t>(level) + 1];
    return s;
}

}  // namespace vek
