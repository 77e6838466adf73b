// What the quellix file's versions share: the magic, the metric codes, numbers as messages write them,
// the checksummed stream every save goes through, and reads of unaligned values.
#pragma once

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/hyperbolic_index.h"
#include "io/quellix_file.h"

namespace vek::file_parts {

constexpr char kMagic[8] = {'Q', 'U', 'E', 'L', 'L', 'I', 'X', '\0'};

inline const char* metric_name(MetricKind kind) {
    return kind == PoincareBall ? "poincare" : kind == Euclidean ? "euclidean" : "cosine";
}
inline uint32_t metric_code(MetricKind kind) { return kind == PoincareBall ? 0 : kind == Euclidean ? 1 : 2; }

// A double as Python's repr writes it (the file's messages read as the rest of quellix's).
inline std::string repr(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[64];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    std::string s(buf, end);
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}
inline std::string to_string(unsigned __int128 v) {
    std::string s;
    do {
        s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return s;
}

// Where a file is written: every byte goes through a C stream to `out` (none: only counted) and into
// the running CRC. The stream is a cookie stream, so the vek_core record writer writes through it too.
class Sink {
public:
    Sink(FILE* out, const std::string& name) : out_(out), name_(name) {
        cookie_io_functions_t io{};
        io.write = [](void* self, const char* p, size_t n) -> ssize_t {
            return static_cast<Sink*>(self)->put(p, n) ? static_cast<ssize_t>(n) : -1;
        };
        stream_ = ::fopencookie(this, "w", io);
        if (!stream_) throw std::bad_alloc();
        std::setvbuf(stream_, nullptr, _IOFBF, 1 << 16);
    }
    ~Sink() {
        if (stream_) std::fclose(stream_);
    }
    FILE* stream() { return stream_; }
    void raw(const void* p, size_t n) {
        if (n != 0 && std::fwrite(p, 1, n, stream_) != n) failed();
    }
    template <class T>
    void value(T v) {
        raw(&v, sizeof v);
    }
    // Everything written so far has reached `out`: its byte count and CRC.
    uint64_t flush(uint32_t* crc) {
        if (std::fflush(stream_) != 0) failed();
        *crc = crc_;
        return bytes_;
    }
    [[noreturn]] void failed() const {
        throw std::runtime_error("Failed to write index file: " + name_ + " (" + std::strerror(error_ ? error_ : EIO) +
                                 ")");
    }

private:
    bool put(const char* p, size_t n) {
        if (out_ != nullptr) {
            crc_ = crc32(crc_, p, n);
            if (std::fwrite(p, 1, n, out_) != n) {
                error_ = errno;
                return false;
            }
        }
        bytes_ += n;
        return true;
    }

    FILE* out_;
    const std::string& name_;
    FILE* stream_ = nullptr;
    uint32_t crc_ = 0;
    uint64_t bytes_ = 0;
    int error_ = 0;
};

template <class T>
T read_at(const char* data, size_t at) {
    T v;
    std::memcpy(&v, data + at, sizeof v);
    return v;
}

// The storage of a file's storage code, with under int8 its steps and floors (`ranges`: dim float32
// each, unaligned); runtime_error "Invalid index file: <name>: ..." for ranges no index may hold.
inline Codec codec_of(uint32_t storage, const char* ranges, uint32_t dim, const std::string& name) {
    if (storage == 0) return {};
    if (storage != 3) return Codec::of(static_cast<Storage>(storage));
    std::vector<float> values(2 * size_t{dim});
    std::memcpy(values.data(), ranges, 8 * size_t{dim});
    try {
        return Codec::int8_steps(values.data(), values.data() + dim, dim);
    } catch (const std::invalid_argument& err) {
        throw std::runtime_error("Invalid index file: " + name + ": " + err.what());
    }
}

}  // namespace vek::file_parts
