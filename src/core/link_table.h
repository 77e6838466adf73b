// Neighbour lists of every node on every layer.
//
// Layer 0 is one flat table: each node owns a fixed slot of a count and room for a full list, at an
// address computed from its id alone. Every search ends with a long walk there, and this way a
// node's ids are one memory access away, can be prefetched before the walk reaches the node, and a
// rebuilt list is copied into place without allocating. A list longer than the slot holds (a file
// written with other limits, or a very large M) lives aside, in a list of that node's own, and its
// slot keeps only the count. The lists aside are one per node, so that threads holding different
// nodes' locks never share a structure: they exist once a file needs them, or from the start when
// the limit itself is beyond a slot.
// A slot also remembers how many of its ids the selection that wrote it kept on their own merit, so
// that the next rebuild of the list need not decide those again.
// A table read from a mapped file (checked) is never changed, and its layer-0 lists, which nothing
// checked when the file was opened, are checked as they are read.
// Most nodes have no upper layer and then own no upper storage at all.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/growth.h"
#include "core/huge_pages.h"

namespace vek {

using LinkList = std::vector<int32_t>;

// A read-only view of one neighbour list, valid until that list is next changed.
class LinkSpan {
public:
    LinkSpan() = default;
    LinkSpan(const int32_t* ids, size_t count) : ids_(ids), count_(count) {}
    LinkSpan(const LinkList& list) : ids_(list.data()), count_(list.size()) {}  // NOLINT: implicit by design

    const int32_t* begin() const { return ids_; }
    const int32_t* end() const { return ids_ + count_; }
    const int32_t* data() const { return ids_; }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    int32_t operator[](size_t i) const { return ids_[i]; }

private:
    const int32_t* ids_ = nullptr;
    size_t count_ = 0;
};

class LinkTable {
public:
    using Slots = std::vector<int32_t, HugePageAllocator<int32_t>>;
    // A read-only table of `nodes` nodes over `slots` (a count word, then `room` ids, per node) and the
    // upper lists as a file lays them out: `upper` holds, for each node above layer 0, its level, then
    // per layer its list's length and ids; upper_nodes (ascending) are those nodes and upper_at[j] the
    // place of node upper_nodes[j]'s level word. The upper lists are checked already. A layer-0 list
    // whose count exceeds the room, or that holds an id of no node, reads as empty: a damaged file
    // cannot lead a walk out of bounds. Nothing is allocated per node.
    static LinkTable checked(Slots slots, size_t room, size_t nodes, Slots upper, std::vector<int32_t> upper_nodes,
                             std::vector<size_t> upper_at) {
        LinkTable t;
        t.room_ = room;
        t.stride_ = 1 + room;
        t.base_ = std::move(slots);
        t.checked_ = true;
        t.nodes_ = nodes;
        t.upper_words_ = std::move(upper);
        t.upper_nodes_ = std::move(upper_nodes);
        t.upper_at_ = std::move(upper_at);
        return t;
    }
    // Ids a slot holds.
    size_t room() const { return room_; }

    // Longest layer-0 list kept in the table itself: with M up to 64 every list built here fits.
    static constexpr size_t kMaxSlot = 128;
    // Longest slot a checked table reads: the count word holds at most this.
    static constexpr size_t kMaxMappedRoom = (size_t{1} << 16) - 1;
    static constexpr int32_t kUnknownKept = -1;

    // Sets the slot size from the layer-0 list limit; only while the table is empty.
    void set_limit(int32_t base_limit) {
        if (size() != 0) return;
        const auto limit = static_cast<size_t>(std::max(base_limit, 0));
        room_ = std::min(limit, kMaxSlot);
        stride_ = 1 + room_;
        every_node_aside_ = limit > room_;
    }

