// The ids a quellix user sees, and the engine's node numbers behind them.
//
// Most indexes never see an id other than the node's own number: until a row is given an id of its
// own or a node is removed, nothing is stored and every id is its node. After that each node carries
// its id, and a table finds the node of an id. Ids given to a call still running are held as pending,
// so that two calls cannot both add the same id between their slices. All of it is read and changed
// under the index lock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quellix {

class Labels {
public:
    // The id of node `node`.
    int64_t id(int32_t node) const { return ids_.empty() ? node : ids_[static_cast<size_t>(node)]; }
    // The node of `id` on an index of `count` nodes, or -1.
    int32_t node(int64_t id, size_t count) const {
        if (ids_.empty()) return id >= 0 && static_cast<uint64_t>(id) < count ? static_cast<int32_t>(id) : -1;
        const auto it = nodes_.find(id);
        return it == nodes_.end() ? -1 : it->second;
    }
    bool held(int64_t id, size_t count) const { return node(id, count) >= 0; }
    bool pending(int64_t id) const { return pending_.count(id) != 0; }
    // Whether every node's id is its own number.
    bool identity() const {
        for (size_t i = 0; i < ids_.size(); ++i)
            if (ids_[i] != static_cast<int64_t>(i)) return false;
        return true;
    }
    // The next id given to a row that comes without one: past the largest ever held.
    int64_t next(size_t count) const { return ids_.empty() ? std::max<int64_t>(next_, static_cast<int64_t>(count)) : next_; }
    // Every node's id in node order (empty while each is its node's number).
    const std::vector<int64_t>& stored() const { return ids_; }

    void hold_pending(const std::vector<int64_t>& ids) { pending_.insert(ids.begin(), ids.end()); }
    void release_pending(const int64_t* ids, size_t count) {
        for (size_t i = 0; i < count; ++i) pending_.erase(ids[i]);
    }
    // Room for `more` nodes, so that `append` cannot fail.
    void reserve(size_t count, size_t more) {
        if (ids_.empty()) return;
        ids_.reserve(count + more);
        nodes_.reserve(count + more);
    }
    // Node `count` (the newest, of an index that held `count` before it) takes `id`.
    void append(int64_t id, size_t count) {
        if (ids_.empty() && id == static_cast<int64_t>(count) && next_ <= id) {
            next_ = id + 1;
            return;
        }
        materialize(count);
        ids_.push_back(id);
        nodes_[id] = static_cast<int32_t>(count);
        next_ = std::max(next_, id + 1);
    }
    // Makes every node carry its id, ahead of a removal, so that following it cannot fail.
    void prepare_removal(size_t count) { materialize(count); }
    // Follows the nodes of a removal (after prepare_removal): to[x] is node x's new number, -1 for a
    // removed node. Nothing here allocates.
    void renumber(const std::vector<int32_t>& to) {
        size_t live = 0;
        for (size_t x = 0; x < to.size(); ++x) {
            if (to[x] >= 0) {
                ++live;
                continue;
            }
            // A replaced node's id already names its successor.
            const auto it = nodes_.find(ids_[x]);
            if (it != nodes_.end() && it->second == static_cast<int32_t>(x)) nodes_.erase(it);
        }
        // Nodes only move down, into removed nodes' places, whose ids are gone from the table.
        for (size_t x = 0; x < to.size(); ++x) {
            if (to[x] < 0 || static_cast<size_t>(to[x]) == x) continue;
            ids_[static_cast<size_t>(to[x])] = ids_[x];
            nodes_.find(ids_[x])->second = to[x];
        }
        ids_.resize(live);
    }
    // The ids once node order[i] becomes node i, for adopt() after the nodes moved.
    std::vector<int64_t> reordered(const std::vector<int32_t>& order) const {
        std::vector<int64_t> ids(ids_.size());
        for (size_t i = 0; i < ids.size(); ++i) ids[i] = ids_[static_cast<size_t>(order[i])];
        return ids;
    }
    // Takes the ids of reordered(); nothing here allocates. Ids that are their nodes' numbers again
    // are no longer stored.
    void adopt(std::vector<int64_t>& ids) {
        for (size_t i = 0; i < ids.size(); ++i) nodes_.find(ids[i])->second = static_cast<int32_t>(i);
        ids_.swap(ids);
        if (identity()) {
            next_ = next(0);
            ids_.clear();
            nodes_.clear();
        }
    }
    // Replaces every id at once (a loaded file's): `ids` one per node and distinct, `next` beyond each.
    void assign(std::vector<int64_t> ids, int64_t next) {
        std::unordered_map<int64_t, int32_t> nodes;
        nodes.reserve(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) nodes.emplace(ids[i], static_cast<int32_t>(i));
        ids_.swap(ids);
        nodes_.swap(nodes);
        next_ = next;
    }
    void shrink_to_fit() {
        ids_.shrink_to_fit();
        nodes_.rehash(0);
    }

private:
    void materialize(size_t count) {
        if (!ids_.empty() || count == 0) return;
        ids_.resize(count);
        nodes_.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            ids_[i] = static_cast<int64_t>(i);
            nodes_.emplace(static_cast<int64_t>(i), static_cast<int32_t>(i));
        }
        next_ = std::max<int64_t>(next_, static_cast<int64_t>(count));
    }

    std::vector<int64_t> ids_;
    std::unordered_map<int64_t, int32_t> nodes_;
    std::unordered_set<int64_t> pending_;
    int64_t next_ = 0;
};

}  // namespace quellix
