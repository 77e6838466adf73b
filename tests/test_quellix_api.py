"""quellix.Index: construction, input validation, result shapes, filters, threads, masks, stats, progress."""

from __future__ import annotations

import signal
import threading

import numpy as np
import pytest

import quellix
import reference as R
from quellix_data import METRICS, built, points
from stdheap import farther, heap_pop, heap_push

D = 12


# ---- construction ---------------------------------------------------------------------------------------

def test_unknown_metric_lists_the_valid_ones():
    with pytest.raises(ValueError) as exc:
        quellix.Index(4, "manhattan")
    for name in ("poincare", "euclidean", "l2", "cosine"):
        assert repr(name) in str(exc.value)


@pytest.mark.parametrize("kw", [dict(dim=0), dict(dim=-3), dict(M=1), dict(M=0), dict(ef_construction=0),
                                dict(seed=-1)])
def test_out_of_range_parameters_are_value_errors(kw):
    args = dict(dim=4, metric="euclidean") | kw
    with pytest.raises(ValueError):
        quellix.Index(args.pop("dim"), args.pop("metric"), **args)


@pytest.mark.parametrize("kw", [dict(dim=4.0), dict(dim=True), dict(M="16"), dict(metric=None)])
def test_mistyped_parameters(kw):
    args = dict(dim=4, metric="euclidean") | kw
    with pytest.raises((TypeError, ValueError)):
        quellix.Index(args.pop("dim"), args.pop("metric"), **args)


def test_properties_are_read_only_and_l2_is_euclidean():
    index = quellix.Index(5, "l2", M=8, ef_construction=40)
    assert (index.dim, index.metric, index.M, index.ef_construction, len(index)) == (5, "euclidean", 8, 40, 0)
    for name in ("dim", "metric", "M", "ef_construction"):
        with pytest.raises(AttributeError):
            setattr(index, name, 7)


# ---- adding and its validation --------------------------------------------------------------------------

def test_add_returns_consecutive_int64_ids_for_rows_and_single_vectors():
    index = quellix.Index(D, "euclidean")
    data = points(10, D, "euclidean")
    first = index.add(data[:7])
    single = index.add(data[7])
    rest = index.add(data[8:].tolist())
    assert first.dtype == np.int64 and first.tolist() == list(range(7))
    assert single.tolist() == [7] and rest.tolist() == [8, 9]
    np.testing.assert_array_equal(index.get_vectors(np.arange(10)), data)


@pytest.mark.parametrize("masks, expected", [
    (None, [0, 0, 0]),
    (5, [5, 5, 5]),
    ([1, 2, 2**64 - 1], [1, 2, 2**64 - 1]),
    (np.array([3, 4, 5], dtype=np.int16), [3, 4, 5]),
    (np.array([2**63, 0, 1], dtype=np.uint64), [2**63, 0, 1]),
])
def test_mask_forms(masks, expected):
    index = quellix.Index(D, "euclidean")
    index.add(points(3, D, "euclidean"), masks)
    assert index.masks.dtype == np.uint64 and index.masks.tolist() == expected


def _bad_rows(metric):
    data = points(6, D, metric).astype(np.float64)
    nan, inf, huge, outside = data.copy(), data.copy(), data.copy(), data.copy()
    nan[3, 2] = np.nan
    inf[3, 0] = -np.inf
    huge[3, 1] = 1e39  # finite in float64, infinite in float32
    outside[3] = outside[3] / np.linalg.norm(outside[3])  # norm exactly 1 in float64
    cases = [nan, inf, huge]
    return cases + [outside] if metric == "poincare" else cases


@pytest.mark.parametrize("metric", METRICS)
def test_bad_rows_are_named_and_nothing_is_added(metric):
    index = quellix.Index(D, metric)
    index.add(points(2, D, metric))
    for data in _bad_rows(metric):
        with pytest.raises(ValueError, match="row 3"):
            index.add(data)
        with pytest.raises(ValueError, match="row 3"):
            index.search(data)
        assert len(index) == 2


@pytest.mark.parametrize("masks", [[1, 2, -1, 4], np.array([0, 1, -5, 2]), [0, 0, 2**64, 0]])
def test_bad_masks_are_named_and_nothing_is_added(masks):
    index = quellix.Index(D, "euclidean")
    with pytest.raises(ValueError, match="row 2"):
        index.add(points(4, D, "euclidean"), masks)
    assert len(index) == 0


