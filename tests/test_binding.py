"""The Python surface of vek_core: names, signatures, argument conversion, results and error mapping."""

from __future__ import annotations

import copy
import pickle
import re

import numpy as np
import pytest

import reference as R
import vek_core
from conftest import METRICS, build_index, saved

HI = vek_core.HyperbolicIndex
D = 8

# name -> [(parameter, default text or None)] as the generated signatures show them
SIGNATURES = {
    "__init__": [("dimension", None), ("curvature", "1.0"), ("M", "16"), ("metric", "'poincare'")],
    "add_item_flat": [("vector", None), ("mask", "0")],
    "add_item_and_link": [("vector", None), ("mask", "0"), ("ef_construction", "200")],
    "custom_hnsw_search": [("query", None), ("k", None), ("filter_mask", "0"), ("ef_search", "50"),
                           ("max_radius", "-1.0"), ("min_norm", "-1.0")],
    "filtered_search": [("query", None), ("k", None), ("filter_mask", "0"), ("ef_search", "2000"),
                        ("max_radius", "-1.0"), ("min_norm", "-1.0")],
    "hardware_flat_search": [("query", None), ("k", None), ("filter_mask", None), ("max_radius", "-1.0"),
                             ("min_norm_sq", "-1.0")],
    "save_index": [("filename", None)],
    "load_index": [("filename", None)],
    "get_stats": [],
    "get_metric": [],
    "compute_distance": [("query", None), ("node_id", None)],
    "get_stored_norm": [("node_id", None)],
    "update_masks": [("new_masks", None)],
}
RETURNS = {
    "__init__": "None", "add_item_flat": "None", "add_item_and_link": "None", "custom_hnsw_search": "list[int]",
    "filtered_search": "list[int]", "hardware_flat_search": "list[int]", "save_index": "None",
    "load_index": "None", "get_stats": "dict", "get_metric": "str", "compute_distance": "float",
    "get_stored_norm": "float", "update_masks": "None",
}


def vecs(n=12, d=D, seed=0):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((n, d)) * 0.2).astype(np.float32)


def flat_index(n=12, d=D, metric="poincare"):
    return build_index(vecs(n, d), metric, masks=np.arange(1, n + 1), linked=False)


def linked_index(n=12, d=D, metric="poincare"):
    return build_index(vecs(n, d), metric, masks=np.arange(1, n + 1))


def num_nodes(idx):
    return idx.get_stats()["num_nodes"]


Q = vecs(1, D, seed=99)[0]

# Every method that takes a vector or query, called on `idx` with array `a`.
ARRAY_CALLS = {
    "add_item_flat": lambda idx, a: idx.add_item_flat(a),
    "add_item_and_link": lambda idx, a: idx.add_item_and_link(a),
    "custom_hnsw_search": lambda idx, a: idx.custom_hnsw_search(a, 3),
    "filtered_search": lambda idx, a: idx.filtered_search(a, 3),
    "hardware_flat_search": lambda idx, a: idx.hardware_flat_search(a, 3, 0),
    "compute_distance": lambda idx, a: idx.compute_distance(a, 1),
}
QUERY_CALLS = {k: v for k, v in ARRAY_CALLS.items() if not k.startswith("add_")}


# --------------------------------------------------------------------------------------------------------------
# Module and class


def test_module_docstring():
    assert vek_core.__doc__ == "Quellix \u2014 multi-metric HNSW vector index (Poincar\u00e9 / Euclidean / Cosine)"
    assert vek_core.__doc__.encode("utf-8").count(b"\xe2\x80\x94") == 1
    assert vek_core.__doc__.encode("utf-8").count(b"\xc3\xa9") == 1


def test_module_exports_only_the_class():
    assert [n for n in dir(vek_core) if not n.startswith("_")] == ["HyperbolicIndex"]
    assert isinstance(HI, type)
    assert HI.__doc__ is None


def test_methods_in_registration_order():
    names = [k for k in HI.__dict__ if (not k.startswith("_") or k == "__init__") and k != "_pybind11_conduit_v1_"]
    assert names == list(SIGNATURES)


