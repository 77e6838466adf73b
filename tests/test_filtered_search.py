"""Filtered graph search (filters applied during the layer-0 walk, gap cut-off) and the bulk mask update.

Most graphs here are written by hand with IndexFile and loaded, so the walk, the entry point and every
distance are known exactly: a fully connected layer 0 lets the search score every node from the entry,
a chain makes the walk's stop rule visible.
"""

from __future__ import annotations

import math
from itertools import pairwise

import numpy as np
import pytest

import vek_core
from conftest import METRICS, above, below, build_index, chain_graph, complete_graph, load_crafted, saved
from indexfile import IndexFile
from reference import distances as reference_distances
from reference import l2sq, sqnorm

F32 = np.float32
U64 = np.uint64

GAP_FLOOR = F32(0.01)
GAP = F32(0.6)
FAR = F32(2.0)
BOUNDARY = F32(0.995)


# --------------------------------------------------------------------------------------------------
# Helpers


def gap_cut(ranked):
    """Ids of (dist, id) pairs in ascending distance, cut at the first large gap or past 2.0."""
    if not ranked:
        return []
    out = [ranked[0][1]]
    for (prev, _), (cur, i) in pairwise(ranked):
        prev, cur = F32(prev), F32(cur)
        if (prev > GAP_FLOOR and F32(cur - prev) > GAP) or cur > FAR:
            break
        out.append(i)
    return out


def vector_at_sq_distance(target) -> np.ndarray:
    """A 2-D float32 vector whose kernel-order squared distance from the origin is exactly `target`."""
    target = F32(target)
    for y in (0.0, 2.0**-5, 2.0**-4, 3 * 2.0**-5, 2.0**-3, 5 * 2.0**-5, 3 * 2.0**-4):
        y = F32(y)
        rest = float(target) - float(y) ** 2
        if rest < 0:
            continue
        x0 = F32(math.sqrt(rest))
        for step in range(-12, 13):
            x = F32(x0 + F32(step) * np.spacing(x0)) if x0 != 0 else F32(0)
            v = np.array([x, y], dtype=F32)
            if l2sq(np.zeros(2, F32), v) == target:
                return v
    raise AssertionError(f"no 2-D vector at squared distance {target!r}")


ORIGIN = np.zeros(2, dtype=F32)


# --------------------------------------------------------------------------------------------------
# Gap cut-off on exact distances


CUT_CASES = [
    # (match distances in ascending order, how many of them survive the cut)
    ([0.005, 0.9], 2),  # the gap rule needs the previous distance above 0.01
    ([0.02, 0.7], 1),  # gap 0.68 > 0.6
    ([0.1, 0.2, 0.9, 1.0], 2),  # gap 0.7 at the third
    ([1.8, 2.1], 1),  # 2.1 > 2.0
    ([3.0], 1),  # the nearest match is kept whatever its distance
    ([2.5, 2.6], 1),
    ([0.01, 0.9], 2),  # previous exactly 0.01f: not above the floor
    ([above(0.01), 0.9], 1),
    ([0.5, 1.1], 2),  # 1.1f - 0.5 is exactly 0.6f: not above the gap
    ([0.5, above(1.1)], 1),
    ([1.5, 2.0], 2),  # exactly 2.0 is kept
    ([1.5, above(2.0)], 1),
    ([0.0, 0.5, 1.2, 1.7], 2),
    ([0.001, 0.002, 1.9], 3),
    ([0.3, 0.6, 0.9, 1.2, 1.5, 1.8], 6),
    ([0.2, 0.79, 1.38, 1.97], 4),  # every gap 0.59
]


