"""quellix.sklearn.KNNTransformer against scikit-learn's KNeighborsTransformer and its own estimator
checks, in front of TSNE and Isomap; quellix.umap.precomputed_knn against float64 neighbours and
inside umap-learn's UMAP."""

from __future__ import annotations

import pickle
import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn import config_context
from sklearn.datasets import load_digits
from sklearn.manifold import TSNE, Isomap, trustworthiness
from sklearn.neighbors import KNeighborsTransformer
from sklearn.pipeline import make_pipeline
from sklearn.utils.estimator_checks import parametrize_with_checks

import quellix
from quellix import _native
from quellix.sklearn import KNNTransformer
from quellix.umap import precomputed_knn


def _reference(metric: str, queries: np.ndarray, base: np.ndarray) -> np.ndarray:
    """Every float64 distance between the rows of queries and base, from the formulas themselves; a
    zero vector is at cosine distance 1 from everything."""
    q, b = queries.astype(np.float64), base.astype(np.float64)
    qn, bn = (q * q).sum(1)[:, None], (b * b).sum(1)[None, :]
    sq = np.maximum(qn + bn - 2.0 * q @ b.T, 0.0)
    if metric == "euclidean":
        return np.sqrt(sq)
    if metric == "sqeuclidean":
        return sq
    if metric == "cosine":
        norms = np.sqrt(qn) * np.sqrt(bn)
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(norms > 0.0, 1.0 - (q @ b.T) / norms, 1.0)
    return np.arccosh(1.0 + 2.0 * sq / ((1.0 - qn) * (1.0 - bn)))


def _rows(graph) -> list[tuple[np.ndarray, np.ndarray]]:
    return [(graph.indices[graph.indptr[i]:graph.indptr[i + 1]], graph.data[graph.indptr[i]:graph.indptr[i + 1]])
            for i in range(graph.shape[0])]


