// quellix._native: the engine behind quellix.Index. The Python package converts and validates what a
// user hands in; this module checks again every array it reads (shape, dtype, length, ids) before the
// GIL is released, so no call sequence from Python can make it read out of bounds.
//
// Batch searches run under one shared index lock taken by the calling thread, split over native
// worker threads that each answer whole queries; a query's answer never depends on which thread
// computed it. Insertions take the index lock alone in slices of about 50 ms and give it and the GIL
// back between slices, to let signals and the progress callback run.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <numeric>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "bindings/binding_helpers.h"
#include "bindings/id_lists.h"
#include "bindings/labels.h"
#include "bindings/quellix_engine.h"
#include "core/parallel_for.h"
#include "io/file_writing.h"
#include "io/quellix_file.h"
#include "search/rank_count.h"
#include "search/tile_scan.h"

namespace py = pybind11;
using vek::HyperbolicIndex;
using vek::MetricKind;
using vek::NodeDist;
using vek::binding::Exclusive;
using vek::binding::FloatArray;
using vek::binding::lock_with_gil;
using vek::binding::MaskArray;
using vek::binding::Shared;
using vek::binding::without_gil;

namespace {

using IdArray = py::array_t<int64_t, py::array::c_style>;
using FactorArray = py::array_t<double, py::array::c_style>;
using ExactArray = py::array_t<double, py::array::c_style>;

MetricKind parse_metric(const std::string& name) {
    if (name == "poincare") return vek::PoincareBall;
    if (name == "euclidean" || name == "l2") return vek::Euclidean;
    if (name == "cosine") return vek::Cosine;
    throw py::value_error("metric must be one of 'poincare', 'euclidean', 'l2', 'cosine', not '" + name + "'");
}

const char* metric_name(MetricKind kind) {
    switch (kind) {
        case vek::PoincareBall:
            return "poincare";
        case vek::Euclidean:
            return "euclidean";
        default:
            return "cosine";
    }
}

// The cores this process may run on: its affinity mask, which a container or taskset may narrow.
int usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

class Engine {
public:
    Engine(int32_t dim, const std::string& metric, int32_t M, std::optional<uint64_t> seed)
        : index_(std::make_unique<HyperbolicIndex>(dim, parse_metric(metric), M)) {
        index_->set_linking(HyperbolicIndex::Linking::Sparse);
        if (dim < 1) throw py::value_error("dim must be at least 1");
        if (M < 2) throw py::value_error("M must be at least 2");
        if (seed) {
            std::seed_seq seq{static_cast<uint32_t>(*seed), static_cast<uint32_t>(*seed >> 32)};
            index_->level_generator().seed(seq);
        }
    }
    explicit Engine(std::unique_ptr<HyperbolicIndex> index) : index_(std::move(index)) {
        index_->set_linking(HyperbolicIndex::Linking::Sparse);
    }

    HyperbolicIndex& index() { return *index_; }
    const HyperbolicIndex& index() const { return *index_; }
    // The users' ids of the nodes; read and changed under the index lock, as the index is.
    quellix::Labels& labels() { return labels_; }
    const quellix::Labels& labels() const { return labels_; }
    MetricKind metric() const { return index_->metric_kind(); }
    bool ball() const { return metric() == vek::PoincareBall; }
    int32_t dim() const { return index_->get_dimension(); }
    size_t dims() const { return index_->dims(); }
    // A mapped index's file, which its arrays read in place, and the name it was opened by.
    void map(std::shared_ptr<const vek::Region> region, std::string name) {
        mapping_ = std::move(region);
        name_ = std::move(name);
    }
    const vek::Region* mapping() const { return mapping_.get(); }
    const std::string& name() const { return name_; }
    // Refuses a change to a mapped index, before anything is read or locked.
    void writable() const {
        if (mapping_)
            throw std::runtime_error("read-only memory-mapped index " + name_ +
                                     ": load it without mmap=True to change it");
    }

private:
    std::unique_ptr<HyperbolicIndex> index_;
    quellix::Labels labels_;
    std::shared_ptr<const vek::Region> mapping_;
    std::string name_;
};

const char* const kStorageNames[] = {"float32", "float16", "bfloat16", "int8"};
const char* storage_name(const HyperbolicIndex& index) {
    return kStorageNames[static_cast<int>(index.codec().storage())];
}

// Stores the vectors of an empty index as `name` says; under "int8" over [low[i], high[i]] per dimension.
void set_storage(Engine& e, const std::string& name, const std::optional<FloatArray>& low,
                 const std::optional<FloatArray>& high) {
    e.writable();
    const auto* found = std::find(std::begin(kStorageNames), std::end(kStorageNames), name);
    if (found == std::end(kStorageNames)) throw py::value_error("unknown storage " + name);
    const auto storage = static_cast<vek::Storage>(found - std::begin(kStorageNames));
    vek::Codec codec;
    if (storage == vek::Storage::Int8) {
        for (const auto* bound : {&low, &high})
            if (!*bound || (*bound)->ndim() != 1 || (*bound)->shape(0) != e.dim())
                throw py::value_error("int8 storage needs a low and a high bound per dimension");
        codec = vek::Codec::int8(low->data(), high->data(), e.dims());
    } else if (storage != vek::Storage::Float32) {
        codec = vek::Codec::of(storage);
    }
    const Exclusive lock = lock_with_gil<Exclusive>(e.index());
    e.index().set_codec(codec);
}

// An id the index does not hold; Python sees quellix._native.UnknownIdError, a KeyError and an
// IndexError at once (the index once refused such ids as out of range).
struct UnknownId : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- argument checks, all made with the GIL held ------------------------------------------------------

void check_rows(const FloatArray& a, const Engine& e, const char* what) {
    if (a.ndim() != 2 || a.shape(1) != e.dim())
        throw py::value_error(std::string(what) + " must have shape (n, " + std::to_string(e.dim()) + ")");
}

// Under the Poincare metric each row comes with its 1 - |x|^2, computed by the caller in double from its
// own values; other metrics take none. A factor must be positive with an inverse finite in float32.
bool usable_factor(double f) { return f > 0.0 && std::isfinite(HyperbolicIndex::ball_term(f)); }

const double* check_factors(const std::optional<FactorArray>& factors, const Engine& e, py::ssize_t n) {
    if (!e.ball()) {
        if (factors) throw py::value_error("factors are only given under the poincare metric");
        return nullptr;
    }
    if (!factors || factors->ndim() != 1 || factors->shape(0) != n)
        throw py::value_error("the poincare metric needs one factor per row");
    const double* f = factors->data();
    for (py::ssize_t i = 0; i < n; ++i)
        if (!usable_factor(f[i])) throw py::value_error("row " + std::to_string(i) + " lies outside the unit ball");
    return f;
}

// The nodes of `ids`, each held by the index; to be called under the index lock, with or without the GIL.
std::vector<int32_t> nodes_of(const Engine& e, const IdArray& ids) {
    if (ids.ndim() != 1) throw py::value_error("ids must be one-dimensional");
    std::vector<int32_t> out(static_cast<size_t>(ids.shape(0)));
    const int64_t* p = ids.data();
    const size_t n = e.index().size();
    for (size_t j = 0; j < out.size(); ++j) {
        out[j] = e.labels().node(p[j], n);
        if (out[j] < 0) throw UnknownId("id " + std::to_string(p[j]) + " is not in the index");
    }
    return out;
}

int32_t clamp_i32(int64_t v) { return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX)); }

