// Allocator for the large per-index arrays. Blocks of 2 MiB and more are aligned to 2 MiB and offered
// to the kernel for transparent huge pages, which cuts TLB misses in scans and graph walks over
// the stored vectors. Contents and results are unaffected.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace vek {

template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr size_t kHugePage = size_t{1} << 21;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const size_t bytes = n * sizeof(T);
        void* p = nullptr;
        if (bytes >= kHugePage) {
            const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
            if (::posix_memalign(&p, kHugePage, rounded) != 0) throw std::bad_alloc();
            ::madvise(p, rounded, MADV_HUGEPAGE);  // advisory: refusal changes nothing but speed
        } else {
            p = std::malloc(bytes ? bytes : 1);
            if (!p) throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { std::free(p); }

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
