"""Linked insertion, neighbour selection and graph search, checked on the saved graph.

Levels are drawn from a generator seeded by the random device, so exact expectations are only formed
where levels cannot matter: M = 1 (every level 0, layer-0 limit 2), or by replaying a search on a graph
read back from the index file.
"""

from __future__ import annotations

import math
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import sampling
import vek_core
from conftest import METRICS, build_index, check_graph, load_file, saved
from indexfile import IndexFile
from reference import distances as reference_distances
from reference import sqnorm
from sampling import ball_points
from stdheap import farther, heap_pop, heap_push, nearer

F32 = np.float32
BOUNDARY = F32(0.995)


# --- the graph algorithms, replayed ----------------------------------------------------------------


def replay_search_layer(dist, neighbours, entry, ef, skip):
    """Best-first walk of one layer; returns the result heap (farthest on top)."""
    d0 = dist(entry)
    visited = {entry}
    cand, res = [], []
    heap_push(cand, (d0, entry), nearer)
    heap_push(res, (d0, entry), farther)
    while cand:
        c = heap_pop(cand, nearer)
        if len(res) >= ef and c[0] > res[0][0]:
            break
        for v in neighbours(c[1]):
            if v in visited:
                continue
            visited.add(v)
            if skip(v):
                continue
            d = dist(v)
            if len(res) < ef or d < res[0][0]:
                heap_push(cand, (d, v), nearer)
                heap_push(res, (d, v), farther)
                if len(res) > ef:
                    heap_pop(res, farther)
    return res


def replay_select(queue, limit, between):
    """Heuristic selection with pruned candidates used to top up; between(c, s) = d(c, s)."""
    items = []
    while queue:
        items.append(heap_pop(queue, farther))
    items.sort(key=lambda e: e[0])
    selected, discarded = [], []
    for d, c in items:
        if len(selected) >= limit:
            break
        if selected and any(between(c, s) < d for s in selected):
            discarded.append(c)
        else:
            selected.append(c)
    for c in discarded:
        if len(selected) >= limit:
            break
        selected.append(c)
    return selected


def boundary_skip(metric, norms):
    if metric != "poincare":
        return lambda v: False
    return lambda v: F32(norms[v]) >= BOUNDARY


def replay_graph_search(f: IndexFile, metric, dists, k, filter_mask=0, ef_search=50, max_radius=-1.0,
                        min_norm=-1.0):
    """custom_hnsw_search on a parsed graph; dists[v] is the query's distance to node v."""
    if f.n == 0 or f.ep_id < 0:
        return []
    assert k >= 0
    skip = boundary_skip(metric, f.norms)
    dist = dists.__getitem__
    ef = max(ef_search, k, 1)
    cur = f.ep_id
    for layer in range(f.ep_layer, 0, -1):
        w = replay_search_layer(dist, lambda v: f.links[v][layer], cur, 1, skip)
        if w:
            cur = w[0][1]
    w = replay_search_layer(dist, lambda v: f.links[v][0], cur, ef, skip)
    ordered = []
    while w:
        ordered.append(heap_pop(w, farther))
    ordered.reverse()
    max_radius, min_norm = F32(max_radius), F32(min_norm)
    bound = min_norm * min_norm if min_norm >= 0 else F32(-1)
    out = []
    for d, v in ordered:
        if max_radius >= 0 and d > max_radius:
            continue
        if filter_mask and int(f.masks[v]) & filter_mask != filter_mask:
            continue
        if bound >= 0 and F32(f.norms[v]) < bound:
            continue
        out.append(v)
        if len(out) >= k:
            break
    return out