vek::Filter make_filter(const Engine& e, uint64_t mask, std::optional<float> max_distance,
                        std::optional<double> min_norm, std::optional<double> max_norm, uint64_t any) {
    if (max_distance && !(*max_distance >= 0.0f)) throw py::value_error("max_distance must be a number >= 0");
    for (const std::optional<double>& bound : {min_norm, max_norm})
        if (bound && !(*bound >= 0.0)) throw py::value_error("norm bounds must be numbers >= 0");
    return quellix::engine_filter(e.metric(), {mask, max_distance, min_norm, max_norm, any});
}

// ---- batch queries ------------------------------------------------------------------------------------

constexpr size_t kSharedPass = 0;
// search(rows, first, filter, k, results): the block of rows starting at row `first`, under `filter`.
using BlockSearch =
    std::function<void(const quellix::Rows&, size_t, const vek::Filter&, int32_t, std::vector<NodeDist>*)>;

// A search's id lists as Python hands them over: allow- and deny-list, each with its row starts or none.
struct ListArgs {
    std::optional<IdArray> allow, allow_starts, deny, deny_starts;
};

// Under the Poincare metric each row may come with its float32 remainders x - float(x) (for float64
// values); an index with remainders of its own ranks by them, with zeros for rows given none.
const float* check_remainders(const std::optional<FloatArray>& remainders, const Engine& e, py::ssize_t n) {
    if (!remainders) return nullptr;
    if (!e.ball()) throw py::value_error("remainders are only given under the poincare metric");
    if (remainders->ndim() != 2 || remainders->shape(0) != n || remainders->shape(1) != e.dim())
        throw py::value_error("remainders must have one row per vector");
    const float* r = remainders->data();
    for (py::ssize_t i = 0; i < n * remainders->shape(1); ++i)
        if (!std::isfinite(r[i]))
            throw py::value_error("row " + std::to_string(i / e.dim()) + " has a remainder that is not finite");
    return r;
}

// Answers queries in blocks of `block_rows` rows, or for a search that shares one pass over the nodes
// among its rows (kSharedPass) of vek::scan_block rows: search(...) fills one result per row of the
// block, under `filter` narrowed to the id lists (none when null). Lists given per row make every row a
// block of its own. Blocks are handed out to the threads one at a time.
py::tuple run_queries(const Engine& e, const FloatArray& queries, const std::optional<FactorArray>& factors,
                      const std::optional<FloatArray>& remainders, int64_t k, int num_threads, size_t block_rows,
                      const vek::Filter& filter, const ListArgs* lists, const BlockSearch& search) {
    check_rows(queries, e, "queries");
    if (k < 0) throw py::value_error("k must be >= 0");
    if (num_threads < 0) throw py::value_error("num_threads must be >= 0");
    const py::ssize_t m = queries.shape(0);
    const double* qfactors = check_factors(factors, e, m);
    const float* qremainders = check_remainders(remainders, e, m);
    static const ListArgs unlisted;
    const ListArgs& list_args = lists != nullptr ? *lists : unlisted;
    const quellix::IdList allow = quellix::check_id_list(list_args.allow, list_args.allow_starts, m, "ids");
    const quellix::IdList deny = quellix::check_id_list(list_args.deny, list_args.deny_starts, m, "exclude_ids");
    const bool listed = allow.given || deny.given, per_row = allow.per_row() || deny.per_row();
    IdArray ids({m, static_cast<py::ssize_t>(k)});
    py::array_t<float> dists({m, static_cast<py::ssize_t>(k)});
    int64_t* id_out = ids.mutable_data();
    float* dist_out = dists.mutable_data();
    const float* q = queries.data();
    const int threads = num_threads == 0 ? usable_cores() : num_threads;
    without_gil<Shared>(e.index(), [&] {
        const HyperbolicIndex& index = e.index();
        const size_t d = e.dims();
        const size_t rows = static_cast<size_t>(m);
        const size_t block = per_row ? 1 : block_rows == 0 ? vek::scan_block(rows, threads) : block_rows;
        const int32_t kk = clamp_i32(std::min<int64_t>(k, static_cast<int64_t>(index.size())));
        quellix::ListedRows shared_lists;
        const vek::Filter shared =
            listed && !per_row ? shared_lists.apply(filter, allow, deny, 0, e.labels(), index.size()) : filter;
        std::vector<quellix::ListedRows> row_lists(per_row ? static_cast<size_t>(std::max(threads, 1)) : 0);
        vek::parallel_for((rows + block - 1) / block, threads, [&](size_t b, size_t worker) {
            const size_t first = b * block;
            const size_t count = std::min(block, rows - first);
            std::vector<float> terms(count);
            for (size_t i = 0; i < count; ++i) {
                const float* row = q + (first + i) * d;
                terms[i] = qfactors ? HyperbolicIndex::ball_term(qfactors[first + i]) : index.term_of(row);
            }
            const float* rem = qremainders ? qremainders + first * d : nullptr;
            std::vector<std::vector<NodeDist>> found(count);
            if (kk > 0) {
                const vek::Filter row_filter =
                    per_row ? row_lists[worker].apply(filter, allow, deny, first, e.labels(), index.size()) : shared;
                search({q + first * d, terms.data(), rem, count}, first, row_filter, kk, found.data());
            }
            for (size_t i = 0; i < count; ++i) {
                int64_t* ids_row = id_out + (first + i) * static_cast<size_t>(k);
                float* dists_row = dist_out + (first + i) * static_cast<size_t>(k);
                size_t j = 0;
                for (; j < found[i].size(); ++j) {
                    ids_row[j] = e.labels().id(found[i][j].id);
                    dists_row[j] = found[i][j].dist;
                }
                for (; j < static_cast<size_t>(k); ++j) {
                    ids_row[j] = -1;
                    dists_row[j] = INFINITY;
                }
            }
        });
    });
    return py::make_tuple(ids, dists);
}