def test_no_operators_properties_or_instance_dict():
    own = set(HI.__dict__) - set(SIGNATURES) - {"__doc__", "__module__", "_pybind11_conduit_v1_"}
    assert own == set(), own
    idx = HI(4)
    assert not hasattr(idx, "__dict__")
    with pytest.raises(AttributeError):
        idx.dimension = 5
    with pytest.raises(TypeError):
        idx < idx  # noqa: B015


def _parse_signature(doc: str):
    first = doc.strip().splitlines()[0]
    name, rest = first.split("(", 1)
    params_text, ret = rest.rsplit(") -> ", 1)
    while "[" in params_text:  # drop type arguments, whose commas would split wrongly
        params_text = re.sub(r"\[[^\[\]]*\]", "", params_text)
    params = []
    for part in params_text.split(", ")[1:]:  # skip self
        pname, _, rhs = part.partition(": ")
        default = rhs.split(" = ", 1)[1] if " = " in rhs else None
        params.append((pname, default))
    return name, params, ret.strip()


@pytest.mark.parametrize("method", list(SIGNATURES))
def test_generated_signature(method):
    name, params, ret = _parse_signature(getattr(HI, method).__doc__)
    assert name == method
    assert params == SIGNATURES[method]
    assert ret == RETURNS[method]


# --------------------------------------------------------------------------------------------------------------
# Keywords and defaults


def test_constructor_keywords_any_order(tmp_path):
    idx = HI(metric="cosine", M=32, dimension=8)
    assert idx.get_metric() == "cosine"
    stats = idx.get_stats()
    assert (stats["dimension"], stats["max_m"], stats["max_m_0"]) == (8, 32, 64)
    idx2 = HI(8, curvature=0.25)
    assert saved(idx2, tmp_path / "c.idx").curvature == 0.25
    with pytest.raises(TypeError):
        HI(8, m=16)
    with pytest.raises(TypeError):
        HI()


def test_constructor_defaults(tmp_path):
    idx = HI(8)
    assert idx.get_metric() == "poincare"
    assert idx.get_stats() == {"num_nodes": 0, "ep_id": -1, "ep_layer": -1, "max_m": 16, "max_m_0": 32,
                               "dimension": 8, "avg_degree_layer0": 0.0, "layer_distribution": [0]}
    path = tmp_path / "d.idx"
    f = saved(idx, path)
    assert (f.dimension, f.curvature, f.max_m, f.ep_id, f.ep_layer, f.n) == (8, 1.0, 16, -1, -1, 0)


def test_every_method_by_keyword(tmp_path):
    idx = HI(dimension=D, curvature=1.0, M=8, metric="euclidean")
    v = vecs(6)
    idx.add_item_flat(vector=v[0], mask=1)
    for row in v[1:]:
        idx.add_item_and_link(vector=row, mask=3, ef_construction=20)
    assert idx.custom_hnsw_search(query=Q, k=3, filter_mask=0, ef_search=10, max_radius=-1.0, min_norm=-1.0)
    assert idx.filtered_search(query=Q, k=3, filter_mask=0, ef_search=10, max_radius=-1.0, min_norm=-1.0)
    assert idx.hardware_flat_search(query=Q, k=3, filter_mask=0, max_radius=-1.0, min_norm_sq=-1.0)
    path = str(tmp_path / "kw.idx")
    idx.save_index(filename=path)
    idx.load_index(filename=path)
    idx.update_masks(new_masks=np.arange(6, dtype=np.uint64))
    assert idx.compute_distance(query=Q, node_id=0) == float(R.l2sq(Q, v[0]))
    assert idx.get_stored_norm(node_id=0) == float(R.sqnorm(v[0]))