def replay_level0_build(metric, x, linked, between_rows, ef_construction, limit=2):
    """Layer-0 lists built by linked insertion when every level is 0 (M = 1: limit 2).

    linked[i] says whether node i was inserted linked; between_rows[a][b] is d(a, b) with a in the
    query role.
    """
    skip = boundary_skip(metric, [sqnorm(v) for v in x])
    links = [[] for _ in range(len(x))]
    ep = -1
    ef = max(ef_construction, 1)
    for n in range(len(x)):
        if not linked[n]:
            continue
        if ep < 0:
            ep = n
            continue
        row = between_rows[n]
        w = replay_search_layer(row.__getitem__, links.__getitem__, ep, ef, skip)
        chosen = replay_select(w, limit, lambda c, s: between_rows[c][s])
        links[n] = list(chosen)
        for m in chosen:
            links[m].append(n)
            if len(links[m]) > limit:
                pool = []
                for v in links[m]:
                    heap_push(pool, (between_rows[m][v], v), farther)
                links[m] = replay_select(pool, limit, lambda c, s: between_rows[c][s])
    return links, ep


# --- data and helpers ------------------------------------------------------------------------------


def points_for(metric, rng, n, dim):
    return sampling.points_for(metric, rng, n, dim, max_norm=0.6)


def pairwise(metric, x):
    """rows[a][b] = d(a, b), node a in the query role (its squared norm from the kernel order)."""
    return [[float(v) for v in reference_distances(metric, x[a], x)] for a in range(len(x))]


# --- built indexes shared by several tests ---------------------------------------------------------

N_BIG, DIM_BIG = 5000, 32


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    out = {}
    for seed, metric in enumerate(METRICS):
        rng = np.random.default_rng(1000 + seed)
        x = points_for(metric, rng, N_BIG, DIM_BIG)
        masks = rng.integers(0, 1 << 4, N_BIG).astype(np.uint64)
        index = build_index(x, metric, masks=masks, M=16, ef_construction=200)
        f = saved(index, tmp_path_factory.mktemp(metric) / "big.bin")
        queries = points_for(metric, rng, 100, DIM_BIG)
        out[metric] = (index, x, masks, f, queries)
    return out


@pytest.mark.parametrize("metric", METRICS)
def test_invariants_after_thousands_of_insertions(built, metric):
    index, x, masks, f, _ = built[metric]
    assert f.n == N_BIG and f.max_m == 16
    check_graph(f, 16)
    assert max(f.levels) <= 8
    np.testing.assert_array_equal(f.vectors, x)
    np.testing.assert_array_equal(f.masks, masks)
    # Every node after the first got links on each layer it shares with the graph it joined, and a
    # list, once filled, is rebuilt but never emptied.
    top_before = -1
    for i in range(f.n):
        for layer in range(min(f.levels[i], top_before) + 1):
            assert f.links[i][layer], (i, layer)
        top_before = max(top_before, f.levels[i])


def test_level_frequencies_follow_inverse_powers_of_m(built):
    levels = np.concatenate([built[m][3].levels for m in METRICS])
    n = len(levels)
    # P(level >= k) = 16^-k; the bounds are more than six standard deviations wide.
    at_least = [(levels >= k).sum() for k in range(4)]
    assert at_least[0] == n
    expect1 = n / 16
    assert abs(at_least[1] - expect1) < 6.5 * math.sqrt(expect1), at_least
    assert 18 <= at_least[2] <= 110, at_least  # about 58.6 expected
    assert at_least[3] <= 22, at_least  # about 3.7 expected


