// The float32 remainders of PoincareBall vectors given with more precision, and the exact keys of the
// nodes a walk found.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/growth.h"
#include "core/hyperbolic_index.h"

namespace vek {

namespace {

double norm_of(const float* row, size_t n) {
    double s = 0.0;
    for (size_t i = 0; i < n; ++i) s += static_cast<double>(row[i]) * static_cast<double>(row[i]);
    return std::sqrt(s);
}

}  // namespace

void HyperbolicIndex::reserve_remainders(size_t count, bool given) {
    if (metric != PoincareBall || (!given && !has_remainders())) return;
    reserve_for(remainders, (size() + count) * dims() - remainders.size());
}

void HyperbolicIndex::add_remainders(const float* rows, size_t count) {
    if (count == 0 || metric != PoincareBall || (rows == nullptr && !has_remainders())) return;
    const size_t d = dims();
    remainders.resize((size() - count) * d, 0.0f);  // the older nodes' zeros, if these are the first
    if (rows == nullptr) {
        remainders.resize(size() * d, 0.0f);
        return;
    }
    remainders.insert(remainders.end(), rows, rows + count * d);
    for (size_t i = 0; i < count; ++i) remainder_reach = std::max(remainder_reach, norm_of(rows + i * d, d));
}

void HyperbolicIndex::set_remainders(const float* rows, size_t count) {
    if (metric != PoincareBall) throw std::invalid_argument("only poincare vectors carry remainders");
    if (count != size()) throw std::invalid_argument("one row of remainders per node is needed");
    const size_t d = dims();
    double reach = 0.0;
    for (size_t i = 0; i < count; ++i) {
        for (size_t j = 0; j < d; ++j)
            if (!std::isfinite(rows[i * d + j])) throw std::invalid_argument("a remainder is not finite");
        reach = std::max(reach, norm_of(rows + i * d, d));
    }
    Column<float> copy(rows, rows + count * d);
    remainders.swap(copy);
    remainder_reach = reach;
}

void HyperbolicIndex::rekey(const float* query, const float* query_remainder, float query_term,
                            const Filter& filter, std::vector<NodeDist>& found) const {
    size_t kept = 0;
    for (const NodeDist& e : found) {
        const float key = exact_key(query, query_remainder, query_term, e.id);
        if (filter.within(key)) found[kept++] = {key, e.id};
    }
    found.resize(kept);
    std::stable_sort(found.begin(), found.end(), [](const NodeDist& a, const NodeDist& b) { return a.dist < b.dist; });
}

}  // namespace vek
