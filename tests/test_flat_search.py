"""Exhaustive search: screens, the bounded top-k heap and its exact output order, threads."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vek_core
from conftest import METRICS, below, build_index, flat_file, load_crafted, stored_norms
from reference import distances as reference_distances
from sampling import points_for
from stdheap import farther, heap_pop, heap_push

F32 = np.float32


def dists(metric, q, vectors):
    """Distances from q to every vector, as Python floats holding the float32 values."""
    return [float(v) for v in reference_distances(metric, q, vectors)]


def expected_flat(dists, masks, norms, k, filter_mask=0, max_radius=-1.0, min_norm_sq=-1.0):
    """The scan as documented: screens in id order, push then pop the farthest, drain reversed."""
    max_radius = F32(max_radius)
    min_norm_sq = F32(min_norm_sq)
    floor = F32(min_norm_sq - F32(0.15))
    heap = []
    for i, d in enumerate(dists):
        if int(masks[i]) & filter_mask != filter_mask:
            continue
        if min_norm_sq >= 0 and floor > F32(norms[i]):
            continue
        if max_radius >= 0 and not d <= max_radius:
            continue
        heap_push(heap, (d, i), farther)
        if len(heap) > k:
            heap_pop(heap, farther)
    out = []
    while heap:
        out.append(heap_pop(heap, farther)[1])
    return out[::-1]


def test_heap_emulation_matches_known_libstdcxx_layout():
    # Hand-traced: pushing 1,1,1 then popping keeps the later equal entries on top in this order.
    h = []
    for i, d in enumerate([1.0, 1.0, 1.0, 1.0]):
        heap_push(h, (d, i), farther)
    assert [e[1] for e in h] == [0, 1, 2, 3]
    assert heap_pop(h, farther)[1] == 0  # root leaves, hole walks right on ties, 3 sifted into it
    assert [e[1] for e in h] == [2, 1, 3]
    h = []
    for i, d in enumerate([1.0, 3.0, 2.0, 3.0]):
        heap_push(h, (d, i), farther)
    assert [e[1] for e in h] == [1, 3, 2, 0]


# --- agreement with brute force ------------------------------------------------------------------


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dim", [3, 19])
def test_matches_brute_force(metric, dim):
    rng = np.random.default_rng(100 + dim)
    x = points_for(metric, rng, 300, dim)
    index = build_index(x, metric, linked=False)
    for q in points_for(metric, rng, 8, dim):
        d = dists(metric, q, x)
        order = sorted(range(len(x)), key=lambda i: d[i])
        for k in (1, 7, 50, 299, 300, 1000):
            got = index.hardware_flat_search(q, k, 0)
            assert sorted(d[i] for i in got) == sorted(d)[:k]
            assert [d[i] for i in got] == sorted(d[i] for i in got)
            if len(set(d)) == len(d):
                assert got == order[:k]


@pytest.mark.parametrize("metric", METRICS)
def test_linked_and_flat_nodes_scanned_alike(metric):
    # The scan ignores the graph: linked and flat nodes, interleaved, all take part.
    rng = np.random.default_rng(7)
    x = points_for(metric, rng, 120, 8)
    index = build_index(x, metric, linked=[i % 3 == 0 for i in range(len(x))])
    for q in points_for(metric, rng, 5, 8):
        d = dists(metric, q, x)
        got = index.hardware_flat_search(q, 200, 0)
        assert got == expected_flat(d, [0] * len(x), stored_norms(index, len(x)), 200)
        assert len(got) == len(x)


# --- exact order under ties: the heap must behave exactly like push-then-pop ---------------------


def tie_heavy_data(metric, rng, n, dim):
    """Few distinct vectors, each repeated many times, so most distances are exactly equal."""
    if metric == "euclidean":
        # 0/1 entries: the distance between two of them, or to the origin, is a small integer.
        return rng.integers(0, 2, (n, dim)).astype(F32)
    pool = points_for(metric, rng, 6, dim)
    return pool[rng.integers(0, len(pool), n)]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("n", [1, 2, 5, 17, 64, 400])
def test_exact_order_with_many_ties(metric, n):
    rng = np.random.default_rng(n * 31 + len(metric))
    dim = 5
    x = tie_heavy_data(metric, rng, n, dim)
    index = build_index(x, metric, linked=False)
    norms = stored_norms(index, n)
    queries = [np.zeros(dim, F32) if metric == "euclidean" else points_for(metric, rng, 1, dim)[0]]
    queries.append(x[n // 2].copy())  # a stored vector: ties at the minimum too
    ks = sorted({1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 31, 32, 33, 255, 256, 257, 300, n - 1, n, n + 1})
    for q in queries:
        d = dists(metric, q, x)
        if n >= 17:
            assert len(set(d)) < n / 2
        for k in ks:
            if k < 1:
                continue
            assert index.hardware_flat_search(q, k, 0) == expected_flat(d, [0] * n, norms, k), (k, d)


@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 8, 13, 40])
def test_exact_order_with_ties_and_screens(k):
    rng = np.random.default_rng(k)
    n = 120
    x = rng.integers(0, 3, (n, 4)).astype(F32)
    masks = rng.integers(0, 8, n).astype(np.uint64)
    index = build_index(x, "euclidean", masks=masks, linked=False)
    norms = stored_norms(index, n)
    q = np.ones(4, F32)
    d = dists("euclidean", q, x)
    for filter_mask, max_radius, min_norm_sq in [(0, -1.0, -1.0), (1, -1.0, -1.0), (5, 2.0, -1.0),
                                                 (0, 1.0, 4.15), (2, 3.0, 8.0), (0, 0.0, -1.0)]:
        got = index.hardware_flat_search(q, k, filter_mask, max_radius, min_norm_sq)
        assert got == expected_flat(d, masks, norms, k, filter_mask, max_radius, min_norm_sq)


@pytest.mark.parametrize("metric", METRICS)
def test_exact_order_with_nan_and_infinite_distances(metric):
    # NaN distances are unordered; the scan's heap must still end up exactly where push/pop leave it.
    rng = np.random.default_rng(3)
    dim = 4
    x = tie_heavy_data(metric, rng, 60, dim)
    x[[5, 17, 40]] = np.nan
    if metric == "euclidean":
        x[[8, 30]] = F32(3e38)  # squared distance overflows to +inf
    index = build_index(x, metric, linked=False)
    norms = stored_norms(index, len(x))
    q = x[1].copy()
    d = dists(metric, q, x)
    assert any(np.isnan(d))
    for k in (1, 2, 3, 5, 9, 20, 59, 60, 61):
        assert index.hardware_flat_search(q, k, 0) == expected_flat(d, [0] * len(x), norms, k)
        # With the radius screen on, NaN distances are skipped.
        got = index.hardware_flat_search(q, k, 0, 1e30)
        assert got == expected_flat(d, [0] * len(x), norms, k, 0, 1e30)
        assert not any(np.isnan(d[i]) for i in got)


@pytest.mark.parametrize("metric", METRICS)
def test_identical_nearest_pair_k1_returns_higher_id(metric):
    rng = np.random.default_rng(11)
    x = points_for(metric, rng, 50, 6)
    q = points_for(metric, rng, 1, 6)[0]
    near = (q * F32(0.999)).astype(F32) if metric != "cosine" else q.copy()
    x[12] = near
    x[37] = near
    index = build_index(x, metric, linked=False)
    d = dists(metric, q, x)
    assert d[12] == d[37] and sum(v <= d[12] for v in d) == 2
    assert index.hardware_flat_search(q, 1, 0) == [37]
    got = index.hardware_flat_search(q, 2, 0)
    assert sorted(got) == [12, 37]


@pytest.mark.parametrize("metric", METRICS)
def test_ties_at_boundary_keep_result_distance_multiset(metric):
    rng = np.random.default_rng(12)
    dim = 6
    x = tie_heavy_data(metric, rng, 200, dim)
    index = build_index(x, metric, linked=False)
    q = points_for(metric, rng, 1, dim)[0]
    d = dists(metric, q, x)
    for k in (3, 10, 25, 60, 199):
        got = index.hardware_flat_search(q, k, 0)
        assert len(got) == len(set(got)) == k
        assert sorted(d[i] for i in got) == sorted(d)[:k]


# --- screens ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("filter_mask", [0, 1, 2, 3, 0b1010, 0b1111, 1 << 63, (1 << 63) | 1, 1 << 40])
def test_mask_screen(filter_mask):
    rng = np.random.default_rng(5)
    n = 200
    x = rng.standard_normal((n, 8)).astype(F32)
    masks = rng.integers(0, 16, n).astype(np.uint64)
    masks[::7] |= np.uint64(1 << 63)
    masks[3] = np.uint64(2**64 - 1)
    index = build_index(x, "euclidean", masks=masks, linked=False)
    q = rng.standard_normal(8).astype(F32)
    d = dists("euclidean", q, x)
    passing = [i for i in range(n) if int(masks[i]) & filter_mask == filter_mask]
    if filter_mask == 0:
        assert len(passing) == n
    got = index.hardware_flat_search(q, n, filter_mask)
    assert got == sorted(passing, key=lambda i: d[i])
    assert index.hardware_flat_search(q, 5, filter_mask) == sorted(passing, key=lambda i: d[i])[:5]


def crafted_norm_index(tmp_path, norms, metric="euclidean"):
    """Nodes whose cached squared norms are set directly in the index file."""
    n = len(norms)
    vectors = np.arange(n * 2, dtype=F32).reshape(n, 2)
    return load_crafted(tmp_path, flat_file(vectors, norms), metric, "norms.bin")


@pytest.mark.parametrize(
    "min_norm_sq, kept, skipped",
    [
        # The floor is min_norm_sq - 0.15 in float32 (1 - 0.15f rounds to 0.85f exactly).
        (1.0, [0.85, 0.9, 1.0, 5.0], [0.84, below(0.85), 0.0, -1.0]),
        # 0.4f - 0.15f is exactly 0.25 in float32 but slightly above 0.25 in double arithmetic.
        (0.4, [0.25], [below(0.25)]),
        (0.2, [0.05, float(F32(0.2) - F32(0.15))], [below(F32(0.2) - F32(0.15)), 0.049]),
        # Zero keeps every cached norm down to -0.15, so also slightly negative cached values.
        (0.0, [0.0, -0.15, -0.1], [below(-0.15), -1.0]),
        # Negative or NaN: the screen is off.
        (-1.0, [-5.0, 0.0, 0.84, 100.0], []),
        (-0.01, [-5.0, 0.0], []),
        (float("nan"), [-5.0, 0.0, 3.0], []),
    ],
)
def test_norm_screen_slack(tmp_path, min_norm_sq, kept, skipped):
    norms = kept + skipped
    index = crafted_norm_index(tmp_path, norms)
    assert [index.get_stored_norm(i) for i in range(len(norms))] == [float(F32(v)) for v in norms]
    q = np.zeros(2, F32)
    got = index.hardware_flat_search(q, 100, 0, -1.0, min_norm_sq)
    assert sorted(got) == list(range(len(kept)))


def test_norm_screen_on_inserted_vectors():
    # fl(x*x) for these x is exactly 0.85f and 0.84f, so the cached norms are those values.
    x85 = np.array([0.92195445, 0, 0, 0, 0], F32)
    x84 = np.array([0, 0, 0.9165151, 0, 0], F32)
    index = vek_core.HyperbolicIndex(5, metric="euclidean")
    index.add_item_flat(x85)
    index.add_item_flat(x84)
    index.add_item_flat(np.ones(5, F32))
    assert index.get_stored_norm(0) == float(F32(0.85))
    assert index.get_stored_norm(1) == float(F32(0.84))
    q = np.zeros(5, F32)
    assert index.hardware_flat_search(q, 10, 0, -1.0, 1.0) == [0, 2]
    assert index.hardware_flat_search(q, 10, 0, min_norm_sq=0.98) == [1, 0, 2]
    assert index.hardware_flat_search(q, 10, 0, min_norm_sq=5.16) == []
    assert index.hardware_flat_search(q, 10, 0, min_norm_sq=5.15) == [2]


def test_norm_screen_runs_before_distance(tmp_path):
    # A node screened out by its norm is never scored, so its NaN vector cannot matter; with the
    # screen off the same node is scored (NaN) and takes part in the heap.
    f = flat_file([[np.nan, 0], [1, 0], [2, 0]], norms=[0.0, 1.0, 4.0], masks=[1, 0, 0])
    index = load_crafted(tmp_path, f, "euclidean", "nan.bin")
    q = np.zeros(2, F32)
    assert index.hardware_flat_search(q, 3, 0, -1.0, 0.5) == [1, 2]
    assert index.hardware_flat_search(q, 3, 2) == []
    assert sorted(index.hardware_flat_search(q, 3, 0)) == [0, 1, 2]


def test_radius_screen_euclidean_uses_squared_distance():
    pts = np.array([[3, 4], [0, 5], [6, 8], [1, 1], [0, 0], [0, 0], [5, 0.01]], F32)
    index = build_index(pts, "euclidean", linked=False)
    q = np.zeros(2, F32)
    got = index.hardware_flat_search(q, 10, 0, 25.0)
    assert sorted(got[:2]) == [4, 5] and got[2] == 3 and sorted(got[3:]) == [0, 1]
    got = index.hardware_flat_search(q, 10, 0, float(below(25.0)))
    assert sorted(got[:2]) == [4, 5] and got[2:] == [3]
    # 5 bounds the squared distance, not the length: (3, 4) at length 5 is out.
    got = index.hardware_flat_search(q, 10, 0, 5.0)
    assert sorted(got[:2]) == [4, 5] and got[2:] == [3]
    assert index.hardware_flat_search(q, 10, 0, 100.0)[-1] == 2
    assert len(index.hardware_flat_search(q, 10, 0, 99.99)) == 6
    # Radius 0 keeps vectors equal to the query only, at most k of them (the later id wins at k=1).
    assert sorted(index.hardware_flat_search(q, 10, 0, 0.0)) == [4, 5]
    assert index.hardware_flat_search(q, 1, 0, 0.0) == [5]
    assert index.hardware_flat_search(np.array([3, 4], F32), 10, 0, 0.0) == [0]
    # Negative radius: screen off.
    assert len(index.hardware_flat_search(q, 10, 0, -0.5)) == 7


@pytest.mark.parametrize("metric", ["poincare", "cosine"])
def test_radius_screen_other_metrics(metric):
    rng = np.random.default_rng(21)
    x = points_for(metric, rng, 150, 5)
    index = build_index(x, metric, linked=False)
    q = x[10].copy()
    d = dists(metric, q, x)
    if metric == "poincare":
        # Even the query's own stored copy is 0.0013810393 away: radius 0 returns nothing.
        assert index.hardware_flat_search(q, 10, 0, 0.0) == []
        assert index.hardware_flat_search(q, 10, 0, 0.0013) == []
        assert index.hardware_flat_search(q, 10, 0, 0.0013810393) == [10]
    radius = float(np.median(d))
    got = index.hardware_flat_search(q, 1000, 0, radius)
    assert got == sorted((i for i in range(len(x)) if d[i] <= F32(radius)), key=lambda i: d[i])
    assert len(got) >= 75


# --- k and emptiness -------------------------------------------------------------------------------


@pytest.mark.parametrize("metric", METRICS)
def test_k_edge_values(metric):
    rng = np.random.default_rng(4)
    x = points_for(metric, rng, 40, 4)
    index = build_index(x, metric, linked=False)
    q = points_for(metric, rng, 1, 4)[0]
    d = dists(metric, q, x)
    assert index.hardware_flat_search(q, 0, 0) == []
    full = index.hardware_flat_search(q, 2**31 - 1, 0)
    assert full == sorted(range(40), key=lambda i: d[i])
    for k in (-1, -7, -(2**31)):
        with pytest.raises(ValueError, match="vector::reserve"):
            index.hardware_flat_search(q, k, 0)
        # Screens that reject everything do not change that.
        with pytest.raises(ValueError, match="vector::reserve"):
            index.hardware_flat_search(q, k, 1 << 20)
    # The index is unchanged and still answers.
    assert index.hardware_flat_search(q, 2**31 - 1, 0) == full


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("k", [-5, -1, 0, 1, 10])
def test_empty_index_returns_empty(metric, k):
    index = vek_core.HyperbolicIndex(4, metric=metric)
    q = np.full(4, 0.1, F32)
    assert index.hardware_flat_search(q, k, 0) == []
    assert index.hardware_flat_search(q, k, 3, 1.0, 0.5) == []


def test_screens_rejecting_everything_give_empty_list():
    rng = np.random.default_rng(9)
    index = build_index(rng.standard_normal((30, 4)).astype(F32), "euclidean", linked=False)
    q = np.zeros(4, F32)
    assert index.hardware_flat_search(q, 5, 1) == []
    assert index.hardware_flat_search(q, 5, 0, -1.0, 1e9) == []
    assert index.hardware_flat_search(q, 5, 0, 1e-9) == []


def test_filter_mask_is_required():
    index = build_index(np.ones((2, 3), F32), "euclidean", linked=False)
    with pytest.raises(TypeError):
        index.hardware_flat_search(np.ones(3, F32), 5)
    assert index.hardware_flat_search(query=np.ones(3, F32), k=5, filter_mask=0, min_norm_sq=1.0,
                                      max_radius=0.0) == [1, 0]


# --- threads ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("metric", METRICS)
def test_concurrent_searches_match_single_thread(metric):
    rng = np.random.default_rng(77)
    n, dim = 3000, 24
    x = tie_heavy_data(metric, rng, n, dim) if metric == "euclidean" else points_for(metric, rng, n, dim)
    masks = rng.integers(0, 4, n).astype(np.uint64)
    index = build_index(x, metric, masks=masks, linked=False)
    queries = points_for(metric, rng, 40, dim)
    args = [(i, k, fm) for i in range(len(queries)) for k, fm in ((1, 0), (10, 0), (64, 1), (300, 2))]

    def run(a):
        i, k, fm = a
        return index.hardware_flat_search(queries[i], k, fm)

    single = [run(a) for a in args]
    with ThreadPoolExecutor(max_workers=4) as pool:
        rounds = [list(pool.map(run, args)) for _ in range(3)]
        shuffled = list(pool.map(run, args[::-1]))[::-1]
    for r in rounds:
        assert r == single
    assert shuffled == single


def test_poincare_distances_tied_between_different_arguments(tmp_path):
    """Far from the query many neighbouring float32 arguments of arccosh give one float32 distance.

    The scan ranks by the argument and takes the logarithm only where a node can be kept, so these
    ties at the k-th place are where a shortcut would go wrong: every k must give the documented
    scan's answer. The cached norms are all equal, so only the squared differences vary, one ulp of
    the first component at a time.
    """
    n = 160
    first = np.arange(n, dtype=np.int32) + np.array(F32(-0.9)).view(np.int32)
    x = np.stack([first.view(F32), np.full(n, F32(0.3))], axis=1)
    x = x[np.random.default_rng(5).permutation(n)]
    norms = np.full(n, F32(0.9))
    index = load_crafted(tmp_path, flat_file(x, norms=norms))
    q = np.array([0.9, 0.0], F32)
    d = [float(v) for v in reference_distances("poincare", q, x, norms)]
    assert len(set(d)) < n / 4  # several different vectors share each distance
    for k in range(1, n + 2):
        assert index.hardware_flat_search(q, k, 0) == expected_flat(d, [0] * n, norms, k), k
    for radius in sorted(set(d))[::7]:
        assert index.hardware_flat_search(q, 40, 0, radius) == expected_flat(d, [0] * n, norms, 40, max_radius=radius)
