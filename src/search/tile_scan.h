// The pass of a block of queries over many nodes, shared by the exhaustive scans: tiles of four or six
// queries by two nodes through kernels::accumulate_tile (on AVX-512, by eight or six nodes through
// kernels::accumulate_wide_tile), so every sum is bit-identical to dist_to_nodes' and each loaded block
// of a vector serves all the tile's queries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "core/hyperbolic_index.h"
#include "core/wide_kernels.h"

namespace vek {

// Nodes per slice of a scan: few enough to stay in the core's cache while every group of queries passes
// over them, so each vector is read from memory once per batch.
inline size_t scan_slice(const HyperbolicIndex& index) {
    return std::max<size_t>(64, (size_t{256} << 10) / std::max<size_t>(1, index.row_bytes()));
}

// Query rows a tile takes. Over more than 64 dimensions six: twelve independent sums hide the latency
// of the FMA chains, which eight leave showing, and twelve accumulators with the two node blocks and a
// query block fill the sixteen vector registers. Over fewer a sum is a few FMAs long, the reduction and
// the screen of each tile weigh more than the chains' latency, and four rows are faster (by a sixth at
// 32 dimensions).
// On 512-bit registers (kernels::wide_tiles) a tile of six rows takes six nodes and one of four takes
// eight: 18 or 16 accumulators of two pairs each, and the same heights are the faster ones.
constexpr int kNarrowTileRows = 4, kWideTileRows = 6;
inline int tile_rows(size_t dims) { return dims > 64 ? kWideTileRows : kNarrowTileRows; }
template <int Q>
constexpr int kWideTileNodes = Q == kNarrowTileRows ? 8 : 6;

// Rows per call of a batch scan (exhaustive_search_batch, RankCounter::count) when `rows` are spread
// over `threads`: at most kBatchRows, so that each pass of the stored vectors through the cache serves
// many queries; whole tiles of either height; and as many calls as make a multiple of the threads, so
// that no thread is left with a lone last block while the others wait.
constexpr size_t kBatchRows = 96;
inline size_t scan_block(size_t rows, int threads) {
    constexpr size_t unit = kNarrowTileRows * kWideTileRows / 2;  // a whole number of tiles of either height
    const size_t t = static_cast<size_t>(std::max(threads, 1));
    size_t blocks = (rows + kBatchRows - 1) / kBatchRows;
    blocks = std::max<size_t>(1, (blocks + t - 1) / t * t);
    const size_t per_block = (rows + blocks - 1) / blocks;
    return std::max(unit, (per_block + unit - 1) / unit * unit);
}

// group(std::integral_constant<int, Q>{}, q0) for the rows [0, m): a tile's rows at a time, then the
// rest as one group.
template <class Group, int Q = kWideTileRows - 1>
void rest_group(size_t rest, size_t q0, Group& group) {
    if constexpr (Q > 0) {
        if (rest == Q)
            group(std::integral_constant<int, Q>{}, q0);
        else
            rest_group<Group, Q - 1>(rest, q0, group);
    }
}
template <class Group>
void for_row_groups(size_t m, size_t dims, Group&& group) {
    size_t q = 0;
    if (tile_rows(dims) == kWideTileRows)
        for (; q + kWideTileRows <= m; q += kWideTileRows) group(std::integral_constant<int, kWideTileRows>{}, q);
    else
        for (; q + kNarrowTileRows <= m; q += kNarrowTileRows) group(std::integral_constant<int, kNarrowTileRows>{}, q);
    rest_group(m - q, q, group);
}

// Wide tiles, kWideNodes nodes a pass handed to `tile` two at a time, over the nodes [begin, end) while
// a whole tile fits; returns where tiles_over takes over. The tile visitor is compiled into this
// function, so that the pass over a slice makes no calls. node(j) is the j-th node's stored row (as
// HyperbolicIndex::vec gives one), prefetch(j) requests it.
template <bool Diff, int Q, class Tile, class Rows, class Node, class Prefetch>
VEK_WIDE size_t for_wide_tiles(size_t dims, const float* const* qs, const Node& node, const Prefetch& prefetch,
                               size_t begin, size_t end, Tile& tile, const Rows& rows) {
    constexpr int kWideNodes = kWideTileNodes<Q>;
    std::vector<float> packed(static_cast<size_t>(Q) * dims);
    kernels::pack_query_pairs(qs, Q, dims, packed.data());
    size_t j = begin;
    for (; j + kWideNodes <= end; j += kWideNodes) {
        const typename Rows::Elem* vs[kWideNodes];
        for (int v = 0; v < kWideNodes; ++v) vs[v] = row_of<Rows>(node(j + v));
        for (size_t next = j + kWideNodes; next < std::min(end, j + 2 * kWideNodes); ++next) prefetch(next);
        float sums[kWideNodes / 2][Q][2];
        kernels::accumulate_wide_tile<Diff, Q, kWideNodes>(packed.data(), qs, vs, dims, sums, rows);
        for (int h = 0; h < kWideNodes / 2; ++h) tile(j + 2 * h, sums[h]);
    }
    return j;
}

// tile(at, sums) for the queries [q0, q0 + Q) against the nodes [begin, end) (node and prefetch as for
// for_wide_tiles, the rows read through `rows`), two nodes a tile and one for an odd last node:
// sums[q][v] (a float[Q][N]) is the sum of query q0 + q and node at + v.
template <bool Diff, int Q, class Tile, class Rows, class Node, class Prefetch>
void tiles_over(size_t dims, const float* const* queries, size_t q0, const Node& node, const Prefetch& prefetch,
                size_t begin, size_t end, Tile&& tile, const Rows& rows) {
    const float* qs[Q];
    for (int q = 0; q < Q; ++q) qs[q] = queries[q0 + q];
    size_t j = begin;
    if constexpr (Q == kNarrowTileRows || Q == kWideTileRows)
        if (kernels::wide_tiles()) j = for_wide_tiles<Diff, Q>(dims, qs, node, prefetch, begin, end, tile, rows);
    auto step = [&](auto width) {
        constexpr int N = decltype(width)::value;
        const typename Rows::Elem* vs[N];
        for (int v = 0; v < N; ++v) vs[v] = row_of<Rows>(node(j + v));
        // The next tile's vectors come from L2 meanwhile: the hardware prefetcher, seeing two
        // interleaved streams, leaves the loop waiting on their lines.
        for (size_t next = j + N; next < std::min(end, j + 2 * N); ++next) prefetch(next);
        float sums[Q][N];
        kernels::accumulate_tile<Diff, Q, N>(qs, vs, dims, sums, rows);
        tile(j, sums);
        j += N;
    };
    while (j + 2 <= end) step(std::integral_constant<int, 2>{});
    if (j < end) step(std::integral_constant<int, 1>{});
}

// The same over the index's nodes ids[begin, end), `at` a node's position in ids.
template <bool Diff, int Q, class Tile>
void for_tiles(const HyperbolicIndex& index, const float* const* queries, size_t q0, const int32_t* ids,
               size_t begin, size_t end, Tile&& tile) {
    auto node = [&index, ids](size_t j) { return index.vec(ids[j]); };
    auto prefetch = [&index, ids](size_t j) { index.prefetch_vector(ids[j]); };
    index.codec().visit([&](const auto& rows) {
        tiles_over<Diff, Q>(index.dims(), queries, q0, node, prefetch, begin, end, tile, rows);
    });
}

// emit(q, at, sum) for the queries [q0, q0 + Q) against the nodes ids[begin, end), `at` the node's
// position in ids; each query is given its nodes in that order.
template <bool Diff, int Q, class Emit>
void tile_sums(const HyperbolicIndex& index, const float* const* queries, size_t q0, const int32_t* ids,
               size_t begin, size_t end, Emit&& emit) {
    for_tiles<Diff, Q>(index, queries, q0, ids, begin, end, [&](size_t at, const auto& sums) {
        constexpr int N = std::extent_v<std::remove_reference_t<decltype(sums)>, 1>;
        for (int v = 0; v < N; ++v)
            for (int q = 0; q < Q; ++q) emit(q0 + q, at + v, sums[q][v]);
    });
}

// For every query row in [0, m) and node of ids[0, count), in slices that stay in cache: tiler(group, q0)
// makes the tile visitor of the rows [q0, q0 + Q) (group an integral_constant of Q) for one slice, which
// for_tiles then hands that slice's tiles in the order of `ids`. Sums are the squared differences when
// Diff, the dot products otherwise.
template <bool Diff, class Tiler>
void scan_tiles(const HyperbolicIndex& index, const float* const* queries, size_t m, const int32_t* ids,
                size_t count, Tiler&& tiler) {
    const size_t slice = scan_slice(index);
    for (size_t begin = 0; begin < count; begin += slice) {
        const size_t end = std::min(count, begin + slice);
        for_row_groups(m, index.dims(), [&](auto group, size_t q0) {
            for_tiles<Diff, decltype(group)::value>(index, queries, q0, ids, begin, end, tiler(group, q0));
        });
    }
}

}  // namespace vek
