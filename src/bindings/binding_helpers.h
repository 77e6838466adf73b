// What both Python modules need from their bindings: typed array conversion and the two ways of taking
// an index's reader-writer lock without ever waiting for it while the GIL is held.
//
// Locking. Each index has a reader-writer lock: searches and read-only calls share it, calls that
// modify the index hold it alone. Two rules make every interleaving deadlock-free: a thread never
// waits for the index lock while holding the GIL, and a thread that released the GIL gives the index
// lock back before it takes the GIL again. Sizes that depend on the index (its dimension, its node
// count) are checked under the index lock, since a load on another thread may change them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "core/hyperbolic_index.h"

namespace vek::binding {

namespace py = pybind11;

using FloatArray = py::array_t<float, py::array::c_style>;
using MaskArray = py::array_t<uint64_t, py::array::c_style>;
using Shared = std::shared_lock<std::shared_mutex>;
using Exclusive = std::unique_lock<std::shared_mutex>;

// Runs `work` without the GIL, under the index lock taken in mode `Lock`.
template <class Lock, class Work>
auto without_gil(const HyperbolicIndex& index, Work&& work) {
    py::gil_scoped_release unlocked;
    Lock lock(index.guard());
    return work();
}

// Takes the index lock in mode `Lock` for a call that works with the GIL, waiting without the GIL.
template <class Lock>
Lock lock_with_gil(const HyperbolicIndex& index) {
    Lock lock(index.guard(), std::try_to_lock);
    if (!lock.owns_lock()) {
        py::gil_scoped_release unlocked;
        lock.lock();
    }
    return lock;
}

}  // namespace vek::binding
