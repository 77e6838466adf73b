// The engine's state as a file gives it, checked, then swapped into an index in one step: the
// vek_core record reader (io/index_file.cpp) and the quellix mapped layout (io/mapped_layout.cpp) fill it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/hyperbolic_index.h"

namespace vek {

class Writer;
class Reader;

struct IndexFile {
    int32_t dimension = 0;
    float curvature = 0.0f;
    int32_t max_m = 0;
    int32_t ep_id = -1;
    int32_t ep_layer = -1;
    Codec codec;  // how the records hold the vectors
    VectorStore vectors;
    Column<float> stored_norms;
    Column<uint64_t> masks;
    std::vector<int32_t> node_levels;
    LinkTable links;
    Column<float> terms;       // installed as they are (a mapped file's); empty otherwise
    Column<float> remainders;
    double remainder_reach = 0.0;

    static void write(const HyperbolicIndex& index, Writer& w);
    void read(Reader& r);
    // Every link against the nodes and their levels, and the entry point; fail(why) on the first fault.
    void validate(const std::function<void(const std::string&)>& fail) const;
    void install_into(HyperbolicIndex& index);
};

}  // namespace vek
