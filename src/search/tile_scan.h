// The pass of a block of queries over many nodes, shared by the exhaustive scans: tiles of up to four
// queries by two nodes through kernels::accumulate_tile, so every sum is bit-identical to dist_to_nodes'
// and each loaded block of a vector serves all the tile's queries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/hyperbolic_index.h"

namespace vek {

namespace tile_scan_detail {

// Queries [q0, q0 + Q) against nodes ids[begin, end), each query offered its nodes in id order.
template <bool Diff, int Q, class Offer>
void block(const HyperbolicIndex& index, const float* const* queries, size_t q0, const int32_t* ids, size_t begin,
           size_t end, Offer& offer) {
    const float* qs[Q];
    for (int q = 0; q < Q; ++q) qs[q] = queries[q0 + q];
    size_t j = begin;
    auto step = [&](auto width) {
        constexpr int N = decltype(width)::value;
        const float* vs[N];
        for (int v = 0; v < N; ++v) vs[v] = index.vec(ids[j + v]);
        float sums[Q][N];
        kernels::accumulate_tile<Diff, Q, N>(qs, vs, index.dims(), sums);
        for (int v = 0; v < N; ++v)
            for (int q = 0; q < Q; ++q) offer(q0 + q, sums[q][v], ids[j + v]);
        j += N;
    };
    while (j + 2 <= end) step(std::integral_constant<int, 2>{});
    if (j < end) step(std::integral_constant<int, 1>{});
}

}  // namespace tile_scan_detail

// offer(row, sum, node) for every query row in [0, m) and node of ids[0, count): each row sees the nodes
// in the order of `ids`. Sums are the squared differences when Diff, the dot products otherwise.
template <bool Diff, class Offer>
void scan_tiles(const HyperbolicIndex& index, const float* const* queries, size_t m, const int32_t* ids,
                size_t count, Offer&& offer) {
    using tile_scan_detail::block;
    // Nodes are taken in slices small enough to stay in the core's cache while every block of
    // queries passes over them, so each vector is read from memory once per batch.
    const size_t slice =
        std::max<size_t>(64, (size_t{256} << 10) / std::max<size_t>(1, index.dims() * sizeof(float)));
    for (size_t begin = 0; begin < count; begin += slice) {
        const size_t end = std::min(count, begin + slice);
        size_t q = 0;
        for (; q + 4 <= m; q += 4) block<Diff, 4>(index, queries, q, ids, begin, end, offer);
        switch (m - q) {
            case 3:
                block<Diff, 3>(index, queries, q, ids, begin, end, offer);
                break;
            case 2:
                block<Diff, 2>(index, queries, q, ids, begin, end, offer);
                break;
            case 1:
                block<Diff, 1>(index, queries, q, ids, begin, end, offer);
                break;
            default:
                break;
        }
    }
}

}  // namespace vek