@pytest.mark.parametrize("entry_is_match", [False, True], ids=["entry-decoy", "entry-match"])
@pytest.mark.parametrize("targets,kept", CUT_CASES, ids=[",".join(f"{t:.9g}" for t in c[0]) for c in CUT_CASES])
def test_gap_cut_off_on_exact_distances(tmp_path, targets, kept, entry_is_match):
    # Matches carry bit 0; decoys (bit 1) sit between and around them and must not influence the cut.
    decoys = [0.04, 0.65, 1.45, 4.0]
    vectors, masks, dists = [], [], []
    for t in decoys:
        vectors.append(vector_at_sq_distance(t))
        masks.append(2)
        dists.append(F32(t))
    match_ids = []
    for t in targets:
        match_ids.append(len(vectors))
        vectors.append(vector_at_sq_distance(t))
        masks.append(1)
        dists.append(F32(t))
    ep = match_ids[-1] if entry_is_match else len(decoys) - 1
    index = load_crafted(tmp_path, complete_graph(vectors, masks=masks, ep=ep), "euclidean")

    for i, d in enumerate(dists):  # the crafted distances are the ones the index computes
        assert F32(index.compute_distance(ORIGIN, i)) == d

    assert index.filtered_search(ORIGIN, 10, 1) == match_ids[:kept]
    # Fewer wanted than survive: the k nearest, still cut.
    assert index.filtered_search(ORIGIN, 1, 1) == match_ids[:1]


def test_gap_cut_applies_to_matches_only(tmp_path):
    # Without a mask every node is a match, and the decoy at 0.4 bridges the gap between 0.1 and 0.9.
    targets = [0.1, 0.4, 0.9]
    vectors = [vector_at_sq_distance(t) for t in targets]
    index = load_crafted(tmp_path, complete_graph(vectors, masks=[1, 2, 1], ep=2), "euclidean")
    assert index.filtered_search(ORIGIN, 10) == [0, 1, 2]
    assert index.filtered_search(ORIGIN, 10, 1) == [0]


# --------------------------------------------------------------------------------------------------
# Empty results and k <= 0


def test_empty_and_entryless_indexes_answer_nothing():
    q = np.zeros(3, F32)
    index = vek_core.HyperbolicIndex(3, metric="euclidean")
    for k in (-5, 0, 1, 10):
        assert index.filtered_search(q, k) == []
    for v in np.eye(3, dtype=F32):
        index.add_item_flat(v, 1)
    for k in (-5, 0, 1, 10):
        assert index.filtered_search(q, k) == []
        assert index.filtered_search(q, k, 1, 1, 100.0, 0.0) == []


@pytest.mark.parametrize("metric", METRICS)
def test_single_linked_node(metric):
    index = vek_core.HyperbolicIndex(2, metric=metric)
    index.add_item_and_link(np.array([0.3, 0.1], F32), 0b101)
    q = np.array([-0.2, 0.4], F32)
    for k in (-1, 0, 1, 5):
        assert index.filtered_search(q, k) == [0]
        assert index.filtered_search(q, k, 0b100) == [0]
        assert index.filtered_search(q, k, 0b010) == []


@pytest.mark.parametrize("k", [0, -1, -1000, -(2**31)])
def test_non_positive_k_returns_the_entry_alone(tmp_path, k):
    # Two layers: the descent moves from node 0 to node 9 on layer 1 before layer 0 is searched.
    f = chain_graph(np.arange(10), masks=[1] * 9 + [2])
    f.levels[0] = f.levels[9] = 1
    f.links[0].append([9])
    f.links[9].append([0])
    f.ep_layer = 1
    index = load_crafted(tmp_path, f, "euclidean")
    q = np.array([8.6], F32)
    assert index.filtered_search(q, k) == [9]
    assert index.filtered_search(q, k, 2) == [9]
    assert index.filtered_search(q, k, 1) == []  # node 8 matches and is nearer, but is never reached
    assert index.filtered_search(q, k, 0, 2000, 0.1) == []
    assert index.filtered_search(q, k, 0, 2000, 0.2) == [9]
    assert index.filtered_search(np.array([0.4], F32), k) == [0]


@pytest.mark.parametrize("k", [-3, 0, 1, 4, 100])
def test_mask_nothing_satisfies(tmp_path, k):
    rng = np.random.default_rng(11)
    vectors = rng.normal(0, 0.3, (12, 3)).astype(F32)
    masks = rng.integers(0, 2**40, 12, dtype=U64)
    index = load_crafted(tmp_path, complete_graph(vectors, masks=masks, ep=5), "euclidean")
    for q in vectors[:4]:
        assert index.filtered_search(q, k, 1 << 45) == []
        assert index.filtered_search(q, k, (1 << 63) | 1) == []