// How many nodes pass `mask` and `any` and the id lists, for each row of lists given per row (for the
// one row otherwise). `unlisted` is the number that pass the masks alone: a deny-list is taken from it,
// so that only an allow-list's nodes, or a deny-list's, are counted here.
IdArray passing_counts(const Engine& e, uint64_t mask, uint64_t any, int64_t unlisted, const ListArgs& list_args,
                       int64_t rows) {
    if (rows < 1) throw py::value_error("rows must be >= 1");
    const quellix::IdList allow = quellix::check_id_list(list_args.allow, list_args.allow_starts, rows, "ids");
    const quellix::IdList deny = quellix::check_id_list(list_args.deny, list_args.deny_starts, rows, "exclude_ids");
    const size_t out_rows = allow.per_row() || deny.per_row() ? static_cast<size_t>(rows) : 1;
    IdArray counts(static_cast<py::ssize_t>(out_rows));
    int64_t* out = counts.mutable_data();
    without_gil<Shared>(e.index(), [&] {
        const HyperbolicIndex& index = e.index();
        vek::Filter masks_only;
        masks_only.mask = mask;
        masks_only.any = any;
        auto passes = [&](const vek::Filter& f, int32_t node) {
            return f.screen(static_cast<size_t>(node), index.mask(node), index.stored_norm(node));
        };
        quellix::ListedRows listed;
        for (size_t r = 0; r < out_rows; ++r) {
            const vek::Filter f = listed.apply(masks_only, allow, deny, r, e.labels(), index.size());
            int64_t count = 0;
            if (allow.given) {
                for (size_t j = 0; j < f.allowed_count; ++j) count += passes(f, f.allowed_nodes[j]);
            } else {
                const vek::NodeSet& denied = listed.denied();
                count = unlisted;
                for (size_t j = 0; j < denied.size(); ++j) count -= passes(masks_only, denied.members()[j]);
            }
            out[r] = std::max<int64_t>(count, 0);
        }
    });
    return counts;
}

// ---- reconstruction ranks -----------------------------------------------------------------------------

// For each (query node, positive) of the relations in CSR form, the non-positive nodes strictly nearer
// by the float64 formula on `vectors` (the nodes' own float64 values) and the positive's place among its
// row's positives (vek::RankCounter). Rows are handed to the threads in blocks that each make one pass
// over the stored vectors.
py::tuple rank_counts(const Engine& e, const ExactArray& vectors, const IdArray& children, const IdArray& starts,
                      const IdArray& positives, int num_threads) {
    if (!e.ball()) throw py::value_error("rank counts need the poincare metric");
    if (num_threads < 0) throw py::value_error("num_threads must be >= 0");
    if (children.ndim() != 1 || starts.ndim() != 1 || positives.ndim() != 1)
        throw py::value_error("children, starts and positives must be one-dimensional");
    const size_t m = static_cast<size_t>(children.shape(0));
    const size_t total = static_cast<size_t>(positives.shape(0));
    if (static_cast<size_t>(starts.shape(0)) != m + 1)
        throw py::value_error("starts must hold one entry per child and a final end");
    std::vector<int64_t> row_starts(starts.data(), starts.data() + m + 1);
    if (row_starts[0] != 0 || static_cast<uint64_t>(row_starts[m]) != total)
        throw py::value_error("starts must begin at 0 and end at the number of positives");
    for (size_t r = 0; r < m; ++r)
        if (row_starts[r + 1] < row_starts[r]) throw py::value_error("starts must not decrease (row " + std::to_string(r) + ")");
    IdArray nearer(static_cast<py::ssize_t>(total));
    IdArray place(static_cast<py::ssize_t>(total));
    int64_t* nearer_out = nearer.mutable_data();
    int64_t* place_out = place.mutable_data();
    const int threads = num_threads == 0 ? usable_cores() : num_threads;
    // Checked and counted under one lock: a removal in between would change the nodes counted.
    without_gil<Shared>(e.index(), [&] {
        const size_t n = e.index().size();
        if (vectors.ndim() != 2 || static_cast<size_t>(vectors.shape(0)) != n || vectors.shape(1) != e.dim())
            throw py::value_error("vectors must have shape (" + std::to_string(n) + ", " + std::to_string(e.dim()) +
                                  "): the float64 values of the stored vectors");
        const std::vector<int32_t> child_ids = nodes_of(e, children);
        const std::vector<int32_t> positive_ids = nodes_of(e, positives);
        for (size_t r = 0; r < m; ++r)
            for (int64_t j = row_starts[r] + 1; j < row_starts[r + 1]; ++j)
                if (!(positive_ids[j - 1] < positive_ids[j]))
                    throw py::value_error("the positives of row " + std::to_string(r) +
                                          " must be ascending and distinct");
        const vek::RankCounter counter(e.index(), n, vectors.data());
        const vek::RankRows rows{child_ids.data(), row_starts.data(), positive_ids.data()};
        const size_t block = vek::scan_block(m, threads);
        vek::parallel_for((m + block - 1) / block, threads, [&](size_t b) {
            counter.count(rows, b * block, std::min(block, m - b * block), nearer_out, place_out);
        });
    });
    return py::make_tuple(nearer, place);
}

// ---- the index file -----------------------------------------------------------------------------------

// The records as vek_core writes them (squared norms in the norm fields under every metric); called
// under the index lock.
std::string records_of(const HyperbolicIndex& index) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* f = ::open_memstream(&buffer, &size);
    if (!f) throw std::bad_alloc();
    try {
        index.write_records(f, "<memory>");
    } catch (...) {
        std::fclose(f);
        std::free(buffer);
        throw;
    }
    const bool closed = std::fclose(f) == 0;
    const std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
    if (!closed) throw std::bad_alloc();
    return std::string(buffer, size);
}

py::bytes records(const Engine& e) {
    return py::bytes(without_gil<Shared>(e.index(), [&] { return records_of(e.index()); }));
}

// An engine from records and, under the Poincare metric, the nodes' terms 1 / (1 - |x|^2) (see
// vek::index_from_records).
std::unique_ptr<Engine> from_records(const py::bytes& data, const std::string& name, const std::string& metric,
                                     const std::optional<py::array_t<float, py::array::c_style>>& terms,
                                     bool vek_core_file, const std::optional<FloatArray>& remainders) {
    const MetricKind kind = parse_metric(metric);
    const std::string_view view = data;
    std::unique_ptr<HyperbolicIndex> index;
    {
        py::gil_scoped_release unlocked;
        index = vek::index_from_records(view.data(), view.size(), name, kind, terms ? terms->data() : nullptr,
                                        terms ? static_cast<size_t>(terms->size()) : 0, vek_core_file,
                                        remainders ? remainders->data() : nullptr,
                                        remainders ? static_cast<size_t>(remainders->size()) : 0);
    }
    return std::make_unique<Engine>(std::move(index));
}

void assign_labels(Engine& e, std::vector<int64_t> given, int64_t next);