    LinkSpan at(int32_t node, int32_t layer) const {
        if (layer != 0) return checked_ ? checked_upper(node, layer) : LinkSpan(upper_[node][layer - 1]);
        LinkSpan in_slot;
        return slot_list(node, in_slot) ? in_slot : LinkSpan(aside_[node]);
    }
    // How many of node's first ids on `layer` the selection that wrote the list kept on their own merit
    // (the rest topped it up), or kUnknownKept: a list above layer 0, or one written any other way.
    int32_t kept(int32_t node, int32_t layer) const {
        const int32_t word = layer == 0 ? first_word(node) : kAside;
        return word >= 0 ? (word >> kKeptShift) - 1 : kUnknownKept;
    }

    // Room for `count` ids in node's list; after it, set/append within that count do not allocate.
    void reserve(int32_t node, int32_t layer, size_t count) {
        if (layer != 0)
            grow_to(upper_[node][layer - 1], count);
        else if (count > room_)
            grow_to(aside(node), count);
    }
    // Replaces node's list; allocates only past what `reserve` made room for. `kept` is the selection's
    // kept prefix (see kept()); layer-0 lists in a slot remember it, others drop it.
    void set(int32_t node, int32_t layer, LinkSpan ids, int32_t kept = kUnknownKept) {
        if (layer != 0) {
            upper_[node][layer - 1].assign(ids.begin(), ids.end());
            return;
        }
        int32_t* slot = slot_of(node);
        if (ids.size() <= room_) {
            // Forward, word by word: the only source that can overlap the slot is the slot itself.
            for (size_t i = 0; i < ids.size(); ++i) store(slot + 1 + i, ids[i]);
            const bool known = kept >= 0 && static_cast<size_t>(kept) <= ids.size();
            store(slot, static_cast<int32_t>(ids.size()) | ((known ? kept + 1 : 0) << kKeptShift));
        } else {
            LinkList& list = aside(node);
            if (list.data() != ids.data()) list.assign(ids.begin(), ids.end());
            store(slot, kAside);
        }
    }
    // Adds id at the end of node's list; the list then no longer counts as a selection's.
    void append(int32_t node, int32_t layer, int32_t id) {
        if (layer != 0) {
            upper_[node][layer - 1].push_back(id);
            return;
        }
        int32_t* slot = slot_of(node);
        const int32_t word = first_word(node);
        if (word < 0) {
            aside(node).push_back(id);
            return;
        }
        const auto count = static_cast<size_t>(word & kCountBits);
        if (count < room_) {
            store(slot + 1 + count, id);
            store(slot, static_cast<int32_t>(count + 1));
            return;
        }
        LinkList& list = aside(node);
        list.assign(slot + 1, slot + 1 + count);
        list.push_back(id);
        store(slot, kAside);
    }
    // Node's layer-0 list where it lies in the slot, for a walk that reads it while another thread may
    // rewrite it (a concurrent build): every id it then reads is one a writer put there, none beyond
    // the slot. False for a list aside, whose storage may move.
    bool slot_list(int32_t node, LinkSpan& out) const {
        const int32_t word = first_word(node);
        if (word < 0) {
            if (!checked_) return false;
            out = LinkSpan();
            return true;
        }
        const auto count = static_cast<size_t>(word & kCountBits);
        out = LinkSpan(slot_of(node) + 1, std::min(count, room_));
        if (checked_ && (count > room_ || !all_nodes(out))) out = LinkSpan();
        return true;
    }
    // One id of a list, read as the relaxed atomic it is written as.
    static int32_t load(const int32_t* id) { return __atomic_load_n(id, __ATOMIC_RELAXED); }

    // Where node's layer-0 list starts, for prefetching: no memory is read to find it.
    const int32_t* base_slot(int32_t node) const { return slot_of(node); }
    size_t slot_bytes() const { return stride_ * sizeof(int32_t); }
    // Number of layer lists of a node: its level + 1.
    size_t layers(int32_t node) const {
        if (!checked_) return 1 + upper_[node].size();
        const int32_t* level = level_word(node);
        return 1 + (level ? static_cast<size_t>(*level) : 0);
    }
    size_t size() const { return checked_ ? nodes_ : upper_.size(); }

