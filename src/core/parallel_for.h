// One way of spreading work over native threads, for the batch searches and the concurrent build.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace vek {

// Runs task(i) for i in [0, count) on up to `threads` threads, the calling one included; a task that
// takes two arguments also gets its worker's number, in [0, threads). The first exception stops the
// hand-out of further items and is rethrown once every thread has finished.
template <class Task>
void parallel_for(size_t count, int threads, Task&& task) {
    auto call = [&task](size_t i, size_t worker) {
        if constexpr (std::is_invocable_v<Task&, size_t, size_t>)
            task(i, worker);
        else
            task(i);
    };
    const size_t workers = std::min(count, static_cast<size_t>(std::max(threads, 1)));
    if (workers <= 1) {
        for (size_t i = 0; i < count; ++i) call(i, 0);
        return;
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_lock;
    auto run = [&](size_t worker) {
        try {
            for (size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < count;)
                call(i, worker);
        } catch (...) {
            const std::lock_guard<std::mutex> guard(error_lock);
            if (!error) error = std::current_exception();
            failed = true;
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    try {
        for (size_t t = 1; t < workers; ++t) pool.emplace_back(run, t);
    } catch (...) {
        failed = true;  // a thread could not start: let the started ones finish, then report
        for (std::thread& th : pool) th.join();
        throw;
    }
    run(0);
    for (std::thread& th : pool) th.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace vek