@pytest.mark.parametrize("vectors, error", [
    (np.zeros((3, D + 1)), ValueError),
    (np.zeros((2, 3, D)), ValueError),
    (np.zeros(D - 1), ValueError),
    ([[0.0] * D, [0.0] * (D - 1)], ValueError),
    (np.zeros((2, D), dtype=np.complex64), TypeError),
    (np.array([["a"] * D]), TypeError),
])
def test_bad_shapes_and_types(vectors, error):
    index = quellix.Index(D, "euclidean")
    with pytest.raises(error):
        index.add(vectors)
    with pytest.raises(ValueError):
        index.add(np.zeros((3, D)), masks=[1, 2])
    assert len(index) == 0


# ---- searches: shapes, padding, filters -----------------------------------------------------------------

@pytest.mark.parametrize("method", ["search", "filtered_search", "exact_search"])
def test_result_shapes_and_padding(method):
    index, data = built(n=30, dim=D, metric="euclidean", masks=np.arange(30) % 2)
    search = getattr(index, method)
    ids, dists = search(data[:4], k=40)
    assert ids.shape == dists.shape == (4, 40) and ids.dtype == np.int64 and dists.dtype == np.float32
    assert (ids[:, 30:] == -1).all() and np.isinf(dists[:, 30:]).all()
    assert (np.diff(dists[:, :30], axis=1) >= 0).all()
    one_ids, one_dists = search(data[5], k=3)
    assert one_ids.shape == one_dists.shape == (3,)
    none_ids, none_dists = search(data[:2], k=5, filter_mask=4)  # no node has bit 2
    assert (none_ids == -1).all() and np.isinf(none_dists).all()
    assert search(data[:2], k=0)[0].shape == (2, 0)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("method", ["search", "filtered_search", "exact_search"])
def test_empty_index_answers_padding(metric, method):
    ids, dists = getattr(quellix.Index(D, metric), method)(points(3, D, metric), k=2)
    assert (ids == -1).all() and np.isinf(dists).all()