def test_node_mask_with_extra_bits_passes(tmp_path):
    vectors = [vector_at_sq_distance(t) for t in (0.1, 0.2, 0.3)]
    index = load_crafted(tmp_path, complete_graph(vectors, masks=[0b0110, 0b0010, 0b1111]), "euclidean")
    assert index.filtered_search(ORIGIN, 5, 0b0010) == [0, 1, 2]
    assert index.filtered_search(ORIGIN, 5, 0b0110) == [0, 2]
    assert index.filtered_search(ORIGIN, 5, 0b1000) == [2]


# --------------------------------------------------------------------------------------------------
# Norm and radius filters


@pytest.fixture
def norm_graph(tmp_path):
    """Nodes on the x axis; the query is the origin, so each squared distance equals the squared norm.

    Node 3's cached norm is missing (-1); its distance is still 0.0625 (recomputed from the vector).
    """
    vectors = [[0.5, 0], [0.75, 0], [1.0, 0], [0.25, 0], [0.125, 0], [0, 0]]
    norms = [0.25, 0.5625, 1.0, -1.0, 0.015625, 0.0]
    return load_crafted(tmp_path, complete_graph(vectors, norms=norms, ep=2), "euclidean")


@pytest.mark.parametrize(
    "min_norm,expected",
    [
        (-1.0, [5, 4, 3, 0, 1, 2]),
        (math.nan, [5, 4, 3, 0, 1, 2]),
        (0.0, [5, 4, 0, 1, 2]),  # the missing norm is not recomputed for the test
        (0.015625, [4, 0, 1, 2]),
        (0.25, [0, 1, 2]),  # equality passes
        (0.5, [1, 2]),  # compared as given: node 0 (0.25) fails, though its norm 0.5 equals the bound
        (0.5625, [1, 2]),
        (1.0, [2]),
        (above(1.0), []),
    ],
)
def test_min_norm_compared_as_given_with_cached_squared_norm(norm_graph, min_norm, expected):
    assert norm_graph.filtered_search(ORIGIN, 10, 0, 2000, -1.0, min_norm) == expected


def test_min_norm_differs_from_graph_search(norm_graph):
    # The graph search squares its bound (0.5 -> 0.25), the filtered search does not.
    assert norm_graph.custom_hnsw_search(ORIGIN, 10, 0, 50, -1.0, 0.5) == [0, 1, 2]
    assert norm_graph.filtered_search(ORIGIN, 10, 0, 2000, -1.0, 0.5) == [1, 2]


@pytest.mark.parametrize(
    "max_radius,expected",
    [
        (-1.0, [5, 4, 3, 0, 1, 2]),
        (math.nan, [5, 4, 3, 0, 1, 2]),
        (math.inf, [5, 4, 3, 0, 1, 2]),
        (0.0, [5]),  # squared distance 0: only the node on the query
        (0.0625, [5, 4, 3]),  # inclusive
        (below(0.0625), [5, 4]),
        (0.25, [5, 4, 3, 0]),  # squared units: 0.25 is the node at (0.5, 0)
        (0.5, [5, 4, 3, 0]),
        (1.0, [5, 4, 3, 0, 1, 2]),
    ],
)
def test_max_radius_bounds_the_squared_distance(norm_graph, max_radius, expected):
    assert norm_graph.filtered_search(ORIGIN, 10, 0, 2000, max_radius) == expected


def test_all_three_filters_together(norm_graph, tmp_path):
    f = IndexFile.read(tmp_path / "graph.bin")
    f.masks = np.array([1, 3, 1, 3, 3, 2], U64)
    index = load_crafted(tmp_path, f, metric="euclidean", name="masked.bin")
    assert index.filtered_search(ORIGIN, 10, 1, 2000, 0.6, 0.0) == [4, 0, 1]
    assert index.filtered_search(ORIGIN, 10, 2, 2000, 0.6, 0.0) == [5, 4, 1]
    assert index.filtered_search(ORIGIN, 10, 3, 2000, 0.5, 0.3) == []


