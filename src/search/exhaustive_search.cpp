// Exhaustive search: every node in id order, screened by mask and cached norm before its distance.
#include <stdexcept>

#include "search/top_k.h"

namespace vek {

std::vector<NodeDist> HyperbolicIndex::exhaustive_search(const float* query, float query_term, int32_t k,
                                                         const Filter& filter) const {
    const size_t n = size();
    if (n == 0) return {};
    if (k < 0) throw std::invalid_argument("negative k");
    if (k == 0) return {};

    TopK best(k);
    // Screened ids are gathered in small batches so that dist_to_nodes can interleave several
    // distances; they are still offered in id order.
    constexpr size_t kBatch = 64;
    constexpr size_t kAhead = 24;  // nodes; the sequential stream outruns the hardware prefetcher otherwise
    const size_t line_floats = 64 / sizeof(float);
    auto prefetch_node = [&](int32_t id) {
        const char* p = reinterpret_cast<const char*>(vec(id));
        for (size_t off = 0; off < dims() * sizeof(float); off += line_floats * sizeof(float))
            _mm_prefetch(p + off, _MM_HINT_T0);
    };
    int32_t ids[kBatch];
    float dists[kBatch];
    for (size_t start = 0; start < n;) {
        size_t count = 0;
        for (; start < n && count < kBatch; ++start) {
            if (start + kAhead < n) prefetch_node(static_cast<int32_t>(start + kAhead));
            if (!filter.screen(masks[start], stored_norms[start])) continue;
            ids[count++] = static_cast<int32_t>(start);
        }
        dist_to_nodes(query, query_term, ids, count, dists);
        for (size_t j = 0; j < count; ++j) {
            if (!filter.within(dists[j])) continue;
            best.offer({dists[j], ids[j]});
        }
    }
    return best.drain_ascending();
}

}  // namespace vek