@pytest.mark.parametrize("call", [
    lambda idx: idx.hardware_flat_search(Q, 3, 0, min_norm=-1.0),
    lambda idx: idx.custom_hnsw_search(Q, 3, min_norm_sq=-1.0),
    lambda idx: idx.filtered_search(Q, 3, min_norm_sq=-1.0),
    lambda idx: idx.compute_distance(vector=Q, node_id=0),
    lambda idx: idx.add_item_flat(query=Q),
    lambda idx: idx.update_masks(masks=np.zeros(12, np.uint64)),
    lambda idx: idx.get_stored_norm(id=0),
    lambda idx: idx.save_index(),
    lambda idx: idx.get_metric(0),
], ids=["hw_min_norm", "custom_min_norm_sq", "filtered_min_norm_sq", "vector_kw", "query_kw", "masks_kw", "id_kw",
        "missing_filename", "extra_arg"])
def test_wrong_keywords_refused(call):
    idx = flat_index()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(idx)
    assert num_nodes(idx) == 12


def test_hardware_flat_search_requires_filter_mask():
    idx = flat_index()
    with pytest.raises(TypeError):
        idx.hardware_flat_search(Q, 5)
    assert idx.hardware_flat_search(Q, 5, 0) == idx.hardware_flat_search(Q, 5, filter_mask=0)


def test_graph_search_defaults():
    idx = linked_index(40)
    assert idx.custom_hnsw_search(Q, 5) == idx.custom_hnsw_search(Q, 5, 0, 50, -1.0, -1.0)
    assert idx.filtered_search(Q, 5) == idx.filtered_search(Q, 5, 0, 2000, -1.0, -1.0)
    assert len(idx.custom_hnsw_search(Q, 5)) == 5


def test_mask_defaults_to_zero(tmp_path):
    idx = HI(D)
    idx.add_item_flat(vecs(1)[0])
    idx.add_item_and_link(vecs(1)[0])
    assert saved(idx, tmp_path / "m.idx").masks.tolist() == [0, 0]


# --------------------------------------------------------------------------------------------------------------
# Argument conversion: arrays


@pytest.mark.parametrize("dtype", [np.float64, np.int32, np.int64, np.uint32, np.complex64, np.longdouble])
@pytest.mark.parametrize("method", list(ARRAY_CALLS))
def test_unsafe_array_types_refused(method, dtype):
    idx = linked_index()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        ARRAY_CALLS[method](idx, Q.astype(dtype))
    assert num_nodes(idx) == 12


def _converted_variants():
    ints = np.array([1, -2, 3, 0, 4, -1, 2, 1], dtype=np.float32)
    unsigned = np.abs(ints)
    bools = (ints > 0).astype(np.float32)
    halves = np.array([0.5, -0.25, 0.125, 1.5, -2.0, 0.0, 0.75, 0.0625], dtype=np.float32)
    base = np.arange(2 * D, dtype=np.float32) * np.float32(0.1)
    return [
        ("float16", halves.astype(np.float16), halves),
        ("int8", ints.astype(np.int8), ints),
        ("int16", ints.astype(np.int16), ints),
        ("uint8", unsigned.astype(np.uint8), unsigned),
        ("uint16", unsigned.astype(np.uint16), unsigned),
        ("bool", bools.astype(bool), bools),
        ("list", [float(x) for x in halves], halves),
        ("int_list", [int(x) for x in ints], ints),
        ("strided", base[::2], np.ascontiguousarray(base[::2])),
        ("reversed", base[:D][::-1], np.ascontiguousarray(base[:D][::-1])),
        ("fortran_row", np.asfortranarray(base.reshape(2, D))[0], np.ascontiguousarray(base.reshape(2, D)[0])),
    ]


CONVERTED = _converted_variants()


@pytest.mark.parametrize("name,given,as_f32", CONVERTED, ids=[c[0] for c in CONVERTED])
@pytest.mark.parametrize("method", list(QUERY_CALLS))
def test_safe_query_conversions_accepted(method, name, given, as_f32):
    idx = linked_index(metric="cosine")
    assert QUERY_CALLS[method](idx, given) == QUERY_CALLS[method](idx, as_f32)


