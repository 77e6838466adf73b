// The quellix file from version 6 on: every per-node array is a section of its own, each starting on a
// 64-byte boundary, in the layout the engine keeps in memory, so that a mapped file is read in place.
//
// Header (192 bytes, little-endian): magic "QUELLIX\0", version, metric code, dim, M, ef_construction,
// storage code (uint32 each), node count (uint64), entry point and its layer (int32 each), curvature
// (float64), next id (int64), slot room (uint32: ids per layer-0 slot, the longest list's length), a
// zero uint32, the byte length
// of each section (10 x uint64), the largest norm of a node's remainders (float64), zeros.
// Sections, in this order: the stored rows (count x the row's floats), the cached squared norms (float32),
// the masks (uint64), the layer-0 slots (count x (1 + room) int32: the list's length, its ids, zeros),
// the upper lists (for each node above layer 0, in node order: node, level, then per layer 1..level the
// length and the ids, all int32), under the exact Poincare ball 1 / (1 - |x|^2) per node (float32), the
// remainders (count x dim float32, or none), the ids (int64 per node, or none while every id is its
// node's position), the int8 steps then floors (dim float32 each, or none), the level generator's state
// (text). Then the CRC-32 of everything before it.
//
// Loaded, the whole file is checked as the older versions are. Mapped, what is read at open beyond the
// header is the upper lists (a node in sixteen at M = 16), which are checked, and a table of the nodes'
// levels is made; the section lengths are checked against the file's size, the entry point against
// the levels, and a layer-0 list each time a walk reads it (LinkTable::checked). verify() checks the
// checksum on demand.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <sstream>

#include "io/file_parts.h"
#include "io/index_file.h"
#include "io/quellix_file.h"

namespace vek {

using namespace file_parts;

struct QuellixLayout {
    enum Section { kVectors, kNorms, kMasks, kSlots, kUpper, kTerms, kRemainders, kIds, kRanges, kState, kSections };
    static constexpr uint32_t kVersion = 6;
    static constexpr size_t kHeaderBytes = 192;
    static constexpr size_t kLengthsAt = 72;
    static constexpr size_t kReachAt = kLengthsAt + 8 * kSections;
    static constexpr uint64_t kAlign = 64;
    static constexpr int32_t kMaxLevel = 64;  // far beyond any drawn level: log_M of 2^31 nodes

    static uint64_t aligned(uint64_t at) { return (at + kAlign - 1) / kAlign * kAlign; }

