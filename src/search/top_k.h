// A bounded max-heap with exactly the behaviour of std::priority_queue under "push, then pop the
// farthest while more than k are held": the same survivors and the same layout among equal
// distances. A newcomer strictly farther than everything held is normally pushed and popped straight
// back out; when that round trip is known to leave the heap array unchanged it is skipped, which is
// what makes a full scan cheap.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/hyperbolic_index.h"

namespace vek {

class TopK {
public:
    explicit TopK(int32_t k) : k_(k) {}

    int64_t size() const { return static_cast<int64_t>(heap_.size()); }
    bool empty() const { return heap_.empty(); }

    // Push ignoring the bound (used for an entry point that is always held).
    void push_unbounded(NodeDist e) {
        heap_.push_back(e);
        std::push_heap(heap_.begin(), heap_.end());
        refresh();
    }

    // Whether a newcomer strictly farther than farthest() is known to leave the heap as it is.
    bool ignores_beyond_farthest() const { return round_trip_is_identity_; }
    float farthest() const { return heap_.front().dist; }

    void offer(NodeDist e) {
        if (round_trip_is_identity_ && e.dist > heap_.front().dist) return;
        heap_.push_back(e);
        std::push_heap(heap_.begin(), heap_.end());
        if (size() > k_) {
            std::pop_heap(heap_.begin(), heap_.end());
            heap_.pop_back();
        }
        refresh();
    }

    // Entries nearest first, as popping the heap and reversing gives them.
    std::vector<NodeDist> drain_ascending() {
        std::vector<NodeDist> out;
        out.reserve(heap_.size());
        while (!heap_.empty()) {
            std::pop_heap(heap_.begin(), heap_.end());
            out.push_back(heap_.back());
            heap_.pop_back();
        }
        std::reverse(out.begin(), out.end());
        round_trip_is_identity_ = false;
        return out;
    }

private:
    // Checking costs O(k), so it is done only for small bounds and only after the heap changed.
    static constexpr int32_t kCheckedBound = 256;

    void refresh() {
        round_trip_is_identity_ = false;
        if (size() != k_ || k_ < 1 || k_ > kCheckedBound) return;
        for (const NodeDist& e : heap_)
            if (std::isnan(e.dist)) return;  // NaN breaks the ordering the shortcut relies on
        scratch_ = heap_;
        scratch_.push_back({std::numeric_limits<float>::infinity(), -1});
        std::push_heap(scratch_.begin(), scratch_.end());
        std::pop_heap(scratch_.begin(), scratch_.end());
        scratch_.pop_back();
        round_trip_is_identity_ = std::memcmp(scratch_.data(), heap_.data(), heap_.size() * sizeof(NodeDist)) == 0;
    }

    int32_t k_;
    bool round_trip_is_identity_ = false;
    std::vector<NodeDist> heap_;
    std::vector<NodeDist> scratch_;
};

}  // namespace vek
