// Allocator for the large per-index arrays. Blocks of 2 MiB and more are mapped on their own, aligned
// to 2 MiB and offered to the kernel for transparent huge pages, which cuts TLB misses in scans and
// graph walks. Contents and results are unaffected.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace vek {

template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr size_t kHugePage = size_t{1} << 21;

    static size_t round_up(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T) - kHugePage) throw std::bad_alloc();
        const size_t bytes = n * sizeof(T);
        if (bytes < kHugePage) {
            void* p = std::malloc(bytes ? bytes : 1);
            if (!p) throw std::bad_alloc();
            return static_cast<T*>(p);
        }
        // Mapped directly, not through malloc: a block given back is then returned to the system at
        // once, where malloc could keep a grown array's earlier blocks resident in its heap.
        const size_t rounded = round_up(bytes);
        void* map = ::mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<uintptr_t>(map);
        const uintptr_t aligned = round_up(start);
        if (aligned > start) ::munmap(map, aligned - start);
        const uintptr_t tail = aligned + rounded, end = start + rounded + kHugePage;
        if (end > tail) ::munmap(reinterpret_cast<void*>(tail), end - tail);
        // Advisory: a refusal changes nothing but speed.
        ::madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);
        return reinterpret_cast<T*>(aligned);
    }
    void deallocate(T* p, size_t n) noexcept {
        if (n * sizeof(T) < kHugePage)
            std::free(p);
        else
            ::munmap(p, round_up(n * sizeof(T)));
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const HugePageAllocator<U>&) const noexcept {
        return false;
    }
};

}  // namespace vek
