"""quellix.Index: argument conversion and validation, the index file, pickling.

Everything that touches vectors runs in quellix._native; this layer turns what a user hands in into
the exact arrays the native calls expect, and refuses bad input before anything changes, naming the
first bad row.
"""

from __future__ import annotations

import contextlib
import itertools
import math
import operator
import os
import stat
from collections.abc import Callable
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from quellix import _native
from quellix._lists import IdLists

#: Metric names accepted by :class:`Index`; "l2" is another name for "euclidean".
METRICS = ("poincare", "euclidean", "l2", "cosine")
_CANONICAL = {"poincare": "poincare", "euclidean": "euclidean", "l2": "euclidean", "cosine": "cosine"}

ArrayLike = npt.ArrayLike
PathLike = Union[str, "os.PathLike[str]"]
Progress = Union[None, bool, Callable[[int, int], Any]]

# The index file is the engine's (src/io/quellix_file.h): it writes, reads and checks all of it.
_MASK_LIMIT = 1 << 64
# Every factor at least this large has an inverse finite in float32 (1 / 3e-39 < 3.4e38).
_SAFE_FACTOR = 3e-39
# How much wider than sqrt(c) times the caller's max_distance the engine's bound is, under a curvature
# other than 1: more than the two float32 roundings between its distances and the returned ones.
_RADIUS_MARGIN = 1.0 + 2.0**-20
_temp_counter = itertools.count()

#: How :class:`Index` may store its vectors: float32, two bytes a value, or one byte a value.
DTYPES = ("float32", "float16", "bfloat16", "int8")
# The smallest magnitudes that round to infinity in each 16-bit storage (65520 in float16; in bfloat16
# the float32 halfway above its largest finite value, 0x7F7F8000).
_OVERFLOW = {"float16": 65520.0, "bfloat16": float(np.array(0x7F7F8000, np.uint32).view(np.float32))}

#: How a filtered search may answer: "auto" lets the planner choose, "graph" walks, "scan" scores the
#: passing nodes only.
STRATEGIES = ("auto", "graph", "scan")
# The planner's costs in nanoseconds, measured on 100,000 clustered points of 16, 64 and 128 values
# (Intel Xeon with AVX-512, one thread; the ratios are what matter). A scan screens every node's mask
# once per call and scores the nodes that pass: alone, a query reads each vector on its own; a batch
# shares each vector among tiles of queries, an order of magnitude cheaper per query. A walk costs per
# unit of width (the candidates it expands and their neighbours it scores, read from random places).
_SCREEN_NS = 0.3
_SCORE_NS = (0.9, 0.0215)  # per passing node and query, in a batch: a + b * dim
_SCORE_ALONE_NS = (9.5, 0.19)  # what a lone query adds to that, divided among the rows of a batch
_WALK_NS = (200.0, 1.6)  # per unit of width: a + b * dim
# A walk reads its nodes from random places: once the vectors and lists outgrow the caches each unit of
# width waits on more misses. Measured against the costs above: 1.0x at 100,000 x 64 (38 MiB), 1.8-2.4x
# at 1,000,000 x 128 (640 MiB) for shares of 5-10 %, where the scan and the walk cross.
_WALK_CACHED_BYTES = 64 << 20
_WALK_MISS_GROWTH = 0.25  # the cost's growth per doubling of the bytes beyond that
_WALK_MISS_MAX = 3.0
# A listed node's screen, read from a random place, against a node's in a pass over all of them.
_LISTED_SCREEN = 4.0
# Masks whose passing counts are kept between calls, until the next change of the index.
_PASSING_KEPT = 64


def _integer(value: Any, name: str, low: int, high: int | None = None) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if number < low or (high is not None and number > high):
        bound = f">= {low}" if high is None else f"in [{low}, {high}]"
        raise ValueError(f"{name} must be {bound}, got {number}")
    return number


