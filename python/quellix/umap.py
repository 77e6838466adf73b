"""quellix.umap.precomputed_knn: the k-nearest-neighbour graph UMAP takes, from a quellix.Index.

``umap.UMAP(precomputed_knn=quellix.umap.precomputed_knn(X, 15))`` skips UMAP's own neighbour search.
This module imports neither umap-learn nor scikit-learn; it also holds the metric names and the
neighbour search that :mod:`quellix.sklearn` shares, so that the two speak the same distances.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from quellix._index import ArrayLike, Index, _integer

__all__ = ["precomputed_knn", "METRICS"]

#: Metric names, with the meaning scikit-learn and UMAP give them: "euclidean" the plain distance,
#: "sqeuclidean" its square, "cosine" one minus the cosine similarity, "poincare" the geodesic
#: distance in the unit Poincaré ball (UMAP's "poincare").
METRICS = ("euclidean", "sqeuclidean", "cosine", "poincare")
_INDEX_METRIC = {"euclidean": "euclidean", "sqeuclidean": "euclidean", "cosine": "cosine", "poincare": "poincare"}

#: The search width ``ef=None`` stands for: max(DEFAULT_EF, 2 * k). With 15 neighbours (width 32) of every
#: point of 20,000 and of 50,000 clustered 64-d points, a graph built at ef_construction 200 holds 0.9987
#: and 0.995 of the exact neighbours; width 64 reaches 0.9999 on the 20,000 for 1.6 times the search.
DEFAULT_EF = 32


def _metric(metric: Any) -> str:
    if not isinstance(metric, str) or metric not in _INDEX_METRIC:
        raise ValueError(f"unknown metric {metric!r}: valid metrics are " + ", ".join(map(repr, METRICS)))
    return metric


def _width(ef: Any, k: int) -> int:
    return max(DEFAULT_EF, 2 * k) if ef is None else max(k, _integer(ef, "ef", 1))


def _build(X: np.ndarray, metric: str, M: int, ef_construction: int, seed: int | None, threads: int) -> Index:
    """An index over the rows of X, node i holding row i."""
    index = Index(X.shape[1], _INDEX_METRIC[metric], M=M, ef_construction=ef_construction, seed=seed)
    index.add(X, num_threads=threads)
    return index


def _neighbours(index: Index, queries: np.ndarray, k: int, ef: int, metric: str,
                threads: int) -> tuple[np.ndarray, np.ndarray]:
    """The k nearest nodes of each query, nearest first: int64 ids and float64 distances in the
    metric's own units. Every row is full for k <= len(index): a row the walk leaves short (a node it
    cannot reach) is answered by the exact scan instead."""
    ids, dists = index.search(queries, k, ef=ef, num_threads=threads)
    short = np.flatnonzero((ids < 0).any(axis=1))
    if short.size:
        ids[short], dists[short] = index.exact_search(queries[short], k, num_threads=threads)
    return ids, _units(dists, metric)


def _units(dists: np.ndarray, metric: str, dtype: type = np.float64) -> np.ndarray:
    """The index's distances in the metric's own units, as `dtype`."""
    dists = dists.astype(dtype)
    # float32 rounding leaves a point a hair below 0 from itself under "cosine"; scikit-learn clips
    # cosine distances to [0, 2], and its neighbour consumers (TSNE) refuse negative ones.
    if metric == "cosine":
        np.clip(dists, 0.0, 2.0, out=dists)
    else:
        np.maximum(dists, 0.0, out=dists)
    if metric == "euclidean":
        np.sqrt(dists, out=dists)
    return dists


def _descent(X: np.ndarray, k: int, metric: str, seed: int | None, threads: int,
             dtype: type = np.float32) -> tuple[np.ndarray, np.ndarray]:
    """The k nearest other rows of every row of X by neighbour descent (no graph is built): int64 ids
    and distances in the metric's units, as `dtype`."""
    index = Index(X.shape[1], _INDEX_METRIC[metric])
    index.add(X, link=False)
    draw = int(np.random.default_rng(seed).integers(0, 2**63))
    ids, dists = index._engine.neighbour_graph(k, threads, draw)
    # A row the descent left short (its part, leaves and joins met fewer than k other rows) is answered
    # by the exact scan, which finds the row itself too: it is dropped there.
    short = np.flatnonzero((ids < 0).any(axis=1))
    if short.size:
        found, near = index.exact_search(X[short], k + 1, num_threads=threads)
        drop = np.where((found == short[:, None]).any(axis=1), np.argmax(found == short[:, None], axis=1), k)
        keep = np.arange(k + 1)[None, :] != drop[:, None]
        ids[short], dists[short] = found[keep].reshape(-1, k), near[keep].reshape(-1, k)
    return ids, _units(dists, metric, dtype)