@pytest.mark.parametrize("metric", METRICS)
def test_recall_against_exhaustive_search(built, metric):
    index, _, _, _, queries = built[metric]
    hits = 0
    for q in queries:
        got = index.custom_hnsw_search(q, 10, ef_search=100)
        truth = index.hardware_flat_search(q, 10, 0)
        assert len(got) == 10 and len(set(got)) == 10
        hits += len(set(got) & set(truth))
    assert hits / (10 * len(queries)) >= 0.95


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize(
    "k, kwargs",
    [
        (10, {}),
        (10, {"ef_search": 100}),
        (1, {"ef_search": 1}),
        (10, {"ef_search": 1}),
        (0, {}),
        (25, {"filter_mask": 0b0101, "ef_search": 60}),
        (10, {"min_norm": 0.5, "ef_search": 80}),
        (40, {"max_radius": "median"}),
        (15, {"filter_mask": 2, "max_radius": "median", "min_norm": 0.2}),
    ],
)
def test_graph_search_replays_exactly(built, metric, k, kwargs):
    # The whole search (descent, layer-0 walk, drain order, filters) replayed on the saved graph.
    index, x, _, f, queries = built[metric]
    for q in queries[:3]:
        d = [float(v) for v in reference_distances(metric, q, x)]
        kw = dict(kwargs)
        if kw.get("max_radius") == "median":
            kw["max_radius"] = float(np.sort(d)[30])
        got = index.custom_hnsw_search(q, k, **kw)
        assert got == replay_graph_search(f, metric, d, k, **kw)
        assert [d[i] for i in got] == sorted(d[i] for i in got)


@pytest.mark.parametrize("metric", METRICS)
def test_graph_search_filters_hold(built, metric):
    index, x, masks, f, queries = built[metric]
    for q in queries[:20]:
        d = reference_distances(metric, q, x)
        for fm, radius, min_norm in [(1, -1.0, -1.0), (0b1100, -1.0, -1.0), (0, float(np.sort(d)[50]), -1.0),
                                     (0, -1.0, 0.4), (3, float(np.sort(d)[400]), 0.3)]:
            got = index.custom_hnsw_search(q, 20, fm, 120, radius, min_norm)
            assert len(set(got)) == len(got) <= 20
            for i in got:
                assert int(masks[i]) & fm == fm
                assert radius < 0 or d[i] <= F32(radius)
                assert min_norm < 0 or f.norms[i] >= F32(min_norm) * F32(min_norm)
            assert list(d[got]) == sorted(d[got])
        assert index.custom_hnsw_search(q, 10, 1 << 50) == []


@pytest.mark.parametrize("metric", METRICS)
def test_concurrent_graph_searches_match_single_thread(built, metric):
    index, _, _, _, queries = built[metric]
    args = [(i, k, ef, fm) for i in range(len(queries)) for k, ef, fm in ((1, 10, 0), (10, 64, 0), (30, 200, 3))]

    def run(a):
        i, k, ef, fm = a
        return index.custom_hnsw_search(queries[i], k, fm, ef)

    single = [run(a) for a in args]
    with ThreadPoolExecutor(max_workers=4) as pool:
        for _ in range(2):
            assert list(pool.map(run, args)) == single
        assert list(pool.map(run, args[::-1]))[::-1] == single


# --- first insertions and flat nodes ---------------------------------------------------------------


@pytest.mark.parametrize("metric", METRICS)
def test_first_two_linked_insertions(tmp_path, metric):
    rng = np.random.default_rng(2)
    seen_higher = False
    for rep in range(24):
        # M = 2 draws high levels often, so both orders of the two levels occur.
        index = vek_core.HyperbolicIndex(4, M=2, metric=metric)
        a, b = points_for(metric, rng, 2, 4)
        index.add_item_and_link(a)
        f = saved(index, tmp_path / "one.bin")
        assert (f.ep_id, f.ep_layer) == (0, f.levels[0])
        assert all(ids == [] for ids in f.links[0])
        index.add_item_and_link(b)
        f = saved(index, tmp_path / "two.bin")
        l0, l1 = f.levels
        shared = min(l0, l1)
        check_graph(f, 2)
        for layer in range(l1 + 1):
            assert f.links[1][layer] == ([0] if layer <= shared else [])
        for layer in range(l0 + 1):
            assert f.links[0][layer] == ([1] if layer <= shared else [])
        assert (f.ep_id, f.ep_layer) == ((1, l1) if l1 > l0 else (0, l0))
        seen_higher |= l1 != l0
    assert seen_higher