// The engine of a quellix file's bytes, with its ef_construction and curvature; `name` appears in the
// RuntimeError ("Invalid index file: <name>: ...") for anything unsound. Without the GIL.
py::tuple engine_of_file(const char* data, size_t size, const std::string& name) {
    vek::QuellixFileFields fields;
    std::unique_ptr<Engine> engine;
    {
        py::gil_scoped_release unlocked;
        engine = std::make_unique<Engine>(vek::read_quellix_file(data, size, name, fields));
        try {
            assign_labels(*engine, std::move(fields.ids), fields.next_id);
        } catch (const std::invalid_argument& err) {
            throw std::runtime_error("Invalid index file: " + name + ": damaged ids: " + err.what());
        }
    }
    return py::make_tuple(std::move(engine), fields.ef_construction, fields.curvature);
}

py::tuple from_file_bytes(const py::bytes& data, const std::string& name) {
    const std::string_view view = data;
    return engine_of_file(view.data(), view.size(), name);
}

// A saved file mapped read-only: its arrays are read in place (see vek::map_quellix_file).
py::tuple map_file(const std::string& path) {
    vek::QuellixFileFields fields;
    std::unique_ptr<Engine> engine;
    {
        py::gil_scoped_release unlocked;
        std::shared_ptr<const vek::Region> region;
        engine = std::make_unique<Engine>(vek::map_quellix_file(path, fields, region));
        try {
            assign_labels(*engine, std::move(fields.ids), fields.next_id);
        } catch (const std::invalid_argument& err) {
            throw std::runtime_error("Invalid index file: " + path + ": damaged ids: " + err.what());
        }
        engine->map(std::move(region), path);
    }
    return py::make_tuple(std::move(engine), fields.ef_construction, fields.curvature);
}

// A saved file, read whole into memory first: a mapping would fault if another process cut the file
// short while it is read.
py::tuple load_file(const std::string& path, bool mapped) {
    if (mapped) return map_file(path);
    std::vector<char> data;
    {
        py::gil_scoped_release unlocked;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (ok) {
            data.resize(static_cast<size_t>(st.st_size));
            size_t done = 0;
            while (ok && done < data.size()) {
                const ssize_t got = ::pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
                if (got < 0 && errno == EINTR) continue;
                ok = got > 0;
                done += ok ? static_cast<size_t>(got) : 0;
            }
        }
        if (fd >= 0) ::close(fd);
        if (!ok) throw std::runtime_error("Cannot open file for loading: " + path);
    }
    return engine_of_file(data.data(), data.size(), path);
}

py::bytes file_bytes(const Engine& e, uint32_t ef_construction, double curvature) {
    char* buffer = nullptr;
    size_t size = 0;
    without_gil<Shared>(e.index(), [&] {
        FILE* f = ::open_memstream(&buffer, &size);
        if (!f) throw std::bad_alloc();
        try {
            vek::write_quellix_file(e.index(), ef_construction, curvature, e.labels().stored(),
                                    e.labels().next(e.index().size()), f, "<bytes>");
        } catch (...) {
            std::fclose(f);
            std::free(buffer);
            throw;
        }
        if (std::fclose(f) != 0) {
            std::free(buffer);
            throw std::bad_alloc();
        }
    });
    const std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
    return py::bytes(buffer, size);
}

void save_file(const Engine& e, const std::string& path, uint32_t ef_construction, double curvature) {
    without_gil<Shared>(e.index(), [&] {
        vek::write_file_atomically(path, [&](FILE* f) {
            vek::write_quellix_file(e.index(), ef_construction, curvature, e.labels().stored(),
                                    e.labels().next(e.index().size()), f, path);
        });
    });
}

// A loaded file's ids (one per node, or none while every id is its node's number) and next id;
// std::invalid_argument names what is wrong, and nothing changes then. Under the index lock.
void assign_labels(Engine& e, std::vector<int64_t> given, int64_t next) {
    const size_t n = e.index().size();
    if (!given.empty() && given.size() != n)
        throw std::invalid_argument(std::to_string(given.size()) + " ids for " + std::to_string(n) + " nodes");
    std::unordered_set<int64_t> seen;
    seen.reserve(given.size());
    int64_t largest = given.empty() ? static_cast<int64_t>(n) - 1 : -1;
    for (int64_t id : given) {
        if (id < 0) throw std::invalid_argument("negative id " + std::to_string(id));
        if (!seen.insert(id).second) throw std::invalid_argument("id " + std::to_string(id) + " held twice");
        largest = std::max(largest, id);
    }
    if (next <= largest) throw std::invalid_argument("next id " + std::to_string(next) + " is not past every id");
    e.labels().assign(std::move(given), next);
}

void set_labels(Engine& e, const IdArray& ids, int64_t next) {
    e.writable();
    if (ids.ndim() != 1) throw py::value_error("ids must be one-dimensional");
    std::vector<int64_t> given(ids.data(), ids.data() + ids.shape(0));
    const Exclusive lock = lock_with_gil<Exclusive>(e.index());
    try {
        assign_labels(e, std::move(given), next);
    } catch (const std::invalid_argument& err) {
        throw py::value_error(err.what());
    }
}

// ---- insertion ----------------------------------------------------------------------------------------

// A build frees as it goes (lists outgrow their storage, scratch of each slice), and the allocator keeps
// what was freed, in one pool per thread that allocated: after a large add that would stay in the
// process's resident memory, about a fifth of the index's own size on two threads. Handing it back
// takes well under a millisecond, so it is done only after an add of many rows.
constexpr py::ssize_t kReleaseAfterRows = 4096;
void release_freed_memory() {
#if defined(__GLIBC__)
    const py::gil_scoped_release released;  // a large, fragmented heap takes longer to walk
    ::malloc_trim(0);
#endif
}

// The ids a call gives its rows, checked and held as pending from the start of the call to its end, so
// that no other call can add one of them between this call's slices.
class PendingIds {
public:
    PendingIds(Engine& e, const int64_t* ids, size_t n, bool replace) : e_(e), ids_(ids), n_(n) {
        if (!ids) return;
        std::unordered_set<int64_t> seen;
        seen.reserve(n);
        const Exclusive lock = lock_with_gil<Exclusive>(e.index());
        const size_t count = e.index().size();
        for (size_t i = 0; i < n; ++i) {
            const std::string id = "id " + std::to_string(ids[i]);
            if (ids[i] < 0) throw py::value_error("ids must be non-negative: " + id + " in row " + std::to_string(i));
            if (!seen.insert(ids[i]).second) throw py::value_error(id + " is repeated in the batch");
            if (e.labels().pending(ids[i])) throw py::value_error(id + " is being added by another call");
            if (!replace && e.labels().held(ids[i], count))
                throw py::value_error(id + " is already in the index (replace=True replaces it)");
        }
        e.labels().hold_pending(std::vector<int64_t>(ids, ids + n));
    }
    ~PendingIds() {
        if (!ids_) return;
        const Exclusive lock = lock_with_gil<Exclusive>(e_.index());
        e_.labels().release_pending(ids_, n_);
    }
    PendingIds(const PendingIds&) = delete;
    PendingIds& operator=(const PendingIds&) = delete;

private:
    Engine& e_;
    const int64_t* ids_;
    size_t n_;
};

