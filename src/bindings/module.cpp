// The vek_core module: argument checks, the interpreter lock, the index lock and result conversion.
// The conversion and locking helpers it shares with the quellix module are in binding_helpers.h.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "bindings/binding_helpers.h"
#include "core/hyperbolic_index.h"

namespace py = pybind11;
using vek::HyperbolicIndex;

namespace {

using vek::binding::Exclusive;
using vek::binding::FloatArray;
using vek::binding::lock_with_gil;
using vek::binding::MaskArray;
using vek::binding::Shared;
using vek::binding::without_gil;

[[noreturn]] void dimension_mismatch() { throw std::runtime_error("Vector dimension mismatch"); }

// An input array as read once with the GIL held: the array object itself stays referenced by the call.
struct Values {
    const float* data;
    py::ssize_t size;
    py::ssize_t ndim;
    py::ssize_t length;  // extent of the first dimension, or 0

    explicit Values(const FloatArray& a)
        : data(a.data()), size(a.size()), ndim(a.ndim()), length(a.ndim() > 0 ? a.shape(0) : 0) {}

    // A query or linked vector must hold at least `dimension` values; only those are read.
    const float* leading(const HyperbolicIndex& index) const {
        if (size < index.get_dimension()) dimension_mismatch();
        return data;
    }
    // A flat insertion takes exactly one vector of `dimension` values.
    const float* exact(const HyperbolicIndex& index) const {
        if (ndim != 1 || length != index.get_dimension()) dimension_mismatch();
        return data;
    }
};

// The searches answer with scored nodes; Python gets their ids.
std::vector<int32_t> ids_of(const std::vector<vek::NodeDist>& found) {
    std::vector<int32_t> ids;
    ids.reserve(found.size());
    for (const vek::NodeDist& e : found) ids.push_back(e.id);
    return ids;
}

// Python callers have always seen a negative k refused as ValueError("vector::reserve"), the text of
// the standard library's length error for a negative reservation, so the engine's refusal keeps it.
template <class Search>
std::vector<int32_t> ids_or_reserve_error(Search&& search) {
    try {
        return ids_of(search());
    } catch (const std::invalid_argument&) {
        throw std::length_error("vector::reserve");
    }
}

void check_node(const HyperbolicIndex& index, int32_t node_id) {
    if (node_id < 0 || static_cast<size_t>(node_id) >= index.size())
        throw std::out_of_range("node_id " + std::to_string(node_id) + " is out of range for an index of " +
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
                const Values v(vector);
                without_gil<Exclusive>(self, [&] { self.add_unlinked(v.exact(self), mask); });
            },
            py::arg("vector"), py::arg("mask") = 0)
        .def(
            "add_item_and_link",
            [](HyperbolicIndex& self, FloatArray vector, uint64_t mask, int32_t ef_construction) {
                const Values v(vector);
                without_gil<Exclusive>(self, [&] {
                    if (self.get_dimension() < 0) dimension_mismatch();
                    self.add_linked(v.leading(self), mask, ef_construction);
                });
            },
            py::arg("vector"), py::arg("mask") = 0, py::arg("ef_construction") = 200)
        .def(
            "custom_hnsw_search",
            [](const HyperbolicIndex& self, FloatArray query, int32_t k, uint64_t filter_mask, int32_t ef_search,
               float max_radius, float min_norm) {
                const Values q(query);
                return without_gil<Shared>(self, [&] {
                    const float* values = q.leading(self);
                    return ids_or_reserve_error([&] {
                        return self.graph_search(values, self.term_of(values), k, ef_search,
                                                 vek::Filter::graph(filter_mask, max_radius, min_norm));
                    });
                });
            },
            py::arg("query"), py::arg("k"), py::arg("filter_mask") = 0, py::arg("ef_search") = 50,
            py::arg("max_radius") = -1.0, py::arg("min_norm") = -1.0)
        .def(
            "filtered_search",
            [](const HyperbolicIndex& self, FloatArray query, int32_t k, uint64_t filter_mask, int32_t ef_search,
               float max_radius, float min_norm) {
                const Values q(query);
                return without_gil<Shared>(self, [&] {
                    const vek::Filter filter = vek::Filter::filtered(filter_mask, max_radius, min_norm);
                    const float* values = q.leading(self);
                    return ids_of(vek::cut_at_gap(self.filtered_search(values, self.term_of(values), k, ef_search, filter)));
                });
            },
            py::arg("query"), py::arg("k"), py::arg("filter_mask") = 0, py::arg("ef_search") = 2000,
            py::arg("max_radius") = -1.0, py::arg("min_norm") = -1.0)
        .def(
            "hardware_flat_search",
            [](const HyperbolicIndex& self, FloatArray query, int32_t k, uint64_t filter_mask, float max_radius,
               float min_norm_sq) {
                const Values q(query);
                return without_gil<Shared>(self, [&] {
                    const float* values = q.leading(self);
                    return ids_or_reserve_error([&] {
                        return self.exhaustive_search(values, self.term_of(values), k,
                                                      vek::Filter::exhaustive(filter_mask, max_radius, min_norm_sq));
                    });
                });
            },
            py::arg("query"), py::arg("k"), py::arg("filter_mask"), py::arg("max_radius") = -1.0,
            py::arg("min_norm_sq") = -1.0)
        .def(
            "save_index",
            [](const HyperbolicIndex& self, const std::string& filename) {
                const Shared lock = lock_with_gil<Shared>(self);
                self.save(filename);
            },
            py::arg("filename"))
        .def(
            "load_index",
            [](HyperbolicIndex& self, const std::string& filename) {
                const Exclusive lock = lock_with_gil<Exclusive>(self);
                self.load(filename);
            },
            py::arg("filename"))
        .def("get_stats",
             [](const HyperbolicIndex& self) {
                 const Shared lock = lock_with_gil<Shared>(self);
                 const vek::IndexStats s = self.statistics();
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
        .def("get_metric", &HyperbolicIndex::metric_name)
        .def(
            "compute_distance",
            [](const HyperbolicIndex& self, FloatArray query, int32_t node_id) {
                const Values q(query);
                const Shared lock = lock_with_gil<Shared>(self);
                const float* values = q.leading(self);
                check_node(self, node_id);
                return self.distance(values, node_id);
            },
            py::arg("query"), py::arg("node_id"))
        .def(
            "get_stored_norm",
            [](const HyperbolicIndex& self, int32_t node_id) {
                const Shared lock = lock_with_gil<Shared>(self);
                check_node(self, node_id);
                return self.stored_norm(node_id);
            },
            py::arg("node_id"))
        .def(
            "update_masks",
            [](HyperbolicIndex& self, MaskArray new_masks) {
                const Exclusive lock = lock_with_gil<Exclusive>(self);
                self.set_masks(new_masks.data(), static_cast<size_t>(new_masks.size()));
            },
            py::arg("new_masks"));
}
