// libFuzzer harness for the quellix index file reader, loaded and mapped.
//
// Each input is read as it is, then with its last four bytes replaced by the CRC-32 of the rest, so that
// mutations get past the checksum to the header, the records, the factors, the remainders and the
// generator state. A file of the mapped layout's version is also read as a mapped file is (from pages
// of its own, its arrays lent, no checksum, lists checked as they are read), and searched the same way:
// damage that nothing checked may give wrong answers there, never a crash or an id out of range.
// A rejected file must
// raise "Invalid index file: <name>: <reason>" and nothing else. An accepted file is searched (every
// answer in [0, n), distinct, at most k, exhaustive ones in distance order) and written back; the file
// written must read back and write again to the very same bytes. Besides sanitizer reports, a breach of
// any of these is a finding.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/mman.h>

#include "core/hyperbolic_index.h"
#include "io/quellix_file.h"

namespace {

constexpr size_t kMaxVectorDims = size_t{1} << 16;
const std::string kName = "<fuzz>";

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// The accepted index read, or null for a rejection (any other failure is a finding).
std::unique_ptr<vek::HyperbolicIndex> read_or_reject(const std::vector<char>& bytes, vek::QuellixFileFields& fields) {
    try {
        return vek::read_quellix_file(bytes.data(), bytes.size(), kName, fields);
    } catch (const std::runtime_error& e) {
        const std::string expected = "Invalid index file: " + kName + ": ";
        if (std::string(e.what()).compare(0, expected.size(), expected) != 0)
            finding(std::string("read failed with an unexpected message: ") + e.what());
    } catch (const std::exception& e) {
        finding(std::string("read failed with an unexpected exception: ") + e.what());
    }
    return nullptr;
}

std::vector<char> written(const vek::HyperbolicIndex& index, const vek::QuellixFileFields& fields) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* f = ::open_memstream(&buffer, &size);
    if (!f) std::abort();
    vek::write_quellix_file(index, fields.ef_construction, fields.curvature, fields.ids, fields.next_id, f, kName);
    if (std::fclose(f) != 0) std::abort();
    std::vector<char> out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

void check_ids(const std::vector<vek::NodeDist>& found, size_t n, int32_t k, const char* who) {
    if (static_cast<int64_t>(found.size()) > std::max(k, 1)) finding(std::string(who) + " returned more than k ids");
    std::set<int32_t> seen;
    for (const vek::NodeDist& e : found) {
        if (e.id < 0 || static_cast<size_t>(e.id) >= n) finding(std::string(who) + " returned an id out of range");
        if (!seen.insert(e.id).second) finding(std::string(who) + " returned an id twice");
    }
}

// `checked`: the index was read and checked whole, so its exhaustive answers must be in distance order
// too; a mapped one may hold damage nothing checked, which may order its answers wrongly but nothing more.
void exercise(const vek::HyperbolicIndex& index, const uint8_t* data, size_t size, bool checked = true) {
    const size_t n = index.size();
    const size_t d = index.dims();
    if (d > kMaxVectorDims || n == 0) return;
    std::vector<float> q(d);
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    for (size_t i = 0; i < d; ++i) {
        h = h * 1664525u + 1013904223u;
        q[i] = static_cast<float>(static_cast<int32_t>(h >> 8) % 1201 - 600) / 2000.0f;
    }
    std::vector<float> values;
    const float* row = index.query_of(static_cast<int32_t>(h % n), values);
    std::vector<float> stored(row, row + d);
    for (const std::vector<float>* query : {&q, &stored}) {
        const float term = index.term_of(query->data());
        for (int32_t k : {1, 5}) {
            const vek::Filter none = vek::Filter::norm_range(0, -1.0f, -1.0f, -1.0f);
            check_ids(index.graph_search(query->data(), term, k, 8, none), n, k, "graph_search");
            check_ids(index.filtered_search(query->data(), term, k, 8, vek::Filter::norm_range(h & 3, -1.0f, -1.0f, -1.0f)),
                      n, k, "filtered_search");
            const std::vector<vek::NodeDist> flat = index.exhaustive_search(query->data(), term, k, none);
            check_ids(flat, n, k, "exhaustive_search");
            for (size_t i = 1; checked && i < flat.size(); ++i)
                if (flat[i].dist < flat[i - 1].dist) finding("exhaustive_search results are out of distance order");
        }
    }
}

void read_and_check(const std::vector<char>& bytes, const uint8_t* data, size_t size) {
    vek::QuellixFileFields fields;
    const std::unique_ptr<vek::HyperbolicIndex> index = read_or_reject(bytes, fields);
    if (!index) return;
    exercise(*index, data, size);
    const std::vector<char> once = written(*index, fields);
    vek::QuellixFileFields again_fields;
    const std::unique_ptr<vek::HyperbolicIndex> again = read_or_reject(once, again_fields);
    if (!again) finding("a file written from an accepted one does not read back");
    if (written(*again, again_fields) != once) finding("reading and writing a written file changed its bytes");
}

// The input as a mapped file: in pages of its own, read in place.
void map_and_check(const std::vector<char>& bytes, const uint8_t* data, size_t size) {
    uint32_t version = 0;
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "QUELLIX", 8) != 0) return;
    std::memcpy(&version, bytes.data() + 8, 4);
    if (version != 6) return;
    void* base = ::mmap(nullptr, bytes.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) std::abort();
    std::memcpy(base, bytes.data(), bytes.size());
    auto region = std::make_shared<const vek::Region>(base, bytes.size());
    std::unique_ptr<vek::HyperbolicIndex> index;
    vek::QuellixFileFields fields;
    try {
        index = vek::read_quellix_layout(static_cast<const char*>(base), bytes.size(), kName, fields, region);
    } catch (const std::runtime_error& e) {
        const std::string expected = "Invalid index file: " + kName + ": ";
        if (std::string(e.what()).compare(0, expected.size(), expected) != 0)
            finding(std::string("mapping failed with an unexpected message: ") + e.what());
        return;
    } catch (const std::exception& e) {
        finding(std::string("mapping failed with an unexpected exception: ") + e.what());
    }
    exercise(*index, data, size, false);
    written(*index, fields);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> bytes(data, data + size);
    read_and_check(bytes, data, size);
    map_and_check(bytes, data, size);
    if (size > 4) {
        const uint32_t crc = vek::crc32(0, bytes.data(), size - 4);
        std::memcpy(bytes.data() + size - 4, &crc, 4);
        read_and_check(bytes, data, size);
        map_and_check(bytes, data, size);
    }
    return 0;
}
