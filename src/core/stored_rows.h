// How the index keeps its vectors: float32, or two bytes a coordinate (IEEE half, bfloat16), or one
// (an 8-bit code per coordinate with a step and a floor per dimension). A stored row decodes to float32
// values, and every distance reads it through one of the readers below, which hand the kernels eight
// decoded values at a time or one: a coordinate decodes to the same float wherever it is read, so the
// distance of a pair is exactly that of its decoded vectors, in every search and in the build.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/kernels.h"

namespace vek {

enum class Storage : uint8_t { Float32 = 0, Float16 = 1, BFloat16 = 2, Int8 = 3 };

// The compressed storages' readers, as Float32Rows (core/kernels.h) reads float32 rows.
struct Float16Rows {
    using Elem = uint16_t;
    __m256 block(const uint16_t* row, size_t i) const {
        return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i)));
    }
    float at(const uint16_t* row, size_t i) const {
        uint16_t h;
        std::memcpy(&h, row + i, sizeof h);  // the row lives in a float array: no uint16_t lvalue
        return _cvtsh_ss(h);
    }
};

struct BFloat16Rows {
    using Elem = uint16_t;
    __m256 block(const uint16_t* row, size_t i) const {
        const __m256i wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
    }
    float at(const uint16_t* row, size_t i) const {
        uint16_t h;
        std::memcpy(&h, row + i, sizeof h);
        const uint32_t bits = static_cast<uint32_t>(h) << 16;
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
};

// Coordinate i of an 8-bit row decodes as float(code) * step[i] + low[i] in one fused operation
// (one rounding): a single instruction for eight values.
struct Int8Rows {
    using Elem = uint8_t;
    const float* step;
    const float* low;
    __m256 block(const uint8_t* row, size_t i) const {
        const __m256 code = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + i))));
        return _mm256_fmadd_ps(code, _mm256_loadu_ps(step + i), _mm256_loadu_ps(low + i));
    }
    float at(const uint8_t* row, size_t i) const { return std::fmaf(static_cast<float>(row[i]), step[i], low[i]); }
};

// The storage of an index and what its rows need to be read.
class Codec {
public:
    Codec() = default;
    // 16-bit storage (Float16 or BFloat16; Float32 gives the default).
    static Codec of(Storage storage) {
        if (storage == Storage::Int8) throw std::invalid_argument("8-bit storage needs its range");
        Codec c;
        c.storage_ = storage;
        return c;
    }
    // 8-bit storage over [lo[i], hi[i]] per dimension: 256 codes evenly spaced from lo to hi (one
    // code, lo itself, where they are equal). std::invalid_argument for a bound that is not finite,
    // lo above hi, or a range whose step overflows.
    static Codec int8(const float* lo, const float* hi, size_t dims);
    // 8-bit storage of the given steps and floors (as steps() and floors() give them), checked as int8 checks.
    static Codec int8_steps(const float* step, const float* low, size_t dims);

    Storage storage() const { return storage_; }
    bool compressed() const { return storage_ != Storage::Float32; }
    // Int8 only: the step and floor of every dimension.
    const std::vector<float>& steps() const { return step_; }
    const std::vector<float>& floors() const { return low_; }
    // Floats a stored row of `dims` values takes (a compressed row rounded up to whole floats).
    size_t row_floats(size_t dims) const { return row_floats(storage_, dims); }
    static size_t row_floats(Storage storage, size_t dims) {
        switch (storage) {
            case Storage::Float32: return dims;
            case Storage::Int8: return (dims + 3) / 4;
            default: return (2 * dims + 3) / 4;
        }
    }
    // Bytes of a stored row that hold values (the rest of its last float is zero).
    size_t row_bytes(size_t dims) const {
        return storage_ == Storage::Float32 ? 4 * dims : storage_ == Storage::Int8 ? dims : 2 * dims;
    }
    // The stored row of `x` (row_floats(dims) floats); false, with `row` unspecified, when a value
    // rounds beyond what the storage holds (a 16-bit overflow to infinity).
    bool encode(const float* x, size_t dims, float* row) const;
    void decode(const float* row, size_t dims, float* out) const;
    // f(reader) with the reader of this storage, its row pointer type as Elem.
    template <class F>
    decltype(auto) visit(F&& f) const {
        switch (storage_) {
            case Storage::Float16: return f(Float16Rows{});
            case Storage::BFloat16: return f(BFloat16Rows{});
            case Storage::Int8: return f(Int8Rows{step_.data(), low_.data()});
            default: return f(Float32Rows{});
        }
    }
    bool operator==(const Codec& o) const { return storage_ == o.storage_ && step_ == o.step_ && low_ == o.low_; }

private:
    Storage storage_ = Storage::Float32;
    std::vector<float> step_, low_;
};

// A stored row as its reader reads it.
template <class Rows>
inline const typename Rows::Elem* row_of(const float* row) {
    return reinterpret_cast<const typename Rows::Elem*>(row);
}

}  // namespace vek
