// Id allow- and deny-lists of the quellix searches: checked with the GIL held, turned into node sets
// under the index lock. Ids the index does not hold are left out, so that a list drawn up before a
// removal still serves.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/labels.h"
#include "search/filter.h"
#include "search/node_set.h"

namespace quellix {

namespace py = pybind11;
using IdValues = py::array_t<int64_t, py::array::c_style>;

// One list for every row (starts null), or a list per row: row r's ids are values[starts[r]..starts[r+1]).
struct IdList {
    const int64_t* values = nullptr;
    const int64_t* starts = nullptr;
    size_t count = 0;
    bool given = false;

    bool per_row() const { return starts != nullptr; }
    const int64_t* begin(size_t row) const { return values + (per_row() ? starts[row] : 0); }
    const int64_t* end(size_t row) const { return values + (per_row() ? starts[row + 1] : count); }
};

// The list `name` for `rows` rows, checked against what will be read from it.
inline IdList check_id_list(const std::optional<IdValues>& values, const std::optional<IdValues>& starts,
                            py::ssize_t rows, const char* name) {
    IdList list;
    if (!values) {
        if (starts) throw py::value_error(std::string(name) + " starts come without a list");
        return list;
    }
    if (values->ndim() != 1) throw py::value_error(std::string(name) + " must be one-dimensional");
    list.given = true;
    list.values = values->data();
    list.count = static_cast<size_t>(values->shape(0));
    for (size_t j = 0; j < list.count; ++j)
        if (list.values[j] < 0) throw py::value_error(std::string(name) + " must be >= 0");
    if (starts) {
        const std::string what = std::string(name) + " starts";
        if (starts->ndim() != 1 || starts->shape(0) != rows + 1)
            throw py::value_error(what + " must hold one entry per row and a final end");
        const int64_t* s = starts->data();
        if (s[0] != 0 || static_cast<uint64_t>(s[rows]) != list.count)
            throw py::value_error(what + " must begin at 0 and end at the list's length");
        for (py::ssize_t r = 0; r < rows; ++r)
            if (s[r + 1] < s[r]) throw py::value_error(what + " must not decrease");
        list.starts = s;
    }
    return list;
}

// The node sets of one row at a time, refilled for the next; one per worker thread.
class ListedRows {
public:
    // `filter` keeping to row `row`'s lists of `allow` and `deny`, on an index of n nodes labelled by
    // `labels`; valid until the next call. Under the index lock.
    vek::Filter apply(vek::Filter filter, const IdList& allow, const IdList& deny, size_t row, const Labels& labels,
                      size_t n) {
        if (allow.given) {
            fill(allowed_, allow, row, labels, n);
            filter.allowed = allowed_.bits();
            filter.allowed_nodes = allowed_.members();
            filter.allowed_count = allowed_.size();
        }
        if (deny.given) {
            fill(denied_, deny, row, labels, n);
            filter.denied = denied_.bits();
        }
        return filter;
    }
    const vek::NodeSet& denied() const { return denied_; }

private:
    void fill(vek::NodeSet& set, const IdList& list, size_t row, const Labels& labels, size_t n) {
        nodes_.clear();
        for (const int64_t* id = list.begin(row); id != list.end(row); ++id) {
            const int32_t node = labels.node(*id, n);
            if (node >= 0) nodes_.push_back(node);
        }
        set.assign(n, nodes_.data(), nodes_.size());
    }

    vek::NodeSet allowed_, denied_;
    std::vector<int32_t> nodes_;
};

}  // namespace quellix