def _points(n: int, dim: int, metric: str, seed: int) -> np.ndarray:
    """Gaussian clusters; under "poincare" scaled into the ball, the farthest at norm 0.95."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(8, dim))
    x = centres[rng.integers(0, 8, n)] + 0.6 * rng.normal(size=(n, dim))
    if metric == "poincare":
        x *= 0.95 / np.linalg.norm(x, axis=1).max()
    return x


# ---- the graph -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("mode", ["distance", "connectivity"])
@pytest.mark.parametrize("metric", ["euclidean", "sqeuclidean", "cosine", "poincare"])
def test_graph_is_scikit_learns(metric, mode):
    # 400 samples and 50 new queries, no two alike: at the default width the graph must hold what
    # scikit-learn's exact transformer holds (the poincare metric, which it lacks, against the formula).
    X = _points(450, 12, metric, seed=1)
    fit, new = X[:400], X[400:]
    k = 7
    ours = KNNTransformer(k, metric=metric, mode=mode, seed=0, n_jobs=1)
    graphs = [ours.fit_transform(fit), ours.transform(new)]
    per_row = k + (mode == "distance")
    if metric == "poincare":
        expected = []
        for queries in (fit, new):
            d = _reference(metric, queries, fit)
            ids = np.argsort(d, axis=1, kind="stable")[:, :per_row]
            data = np.take_along_axis(d, ids, 1) if mode == "distance" else np.ones(ids.shape)
            expected.append(sp.csr_matrix((data.ravel(), ids.ravel(), np.arange(0, ids.size + 1, per_row)),
                                          shape=(len(queries), len(fit))))
    else:
        theirs = KNeighborsTransformer(n_neighbors=k, metric=metric, mode=mode).fit(fit)
        expected = [theirs.transform(fit), theirs.transform(new)]
    for got, want, queries in zip(graphs, expected, (fit, new)):
        assert isinstance(got, sp.csr_matrix) and got.shape == want.shape == (len(queries), 400)
        assert got.dtype == np.float64 and np.diff(got.indptr).tolist() == [per_row] * len(queries)
        pairs = {(i, j) for i, (cols, _) in enumerate(_rows(got)) for j in cols}
        wanted = {(i, j) for i, (cols, _) in enumerate(_rows(want)) for j in cols}
        assert len(pairs & wanted) >= 0.99 * len(wanted)
        ref = _reference(metric, queries, fit)
        for i, (cols, data) in enumerate(_rows(got)):
            assert len(set(cols.tolist())) == per_row
            if mode == "distance":
                # Each row sorted by distance, the distances those of the formulas (from float32 values).
                assert np.all(np.diff(data) >= 0.0) and np.all(data >= 0.0)
                np.testing.assert_allclose(data, ref[i, cols], rtol=2e-5, atol=2e-6)
            else:
                assert np.all(data == 1.0)
    if mode == "distance":
        # A fitted sample is its own nearest neighbour, at distance 0, as scikit-learn counts it.
        first = [cols[np.argmin(data)] for cols, data in _rows(graphs[0])]
        assert np.mean(np.asarray(first) == np.arange(400)) >= 0.99
        # float32 queries give float32 distances, as scikit-learn does; sparse arrays when configured so.
        assert ours.transform(new.astype(np.float32)).dtype == np.float32
        with config_context(sparse_interface="sparray"):
            assert isinstance(ours.transform(new), sp.csr_array)
    # One thread and a seed: the same graph on every fit, and after a pickle round trip, also of an
    # index that fit_transform left to be built on first use.
    pending = KNNTransformer(k, metric=metric, mode=mode, seed=0, n_jobs=1)
    pending.fit_transform(fit)
    for fitted in (KNNTransformer(k, metric=metric, mode=mode, seed=0, n_jobs=1).fit(fit), pending):
        again = pickle.loads(pickle.dumps(fitted))
        assert (again.transform(new) != graphs[1]).nnz == 0


@parametrize_with_checks([KNNTransformer(), KNNTransformer(3, metric="cosine", mode="connectivity", seed=0)])
def test_scikit_learn_estimator_checks(estimator, check):
    # check_array_api_input skips itself unless SCIPY_ARRAY_API=1 was set before SciPy loaded (it
    # passes then too).
    check(estimator)


def test_pipelines_into_tsne_and_isomap():
    X = _points(300, 10, "euclidean", seed=2)
    # Isomap on the transformer's graph is Isomap on its own exact graph: the same embedding up to the
    # sign of each component.
    ours = make_pipeline(KNNTransformer(8, seed=0), Isomap(n_neighbors=8, metric="precomputed")).fit_transform(X)
    theirs = Isomap(n_neighbors=8).fit_transform(X)
    np.testing.assert_allclose(np.abs(ours), np.abs(theirs), rtol=1e-4, atol=1e-6 * np.abs(theirs).max())
    # TSNE reads 3 * perplexity + 1 neighbours per sample from the graph and keeps the local structure.
    tsne = TSNE(metric="precomputed", init="random", perplexity=10, max_iter=250, random_state=0)
    Y = make_pipeline(KNNTransformer(31, seed=0), tsne).fit_transform(X)
    assert Y.shape == (300, 2) and np.isfinite(Y).all()
    assert trustworthiness(X, Y, n_neighbors=8) > 0.9


@pytest.mark.parametrize("params, X, error, match", [
    ({"metric": "manhattan"}, None, ValueError, "unknown metric 'manhattan'"),
    ({"mode": "weights"}, None, ValueError, "mode must be 'distance' or 'connectivity', got 'weights'"),
    ({"n_neighbors": 0}, None, ValueError, "n_neighbors must be >= 1, got 0"),
    ({"n_neighbors": 2.5}, None, TypeError, "n_neighbors must be an integer, not float"),
    ({"n_jobs": 0}, None, ValueError, "n_jobs must be None, a positive integer or a negative one"),
    ({"ef": 0}, None, ValueError, "ef must be >= 1, got 0"),
    ({"M": 1}, None, ValueError, r"M must be in \[2, "),
    ({}, sp.random(20, 5, density=0.5, format="csr", random_state=0), TypeError, "dense data is required"),
    ({}, np.full((20, 5), np.nan), ValueError, "Input X contains NaN"),
    # Refused by the index after the data passed scikit-learn's checks.
    ({"metric": "poincare"}, np.eye(20, 5), ValueError, "row 0 has norm 1: poincare vectors must lie strictly inside"),
])
def test_refused_fits_change_nothing(params, X, error, match):
    rng = np.random.default_rng(3)
    good = 0.2 * rng.normal(size=(30, 4))
    est = KNNTransformer(4, seed=0, n_jobs=1).fit(good)
    before = est.transform(good)
    est.set_params(**params)
    with pytest.raises(error, match=match):
        est.fit(rng.normal(size=(20, 5)) * 0.1 if X is None else X)
    # The estimator still holds the previous fit (parameters aside).
    est.set_params(**KNNTransformer(4, seed=0, n_jobs=1).get_params())
    assert est.n_samples_fit_ == 30 and est.n_features_in_ == 4
    assert (est.transform(good) != before).nnz == 0
    with pytest.raises(ValueError, match="Expected n_neighbors <= n_samples_fit, but n_neighbors = 31"):
        est.set_params(n_neighbors=30).transform(good)
    with pytest.raises(ValueError, match="X has 3 features, but KNNTransformer is expecting 4"):
        est.transform(good[:, :3])


def test_rows_a_walk_leaves_short_come_from_the_exact_scan(monkeypatch):
    X = _points(200, 6, "euclidean", seed=5)
    est = KNNTransformer(5, seed=0, n_jobs=1).fit(X)
    full = est.transform(X)
    search = type(est.index_).search

    def short_search(self, queries, k, **kw):
        ids, dists = search(self, queries, k, **kw)
        ids[::3, -2:], dists[::3, -2:] = -1, np.inf  # as a walk that met fewer than k nodes answers
        return ids, dists

    monkeypatch.setattr(type(est.index_), "search", short_search)
    assert (est.transform(X) != full).nnz == 0
    assert np.array_equal(precomputed_knn(X, 6, method="graph", seed=0, n_jobs=1)[0], full.indices.reshape(200, 6))


# ---- UMAP ----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("method", ["auto", "graph"])
@pytest.mark.parametrize("metric", ["euclidean", "sqeuclidean", "cosine", "poincare"])
def test_precomputed_knn_are_the_nearest_samples(metric, method):
    X = _points(500, 16, metric, seed=4)
    X[10:14] = X[20]  # five copies of one sample: each of them must still come first in its own row
    if metric == "cosine":
        X[30] = 0.0  # at distance 1 from every sample, itself included; mended to 0 in its own row
    k = 10
    ids, dists = precomputed_knn(X, k, metric=metric, method=method, seed=0)
    assert ids.dtype == np.int32 and dists.dtype == np.float32 and ids.shape == dists.shape == (500, k)
    assert ids.flags.c_contiguous and dists.flags.c_contiguous
    assert np.array_equal(ids[:, 0], np.arange(500)) and np.all(dists[:, 0] == 0.0)
    assert all(len(set(row)) == k for row in ids.tolist()) and np.all(np.diff(dists, axis=1) >= 0.0)
    ref = _reference(metric, X, X)
    np.fill_diagonal(ref, 0.0)
    np.testing.assert_allclose(dists[:, 1:], np.take_along_axis(ref, ids, 1)[:, 1:], rtol=2e-5, atol=2e-6)
    # What the rows hold are k nearest samples (any member of a tie counts).
    kth = np.sort(ref, axis=1)[:, k - 1:k]
    near = np.take_along_axis(ref, ids, 1) <= kth * (1 + 1e-6) + 1e-9
    assert near.mean() >= 0.99


@pytest.mark.parametrize("metric, dtype", [("euclidean", "float32"), ("cosine", "float32"),
                                           ("euclidean", "float16"), ("cosine", "int8")])
def test_neighbour_graph_holds_the_nearest_rows_at_the_index_distances(metric, dtype):
    n, dim, k = 3000, 24, 12
    X = _points(n, dim, "euclidean", seed=7).astype(np.float32)
    X[100:104] = X[50]  # ties at distance 0
    index = quellix.Index(dim, metric, dtype=dtype)
    index.add(X, link=False)
    ids, dists = index._engine.neighbour_graph(k, 2, 5)
    stored = index.get_vectors(np.arange(n))
    for i in range(n):  # each value is the index's own distance of the pair; nearest first, ties by id
        assert np.array_equal(dists[i], index.distances(stored[i], ids[i]))
    assert np.all((np.diff(dists, axis=1) > 0) | ((np.diff(dists, axis=1) == 0) & (np.diff(ids, axis=1) > 0)))
    assert not (ids == np.arange(n)[:, None]).any()
    ref = _reference("sqeuclidean" if metric == "euclidean" else metric, stored, stored)
    np.fill_diagonal(ref, np.inf)
    kth = np.sort(ref, axis=1)[:, k - 1:k]
    assert (np.take_along_axis(ref, ids, 1) <= kth * (1 + 1e-5) + 1e-9).mean() >= 0.99
    # One thread: the seed alone decides, whichever width the block kernels run at.
    one = index._engine.neighbour_graph(k, 1, 9)
    assert all(np.array_equal(a, b) for a, b in zip(one, index._engine.neighbour_graph(k, 1, 9)))
    _native._wide_tiles(False)
    try:
        narrow = index._engine.neighbour_graph(k, 1, 9)
    finally:
        _native._wide_tiles(True)
    assert all(np.array_equal(a, b) for a, b in zip(one, narrow))
    # Fewer rows than k + 1: every other row, then padding.
    small = quellix.Index(dim, metric, dtype=dtype)
    small.add(X[:5], link=False)
    few, far = small._engine.neighbour_graph(k, 1, 0)
    assert np.array_equal(np.sort(few[:, :4], axis=1), [[j for j in range(5) if j != i] for i in range(5)])
    assert np.all(few[:, 4:] == -1) and np.all(far[:, 4:] == np.inf)


@pytest.mark.parametrize("X, n_neighbors, kw, error, match", [
    (np.zeros((5, 3)), 6, {}, ValueError, "n_neighbors must be <= the number of samples, but n_neighbors = 6"),
    (np.zeros((5, 3)), 2, {"metric": "l1"}, ValueError, "unknown metric 'l1'"),
    (np.zeros((5, 3)), 2, {"n_jobs": 0}, ValueError, "n_jobs must be None"),
    (np.zeros((5, 3)), 2, {"method": "brute"}, ValueError, "method must be 'auto', 'descent' or 'graph'"),
    (np.full((5, 3), 0.1), 2, {"metric": "poincare", "method": "descent"}, ValueError, 'use method="graph"'),
    (np.zeros(5), 2, {}, ValueError, r"X must be a 2-D array \(n_samples, n_features\), got shape \(5,\)"),
    (sp.eye(5, format="csr"), 2, {}, TypeError, "X is a sparse matrix"),
    ([[0.0, 1.0], [np.inf, 0.0]], 1, {}, ValueError, "row 1 holds a value that is NaN, infinite"),
])
def test_precomputed_knn_refusals(X, n_neighbors, kw, error, match):
    with pytest.raises(error, match=match):
        precomputed_knn(X, n_neighbors, **kw)


@pytest.mark.filterwarnings("ignore:Tensorflow not installed:ImportWarning")
# UMAP's own note that these neighbours carry no search index for UMAP.transform.
@pytest.mark.filterwarnings(r"ignore:precomputed_knn\[2\]:UserWarning")
def test_umap_takes_precomputed_knn():
    umap = pytest.importorskip("umap")
    X = load_digits().data[:1000]
    n = 15

    def embed(**kw):
        return umap.UMAP(n_neighbors=n, n_epochs=100, random_state=0, n_jobs=1, compatibility_layout=True,
                         **kw).fit_transform(X)

    knn = precomputed_knn(X, n, seed=0, n_jobs=1)
    ours, theirs = embed(precomputed_knn=knn), embed()
    assert ours.shape == (1000, 2) and np.isfinite(ours).all()
    assert abs(trustworthiness(X, ours, n_neighbors=10) - trustworthiness(X, theirs, n_neighbors=10)) <= 0.01