@pytest.mark.parametrize("name,given,as_f32", CONVERTED, ids=[c[0] for c in CONVERTED])
@pytest.mark.parametrize("method", ["add_item_flat", "add_item_and_link"])
def test_safe_vector_conversions_accepted(method, name, given, as_f32):
    idx = HI(D, metric="euclidean")
    ARRAY_CALLS[method](idx, given)
    assert num_nodes(idx) == 1
    assert idx.compute_distance(as_f32, 0) == 0.0
    assert R.bits(np.float32(idx.get_stored_norm(0))) == R.bits(R.sqnorm(as_f32))


def test_float32_input_not_modified():
    idx = flat_index(metric="euclidean")
    q = Q.copy()
    idx.compute_distance(q, 0)
    idx.hardware_flat_search(q, 3, 0)
    np.testing.assert_array_equal(q, Q)


# --------------------------------------------------------------------------------------------------------------
# Argument conversion: scalars


def test_float_for_int_parameter_refused():
    idx = linked_index()
    for call in (lambda: idx.custom_hnsw_search(Q, 2.0), lambda: idx.filtered_search(Q, 2.0),
                 lambda: idx.hardware_flat_search(Q, 2.0, 0), lambda: idx.get_stored_norm(0.0),
                 lambda: idx.compute_distance(Q, 1.0), lambda: idx.add_item_flat(Q, mask=1.0),
                 lambda: idx.add_item_and_link(Q, ef_construction=10.0),
                 lambda: idx.custom_hnsw_search(Q, 2, ef_search=5.0), lambda: HI(8.0), lambda: HI(8, M=16.0),
                 lambda: idx.hardware_flat_search(Q, 2, np.float64(0.0)), lambda: idx.get_stored_norm("0")):
        with pytest.raises(TypeError):
            call()
    assert num_nodes(idx) == 12


@pytest.mark.parametrize("curvature,stored", [(2, 2.0), (np.int64(3), 3.0), (np.float64(0.1), np.float32(0.1)),
                                              (True, 1.0)])
def test_curvature_converts_to_float32(tmp_path, curvature, stored):
    idx = HI(4, curvature=curvature)
    assert saved(idx, tmp_path / "c.idx").curvature == stored


@pytest.mark.parametrize("mask,ok", [(0, True), (1, True), (2 ** 63, True), (2 ** 64 - 1, True),
                                     (np.uint64(2 ** 64 - 1), True), (np.uint8(7), True), (np.int64(5), True),
                                     (-1, False), (np.int64(-1), False), (2 ** 64, False), (-(2 ** 63), False)])
def test_mask_range(tmp_path, mask, ok):
    idx = HI(2)
    v = np.array([0.1, 0.2], np.float32)
    if ok:
        idx.add_item_flat(v, mask)
        idx.add_item_and_link(v, mask=mask)
        assert saved(idx, tmp_path / "m.idx").masks.tolist() == [int(mask)] * 2
        assert idx.hardware_flat_search(v, 2, mask) == idx.hardware_flat_search(v, 2, 0)
        assert isinstance(idx.custom_hnsw_search(v, 2, filter_mask=mask), list)
    else:
        for call in (lambda: idx.add_item_flat(v, mask), lambda: idx.add_item_and_link(v, mask),
                     lambda: idx.hardware_flat_search(v, 1, mask), lambda: idx.custom_hnsw_search(v, 1, mask),
                     lambda: idx.filtered_search(v, 1, mask)):
            with pytest.raises(TypeError):
                call()
        assert num_nodes(idx) == 0


@pytest.mark.parametrize("value,ok", [(2 ** 31 - 1, True), (-(2 ** 31), True), (2 ** 31, False),
                                      (-(2 ** 31) - 1, False), (2 ** 40, False), (np.int32(2 ** 31 - 1), True),
                                      (np.uint32(2 ** 31), False), (np.int64(2 ** 31), False)])
