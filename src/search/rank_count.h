// Reconstruction ranks of a PoincareBall index: for query nodes and their positives, how many of the
// other nodes lie strictly nearer to the query than each positive, by the float64 formula
// arcosh(1 + 2 |u - v|^2 / ((1 - |u|^2)(1 - |v|^2))) on the caller's own float64 vectors, the one the
// float32 copies in the index approximate.
//
// Every node's key (the engine's argument of the distance) is scored once per block of queries, as the
// exhaustive scan scores it. From the key and a bound on how far float32 storage and arithmetic can move
// it, a node is counted as surely nearer than a positive, dropped as surely not nearer, or, when it is
// too close to call, measured with the float64 formula; so only a few nodes per query need float64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/hyperbolic_index.h"

namespace vek {

// The relations to rank: row r is query node children[r], whose positives are
// positives[starts[r] .. starts[r + 1]), ascending and distinct.
struct RankRows {
    const int32_t* children;
    const int64_t* starts;
    const int32_t* positives;
};

class RankCounter {
public:
    // Over nodes [0, n) of a PoincareBall index (n <= size()); `exact` holds their float64 vectors,
    // n x dims() row-major. Every stored vector must be the float32 rounding of its row and every row
    // must lie strictly inside the unit ball: std::invalid_argument otherwise. The index must not change
    // while the counter is used (its readers hold the index lock).
    RankCounter(const HyperbolicIndex& index, size_t n, const double* exact);

    // For the rows [first, first + count), every id below n: for each positive j of them (indexed as in
    // `positives`), nearer[j] = the non-positive nodes strictly nearer to the row's query than it (the
    // query itself included), and place[j] = how many positives of its row rank before it, ties in
    // index order; so its rank among all nodes is nearer[j] + place[j] + 1.
    void count(const RankRows& rows, size_t first, size_t count, int64_t* nearer, int64_t* place) const;

private:
    struct Row;
    Row prepare(const RankRows& rows, size_t r) const;
    void rank_slice(Row& row, float* sums, size_t begin, size_t len) const;
    // Out of line: few nodes get here, and the scan loop stays small.
    __attribute__((noinline)) void place_between(Row& row, float key, int32_t node) const;
    double exact_distance(const Row& row, int32_t node, double* key) const;

    const HyperbolicIndex& index_;
    size_t n_;
    const double* exact_;
    std::vector<int32_t> every_;     // 0 .. n-1, the scan's node order
    std::vector<double> factors_;    // 1 - |x|^2 per node, in double from `exact`
    std::vector<double> rounding_;   // |x - float32(x)| per node
    double worst_rounding_ = 0.0;
    double least_factor_ = 1.0;
    double key_slack_ = 0.0;         // relative error bound of an engine key (see the constructor)
};

}  // namespace vek
