"""quellix.sklearn.KNNTransformer: scikit-learn's KNeighborsTransformer over a quellix.Index.

A drop-in for ``sklearn.neighbors.KNeighborsTransformer`` in front of estimators that take a
precomputed sparse neighbours graph (TSNE, Isomap, DBSCAN, SpectralClustering with
``metric="precomputed"``), with the graph found by a quellix HNSW index (``fit_transform``: by
neighbour descent) instead of an exact scan.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import scipy.sparse as sp
from joblib import effective_n_jobs
from sklearn import get_config
from sklearn.base import BaseEstimator, ClassNamePrefixFeaturesOutMixin, TransformerMixin
from sklearn.utils.validation import check_is_fitted, validate_data

from quellix._index import Index, _integer
from quellix.umap import _build, _descent, _metric, _neighbours, _threads, _width

__all__ = ["KNNTransformer"]

_MODES = ("distance", "connectivity")


class KNNTransformer(ClassNamePrefixFeaturesOutMixin, TransformerMixin, BaseEstimator):
    """Transforms X into the sparse graph of its k nearest neighbours among the fitted samples.

    scikit-learn's ``KNeighborsTransformer`` contract: :meth:`fit` indexes the samples in a quellix
    :class:`~quellix.Index`; ``transform(X)`` returns a CSR matrix of shape (n_queries, n_samples_fit)
    with, per row, the ``n_neighbors + 1`` nearest fitted samples in ``"distance"`` mode (a query that
    is a fitted sample finds itself, at distance 0, as scikit-learn counts it) or ``n_neighbors``
    ones of weight 1.0 in ``"connectivity"`` mode, each row sorted by distance.

    ``metric`` is "euclidean" (the plain distance), "sqeuclidean", "cosine" (one minus the cosine
    similarity) or "poincare" (geodesic distance in the unit ball; samples strictly inside it).
    ``M`` and ``ef_construction`` shape the graph; it is searched at width ``max(ef, k)``, ``ef=None``
    being ``max(32, 2 * k)`` for k neighbours per row. ``n_jobs`` threads build and search it, as
    joblib counts them (None: one, unless in a ``joblib.parallel_config`` context; -1: every core).
    ``seed`` fixes the index's level draws: with one thread, fitting the same data gives the same
    graph and the same answers.

    ``fit_transform`` finds the samples' own neighbours by neighbour descent under "euclidean",
    "sqeuclidean" and "cosine" (as :func:`quellix.umap.precomputed_knn` does, several times faster than
    building the index), and leaves the index to be built on first use: by ``transform`` or ``index_``.

    Attributes: ``index_`` (the fitted :class:`quellix.Index`, node i holding sample i),
    ``effective_metric_`` (the metric it was fitted under: ``transform`` speaks it even after
    ``set_params(metric=...)``, until the next fit), ``n_samples_fit_``, ``n_features_in_`` and, for
    input with string column names, ``feature_names_in_``.
    """

    def __init__(self, n_neighbors: int = 5, *, metric: str = "euclidean", mode: str = "distance", M: int = 16,
                 ef_construction: int = 200, ef: int | None = None, n_jobs: int | None = None,
                 seed: int | None = None) -> None:
        self.n_neighbors = n_neighbors
        self.metric = metric
        self.mode = mode
        self.M = M
        self.ef_construction = ef_construction
        self.ef = ef
        self.n_jobs = n_jobs
        self.seed = seed

    def _threads(self) -> int:
        _threads(self.n_jobs)  # refuses what precomputed_knn refuses
        # joblib decides what None means (one thread, or a parallel_config context's count).
        return effective_n_jobs(self.n_jobs)

    def _check_params(self) -> int:
        """Checks every parameter; answers the thread count."""
        _integer(self.n_neighbors, "n_neighbors", 1)
        _metric(self.metric)
        if self.mode not in _MODES:
            raise ValueError(f"mode must be 'distance' or 'connectivity', got {self.mode!r}")
        _integer(self.M, "M", 2, 2**30)
        _integer(self.ef_construction, "ef_construction", 1)
        if self.ef is not None:
            _integer(self.ef, "ef", 1)
        if self.seed is not None:
            _integer(self.seed, "seed", 0, 2**64 - 1)
        return self._threads()

    def fit(self, X: Any, y: Any = None) -> KNNTransformer:
        """Indexes the samples X (n_samples, n_features); ``y`` is ignored."""
        threads = self._check_params()
        before = dict(self.__dict__)
        try:
            X = validate_data(self, X, dtype=(np.float64, np.float32), order="C")
            index = _build(X, self.metric, self.M, self.ef_construction, self.seed, threads)
        except BaseException:
            # validate_data records n_features_in_ and the column names as it goes: a refused fit
            # leaves the estimator as it was.
            self.__dict__.clear()
            self.__dict__.update(before)
            raise
        self._fitted(X, index=index)
        return self

    def _fitted(self, X: np.ndarray, **index: Any) -> None:
        """Records a fit of X: its index, or (``pending``) the samples and parameters to build it from."""
        self.__dict__.pop("_index", None)
        self.__dict__.pop("_pending", None)
        self.__dict__.update({f"_{name}": value for name, value in index.items()})
        self.effective_metric_ = self.metric
        self.n_samples_fit_ = X.shape[0]
        self._n_features_out = self.n_samples_fit_

    @property
    def index_(self) -> Index:
        """The fitted :class:`quellix.Index` (node i holding sample i), built now if fit_transform left it."""
        pending = self.__dict__.pop("_pending", None)
        if pending is not None:
            self._index = _build(*pending)
        if "_index" not in self.__dict__:
            raise AttributeError("'KNNTransformer' object has no attribute 'index_' (not fitted)")
        return self._index

    def transform(self, X: Any) -> sp.csr_matrix | sp.csr_array:
        """The neighbours graph of the queries X (n_queries, n_features) among the fitted samples, as CSR.

        Distances are the index's (from float32 vectors), given as float32 for float32 queries and as
        float64 otherwise, the dtypes scikit-learn returns.
        """
        check_is_fitted(self)
        threads = self._check_params()
        X = validate_data(self, X, dtype=(np.float64, np.float32), order="C", reset=False)
        k = self.n_neighbors + (self.mode == "distance")
        if k > self.n_samples_fit_:
            raise ValueError(f"Expected n_neighbors <= n_samples_fit, but n_neighbors = {k}, "
                             f"n_samples_fit = {self.n_samples_fit_}, n_samples = {X.shape[0]}")
        ids, dists = _neighbours(self.index_, X, k, _width(self.ef, k), self.effective_metric_, threads)
        return self._graph(ids, dists.astype(X.dtype))

    def _graph(self, ids: np.ndarray, dists: np.ndarray) -> sp.csr_matrix | sp.csr_array:
        """The CSR graph of (n, k) neighbour ids and distances, in the mode's weights."""
        n, k = ids.shape
        data = dists.ravel() if self.mode == "distance" else np.ones(n * k)
        shape = (n, self.n_samples_fit_)
        args = (data, ids.ravel(), np.arange(0, n * k + 1, k))
        # scikit-learn hands out sparse matrices or sparse arrays as its configuration says.
        if get_config().get("sparse_interface", "spmatrix") == "sparray":
            return sp.csr_array(args, shape=shape)
        return sp.csr_matrix(args, shape=shape)

    def fit_transform(self, X: Any, y: Any = None) -> sp.csr_matrix | sp.csr_array:
        """``fit(X).transform(X)``: every sample's neighbours among the samples, itself included first."""
        threads = self._check_params()
        metric = _metric(self.metric)
        k = self.n_neighbors + (self.mode == "distance")
        before = dict(self.__dict__)
        try:
            X = validate_data(self, X, dtype=(np.float64, np.float32), order="C")
            if metric == "poincare" or not 2 <= k <= X.shape[0]:
                return self.fit(X).transform(X)
            ids = np.empty((X.shape[0], k), dtype=np.int64)
            dists = np.zeros((X.shape[0], k), dtype=X.dtype)
            ids[:, 0] = np.arange(X.shape[0])
            ids[:, 1:], dists[:, 1:] = _descent(X, k - 1, metric, self.seed, threads, X.dtype)
            # The index keeps its own copy, as a fitted one would, whatever becomes of X meanwhile.
            samples = np.array(X, dtype=np.float32, order="C")
            self._fitted(X, pending=(samples, metric, self.M, self.ef_construction, self.seed, threads))
        except BaseException:
            self.__dict__.clear()
            self.__dict__.update(before)
            raise
        return self._graph(ids, dists)