def kept_in_heap_order(dists, k):
    """Node ids nearest first as a bounded libstdc++ heap leaves them: each node pushed in id order, the
    farthest popped while more than k are held, then drained and reversed."""
    heap = []
    for i, d in enumerate(dists.tolist()):
        heap_push(heap, (d, i), farther)
        if len(heap) > k:
            heap_pop(heap, farther)
    return [heap_pop(heap, farther)[1] for _ in range(len(heap))][::-1]


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("floor, k", [(False, 20), (True, 20), (True, 200)])
# The scan takes rows four at a time up to 64 dimensions and six at a time beyond: the last group then
# holds 3, 1, 2, 3 or 0 rows at 13-d, and 5, 1, 2, 3 or 4 at 70-d.
@pytest.mark.parametrize("m", [11, 13, 14, 15, 16])
@pytest.mark.parametrize("dim", [13, 70])
def test_exact_search_is_the_reference_ranking_bit_for_bit(metric, floor, k, m, dim, tiles):
    index, data = built(n=300, dim=dim, metric=metric)
    queries = points(m, dim, metric, seed=9)
    if floor:
        # Under cosine, pairs whose denominator is below its floor (distance exactly 1.0: the zero row 250
        # with any query, the tiny row with the tiny query) or just above it (the twice tiny row). Row 250
        # comes once the heap is full, next to the row opposite queries 4-7 (distance 2.0), so that at
        # k = 200 its distance alone is within their bounds. A zero query ties every row.
        tiny = np.zeros(dim, np.float32)
        tiny[0] = 9e-5
        queries[4:8] = queries[4]
        index = quellix.Index(dim, metric, seed=0)
        data = data.copy()
        data[[250, 251, 258, 260]] = [np.zeros(dim, np.float32), -queries[4], tiny, tiny * np.float32(2.0)]
        index.add(data)
        queries[1] = 0.0
        queries[9] = tiny
    ids, dists = index.exact_search(queries, k=k, num_threads=1)
    for q, row_ids, row_d in zip(queries, ids, dists):
        ref = R.distances(metric, q, data)
        order = kept_in_heap_order(ref, k)
        np.testing.assert_array_equal(row_ids, order)
        assert (R.bits(row_d) == R.bits(ref[order])).all()


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("screens", ["none", "mask and radius", "norms"])
@pytest.mark.parametrize("k", [25, 600])  # fewer than the 540 nodes, and more
@pytest.mark.parametrize("dim", [D, 70])  # tiles of four rows, and of six
def test_a_batch_answers_each_row_as_a_lone_query_does(metric, screens, k, dim, tiles):
    # A lone query is scanned one node at a time, a batch in tiles of rows by nodes with a screen per
    # tile: two ways to the same answer. Duplicate rows and nodes make ties.
    masks = np.arange(500, dtype=np.uint64) % 3
    index, data = built(n=500, dim=dim, metric=metric, masks=masks)
    index.add(data[:40], masks[:40])
    queries = np.concatenate([points(13, dim, metric, seed=4), data[3:6]])
    norms = np.linalg.norm(data.astype(np.float64), axis=1)
    radius = float(np.median(index.distances(queries[0], np.arange(500))))
    filters = {
        "none": {},
        "mask and radius": {"filter_mask": 1, "max_distance": radius},
        "norms": {"min_norm": float(np.quantile(norms, 0.2)), "max_norm": float(np.quantile(norms, 0.7))},
    }[screens]
    ids, dists = index.exact_search(queries, k=k, num_threads=1, **filters)
    assert (ids[:, :10] >= 0).mean() > 0.5  # the screens leave most rows something to rank
    for q, row_ids, row_d in zip(queries, ids, dists):
        one_ids, one_d = index.exact_search(q, k=k, **filters)
        np.testing.assert_array_equal(row_ids, one_ids)
        assert (R.bits(row_d) == R.bits(one_d)).all()


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("rows", [1, 2, 7])
def test_graph_searches_answer_each_batch_row_as_a_lone_query_does(metric, rows):
    # A batch's walks take turns in pairs; a pair whose walks end at different steps, and an odd row
    # left to walk alone, must each give what the row gives on its own.
    index, data = built(n=700, dim=D, metric=metric, masks=np.arange(700, dtype=np.uint64) % 5)
    queries = np.concatenate([points(rows - 1, D, metric, seed=6), data[:1]])
    for method, kw in ((index.search, dict(ef=12)), (index.search, dict(ef=90, filter_mask=1)),
                       (index.filtered_search, dict(filter_mask=4)), (index.filtered_search, dict(cut_gaps=True))):
        ids, dists = method(queries, 10, num_threads=1, **kw)
        for q, row_ids, row_d in zip(queries, ids, dists):
            one_ids, one_d = method(q, 10, **kw)
            np.testing.assert_array_equal(row_ids, one_ids)
            assert (R.bits(row_d) == R.bits(one_d)).all()


