// The layer beam search and the greedy descent through the upper layers, both walks with a plain beam.
#include <algorithm>

#include "search/walk.h"

namespace vek {

namespace {

thread_local WalkScratch scratch;

// Ends the walk when the beam is full and the nearest open candidate lies beyond all of it.
struct BeamPolicy {
    Beam beam;

    void enter(NodeDist e) { beam.enter(e); }
    bool stop(const NodeDist& c) const { return beam.full() && c.dist > beam.farthest(); }
    bool admit(NodeDist e) { return beam.admit(e); }
};

}  // namespace

WalkScratch& walk_scratch() { return scratch; }

void WalkScratch::begin(size_t n) {
    if (tags.size() < n) tags.resize(n, 0);
    if (++version == 0) {
        std::fill(tags.begin(), tags.end(), uint16_t{0});
        version = 1;
    }
}

FarthestFirst HyperbolicIndex::search_layer(const float* query, float query_term, int32_t entry, int32_t ef,
                                            int32_t layer) const {
    BeamPolicy policy{Beam(static_cast<size_t>(std::max(ef, 1)))};  // a width below 1 searches as 1
    walk(query, query_term, {dist_to_node(query, query_term, entry), entry}, layer, policy);
    return std::move(policy.beam.nodes());
}

int32_t HyperbolicIndex::descend(const float* query, float query_term, int32_t entry, int32_t entry_layer,
                                 int32_t target_layer) const {
    int32_t cur = entry;
    for (int32_t layer = entry_layer; layer > target_layer; --layer) {
        FarthestFirst w = search_layer(query, query_term, cur, 1, layer);
        if (!w.empty()) cur = w.top().id;
    }
    return cur;
}

}  // namespace vek