@pytest.mark.parametrize("metric", METRICS)
def test_flat_nodes_stay_unlinked(tmp_path, metric):
    rng = np.random.default_rng(8)
    x = points_for(metric, rng, 80, 5)
    index = vek_core.HyperbolicIndex(5, M=4, metric=metric)
    for v in x[:6]:
        index.add_item_flat(v)
    index.add_item_and_link(x[6])
    f = saved(index, tmp_path / "a.bin")
    assert (f.ep_id, f.ep_layer) == (6, f.levels[6])
    assert all(ids == [] for node in f.links for ids in node)
    assert index.custom_hnsw_search(x[0], 10) == [6]
    for i, v in enumerate(x[7:], start=7):
        if i % 5 == 0:
            index.add_item_flat(v)
        else:
            index.add_item_and_link(v)
    f = saved(index, tmp_path / "b.bin")
    check_graph(f, 4)
    flat = set(range(6)) | {i for i in range(7, 80) if i % 5 == 0}
    for i in range(f.n):
        if i in flat:
            assert f.levels[i] == 0 and f.links[i] == [[]]
        assert not flat & {j for ids in f.links[i] for j in ids}
    assert f.ep_id not in flat
    for q in x[:10]:
        assert not flat & set(index.custom_hnsw_search(q, 50, ef_search=200))


# --- exact graphs with M = 1 (all levels 0, layer-0 limit 2) ----------------------------------------


def build_m1(metric, x, ef_construction=200, linked=True):
    return build_index(x, metric, masks=np.arange(len(x)) % 4, linked=linked, M=1, ef_construction=ef_construction)


def collinear(metric, positions):
    """Points along one direction; for cosine, points on the unit circle at these angles (degrees)."""
    if metric == "cosine":
        a = np.radians(positions)
        return np.stack([np.cos(a), np.sin(a)], axis=1).astype(F32)
    return np.array([[p, 0.0] for p in positions], F32)


@pytest.mark.parametrize("metric, positions", [
    ("euclidean", [0, 1, 3]), ("poincare", [0, 0.1, 0.3]), ("cosine", [0, 10, 30]),
])
def test_pruned_candidate_tops_up_after_kept_ones(tmp_path, metric, positions):
    # Node 2 sees node 1 at a smaller distance than node 0 and node 0 is nearer to node 1 than to
    # node 2: node 0 is pruned, then used to fill the second slot after node 1.
    f = saved(build_m1(metric, collinear(metric, positions)), tmp_path / "g.bin")
    assert [ids for (ids,) in f.links] == [[1, 2], [0, 2], [1, 0]]
    assert f.levels == [0, 0, 0] and (f.ep_id, f.ep_layer) == (0, 0)


def test_shrink_prunes_dominated_and_may_drop_the_newcomer(tmp_path):
    # Euclidean points on a line at 0, 1, -1.5, 5 (squared distances).
    # Node 3 joins nodes 1 and 0. Node 1's list [0, 2, 3] is rebuilt: 2 is dominated by 0 (2.25 < 6.25),
    # 3 is not (25 >= 16) -> [0, 3]. Node 0's list [1, 2, 3] is rebuilt: 1, then 2 (6.25 >= 2.25), and
    # the list is full before 3 is looked at -> [1, 2]: the newcomer is dropped.
    f = saved(build_m1("euclidean", collinear("euclidean", [0, 1, -1.5, 5])), tmp_path / "g.bin")
    assert [ids for (ids,) in f.links] == [[1, 2], [0, 3], [0, 1], [1, 0]]


def test_domination_is_strict(tmp_path):
    # Node 3 at the origin sees node 0 (1, 0) at 1 and node 1 (0.5, 1) at 1.25, and d(node 1, node 0)
    # is exactly 1.25 as well: not dominated, so node 1 takes the second slot before node 2 (-3, 0) at 9.
    x = np.array([[1, 0], [0.5, 1], [-3, 0], [0, 0]], F32)
    f = saved(build_m1("euclidean", x), tmp_path / "g.bin")
    assert f.links[3] == [[0, 1]]
    assert f.links[0] == [[3, 1]]
    assert f.links[2] == [[1, 0]]


