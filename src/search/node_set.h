// A set of nodes as a filter reads it: a bitmap for membership during a walk and the members ascending
// for a scan that visits only them. One set is refilled for row after row, so clearing touches only the
// words its members set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vek {

class NodeSet {
public:
    // Makes the set hold nodes[0..count) (each in 0..n-1; repeats and order do not matter) on an index
    // of n nodes.
    void assign(size_t n, const int32_t* nodes, size_t count) {
        clear();
        if (bits_.size() < n / 64 + 1) bits_.assign(n / 64 + 1, 0);
        for (size_t j = 0; j < count; ++j) {
            const size_t node = static_cast<size_t>(nodes[j]);
            bits_[node / 64] |= uint64_t{1} << (node % 64);
        }
        // Members in order: read back from the bitmap when they are many, sorted when they are few.
        if (count > n / 256) {
            for (size_t w = 0; w <= n / 64; ++w)
                for (uint64_t word = bits_[w]; word != 0; word &= word - 1)
                    members_.push_back(static_cast<int32_t>(w * 64 + static_cast<size_t>(__builtin_ctzll(word))));
        } else {
            members_.assign(nodes, nodes + count);
            std::sort(members_.begin(), members_.end());
            members_.erase(std::unique(members_.begin(), members_.end()), members_.end());
        }
    }
    void clear() {
        for (const int32_t node : members_) bits_[static_cast<size_t>(node) / 64] = 0;
        members_.clear();
    }

    const uint64_t* bits() const { return bits_.data(); }
    const int32_t* members() const { return members_.data(); }
    size_t size() const { return members_.size(); }

private:
    std::vector<uint64_t> bits_;
    std::vector<int32_t> members_;
};

}  // namespace vek
