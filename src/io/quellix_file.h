// The quellix index file. Version 6, the one written, keeps each per-node array in a section of its
// own, aligned so that a mapped file is read in place (io/mapped_layout.cpp describes it). Versions 1
// to 5 still load: a fixed header, the graph records (the vek_core record layout), under the exact
// Poincare ball each node's 1 / (1 - |x|^2) as float32, the level generator's state, the float32
// remainders of vectors given with more precision (count x dim, or none), each node's id as int64 (none
// while every id is its node's position), then a CRC-32 of everything before it. All little-endian.
//
// Their header: magic "QUELLIX\0", version, metric code (0 poincare, 1 euclidean, 2 cosine), dim, M,
// ef_construction (uint32 each), node count, then the byte lengths of the records, the terms and the
// generator state (uint64 each); from version 2 the remainders' length; from version 3 the ids' length
// and the next id given to a row without one (int64); from version 4 the curvature (float64); from
// version 5 the storage code (uint32: 0 float32, 1 float16, 2 bfloat16, 3 int8) and the byte length of
// the int8 steps and floors (uint64; float32 each, a step per dimension then a floor per dimension), which
// follow the ids; a compressed index's records hold its stored rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/huge_pages.h"
#include "core/hyperbolic_index.h"

namespace vek {

// What a quellix file holds beside the engine's own state.
struct QuellixFileFields {
    uint32_t ef_construction = 200;
    double curvature = 1.0;
    std::vector<int64_t> ids;  // one per node, or none while every id is its node's position
    int64_t next_id = 0;
};

// zlib's crc32: the CRC-32 of `size` bytes continuing `crc` (0 to start).
uint32_t crc32(uint32_t crc, const void* data, size_t size);

// Writes the file of `index` (with the fields of QuellixFileFields) to f as it goes, never holding a second
// copy of the index; `name` appears in error messages. To be called under the index lock. Writes the
// newest version, whose layout io/mapped_layout.cpp describes.
void write_quellix_file(const HyperbolicIndex& index, uint32_t ef_construction, double curvature,
                        const std::vector<int64_t>& ids, int64_t next_id, FILE* f, const std::string& name);

// The index of a file's bytes, every part checked (and `fields` filled in); runtime_error "Invalid index
// file: <name>: <why>" for anything unsound. The ids are returned unchecked: the caller's labels check them.
std::unique_ptr<HyperbolicIndex> read_quellix_file(const char* data, size_t size, const std::string& name,
                                                   QuellixFileFields& fields);

// Version 6 and on (io/mapped_layout.cpp): written, and read from bytes either copied and checked
// whole (`region` null) or lent from the mapped `region` they lie in, checked as mapping allows.
void write_quellix_layout(const HyperbolicIndex& index, uint32_t ef_construction, double curvature,
                          const std::vector<int64_t>& ids, int64_t next_id, FILE* f, const std::string& name);
std::unique_ptr<HyperbolicIndex> read_quellix_layout(const char* data, size_t size, const std::string& name,
                                                     QuellixFileFields& fields, std::shared_ptr<const Region> region);
// The index of the file at `path`, mapped read-only (`region` receives the mapping); a file of an
// older version is refused with a message saying to save it again.
std::unique_ptr<HyperbolicIndex> map_quellix_file(const std::string& path, QuellixFileFields& fields,
                                                  std::shared_ptr<const Region>& region);
// The mapped file's checksum; runtime_error "Invalid index file: <name>: checksum mismatch ..." if damaged.
void verify_region(const Region& region, const std::string& name);

// The values of a loaded index against what they must be: finite vectors, cached norms that are their
// vectors' (unless `vek_core_file`: recomputed), under the exact Poincare ball the terms 1 / (1 - |x|^2)
// (`terms`, one per node), and the remainders (null, or count x dim floats).
void check_values(HyperbolicIndex& index, const std::string& name, const float* terms, size_t term_count,
                  bool vek_core_file, const float* remainders, size_t remainder_values);

// An index from graph records under `metric`. A quellix file carries its Poincare terms
// 1 / (1 - |x|^2) (`terms`, count nodes) and cached norms that must be its vectors'; a vek_core file
// (`vek_core_file`) carries no terms, and its cached norms are recomputed. `remainders` (null, or
// `remainder_values` floats that must be count x dim) are the float32 remainders of the vectors.
std::unique_ptr<HyperbolicIndex> index_from_records(const char* data, size_t size, const std::string& name,
                                                    MetricKind metric, const float* terms, size_t term_count,
                                                    bool vek_core_file, const float* remainders,
                                                    size_t remainder_values, const Codec& codec = {});

}  // namespace vek
