// Allocator for the large per-index arrays. Blocks of 2 MiB and more are mapped on their own, aligned
// to 2 MiB and offered to the kernel for transparent huge pages, which cuts TLB misses in scans and
// graph walks. Contents and results are unaffected.
//
// An allocator may also lend an array memory it does not own: the section of a mapped index file
// (Region). Its first allocation of exactly the lent count returns that memory, elements created there
// without values keep the bytes they find, and giving it back does nothing; the region stays mapped
// while any array or allocator holds it. Every other allocation is an ordinary one.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace vek {

// A mapped file, unmapped when the last holder lets go.
struct Region {
    void* base = nullptr;
    size_t bytes = 0;
    Region(void* b, size_t n) : base(b), bytes(n) {}
    Region(const Region&) = delete;
    Region& operator=(const Region&) = delete;
    ~Region() {
        if (base) ::munmap(base, bytes);
    }
};

template <class T>
struct HugePageAllocator {
    using value_type = T;
    // Arrays take their allocator along when swapped or assigned: a lent array stays with its region.
    using propagate_on_container_swap = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_copy_assignment = std::true_type;
    static constexpr size_t kHugePage = size_t{1} << 21;

    static size_t round_up(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>& other) : region_(other.region_) {}
    // Lends `count` elements at `at` inside `region`.
    HugePageAllocator(std::shared_ptr<const Region> region, const T* at, size_t count)
        : region_(std::move(region)), lent_(const_cast<T*>(at)), lent_count_(count) {}
    // A copied array owns its copy.
    HugePageAllocator select_on_container_copy_construction() const { return {}; }

    // Elements created without a value by a lending allocator keep the bytes they find (the lent ones:
    // only a mapped index, which never grows, holds such an array); everywhere else they are
    // value-initialised, as std::allocator does. The test is the same for every element, so creating
    // a lent array's elements compiles to nothing.
    template <class U>
    void construct(U* p) {
        if (lent_ == nullptr) ::new (static_cast<void*>(p)) U();
    }
    template <class U, class A, class... Args>
    void construct(U* p, A&& a, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a), std::forward<Args>(args)...);
    }

    T* allocate(size_t n) {
        if (lent_ != nullptr && n == lent_count_ && !handed_) {
            handed_ = true;  // once: no other array may come to share the lent memory
            return lent_;
        }
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
        if (p == lent_ && p != nullptr) return;
        if (n * sizeof(T) < kHugePage)
            std::free(p);
        else
            ::munmap(p, round_up(n * sizeof(T)));
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>& other) const noexcept {
        return static_cast<const void*>(lent_) == static_cast<const void*>(other.lent_);
    }
    template <class U>
    bool operator!=(const HugePageAllocator<U>& other) const noexcept {
        return !(*this == other);
    }

private:
    template <class U>
    friend struct HugePageAllocator;
    std::shared_ptr<const Region> region_;
    T* lent_ = nullptr;
    size_t lent_count_ = 0;
    bool handed_ = false;
};

// An array of `count` elements lent from a mapped region, without copying.
template <class T>
std::vector<T, HugePageAllocator<T>> lent_array(std::shared_ptr<const Region> region, const void* at, size_t count) {
    std::vector<T, HugePageAllocator<T>> v(HugePageAllocator<T>(std::move(region), static_cast<const T*>(at), count));
    v.resize(count);
    return v;
}

}  // namespace vek
