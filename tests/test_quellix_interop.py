"""quellix and vek_core on one graph: under "euclidean" and "cosine" an index saved with save_vek_core and
loaded into vek_core.HyperbolicIndex answers every search with the same ids, row for row, and the same
distances bit for bit; vek_core files load into quellix."""

from __future__ import annotations

import numpy as np
import pytest

import quellix
import reference as R
import vek_core
from quellix_data import built, points

N, D, K = 700, 13, 10


@pytest.fixture(scope="module", params=["euclidean", "cosine"])
def pair(request, tmp_path_factory):
    metric = request.param
    masks = (np.arange(N, dtype=np.uint64) % 5) | (np.arange(N, dtype=np.uint64) % 3 << 3)
    index, data = built(n=N, dim=D, metric=metric, masks=masks, M=8, ef_construction=60)
    path = tmp_path_factory.mktemp("interop") / "graph.vek"
    index.save_vek_core(path)
    legacy = vek_core.HyperbolicIndex(D, M=8, metric=metric)
    legacy.load_index(str(path))
    return metric, index, legacy, data


def _filters(index, queries):
    """(filter_mask, radius) pairs: none, a mask, a radius near the median 10th distance, both."""
    tenth = float(np.median(index.exact_search(queries, K)[1][:, K - 1]))
    return [(0, None), (1, None), (0, tenth), (8 | 2, 2.0 * tenth)]


def _trim(ids):
    return ids[ids >= 0].tolist()


def test_graph_searches_and_scan_agree_row_for_row(pair):
    metric, index, legacy, data = pair
    queries = points(40, D, metric, seed=11)
    for mask, radius in _filters(index, queries):
        r = -1.0 if radius is None else radius
        for ef in (10, 64):
            # vek_core always walks: so do these, whatever quellix's planner would choose.
            g_ids, _ = index.search(queries, K, ef=ef, filter_mask=mask, max_distance=radius, strategy="graph")
            f_ids, _ = index.filtered_search(queries, K, ef=ef, filter_mask=mask, max_distance=radius, cut_gaps=True,
                                             strategy="graph")
            for q, gi, fi in zip(queries, g_ids, f_ids):
                assert _trim(gi) == legacy.custom_hnsw_search(q, K, filter_mask=mask, ef_search=ef, max_radius=r)
                assert _trim(fi) == legacy.filtered_search(q, K, filter_mask=mask, ef_search=ef, max_radius=r)
        e_ids, _ = index.exact_search(queries, K, filter_mask=mask, max_distance=radius)
        for q, ei in zip(queries, e_ids):
            assert _trim(ei) == legacy.hardware_flat_search(q, K, mask, max_radius=r)


def test_returned_distances_are_compute_distance_bit_for_bit(pair):
    metric, index, legacy, data = pair
    queries = points(10, D, metric, seed=12)
    for method in (index.search, index.filtered_search, index.exact_search):
        ids, dists = method(queries, K)
        for q, row_ids, row_d in zip(queries, ids, dists):
            expected = np.array([legacy.compute_distance(q, int(i)) for i in row_ids], dtype=np.float32)
            assert (R.bits(row_d) == R.bits(expected)).all()


def test_a_vek_core_file_loads_with_the_same_answers(pair, tmp_path):
    metric, index, legacy, data = pair
    path = tmp_path / "legacy.vek"
    legacy.save_index(str(path))
    loaded = quellix.Index.load_vek_core(path, metric)
    assert (loaded.dim, loaded.M, loaded.metric, len(loaded)) == (D, 8, metric, N)
    queries = points(10, D, metric, seed=13)
    for a, b in zip(index.search(queries, K, ef=32), loaded.search(queries, K, ef=32)):
        np.testing.assert_array_equal(a, b)
    np.testing.assert_array_equal(loaded.masks, index.masks)


def test_missing_cached_norms_in_a_vek_core_file_are_recomputed(tmp_path):
    legacy = vek_core.HyperbolicIndex(4, metric="cosine")
    for v in points(5, 4, "cosine"):
        legacy.add_item_and_link(v)
    path = tmp_path / "g.vek"
    legacy.save_index(str(path))
    raw = bytearray(path.read_bytes())
    raw[28 + 16:28 + 20] = np.float32(-1.0).tobytes()  # node 0's cached norm: missing
    path.write_bytes(bytes(raw))
    legacy.load_index(str(path))
    loaded = quellix.Index.load_vek_core(path, "cosine")
    q = points(1, 4, "cosine", seed=1)[0]
    assert (R.bits(loaded.distances(q, [0])) == R.bits(np.float32(legacy.compute_distance(q, 0)))).all()


def test_poincare_saves_squared_norms_for_vek_core(tmp_path):
    index, data = built(n=50, dim=D, metric="poincare")
    index.save_vek_core(tmp_path / "p.vek")
    legacy = vek_core.HyperbolicIndex(D)
    legacy.load_index(str(tmp_path / "p.vek"))
    norms = np.array([legacy.get_stored_norm(i) for i in range(50)], dtype=np.float32)
    assert (R.bits(norms) == R.bits(R.sqnorm(data))).all()
    back = quellix.Index.load_vek_core(tmp_path / "p.vek", "poincare")
    np.testing.assert_array_equal(back.exact_search(data[:5], 5)[0], index.exact_search(data[:5], 5)[0])


@pytest.mark.parametrize("crafted, why", [
    (dict(dimension=0), "dimension"),
    (dict(max_m=1), "M"),
])
def test_vek_core_files_quellix_cannot_hold(tmp_path, crafted, why):
    from indexfile import IndexFile
    dim = crafted.get("dimension", 3)
    f = IndexFile(dimension=dim, max_m=crafted.get("max_m", 16), vectors=np.zeros((1, dim), np.float32),
                  norms=np.zeros(1, np.float32), masks=np.zeros(1, np.uint64), levels=[0], links=[[[]]])
    f.write(tmp_path / "x.vek")
    with pytest.raises(RuntimeError, match=why):
        quellix.Index.load_vek_core(tmp_path / "x.vek", "euclidean")


def test_a_vector_outside_the_ball_is_refused_by_the_poincare_load(tmp_path):
    legacy = vek_core.HyperbolicIndex(3)
    legacy.add_item_flat(np.array([0.1, 0.2, 0.3], np.float32))
    legacy.add_item_flat(np.array([0.9, 0.9, 0.0], np.float32))
    legacy.save_index(str(tmp_path / "out.vek"))
    with pytest.raises(RuntimeError, match="node 1"):
        quellix.Index.load_vek_core(tmp_path / "out.vek", "poincare")
    assert len(quellix.Index.load_vek_core(tmp_path / "out.vek", "euclidean")) == 2