def poincare_with_boundary(rng, n, dim, boundary_first):
    x = ball_points(rng, n, dim, 0.9)
    near_edge = rng.random(n) < 0.12
    near_edge[0] = boundary_first
    dirs = x[near_edge] / np.linalg.norm(x[near_edge], axis=1, keepdims=True)
    x[near_edge] = (dirs * np.sqrt(rng.uniform(0.9955, 0.999, (near_edge.sum(), 1)))).astype(F32)
    return x


def m1_data(metric, seed, n=90, dim=3):
    rng = np.random.default_rng(seed)
    if metric == "poincare":
        return poincare_with_boundary(rng, n, dim, boundary_first=seed % 2 == 1)
    return points_for(metric, rng, n, dim)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("ef_construction", [1, 2, 5, 200])
@pytest.mark.parametrize("seed", [1, 2])
def test_level0_graph_replays_exactly(tmp_path, metric, ef_construction, seed):
    x = m1_data(metric, seed)
    linked = [i % 9 != 4 for i in range(len(x))]
    rows = pairwise(metric, x)
    for r in rows:  # no equal distances, so no order is left to the unstable sort
        assert len(set(r)) == len(r)
    index = build_m1(metric, x, ef_construction, linked)
    f = saved(index, tmp_path / "g.bin")
    check_graph(f, 1)
    expected, ep = replay_level0_build(metric, x, linked, rows, ef_construction)
    assert [node[0] for node in f.links] == expected
    assert (f.ep_id, f.ep_layer) == (ep, 0)
    if metric == "poincare":
        edge = [i for i in range(len(x)) if f.norms[i] >= BOUNDARY and linked[i]]
        assert edge and all(f.links[i][0] for i in edge)

    rng = np.random.default_rng(seed + 50)
    for q in points_for(metric, rng, 12, x.shape[1]):
        d = [float(v) for v in reference_distances(metric, q, x)]
        for k, kw in [(5, {}), (1, {"ef_search": 1}), (0, {}), (8, {"ef_search": 3}), (90, {"ef_search": 200}),
                      (6, {"filter_mask": 2, "ef_search": 20}), (6, {"min_norm": 0.5, "ef_search": 30}),
                      (50, {"max_radius": float(np.median(d)), "ef_search": 90})]:
            got = index.custom_hnsw_search(q, k, **kw)
            assert got == replay_graph_search(f, metric, d, k, **kw), (k, kw)


@pytest.mark.parametrize("metric", METRICS)
def test_construction_width_below_one_is_raised_to_one(tmp_path, metric):
    x = m1_data(metric, 5, n=60)
    graphs = []
    for ef in (1, 0, -1, -(2**31)):
        graphs.append(saved(build_m1(metric, x, ef), tmp_path / f"g{ef}.bin").links)
    assert graphs[1:] == graphs[:1] * 3
    expected, _ = replay_level0_build(metric, x, [True] * len(x), pairwise(metric, x), 1)
    assert [node[0] for node in graphs[0]] == expected


@pytest.mark.parametrize("ef_construction", [0, -3])
def test_construction_width_below_one_with_real_levels(tmp_path, ef_construction):
    # Each new node gets exactly one link per layer it shares with the graph (the search keeps one node).
    rng = np.random.default_rng(6)
    x = rng.standard_normal((40, 4)).astype(F32)
    index = vek_core.HyperbolicIndex(4, M=2, metric="euclidean")
    top = -1
    for i, v in enumerate(x):
        index.add_item_and_link(v, 0, ef_construction)
        f = saved(index, tmp_path / "g.bin")
        check_graph(f, 2)
        own = f.links[i]
        for layer, ids in enumerate(own):
            assert len(ids) == (1 if layer <= top else 0), (i, layer, own)
        top = max(top, f.levels[i])


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("M", [0, 1, -3])
def test_tiny_and_negative_m(tmp_path, metric, M):
    rng = np.random.default_rng(3)
    x = points_for(metric, rng, 300, 6)
    index = build_index(x, metric, M=M, ef_construction=50)
    f = saved(index, tmp_path / "g.bin")
    assert f.max_m == M
    assert set(f.levels) == {0} and (f.ep_id, f.ep_layer) == (0, 0)
    check_graph(f, M)
    degrees = [len(node[0]) for node in f.links]
    if M <= 0:
        assert max(degrees) == 0
        assert index.custom_hnsw_search(x[5], 10) == [0]
    else:
        assert max(degrees) == 2 and min(degrees) >= 1
        assert len(index.custom_hnsw_search(x[5], 10, ef_search=50)) == 10


