// Encoding rows into the index's storage and decoding them back.
#include "core/stored_rows.h"

#include <algorithm>

namespace vek {

namespace {

// float32 to bfloat16, rounding to nearest with ties to even (finite input).
uint16_t to_bfloat16(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits += 0x7FFFu + ((bits >> 16) & 1u);
    return static_cast<uint16_t>(bits >> 16);
}

}  // namespace

Codec Codec::int8(const float* lo, const float* hi, size_t dims) {
    Codec c;
    c.storage_ = Storage::Int8;
    c.step_.resize(dims);
    c.low_.resize(dims);
    for (size_t i = 0; i < dims; ++i) {
        if (!std::isfinite(lo[i]) || !std::isfinite(hi[i]) || lo[i] > hi[i])
            throw std::invalid_argument("int8 range of dimension " + std::to_string(i) +
                                        " is not a pair of finite bounds low <= high");
        c.step_[i] = (hi[i] - lo[i]) / 255.0f;
        c.low_[i] = lo[i];
    }
    return int8_steps(c.step_.data(), c.low_.data(), dims);
}

Codec Codec::int8_steps(const float* step, const float* low, size_t dims) {
    Codec c;
    c.storage_ = Storage::Int8;
    c.step_.assign(step, step + dims);
    c.low_.assign(low, low + dims);
    for (size_t i = 0; i < dims; ++i) {
        // Every code, the top one included, must decode to a finite value.
        if (!std::isfinite(low[i]) || !(step[i] >= 0.0f) || !std::isfinite(std::fmaf(255.0f, step[i], low[i])))
            throw std::invalid_argument("int8 range of dimension " + std::to_string(i) + " is too wide for float32");
    }
    return c;
}

bool Codec::encode(const float* x, size_t dims, float* row) const {
    const size_t floats = row_floats(dims);
    if (storage_ == Storage::Float32) {
        std::copy_n(x, dims, row);
        return true;
    }
    std::fill_n(row, floats, 0.0f);
    auto* bytes = reinterpret_cast<unsigned char*>(row);
    switch (storage_) {
        case Storage::Float16:
            for (size_t i = 0; i < dims; ++i) {
                const uint16_t h = _cvtss_sh(x[i], _MM_FROUND_TO_NEAREST_INT);
                if ((h & 0x7C00u) == 0x7C00u) return false;  // beyond 65504: infinity
                std::memcpy(bytes + 2 * i, &h, sizeof h);
            }
            return true;
        case Storage::BFloat16:
            for (size_t i = 0; i < dims; ++i) {
                const uint16_t h = to_bfloat16(x[i]);
                if ((h & 0x7F80u) == 0x7F80u) return false;
                std::memcpy(bytes + 2 * i, &h, sizeof h);
            }
            return true;
        default:
            // The nearest code, values outside the range taking its nearest end.
            for (size_t i = 0; i < dims; ++i) {
                float code = 0.0f;
                if (step_[i] > 0.0f) code = std::nearbyint((x[i] - low_[i]) / step_[i]);
                bytes[i] = static_cast<unsigned char>(std::clamp(code, 0.0f, 255.0f));
            }
            return true;
    }
}

void Codec::decode(const float* row, size_t dims, float* out) const {
    visit([&](const auto& rows) {
        using Rows = std::decay_t<decltype(rows)>;
        const auto* r = row_of<Rows>(row);
        size_t i = 0;
        for (; i + 8 <= dims; i += 8) _mm256_storeu_ps(out + i, rows.block(r, i));
        for (; i < dims; ++i) out[i] = rows.at(r, i);
    });
}

}  // namespace vek