def _curvature(value: Any) -> float:
    """The curvature c of a ball of sectional curvature -c: a real number, finite and > 0, whose
    inverse (the squared radius 1 / c) is finite too."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"curvature must be a real number, not {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not (number > 0.0 and math.isfinite(number) and math.isfinite(1.0 / number)):
        raise ValueError(f"curvature must be a finite number > 0 (the ball's radius is 1 / sqrt(curvature)), "
                         f"got {value!r}")
    return number


def _ball_scale(curvature: float) -> tuple[float, float, float, float] | None:
    """How a ball of curvature c sits in the engine's unit ball; None for c = 1.

    A point x of the ball of radius 1 / sqrt(c) is stored as a = 2^k x, with 2^k the largest power of
    two not above sqrt(c), so that the stored float32 values are the caller's own scaled exactly (float32
    input needs no remainders and comes back bit for bit) and lie inside the unit ball. Its factor is
    given as F = rho (1 - c |x|^2) = (rho^2 - |a|^2) / rho with rho = 2^k / sqrt(c) in (1/2, 1]: then
    |a - b|^2 / (F_a F_b) = c |x - y|^2 / ((1 - c|x|^2)(1 - c|y|^2)), so the engine's distance is
    sqrt(c) times the one in the caller's ball. Returns (2^k, rho^2, rho, sqrt(c)).
    """
    if curvature == 1.0:
        return None
    root = math.sqrt(curvature)
    k = math.frexp(root)[1] - 1  # 2^k <= root < 2^(k + 1)
    step = math.ldexp(1.0, k)
    return step, math.ldexp(1.0, 2 * k) / curvature, step / root, root


def _as_array(data: Any, what: str) -> np.ndarray:
    """``data`` as an array: through ``__array__`` or the sequence protocol, or through DLPack for an
    object that offers only that (a CPU tensor of a library NumPy does not know of)."""
    if hasattr(data, "__dlpack__") and not hasattr(data, "__array__"):
        try:
            return np.from_dlpack(data)
        except (BufferError, RuntimeError, TypeError, ValueError) as exc:
            raise TypeError(f"{what} could not be read through DLPack: {exc}") from None
    return np.asarray(data)


def _bound(value: Any, name: str) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number or None, not {type(value).__name__}")
    number = float(value)
    if not number >= 0.0:
        raise ValueError(f"{name} must be >= 0 or None, got {number}")
    return number


def _mask_value(value: Any, name: str = "filter_mask") -> int:
    return _integer(value, name, 0, _MASK_LIMIT - 1)


def _masks_for(masks: Any, n: int) -> np.ndarray:
    """One uint64 mask per row from None, one integer, or n unsigned integers."""
    if masks is None:
        return np.zeros(n, dtype=np.uint64)
    if isinstance(masks, (int, np.integer)) and not isinstance(masks, bool):
        return np.full(n, _mask_value(masks, "mask"), dtype=np.uint64)
    try:
        arr = np.asarray(masks)
    except (ValueError, OverflowError):
        arr = None
    if not isinstance(masks, np.ndarray) and (arr is None or arr.dtype.kind not in "iu"):
        # Python ints beyond int64 (or mixed with negatives) make NumPy pick float64 or object: check
        # each value as the integer it is.
        arr = np.empty(len(masks), dtype=object)
        arr[:] = list(masks)
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"masks must be None, one integer or {n} integers, got shape {arr.shape}")
    if arr.dtype.kind == "u":
        return arr.astype(np.uint64)
    if arr.dtype.kind == "i":
        negative = np.flatnonzero(arr < 0)
        if negative.size:
            row = int(negative[0])
            raise ValueError(f"masks row {row}: {int(arr[row])} is negative; masks are unsigned 64-bit integers")
        return arr.astype(np.uint64)
    if arr.dtype.kind == "O":
        out = np.empty(n, dtype=np.uint64)
        for row, value in enumerate(arr):
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
                raise TypeError(f"masks row {row}: {type(value).__name__} is not an integer")
            if not 0 <= int(value) < _MASK_LIMIT:
                raise ValueError(f"masks row {row}: {int(value)} is not an unsigned 64-bit integer")
            out[row] = int(value)
        return out
    raise TypeError(f"masks must hold integers, not {arr.dtype}")


def _engine_array(arr: Any, dtype: Any) -> np.ndarray:
    """``arr`` as the engine reads it: C-contiguous, of ``dtype`` and aligned (an array rebuilt from a
    pickle or a buffer can start at any byte, and the engine reads whole values)."""
    return np.require(arr, dtype=dtype, requirements=["C_CONTIGUOUS", "ALIGNED"])


def _ids(ids: Any) -> np.ndarray:
    """int64 ids, one-dimensional; an id beyond int64 cannot be held and is refused as unknown."""
    arr = np.asarray(ids)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    if arr.ndim != 1:
        raise ValueError(f"ids must be one-dimensional, got shape {arr.shape}")
    if arr.size and arr.dtype.kind not in "iu":
        raise TypeError(f"ids must be integers, not {arr.dtype}")
    if arr.dtype.kind == "u" and arr.size and int(arr.max()) > np.iinfo(np.int64).max:
        raise _native.UnknownIdError(f"id {int(arr.max())} is not in the index")
    return _engine_array(arr, np.int64)


def _new_ids(ids: Any, n: int) -> np.ndarray:
    """The ids of n new rows: n non-negative 64-bit integers, none repeated (the first repeat is named)."""
    arr = np.asarray(ids)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    if arr.dtype.kind == "O" or (arr.dtype.kind == "u" and arr.size and int(arr.max()) > np.iinfo(np.int64).max):
        values = [operator.index(v) if not isinstance(v, bool) else None for v in arr.ravel().tolist()]
        bad = next((v for v in values if v is None or not 0 <= v < 2**63), None)
        raise ValueError(f"ids must be non-negative 64-bit integers, got {bad}")
    if arr.size and arr.dtype.kind not in "iu":
        raise TypeError(f"ids must be integers, not {arr.dtype}")
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"ids must hold one id per row ({n}), got shape {arr.shape}")
    arr = _engine_array(arr, np.int64)
    negative = np.flatnonzero(arr < 0)
    if negative.size:
        raise ValueError(f"ids must be non-negative: id {int(arr[negative[0]])} in row {int(negative[0])}")
    order = np.argsort(arr, kind="stable")
    repeats = np.flatnonzero(arr[order][1:] == arr[order][:-1])
    if repeats.size:
        first = int(order[1:][repeats].min())
        raise ValueError(f"id {int(arr[first])} is repeated in the batch")
    return arr


def _dtype(dtype: Any, metric: str) -> str:
    """The storage name of ``dtype`` (a name of DTYPES or a NumPy float16/float32/int8 dtype)."""
    name = dtype if isinstance(dtype, str) else None
    if name is None:
        try:
            name = np.dtype(dtype).name
        except TypeError:
            raise TypeError(f"dtype must be one of {', '.join(map(repr, DTYPES))}, not {dtype!r}") from None
    if name not in DTYPES:
        raise ValueError(f"unknown dtype {dtype!r}: valid dtypes are " + ", ".join(map(repr, DTYPES)))
    if name != "float32" and metric == "poincare":
        raise ValueError(f"dtype={name!r} is for 'euclidean' and 'cosine': poincare vectors are stored as float32, "
                         "since near the ball's boundary their distances need float32 coordinates with float64 "
                         "factors")
    return name


def _int8_range(bounds: Any, dim: int) -> tuple[np.ndarray, np.ndarray]:
    """``bounds`` (low, high), each one number or one per dimension, as two float32 arrays of ``dim``."""
    try:
        low, high = bounds
    except (TypeError, ValueError):
        raise TypeError("int8_range must be a pair (low, high)") from None
    out = []
    for what, b in (("low", low), ("high", high)):
        arr = np.asarray(b, dtype=np.float64)
        if arr.ndim > 1 or (arr.ndim == 1 and arr.shape[0] != dim):
            raise ValueError(f"int8_range {what} must be one number or {dim} numbers, got shape {arr.shape}")
        out.append(np.broadcast_to(arr, (dim,)).astype(np.float32))
    low, high = out
    if not (np.isfinite(low).all() and np.isfinite(high).all() and (low <= high).all()):
        raise ValueError("int8_range must hold finite float32 bounds with low <= high in every dimension")
    if not np.isfinite((high - low) * np.float32(1.0)).all():
        raise ValueError("int8_range is too wide for float32")
    return low, high


def _cut_at_gaps(ids: np.ndarray, dists: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each row of a ranked answer cut at its first large jump in distance, as the filtered walk cuts its
    matches: before the first entry beyond 2.0, or one more than 0.6 farther than an entry beyond 0.01."""
    if dists.shape[1] == 0:
        return ids, dists
    prev, cur = dists[:, :-1], dists[:, 1:]
    with np.errstate(invalid="ignore"):
        jump = ((prev > np.float32(0.01)) & (cur - prev > np.float32(0.6))) | (cur > np.float32(2.0))
    cut = np.concatenate([np.zeros((len(dists), 1), bool), np.logical_or.accumulate(jump, axis=1)], axis=1)
    ids, dists = ids.copy(), dists.copy()
    ids[cut], dists[cut] = -1, np.inf
    return ids, dists