def test_poincare_radius_zero_returns_nothing(tmp_path):
    vectors = [[0.5, 0], [0.25, 0], [0, 0]]
    index = load_crafted(tmp_path, complete_graph(vectors, ep=0), metric="poincare")
    assert index.filtered_search(ORIGIN, 5) == [2, 1, 0]
    assert index.filtered_search(ORIGIN, 5, 0, 2000, 0.0) == []
    # The smallest Poincaré distance, arcosh(1.000001), is reached by the node on the query.
    assert index.filtered_search(ORIGIN, 5, 0, 2000, 0.0013810392701998353) == [2]


# --------------------------------------------------------------------------------------------------
# Poincaré boundary rule


@pytest.mark.parametrize(
    "metric,cached,skipped",
    [
        ("poincare", 0.995, True),  # the raw cached value is tested
        ("poincare", below(0.995), False),
        ("poincare", 5.0, True),
        ("poincare", -1.0, False),  # a missing norm passes the rule and is recomputed for the distance
        ("euclidean", 5.0, False),
        ("cosine", 5.0, False),
    ],
)
def test_boundary_rule_uses_cached_norm(tmp_path, metric, cached, skipped):
    # Node 1 sits on the query; its cached norm only matters to the boundary rule, since o = 0.
    vectors = [[-0.5, 0.0], [0.3, 0.0]]
    index = load_crafted(tmp_path, complete_graph(vectors, norms=[0.25, cached], ep=0), metric=metric)
    q = np.array([0.3, 0.0], F32)
    if metric == "poincare":
        assert index.filtered_search(q, 5) == ([0] if skipped else [1, 0])
        assert index.filtered_search(q, 1) == ([0] if skipped else [1])
    else:
        assert index.filtered_search(q, 5)[0] == 1


def test_boundary_node_returned_when_it_is_the_entry(tmp_path):
    vectors = [[0.9975, 0.0], [0.3, 0.0], [0.2, 0.1]]
    index = load_crafted(tmp_path, complete_graph(vectors, ep=0), metric="poincare")
    assert index.get_stored_norm(0) >= BOUNDARY
    assert index.filtered_search(vectors[0], 3) == [0]  # nodes 1 and 2 are far beyond 2.0
    assert index.filtered_search(vectors[0], 0) == [0]
    # Entered elsewhere, the boundary node is never measured.
    index2 = load_crafted(tmp_path, complete_graph(vectors, ep=1), metric="poincare", name="g2.bin")
    assert 0 not in index2.filtered_search(vectors[0], 3)
    assert 0 not in index2.filtered_search(vectors[1], 3)


# --------------------------------------------------------------------------------------------------
# Agreement with the exhaustive answer where the walk reaches every node


def node_set(metric, rng, n=40, dim=13):
    if metric == "euclidean":
        scale = rng.choice([0.05, 0.12, 0.25], size=(n, 1))
        vectors = rng.normal(0, 1, (n, dim)) * scale
    elif metric == "cosine":
        base = rng.normal(0, 1, (4, dim))
        vectors = base[rng.integers(0, 4, n)] + rng.normal(0, 0.6, (n, dim))
    else:
        direction = rng.normal(0, 1, (n, dim))
        direction /= np.linalg.norm(direction, axis=1, keepdims=True)
        radius_sq = rng.uniform(0, 0.4, n)
        radius_sq[:8] = [0.99, 0.994, 0.995, 0.996, 0.999, 1.0, 1.2, 2.0]  # around and beyond the boundary
        vectors = direction * np.sqrt(radius_sq)[:, None]
    vectors = vectors.astype(F32)
    norms = np.array([sqnorm(v) for v in vectors], dtype=F32)
    norms[[9, 17, 30]] = -1.0  # not cached
    masks = rng.integers(0, 8, n).astype(U64)
    masks[rng.random(n) < 0.3] |= U64(1 << 63)
    return vectors, norms, masks


