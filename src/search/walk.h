// The one graph walk: best-first over one layer, expanding the nearest open candidate each step.
// What the walk keeps and when it ends is the caller's policy, an object with three members:
//   enter(e)  the entry node, scored, before the first step;
//   stop(c)   whether to end the walk instead of expanding candidate c (popped, nearest open);
//   admit(e)  told about every freshly scored neighbour; true makes it a candidate.
// Visit marks live in this thread's scratch, one table per lane, and need no clearing between walks:
// each walk marks with its own version number, and a table is zeroed only when its 16-bit version wraps.
// Several walks can run on one thread in turns (walk_lanes): while one computes distances, the memory
// requests of the others are on their way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "build/concurrent_build.h"
#include "core/hyperbolic_index.h"

namespace vek {

struct WalkScratch {
    std::vector<uint16_t> tags;
    uint16_t version = 0;
    std::vector<int32_t> ids;
    std::vector<float> dists;
    LinkList list;  // a copy of the list being expanded, during a concurrent build

    // Starts a walk over an index of n nodes: every node unvisited.
    void begin(size_t n);
    // Whether the last walk on this thread reached node v.
    bool visited(int32_t v) const { return static_cast<size_t>(v) < tags.size() && tags[v] == version; }
    // Room for scoring a neighbour list of `count` ids.
    void fit(size_t count) {
        if (ids.size() < count) {
            ids.resize(count);
            dists.resize(count);
        }
    }
};

// This thread's scratch for walk lane `lane` (below kWalkLanes), shared by all indexes used on the thread.
WalkScratch& walk_scratch(size_t lane = 0);

// Marks a node visited by the current walk of a scratch; whether it was fresh. Without a branch: the
// outcome is a coin toss.
struct FirstVisit {
    uint16_t* tags;
    uint16_t tag;
    explicit FirstVisit(WalkScratch& ws) : tags(ws.tags.data()), tag(ws.version) {}
    bool operator()(int32_t v) const {
        const bool fresh = tags[v] != tag;
        tags[v] = tag;
        return fresh;
    }
};

// One of the walks that walk_lanes runs in turns on a thread: its query, policy, visit marks and
// candidates, and the neighbours it asked the memory for on its last turn but has not scored yet.
template <class Policy>
struct WalkLane {
    const float* query = nullptr;
    float query_term = 0.0f;
    Policy* policy = nullptr;
    WalkScratch* scratch = nullptr;
    NearestFirst candidates{};
    size_t pending = 0;
    bool open = true;
};

// The nearest `width` nodes seen so far, farthest on top. A node joins when there is room or when it
// is strictly nearer than the farthest kept one, which then leaves.
class Beam {
public:
    explicit Beam(size_t width = 1) : width_(width) {}

    void enter(NodeDist e) { heap_.push(e); }
    bool admit(NodeDist e) {
        if (heap_.size() >= width_ && !(e.dist < heap_.top().dist)) return false;
        heap_.push(e);
        if (heap_.size() > width_) heap_.pop();
        return true;
    }
    bool full() const { return heap_.size() >= width_; }
    float farthest() const { return heap_.top().dist; }
    FarthestFirst& nodes() { return heap_; }

private:
    size_t width_;
    FarthestFirst heap_;
};

inline LinkSpan HyperbolicIndex::list_for_walk(int32_t node, int32_t layer, LinkList& copy) const {
    if (!build_) return links.at(node, layer);
    // A layer-0 list in its slot is read in place without the lock, whose taking would stall the walk's
    // loads and move the lock's line between the cores: a list being rewritten meanwhile gives ids of
    // the list before or after, each a neighbour the node had, which is all a walk needs.
    LinkSpan live;
    if (layer == 0 && links.slot_list(node, live)) return live;
    const std::lock_guard<NodeLock> hold(build_->lock(node));
    const LinkSpan now = links.at(node, layer);
    copy.assign(now.begin(), now.end());  // capacity is kept between walks: no allocation once warm
    return copy;
}

inline void HyperbolicIndex::prefetch_links(int32_t node, int32_t layer) const {
    if (layer == 0) {
        // The slot's place follows from the id alone: nothing is read, so no lock is needed either.
        prefetch_lines<kToL1>(links.base_slot(node), links.slot_bytes());
        return;
    }
    // During a concurrent build an upper list's storage is read under its lock: another thread may be
    // replacing it. The lock's line is the one the expansion takes next anyway.
    std::unique_lock<NodeLock> hold;
    if (build_) hold = std::unique_lock<NodeLock>(build_->lock(node));
    _mm_prefetch(reinterpret_cast<const char*>(links.at(node, layer).data()), _MM_HINT_T0);
}

// A lane's turn scores the neighbours it asked for on its previous turn, then pops its next candidate
// and asks for that one's fresh neighbours, so the other lanes' turns run while they travel. The steps
// of each walk, and so its answer, are those of a walk on its own.
template <class Policy>
void HyperbolicIndex::walk_lanes(const float* queries, const float* query_terms, const int32_t* entries,
                                 size_t count, int32_t layer, Policy* policies) const {
    WalkLane<Policy> lanes[kWalkLanes];
    for (size_t i = 0; i < count; ++i) {
        WalkLane<Policy>& w = lanes[i];
        w = {queries + i * dims(), query_terms[i], &policies[i], &walk_scratch(i)};
        const NodeDist entry{dist_to_node(w.query, w.query_term, entries[i]), entries[i]};
        w.scratch->begin(size());
        w.candidates.push(entry);
        FirstVisit(*w.scratch)(entry.id);
        w.policy->enter(entry);
    }
    size_t open = count;
    while (open > 0) {
        for (size_t i = 0; i < count; ++i) {
            WalkLane<Policy>& w = lanes[i];
            if (!w.open) continue;
            WalkScratch& ws = *w.scratch;
            if (w.pending > 0) {
                dist_to_nodes(w.query, w.query_term, ws.ids.data(), w.pending, ws.dists.data());
                for (size_t j = 0; j < w.pending; ++j) {
                    const NodeDist e{ws.dists[j], ws.ids[j]};
                    if (w.policy->admit(e)) w.candidates.push(e);
                }
                w.pending = 0;
            }
            bool ends = w.candidates.empty();
            NodeDist c{};
            if (!ends) {
                c = w.candidates.top();
                w.candidates.pop();
                ends = w.policy->stop(c);
            }
            if (ends) {
                w.open = false;
                --open;
                continue;
            }
            if (!w.candidates.empty()) prefetch_links(w.candidates.top().id, layer);  // likely expanded next
            const LinkSpan list = list_for_walk(c.id, layer, ws.list);
            ws.fit(list.size());
            w.pending = gather_fresh(list, FirstVisit(ws), ws.ids.data());
        }
    }
}

template <class Block>
void HyperbolicIndex::in_lane_blocks(const float* queries, const float* query_terms, size_t m,
                                     Block&& block) const {
    for (size_t first = 0; first < m; first += kWalkLanes) {
        const size_t count = std::min(kWalkLanes, m - first);
        int32_t entries[kWalkLanes];
        descend_lanes(queries + first * dims(), query_terms + first, count, ep_id, ep_layer, 0, entries);
        block(first, count, entries);
    }
}

}  // namespace vek