// How long one slice of an add holds the index lock; tests shorten it so that even a fast add is cut.
std::atomic<int64_t>& slice_micros() {
    static std::atomic<int64_t> micros{50000};
    return micros;
}

// Rows are added in slices of about 50 ms, with the GIL back in between for Ctrl-C and the progress
// callback, so an interruption leaves whole slices. On several threads a slice is linked concurrently
// and stands or falls as one; on one thread every row does. A row whose id the index holds already
// (replace=True) takes its place: the old node is removed at the end of the slice that added the new
// one, so between slices every id names one vector.
IdArray add(Engine& e, const FloatArray& vectors, const std::optional<FactorArray>& factors,
            const std::optional<FloatArray>& remainders, const MaskArray& masks,
            const std::optional<IdArray>& given_ids, bool replace, bool link, int64_t ef_construction,
            const py::object& progress, int num_threads) {
    e.writable();
    check_rows(vectors, e, "vectors");
    const py::ssize_t n = vectors.shape(0);
    const double* fac = check_factors(factors, e, n);
    const float* rem = check_remainders(remainders, e, n);
    if (masks.ndim() != 1 || masks.shape(0) != n) throw py::value_error("masks must have one value per row");
    if (given_ids && (given_ids->ndim() != 1 || given_ids->shape(0) != n))
        throw py::value_error("ids must have one value per row");
    if (ef_construction < 1) throw py::value_error("ef_construction must be at least 1");
    if (num_threads < 0) throw py::value_error("num_threads must be >= 0");
    const int32_t ef = clamp_i32(ef_construction);
    const int threads = link ? (num_threads == 0 ? usable_cores() : num_threads) : 1;
    const int64_t* wanted = given_ids ? given_ids->data() : nullptr;
    const PendingIds pending(e, wanted, static_cast<size_t>(n), replace);
    IdArray ids(n);
    int64_t* out = ids.mutable_data();
    const float* v = vectors.data();
    const uint64_t* mk = masks.data();
    const size_t d = e.dims();
    const auto slice_time = std::chrono::microseconds(slice_micros().load());
    py::ssize_t done = 0;
    py::ssize_t slice = 64 * threads;  // rows per concurrent slice, adjusted to take about slice_time
    while (done < n) {
        without_gil<Exclusive>(e.index(), [&] {
            HyperbolicIndex& index = e.index();
            if (index.size() + static_cast<size_t>(n - done) > static_cast<size_t>(INT32_MAX))
                throw py::value_error("an index holds at most 2**31 - 1 vectors");
            // The rows' remainders follow every row the engine took, failed call or not: room first.
            index.reserve_remainders(static_cast<size_t>(n - done), rem != nullptr);
            index.reserve_rows(static_cast<size_t>(n - done));
            e.labels().reserve(index.size(), static_cast<size_t>(n - done));
            const size_t before = index.size();
            const py::ssize_t first = done;
            // The rows the engine took get their ids, and the nodes they replace go, failed slice or not.
            auto settle = [&] {
                std::vector<int32_t> replaced;
                for (py::ssize_t i = first; i < done; ++i) {
                    const size_t node = before + static_cast<size_t>(i - first);
                    const int64_t id = wanted ? wanted[i] : e.labels().next(node);
                    const int32_t old = replace ? e.labels().node(id, node) : -1;
                    if (old >= 0) replaced.push_back(old);
                    e.labels().append(id, node);
                    out[i] = id;
                }
                if (replaced.empty()) return;
                e.labels().prepare_removal(index.size());
                e.labels().renumber(index.remove_nodes(replaced, ef, threads));
            };
            try {
                struct KeepRemainders {
                    HyperbolicIndex& index;
                    size_t before;
                    const float* rows;
                    ~KeepRemainders() { index.add_remainders(rows, index.size() - before); }
                } keep{index, before, rem ? rem + static_cast<size_t>(first) * d : nullptr};
                const auto began = std::chrono::steady_clock::now();
                if (threads > 1) {
                    const py::ssize_t rows = std::min(slice, n - done);
                    index.add_linked_batch(v + static_cast<size_t>(done) * d, mk + done, fac ? fac + done : nullptr,
                                           static_cast<size_t>(rows), ef, threads, done + rows == n);
                    done += rows;
                    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
                    const double target = std::chrono::duration<double>(slice_time).count();
                    const double scale = std::clamp(target / std::max(took, 1e-6), 0.5, 2.0);
                    slice = std::max<py::ssize_t>(2 * threads, static_cast<py::ssize_t>(static_cast<double>(rows) * scale));
                } else {
                    do {
                        const float* row = v + static_cast<size_t>(done) * d;
                        const double factor = fac ? fac[done] : vek::kDerivedFactor;
                        if (link)
                            index.add_linked(row, mk[done], ef, factor);
                        else
                            index.add_unlinked(row, mk[done], factor);
                        ++done;
                    } while (done < n && std::chrono::steady_clock::now() < began + slice_time);
                }
            } catch (...) {
                settle();
                throw;
            }
            settle();
            // Once per call, not per slice: a seeded one-thread build stays the same however its slices fall.
            if (threads == 1 && link && done == n && index.repair_due()) index.repair_links(ef);
        });
        try {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (!progress.is_none()) progress(done);
        } catch (py::error_already_set& err) {
            if (done < n && py::hasattr(err.value(), "add_note"))
                err.value().attr("add_note")(std::to_string(done) + " of " + std::to_string(n) +
                                             " vectors were added before the interruption");
            throw;
        }
    }
    if (n >= kReleaseAfterRows) release_freed_memory();
    return ids;
}

// Removes the nodes of `ids` (repeats count once); an id the index does not hold is refused, and
// nothing removed, unless `missing_ok`. How many were removed.
int64_t remove_ids(Engine& e, const IdArray& ids, bool missing_ok, int64_t ef_construction, int num_threads) {
    e.writable();
    if (ids.ndim() != 1) throw py::value_error("ids must be one-dimensional");
    if (ef_construction < 1) throw py::value_error("ef_construction must be at least 1");
    if (num_threads < 0) throw py::value_error("num_threads must be >= 0");
    const int threads = num_threads == 0 ? usable_cores() : num_threads;
    const int64_t removed = without_gil<Exclusive>(e.index(), [&] {
        HyperbolicIndex& index = e.index();
        const size_t n = index.size();
        const int64_t* p = ids.data();
        std::vector<int32_t> doomed;
        doomed.reserve(static_cast<size_t>(ids.shape(0)));
        for (py::ssize_t j = 0; j < ids.shape(0); ++j) {
            const int32_t node = e.labels().node(p[j], n);
            if (node >= 0)
                doomed.push_back(node);
            else if (!missing_ok)
                throw UnknownId("id " + std::to_string(p[j]) + " is not in the index");
        }
        std::sort(doomed.begin(), doomed.end());
        doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
        if (doomed.empty()) return int64_t{0};
        e.labels().prepare_removal(n);
        e.labels().renumber(index.remove_nodes(doomed, clamp_i32(ef_construction), threads));
        return static_cast<int64_t>(doomed.size());
    });
    if (removed >= kReleaseAfterRows) release_freed_memory();
    return removed;
}

