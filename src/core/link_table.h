// Neighbour lists of every node on every layer. Layer 0 is held apart from the layers above: every
// search ends with a long walk there, and this way a node's layer-0 ids are two memory accesses away
// instead of three. Most nodes have no upper layer and then own no upper storage at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/growth.h"

namespace vek {

using LinkList = std::vector<int32_t>;

class LinkTable {
public:
    LinkList& at(int32_t node, int32_t layer) { return layer == 0 ? base_[node] : upper_[node][layer - 1]; }
    const LinkList& at(int32_t node, int32_t layer) const {
        return layer == 0 ? base_[node] : upper_[node][layer - 1];
    }
    // Where node's layer-0 list is held (its vector's header), for prefetching.
    const LinkList* base_slot(int32_t node) const { return base_.data() + node; }
    // Number of layer lists of a node: its level + 1.
    size_t layers(int32_t node) const { return 1 + upper_[node].size(); }
    size_t size() const { return base_.size(); }

    // Makes room for one more node, so that a following push_node of a level-0 node cannot fail.
    void reserve_one_more() {
        reserve_for(base_, 1);
        reserve_for(upper_, 1);
    }
    // Appends a node with `level` + 1 empty lists. Only the upper lists allocate, before anything changes.
    void push_node(int32_t level) {
        std::vector<LinkList> upper(static_cast<size_t>(level));
        reserve_one_more();
        base_.emplace_back();
        upper_.push_back(std::move(upper));
    }
    void pop_node() {
        base_.pop_back();
        upper_.pop_back();
    }
    void resize(size_t n) {
        base_.resize(n);
        upper_.resize(n);
    }
    // Heap bytes of the lists and of the tables that hold them, capacity included.
    size_t memory_bytes() const {
        size_t bytes = base_.capacity() * sizeof(LinkList) + upper_.capacity() * sizeof(std::vector<LinkList>);
        for (const LinkList& l : base_) bytes += l.capacity() * sizeof(int32_t);
        for (const auto& layers : upper_) {
            bytes += layers.capacity() * sizeof(LinkList);
            for (const LinkList& l : layers) bytes += l.capacity() * sizeof(int32_t);
        }
        return bytes;
    }
    void swap(LinkTable& other) noexcept {
        base_.swap(other.base_);
        upper_.swap(other.upper_);
    }

private:
    std::vector<LinkList> base_;
    std::vector<std::vector<LinkList>> upper_;
};

}  // namespace vek
