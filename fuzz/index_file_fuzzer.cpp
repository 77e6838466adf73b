// libFuzzer harness for the index file reader.
//
// Each input is written to an in-memory file and loaded. A rejected file must raise
// "Invalid index file: <path>: <reason>" and leave the instance exactly as it was. An accepted file is
// loaded under each of the three metrics (the file holds no metric, so all three must agree) and then
// driven through the calls a real caller would make next: statistics, the three searches, a distance,
// a linked insertion, a save and a reload. Besides sanitizer reports, these are findings:
//   - a load that fails with anything but that runtime error, or that changes a rejecting instance;
//   - a save of a freshly loaded index whose bytes differ from the file (the format is bijective);
//   - search results outside [0, n), repeated, past k, or breaking an active filter;
//   - an exhaustive result out of distance order;
//   - a file saved after the insertion that fails to reload or reloads to different bytes.
//
// Work per input is bounded by the input length (the reader refuses counts the file cannot hold);
// only an index with no nodes can announce a dimension larger than its file, and such an index gets
// no vector calls.
//
// Linked insertion draws levels from the index's own random device, so the bytes saved after the
// insertion vary from run to run; every check above holds whatever level is drawn.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/hyperbolic_index.h"

namespace {

constexpr size_t kMaxVectorDims = size_t{1} << 16;
constexpr size_t kHeaderBytes = 28;

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// An anonymous in-memory file, reachable by path through /proc/self/fd.
struct MemFile {
    int fd = -1;
    std::string path;