# --- graph search edge cases -----------------------------------------------------------------------


@pytest.mark.parametrize("metric", METRICS)
def test_search_width_and_k_edges(metric):
    rng = np.random.default_rng(14)
    x = points_for(metric, rng, 400, 8)
    index = build_index(x, metric)
    for q in points_for(metric, rng, 5, 8):
        d = reference_distances(metric, q, x)
        got = index.custom_hnsw_search(q, 10, ef_search=1)
        assert len(got) == 10
        assert got == index.custom_hnsw_search(q, 10, ef_search=10)
        assert list(d[got]) == sorted(d[got])
        for ef in (0, -1, -1000):
            assert index.custom_hnsw_search(q, 3, ef_search=ef) == index.custom_hnsw_search(q, 3, ef_search=3)
        one = index.custom_hnsw_search(q, 0)
        assert len(one) == 1 and one == index.custom_hnsw_search(q, 1)
        assert index.custom_hnsw_search(q, 0, 1 << 40) == []
        for k in (-1, -50):
            with pytest.raises(ValueError, match="vector::reserve"):
                index.custom_hnsw_search(q, k)
        full = index.custom_hnsw_search(q, 1000, ef_search=1000)
        assert len(full) == 400 and list(d[full]) == sorted(d[full])


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("k", [-3, 0, 1, 10])
def test_empty_and_flat_only_index_return_nothing(metric, k):
    index = vek_core.HyperbolicIndex(3, metric=metric)
    q = np.full(3, 0.2, F32)
    assert index.custom_hnsw_search(q, k) == []
    for v in np.eye(3, dtype=F32) * F32(0.5):
        index.add_item_flat(v)
    assert index.custom_hnsw_search(q, k) == []
    assert index.custom_hnsw_search(q, k, 0, 500, 10.0, 0.1) == []


@pytest.mark.parametrize("metric", METRICS)
def test_single_node_is_always_found(metric):
    index = vek_core.HyperbolicIndex(3, metric=metric)
    index.add_item_and_link(np.array([0.3, -0.2, 0.1], F32), 5)
    for q in (np.zeros(3, F32), np.array([-0.5, 0.5, 0.5], F32), np.array([9, 9, 9], F32)):
        for k in (0, 1, 10):
            assert index.custom_hnsw_search(q, k) == [0]
        assert index.custom_hnsw_search(q, 4, 1, 1) == [0]
        assert index.custom_hnsw_search(q, 4, 2) == []
    with pytest.raises(ValueError, match="vector::reserve"):
        index.custom_hnsw_search(np.zeros(3, F32), -1)