def _threads(n_jobs: Any) -> int:
    """quellix's num_threads for a joblib-style n_jobs: None 1, -1 every core, -2 all but one, ..."""
    if n_jobs is None:
        return 1
    n_jobs = _integer(n_jobs, "n_jobs", -(1 << 16), 1 << 16)
    if n_jobs == 0:
        raise ValueError("n_jobs must be None, a positive integer or a negative one (-1: every core), got 0")
    if n_jobs > 0:
        return n_jobs
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    return max(1, cores + 1 + n_jobs)


def _dense_rows(X: Any) -> np.ndarray:
    """X as a 2-D array of real numbers with at least one row (the index checks the values)."""
    if hasattr(X, "tocsr") or hasattr(X, "todense"):
        raise TypeError("X is a sparse matrix: quellix indexes dense vectors, convert it with X.toarray()")
    try:
        arr = np.asarray(X)
    except ValueError as exc:  # ragged nested lists
        raise ValueError("X must be a 2-D array (n_samples, n_features)") from exc
    if arr.ndim != 2:
        raise ValueError(f"X must be a 2-D array (n_samples, n_features), got shape {arr.shape}")
    if arr.shape[0] < 1 or arr.shape[1] < 1:
        raise ValueError(f"X must hold at least one sample and one feature, got shape {arr.shape}")
    return arr


def precomputed_knn(X: ArrayLike, n_neighbors: int, *, metric: str = "euclidean", method: str = "auto",
                    M: int = 16, ef_construction: int = 200, ef: int | None = None, n_jobs: int | None = -1,
                    seed: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The ``n_neighbors`` nearest samples of every sample of X, as ``umap.UMAP(precomputed_knn=...)`` takes them.

    Returns ``(knn_indices, knn_dists)``: int32 and float32 arrays of shape (n_samples, n_neighbors),
    nearest first, as UMAP's own search returns them; column 0 is the sample itself at distance 0, as
    UMAP requires. Pass the same ``n_neighbors`` and ``metric`` to UMAP. ``metric`` is "euclidean" (the
    plain distance), "sqeuclidean", "cosine" or "poincare" (rows strictly inside the unit ball).
    ``method`` "descent" finds the neighbours by neighbour descent over the rows, seeded by parts around
    random pivots and by random-projection trees, without building a graph ("euclidean", "sqeuclidean"
    and "cosine" only);
    "graph" builds an index over X (``M``, ``ef_construction``) and searches it for every row at width
    ``max(ef, n_neighbors)``, ``ef=None`` being ``max(32, 2 * n_neighbors)``; "auto" (the default) takes
    "descent" where it applies. ``n_jobs`` threads do the work (-1, UMAP's default: every core; None:
    one). ``seed`` fixes the random draws: with one thread the answer is then the same on every call.
    UMAP cannot ``transform`` new data with these neighbours (it says so in a warning).
    """
    metric = _metric(metric)
    arr = _dense_rows(X)
    n = arr.shape[0]
    k = _integer(n_neighbors, "n_neighbors", 1)
    if k > n:
        raise ValueError(f"n_neighbors must be <= the number of samples, but n_neighbors = {k}, n_samples = {n}")
    M = _integer(M, "M", 2, 2**30)
    ef_construction = _integer(ef_construction, "ef_construction", 1)
    if method not in ("auto", "descent", "graph"):
        raise ValueError(f"method must be 'auto', 'descent' or 'graph', got {method!r}")
    if method == "descent" and metric == "poincare":
        raise ValueError('method="descent" takes the metrics "euclidean", "sqeuclidean" and "cosine"; '
                         'use method="graph" under "poincare"')
    width = _width(ef, k)
    threads = _threads(n_jobs)
    rows = np.arange(n)
    knn_indices = np.empty((n, k), dtype=np.int32)
    knn_dists = np.empty((n, k), dtype=np.float32)
    # UMAP reads column 0 as the sample itself, at distance 0.
    knn_indices[:, 0], knn_dists[:, 0] = rows, 0.0
    if method == "graph" or metric == "poincare":
        index = _build(arr, metric, M, ef_construction, seed, threads)
        ids, dists = _neighbours(index, arr, k, width, metric, threads)
        # The first k - 1 other samples, in order: duplicates (or a walk that missed it) may put the
        # sample itself elsewhere in its row, or nowhere.
        order = np.argsort(ids == rows[:, None], axis=1, kind="stable")[:, :k - 1]
        knn_indices[:, 1:] = np.take_along_axis(ids, order, axis=1)
        knn_dists[:, 1:] = np.take_along_axis(dists, order, axis=1)
    else:
        knn_indices[:, 1:], knn_dists[:, 1:] = _descent(arr, k - 1, metric, seed, threads)
    return knn_indices, knn_dists