class Index:
    """An HNSW index over float32 vectors of one length under one metric.

    Metrics: "poincare" (geodesic distance in the Poincaré ball of curvature -``curvature``, the ball
    of radius 1/sqrt(curvature), by default the unit ball; vectors must lie strictly inside it),
    "euclidean" or "l2" (the squared Euclidean distance) and "cosine" (one minus the cosine similarity).
    Under "poincare" every distance, ``max_distance``, ``min_norm`` and ``max_norm`` is in the ball's own
    units (geoopt's ``PoincareBall(c)``); the flat metrics have no curvature. ``M`` is the number of links
    per node above layer 0 (2·M on layer 0), ``ef_construction`` the search width of linked insertion,
    ``seed`` fixes the level draws so that two builds of the same data give the same graph and
    byte-identical files.
    """

    __slots__ = ("_engine", "_metric", "_ef_construction", "_curvature", "_scale", "_passing", "_changes",
                 "_dtype", "__weakref__")

    def __init__(self, dim: int, metric: str = "poincare", *, M: int = 16, ef_construction: int = 200,
                 seed: int | None = None, curvature: float = 1.0, dtype: Any = "float32",
                 int8_range: Any = None) -> None:
        dim = _integer(dim, "dim", 1, 2**31 - 1)
        if not isinstance(metric, str) or metric not in _CANONICAL:
            raise ValueError(f"unknown metric {metric!r}: valid metrics are " + ", ".join(map(repr, METRICS)))
        M = _integer(M, "M", 2, 2**30)
        ef_construction = _integer(ef_construction, "ef_construction", 1)
        if seed is not None:
            seed = _integer(seed, "seed", 0, _MASK_LIMIT - 1)
        curvature = _curvature(curvature)
        if curvature != 1.0 and _CANONICAL[metric] != "poincare":
            raise ValueError(f"curvature={curvature!r} needs the poincare metric: {metric!r} is flat")
        storage = _dtype(dtype, _CANONICAL[metric])
        if int8_range is not None and storage != "int8":
            raise ValueError(f"int8_range is for dtype='int8', not {storage!r}")
        bounds = None if int8_range is None else _int8_range(int8_range, dim)
        self._metric = _CANONICAL[metric]
        self._dtype = storage
        self._ef_construction = ef_construction
        self._curvature = curvature
        self._scale = _ball_scale(curvature)
        self._passing: dict[tuple[int, int], tuple[int, int]] = {}  # masks -> (change count, nodes passing)
        self._changes = 0
        self._engine = _native.Engine(dim, self._metric, M, seed)
        if storage != "float32" and (storage != "int8" or bounds is not None):
            self._engine.set_storage(storage, *(bounds or ()))

    @classmethod
    def _wrap(cls, engine: _native.Engine, ef_construction: int, curvature: float = 1.0) -> Index:
        self = cls.__new__(cls)
        self._engine = engine
        self._metric = engine.metric
        self._dtype = engine.storage
        self._ef_construction = ef_construction
        self._curvature = curvature
        self._scale = _ball_scale(curvature)
        self._passing: dict[tuple[int, int], tuple[int, int]] = {}  # masks -> (change count, nodes passing)
        self._changes = 0
        return self

    # ---- read-only properties -------------------------------------------------------------------------

    @property
    def dim(self) -> int:
        """The length of every vector."""
        return self._engine.dim

    @property
    def metric(self) -> str:
        """"poincare", "euclidean" or "cosine"."""
        return self._metric

    @property
    def M(self) -> int:
        """Links per node above layer 0."""
        return self._engine.M

    @property
    def ef_construction(self) -> int:
        """Search width of linked insertion."""
        return self._ef_construction

    @property
    def dtype(self) -> str:
        """How the vectors are stored: "float32", "float16", "bfloat16" or "int8"."""
        return self._dtype

    @property
    def int8_range(self) -> tuple[np.ndarray, np.ndarray] | None:
        """Under dtype "int8", the float32 (low, high) of every dimension the codes span (code c of
        dimension i decodes to c * step[i] + low[i] rounded once, step[i] = (high[i] - low[i]) / 255 in
        float32); None otherwise, and before the first add trains them."""
        steps = self._engine.int8_steps
        if steps is None:
            return None
        step, low = steps
        return low, (np.float64(255.0) * step + low).astype(np.float32)  # exact in float64, then rounded

    @property
    def curvature(self) -> float:
        """c of the Poincaré ball of curvature -c (radius 1/sqrt(c)) the vectors lie in; 1.0 for the flat metrics."""
        return self._curvature

    def __len__(self) -> int:
        return len(self._engine)

    def __repr__(self) -> str:
        curvature = "" if self._scale is None else f", curvature={self._curvature!r}"
        dtype = "" if self._dtype == "float32" else f", dtype={self._dtype!r}"
        return (f"quellix.Index(dim={self.dim}, metric={self.metric!r}, M={self.M}, "
                f"ef_construction={self.ef_construction}{curvature}{dtype}) with {len(self)} vectors")

    # ---- conversion -----------------------------------------------------------------------------------

    def _rows(self, data: ArrayLike, what: str,
              remainders: bool = True) -> tuple[np.ndarray, np.ndarray | None, np.ndarray | None, bool]:
        """float32 rows (n, dim); under "poincare" their factors 1 - |x|^2 in float64 from the values
        given, and (when asked for) the float32 remainders x - float32(x) of values float32 does not
        hold exactly (None otherwise); and whether one vector was given. Under a curvature other than 1
        these are the rows, factors and remainders of the points in the engine's unit ball (see
        _ball_scale)."""
        try:
            arr = _as_array(data, what)
        except ValueError as exc:  # ragged nested lists
            raise ValueError(f"{what} must be one vector of {self.dim} values or an (n, {self.dim}) array") from exc
        if arr.dtype.kind == "O":
            try:
                arr = arr.astype(np.float64)
            except (TypeError, ValueError) as exc:
                raise TypeError(f"{what} must hold real numbers") from exc
        if arr.dtype.kind not in "iuf":
            raise TypeError(f"{what} must hold real numbers, not {arr.dtype}")
        single = arr.ndim == 1
        if single:
            arr = arr.reshape(1, -1)
        if arr.ndim != 2 or arr.shape[1] != self.dim:
            shape = arr.shape[1:] if single else arr.shape
            raise ValueError(f"{what} must have shape ({self.dim},) or (n, {self.dim}), got {shape}")
        # The checks run on the whole array first and look for the row only when one fails: most calls
        # are single queries, whose cost is mostly these steps.
        if arr.dtype == np.float32:
            rows = _engine_array(arr, np.float32)
        else:
            with np.errstate(over="ignore", invalid="ignore"):
                rows = _engine_array(arr, np.float32)
        if not np.isfinite(rows).all():
            row = int(np.flatnonzero(~np.isfinite(rows).all(axis=1))[0])
            raise ValueError(f"{what} row {row} holds a value that is NaN, infinite or too large for float32")
        if self._metric != "poincare":
            return rows, None, None, single
        wide = arr.astype(np.float64, copy=False)
        if self._scale is None:
            factors = 1.0 - np.einsum("ij,ij->i", wide, wide)
        else:
            step, rho2, rho, _ = self._scale
            if step != 1.0:
                wide = wide * step  # exact: a power of two
                with np.errstate(over="ignore", invalid="ignore"):
                    rows = wide.astype(np.float32)
            factors = (rho2 - np.einsum("ij,ij->i", wide, wide)) / rho
        # The engine keeps 1 / factor in float32: a factor whose inverse overflows is refused too.
        if not (factors >= _SAFE_FACTOR).all():
            with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
                usable = (factors > 0.0) & np.isfinite((1.0 / factors).astype(np.float32))
            bad = np.flatnonzero(~usable)
            if bad.size:
                row = int(bad[0])
                given = arr[row].astype(np.float64)
                norm = math.sqrt(float(given @ given))
                if self._scale is None:
                    raise ValueError(f"{what} row {row} has norm {norm:.17g}: poincare vectors must lie strictly "
                                     "inside the unit ball")
                raise ValueError(f"{what} row {row} has norm {norm:.17g}: poincare vectors of curvature "
                                 f"{self._curvature!r} must lie strictly inside the ball of radius "
                                 f"{1.0 / self._scale[3]:.17g}")
        rest = None
        if remainders and (arr.dtype.itemsize > 4 or arr.dtype.kind != "f"):
            rest = (wide - rows).astype(np.float32)
            if not rest.any():
                rest = None
        return rows, factors, rest, single

    # ---- building -------------------------------------------------------------------------------------

    def add(self, vectors: ArrayLike, masks: Any = None, *, ids: ArrayLike | None = None, replace: bool = False,
            link: bool = True, num_threads: int = 0, progress: Progress = None) -> np.ndarray:
        """Adds one vector (dim,) or a batch (n, dim); returns the int64 ids of the new rows.

        ``ids`` are the rows' own ids (non-negative 64-bit integers, one per row); without them the rows
        get the ids after the largest the index ever held (0, 1, 2, ... on a new index). An id the index
        holds already, or one repeated in the batch, is a ValueError and nothing is added, unless
        ``replace=True``: then the row replaces that id's vector and mask (the old vector is removed
        and never returned again once the call returns). ``masks`` is None (all 0), one integer for
        every row, or one unsigned integer per row. With
        ``link=False`` the rows are stored but not linked into the graph: the exact search finds them,
        the graph searches do not. Linked insertion runs on ``num_threads`` threads (0: the cores this
        process may use), which insert concurrently into the one graph; the graph then depends on their
        timing; nodes such a build leaves unreachable are linked again at the end of the call.
        ``num_threads=1`` inserts one row after the other, so that a seeded index built the same
        way twice saves byte-identical files. ``progress=True`` shows a tqdm bar when the add takes more than a second; a
        callable is called with (done, total). Ctrl-C or an exception from the callback stops after the
        current slice of vectors, leaving every vector added so far in the index (with a replacing add,
        each id then names its old or its new vector).
        """
        rows, factors, rest, _ = self._rows(vectors, "vectors")
        n = rows.shape[0]
        mask_rows = _masks_for(masks, n)
        threads = _integer(num_threads, "num_threads", 0, 1 << 16)
        given = None if ids is None else _new_ids(ids, n)
        limit = _OVERFLOW.get(self._dtype)
        if limit is not None and n and not (np.abs(rows) < limit).all():
            row = int(np.flatnonzero(~(np.abs(rows) < limit).all(axis=1))[0])
            raise ValueError(f"vectors row {row} holds a value of magnitude {limit:g} or more, which "
                             f"dtype={self._dtype!r} cannot hold")

        def add(report):
            with self._changing():
                trained = self._dtype == "int8" and n and self._engine.storage != "int8"
                if trained:  # the first rows set the range of the codes
                    self._engine.set_storage("int8", rows.min(axis=0), rows.max(axis=0))
                try:
                    return self._engine.add(rows, factors, rest, mask_rows, given, bool(replace), bool(link),
                                            self._ef_construction, report, threads)
                except BaseException:
                    if trained and len(self._engine) == 0:
                        self._engine.set_storage("float32")  # untrained again: the next add trains
                    raise

        if progress is None or progress is False:
            return add(None)
        if progress is True:
            try:
                from tqdm import tqdm
            except ImportError:
                raise ImportError("progress=True needs tqdm (pip install tqdm)") from None
            with tqdm(total=n, unit="vec", delay=1.0) as bar:
                return add(lambda done: bar.update(done - bar.n))
        if not callable(progress):
            raise TypeError("progress must be None, a bool or a callable taking (done, total)")
        return add(lambda done: progress(done, n))

    def remove(self, ids: ArrayLike, *, missing_ok: bool = False, num_threads: int = 0) -> int:
        """Removes the vectors ``ids``; returns how many were removed.

        An id the index does not hold is a KeyError naming it, and nothing is removed, unless
        ``missing_ok``. Every list that linked a removed node is selected again from its other members
        and the removed nodes' neighbours (on ``num_threads`` threads), nodes move into the freed
        places, and nodes no walk reaches any more are linked again: once the call returns no search
        returns a removed id and the graph is as navigable as before.
        """
        threads = _integer(num_threads, "num_threads", 0, 1 << 16)
        with self._changing():
            return self._engine.remove(_ids(ids), bool(missing_ok), self._ef_construction, threads)

    @property
    def ids(self) -> np.ndarray:
        """The int64 ids of the vectors held, in the order :attr:`masks` uses."""
        return self._engine.ids()

    def __contains__(self, id: object) -> bool:
        if isinstance(id, bool) or not isinstance(id, (int, np.integer)):
            return False
        return -(2**63) <= int(id) < 2**63 and self._engine.contains(int(id))

    def compact(self) -> None:
        """Puts the vectors in the order of their ids and gives back the memory beyond what they hold.

        Ids do not change; an index that only shrank then takes the memory of a fresh one, and one
        whose ids are 0..n-1 can be saved with :meth:`save_vek_core`.
        """
        with self._changing():
            self._engine.compact()

    # ---- searching ------------------------------------------------------------------------------------

    def _query(self, queries, k, filter_mask, max_distance, min_norm, max_norm, num_threads, filter_any=0):
        # A query's remainders count only against an index that keeps its own.
        rows, factors, rest, single = self._rows(queries, "queries", self._engine.has_remainders)
        radius, lo, hi = (_bound(max_distance, "max_distance"), _bound(min_norm, "min_norm"),
                          _bound(max_norm, "max_norm"))
        if self._scale is not None:
            step, _, _, root = self._scale
            lo, hi = (None if b is None else b * step for b in (lo, hi))
            # The engine's bound is on its own distances, sqrt(c) times the caller's: a little wider, so
            # that _distances can cut exactly at the returned float32 distances.
            radius = None if radius is None else radius * root * _RADIUS_MARGIN
        return (rows, factors, rest, _integer(k, "k", 0), _mask_value(filter_mask), radius, lo, hi,
                _integer(num_threads, "num_threads", 0, 1 << 16), _mask_value(filter_any, "filter_any")), single

    def _distances(self, result: tuple[np.ndarray, np.ndarray], max_distance: Any,
                   single: bool) -> tuple[np.ndarray, np.ndarray]:
        """The engine's answer in the caller's units, cut at ``max_distance`` (already checked), one row
        for a single query."""
        ids, dists = result
        if self._scale is not None:
            dists = self._user_distances(dists)
            if max_distance is not None:
                # Nearest first: whatever lies beyond the bound is a tail, padded as the engine pads.
                beyond = dists > float(max_distance)
                ids[beyond] = -1
                dists[beyond] = np.inf
        return (ids[0], dists[0]) if single else (ids, dists)

    def _user_distances(self, dists: np.ndarray) -> np.ndarray:
        return (dists.astype(np.float64) / self._scale[3]).astype(np.float32)

    def search(self, queries: ArrayLike, k: int = 10, *, ef: int = 50, filter_mask: int = 0, filter_any: int = 0,
               ids: Any = None, exclude_ids: Any = None, max_distance: float | None = None,
               min_norm: float | None = None, max_norm: float | None = None, strategy: str = "auto",
               num_threads: int = 0) -> tuple[np.ndarray, np.ndarray]:
        """Approximate k nearest neighbours through the graph.

        Returns (ids int64, distances float32) of shape (m, k) for m queries, or (k,) for one query
        given as a 1-D array; nearest first, padded with -1 and +inf. The graph is walked with width
        max(ef, k), then the filters are applied to what the walk found: ``filter_mask`` (a node passes
        when it has every bit of it), ``filter_any`` (when not 0, a node passes only with at least one of
        its bits), ``ids`` (an allow-list: only these ids pass) and ``exclude_ids`` (a deny-list), each
        one list of ids for every query or a list per query (a 2-D array or a sequence of lists; ids the
        index does not hold are ignored), ``max_distance`` (inclusive, in the metric's units: squared
        under "euclidean"), ``min_norm`` and ``max_norm`` (inclusive bounds on a stored vector's norm).
        With a filter, ``strategy="auto"`` scans the passing nodes instead where that costs less than the
        walk (see :meth:`explain`); the scan's answer is :meth:`exact_search`'s. "graph" or "scan" forces one.
        """
        (rows, factors, rest, k, mask, radius, lo, hi, threads, any_), single = self._query(
            queries, k, filter_mask, max_distance, min_norm, max_norm, num_threads, filter_any)
        lists = IdLists.of(ids, exclude_ids, len(rows))
        ef = _integer(ef, "ef", 1)
        plan = self._plan(k, (mask, any_), ef, strategy, False, (radius, lo, hi) != (None, None, None), len(rows),
                          lists)
        engine = self._engine
        found = self._planned(plan, (rows, factors, rest), lists,
                              lambda q, f, r, l: engine.exact_search(q, f, r, k, mask, radius, lo, hi, threads, any_, l),
                              lambda q, f, r, l, _: engine.search(q, f, r, k, ef, mask, radius, lo, hi, threads, any_, l))
        return self._distances(found, max_distance, single)

    def filtered_search(self, queries: ArrayLike, k: int = 10, *, ef: int | None = None, filter_mask: int = 0,
                        filter_any: int = 0, ids: Any = None, exclude_ids: Any = None,
                        max_distance: float | None = None, min_norm: float | None = None,
                        max_norm: float | None = None, cut_gaps: bool = False, strategy: str = "auto",
                        num_threads: int = 0) -> tuple[np.ndarray, np.ndarray]:
        """Approximate k nearest neighbours among the nodes that pass the filters, applied during the walk.

        The walk does not stop while it holds fewer than k matches, so selective filters still fill the
        answer where the graph reaches enough of them. ``ef=None`` picks the width from k and the share
        of nodes that pass the masks and id lists. ``cut_gaps=True`` cuts the ranked matches at the first
        large jump in distance, as vek_core's filtered search does. Filters and results as for :meth:`search`.

        ``strategy="auto"`` scans the passing nodes instead of walking where that costs less (few nodes
        pass, or the index is small; see :meth:`explain`), for each query on its own when the id lists
        are given per query: the answer is then :meth:`exact_search`'s, rows added with ``link=False``
        included. "graph" or "scan" forces one.
        """
        (rows, factors, rest, k, mask, radius, lo, hi, threads, any_), single = self._query(
            queries, k, filter_mask, max_distance, min_norm, max_norm, num_threads, filter_any)
        lists = IdLists.of(ids, exclude_ids, len(rows))
        ef = None if ef is None else _integer(ef, "ef", 1)
        plan = self._plan(k, (mask, any_), ef, strategy, True, (radius, lo, hi) != (None, None, None), len(rows),
                          lists)
        engine = self._engine

        def scan(q, f, r, l):
            found = engine.exact_search(q, f, r, k, mask, radius, lo, hi, threads, any_, l)
            return _cut_at_gaps(*found) if cut_gaps else found

        def walk(q, f, r, l, widths):
            width = int(widths[0]) if widths.size else 1
            row_ef = None if np.all(widths == width) else np.ascontiguousarray(widths, dtype=np.int64)
            return engine.filtered_search(q, f, r, k, width, mask, radius, lo, hi, bool(cut_gaps), threads, any_,
                                          l, row_ef)

        return self._distances(self._planned(plan, (rows, factors, rest), lists, scan, walk), max_distance, single)

    def _planned(self, plan: dict[str, Any], query: tuple, lists: IdLists | None, scan: Callable,
                 walk: Callable) -> tuple[np.ndarray, np.ndarray]:
        """The answer of ``plan``: scan(rows, factors, remainders, lists) and walk(..., widths) called on the
        rows each strategy took (all of them, unless the lists are given per row)."""
        scanned = np.asarray(plan["strategy"]) == "scan"
        widths = np.asarray([0 if w is None else w for w in np.atleast_1d(np.asarray(plan["ef"], dtype=object))],
                            dtype=np.int64)
        rows = len(query[0])
        if scanned.ndim == 0 or scanned.all() or not scanned.any():
            native = None if lists is None else lists.native()
            if bool(np.all(scanned)):
                return scan(*query, native)
            return walk(*query, native, np.broadcast_to(widths, (rows,)) if widths.size == 1 else widths)
        k = int(plan["k"])
        ids = np.full((rows, k), -1, np.int64)
        dists = np.full((rows, k), np.inf, np.float32)
        for picked, call in ((np.flatnonzero(scanned), scan), (np.flatnonzero(~scanned), walk)):
            if not picked.size:
                continue
            part = tuple(None if a is None else np.ascontiguousarray(a[picked]) for a in query)
            args = (*part, lists.take(picked).native())
            ids[picked], dists[picked] = call(*args) if call is scan else call(*args, widths[picked])
        return ids, dists

    def explain(self, k: int = 10, *, ef: int | None = None, filter_mask: int = 0, filter_any: int = 0,
                ids: Any = None, exclude_ids: Any = None, queries: int | None = None, filtered: bool = True,
                bounded: bool = False, strategy: str = "auto") -> dict[str, Any]:
        """What :meth:`filtered_search` (or, with ``filtered=False``, :meth:`search`) does for a batch of
        ``queries`` rows asking for k answers each (by default one row, or one per list when the id lists
        are given per query).

        Returns {"strategy": "graph" or "scan", "passing": nodes carrying every bit of ``filter_mask``
        (and one of ``filter_any``) that the id lists let through, "share": their fraction, "ef": the
        walk's width (None for a scan), "scan_cost", "walk_cost"}: the planner's estimates, in
        nanoseconds per query on one core, that "auto" compares. With lists given per query each value
        is a list, one entry per query. ``bounded=True`` stands for a call with ``max_distance``,
        ``min_norm`` or ``max_norm``.
        """
        k = _integer(k, "k", 0)
        ef = None if ef is None else _integer(ef, "ef", 1)
        if not filtered and ef is None:
            ef = 50  # search's default width
        masks = (_mask_value(filter_mask), _mask_value(filter_any, "filter_any"))
        rows = None if queries is None else _integer(queries, "queries", 1)
        lists = IdLists.of(ids, exclude_ids, rows)
        plan = self._plan(k, masks, ef, strategy, bool(filtered), bool(bounded),
                          rows or (lists.rows if lists is not None else 1), lists)
        del plan["k"]
        return plan

    @contextlib.contextmanager
    def _changing(self):
        # Passing counts kept from before, or from during, a change are stale after it. (Two threads
        # changing at once may lose an increment; a stale count only misleads the plan, never an answer.)
        self._changes += 1
        try:
            yield
        finally:
            self._changes += 1

    def _passing_count(self, mask: tuple[int, int]) -> int:
        """How many nodes carry every bit of ``mask[0]`` and one of ``mask[1]`` (when not 0), kept per pair
        until the index changes."""
        n = len(self)
        if mask == (0, 0) or not n:
            return n
        changes = self._changes
        kept = self._passing.get(mask)
        if kept is not None and kept[0] == changes:
            return kept[1]
        count = int(round(self._engine.share_passing(*mask) * n))
        if not changes & 1:  # not while a change runs
            if len(self._passing) >= _PASSING_KEPT:
                self._passing.clear()
            self._passing[mask] = (changes, count)
        return count

    def _plan(self, k: int, mask: tuple[int, int], ef: int | None, strategy: Any, filtered: bool, bounded: bool,
              rows: int = 1, lists: IdLists | None = None) -> dict[str, Any]:
        """What a search of k answers for ``rows`` queries under ``mask`` (all-of and any-of bits), the id
        ``lists`` and, when ``bounded``, norm or distance bounds does.

        The scan screens every node (or an allow-list's) and scores those that pass; the walk's cost
        grows with its width, which for ``filtered_search`` with ``ef=None`` grows as the share of passing
        nodes falls. "auto" takes the cheaper per query, for each query on its own when the lists are
        given per query; ``search`` without any filter always walks.
        """
        if not isinstance(strategy, str) or strategy not in STRATEGIES:
            raise ValueError(f"unknown strategy {strategy!r}: valid strategies are " + ", ".join(map(repr, STRATEGIES)))
        n = len(self)
        rows = max(rows, 1)
        candidates, sharing = np.array([float(n)]), rows  # screened per call, and the rows that share it
        if lists is None:
            passing = np.array([self._passing_count(mask)])
        else:
            unlisted = self._passing_count(mask) if lists.allow is None else 0
            passing = self._engine.passing_counts(mask[0], mask[1], unlisted, lists.native(), rows)
            if lists.allow is not None:
                candidates = lists.allow_lengths() * _LISTED_SCREEN
            if lists.per_row:
                sharing = 1
        share = passing / n if n else np.zeros(passing.shape)
        # search always names its width; filtered_search's ef=None follows the share
        width = self._filtered_width(k, share) if ef is None else np.full(share.shape, max(ef, k, 1))
        score = _SCORE_NS[0] + _SCORE_NS[1] * self.dim
        alone = score + _SCORE_ALONE_NS[0] + _SCORE_ALONE_NS[1] * self.dim
        # The screen and a lone query's own reads are shared among the rows of a batch.
        scan_cost = (candidates * _SCREEN_NS + passing * (alone - score)) / sharing + passing * score
        walk_cost = width * (_WALK_NS[0] + _WALK_NS[1] * self.dim)
        if filtered and k:
            # The filtered walk goes on until it holds k matches: it scores about k / share nodes, every
            # node it reaches when none passes, each read on its own.
            reached = np.where(share > 0, np.minimum(n, k / np.where(share > 0, share, 1.0)), n)
            walk_cost = np.maximum(walk_cost, reached * alone)
        footprint = n * (4 * self.dim + 8 * self.M)  # the vectors and the layer-0 lists
        walk_cost = walk_cost * min(_WALK_MISS_MAX, max(1.0, 1.0 + _WALK_MISS_GROWTH * math.log2(
            max(footprint, 1) / _WALK_CACHED_BYTES)))
        if strategy != "auto":
            scans = np.full(share.shape, strategy == "scan")
        elif not filtered and mask == (0, 0) and not bounded and lists is None:
            scans = np.zeros(share.shape, bool)
        else:
            scans = scan_cost <= walk_cost
        plan = {"strategy": np.where(scans, "scan", "graph").tolist(), "passing": passing.tolist(),
                "share": share.tolist(), "ef": [None if s else int(w) for s, w in zip(scans, width)],
                "scan_cost": scan_cost.astype(float).tolist(), "walk_cost": walk_cost.astype(float).tolist()}
        if len(share) == 1 and not (lists is not None and lists.per_row):
            plan = {key: value[0] for key, value in plan.items()}
        plan["k"] = k
        return plan

    @staticmethod
    def _filtered_width(k: int, share: np.ndarray) -> np.ndarray:
        """The width for ``ef=None``: k * (8 + 1.5 / share), share being the fraction of nodes that pass the
        mask. On 100,000 clustered 64-d points with random masks, 1.5 / share keeps recall@10 against the
        exact search with the same mask at 0.987 or more from 0.1 % to 5 % (0.7 / share, tuned earlier on
        20,000 points, fell to 0.89 at 0.3 % and 1 %); where so wide a walk costs more than a scan, the
        planner scans instead. Where nothing can match the walk ends when the graph is exhausted anyway."""
        safe = np.where(share > 0, share, 1.0)
        width = np.minimum(np.maximum(np.ceil(k * (8.0 + 1.5 / safe)), 1), 2**31 - 1)
        return np.where(share > 0, width, max(k, 1)).astype(np.int64)

    def exact_search(self, queries: ArrayLike, k: int = 10, *, filter_mask: int = 0, filter_any: int = 0,
                     ids: Any = None, exclude_ids: Any = None, max_distance: float | None = None,
                     min_norm: float | None = None, max_norm: float | None = None,
                     num_threads: int = 0) -> tuple[np.ndarray, np.ndarray]:
        """The exact k nearest neighbours among the nodes that pass the filters, by scoring every node (or
        only an allow-list's).

        Finds unlinked rows too. Filters and results as for :meth:`search`.
        """
        (rows, factors, rest, k, mask, radius, lo, hi, threads, any_), single = self._query(
            queries, k, filter_mask, max_distance, min_norm, max_norm, num_threads, filter_any)
        lists = IdLists.of(ids, exclude_ids, len(rows))
        found = self._engine.exact_search(rows, factors, rest, k, mask, radius, lo, hi, threads, any_,
                                          None if lists is None else lists.native())
        return self._distances(found, max_distance, single)

    def distances(self, query: ArrayLike, ids: ArrayLike) -> np.ndarray:
        """float32 distances from one query (dim,) to the stored vectors ``ids``."""
        rows, factors, rest, single = self._rows(query, "query", self._engine.has_remainders)
        if not single:
            raise ValueError(f"query must be one vector of shape ({self.dim},)")
        factor = None if factors is None else float(factors[0])
        dists = self._engine.distances(rows[0], factor, rest, _ids(ids))
        return dists if self._scale is None else self._user_distances(dists)

    def get_vectors(self, ids: ArrayLike) -> np.ndarray:
        """Copies of the stored vectors ``ids`` as float32 (decoded from the index's dtype), shape (len(ids), dim)."""
        vectors = self._engine.get_vectors(_ids(ids))
        if self._scale is not None and self._scale[0] != 1.0:
            vectors /= np.float32(self._scale[0])  # exact: a power of two
        return vectors

    @property
    def masks(self) -> np.ndarray:
        """A copy of every vector's mask (uint64, in the order of :attr:`ids`)."""
        return self._engine.masks()

    def set_masks(self, masks: Any) -> None:
        """Replaces every vector's mask: one integer for all, or one unsigned integer per vector in the
        order of :attr:`ids`."""
        with self._changing():
            if isinstance(masks, (int, np.integer)) and not isinstance(masks, bool):
                self._engine.fill_masks(_mask_value(masks, "mask"))  # every vector, whatever runs beside
                return
            self._engine.set_masks(_masks_for(masks, len(self)))

    def stats(self) -> dict[str, Any]:
        """count, dim, metric, M, ef_construction, entry_point, top_level, nodes_per_level (nodes whose
        top level is 0, 1, ...), mean_degree_layer0, memory_bytes (the index's bytes in memory), dtype
        (how the vectors are stored) and unreachable: the linked nodes that no graph walk reaches (walks
        descend from the entry point, layer by layer). Rows added with ``link=False`` are not counted:
        only :meth:`exact_search` finds them by design."""
        s = self._engine.stats()
        s["metric"] = self._metric
        s["ef_construction"] = self._ef_construction
        order = ("count", "dim", "metric", "M", "ef_construction", "entry_point", "top_level", "nodes_per_level",
                 "mean_degree_layer0", "memory_bytes", "dtype", "unreachable")
        return {key: s[key] for key in order}

    def check(self, sample: int = 2000, *, ef: int | None = None, k: int = 10, seed: int = 0,
              num_threads: int = 0) -> dict[str, Any]:
        """Searches for a sample of stored vectors: how often the graph finds each one's own node, and recall@k.

        Draws ``min(sample, linked nodes)`` linked nodes without replacement (by ``seed``) and queries
        each one's stored float32 vector (under "poincare" without the remainders float64 input keeps)
        with :meth:`search` at width ``ef`` (None: search's default, 50) and with :meth:`exact_search`.
        Returns a dict: sample (how many), ef, k; self_found, the share of them that their own search
        returns at its first distance (ties included); recall, their mean recall@k against the exact
        answer, where a returned node counts when it is no farther than the exact k-th and rows added
        with ``link=False`` are left out of what the graph could find; low_recall, the int64 ids of
        the sampled nodes of recall below 0.5, and low_recall_values, their recalls (float64). Without
        linked nodes: sample 0, self_found and recall 1.0.
        """
        sample = _integer(sample, "sample", 1)
        ef = 50 if ef is None else _integer(ef, "ef", 1)
        k = _integer(k, "k", 1)
        seed = _integer(seed, "seed", 0, _MASK_LIMIT - 1)
        threads = _integer(num_threads, "num_threads", 0, 1 << 16)
        reach, node_ids = self._engine.reachability()
        linked = np.flatnonzero(reach)
        chosen = np.sort(np.random.default_rng(seed).choice(linked, min(sample, linked.size), replace=False))
        report: dict[str, Any] = {"sample": int(chosen.size), "ef": ef, "k": k, "self_found": 1.0, "recall": 1.0,
                                  "low_recall": np.empty(0, np.int64), "low_recall_values": np.empty(0, np.float64)}
        if not chosen.size:
            return report
        chosen = node_ids[chosen]
        queries = self.get_vectors(chosen)
        ids, dists = self.search(queries, k, ef=ef, num_threads=threads)
        exact_ids, exact_dists = self.exact_search(queries, k, num_threads=threads)
        found = ((ids == chosen[:, None]) & (dists == dists[:, :1])).any(axis=1)
        # Unlinked rows in the exact answer are ones the graph cannot return; rows added since the
        # reachability snapshot count as linked.
        unlinked = np.isin(exact_ids, node_ids[reach == 0]) & (exact_ids >= 0)
        wanted = ((exact_ids >= 0) & ~unlinked).sum(axis=1)
        hits = ((ids >= 0) & (dists <= exact_dists[:, -1:])).sum(axis=1)
        recalls = np.where(wanted > 0, np.minimum(hits, wanted) / np.maximum(wanted, 1), 1.0)
        low = recalls < 0.5
        report.update(self_found=float(found.mean()), recall=float(recalls.mean()),
                      low_recall=chosen[low].astype(np.int64), low_recall_values=recalls[low].astype(np.float64))
        return report

    # ---- files ----------------------------------------------------------------------------------------

    def to_bytes(self) -> bytes:
        """The index file's contents (see :meth:`save`)."""
        return self._engine.file_bytes(min(self._ef_construction, 2**32 - 1), self._curvature)

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Index:
        """An index from :meth:`to_bytes` output; a damaged or foreign buffer raises RuntimeError."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"index data must be bytes, not {type(data).__name__}")
        return cls._wrap(*_native.Engine.from_file_bytes(bytes(data), "<bytes>"))

    def save(self, path: PathLike) -> None:
        """Writes the index to ``path``: a self-describing file (magic, format version, metric, dim, M,
        ef_construction, counts, CRC-32) streamed to a temporary file beside the target, flushed to disk
        and renamed over it, so a failed save leaves any previous file as it was; searches go on
        meanwhile."""
        self._engine.save_file(os.fspath(path), min(self._ef_construction, 2**32 - 1), self._curvature)

    @classmethod
    def load(cls, path: PathLike, *, mmap: bool = False) -> Index:
        """Reads an index written by :meth:`save`, checking all of it; raises RuntimeError for a bad file.

        With ``mmap=True`` the file is mapped read-only instead of read: opening it costs no work
        proportional to the index, its vectors and graph stay in the file's pages (shared by every
        process that maps the file) and every search answers exactly as on the loaded index. Its
        header, section lengths and upper layers are checked at open and each layer-0 list as a walk
        reads it; :meth:`verify` checks the whole file's checksum. Changes (``add``, ``remove``,
        ``compact``, ``set_masks``) raise RuntimeError; a copy (``from_bytes(index.to_bytes())``,
        pickling) can change. Files written before format version 6 must be loaded and saved again
        to be mapped.
        """
        return cls._wrap(*_native.Engine.load_file(os.fspath(path), bool(mmap)))

    @property
    def mapped(self) -> bool:
        """Whether the index reads a memory-mapped file in place (``load(path, mmap=True)``)."""
        return self._engine.mapped

    def verify(self) -> None:
        """Checks the CRC-32 of a memory-mapped index's whole file; RuntimeError if it is damaged. An
        index in memory was checked whole when it was loaded, and has nothing more to check."""
        self._engine.verify()

    def __reduce__(self):
        return (_from_bytes, (self.to_bytes(),))

    # ---- the vek_core file ----------------------------------------------------------------------------

    def save_vek_core(self, path: PathLike) -> None:
        """Writes the index in vek_core's file format, for ``vek_core.HyperbolicIndex.load_index``.

        The format holds no metric, no ef_construction and no curvature: load it into a HyperbolicIndex
        of the same metric. Under "poincare", vek_core computes its own (clamped) distances on the same
        graph; an index of curvature other than 1 is refused, since the file would give other distances.
        """
        if self._curvature != 1.0:
            raise ValueError(f"a vek_core file holds no curvature: an index of curvature {self._curvature!r} "
                             "cannot be saved in it (its distances would be read as those of the unit ball)")
        if not self._engine.ids_are_positions():
            raise ValueError("a vek_core file has no ids: only an index whose ids are its positions 0..n-1 can be "
                             "saved in it (call compact() first to put the vectors in the order of their ids)")
        _write_atomically(path, self._engine.records())

    @classmethod
    def load_vek_core(cls, path: PathLike, metric: str, *, ef_construction: int = 200) -> Index:
        """An index from a vek_core file, searched under ``metric`` (the file does not say which).

        Cached norms in the file are recomputed from its vectors; under "poincare" every vector must lie
        strictly inside the unit ball.
        """
        if not isinstance(metric, str) or metric not in _CANONICAL:
            raise ValueError(f"unknown metric {metric!r}: valid metrics are " + ", ".join(map(repr, METRICS)))
        ef_construction = _integer(ef_construction, "ef_construction", 1)
        name = os.fspath(path)
        engine = _native.Engine.from_records(_read_file(name), name, _CANONICAL[metric], None, True)
        return cls._wrap(engine, ef_construction)


def _from_bytes(data: bytes) -> Index:
    return Index.from_bytes(data)


def _read_file(name: str) -> bytes:
    try:
        with open(name, "rb") as f:
            if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
                raise OSError("not a regular file")
            return f.read()
    except OSError:
        raise RuntimeError(f"Cannot open file for loading: {name}") from None


def _write_atomically(path: PathLike, data: bytes) -> None:
    """Writes ``data`` to ``path`` as vek_core's save does: a regular file (or a new one) is replaced by
    rename, through a symbolic link if there is one; a device or a dangling link is written in place."""
    name = os.fspath(path)
    target, atomic = name, True
    try:
        st = os.lstat(name)
    except OSError:
        st = None
    if st is not None:
        if stat.S_ISLNK(st.st_mode):
            target = os.path.realpath(name)
            try:
                st = os.stat(target)
                atomic = stat.S_ISREG(st.st_mode)
            except OSError:
                target, atomic, st = name, False, None
        else:
            atomic = stat.S_ISREG(st.st_mode)
    if st is not None and (stat.S_ISDIR(st.st_mode) or not os.access(target, os.W_OK)):
        raise RuntimeError(f"Cannot open file for saving: {name}")
    written = f"{target}.tmp.{os.getpid()}.{next(_temp_counter)}" if atomic else name
    flags = os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | (os.O_EXCL if atomic else os.O_TRUNC)
    try:
        fd = os.open(written, flags, 0o666)
    except OSError:
        raise RuntimeError(f"Cannot open file for saving: {name}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            if atomic:
                os.fsync(f.fileno())
        if atomic:
            os.replace(written, target)
    except OSError as exc:
        if atomic:
            try:
                os.unlink(written)
            except OSError:
                pass
        raise RuntimeError(f"Failed to write index file: {name} ({exc.strerror or exc})") from None