@pytest.mark.parametrize("metric", METRICS)
def test_exact_search_filters_match_a_brute_force_filter(metric):
    n = 400
    masks = np.arange(n, dtype=np.uint64) % 8
    index, data = built(n=n, dim=D, metric=metric, masks=masks)
    query = points(1, D, metric, seed=3)[0]
    all_d = index.distances(query, np.arange(n))
    norms = np.linalg.norm(data.astype(np.float64), axis=1)
    radius = float(np.sort(all_d)[n // 3])
    lo, hi = float(np.quantile(norms, 0.2)), float(np.quantile(norms, 0.8))
    ids, dists = index.exact_search(query, k=n, filter_mask=2, max_distance=radius, min_norm=lo, max_norm=hi)
    keep = ((masks & 2) == 2) & (all_d <= radius) & (norms >= lo - 1e-6) & (norms <= hi + 1e-6)
    found = ids[ids >= 0]
    assert set(found) <= set(np.flatnonzero(keep))
    assert len(found) >= keep.sum() - 2  # norms right at a bound may fall either side of float rounding
    assert (dists[: len(found)] <= radius).all()


@pytest.mark.parametrize("metric", METRICS)
def test_graph_searches_respect_their_filters(metric):
    n = 500
    masks = np.arange(n, dtype=np.uint64) % 4
    index, data = built(n=n, dim=D, metric=metric, masks=masks)
    norms = np.linalg.norm(data.astype(np.float64), axis=1)
    lo = float(np.median(norms))
    for method in (index.search, index.filtered_search):
        ids, dists = method(data[:20], k=10, filter_mask=1, min_norm=lo, max_distance=float(np.inf))
        found = ids[ids >= 0]
        assert len(found) > 0
        assert ((masks[found] & 1) == 1).all() and (norms[found] >= lo - 1e-6).all()


def test_negative_or_nan_bounds_are_refused():
    index, data = built(n=20, dim=D)
    for kw in (dict(max_distance=-1.0), dict(min_norm=float("nan")), dict(max_norm=-0.5), dict(k=-1),
               dict(ef=0), dict(num_threads=-1)):
        with pytest.raises(ValueError):
            index.search(data[0], **kw)


@pytest.mark.parametrize("metric", METRICS)
def test_results_do_not_depend_on_the_thread_count(metric):
    index, data = built(n=800, dim=D, metric=metric, masks=np.arange(800) % 3)
    queries = points(64, D, metric, seed=5)
    for call in (lambda t: index.search(queries, 10, ef=30, num_threads=t),
                 lambda t: index.filtered_search(queries, 10, filter_mask=1, num_threads=t),
                 lambda t: index.exact_search(queries, 10, max_distance=50.0, num_threads=t)):
        one = call(1)
        for threads in (2, 3, 0):
            other = call(threads)
            np.testing.assert_array_equal(one[0], other[0])
            assert (R.bits(one[1]) == R.bits(other[1])).all()


def test_unlinked_rows_are_found_by_the_exact_search_only():
    index = quellix.Index(D, "euclidean")
    data = points(50, D, "euclidean")
    index.add(data, link=False)
    assert (index.search(data[0], 5)[0] == -1).all()
    assert index.exact_search(data[0], 1)[0].tolist() == [0]


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_distances_are_the_kernel_distances(metric):
    index, data = built(n=50, dim=11, metric=metric)
    query = points(1, 11, metric, seed=2)[0]
    ids = np.array([4, 0, 49, 4])
    assert (R.bits(index.distances(query, ids)) == R.bits(R.distances(metric, query, data[ids]))).all()


@pytest.mark.parametrize("ids", [[0, 50], [-1], [2**40]])
def test_out_of_range_ids_are_index_errors(ids):
    index, data = built(n=50, dim=D)
    with pytest.raises(IndexError):
        index.distances(data[0], ids)
    with pytest.raises(IndexError):
        index.get_vectors(ids)


def test_masks_is_a_copy_and_set_masks_checks_its_length():
    index, _ = built(n=10, dim=D, masks=7)
    masks = index.masks
    masks[:] = 0
    assert index.masks.tolist() == [7] * 10
    index.set_masks(np.arange(10))
    assert index.masks.tolist() == list(range(10))
    index.set_masks(3)
    assert index.masks.tolist() == [3] * 10
    with pytest.raises(ValueError):
        index.set_masks([1, 2])
    with pytest.raises(ValueError, match="row 1"):
        index.set_masks([0, -1] + [0] * 8)
    assert index.masks.tolist() == [3] * 10


def test_stats():
    index, data = built(n=300, dim=D, M=8, ef_construction=50)
    index.add(points(20, D, "euclidean", seed=4), link=False)
    s = index.stats()
    assert list(s) == ["count", "dim", "metric", "M", "ef_construction", "entry_point", "top_level",
                       "nodes_per_level", "mean_degree_layer0", "memory_bytes", "dtype", "unreachable"]
    assert (s["count"], s["dim"], s["metric"], s["M"], s["ef_construction"]) == (320, D, "euclidean", 8, 50)
    assert sum(s["nodes_per_level"]) == 320 and len(s["nodes_per_level"]) == s["top_level"] + 1
    assert 0 <= s["entry_point"] < 300
    assert 0 < s["mean_degree_layer0"] <= 16
    assert s["memory_bytes"] > 320 * D * 4
    assert s["unreachable"] == 0  # the unlinked rows are not counted


# ---- progress and interruption --------------------------------------------------------------------------

def test_progress_callable_sees_the_whole_batch():
    index = quellix.Index(D, "euclidean")
    calls = []
    index.add(points(200, D, "euclidean"), progress=lambda done, total: calls.append((done, total)))
    assert calls and calls[-1] == (200, 200) and all(t == 200 for _, t in calls)
    assert [d for d, _ in calls] == sorted(d for d, _ in calls)


def test_progress_bar():
    pytest.importorskip("tqdm")
    index = quellix.Index(D, "euclidean")
    index.add(points(10, D, "euclidean"), progress=True)
    assert len(index) == 10


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt])
def test_an_exception_from_the_callback_leaves_a_valid_prefix(error, short_slices):
    data = points(4000, D, "euclidean")
    index = quellix.Index(D, "euclidean", ef_construction=400)

    def stop(done, total):
        raise error("stop")

    with pytest.raises(error) as exc:
        index.add(data, progress=stop)
    added = len(index)
    assert 0 < added < len(data)
    assert any("were added" in note for note in getattr(exc.value, "__notes__", []))
    np.testing.assert_array_equal(index.get_vectors(np.arange(added)), data[:added])
    ids, _ = index.search(data[:min(added, 5)], 1)
    assert ids[:, 0].tolist() == list(range(min(added, 5)))
    assert index.add(data[added:]).tolist() == list(range(added, len(data)))


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_add(threads, short_slices):
    data = points(3000, D, "euclidean")
    index = quellix.Index(D, "euclidean")
    sent = []

    def ctrl_c(done, total):
        # Raised between two slices, to this very thread, so that it lands while the add has rows to go.
        if not sent and done < total:
            sent.append(done)
            signal.raise_signal(signal.SIGINT)

    # A shell starts background jobs with SIGINT ignored, and Python keeps that: install its handler.
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt) as exc:
            index.add(data, num_threads=threads, progress=ctrl_c)
    finally:
        signal.signal(signal.SIGINT, before)
    added = len(index)
    assert sent and 0 < added < len(data)
    note = f"{added} of {len(data)} vectors were added before the interruption"
    assert note in getattr(exc.value, "__notes__", [])
    np.testing.assert_array_equal(index.get_vectors([added - 1]), data[added - 1:added])


