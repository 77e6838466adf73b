// The one graph walk: best-first over one layer, expanding the nearest open candidate each step.
// What the walk keeps and when it ends is the caller's policy, an object with three members:
//   enter(e)  the entry node, scored, before the first step;
//   stop(c)   whether to end the walk instead of expanding candidate c (popped, nearest open);
//   admit(e)  told about every freshly scored neighbour; true makes it a candidate.
// Visit marks live in this thread's scratch and need no clearing between walks: each walk marks with
// its own version number, and the table is zeroed only when the 16-bit version wraps.
#pragma once

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

// This thread's scratch, shared by all indexes used on the thread.
WalkScratch& walk_scratch();

// The nearest `width` nodes seen so far, farthest on top. A node joins when there is room or when it
// is strictly nearer than the farthest kept one, which then leaves.
class Beam {
public:
    explicit Beam(size_t width) : width_(width) {}

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

template <class Policy>
void HyperbolicIndex::walk(const float* query, float query_term, NodeDist entry, int32_t layer,
                           Policy& policy) const {
    WalkScratch& ws = walk_scratch();
    ws.begin(size());
    uint16_t* visited = ws.tags.data();
    const uint16_t tag = ws.version;
    auto first_visit = [visited, tag](int32_t v) {  // without a branch: the outcome is a coin toss
        const bool fresh = visited[v] != tag;
        visited[v] = tag;
        return fresh;
    };

    NearestFirst candidates;
    candidates.push(entry);
    visited[entry.id] = tag;
    policy.enter(entry);

    while (!candidates.empty()) {
        const NodeDist c = candidates.top();
        candidates.pop();
        if (policy.stop(c)) break;

        if (!candidates.empty()) prefetch_links(candidates.top().id, layer);  // likely expanded next

        const LinkSpan list = list_for_walk(c.id, layer, ws.list);
        ws.fit(list.size());
        int32_t* ids = ws.ids.data();
        float* dists = ws.dists.data();
        const size_t fresh = score_fresh(query, query_term, list, first_visit, ids, dists);
        for (size_t j = 0; j < fresh; ++j) {
            const NodeDist e{dists[j], ids[j]};
            if (policy.admit(e)) candidates.push(e);
        }
    }
}

}  // namespace vek