def test_radius_and_norm_filters_exact_values():
    # Squared norms 0.25 and just below; Euclidean distances from the origin equal those norms.
    x = np.array([[0.5, 0, 0], [0.49989998, 0, 0], [0, 0.7, 0], [0, 0, 0], [1, 1, 1], [0, 0, 0]], F32)
    index = build_index(x, "euclidean")
    assert index.get_stored_norm(0) == 0.25
    assert 0.2498 < index.get_stored_norm(1) < 0.25
    q = np.zeros(3, F32)
    by_distance = [3, 5, 1, 0, 2, 4]
    got = index.custom_hnsw_search(q, 10)
    assert sorted(got[:2]) == [3, 5] and got[2:] == by_distance[2:]
    # min_norm is a length: it is squared (0.25) and compared with the cached squared norm.
    assert index.custom_hnsw_search(q, 10, min_norm=0.5) == [0, 2, 4]
    assert index.custom_hnsw_search(q, 10, min_norm=0.0)[2:] == [1, 0, 2, 4]
    assert len(index.custom_hnsw_search(q, 10, min_norm=-0.5)) == 6
    assert len(index.custom_hnsw_search(q, 10, min_norm=float("nan"))) == 6
    # max_radius bounds the squared distance.
    assert index.custom_hnsw_search(q, 10, max_radius=0.25)[2:] == [1, 0]
    assert index.custom_hnsw_search(q, 10, max_radius=0.48)[2:] == [1, 0]
    assert index.custom_hnsw_search(q, 10, max_radius=0.7)[2:] == [1, 0, 2]
    assert sorted(index.custom_hnsw_search(q, 10, max_radius=0.0)) == [3, 5]
    assert index.custom_hnsw_search(q, 10, max_radius=-2.0)[2:] == by_distance[2:]
    # Combined with a mask filter, a node must pass all three.
    index.update_masks(np.array([1, 3, 3, 0, 2, 1], np.uint64))
    assert index.custom_hnsw_search(q, 10, 1, 50, 0.3, 0.4) == [1, 0]
    assert index.custom_hnsw_search(q, 10, 2, 50, -1.0, 0.1) == [1, 2, 4]


@pytest.mark.parametrize("metric", ["poincare", "cosine"])
def test_radius_zero_other_metrics(metric):
    rng = np.random.default_rng(15)
    x = points_for(metric, rng, 50, 4)
    index = build_index(x, metric)
    got = index.custom_hnsw_search(x[7], 5, max_radius=0.0)
    if metric == "poincare":
        assert got == []  # no Poincaré distance falls below 0.0013810393, not even to itself
        assert index.custom_hnsw_search(x[7], 5, max_radius=0.0013810393) == [7]
    else:
        assert got in ([7], [])
        d = reference_distances(metric, x[7], x)
        assert got == ([7] if d[7] <= 0 else [])


# --- the Poincaré boundary rule on hand-made graphs ------------------------------------------------


def boundary_graph(tmp_path, ep, levels, upper):
    """Layer-0 star around node 0 plus a ring; node 1 is cached at exactly 0.995, node 2 just below,
    node 6 lies outside the rule's reach by its vector but has no cached norm (-1)."""
    x = np.array([[0, 0], [0.9975, 0], [0, 0.9975], [0.5, 0.1], [0.1, 0.5], [-0.5, -0.5], [-0.9975, 0]], F32)
    norms = reference_sq = (x.astype(np.float64) ** 2).sum(1).astype(F32)
    norms = norms.copy()
    norms[1] = BOUNDARY
    norms[2] = np.nextafter(BOUNDARY, F32(0))
    norms[6] = F32(-1)
    assert reference_sq[1] >= BOUNDARY and reference_sq[6] >= BOUNDARY
    layer0 = [[1, 2, 3, 4, 5, 6], [0, 3], [0, 4], [0, 1], [0, 2], [0, 6], [0, 5]]
    links = []
    for i in range(7):
        node = [layer0[i]]
        for layer in range(1, levels[i] + 1):
            node.append(upper.get(i, []))
        links.append(node)
    f = IndexFile(2, max_m=16, ep_id=ep, ep_layer=levels[ep], vectors=x, norms=norms,
                  masks=np.zeros(7, np.uint64), levels=levels, links=links)
    path = tmp_path / "boundary.bin"
    f.write(path)
    return path, f