    explicit MemFile(const char* name) {
        fd = ::memfd_create(name, MFD_CLOEXEC);
        if (fd < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    void assign(const uint8_t* data, size_t size) const {
        if (::ftruncate(fd, 0) != 0) std::abort();
        size_t done = 0;
        while (done < size) {
            const ssize_t w = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            if (w <= 0) std::abort();
            done += static_cast<size_t>(w);
        }
    }
    std::vector<uint8_t> contents() const {
        struct stat st;
        if (::fstat(fd, &st) != 0) std::abort();
        std::vector<uint8_t> out(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t r = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
            if (r <= 0) std::abort();
            done += static_cast<size_t>(r);
        }
        return out;
    }
};

MemFile* input_file;
MemFile* saved_file;
MemFile* resaved_file;
// A regular file, so that saves also take the replace-by-rename path (memfd paths are written in
// place). On tmpfs when there is one, where the fsync costs nothing.
std::string regular_dir;
std::string regular_file;

void remove_regular_file() {
    ::unlink(regular_file.c_str());
    ::rmdir(regular_dir.c_str());
}

std::vector<uint8_t> read_path(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) finding("cannot reopen a saved index file");
    uint8_t buf[4096];
    for (size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + got);
    std::fclose(f);
    return out;
}

const char* const kMetrics[3] = {"poincare", "euclidean", "cosine"};

template <class T>
T read_at(const uint8_t* data, size_t offset) {
    T v;
    std::memcpy(&v, data + offset, sizeof(T));
    return v;
}

bool same_stats(const vek::IndexStats& a, const vek::IndexStats& b) {
    return a.num_nodes == b.num_nodes && a.ep_id == b.ep_id && a.ep_layer == b.ep_layer && a.max_m == b.max_m &&
           a.max_m_0 == b.max_m_0 && a.dimension == b.dimension &&
           std::memcmp(&a.avg_degree_layer0, &b.avg_degree_layer0, sizeof(double)) == 0 &&
           a.layer_distribution == b.layer_distribution;
}

// Loads `path`; true when accepted. Any failure other than the reader's own rejection is a finding,
// and so is a rejection that touched the instance.
bool load_or_reject(vek::HyperbolicIndex& index, const std::string& path) {
    const vek::IndexStats before = index.statistics();
    try {
        index.load(path);
        return true;
    } catch (const std::runtime_error& e) {
        const std::string expected = "Invalid index file: " + path + ": ";
        if (std::string(e.what()).compare(0, expected.size(), expected) != 0)
            finding(std::string("load failed with an unexpected message: ") + e.what());
    } catch (const std::exception& e) {
        finding(std::string("load failed with an unexpected exception: ") + e.what());
    }
    if (!same_stats(before, index.statistics())) finding("a rejected load changed the instance");
    return false;
}

// What the loaded file says about itself, read straight from the accepted bytes.
struct Layout {
    int32_t dimension;
    int32_t ep_id;
    int32_t ep_layer;
    uint64_t n;
    std::vector<uint64_t> masks;
};

Layout layout_of(const uint8_t* data) {
    Layout l;
    l.dimension = read_at<int32_t>(data, 0);
    l.ep_id = read_at<int32_t>(data, 12);
    l.ep_layer = read_at<int32_t>(data, 16);
    l.n = read_at<uint64_t>(data, 20);
    const size_t mask_block = kHeaderBytes + static_cast<size_t>(l.n) * (4 * static_cast<size_t>(l.dimension) + 4);
    for (uint64_t i = 0; i < l.n; ++i) l.masks.push_back(read_at<uint64_t>(data, mask_block + 8 * i));
    return l;
}

void check_ids(const std::vector<int32_t>& ids, const Layout& l, int64_t k, uint64_t filter_mask, const char* who) {
    if (static_cast<int64_t>(ids.size()) > k) finding(std::string(who) + " returned more than k ids");
    std::set<int32_t> seen;
    for (int32_t id : ids) {
        if (id < 0 || static_cast<uint64_t>(id) >= l.n) finding(std::string(who) + " returned an id out of range");
        if (!seen.insert(id).second) finding(std::string(who) + " returned an id twice");
        if ((l.masks[id] & filter_mask) != filter_mask) finding(std::string(who) + " returned a filtered-out node");
    }
}

std::vector<int32_t> ids_of(const std::vector<vek::NodeDist>& found) {
    std::vector<int32_t> ids;
    for (const vek::NodeDist& e : found) ids.push_back(e.id);
    return ids;
}

struct SearchCase {
    int32_t k;
    int32_t ef;
    uint64_t filter_mask;
    float max_radius;
    float min_norm;
};

void exercise(vek::HyperbolicIndex& index, const Layout& l, const uint8_t* data, size_t size) {
    const vek::IndexStats stats = index.statistics();
    if (static_cast<uint64_t>(stats.num_nodes) != l.n || stats.dimension != l.dimension || stats.ep_id != l.ep_id ||
        stats.ep_layer != l.ep_layer)
        finding("statistics disagree with the loaded file");

    const size_t d = index.dims();
    if (d > kMaxVectorDims) return;  // only an index with no nodes gets here
    const int32_t n = static_cast<int32_t>(l.n);

    // Queries: a stored vector, the origin, and a small vector derived from the input.
    std::vector<std::vector<float>> queries;
    std::vector<float> q(std::max<size_t>(d, 1), 0.0f);
    if (n > 0) {
        const int32_t node = static_cast<int32_t>(data[size - 1]) % n;
        std::copy(index.vec(node), index.vec(node) + d, q.begin());
        queries.push_back(q);
    }
    queries.emplace_back(std::max<size_t>(d, 1), 0.0f);
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    for (size_t i = 0; i < d; ++i) {
        h = h * 1664525u + 1013904223u;
        q[i] = static_cast<float>(static_cast<int32_t>(h >> 8) % 1201 - 600) / 1000.0f;
    }
    queries.push_back(q);

    const uint64_t some_mask = n > 0 ? l.masks[static_cast<size_t>(h % static_cast<uint32_t>(n))] & 0x7 : 0;
    const SearchCase cases[] = {
        {1, 1, 0, -1.0f, -1.0f},
        {5, 16, some_mask, -1.0f, -1.0f},
        {n + 3, 4, 0, 0.5f, 0.1f},
        {3, 8, 1, 2.0f, -1.0f},
        {0, 2, 0, -1.0f, -1.0f},
    };
    for (const std::vector<float>& query : queries) {
        for (const SearchCase& c : cases) {
            // Both graph searches test the count after an append, so k = 0 still yields one id.
            const vek::Filter graph = vek::Filter::graph(c.filter_mask, c.max_radius, c.min_norm);
            check_ids(ids_of(index.graph_search(query.data(), index.term_of(query.data()), c.k, c.ef, graph)), l, std::max(c.k, 1), c.filter_mask,
                      "graph_search");
            const vek::Filter filtered = vek::Filter::filtered(c.filter_mask, c.max_radius, c.min_norm);
            check_ids(ids_of(vek::cut_at_gap(index.filtered_search(query.data(), index.term_of(query.data()), c.k, c.ef, filtered))), l,
                      std::max(c.k, 1), c.filter_mask, "filtered_search");
            const float min_norm_sq = c.min_norm >= 0.0f ? c.min_norm * c.min_norm : -1.0f;
            const std::vector<int32_t> flat = ids_of(index.exhaustive_search(
                query.data(), index.term_of(query.data()), c.k, vek::Filter::exhaustive(c.filter_mask, c.max_radius, min_norm_sq)));
            check_ids(flat, l, c.k, c.filter_mask, "exhaustive_search");
            // The same distance function ranks them, so the order holds bit for bit, NaN aside.
            float prev = -INFINITY;
            bool ordered = true, has_nan = false;
            for (int32_t id : flat) {
                const float dist = index.distance(query.data(), id);
                if (std::isnan(dist)) {
                    has_nan = true;
                    break;
                }
                if (c.max_radius >= 0.0f && !(dist <= c.max_radius))
                    finding("exhaustive_search returned a node beyond max_radius");
                if (dist < prev) ordered = false;
                prev = dist;
            }
            if (!ordered && !has_nan) finding("exhaustive_search results are out of distance order");
        }
    }
    for (int32_t i = 0; i < std::min(n, 8); ++i) {
        (void)index.distance(queries.back().data(), i);
        (void)index.stored_norm(i);
    }

    // An insertion, then the file it leaves must reload to the same bytes.
    index.add_linked(queries.back().data(), some_mask, 8);
    if (index.size() != l.n + 1) finding("add_linked did not add one node");
    index.save(regular_file);
    const std::vector<uint8_t> saved = read_path(regular_file);
    vek::HyperbolicIndex reloaded(0, 1.0f, 16, index.metric_name());
    if (!load_or_reject(reloaded, regular_file)) finding("the file saved after an insertion does not reload");
    reloaded.save(resaved_file->path);
    if (resaved_file->contents() != saved) finding("reloading the saved file changed its bytes");
    if (!same_stats(index.statistics(), reloaded.statistics())) finding("statistics changed across save and reload");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    input_file = new MemFile("vek-input");
    saved_file = new MemFile("vek-saved");
    resaved_file = new MemFile("vek-resaved");
    for (const char* base : {"/dev/shm", "/tmp"}) {
        std::string tmpl = std::string(base) + "/vek-fuzz-XXXXXX";
        if (::mkdtemp(tmpl.data())) {
            regular_dir = tmpl;
            break;
        }
    }
    if (regular_dir.empty()) {
        std::perror("mkdtemp");
        std::abort();
    }
    regular_file = regular_dir + "/saved.idx";
    std::atexit(remove_regular_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    input_file->assign(data, size);
    const std::string& path = input_file->path;

    // The first instance already holds nodes of another dimension, so a rejection that leaks partial
    // state, or an acceptance that keeps stale nodes, shows up.
    vek::HyperbolicIndex first(3, 1.0f, 4, kMetrics[0]);
    const float seed_vectors[3][3] = {{0.1f, 0.2f, 0.3f}, {-0.4f, 0.0f, 0.25f}, {0.0f, 0.5f, -0.1f}};
    for (int i = 0; i < 3; ++i) first.add_unlinked(seed_vectors[i], static_cast<uint64_t>(i + 1));

    const bool accepted = load_or_reject(first, path);
    for (int m = 1; m < 3; ++m) {
        vek::HyperbolicIndex other(0, 1.0f, 16, kMetrics[m]);
        if (load_or_reject(other, path) != accepted) finding("acceptance depends on the metric");
        if (accepted) exercise(other, layout_of(data), data, size);
    }
    if (!accepted) return 0;

    // A fresh load saves back to the very same bytes.
    first.save(saved_file->path);
    const std::vector<uint8_t> saved = saved_file->contents();
    if (saved.size() != size || (size != 0 && std::memcmp(saved.data(), data, size) != 0))
        finding("saving a loaded file does not reproduce its bytes");
    exercise(first, layout_of(data), data, size);
    return 0;
}
