// The layer beam search and the greedy descent through the upper layers, both walks with a plain beam.
#include <algorithm>

#include "search/walk.h"

namespace vek {

namespace {

thread_local WalkScratch scratch[kWalkLanes];

// Ends the walk when the beam is full and the nearest open candidate lies beyond all of it.
struct BeamPolicy {
    Beam beam;

    void enter(NodeDist e) { beam.enter(e); }
    bool stop(const NodeDist& c) const { return beam.full() && c.dist > beam.farthest(); }
    bool admit(NodeDist e) { return beam.admit(e); }
};

}  // namespace

WalkScratch& walk_scratch(size_t lane) { return scratch[lane]; }

void WalkScratch::begin(size_t n) {
    if (tags.size() < n) tags.resize(n, 0);
    if (++version == 0) {
        std::fill(tags.begin(), tags.end(), uint16_t{0});
        version = 1;
    }
}

FarthestFirst HyperbolicIndex::search_layer(const float* query, float query_term, int32_t entry, int32_t ef,
                                            int32_t layer) const {
    FarthestFirst beam;
    search_layer_lanes(query, &query_term, &entry, 1, ef, layer, &beam);
    return beam;
}

void HyperbolicIndex::search_layer_lanes(const float* queries, const float* query_terms, const int32_t* entries,
                                         size_t count, int32_t ef, int32_t layer, FarthestFirst* beams) const {
    const size_t width = static_cast<size_t>(std::max(ef, 1));  // a width below 1 searches as 1
    BeamPolicy policies[kWalkLanes];
    for (size_t i = 0; i < count; ++i) policies[i].beam = Beam(width);
    walk_lanes(queries, query_terms, entries, count, layer, policies);
    for (size_t i = 0; i < count; ++i) beams[i] = std::move(policies[i].beam.nodes());
}

void HyperbolicIndex::descend_lanes(const float* queries, const float* query_terms, size_t count, int32_t entry,
                                    int32_t entry_layer, int32_t target_layer, int32_t* reached) const {
    std::fill_n(reached, count, entry);
    FarthestFirst beams[kWalkLanes];
    for (int32_t layer = entry_layer; layer > target_layer; --layer) {
        search_layer_lanes(queries, query_terms, reached, count, 1, layer, beams);
        for (size_t i = 0; i < count; ++i)
            if (!beams[i].empty()) reached[i] = beams[i].top().id;
    }
}

}  // namespace vek