def test_int32_range(value, ok):
    idx = flat_index()
    if ok:  # converts, then fails the node-range check
        with pytest.raises(IndexError):
            idx.compute_distance(Q, value)
        with pytest.raises(IndexError):
            idx.get_stored_norm(value)
    else:
        for call in (lambda: idx.compute_distance(Q, value), lambda: idx.get_stored_norm(value),
                     lambda: idx.custom_hnsw_search(Q, value), lambda: idx.hardware_flat_search(Q, value, 0),
                     lambda: idx.filtered_search(Q, value), lambda: HI(value), lambda: HI(4, M=value),
                     lambda: idx.custom_hnsw_search(Q, 3, ef_search=value)):
            with pytest.raises(TypeError):
                call()


@pytest.mark.parametrize("make", [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint64, int])
def test_numpy_integer_scalars_accepted(make):
    idx = HI(make(D), M=make(8))
    for row in vecs(6):
        idx.add_item_and_link(row, mask=make(1), ef_construction=make(20))
    assert idx.get_stats()["max_m"] == 8
    assert idx.get_stored_norm(make(2)) == float(R.sqnorm(vecs(6)[2]))
    assert isinstance(idx.compute_distance(Q, make(1)), float)
    assert len(idx.custom_hnsw_search(Q, make(3), filter_mask=make(1), ef_search=make(10))) == 3
    assert len(idx.filtered_search(Q, make(3), make(0), make(10))) >= 1
    assert len(idx.hardware_flat_search(Q, make(3), make(1))) == 3


@pytest.mark.parametrize("bound", [0, 1, np.float64(0.5), np.int64(2), np.float16(0.5)])
def test_float_bounds_accept_numbers(bound):
    idx = flat_index(metric="euclidean")
    assert isinstance(idx.hardware_flat_search(Q, 3, 0, bound, bound), list)
    assert isinstance(idx.hardware_flat_search(Q, 3, 0, max_radius=bound, min_norm_sq=bound), list)


def test_uint64_mask_arrays():
    idx = flat_index()
    idx.update_masks(np.full(12, 2 ** 64 - 1, dtype=np.uint64))
    assert idx.hardware_flat_search(Q, 12, 2 ** 63) != []
    for ok in (np.arange(12, dtype=np.uint8), np.arange(12, dtype=np.uint32), list(range(12)),
               np.arange(24, dtype=np.uint64)[::2]):
        idx.update_masks(ok)
    for bad in (np.arange(12, dtype=np.int64), np.arange(12, dtype=np.int32), np.arange(12, dtype=np.int8),
                np.arange(12, dtype=np.float64), np.arange(12, dtype=np.float32)):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            idx.update_masks(bad)
    # the last accepted array stays in force: mask of node i is 2 * i
    assert sorted(idx.hardware_flat_search(Q, 12, 4)) == [2, 3, 6, 7, 10, 11]


@pytest.mark.parametrize("name,metric", [("l2", "euclidean"), ("euclidean", "euclidean"), ("cosine", "cosine"),
                                         ("poincare", "poincare"), ("L2", "poincare"), ("Euclidean", "poincare"),
                                         ("COSINE", "poincare"), ("", "poincare"), ("foo", "poincare"),
                                         ("cosine ", "poincare"), ("l2\x00", "poincare"), (b"l2", "euclidean"),
                                         (bytearray(b"cosine"), "cosine"), ("poincaré", "poincare")])
def test_get_metric(name, metric):
    idx = HI(2, metric=name)
    got = idx.get_metric()
    assert type(got) is str and got == metric
    # the metric really drives the distance
    idx.add_item_flat(np.array([3.0, 4.0], np.float32))
    q = np.array([0.5, -1.0], np.float32)
    assert R.bits(np.float32(idx.compute_distance(q, 0))) == R.bits(R.distance(metric, q, [3.0, 4.0]))


def test_unencodable_strings_refused(tmp_path):
    with pytest.raises(TypeError):
        HI(2, metric="\udc80")
    idx = HI(2)
    with pytest.raises(TypeError):
        idx.save_index(str(tmp_path / "x\udc80"))
    with pytest.raises(TypeError):
        idx.save_index(tmp_path / "path_object.idx")  # not a str or bytes