FILTERS = {
    # metric -> (radius, min_norm) used by the filter combinations
    "euclidean": (0.5, 0.15),
    "cosine": (0.9, 10.0),
    "poincare": (1.0, 0.2),
}


def passes(i, d, mask, radius, min_norm, norms, masks):
    if mask and (int(masks[i]) & mask) != mask:
        return False
    if radius >= 0 and not d <= F32(radius):
        return False
    return not (min_norm >= 0) or bool(norms[i] >= F32(min_norm))


def expected_filtered(metric, ref, k, mask, radius, min_norm, ep, norms, masks):
    """Top k of the nodes the search may return, by reference distance, cut at the first gap."""
    if k <= 0:
        return [ep] if passes(ep, ref[ep], mask, radius, min_norm, norms, masks) else []
    kept = []
    for i in np.argsort(ref, kind="stable"):
        if metric == "poincare" and i != ep and norms[i] >= BOUNDARY:
            continue  # never measured unless it is the entry
        if passes(i, ref[i], mask, radius, min_norm, norms, masks):
            kept.append((ref[i], int(i)))
    return gap_cut(kept[:k])


@pytest.mark.parametrize("metric,entry", [(m, "ordinary") for m in METRICS] + [("poincare", "boundary")])
def test_complete_graph_matches_exhaustive_answer(tmp_path, metric, entry):
    rng = np.random.default_rng({"euclidean": 1, "cosine": 2, "poincare": 3}[metric])
    vectors, norms, masks = node_set(metric, rng)
    n = len(vectors)
    ep = 3 if entry == "boundary" else 20
    if metric == "poincare":
        assert (norms[ep] >= BOUNDARY) == (entry == "boundary")
    index = load_crafted(tmp_path, complete_graph(vectors, norms=norms, masks=masks, ep=ep), metric=metric)

    queries = [vectors[i] for i in (0, 5, 9, 20, 33)]
    queries += list((vectors[rng.integers(0, n, 5)] + rng.normal(0, 0.05, (5, vectors.shape[1]))).astype(F32))

    radius, min_norm = FILTERS[metric]
    combos = [(0, -1.0, -1.0), (1, -1.0, -1.0), (3, -1.0, -1.0), (1 << 63, -1.0, -1.0), (0, radius, -1.0),
              (0, -1.0, min_norm), (2, radius, min_norm), (0, math.nan, math.nan), (1 << 40, -1.0, -1.0)]
    lengths = set()
    for q in queries:
        ref = reference_distances(metric, q, vectors, norms)
        assert len(set(ref.tolist())) == n  # no ties: the order is unique
        for i in (0, 9, ep, n - 1):
            assert F32(index.compute_distance(q, i)) == ref[i]
        for mask, r, mn in combos:
            # The exhaustive scan (no norm screen) ranks the mask and radius survivors the same way.
            flat = index.hardware_flat_search(q, n, mask, r)
            assert flat == [int(i) for i in np.argsort(ref, kind="stable")
                            if passes(i, ref[i], mask, r, -1.0, norms, masks)]
            for k in (-2, 0, 1, 2, 5, 40, 100):
                want = expected_filtered(metric, ref, k, mask, r, mn, ep, norms, masks)
                # Matching does not depend on the beam: with a complete graph every node is scored.
                for ef in (2000, 1):
                    got = index.filtered_search(q, k, mask, ef, r, mn)
                    assert got == want, (k, mask, r, mn, ef)
                lengths.add(len(want))
    assert {0, 1}.issubset(lengths) and max(lengths) >= 3


# --------------------------------------------------------------------------------------------------
# The entry node is always expanded when k >= 1


CHAIN = np.arange(10, dtype=F32)


@pytest.mark.parametrize("q", [6.3, 2.7, 9.0, 12.0, 0.0, -2.0, 4.8])
def test_k1_walks_past_the_entry_to_the_nearest_node(tmp_path, q):
    index = load_crafted(tmp_path, chain_graph(CHAIN), "euclidean")
    query = np.array([q], F32)
    nearest = int(np.argmin(np.abs(CHAIN - F32(q))))
    assert index.filtered_search(query, 1) == [nearest]
    assert index.filtered_search(query, 2)[0] == nearest