    // Makes room for `count` more nodes, so that a following push_node of a level-0 node cannot fail.
    void reserve_more(size_t count) {
        reserve_for(base_, count * stride_);
        reserve_for(upper_, count);
        if (keeps_aside()) reserve_for(aside_, count);
    }
    void reserve_one_more() { reserve_more(1); }
    // Appends a node with `level` + 1 empty lists. Only the upper lists allocate, before anything changes.
    void push_node(int32_t level) {
        std::vector<LinkList> upper(static_cast<size_t>(level));
        reserve_one_more();
        base_.resize(base_.size() + stride_);
        base_[base_.size() - stride_] = 0;
        upper_.push_back(std::move(upper));
        if (keeps_aside()) aside_.emplace_back();
    }
    // Keeps the first n nodes.
    void resize(size_t n) {
        if (n >= size()) return;
        base_.resize(n * stride_);
        upper_.resize(n);
        if (aside_.size() > n) aside_.resize(n);
    }
    // Moves node `from`'s lists into node `to`'s place, whose own lists are dropped; `from` keeps none.
    void move_node(int32_t from, int32_t to) {
        const int32_t* src = slot_of(from);
        int32_t* dst = slot_of(to);
        for (size_t i = 0; i < stride_; ++i) store(dst + i, src[i]);
        store(slot_of(from), 0);
        upper_[to].swap(upper_[from]);
        upper_[from].clear();
        if (aside_.size() > static_cast<size_t>(std::max(from, to))) {
            aside_[to].swap(aside_[from]);
            aside_[from].clear();
        }
    }
    // Replaces every id x in the lists of the first `count` nodes by to[x].
    void renumber(const std::vector<int32_t>& to, size_t count) {
        auto each = [&](int32_t* ids, size_t n) {
            for (size_t i = 0; i < n; ++i) ids[i] = to[static_cast<size_t>(ids[i])];
        };
        for (size_t node = 0; node < count; ++node) {
            int32_t* slot = slot_of(static_cast<int32_t>(node));
            if (slot[0] >= 0)
                each(slot + 1, std::min(static_cast<size_t>(slot[0] & kCountBits), room_));
            else
                each(aside_[node].data(), aside_[node].size());
            for (LinkList& l : upper_[node]) each(l.data(), l.size());
        }
    }
    // This table with node order[i] as node i and every id x written as to[x] (to[order[i]] == i).
    LinkTable permuted(const std::vector<int32_t>& order, const std::vector<int32_t>& to) const {
        LinkTable t;
        t.room_ = room_;
        t.stride_ = stride_;
        t.every_node_aside_ = every_node_aside_;
        t.base_.resize(order.size() * stride_);
        t.upper_.resize(order.size());
        if (!aside_.empty()) t.aside_.resize(order.size());
        for (size_t i = 0; i < order.size(); ++i) {
            const auto o = static_cast<size_t>(order[i]);
            std::copy_n(base_.data() + o * stride_, stride_, t.base_.data() + i * stride_);
            t.upper_[i] = upper_[o];
            if (!aside_.empty()) t.aside_[i] = aside_[o];
        }
        t.renumber(to, order.size());
        return t;
    }
    // Gives back the storage beyond what the lists hold.
    void shrink_to_fit() {
        base_.shrink_to_fit();
        upper_.shrink_to_fit();
        for (auto& layers : upper_)
            for (LinkList& l : layers) l.shrink_to_fit();
        aside_.shrink_to_fit();
        for (LinkList& l : aside_) l.shrink_to_fit();
    }
    // Heap bytes of the lists and of the tables that hold them, capacity included.
    size_t memory_bytes() const {
        size_t bytes = base_.capacity() * sizeof(int32_t) + upper_.capacity() * sizeof(std::vector<LinkList>);
        for (const auto& layers : upper_) {
            bytes += layers.capacity() * sizeof(LinkList);
            for (const LinkList& l : layers) bytes += l.capacity() * sizeof(int32_t);
        }
        bytes += aside_.capacity() * sizeof(LinkList);
        for (const LinkList& l : aside_) bytes += l.capacity() * sizeof(int32_t);
        return bytes + upper_words_.capacity() * sizeof(int32_t) + upper_nodes_.capacity() * sizeof(int32_t) +
               upper_at_.capacity() * sizeof(size_t);
    }
    void swap(LinkTable& other) noexcept {
        base_.swap(other.base_);
        upper_.swap(other.upper_);
        aside_.swap(other.aside_);
        std::swap(room_, other.room_);
        std::swap(stride_, other.stride_);
        std::swap(every_node_aside_, other.every_node_aside_);
        std::swap(checked_, other.checked_);
        std::swap(nodes_, other.nodes_);
        upper_words_.swap(other.upper_words_);
        upper_nodes_.swap(other.upper_nodes_);
        upper_at_.swap(other.upper_at_);
    }

private:
    // Slot words are written as relaxed atomics (plain stores on this processor), so that a walk may
    // read them (slot_list, load) while a writer holds the node's lock.
    static void store(int32_t* word, int32_t value) { __atomic_store_n(word, value, __ATOMIC_RELAXED); }
    int32_t first_word(int32_t node) const { return load(slot_of(node)); }
    static void grow_to(LinkList& list, size_t count) {
        if (count > list.capacity()) list.reserve(std::max(count, 2 * list.capacity()));
    }
    bool keeps_aside() const { return every_node_aside_ || !aside_.empty(); }
    // A checked table's level word of `node`, or null for a node without upper lists.
    const int32_t* level_word(int32_t node) const {
        const auto it = std::lower_bound(upper_nodes_.begin(), upper_nodes_.end(), node);
        if (it == upper_nodes_.end() || *it != node) return nullptr;
        return upper_words_.data() + upper_at_[static_cast<size_t>(it - upper_nodes_.begin())];
    }
    LinkSpan checked_upper(int32_t node, int32_t layer) const {
        const int32_t* p = level_word(node);
        if (p == nullptr || layer > *p) return LinkSpan();
        ++p;  // layer 1's length
        for (int32_t l = 1; l < layer; ++l) p += 1 + *p;
        return LinkSpan(p + 1, static_cast<size_t>(*p));
    }
    bool all_nodes(LinkSpan ids) const {
        const auto n = static_cast<uint32_t>(size());
        bool ok = true;
        for (int32_t id : ids) ok &= static_cast<uint32_t>(id) < n;
        return ok;
    }
    // Node's list aside; the first one a table needs gives every node its own, while one thread works.
    LinkList& aside(int32_t node) {
        if (aside_.size() < size()) aside_.resize(size());
        return aside_[node];
    }
    int32_t* slot_of(int32_t node) { return base_.data() + static_cast<size_t>(node) * stride_; }
    const int32_t* slot_of(int32_t node) const { return base_.data() + static_cast<size_t>(node) * stride_; }

    // A slot's first word: the count in the low bits and the kept prefix + 1 (0: unknown) above them,
    // or kAside for a list that lives aside.
    static constexpr int kKeptShift = 16;
    static constexpr int32_t kCountBits = (1 << kKeptShift) - 1;
    static constexpr int32_t kAside = -1;
    static_assert(kMaxSlot < (1u << kKeptShift) - 1, "a slot's count and kept prefix share one word");

    size_t room_ = 0;    // ids a slot holds
    size_t stride_ = 1;  // the count word, then room_ ids
    Slots base_;
    std::vector<std::vector<LinkList>> upper_;
    bool every_node_aside_ = false;
    std::vector<LinkList> aside_;  // none, or one per node: layer-0 lists longer than a slot
    bool checked_ = false;         // read from a mapped file: lists checked as they are read
    // A checked table's node count and upper lists (see checked()).
    size_t nodes_ = 0;
    Slots upper_words_;
    std::vector<int32_t> upper_nodes_;
    std::vector<size_t> upper_at_;
};

}  // namespace vek