def test_bytes_filenames(tmp_path):
    idx = flat_index(3)
    path = str(tmp_path / "b.idx").encode()
    idx.save_index(path)
    other = HI(D)
    other.load_index(bytearray(path))
    assert num_nodes(other) == 3


# --------------------------------------------------------------------------------------------------------------
# Results


def test_result_types(tmp_path):
    idx = linked_index(20)
    for res in (idx.custom_hnsw_search(Q, 5), idx.filtered_search(Q, 5), idx.hardware_flat_search(Q, 5, 0)):
        assert type(res) is list and len(res) >= 1 and all(type(i) is int for i in res)
        assert all(0 <= i < 20 for i in res)
    assert type(idx.compute_distance(Q, 0)) is float
    assert type(idx.get_stored_norm(0)) is float
    assert type(idx.get_metric()) is str
    stats = idx.get_stats()
    assert type(stats) is dict
    assert list(stats) == ["num_nodes", "ep_id", "ep_layer", "max_m", "max_m_0", "dimension", "avg_degree_layer0",
                           "layer_distribution"]
    assert type(stats["avg_degree_layer0"]) is float and type(stats["layer_distribution"]) is list
    assert idx.add_item_flat(Q) is None and idx.add_item_and_link(Q) is None
    assert idx.update_masks(np.zeros(22, np.uint64)) is None
    assert idx.save_index(str(tmp_path / "r.idx")) is None and idx.load_index(str(tmp_path / "r.idx")) is None
    empty = HI(D)
    assert empty.custom_hnsw_search(Q, 5) == [] and empty.filtered_search(Q, 5) == []
    assert empty.hardware_flat_search(Q, 5, 0) == []


def test_float_results_hold_float32_exactly():
    idx = flat_index(metric="poincare")
    v = vecs(12)
    for i in range(12):
        n = idx.get_stored_norm(i)
        assert np.float32(n) == n and R.bits(np.float32(n)) == R.bits(R.sqnorm(v[i]))
        d = idx.compute_distance(Q, i)
        assert np.float32(d) == d


# --------------------------------------------------------------------------------------------------------------
# Vector length checks


@pytest.mark.parametrize("length", [0, 1, D - 1])
@pytest.mark.parametrize("method", list(ARRAY_CALLS))
def test_short_arrays_refused(method, length):
    idx = linked_index()
    before = idx.get_stats()
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        ARRAY_CALLS[method](idx, Q[:length].copy())
    assert idx.get_stats() == before


@pytest.mark.parametrize("method", [m for m in QUERY_CALLS if m != "compute_distance"] + ["add_item_and_link"])
def test_short_arrays_refused_on_empty_index(method):
    idx = HI(D)
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        ARRAY_CALLS[method](idx, Q[:D - 1].copy())
    assert num_nodes(idx) == 0