// Every node's id, in node order (the order of masks).
IdArray ids_of(const Engine& e) {
    const Shared lock = lock_with_gil<Shared>(e.index());
    const size_t n = e.index().size();
    IdArray out(static_cast<py::ssize_t>(n));
    int64_t* dst = out.mutable_data();
    for (size_t i = 0; i < n; ++i) dst[i] = e.labels().id(static_cast<int32_t>(i));
    return out;
}

// Puts the nodes in the order of their ids and gives back the memory beyond what they hold.
void compact(Engine& e) {
    e.writable();
    without_gil<Exclusive>(e.index(), [&] {
        HyperbolicIndex& index = e.index();
        quellix::Labels& labels = e.labels();
        if (!labels.stored().empty()) {
            std::vector<int32_t> order(index.size());
            std::iota(order.begin(), order.end(), 0);
            std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return labels.id(a) < labels.id(b); });
            std::vector<int64_t> ids = labels.reordered(order);
            index.reorder(order);
            labels.adopt(ids);
        }
        index.shrink_to_fit();
        labels.shrink_to_fit();
    });
    release_freed_memory();
}

py::dict stats(const Engine& e) {
    vek::IndexStats s;
    std::vector<int64_t> per_level;
    size_t memory = 0;
    int64_t unreachable = 0;
    int64_t entry = -1;
    // One snapshot under one lock; the reachability pass reads every list, so the GIL is let go.
    without_gil<Shared>(e.index(), [&] {
        const HyperbolicIndex& index = e.index();
        s = index.statistics();
        if (s.ep_id >= 0) entry = e.labels().id(s.ep_id);
        // Unlinked nodes have level 0; linked ones reach at most the entry point's level.
        if (s.ep_layer >= 0)
            per_level.assign(s.layer_distribution.begin() + 1, s.layer_distribution.end());
        else if (index.size() > 0)
            per_level.push_back(static_cast<int64_t>(index.size()));
        memory = index.memory_bytes();
        const std::vector<uint8_t> reach = index.reachability();
        unreachable = std::count(reach.begin(), reach.end(), vek::kStranded);
    });
    py::dict out;
    out["count"] = s.num_nodes;
    out["dim"] = s.dimension;
    out["metric"] = metric_name(e.metric());
    out["M"] = s.max_m;
    out["entry_point"] = entry;
    out["top_level"] = s.ep_layer;
    out["nodes_per_level"] = per_level;
    out["mean_degree_layer0"] = s.avg_degree_layer0;
    out["memory_bytes"] = memory;
    out["dtype"] = storage_name(e.index());
    out["unreachable"] = unreachable;
    return out;
}

// Each node's vek::NodeReach and its id, in node order, from one snapshot.
py::tuple reachability(const Engine& e) {
    std::vector<int64_t> ids;
    const std::vector<uint8_t> reach = without_gil<Shared>(e.index(), [&] {
        ids.resize(e.index().size());
        for (size_t i = 0; i < ids.size(); ++i) ids[i] = e.labels().id(static_cast<int32_t>(i));
        return e.index().reachability();
    });
    py::array_t<uint8_t> out(static_cast<py::ssize_t>(reach.size()));
    std::copy(reach.begin(), reach.end(), out.mutable_data());
    IdArray ids_out(static_cast<py::ssize_t>(ids.size()));
    std::copy(ids.begin(), ids.end(), ids_out.mutable_data());
    return py::make_tuple(out, ids_out);
}

}  // namespace

