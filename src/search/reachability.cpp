// Which nodes the graph walks can reach. Every walk starts at the entry point and only ever moves down:
// a node is reachable when some layer's lists lead to it from nodes reached on the layers above.
#include "core/hyperbolic_index.h"

namespace vek {

void HyperbolicIndex::spread_on_layer(int32_t layer, std::vector<uint8_t>& reached, std::vector<int32_t>& found,
                                      size_t from) const {
    // An index into `found` rather than a stack: the nodes stay listed to seed the layers below.
    for (size_t i = from; i < found.size(); ++i)
        for (int32_t y : links.at(found[i], layer))
            if (!reached[y]) {
                reached[y] = kReached;
                found.push_back(y);
            }
}

std::vector<uint8_t> HyperbolicIndex::reachability() const {
    const size_t n = size();
    std::vector<uint8_t> reach(n, kUnlinked);
    if (ep_id >= 0) {
        // Every node reached so far reaches the next layer down, so each layer starts from all of them;
        // a node is listed once, and walked once per layer it has, which keeps this O(nodes + links).
        std::vector<int32_t> found{ep_id};
        reach[ep_id] = kReached;
        for (int32_t layer = ep_layer; layer >= 0; --layer) spread_on_layer(layer, reach, found, 0);
    }
    // A node that no walk reaches still belongs to the graph when a link leaves or enters it: such
    // links come only from linked insertion (or a file), never from an unlinked add.
    for (size_t i = 0; i < n; ++i) {
        if (reach[i] == kReached) continue;
        const auto x = static_cast<int32_t>(i);
        for (int32_t layer = 0; layer <= node_levels[i]; ++layer)
            for (int32_t y : links.at(x, layer)) {
                reach[i] = kStranded;
                if (reach[y] == kUnlinked) reach[y] = kStranded;
            }
    }
    return reach;
}

}  // namespace vek
