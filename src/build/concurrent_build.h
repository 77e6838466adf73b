// What the threads of a concurrent build share: a lock per node guarding its neighbour lists, and the
// lists' contents before the build first changed them, so a failed build can put them back.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <immintrin.h>

#include "core/growth.h"
#include "core/link_table.h"

namespace vek {

inline bool holds_link(LinkSpan list, int32_t id) { return std::find(list.begin(), list.end(), id) != list.end(); }

// A one-byte lock: a list is held for a few microseconds at most, too short to be worth sleeping for.
class NodeLock {
public:
    void lock() {
        for (int spins = 0; !try_lock(); ++spins) {
            if (spins < 64)
                _mm_pause();
            else
                std::this_thread::yield();  // the holder may have lost its core
        }
    }
    bool try_lock() {
        return !held_.load(std::memory_order_relaxed) && !held_.exchange(true, std::memory_order_acquire);
    }
    void unlock() { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

// One worker's record of the lists of nodes that existed before the build, as they were before it
// first changed them, in one flat array: the node, its number of layers, then each layer's length and
// ids. During a build a list only grows or stays full, so one put back fits in its current capacity.
class UndoLog {
public:
    // Records every layer of `node`; on failure the log is as it was.
    void save(int32_t node, const LinkTable& links) {
        const size_t layers = links.layers(node);
        size_t need = 2;
        for (size_t layer = 0; layer < layers; ++layer) need += 1 + links.at(node, static_cast<int32_t>(layer)).size();
        reserve_for(log_, need);
        log_.push_back(node);
        log_.push_back(static_cast<int32_t>(layers));
        for (size_t layer = 0; layer < layers; ++layer) {
            const LinkSpan list = links.at(node, static_cast<int32_t>(layer));
            log_.push_back(static_cast<int32_t>(list.size()));
            log_.insert(log_.end(), list.begin(), list.end());
        }
    }
    void restore(LinkTable& links) const noexcept {
        for (size_t at = 0; at < log_.size();) {
            const int32_t node = log_[at++];
            const int32_t layers = log_[at++];
            for (int32_t layer = 0; layer < layers; ++layer) {
                const auto len = static_cast<size_t>(log_[at++]);
                const int32_t* ids = log_.data() + at;
                links.set(node, layer, LinkSpan(ids, len));  // within capacity: no allocation
                at += len;
            }
        }
    }

private:
    std::vector<int32_t> log_;
};

struct ConcurrentBuild {
    ConcurrentBuild(size_t nodes, size_t first_new, size_t threads)
        : locks(new NodeLock[nodes]), touched(first_new, 0), saved(threads) {}

    NodeLock& lock(int32_t node) { return locks[static_cast<size_t>(node)]; }
    // Before the first change to a node that existed before the batch, its lists are kept aside.
    // Called under the node's lock.
    void save_once(int32_t node, size_t worker, const LinkTable& links) {
        if (static_cast<size_t>(node) >= touched.size() || touched[node]) return;
        saved[worker].save(node, links);
        touched[node] = 1;
    }

    std::unique_ptr<NodeLock[]> locks;
    std::mutex entry_lock;           // guards the entry point and its layer
    std::vector<uint8_t> touched;    // per node that existed before: whether its lists are saved
    std::vector<UndoLog> saved;      // per worker
};

}  // namespace vek
