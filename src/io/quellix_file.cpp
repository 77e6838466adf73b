// The quellix index file: versions 1 to 5 (layout in quellix_file.h), which files written before
// version 6 hold and which still load, and the checks every loaded index goes through. Reading checks the
// header against the bytes it has before it reads a section, the checksum before the records, then
// every record, factor, remainder and the generator's state. Version 6, the one written, is
// io/mapped_layout.cpp's.
#include "io/quellix_file.h"

#include "io/file_parts.h"

#include <array>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace vek {

using namespace file_parts;

namespace {

// Slice-by-8 tables of the reflected CRC-32 polynomial (zlib's).
struct CrcTables {
    std::array<std::array<uint32_t, 256>, 8> t{};
    CrcTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (size_t s = 1; s < 8; ++s)
            for (uint32_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};
const CrcTables kCrc;

constexpr uint32_t kNewest = 6;
// Header bytes of versions 1 to 5: magic, five uint32, four uint64; then one more uint64 (v2), two (v3),
// a float64 (v4), a uint32 and a uint64 (v5).
constexpr size_t kHeaderBytes[] = {0, 60, 68, 84, 92, 104};
constexpr size_t kChecksumBytes = 4;

}  // namespace

uint32_t crc32(uint32_t crc, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint32_t c = ~crc;
    const auto& t = kCrc.t;
    for (; size >= 8; size -= 8, p += 8) {
        uint32_t lo;
        uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
            t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; size != 0; --size, ++p) c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    return ~c;
}

void write_quellix_file(const HyperbolicIndex& index, uint32_t ef_construction, double curvature,
                        const std::vector<int64_t>& ids, int64_t next_id, FILE* f, const std::string& name) {
    write_quellix_layout(index, ef_construction, curvature, ids, next_id, f, name);
}

std::unique_ptr<HyperbolicIndex> read_quellix_file(const char* data, size_t size, const std::string& name,
                                                   QuellixFileFields& fields) {
    auto fail = [&](const std::string& why) -> void {
        throw std::runtime_error("Invalid index file: " + name + ": " + why);
    };
    if (size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0)
        fail("not a quellix index file (for a vek_core file use Index.load_vek_core)");
    if (size < kHeaderBytes[1] + kChecksumBytes) fail("too short for a quellix index file");
    const uint32_t version = read_at<uint32_t>(data, 8);
    if (version < 1 || version > kNewest)
        fail("format version " + std::to_string(version) + " is not supported (this quellix reads 1 to " +
             std::to_string(kNewest) + ")");
    if (version == kNewest) return read_quellix_layout(data, size, name, fields, nullptr);
    const size_t header = kHeaderBytes[version];
    if (size < header + kChecksumBytes) fail("too short for a quellix index file");
    const uint32_t code = read_at<uint32_t>(data, 12);
    const uint32_t dim = read_at<uint32_t>(data, 16);
    const uint32_t M = read_at<uint32_t>(data, 20);
    const uint32_t ef_construction = read_at<uint32_t>(data, 24);
    const uint64_t count = read_at<uint64_t>(data, 28);
    const uint64_t n_records = read_at<uint64_t>(data, 36);
    const uint64_t n_terms = read_at<uint64_t>(data, 44);
    const uint64_t n_state = read_at<uint64_t>(data, 52);
    const uint64_t n_rest = version >= 2 ? read_at<uint64_t>(data, 60) : 0;
    const uint64_t n_ids = version >= 3 ? read_at<uint64_t>(data, 68) : 0;
    const int64_t next_id = version >= 3 ? read_at<int64_t>(data, 76) : static_cast<int64_t>(count);
    const double curvature = version >= 4 ? read_at<double>(data, 84) : 1.0;
    const uint32_t storage = version >= 5 ? read_at<uint32_t>(data, 92) : 0;
    const uint64_t n_ranges = version >= 5 ? read_at<uint64_t>(data, 96) : 0;
    if (code > 2) fail("unknown metric code " + std::to_string(code));
    const MetricKind metric = code == 0 ? PoincareBall : code == 1 ? Euclidean : Cosine;
    const std::string quoted = std::string("'") + metric_name(metric) + "'";
    if (dim < 1 || M < 2 || ef_construction < 1)
        fail("dim " + std::to_string(dim) + ", M " + std::to_string(M) + ", ef_construction " +
             std::to_string(ef_construction) + " out of range");
    if (!(std::isfinite(curvature) && curvature > 0.0))
        fail("curvature " + repr(curvature) + " is not a finite number > 0");
    if (curvature != 1.0 && metric != PoincareBall)
        fail("curvature " + repr(curvature) + " under " + quoted + ", which has none");
    using Wide = unsigned __int128;
    if (storage > 3) fail("unknown storage code " + std::to_string(storage));
    if (storage != 0 && metric == PoincareBall) fail("compressed vectors under " + quoted);
    if (Wide{n_ranges} != (storage == 3 ? Wide{8} * dim : 0))
        fail(std::to_string(n_ranges) + " bytes of int8 ranges for " + std::to_string(dim) + " dimensions");
    const Wide announced =
        Wide{header} + n_records + n_terms + n_state + n_rest + n_ids + n_ranges + kChecksumBytes;
    if (announced != size)
        fail(std::to_string(size) + " bytes, but the header announces " + to_string(announced));
    const bool ball = metric == PoincareBall;
    if (Wide{n_terms} != (ball ? Wide{4} * count : 0))
        fail(std::to_string(n_terms) + " bytes of boundary factors for " + std::to_string(count) + " nodes under " +
             quoted);
    if (n_rest != 0 && !(ball && count && Wide{n_rest} == Wide{4} * count * dim))
        fail(std::to_string(n_rest) + " bytes of remainders for " + std::to_string(count) + " nodes of " +
             std::to_string(dim) + " values under " + quoted);
    if (n_ids != 0 && Wide{n_ids} != Wide{8} * count)
        fail(std::to_string(n_ids) + " bytes of ids for " + std::to_string(count) + " nodes");
    const size_t body_end = size - kChecksumBytes;
    if (crc32(0, data, body_end) != read_at<uint32_t>(data, body_end)) fail("checksum mismatch: the file is damaged");

    size_t at = header;
    const char* records = data + at;
    at += n_records;
    std::vector<float> terms(n_terms / 4);
    if (!terms.empty()) std::memcpy(terms.data(), data + at, n_terms);
    at += n_terms;
    const std::string state(data + at, n_state);
    at += n_state;
    for (unsigned char c : state)
        if (c >= 0x80) fail("damaged level generator state");
    std::vector<float> rest(n_rest / 4);
    if (!rest.empty()) std::memcpy(rest.data(), data + at, n_rest);
    at += n_rest;
    fields.ids.resize(n_ids / 8);
    if (!fields.ids.empty()) std::memcpy(fields.ids.data(), data + at, n_ids);
    at += n_ids;
    const Codec codec = codec_of(storage, data + at, dim, name);

    std::unique_ptr<HyperbolicIndex> index =
        index_from_records(records, n_records, name, metric, ball ? terms.data() : nullptr, terms.size(), false,
                           rest.empty() ? nullptr : rest.data(), rest.size(), codec);
    if (static_cast<uint64_t>(index->get_dimension()) != dim || static_cast<uint64_t>(index->max_links()) != M ||
        index->size() != count)
        fail("the header does not match the records");
    std::mt19937 generator;
    std::istringstream in(state);
    in >> generator;
    if (!in || (in >> std::ws, !in.eof())) fail("damaged level generator state");
    index->level_generator() = generator;
    fields.ef_construction = ef_construction;
    fields.curvature = curvature;
    fields.next_id = next_id;
    return index;
}

std::unique_ptr<HyperbolicIndex> index_from_records(const char* data, size_t size, const std::string& name,
                                                    MetricKind metric, const float* terms, size_t term_count,
                                                    bool vek_core_file, const float* remainders,
                                                    size_t remainder_values, const Codec& codec) {
    auto index = std::make_unique<HyperbolicIndex>(0, metric, 2);
    auto fail = [&](const std::string& why) -> void {
        throw std::runtime_error("Invalid index file: " + name + ": " + why);
    };
    struct Closer {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, Closer> f(size ? ::fmemopen(const_cast<char*>(data), size, "rb") : nullptr);
    if (!f) fail("file too short for header");
    try {
        index->read_records(f.get(), size, name, vek_core_file || terms == nullptr, codec);
    } catch (const std::invalid_argument& err) {  // a term that overflows float32
        fail(err.what());
    }
    if (index->get_dimension() < 1) fail("dimension " + std::to_string(index->get_dimension()) + " is below 1");
    if (index->max_links() < 2) fail("M " + std::to_string(index->max_links()) + " is below 2");
    check_values(*index, name, terms, term_count, vek_core_file, remainders, remainder_values);
    return index;
}

void check_values(HyperbolicIndex& loaded, const std::string& name, const float* terms, size_t term_count,
                  bool vek_core_file, const float* remainders, size_t remainder_values) {
    auto fail = [&](const std::string& why) -> void {
        throw std::runtime_error("Invalid index file: " + name + ": " + why);
    };
    HyperbolicIndex* index = &loaded;
    const MetricKind metric = index->metric_kind();
    const size_t n = index->size();
    const size_t d = index->dims();
    std::vector<float> values;
    for (size_t i = 0; i < n; ++i) {
        const float* v = index->query_of(static_cast<int32_t>(i), values);
        for (size_t c = 0; c < d; ++c)
            if (!std::isfinite(v[c])) fail("node " + std::to_string(i) + " holds a value that is not finite");
        // A point inside the ball moves by at most 2^-24 of each value when rounded to float32, so its
        // copy's squared norm stays below 1 + 2^-23: anything beyond is damage.
        if (metric == PoincareBall && !(kernels::ball_factor(v, d) > -0x1p-22))
            fail("node " + std::to_string(i) + " lies outside the unit ball");
        if (!vek_core_file && index->stored_norm(static_cast<int32_t>(i)) != index->simd_dot(v, v))
            fail("node " + std::to_string(i) + " has a stored norm that does not match its vector");
    }
    if (vek_core_file) index->refresh_norms();
    if (metric == PoincareBall && !vek_core_file && terms != nullptr) {
        if (term_count != n) fail("the boundary factors do not match the node count");
        std::vector<double> factors(n);
        for (size_t i = 0; i < n; ++i) {
            if (!(terms[i] >= 1.0f && terms[i] <= FLT_MAX))
                fail("node " + std::to_string(i) + " has an invalid boundary factor");
            factors[i] = 1.0 / static_cast<double>(terms[i]);
        }
        index->set_ball_factors(factors.data(), n);
        if (!std::equal(terms, terms + n, index->ball_terms().begin())) fail("the boundary factors do not round-trip");
    }
    if (remainders != nullptr) {
        if (metric != PoincareBall || remainder_values != n * d) fail("the remainders do not match the nodes");
        try {
            index->set_remainders(remainders, n);
        } catch (const std::invalid_argument& err) {
            fail(err.what());
        }
    }
}

}  // namespace vek
