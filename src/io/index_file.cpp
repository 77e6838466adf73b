// The index file: a 28-byte header (dimension, curvature, max_m, ep_id, ep_layer, n), then per node
// its vector and cached squared norm, then per node its mask, then per node its level and, for each
// layer 0..level, a uint64 count and that many int32 ids. Native byte order, no padding. Vectors are
// float32 (a compressed index writes its decoded values); a quellix file of version 5 held the stored
// rows' bytes there instead, and reading takes the storage they are in.
//
// Saving writes a temporary file beside the target and renames it over the target only when every
// byte is on disk, so a failed save reports an error and leaves any previous file intact. Loading
// reads into a fresh state, checks every count against the bytes that remain and every id against the
// nodes, and replaces the instance only when the whole file is sound.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/hyperbolic_index.h"
#include "io/file_writing.h"
#include "io/index_file.h"

namespace vek {

namespace {

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string errno_text() { return std::strerror(errno); }

}  // namespace

// The record stream's two ends (declared in io/index_file.h for IndexFile).
class Writer {
public:
    Writer(FILE* f, const std::string& name) : f_(f), name_(name) {}
    void raw(const void* p, size_t bytes) {
        if (bytes != 0 && std::fwrite(p, 1, bytes, f_) != bytes)
            throw std::runtime_error("Failed to write index file: " + name_ + " (" + errno_text() + ")");
    }
    template <class T>
    void value(const T& v) {
        raw(&v, sizeof(T));
    }

private:
    FILE* f_;
    const std::string& name_;
};

class Reader {
public:
    Reader(FILE* f, uint64_t size, const std::string& name) : f_(f), left_(size), name_(name) {}
    [[noreturn]] void fail(const std::string& why) const {
        throw std::runtime_error("Invalid index file: " + name_ + ": " + why);
    }
    uint64_t left() const { return left_; }
    // Refuses a record of `count` items of `item_bytes` each unless the file still holds them.
    void need(uint64_t count, uint64_t item_bytes, const char* what) const {
        if (item_bytes != 0 && count > left_ / item_bytes) fail(std::string("file too short for ") + what);
    }
    void raw(void* p, size_t bytes, const char* what) {
        need(bytes, 1, what);
        if (bytes != 0 && std::fread(p, 1, bytes, f_) != bytes) fail(std::string("read error in ") + what);
        left_ -= bytes;
    }
    template <class T>
    T value(const char* what) {
        T v;
        raw(&v, sizeof(T), what);
        return v;
    }

private:
    FILE* f_;
    uint64_t left_;
    const std::string& name_;
};

namespace {

// Where a save goes. A regular file (or a new one) is replaced atomically, through a symbolic link if
// there is one, so the link survives. Anything else that can be written (a device, a pipe, a dangling
// link) is written in place, as a plain open would: renaming over it would destroy it.
struct SaveTarget {
    std::string path;
    bool atomic;
};

SaveTarget resolve_target(const std::string& filename) {
    struct stat st;
    if (::lstat(filename.c_str(), &st) != 0) return {filename, true};
    std::string path = filename;
    if (S_ISLNK(st.st_mode)) {
        char* real = ::realpath(filename.c_str(), nullptr);
        if (!real) return {filename, false};
        path = real;
        std::free(real);
        if (::stat(path.c_str(), &st) != 0) return {filename, false};
    }
    return {path, S_ISREG(st.st_mode)};
}

std::string temp_name_for(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    return target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

}  // namespace

void IndexFile::write(const HyperbolicIndex& index, Writer& w) {
    const uint64_t n = index.size();
    const bool as_is = !index.codec().compressed();
    const size_t row_bytes = index.dims() * sizeof(float);
    std::vector<float> values(as_is ? 0 : index.dims());
    w.value(index.dimension);
    w.value(index.curvature);
    w.value(index.max_m);
    w.value(index.ep_id);
    w.value(index.ep_layer);
    w.value(n);
    for (size_t i = 0; i < n; ++i) {
        w.raw(as_is ? index.vec(static_cast<int32_t>(i)) : index.decoded(static_cast<int32_t>(i), values.data()),
              row_bytes);
        w.value(index.stored_norms[i]);
    }
    w.raw(index.masks.data(), n * sizeof(uint64_t));
    for (size_t i = 0; i < n; ++i) {
        w.value(index.node_levels[i]);
        for (size_t layer = 0; layer < index.links.layers(static_cast<int32_t>(i)); ++layer) {
            const LinkSpan list = index.links.at(static_cast<int32_t>(i), static_cast<int32_t>(layer));
            w.value(static_cast<uint64_t>(list.size()));
            w.raw(list.data(), list.size() * sizeof(int32_t));
        }
    }
}

void IndexFile::read(Reader& r) {
    dimension = r.value<int32_t>("header");
    curvature = r.value<float>("header");
    max_m = r.value<int32_t>("header");
    links.set_limit(HyperbolicIndex::base_link_limit(max_m));
    ep_id = r.value<int32_t>("header");
    ep_layer = r.value<int32_t>("header");
    const uint64_t n = r.value<uint64_t>("header");
    if (dimension < 0) r.fail("negative dimension " + std::to_string(dimension));
    const size_t d = static_cast<size_t>(dimension);
    if (codec.storage() == Storage::Int8 && codec.steps().size() != d)
        r.fail("int8 ranges for " + std::to_string(codec.steps().size()) + " dimensions, records of " +
               std::to_string(d));
    const size_t row_bytes = codec.row_bytes(d), stride = codec.row_floats(d);
    // Smallest possible node: vector and norm, mask, level, one empty layer-0 list.
    const uint64_t min_node_bytes = static_cast<uint64_t>(row_bytes) + 4 + 8 + 4 + 8;
    r.need(n, min_node_bytes, "the announced node count");
    if (n > static_cast<uint64_t>(INT32_MAX)) r.fail("node count " + std::to_string(n) + " exceeds the id range");

    vectors.resize(n * stride);  // zeros: a compressed row's last float may hold fewer codes
    stored_norms.resize(n);
    masks.resize(n);
    node_levels.resize(n);
    for (size_t i = 0; i < n; ++i) {
        r.raw(vectors.data() + i * stride, row_bytes, "vector block");
        stored_norms[i] = r.value<float>("vector block");
    }
    r.raw(masks.data(), n * sizeof(uint64_t), "mask block");
    LinkList list;
    for (size_t i = 0; i < n; ++i) {
        const int32_t level = r.value<int32_t>("graph block");
        if (level < 0) r.fail("node " + std::to_string(i) + " has negative level " + std::to_string(level));
        const uint64_t layers = static_cast<uint64_t>(level) + 1;
        r.need(layers, 8, "the layers of a node");
        node_levels[i] = level;
        links.push_node(level);
        for (int32_t layer = 0; layer <= level; ++layer) {
            const uint64_t count = r.value<uint64_t>("graph block");
            r.need(count, 4, "a neighbour list");
            list.resize(count);
            r.raw(list.data(), count * sizeof(int32_t), "graph block");
            links.set(static_cast<int32_t>(i), layer, list);
        }
    }
    if (r.left() != 0) r.fail(std::to_string(r.left()) + " unexpected bytes after the last record");
}

void IndexFile::validate(const std::function<void(const std::string&)>& fail) const {
    const int64_t n = static_cast<int64_t>(node_levels.size());
    for (int64_t i = 0; i < n; ++i) {
        for (int32_t layer = 0; layer <= node_levels[i]; ++layer) {
            for (int32_t id : links.at(static_cast<int32_t>(i), layer)) {
                if (id < 0 || id >= n)
                    fail("node " + std::to_string(i) + " links to missing node " + std::to_string(id));
                if (node_levels[id] < layer)
                    fail("node " + std::to_string(i) + " links on layer " + std::to_string(layer) + " to node " +
                           std::to_string(id) + ", which does not reach that layer");
            }
        }
    }
    const bool no_entry = ep_id == -1 && ep_layer == -1;
    const bool valid_entry = ep_id >= 0 && ep_id < n && node_levels[ep_id] == ep_layer;
    if (!no_entry && !valid_entry)
        fail("invalid entry point " + std::to_string(ep_id) + " at layer " + std::to_string(ep_layer));
}

void IndexFile::install_into(HyperbolicIndex& index) {
    index.dimension = dimension;
    index.curvature = curvature;
    index.set_link_parameters(max_m);
    index.ep_id = ep_id;
    index.ep_layer = ep_layer;
    index.stride_ = codec.row_floats(static_cast<size_t>(dimension));
    index.codec_ = std::move(codec);  // no allocation: the install cannot fail halfway
    index.vectors.swap(vectors);
    index.stored_norms.swap(stored_norms);
    index.masks.swap(masks);
    index.node_levels.swap(node_levels);
    index.links.swap(links);
    index.inv_factors.swap(terms);
    index.remainders.swap(remainders);
    index.remainder_reach = remainder_reach;
}

void write_file_atomically(const std::string& filename, const std::function<void(FILE*)>& write) {
    const SaveTarget target = resolve_target(filename);
    struct stat st;
    if (::stat(target.path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || ::access(target.path.c_str(), W_OK) != 0))
        throw std::runtime_error("Cannot open file for saving: " + filename);
    const std::string written = target.atomic ? temp_name_for(target.path) : filename;
    const int flags = target.atomic ? O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const int fd = ::open(written.c_str(), flags, 0666);
    if (fd < 0) throw std::runtime_error("Cannot open file for saving: " + filename);
    auto discard = [&] {
        if (target.atomic) ::unlink(written.c_str());
    };
    File f(::fdopen(fd, "wb"));
    if (!f) {
        ::close(fd);
        discard();
        throw std::runtime_error("Cannot open file for saving: " + filename);
    }
    auto fail = [&](const char* what) {
        throw std::runtime_error(std::string(what) + filename + " (" + errno_text() + ")");
    };
    try {
        std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 20);
        write(f.get());
        if (std::fflush(f.get()) != 0) fail("Failed to write index file: ");
        if (target.atomic && ::fsync(::fileno(f.get())) != 0) fail("Failed to write index file: ");
        if (std::fclose(f.release()) != 0) fail("Failed to write index file: ");
        if (target.atomic && std::rename(written.c_str(), target.path.c_str()) != 0)
            fail("Failed to replace index file: ");
    } catch (...) {
        f.reset();
        discard();
        throw;
    }
}

void HyperbolicIndex::save(const std::string& filename) const {
    write_file_atomically(filename, [&](FILE* f) { write_records(f, filename); });
}

void HyperbolicIndex::load(const std::string& filename) {
    File f(std::fopen(filename.c_str(), "rb"));
    struct stat st;
    if (!f || ::fstat(::fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("Cannot open file for loading: " + filename);
    std::setvbuf(f.get(), nullptr, _IOFBF, 1 << 20);
    read_records(f.get(), static_cast<uint64_t>(st.st_size), filename);
}

void HyperbolicIndex::write_records(FILE* f, const std::string& name) const {
    Writer w(f, name);
    IndexFile::write(*this, w);
}

void HyperbolicIndex::read_records(FILE* f, uint64_t size, const std::string& name, bool derive_terms,
                                   const Codec& codec) {
    Reader r(f, size, name);
    if (codec.compressed() && (metric == Poincare || metric == PoincareBall))
        r.fail("poincare vectors are stored as float32");
    IndexFile file;
    file.codec = codec;
    file.read(r);
    file.validate([&](const std::string& why) { r.fail(why); });
    // The file holds no factors: under PoincareBall they come from the stored float32 values. The terms
    // are made before anything is installed, so that a failed allocation leaves the index as it was.
    Column<float> terms;
    if (metric == PoincareBall) {
        const size_t d = static_cast<size_t>(file.dimension);
        terms.resize(file.stored_norms.size(), std::numeric_limits<float>::quiet_NaN());
        for (size_t i = 0; i < terms.size(); ++i) {
            const double factor = kernels::ball_factor(file.vectors.data() + i * d, d);
            if (derive_terms) {
                terms[i] = ball_term(factor);
                if (!(factor > 0.0) || !std::isfinite(terms[i]))
                    r.fail("node " + std::to_string(i) + " lies outside the unit ball");
            } else if (!(factor > -0x1p-22)) {
                // A point inside the ball moves by at most 2^-24 of each value when rounded to float32,
                // so its copy's squared norm stays below 1 + 2^-23: anything beyond is damage.
                r.fail("node " + std::to_string(i) + " lies outside the unit ball");
            }
        }
    }
    file.install_into(*this);
    inv_factors.swap(terms);
}

}  // namespace vek