@pytest.mark.parametrize("metric", METRICS)
def test_boundary_nodes_skipped_by_graph_search(tmp_path, metric):
    path, f = boundary_graph(tmp_path, 0, [1, 0, 0, 0, 0, 1, 0], {0: [5], 5: [0]})
    index = load_file(path, metric)
    for q in (np.array([0.99, 0], F32), np.array([0.2, 0.9], F32), np.zeros(2, F32), np.array([-0.9, 0], F32)):
        got = index.custom_hnsw_search(q, 10, ef_search=10)
        d = [float(v) for v in reference_distances(metric, q, f.vectors, f.norms)]
        assert got == replay_graph_search(f, metric, d, 10, ef_search=10)
        if metric == "poincare":
            assert sorted(got) == [0, 2, 3, 4, 5, 6]
        else:
            assert sorted(got) == list(range(7))


@pytest.mark.parametrize("upper_link", [False, True])
def test_boundary_entry_point_is_still_returned(tmp_path, upper_link):
    # Node 1 (cached 0.995) is the entry point on layer 1: the descent scores it and, being nearest,
    # keeps it; the layer-0 search starting there returns it first.
    levels = [1 if upper_link else 0, 1, 0, 0, 0, 0, 0]
    path, f = boundary_graph(tmp_path, 1, levels, {0: [1], 1: [0]} if upper_link else {})
    index = load_file(path)
    q = np.array([0.99, 0.01], F32)
    got = index.custom_hnsw_search(q, 10, ef_search=10)
    assert got[0] == 1 and len(got) == 7
    # A query nearer node 0: with the upper link the descent moves to node 0 and node 1 is never
    # scored again; without it node 1 stays the layer-0 entry and is returned.
    q = np.array([0.01, 0.0], F32)
    got = index.custom_hnsw_search(q, 10, ef_search=10)
    d = [float(v) for v in reference_distances("poincare", q, f.vectors, f.norms)]
    assert got == replay_graph_search(f, "poincare", d, 10, ef_search=10)
    assert (1 in got) == (not upper_link)


def test_descent_does_not_move_onto_a_boundary_node(tmp_path):
    # Node 1 (cached 0.995) sits on layer 1 next to the entry point 0 and is the query's nearest node:
    # the descent passes over it, and the layer-0 search does too.
    path, f = boundary_graph(tmp_path, 0, [1, 1, 0, 0, 0, 0, 0], {0: [1], 1: [0]})
    index = load_file(path)
    q = np.array([0.997, 0], F32)
    got = index.custom_hnsw_search(q, 10, ef_search=10)
    assert 1 not in got and sorted(got) == [0, 2, 3, 4, 5, 6]
    euclid = load_file(path, "euclidean")
    assert euclid.custom_hnsw_search(q, 10, ef_search=10)[0] == 1


def test_boundary_nodes_linked_only_while_entry(tmp_path):
    # A node inserted near the boundary still gets its own links and its neighbours the reverse link,
    # but later insertions never reach it (with M = 1 the entry point is node 0 for ever), so its list
    # never grows and nothing inserted after it points at it, not even the points put right next to it.
    rng = np.random.default_rng(30)
    x = ball_points(rng, 200, 3, 0.8)
    edge_ids = [10, 50, 120]
    dirs = x[edge_ids] / np.linalg.norm(x[edge_ids], axis=1, keepdims=True)
    x[edge_ids] = (dirs * F32(0.9985)).astype(F32)
    # Later points right next to each of them, well inside the rule's reach.
    near = np.repeat(dirs * 0.96, 4, axis=0) + rng.normal(0, 0.01, (12, 3))
    x = np.concatenate([x, near.astype(F32)])
    index = build_index(x, "poincare", M=1)
    f = saved(index, tmp_path / "g.bin")
    check_graph(f, 1)
    for e in edge_ids:
        assert f.norms[e] >= BOUNDARY
        own = f.links[e][0]
        assert own and all(j < e for j in own)
        incoming = {i for i in range(f.n) if e in f.links[i][0]}
        assert incoming <= set(own)