@pytest.mark.parametrize("q", [6.3, 9.0, 0.4])
def test_k1_with_mask_finds_nearest_match_along_chain(tmp_path, q):
    masks = [1 if i % 2 == 0 else 2 for i in range(10)]
    index = load_crafted(tmp_path, chain_graph(CHAIN, masks=masks), "euclidean")
    query = np.array([q], F32)
    evens = CHAIN[::2]
    assert index.filtered_search(query, 1, 1) == [2 * int(np.argmin(np.abs(evens - F32(q))))]
    odds = CHAIN[1::2]
    assert index.filtered_search(query, 1, 2) == [2 * int(np.argmin(np.abs(odds - F32(q)))) + 1]


# --------------------------------------------------------------------------------------------------
# Search widths below 1 behave as width 1


WIDTHS = [0, -1, -50, -(2**31)]


@pytest.mark.parametrize("ef", WIDTHS)
def test_width_below_one_on_chain(tmp_path, ef):
    index = load_crafted(tmp_path, chain_graph(CHAIN), "euclidean")
    q = np.array([6.3], F32)
    # A one-wide beam walks greedily from node 0 down the chain to the nearest node.
    assert index.custom_hnsw_search(q, 0, 0, ef) == [6]
    assert index.custom_hnsw_search(q, 0, 0, ef) == index.custom_hnsw_search(q, 0, 0, 1)
    assert index.custom_hnsw_search(q, 3, 0, ef) == index.custom_hnsw_search(q, 3, 0, 1)
    for k in (0, -1, -7):
        assert index.filtered_search(q, k, 0, ef) == [0]
        assert index.filtered_search(q, k, 0, ef) == index.filtered_search(q, k, 0, 1)
        assert index.filtered_search(q, k, 1, ef) == []


@pytest.mark.parametrize("metric", METRICS)
def test_width_below_one_on_built_graph(metric):
    rng = np.random.default_rng(5)
    vectors = (rng.normal(0, 0.2, (120, 6))).astype(F32)
    index = build_index(vectors, metric, masks=np.arange(120) % 4, M=4, ef_construction=16)
    for q in rng.normal(0, 0.2, (10, 6)).astype(F32):
        for ef in WIDTHS:
            for k in (0, 1, 4):
                assert index.custom_hnsw_search(q, k, 0, ef) == index.custom_hnsw_search(q, k, 0, 1)
                assert index.custom_hnsw_search(q, k, 2, ef) == index.custom_hnsw_search(q, k, 2, 1)
            for k in (-3, 0, 1, 4):
                assert index.filtered_search(q, k, 0, ef) == index.filtered_search(q, k, 0, 1)
                assert index.filtered_search(q, k, 1, ef, 0.5) == index.filtered_search(q, k, 1, 1, 0.5)


# --------------------------------------------------------------------------------------------------
# Query length


def test_query_length(tmp_path):
    vectors = [vector_at_sq_distance(t) for t in (0.1, 0.3, 0.6)]
    index = load_crafted(tmp_path, complete_graph(vectors, ep=2), "euclidean")
    with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
        index.filtered_search(np.zeros(1, F32), 3)
    # Extra values are ignored: only the first `dimension` are the query.
    longer = np.array([0.0, 0.0, 7.0, -3.0], F32)
    assert index.filtered_search(longer, 3) == index.filtered_search(ORIGIN, 3) == [0, 1, 2]


# --------------------------------------------------------------------------------------------------
# update_masks


@pytest.fixture
def masked_graph(tmp_path):
    rng = np.random.default_rng(8)
    vectors = rng.normal(0, 0.2, (16, 4)).astype(F32)
    masks = np.full(16, 1, U64)
    index = load_crafted(tmp_path, complete_graph(vectors, masks=masks, ep=0), "euclidean")
    return index, vectors