def test_calls_from_many_threads_at_once():
    data = points(3000, D, "euclidean")
    index = quellix.Index(D, "euclidean", seed=0)
    index.add(data[:500])
    errors = []

    def run(work):
        try:
            work()
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    def adder():
        for start in range(500, 3000, 250):
            index.add(data[start:start + 250], masks=1)

    def searcher():
        for _ in range(20):
            ids, _ = index.search(data[:50], 5, num_threads=2)
            assert (ids[:, 0] >= 0).all()
            index.exact_search(data[:10], 3, filter_mask=1)
            index.filtered_search(data[:10], 3)
            quellix.Index.from_bytes(index.to_bytes())
            index.stats()

    threads = [threading.Thread(target=run, args=(w,)) for w in (adder, searcher, searcher)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(index) == 3000
    np.testing.assert_array_equal(index.get_vectors(np.arange(3000)), data)


def test_arrays_that_start_at_any_byte_are_read_as_their_values():
    # Arrays rebuilt from pickles or buffers (a Dask worker's) need not be aligned; the engine reads
    # whole values, so they reach it as aligned copies.
    rng = np.random.default_rng(4)
    rows = rng.normal(size=(50, D)).astype(np.float32)

    def unaligned(arr):
        raw = bytearray(arr.nbytes + 1)
        out = np.frombuffer(raw, dtype=arr.dtype, count=arr.size, offset=1).reshape(arr.shape)
        out[...] = arr
        assert not out.flags.aligned
        return out

    index = quellix.Index(D, "euclidean", seed=0)
    index.add(unaligned(rows), ids=unaligned(np.arange(100, 150, dtype=np.int64)), num_threads=1)
    ids, _ = index.exact_search(unaligned(rows[:5]), 1, ids=unaligned(np.arange(100, 150, dtype=np.int64)))
    assert ids[:, 0].tolist() == list(range(100, 105))
    assert index.remove(unaligned(np.array([100, 101], dtype=np.int64))) == 2
    np.testing.assert_array_equal(index.get_vectors(unaligned(np.array([102], dtype=np.int64))), rows[2:3])