PYBIND11_MODULE(_native, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "The native engine of quellix; use quellix.Index.";
    {
        PyObject* bases = PyTuple_Pack(2, PyExc_KeyError, PyExc_IndexError);
        if (!bases) throw py::error_already_set();
        PyObject* type = PyErr_NewException("quellix._native.UnknownIdError", bases, nullptr);
        Py_DECREF(bases);
        if (!type) throw py::error_already_set();
        static PyObject* const unknown_id = type;  // one reference kept for the translator
        m.attr("UnknownIdError") = py::reinterpret_borrow<py::object>(type);
        py::register_local_exception_translator([](std::exception_ptr p) {
            try {
                if (p) std::rethrow_exception(p);
            } catch (const UnknownId& err) {
                PyErr_SetString(unknown_id, err.what());
            }
        });
    }
    vek::kernels::wide_supported();  // the processor is asked once, before any scan thread runs
    m.def("usable_cores", &usable_cores, "Cores this process may run on.");
    m.def(
        "_wide_tiles",
        [](std::optional<bool> wanted) {
            if (wanted) vek::kernels::wide_wanted().store(*wanted);
            return vek::kernels::wide_tiles();
        },
        py::arg("wanted") = py::none(),
        "Whether batch scans use 512-bit tiles; `wanted` False keeps them on 256-bit ones (for tests).");

    m.def(
        "_slice_time",
        [](std::optional<double> seconds) {
            if (seconds) {
                if (!(*seconds >= 0.0 && *seconds <= 60.0)) throw py::value_error("seconds must lie in [0, 60]");
                slice_micros().store(static_cast<int64_t>(*seconds * 1e6));
            }
            return static_cast<double>(slice_micros().load()) / 1e6;
        },
        py::arg("seconds") = py::none(),
        "How long an add holds the index between two looks at signals and progress (for tests).");

    py::class_<ListArgs>(m, "IdLists", py::module_local())
        .def(py::init([](std::optional<IdArray> allow, std::optional<IdArray> allow_starts,
                         std::optional<IdArray> deny, std::optional<IdArray> deny_starts) {
                 return ListArgs{std::move(allow), std::move(allow_starts), std::move(deny), std::move(deny_starts)};
             }),
             py::arg("allow") = py::none(), py::arg("allow_starts") = py::none(), py::arg("deny") = py::none(),
             py::arg("deny_starts") = py::none(),
             "A search's allow- and deny-list of ids: one list for every query, or with starts one per query.");

    py::class_<Engine>(m, "Engine", py::module_local())
        .def(py::init<int32_t, const std::string&, int32_t, std::optional<uint64_t>>(), py::arg("dim"),
             py::arg("metric"), py::arg("M"), py::arg("seed") = py::none())
        .def_property_readonly("dim", &Engine::dim)
        .def("set_storage", &set_storage, py::arg("name"), py::arg("low") = py::none(), py::arg("high") = py::none())
        .def_property_readonly("storage",
                               [](const Engine& e) {
                                   const Shared lock = lock_with_gil<Shared>(e.index());
                                   return storage_name(e.index());
                               })
        .def_property_readonly("int8_steps",
                               [](const Engine& e) -> std::optional<py::tuple> {
                                   const Shared lock = lock_with_gil<Shared>(e.index());
                                   const vek::Codec& codec = e.index().codec();
                                   if (codec.storage() != vek::Storage::Int8) return std::nullopt;
                                   return py::make_tuple(py::array_t<float>(codec.steps().size(), codec.steps().data()),
                                                         py::array_t<float>(codec.floors().size(), codec.floors().data()));
                               })
        .def_property_readonly("metric", [](const Engine& e) { return metric_name(e.metric()); })
        .def_property_readonly("M", [](const Engine& e) { return e.index().max_links(); })
        .def_property_readonly("has_remainders",
                               [](const Engine& e) {
                                   const Shared lock = lock_with_gil<Shared>(e.index());
                                   return e.index().has_remainders();
                               })
        .def("__len__",
             [](const Engine& e) {
                 const Shared lock = lock_with_gil<Shared>(e.index());
                 return e.index().size();
             })
        .def("add", &add, py::arg("vectors"), py::arg("factors"), py::arg("remainders"), py::arg("masks"),
             py::arg("ids"), py::arg("replace"), py::arg("link"), py::arg("ef_construction"),
             py::arg("progress") = py::none(), py::arg("num_threads") = 1)
        .def("remove", &remove_ids, py::arg("ids"), py::arg("missing_ok"), py::arg("ef_construction"),
             py::arg("num_threads"))
        .def("ids", &ids_of)
        .def("contains",
             [](const Engine& e, int64_t id) {
                 const Shared lock = lock_with_gil<Shared>(e.index());
                 return e.labels().held(id, e.index().size());
             })
        .def("ids_are_positions",
             [](const Engine& e) {
                 const Shared lock = lock_with_gil<Shared>(e.index());
                 return e.labels().identity();
             })
        .def("compact", &compact)
        .def("fill_masks",
             [](Engine& e, uint64_t mask) {
                 e.writable();
                 without_gil<Exclusive>(e.index(), [&] {
                     const std::vector<uint64_t> all(e.index().size(), mask);
                     e.index().set_masks(all.data(), all.size());
                 });
             })
        .def(
            "search",
            [](const Engine& e, const FloatArray& queries, const std::optional<FactorArray>& factors,
               const std::optional<FloatArray>& remainders, int64_t k, int64_t ef, uint64_t mask,
               std::optional<float> max_distance, std::optional<double> min_norm,
               std::optional<double> max_norm, int num_threads, uint64_t any, const ListArgs* lists) {
                if (ef < 1) throw py::value_error("ef must be at least 1");
                const vek::Filter f = make_filter(e, mask, max_distance, min_norm, max_norm, any);
                return run_queries(e, queries, factors, remainders, k, num_threads, vek::kWalkLanes, f, lists,
                                   [&](const quellix::Rows& rows, size_t, const vek::Filter& rf, int32_t kk,
                                       std::vector<NodeDist>* out) {
                                       quellix::graph_search(e.index(), rows, kk, clamp_i32(ef), rf, out);
                                   });
            },
            py::arg("queries"), py::arg("factors"), py::arg("remainders"), py::arg("k"), py::arg("ef"),
            py::arg("filter_mask"), py::arg("max_distance"), py::arg("min_norm"), py::arg("max_norm"),
            py::arg("num_threads"), py::arg("filter_any") = 0, py::arg("lists") = py::none())
        .def(
            "filtered_search",
            [](const Engine& e, const FloatArray& queries, const std::optional<FactorArray>& factors,
               const std::optional<FloatArray>& remainders, int64_t k, int64_t ef, uint64_t mask,
               std::optional<float> max_distance, std::optional<double> min_norm,
               std::optional<double> max_norm, bool cut_gaps, int num_threads, uint64_t any, const ListArgs* lists,
               const std::optional<IdArray>& row_ef) {
                if (ef < 1) throw py::value_error("ef must be at least 1");
                // A width per row, for rows whose lists pass different shares of the nodes.
                const int64_t* efs = nullptr;
                if (row_ef) {
                    if (row_ef->ndim() != 1 || row_ef->shape(0) != queries.shape(0))
                        throw py::value_error("row_ef must hold one width per query");
                    efs = row_ef->data();
                    for (py::ssize_t i = 0; i < row_ef->shape(0); ++i)
                        if (efs[i] < 1) throw py::value_error("ef must be at least 1");
                }
                const vek::Filter f = make_filter(e, mask, max_distance, min_norm, max_norm, any);
                const size_t block = efs ? 1 : vek::kWalkLanes;
                return run_queries(e, queries, factors, remainders, k, num_threads, block, f, lists,
                                   [&](const quellix::Rows& rows, size_t first, const vek::Filter& rf, int32_t kk,
                                       std::vector<NodeDist>* out) {
                                       const int32_t width = clamp_i32(efs ? efs[first] : ef);
                                       quellix::filtered_search(e.index(), rows, kk, width, rf, cut_gaps, out);
                                   });
            },
            py::arg("queries"), py::arg("factors"), py::arg("remainders"), py::arg("k"), py::arg("ef"),
            py::arg("filter_mask"), py::arg("max_distance"), py::arg("min_norm"), py::arg("max_norm"),
            py::arg("cut_gaps"), py::arg("num_threads"), py::arg("filter_any") = 0, py::arg("lists") = py::none(),
            py::arg("row_ef") = py::none())
        .def(
            "exact_search",
            [](const Engine& e, const FloatArray& queries, const std::optional<FactorArray>& factors,
               const std::optional<FloatArray>& remainders, int64_t k, uint64_t mask,
               std::optional<float> max_distance, std::optional<double> min_norm,
               std::optional<double> max_norm, int num_threads, uint64_t any, const ListArgs* lists) {
                const vek::Filter f = make_filter(e, mask, max_distance, min_norm, max_norm, any);
                // Blocks of queries share each pass over the stored vectors.
                return run_queries(e, queries, factors, remainders, k, num_threads, kSharedPass, f, lists,
                                   [&](const quellix::Rows& rows, size_t, const vek::Filter& rf, int32_t kk,
                                       std::vector<NodeDist>* out) { quellix::exact_search(e.index(), rows, kk, rf, out); });
            },
            py::arg("queries"), py::arg("factors"), py::arg("remainders"), py::arg("k"), py::arg("filter_mask"),
            py::arg("max_distance"), py::arg("min_norm"), py::arg("max_norm"), py::arg("num_threads"),
            py::arg("filter_any") = 0, py::arg("lists") = py::none())
        .def(
            "distances",
            [](const Engine& e, const FloatArray& query, std::optional<double> factor,
               const std::optional<FloatArray>& remainder, const IdArray& ids) {
                if (query.ndim() != 1 || query.shape(0) != e.dim())
                    throw py::value_error("query must have shape (" + std::to_string(e.dim()) + ",)");
                if (e.ball() != factor.has_value() || (factor && !usable_factor(*factor)))
                    throw py::value_error("a poincare query needs its factor inside the ball, other metrics none");
                const float* rem = check_remainders(remainder, e, 1);
                if (ids.ndim() != 1) throw py::value_error("ids must be one-dimensional");
                py::array_t<float> out(ids.shape(0));
                float* dst = out.mutable_data();
                without_gil<Shared>(e.index(), [&] {
                    const std::vector<int32_t> checked = nodes_of(e, ids);  // under the lock the distances take
                    const float* q = query.data();
                    const HyperbolicIndex& index = e.index();
                    const float term = factor ? HyperbolicIndex::ball_term(*factor) : index.term_of(q);
                    if (index.has_remainders()) {
                        for (size_t j = 0; j < checked.size(); ++j) dst[j] = index.exact_key(q, rem, term, checked[j]);
                    } else {
                        index.dist_to_nodes(q, term, checked.data(), checked.size(), dst);
                    }
                    for (size_t j = 0; j < checked.size(); ++j) dst[j] = quellix::user_distance(e.metric(), dst[j]);
                });
                return out;
            },
            py::arg("query"), py::arg("factor"), py::arg("remainder"), py::arg("ids"))
        .def(
            "get_vectors",
            [](const Engine& e, const IdArray& ids) {
                const Shared lock = lock_with_gil<Shared>(e.index());
                const std::vector<int32_t> checked = nodes_of(e, ids);
                py::array_t<float> out({static_cast<py::ssize_t>(checked.size()), static_cast<py::ssize_t>(e.dim())});
                float* dst = out.mutable_data();
                for (size_t j = 0; j < checked.size(); ++j) {
                    float* row = dst + j * e.dims();
                    const float* values = e.index().decoded(checked[j], row);
                    if (values != row) std::copy_n(values, e.dims(), row);
                }
                return out;
            },
            py::arg("ids"))
        .def("masks",
             [](const Engine& e) {
                 const Shared lock = lock_with_gil<Shared>(e.index());
                 py::array_t<uint64_t> out(static_cast<py::ssize_t>(e.index().size()));
                 uint64_t* dst = out.mutable_data();
                 for (size_t i = 0; i < e.index().size(); ++i) dst[i] = e.index().mask(static_cast<int32_t>(i));
                 return out;
             })
        .def(
            "set_masks",
            [](Engine& e, const MaskArray& masks) {
                e.writable();
                const Exclusive lock = lock_with_gil<Exclusive>(e.index());
                if (masks.ndim() != 1 || static_cast<size_t>(masks.shape(0)) != e.index().size())
                    throw py::value_error("masks must hold one value per vector (" +
                                          std::to_string(e.index().size()) + ")");
                e.index().set_masks(masks.data(), e.index().size());
            },
            py::arg("masks"))
        .def(
            "share_passing",
            [](const Engine& e, uint64_t mask, uint64_t any) {
                return without_gil<Shared>(e.index(), [&] {
                    const HyperbolicIndex& index = e.index();
                    size_t passing = 0;
                    for (size_t i = 0; i < index.size(); ++i) {
                        const uint64_t m = index.mask(static_cast<int32_t>(i));
                        passing += (m & mask) == mask && (any == 0 || (m & any) != 0);
                    }
                    return index.size() ? static_cast<double>(passing) / static_cast<double>(index.size()) : 0.0;
                });
            },
            py::arg("mask"), py::arg("any") = 0)
        .def(
            "neighbour_graph",
            [](const Engine& e, int64_t k, int num_threads, uint64_t seed) {
                if (k < 0 || k > std::numeric_limits<int32_t>::max()) throw py::value_error("k must be at least 0");
                if (e.metric() != vek::Euclidean && e.metric() != vek::Cosine)
                    throw py::value_error("the neighbour graph is computed under \"euclidean\" and \"cosine\" only");
                const int threads = num_threads == 0 ? usable_cores() : num_threads;
                std::vector<int64_t> labels;
                std::vector<float> values;
                size_t n = 0;
                without_gil<Shared>(e.index(), [&] {
                    n = e.index().size();
                    const size_t kk = static_cast<size_t>(k);
                    std::vector<int32_t> nodes(n * kk);
                    values.resize(n * kk);
                    e.index().neighbour_graph(static_cast<int32_t>(k), threads, seed, nodes.data(), values.data());
                    labels.resize(n * kk);
                    for (size_t j = 0; j < nodes.size(); ++j) labels[j] = nodes[j] < 0 ? -1 : e.labels().id(nodes[j]);
                });
                const auto rows = static_cast<py::ssize_t>(n);
                IdArray ids({rows, static_cast<py::ssize_t>(k)});
                py::array_t<float> dists({rows, static_cast<py::ssize_t>(k)});
                std::copy(labels.begin(), labels.end(), ids.mutable_data());
                std::copy(values.begin(), values.end(), dists.mutable_data());
                return py::make_tuple(ids, dists);
            },
            py::arg("k"), py::arg("num_threads"), py::arg("seed"))
        .def("passing_counts", &passing_counts, py::arg("mask"), py::arg("any"), py::arg("unlisted"),
             py::arg("lists"), py::arg("rows"))
        .def("rank_counts", &rank_counts, py::arg("vectors"), py::arg("children"), py::arg("starts"),
             py::arg("positives"), py::arg("num_threads"))
        .def("stats", &stats)
        .def("reachability", &reachability)
        .def("records", &records)
        .def_static("from_records", &from_records, py::arg("data"), py::arg("name"), py::arg("metric"),
                    py::arg("terms"), py::arg("vek_core_file"), py::arg("remainders") = py::none())
        .def("set_labels", &set_labels, py::arg("ids"), py::arg("next"))
        .def_static("from_file_bytes", &from_file_bytes, py::arg("data"), py::arg("name"))
        .def_static("load_file", &load_file, py::arg("path"), py::arg("mmap") = false)
        .def_property_readonly("mapped", [](const Engine& e) { return e.mapping() != nullptr; })
        .def("verify",
             [](const Engine& e) {
                 if (e.mapping() == nullptr) return;
                 py::gil_scoped_release unlocked;
                 vek::verify_region(*e.mapping(), e.name());
             })
        .def("file_bytes", &file_bytes, py::arg("ef_construction"), py::arg("curvature"))
        .def("save_file", &save_file, py::arg("path"), py::arg("ef_construction"), py::arg("curvature"));
}
