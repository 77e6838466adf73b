// The vek_core module: argument checks, the interpreter lock and result conversion around the index.
// Every array is checked against what will be read from it while the GIL is still held.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "core/hyperbolic_index.h"

namespace py = pybind11;
using vek::HyperbolicIndex;

namespace {

using FloatArray = py::array_t<float, py::array::c_style>;
using MaskArray = py::array_t<uint64_t, py::array::c_style>;

[[noreturn]] void dimension_mismatch() { throw std::runtime_error("Vector dimension mismatch"); }

// A query or linked vector must hold at least `dimension` values; only those are read.
const float* leading_values(const HyperbolicIndex& index, const FloatArray& a) {
    if (a.size() < index.get_dimension()) dimension_mismatch();
    return a.data();
}

void check_node(const HyperbolicIndex& index, int32_t node_id) {
    if (node_id < 0 || static_cast<size_t>(node_id) >= index.size())
        throw py::index_error("node_id " + std::to_string(node_id) + " is out of range for an index of " +
                              std::to_string(index.size()) + " nodes");
}

}  // namespace

PYBIND11_MODULE(vek_core, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Quellix — multi-metric HNSW vector index (Poincaré / Euclidean / Cosine)";

    py::class_<HyperbolicIndex>(m, "HyperbolicIndex")
        .def(py::init<int32_t, float, int32_t, const std::string&>(), py::arg("dimension"),
             py::arg("curvature") = 1.0, py::arg("M") = 16, py::arg("metric") = "poincare")
        .def(
            "add_item_flat",
            [](HyperbolicIndex& self, FloatArray vector, uint64_t mask) {
                if (vector.ndim() != 1 || vector.shape(0) != self.get_dimension()) dimension_mismatch();
                const float* values = vector.data();
                py::gil_scoped_release unlocked;
                self.add_item_flat(values, mask);
            },
            py::arg("vector"), py::arg("mask") = 0)
        .def(
            "add_item_and_link",
            [](HyperbolicIndex& self, FloatArray vector, uint64_t mask, int32_t ef_construction) {
                if (self.get_dimension() < 0) dimension_mismatch();
                const float* values = leading_values(self, vector);
                py::gil_scoped_release unlocked;
                self.add_item_and_link(values, mask, ef_construction);
            },
            py::arg("vector"), py::arg("mask") = 0, py::arg("ef_construction") = 200)
        .def(
            "custom_hnsw_search",
            [](const HyperbolicIndex& self, FloatArray query, int32_t k, uint64_t filter_mask, int32_t ef_search,
               float max_radius, float min_norm) {
                const float* q = leading_values(self, query);
                py::gil_scoped_release unlocked;
                return self.custom_hnsw_search(q, k, filter_mask, ef_search, max_radius, min_norm);
            },
            py::arg("query"), py::arg("k"), py::arg("filter_mask") = 0, py::arg("ef_search") = 50,
            py::arg("max_radius") = -1.0, py::arg("min_norm") = -1.0)
        .def(
            "filtered_search",
            [](const HyperbolicIndex& self, FloatArray query, int32_t k, uint64_t filter_mask, int32_t ef_search,
               float max_radius, float min_norm) {
                const float* q = leading_values(self, query);
                py::gil_scoped_release unlocked;
                return self.filtered_search(q, k, filter_mask, ef_search, max_radius, min_norm);
            },
            py::arg("query"), py::arg("k"), py::arg("filter_mask") = 0, py::arg("ef_search") = 2000,
            py::arg("max_radius") = -1.0, py::arg("min_norm") = -1.0)
        .def(
            "hardware_flat_search",
            [](const HyperbolicIndex& self, FloatArray query, int32_t k, uint64_t filter_mask, float max_radius,
               float min_norm_sq) {
                const float* q = leading_values(self, query);
                py::gil_scoped_release unlocked;
                return self.hardware_flat_search(q, k, filter_mask, max_radius, min_norm_sq);
            },
            py::arg("query"), py::arg("k"), py::arg("filter_mask"), py::arg("max_radius") = -1.0,
            py::arg("min_norm_sq") = -1.0)
        .def("save_index", &HyperbolicIndex::save_index, py::arg("filename"))
        .def("load_index", &HyperbolicIndex::load_index, py::arg("filename"))
        .def("get_stats",
             [](const HyperbolicIndex& self) {
                 const vek::IndexStats s = self.get_stats();
                 py::dict d;
                 d["num_nodes"] = s.num_nodes;
                 d["ep_id"] = s.ep_id;
                 d["ep_layer"] = s.ep_layer;
                 d["max_m"] = s.max_m;
                 d["max_m_0"] = s.max_m_0;
                 d["dimension"] = s.dimension;
                 d["avg_degree_layer0"] = s.avg_degree_layer0;
                 d["layer_distribution"] = py::cast(s.layer_distribution);
                 return d;
             })
        .def("get_metric", &HyperbolicIndex::get_metric)
        .def(
            "compute_distance",
            [](const HyperbolicIndex& self, FloatArray query, int32_t node_id) {
                const float* q = leading_values(self, query);
                check_node(self, node_id);
                return self.compute_distance(q, node_id);
            },
            py::arg("query"), py::arg("node_id"))
        .def(
            "get_stored_norm",
            [](const HyperbolicIndex& self, int32_t node_id) {
                check_node(self, node_id);
                return self.get_stored_norm(node_id);
            },
            py::arg("node_id"))
        .def(
            "update_masks",
            [](HyperbolicIndex& self, MaskArray new_masks) {
                self.update_masks(new_masks.data(), static_cast<size_t>(new_masks.size()));
            },
            py::arg("new_masks"));
}