@pytest.mark.parametrize("shape", [(1, D), (D - 1,), (D + 1,), (2, D // 2), (0,), ()],
                         ids=["row", "short", "long", "square", "empty", "scalar"])
def test_add_item_flat_needs_exact_shape(shape):
    idx = flat_index(3)
    before = idx.get_stats()
    arr = np.ones(shape, dtype=np.float32)
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        idx.add_item_flat(arr)
    assert idx.get_stats() == before


def test_add_item_flat_scalar_on_one_dimensional_index():
    idx = HI(1)
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        idx.add_item_flat(np.float32(1.0))
    idx.add_item_flat(np.ones(1, np.float32))
    assert num_nodes(idx) == 1


@pytest.mark.parametrize("method", list(QUERY_CALLS))
def test_longer_queries_use_the_first_dimension_values(method):
    idx = linked_index(metric="poincare")
    longer = np.concatenate([Q, np.full(5, 7.0, np.float32)])
    assert QUERY_CALLS[method](idx, longer) == QUERY_CALLS[method](idx, Q)
    assert QUERY_CALLS[method](idx, Q.reshape(1, D)) == QUERY_CALLS[method](idx, Q)
    assert QUERY_CALLS[method](idx, Q.reshape(2, D // 2)) == QUERY_CALLS[method](idx, Q)


def test_add_item_and_link_longer_vector_keeps_first_values():
    idx = HI(D, metric="euclidean")
    idx.add_item_and_link(np.concatenate([Q, np.full(3, 9.0, np.float32)]))
    idx.add_item_and_link(Q.reshape(1, D))
    assert num_nodes(idx) == 2
    for i in range(2):
        assert R.bits(np.float32(idx.get_stored_norm(i))) == R.bits(R.sqnorm(Q))
        assert idx.compute_distance(Q, i) == 0.0


# --------------------------------------------------------------------------------------------------------------
# Node ids


@pytest.mark.parametrize("node_id", [-1, -12, 12, 13, 10 ** 6, 2 ** 31 - 1, -(2 ** 31)])
def test_out_of_range_node_ids(node_id):
    idx = flat_index(12)
    with pytest.raises(IndexError):
        idx.compute_distance(Q, node_id)
    with pytest.raises(IndexError):
        idx.get_stored_norm(node_id)


def test_node_ids_on_empty_index():
    idx = HI(D)
    with pytest.raises(IndexError):
        idx.get_stored_norm(0)
    with pytest.raises(IndexError):
        idx.compute_distance(Q, 0)


def test_last_node_id_in_range():
    idx = flat_index(12)
    assert idx.get_stored_norm(11) == float(R.sqnorm(vecs(12)[11]))
    assert isinstance(idx.compute_distance(Q, 11), float)


# --------------------------------------------------------------------------------------------------------------
# Instances


@pytest.mark.parametrize("op", [pickle.dumps, copy.copy, copy.deepcopy], ids=["pickle", "copy", "deepcopy"])
def test_no_pickling_or_copying(op):
    idx = flat_index(3)
    with pytest.raises(TypeError):
        op(idx)
    assert num_nodes(idx) == 3


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("insert", ["add_item_flat", "add_item_and_link"])
def test_stored_norm_is_squared(metric, insert):
    idx = HI(2, metric=metric)
    getattr(idx, insert)(np.array([3.0, 4.0], np.float32))
    assert idx.get_stored_norm(0) == 25.0
    getattr(idx, insert)(np.zeros(2, np.float32))
    assert idx.get_stored_norm(1) == 0.0


def test_flat_insertion_leaves_entry_point():
    idx = HI(2)
    idx.add_item_flat(np.array([0.1, 0.2], np.float32))
    s = idx.get_stats()
    assert (s["num_nodes"], s["ep_id"], s["ep_layer"]) == (1, -1, -1)
    for _ in range(4):
        idx.add_item_flat(np.array([0.1, 0.2], np.float32))
    s = idx.get_stats()
    assert (s["num_nodes"], s["ep_id"], s["ep_layer"], s["avg_degree_layer0"], s["layer_distribution"]) == \
        (5, -1, -1, 0.0, [0])
    assert idx.custom_hnsw_search(np.array([0.1, 0.2], np.float32), 3) == []


@pytest.mark.parametrize("M", [0, 1, -3])
def test_small_M_still_works(M):
    idx = HI(4, M=M, metric="euclidean")
    rows = vecs(15, 4, seed=M + 10)
    for row in rows:
        idx.add_item_and_link(row)
    s = idx.get_stats()
    assert s["num_nodes"] == 15 and s["ep_layer"] == 0 and s["layer_distribution"] == [0, 15]
    assert isinstance(idx.custom_hnsw_search(rows[0], 3), list)
    assert idx.hardware_flat_search(rows[0], 1, 0) == [0]


@pytest.mark.parametrize("dimension", [0, -1])
def test_degenerate_dimensions_construct(dimension):
    idx = HI(dimension)
    assert idx.get_stats()["dimension"] == dimension
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        idx.add_item_flat(np.ones(1, np.float32))
    if dimension == 0:
        idx.add_item_flat(np.zeros(0, np.float32))
        assert idx.get_stored_norm(0) == 0.0
