// What the threads of a concurrent build share: a lock per node guarding its neighbour lists, and the
// lists' contents before the build first changed them, so a failed build can put them back.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <immintrin.h>

#include "core/link_table.h"

namespace vek {

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

// A node's lists, every layer, as they were before this build first changed one of them.
struct SavedLists {
    int32_t node;
    std::vector<LinkList> layers;
};

struct ConcurrentBuild {
    ConcurrentBuild(size_t nodes, size_t first_new, size_t threads)
        : locks(new NodeLock[nodes]), touched(first_new, 0), saved(threads) {}

    NodeLock& lock(int32_t node) { return locks[static_cast<size_t>(node)]; }

    std::unique_ptr<NodeLock[]> locks;
    std::mutex entry_lock;           // guards the entry point and its layer
    std::vector<uint8_t> touched;    // per node that existed before: whether its lists are saved
    std::vector<std::vector<SavedLists>> saved;  // per worker
};

}  // namespace vek