    static void write(const HyperbolicIndex& index, uint32_t ef_construction, double curvature,
                      const std::vector<int64_t>& ids, int64_t next_id, FILE* f, const std::string& name);
    static std::unique_ptr<HyperbolicIndex> read(const char* data, size_t size, const std::string& name,
                                                 QuellixFileFields& fields, std::shared_ptr<const Region> region);
};

namespace {

// memcpy that takes an empty range from anywhere (an empty vector's data() may be null).
void copy_bytes(void* to, const void* from, size_t bytes) {
    if (bytes != 0) std::memcpy(to, from, bytes);
}


}  // namespace

void QuellixLayout::write(const HyperbolicIndex& index, uint32_t ef_construction, double curvature,
                          const std::vector<int64_t>& ids, int64_t next_id, FILE* f, const std::string& name) {
    const size_t n = index.size(), stride = index.row_floats();
    const LinkTable& links = index.links;
    size_t room = 0;  // the longest layer-0 list: a slot need hold no more, whatever M allows
    uint64_t upper_bytes = 0;
    for (size_t i = 0; i < n; ++i) {
        const auto node = static_cast<int32_t>(i);
        room = std::max(room, links.at(node, 0).size());
        if (index.node_levels[i] > 0) {
            upper_bytes += 8;
            for (int32_t layer = 1; layer <= index.node_levels[i]; ++layer) upper_bytes += 4 + 4 * links.at(node, layer).size();
        }
    }
    if (room > INT32_MAX - 1) throw std::runtime_error("Failed to write index file: " + name + " (a list too long)");
    std::ostringstream generator;
    generator << index.level_rng;
    const std::string state = generator.str();
    const Codec& codec = index.codec();
    const bool ball = index.metric == PoincareBall;
    uint64_t length[kSections] = {};
    length[kVectors] = 4 * n * stride;
    length[kNorms] = 4 * n;
    length[kMasks] = 8 * n;
    length[kSlots] = 4 * n * (1 + room);
    length[kUpper] = upper_bytes;
    length[kTerms] = ball ? 4 * n : 0;
    length[kRemainders] = 4 * index.remainders.size();
    length[kIds] = 8 * ids.size();
    length[kRanges] = 4 * (codec.steps().size() + codec.floors().size());
    length[kState] = state.size();

    Sink out(f, name);
    char header[kHeaderBytes] = {};
    auto put = [&](size_t at, auto v) { std::memcpy(header + at, &v, sizeof v); };
    std::memcpy(header, kMagic, sizeof kMagic);
    put(8, kVersion);
    put(12, metric_code(index.metric));
    put(16, static_cast<uint32_t>(index.dimension));
    put(20, static_cast<uint32_t>(index.max_m));
    put(24, ef_construction);
    put(28, static_cast<uint32_t>(codec.storage()));
    put(32, static_cast<uint64_t>(n));
    put(40, index.ep_id);
    put(44, index.ep_layer);
    put(48, curvature);
    put(56, next_id);
    put(64, static_cast<uint32_t>(room));
    for (int s = 0; s < kSections; ++s) put(kLengthsAt + 8 * s, length[s]);
    put(kReachAt, index.remainder_reach);
    out.raw(header, sizeof header);
    uint64_t at = kHeaderBytes;
    static const char kZeros[kAlign] = {};
    auto section = [&](int s, auto&& body) {
        body();
        at += length[s];
        out.raw(kZeros, aligned(at) - at);
        at = aligned(at);
    };
    section(kVectors, [&] { out.raw(index.vectors.data(), length[kVectors]); });
    section(kNorms, [&] { out.raw(index.stored_norms.data(), length[kNorms]); });
    section(kMasks, [&] { out.raw(index.masks.data(), length[kMasks]); });
    section(kSlots, [&] {
        std::vector<int32_t> slot(1 + room);
        for (size_t i = 0; i < n; ++i) {
            const LinkSpan list = links.at(static_cast<int32_t>(i), 0);
            std::fill(slot.begin(), slot.end(), 0);
            slot[0] = static_cast<int32_t>(list.size());
            std::copy(list.begin(), list.end(), slot.begin() + 1);
            out.raw(slot.data(), 4 * slot.size());
        }
    });
    section(kUpper, [&] {
        for (size_t i = 0; i < n; ++i) {
            const int32_t level = index.node_levels[i];
            if (level <= 0) continue;
            out.value(static_cast<int32_t>(i));
            out.value(level);
            for (int32_t layer = 1; layer <= level; ++layer) {
                const LinkSpan list = links.at(static_cast<int32_t>(i), layer);
                out.value(static_cast<int32_t>(list.size()));
                out.raw(list.data(), 4 * list.size());
            }
        }
    });
    section(kTerms, [&] { out.raw(index.inv_factors.data(), length[kTerms]); });
    section(kRemainders, [&] { out.raw(index.remainders.data(), length[kRemainders]); });
    section(kIds, [&] { out.raw(ids.data(), length[kIds]); });
    section(kRanges, [&] {
        out.raw(codec.steps().data(), 4 * codec.steps().size());
        out.raw(codec.floors().data(), 4 * codec.floors().size());
    });
    section(kState, [&] { out.raw(state.data(), state.size()); });
    uint32_t crc;
    if (out.flush(&crc) != at) throw std::logic_error("the index changed while it was written");
    if (std::fwrite(&crc, 1, sizeof crc, f) != sizeof crc)
        throw std::runtime_error("Failed to write index file: " + name + " (" + std::strerror(errno) + ")");
}

std::unique_ptr<HyperbolicIndex> QuellixLayout::read(const char* data, size_t size, const std::string& name,
                                                     QuellixFileFields& fields, std::shared_ptr<const Region> region) {
    auto fail = [&](const std::string& why) -> void {
        throw std::runtime_error("Invalid index file: " + name + ": " + why);
    };
    if (size < kHeaderBytes + 4) fail("too short for a quellix index file");
    const uint32_t code = read_at<uint32_t>(data, 12), dim = read_at<uint32_t>(data, 16);
    const uint32_t M = read_at<uint32_t>(data, 20), ef_construction = read_at<uint32_t>(data, 24);
    const uint32_t storage = read_at<uint32_t>(data, 28);
    const uint64_t count = read_at<uint64_t>(data, 32);
    const int32_t ep_id = read_at<int32_t>(data, 40), ep_layer = read_at<int32_t>(data, 44);
    const double curvature = read_at<double>(data, 48);
    const int64_t next_id = read_at<int64_t>(data, 56);
    const uint32_t room = read_at<uint32_t>(data, 64);
    const double reach = read_at<double>(data, kReachAt);
    uint64_t length[kSections];
    for (int s = 0; s < kSections; ++s) length[s] = read_at<uint64_t>(data, kLengthsAt + 8 * s);

    if (code > 2) fail("unknown metric code " + std::to_string(code));
    const MetricKind metric = code == 0 ? PoincareBall : code == 1 ? Euclidean : Cosine;
    const std::string quoted = std::string("'") + metric_name(metric) + "'";
    const bool ball = metric == PoincareBall;
    if (dim < 1 || M < 2 || M > INT32_MAX / 2 || ef_construction < 1)
        fail("dim " + std::to_string(dim) + ", M " + std::to_string(M) + ", ef_construction " +
             std::to_string(ef_construction) + " out of range");
    if (!(std::isfinite(curvature) && curvature > 0.0)) fail("curvature " + repr(curvature) + " is not a finite number > 0");
    if (curvature != 1.0 && !ball) fail("curvature " + repr(curvature) + " under " + quoted + ", which has none");
    if (storage > 3) fail("unknown storage code " + std::to_string(storage));
    if (storage != 0 && ball) fail("compressed vectors under " + quoted);
    if (count > static_cast<uint64_t>(INT32_MAX)) fail("node count " + std::to_string(count) + " exceeds the id range");
    if (room > INT32_MAX - 1) fail("slots of " + std::to_string(room) + " ids");
    if (region && room > LinkTable::kMaxMappedRoom)
        fail("slots of " + std::to_string(room) + " ids are too long to map (load the file instead)");
    if (!(reach >= 0.0 && std::isfinite(reach))) fail("damaged remainder bound");
    using Wide = unsigned __int128;
    const size_t stride = Codec::row_floats(static_cast<Storage>(storage), dim);
    const Wide n = count;
    auto expect = [&](int s, Wide bytes, const char* what) {
        if (Wide{length[s]} != bytes)
            fail(std::to_string(length[s]) + " bytes of " + what + " for " + std::to_string(count) + " nodes");
    };
    expect(kVectors, Wide{4} * n * stride, "vectors");
    expect(kNorms, Wide{4} * n, "norms");
    expect(kMasks, Wide{8} * n, "masks");
    expect(kSlots, Wide{4} * n * (1 + Wide{room}), "layer-0 slots");
    expect(kTerms, ball ? Wide{4} * n : 0, "boundary factors");
    if (length[kRemainders] != 0) expect(kRemainders, ball ? Wide{4} * n * dim : 1, "remainders");
    if (length[kIds] != 0) expect(kIds, Wide{8} * n, "ids");
    if (Wide{length[kRanges]} != (storage == 3 ? Wide{8} * dim : 0))
        fail(std::to_string(length[kRanges]) + " bytes of int8 ranges for " + std::to_string(dim) + " dimensions");
    if (length[kUpper] % 4 != 0) fail("damaged upper lists");
    Wide offset[kSections];
    Wide at = kHeaderBytes;
    for (int s = 0; s < kSections; ++s) {
        offset[s] = at;
        at = (at + length[s] + (kAlign - 1)) / kAlign * kAlign;
    }
    if (at + 4 != size) fail(std::to_string(size) + " bytes, but the header announces " + to_string(at + 4));
    if (!region && crc32(0, data, size - 4) != read_at<uint32_t>(data, size - 4))
        fail("checksum mismatch: the file is damaged");
    auto section = [&](int s) { return data + static_cast<size_t>(offset[s]); };

    // The upper lists give every node's level; they are checked whole, mapped or not. upper_at[j] is
    // the place among the section's words of node upper_nodes[j]'s level word.
    IndexFile file;
    const auto nodes = static_cast<size_t>(count);
    file.node_levels.assign(nodes, 0);
    std::vector<int32_t> upper_nodes;
    std::vector<size_t> upper_at;
    const char* upper = section(kUpper);
    const size_t words = length[kUpper] / 4;
    auto word = [&](size_t i) { return read_at<int32_t>(upper, 4 * i); };
    for (size_t at = 0; at < words;) {
        if (words - at < 2) fail("damaged upper lists: a node cut short");
        const int32_t node = word(at), level = word(at + 1);
        if (static_cast<uint64_t>(node) >= count || (!upper_nodes.empty() && node <= upper_nodes.back()))
            fail("damaged upper lists: node " + std::to_string(node) + " out of order or of range");
        if (level < 1 || level > kMaxLevel) fail("node " + std::to_string(node) + " has level " + std::to_string(level));
        upper_nodes.push_back(node);
        upper_at.push_back(at + 1);
        file.node_levels[static_cast<size_t>(node)] = level;
        at += 2;
        for (int32_t layer = 1; layer <= level; ++layer) {
            const int32_t length_of = at < words ? word(at) : -1;
            if (length_of < 0 || static_cast<size_t>(length_of) > words - at - 1)
                fail("damaged upper lists: a list cut short");
            at += 1 + static_cast<size_t>(length_of);
        }
    }
    // node_upper(j, f): f(layer, ids, length) for each upper list of node upper_nodes[j].
    auto node_upper = [&](size_t j, auto&& f) {
        size_t at = upper_at[j] + 1;
        for (int32_t layer = 1; layer <= word(upper_at[j]); ++layer) {
            const auto length_of = static_cast<size_t>(word(at));
            f(layer, upper + 4 * (at + 1), length_of);
            at += 1 + length_of;
        }
    };
    for (size_t j = 0; j < upper_nodes.size(); ++j)
        node_upper(j, [&](int32_t layer, const char* ids, size_t length_of) {
            for (size_t k = 0; k < length_of; ++k) {
                const int32_t id = read_at<int32_t>(ids, 4 * k);
                if (id < 0 || static_cast<uint64_t>(id) >= count || file.node_levels[static_cast<size_t>(id)] < layer)
                    fail("node " + std::to_string(upper_nodes[j]) + " links on layer " + std::to_string(layer) +
                         " to node " + std::to_string(id) + ", which does not reach that layer");
            }
        });
    const bool no_entry = ep_id == -1 && ep_layer == -1;
    if (!no_entry && !(ep_id >= 0 && static_cast<uint64_t>(ep_id) < count && file.node_levels[static_cast<size_t>(ep_id)] == ep_layer))
        fail("invalid entry point " + std::to_string(ep_id) + " at layer " + std::to_string(ep_layer));
    if (no_entry && !upper_nodes.empty()) fail("upper lists without an entry point");

    const Codec codec = codec_of(storage, section(kRanges), dim, name);
    file.dimension = static_cast<int32_t>(dim);
    file.curvature = 1.0f;
    file.max_m = static_cast<int32_t>(M);
    file.ep_id = ep_id;
    file.ep_layer = ep_layer;
    file.codec = codec;
    const size_t term_count = ball ? nodes : 0, rest_count = length[kRemainders] / 4;
    if (region) {
        file.vectors = lent_array<float>(region, section(kVectors), nodes * stride);
        file.stored_norms = lent_array<float>(region, section(kNorms), nodes);
        file.masks = lent_array<uint64_t>(region, section(kMasks), nodes);
        file.links = LinkTable::checked(lent_array<int32_t>(region, section(kSlots), nodes * (1 + size_t{room})), room,
                                        nodes, lent_array<int32_t>(region, upper, words), std::move(upper_nodes),
                                        std::move(upper_at));
        file.terms = lent_array<float>(region, section(kTerms), term_count);
        file.remainders = lent_array<float>(region, section(kRemainders), rest_count);
        file.remainder_reach = reach;
    } else {
        file.vectors.assign(reinterpret_cast<const float*>(section(kVectors)),
                            reinterpret_cast<const float*>(section(kVectors)) + nodes * stride);
        file.stored_norms.resize(nodes);
        copy_bytes(file.stored_norms.data(), section(kNorms), 4 * nodes);
        file.masks.resize(nodes);
        copy_bytes(file.masks.data(), section(kMasks), 8 * nodes);
        file.links.set_limit(HyperbolicIndex::base_link_limit(static_cast<int32_t>(M)));
        const auto* slots = reinterpret_cast<const char*>(section(kSlots));
        LinkList list;
        for (size_t i = 0; i < nodes; ++i) {
            const char* slot = slots + 4 * i * (1 + size_t{room});
            const int32_t length_of = read_at<int32_t>(slot, 0);
            if (length_of < 0 || static_cast<uint32_t>(length_of) > room)
                fail("node " + std::to_string(i) + " has a layer-0 list of " + std::to_string(length_of) + " ids");
            list.resize(static_cast<size_t>(length_of));
            copy_bytes(list.data(), slot + 4, 4 * list.size());
            file.links.push_node(file.node_levels[i]);
            file.links.set(static_cast<int32_t>(i), 0, list);
        }
        for (size_t j = 0; j < upper_nodes.size(); ++j)
            node_upper(j, [&](int32_t layer, const char* ids, size_t length_of) {
                list.resize(length_of);
                copy_bytes(list.data(), ids, 4 * length_of);
                file.links.set(upper_nodes[j], layer, list);
            });
        file.validate(fail);
    }
    const std::string state(section(kState), length[kState]);
    std::mt19937 generator;
    for (unsigned char c : state)
        if (c >= 0x80) fail("damaged level generator state");
    std::istringstream in(state);
    in >> generator;
    if (!in || (in >> std::ws, !in.eof())) fail("damaged level generator state");

    auto index = std::make_unique<HyperbolicIndex>(0, metric, 2);
    file.install_into(*index);
    index->level_rng = generator;
    if (!region) {
        std::vector<float> terms(term_count), rest(rest_count);
        copy_bytes(terms.data(), section(kTerms), 4 * term_count);
        copy_bytes(rest.data(), section(kRemainders), 4 * rest_count);
        index->inv_factors.clear();
        index->remainders.clear();
        index->remainder_reach = 0.0;
        check_values(*index, name, ball ? terms.data() : nullptr, terms.size(), false,
                     rest.empty() ? nullptr : rest.data(), rest.size());
    }
    fields.ids.resize(length[kIds] / 8);
    copy_bytes(fields.ids.data(), section(kIds), length[kIds]);
    fields.ef_construction = ef_construction;
    fields.curvature = curvature;
    fields.next_id = next_id;
    return index;
}

void write_quellix_layout(const HyperbolicIndex& index, uint32_t ef_construction, double curvature,
                          const std::vector<int64_t>& ids, int64_t next_id, FILE* f, const std::string& name) {
    QuellixLayout::write(index, ef_construction, curvature, ids, next_id, f, name);
}

std::unique_ptr<HyperbolicIndex> read_quellix_layout(const char* data, size_t size, const std::string& name,
                                                     QuellixFileFields& fields, std::shared_ptr<const Region> region) {
    return QuellixLayout::read(data, size, name, fields, std::move(region));
}

std::unique_ptr<HyperbolicIndex> map_quellix_file(const std::string& path, QuellixFileFields& fields,
                                                  std::shared_ptr<const Region>& region) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("Cannot open file for loading: " + path);
    }
    const auto size = static_cast<size_t>(st.st_size);
    // Private and writable: the pages stay the file's, shared with every process that maps it, unless
    // something wrote to them, which would then write to a copy of its own, never to the file.
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (base == MAP_FAILED) throw std::runtime_error("Cannot map file: " + path + " (" + std::strerror(errno) + ")");
    region = std::make_shared<const Region>(base, size);
    const char* data = static_cast<const char*>(base);
    if (size < 12 || std::memcmp(data, kMagic, sizeof kMagic) != 0)
        throw std::runtime_error("Invalid index file: " + path + ": not a quellix index file");
    const uint32_t version = read_at<uint32_t>(data, 8);
    if (version != QuellixLayout::kVersion)
        throw std::runtime_error("Invalid index file: " + path + ": format version " + std::to_string(version) +
                                 " cannot be mapped: load it and save it again to map it");
    return QuellixLayout::read(data, size, path, fields, region);
}

void verify_region(const Region& region, const std::string& name) {
    const char* data = static_cast<const char*>(region.base);
    if (region.bytes < 4 || crc32(0, data, region.bytes - 4) != read_at<uint32_t>(data, region.bytes - 4))
        throw std::runtime_error("Invalid index file: " + name + ": checksum mismatch: the file is damaged");
}

}  // namespace vek