def answers(index, vectors, bits=(0, 1, 2, 1 << 5, 1 << 63)):
    n = len(vectors)
    out = []
    for q in vectors[::3]:
        for b in bits:
            out.append(index.filtered_search(q, 4, b))
            out.append(index.custom_hnsw_search(q, 4, b, n))
            out.append(index.hardware_flat_search(q, 4, b))
    return out


@pytest.mark.parametrize("j", [0, 7, 15])
@pytest.mark.parametrize("bit", [1 << 5, 1 << 63])
def test_update_masks_takes_effect_for_all_searches(masked_graph, tmp_path, j, bit):
    index, vectors = masked_graph
    n = len(vectors)
    new = np.full(n, 2, U64)
    new[j] |= U64(bit)
    assert index.update_masks(new) is None
    assert np.array_equal(saved(index, tmp_path / "m.bin").masks, new)
    for q in vectors:
        assert index.filtered_search(q, 5, bit) == [j]
        assert index.custom_hnsw_search(q, 5, bit, n) == [j]
        assert index.hardware_flat_search(q, 5, bit) == [j]
        assert index.filtered_search(q, 5, 1) == []  # the masks set before are gone
        assert index.hardware_flat_search(q, 5, 1) == []
        assert len(index.filtered_search(q, 5, 2)) >= 1


@pytest.mark.parametrize("delta", [-1, 1, -16])
def test_update_masks_wrong_size_leaves_masks(masked_graph, tmp_path, delta):
    index, vectors = masked_graph
    n = len(vectors)
    before = answers(index, vectors)
    bad = np.full(n + delta, 1 << 5, U64)
    with pytest.raises(RuntimeError) as e:
        index.update_masks(bad)
    assert str(e.value) == "Mask array size does not match graph size!"
    assert np.array_equal(saved(index, tmp_path / "m.bin").masks, np.full(n, 1, U64))
    assert answers(index, vectors) == before


@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.float64, np.float32])
def test_update_masks_refuses_other_element_types(masked_graph, tmp_path, dtype):
    index, vectors = masked_graph
    with pytest.raises(TypeError):
        index.update_masks(np.full(len(vectors), 2, dtype))
    assert np.array_equal(saved(index, tmp_path / "m.bin").masks, np.full(len(vectors), 1, U64))


def test_update_masks_counts_all_elements_of_the_array(masked_graph, tmp_path):
    index, vectors = masked_graph
    n = len(vectors)
    new = np.arange(n, dtype=U64) << U64(1)
    index.update_masks(new.reshape(4, n // 4))  # n elements in two dimensions, taken in C order
    assert np.array_equal(saved(index, tmp_path / "a.bin").masks, new)
    wide = np.arange(2 * n, dtype=U64) * U64(3)
    index.update_masks(wide[::2])  # a strided view is copied into a contiguous array first
    assert np.array_equal(saved(index, tmp_path / "b.bin").masks, wide[::2])


def test_update_masks_on_empty_index():
    index = vek_core.HyperbolicIndex(3)
    assert index.update_masks(np.array([], dtype=U64)) is None
    with pytest.raises(RuntimeError, match="^Mask array size does not match graph size!$"):
        index.update_masks(np.array([1], dtype=U64))
    assert index.get_stats()["num_nodes"] == 0


def test_update_masks_applies_to_flat_and_linked_nodes(tmp_path):
    rng = np.random.default_rng(9)
    vectors = rng.normal(0, 1, (30, 3)).astype(F32)
    index = build_index(vectors, "cosine", masks=np.full(30, 7), linked=[i % 3 != 0 for i in range(30)])
    new = np.array([1 << (i % 64) for i in range(30)], dtype=U64)
    index.update_masks(new)
    assert np.array_equal(saved(index, tmp_path / "m.bin").masks, new)
    for i in range(30):
        assert index.hardware_flat_search(vectors[i], 3, 1 << i) == [i]
        if i % 3:
            assert index.filtered_search(vectors[i], 3, 1 << i) == [i]
        else:  # flat nodes are never reached through the graph
            assert index.filtered_search(vectors[i], 3, 1 << i) == []
