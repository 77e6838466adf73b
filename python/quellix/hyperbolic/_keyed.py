"""KeyedIndex: named hyperbolic vectors in float64 over a quellix.Index, and its file."""

from __future__ import annotations

import math
import os
import struct
import zlib
from collections.abc import Iterable, Sequence
from typing import Any, Union

import numpy as np

from quellix._index import Index, _as_array, _curvature, _integer, _read_file, _write_atomically
from quellix.hyperbolic._evaluation import reconstruction
from quellix.hyperbolic._formulas import _poincare64, _rounding
from quellix.hyperbolic._models import _lorentz_faults, _lorentz_to_ball
from quellix.hyperbolic._readers import _load_gensim, _read_word2vec_text

PathLike = Union[str, "os.PathLike[str]"]

# The index ranks by float32 copies of the vectors with each one's 1 - |x|^2 from float64; its own
# arithmetic stays within this of the formula on those copies.
_ARITHMETIC_SLACK = 1e-5
# How much wider each retry of an unsettled query walks.
_WIDEN = 8

# The keyed index file: header, key end offsets (uint64), the keys as UTF-8, the float64 vectors as
# given, the quellix index file, then a CRC-32 of everything before it. Version 2 adds the model and
# the curvature; Poincaré vectors of curvature 1 are still written as version 1, the file earlier
# releases read.
_MAGIC = b"QLXKEYS\0"
_FORMAT_VERSION = 2
# magic, version, dim, count, key bytes, index bytes, and from version 2 the model's code and the curvature
_HEADERS = {1: struct.Struct("<8sIIQQQ"), 2: struct.Struct("<8sIIQQQId")}
_CHECKSUM = struct.Struct("<I")
_MODELS = ("poincare", "lorentz")
_MODEL_CODES = {"poincare": 0, "lorentz": 1}


def _named(keys: Sequence[str], rows: np.ndarray, limit: int = 5) -> str:
    shown = ", ".join(repr(keys[int(i)]) for i in rows[:limit])
    return shown + (f" and {len(rows) - limit} more" if len(rows) > limit else "")


class KeyedIndex:
    """Named points of hyperbolic space over a quellix.Index: gensim's PoincareKeyedVectors queries,
    answered through the graph or the exact scan.

    ``keys`` are distinct strings and ``vectors`` an (n, dim) array of real values (anything with
    ``__array__`` or DLPack): under ``model="poincare"`` points strictly inside the ball of radius
    1/sqrt(``curvature``), under ``model="lorentz"`` points of the hyperboloid <x, x>_L = -1/curvature,
    x0 first (see quellix.hyperbolic.lorentz_to_poincare for what it takes). ``curvature`` is c > 0, of
    sectional curvature -c. float64 keeps its precision: every distance returned is the float64
    formula on the values given, in the units of that curvature. ``M``, ``ef_construction`` and
    ``seed`` are the index's; ``num_threads`` and ``progress`` go to :meth:`quellix.Index.add`.
    Duplicate keys, NaN or infinite values and points outside the model are refused with a ValueError
    naming them.
    """

    __slots__ = ("_keys", "_ids", "_given", "_vectors", "_norms", "_index", "_model", "_curvature", "_root",
                 "_worst_rounding", "_least_factor")

    def __init__(self, keys: Iterable[str], vectors: Any, *, model: str = "poincare", curvature: float = 1.0,
                 M: int = 16, ef_construction: int = 200, seed: int | None = None, num_threads: int = 0,
                 progress: Any = False) -> None:
        model, curvature = _model(model), _curvature(curvature)
        keys, ids, given, ball = _checked(keys, vectors, model, curvature)
        unit = _unit(ball, curvature)
        index = Index(unit.shape[1], "poincare", M=M, ef_construction=ef_construction, seed=seed)
        if len(keys):
            index.add(unit, num_threads=num_threads, progress=progress)
        self._set(keys, ids, given, ball, unit, index, model, curvature)

    def _set(self, keys: list[str], ids: dict[str, int], given: np.ndarray, ball: np.ndarray, unit: np.ndarray,
             index: Index, model: str, curvature: float) -> None:
        given.flags.writeable = False
        unit.flags.writeable = False
        self._keys = keys
        self._ids = ids
        self._given = given
        # Everything is decided in the unit ball the index holds (the points times sqrt(c)); distances
        # are divided by sqrt(c) on the way out.
        self._vectors = unit
        self._model = model
        self._curvature = curvature
        self._root = math.sqrt(curvature)
        # Computed as gensim's closest_child and closest_parent do, so that ties in norm break alike; in
        # the caller's ball, where norm() reports them.
        self._norms = np.linalg.norm(ball, axis=1) if len(ball) else np.zeros(0)
        self._index = index
        # What bounds the gap between the index's distances and the float64 formula (see _bounds).
        self._worst_rounding = float(_rounding(unit).max(initial=0.0))
        self._least_factor = float((1.0 - np.einsum("ij,ij->i", unit, unit)).min(initial=1.0))

    def _bounds(self, q: np.ndarray, d: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """(below, beyond) in the index's distances, for the float64 distances ``d`` from the query
        rows ``q`` (one row, or one per entry of ``d``): a node whose index distance is below ``below`` is
        surely nearer than d by the formula, one beyond ``beyond`` surely not.

        The float32 copies move each point by at most e (its rounding plus the worst node's), so the
        Euclidean gap A between copies and B between the values differ by at most e. With
        c = cosh(distance) = 1 + 2 B^2 / (f_q f_v), |c_index - c| <= 2 e (2 A + e) / (f_q f_v), which in
        x = sqrt(c - 1) and the least factor f_min of any node gives x^2 -+ a x -+ b with
        a = 4 e / sqrt(2 f_q f_min), b = 2 e^2 / (f_q f_min).
        """
        q = np.atleast_2d(q)
        f_q = 1.0 - np.einsum("ij,ij->i", q, q)
        e = _rounding(q) + self._worst_rounding
        den = f_q * self._least_factor
        a, b = 4.0 * e / np.sqrt(2.0 * den), 2.0 * e * e / den
        c1 = 2.0 * np.sinh(np.asarray(d, dtype=np.float64) / 2.0) ** 2  # cosh(d) - 1, exact near 0
        x_hi = (a + np.sqrt(a * a + 4.0 * (c1 + b))) / 2.0
        x_lo = (np.sqrt(np.maximum(a * a + 4.0 * (c1 - b), 0.0)) - a) / 2.0
        # cosh(t) = 1 + x^2  <=>  t = 2 asinh(x / sqrt(2))
        beyond = 2.0 * np.arcsinh(x_hi / math.sqrt(2.0)) * (1.0 + _ARITHMETIC_SLACK) + 1e-6
        below = np.where(x_lo > 0.0, 2.0 * np.arcsinh(np.maximum(x_lo, 0.0) / math.sqrt(2.0))
                         * (1.0 - _ARITHMETIC_SLACK) - 1e-6, -1.0)
        return below, beyond

    # ---- construction ---------------------------------------------------------------------------------

    @classmethod
    def from_arrays(cls, keys: Iterable[str], vectors: Any, *, model: str = "poincare", curvature: float = 1.0,
                    M: int = 16, ef_construction: int = 200, seed: int | None = None, num_threads: int = 0,
                    progress: Any = False) -> KeyedIndex:
        """A keyed index of ``keys`` and the rows of ``vectors``, points of ``model`` ("poincare" or
        "lorentz") of curvature -``curvature`` (see the class)."""
        return cls(keys, vectors, model=model, curvature=curvature, M=M, ef_construction=ef_construction,
                   seed=seed, num_threads=num_threads, progress=progress)

    @classmethod
    def from_gensim(cls, source: Any, *, M: int = 16, ef_construction: int = 200, num_threads: int = 0,
                    progress: Any = False, seed: int | None = None) -> KeyedIndex:
        """A keyed index of a gensim ``PoincareModel``, any ``KeyedVectors`` (its ``index_to_key`` and
        ``vectors``), or the path of either saved with gensim's ``save``.

        Loading a path unpickles it, as gensim does: only load files you trust. For a word2vec text file
        use :meth:`from_word2vec_text`.
        """
        if isinstance(source, (str, os.PathLike)):
            source = _load_gensim(source)
        kv = source
        if not (hasattr(kv, "index_to_key") and hasattr(kv, "vectors")):
            kv = getattr(source, "kv", None)  # a PoincareModel
        if not (hasattr(kv, "index_to_key") and hasattr(kv, "vectors")):
            raise TypeError(f"from_gensim takes a PoincareModel, KeyedVectors or the path of one, "
                            f"not {type(source).__name__}")
        return cls(list(kv.index_to_key), np.asarray(kv.vectors), M=M, ef_construction=ef_construction,
                   seed=seed, num_threads=num_threads, progress=progress)

    @classmethod
    def from_word2vec_text(cls, path: PathLike, *, encoding: str = "utf-8", M: int = 16,
                           ef_construction: int = 200, num_threads: int = 0, progress: Any = False,
                           seed: int | None = None) -> KeyedIndex:
        """A keyed index of a word2vec text file, as gensim's ``save_word2vec_format`` writes it: a
        "count dim" line, then one line per key, the key followed by dim numbers.

        A file without the count line is read too: the numbers that end its first line give the
        dimension. The key is everything before the last dim numbers of its line, so it may hold spaces. A ``.gz`` or ``.bz2`` file is decompressed.
        A line with another number of values, a key given twice, or a count that does not match the
        lines is a ValueError naming the line.
        """
        keys, vectors = _read_word2vec_text(path, encoding)
        return cls(keys, vectors, M=M, ef_construction=ef_construction, seed=seed, num_threads=num_threads,
                   progress=progress)

    # ---- what it holds --------------------------------------------------------------------------------

    @property
    def index(self) -> Index:
        """The quellix.Index searched, over the unit ball: node i holds the point of ``keys[i]`` in the
        Poincaré ball times sqrt(curvature), so its distances are sqrt(curvature) times the keyed ones."""
        return self._index

    @property
    def model(self) -> str:
        """"poincare" or "lorentz": the model the vectors were given in."""
        return self._model

    @property
    def curvature(self) -> float:
        """c of the sectional curvature -c the vectors and distances are in."""
        return self._curvature

    @property
    def keys(self) -> list[str]:
        """The keys in node order (a copy)."""
        return list(self._keys)

    @property
    def vectors(self) -> np.ndarray:
        """The float64 vectors as given, in node order (read-only)."""
        return self._given

    @property
    def dim(self) -> int:
        """The length of each vector as given (under "lorentz" one more than the ball's dimension)."""
        return self._given.shape[1]

    def __len__(self) -> int:
        return len(self._keys)

    def __contains__(self, key: object) -> bool:
        return key in self._ids

    def __getitem__(self, key: str) -> np.ndarray:
        return self._given[self.get_index(key)].copy()

    def __repr__(self) -> str:
        model = "" if self._model == "poincare" else f", model={self._model!r}"
        curvature = "" if self._curvature == 1.0 else f", curvature={self._curvature!r}"
        return f"quellix.hyperbolic.KeyedIndex({len(self)} keys, dim={self.dim}{model}{curvature})"

    def get_index(self, key: str) -> int:
        """The node of ``key``; KeyError when there is none."""
        try:
            return self._ids[key]
        except (KeyError, TypeError):
            raise KeyError(f"key {key!r} not present") from None

    # ---- changes --------------------------------------------------------------------------------------

    def add_vectors(self, keys: Iterable[str], vectors: Any, replace: bool = False, *, num_threads: int = 0,
                    progress: Any = False) -> None:
        """Adds the points ``vectors`` under ``keys``, as gensim's ``KeyedVectors.add_vectors``: a key already
        present keeps its vector unless ``replace``, when it takes the new one (and keeps its place
        in :attr:`keys`). New keys go after the others. Keys, vectors and model as for the class; a
        refused call, or one that fails part way, leaves the index as it was."""
        keys, _, given, ball = _checked(keys, vectors, self._model, self._curvature)
        if given.shape[1] != self._given.shape[1]:
            raise ValueError(f"vectors must have {self._given.shape[1]} values per row, got {given.shape[1]}")
        present = np.array([key in self._ids for key in keys], dtype=bool)
        fresh_rows = np.flatnonzero(~present)
        replaced_rows = np.flatnonzero(present) if replace else np.zeros(0, np.int64)
        if not fresh_rows.size and not replaced_rows.size:
            return
        n = len(self)
        rows = np.concatenate([fresh_rows, replaced_rows])
        unit = _unit(ball, self._curvature)
        ids = np.arange(n, n + len(rows), dtype=np.int64)
        old = np.array([self._ids[keys[int(r)]] for r in replaced_rows], dtype=np.int64)
        index = self._index
        try:
            index.add(unit[rows], ids=ids, num_threads=num_threads, progress=progress)
            if old.size:
                index.remove(old)
        except BaseException:
            index.remove(ids, missing_ok=True)  # what was added goes again; the replaced nodes are still there
            raise
        # A replacement takes its key's id, so that the ids stay the positions of the keys in order.
        final = np.arange(n + len(rows), dtype=np.int64)
        final[n + len(fresh_rows):] = old
        self._renumber(final, n + len(fresh_rows))
        all_given = np.concatenate([self._given, given[fresh_rows]])
        all_ball = np.concatenate([self._vectors_ball(), ball[fresh_rows]])
        all_unit = np.concatenate([self._vectors, unit[fresh_rows]])
        all_given[old], all_ball[old], all_unit[old] = given[replaced_rows], ball[replaced_rows], unit[replaced_rows]
        all_keys = self._keys + [keys[int(r)] for r in fresh_rows]
        self._set(all_keys, {key: i for i, key in enumerate(all_keys)}, all_given, all_ball, all_unit, index,
                  self._model, self._curvature)

    def remove(self, keys: str | Iterable[str], *, missing_ok: bool = False) -> int:
        """Removes ``keys`` (one key, or an iterable of them) and their vectors; returns how many were
        removed. A key not present is a KeyError naming it, and nothing is removed, unless ``missing_ok``."""
        wanted = [keys] if isinstance(keys, str) else list(keys)
        gone = []
        for key in wanted:
            node = self._ids.get(key) if isinstance(key, str) else None
            if node is None:
                if not missing_ok:
                    raise KeyError(f"key {key!r} not present")
            else:
                gone.append(node)
        gone = np.unique(np.asarray(gone, dtype=np.int64))
        if not gone.size:
            return 0
        self._index.remove(gone)
        keep = np.ones(len(self), dtype=bool)
        keep[gone] = False
        self._renumber(np.cumsum(keep) - 1, int(keep.sum()))
        kept_keys = [key for key, k in zip(self._keys, keep) if k]
        self._set(kept_keys, {key: i for i, key in enumerate(kept_keys)}, self._given[keep], self._vectors_ball()[keep],
                  self._vectors[keep], self._index, self._model, self._curvature)
        return int(gone.size)

    def _renumber(self, final: np.ndarray, count: int) -> None:
        """Gives each node of the index the id ``final[id]`` (0..count-1, one each) and puts the nodes in
        that order, so that ids stay the keys' positions."""
        index = self._index
        index._engine.set_labels(np.ascontiguousarray(final[index.ids]), count)
        index.compact()

    def _vectors_ball(self) -> np.ndarray:
        """The points in the caller's ball (what the norms are taken of)."""
        return self._given if self._model == "poincare" else _lorentz_to_ball(self._given, self._curvature)

    # ---- queries --------------------------------------------------------------------------------------

    def _query(self, key_or_vector: Any) -> tuple[np.ndarray, int | None]:
        """The float64 query point in the index's unit ball and, for a key, its node."""
        if isinstance(key_or_vector, str):
            node = self.get_index(key_or_vector)
            return self._vectors[node], node
        return _unit(self._query_ball(key_or_vector), self._curvature)[0], None

    def _query_ball(self, vector: Any) -> np.ndarray:
        """A query vector of the model as a point (1, d) of the caller's ball, refused when it is not
        one."""
        if not isinstance(vector, (np.ndarray, list, tuple)) and not hasattr(vector, "__array__") \
                and not hasattr(vector, "__dlpack__"):
            raise TypeError(f"expected a key (str) or a vector of {self.dim} values, not {type(vector).__name__}")
        q = _as_array(vector, "the query vector")
        if q.dtype.kind not in "iuf" or q.shape != (self.dim,):
            raise ValueError(f"a query vector must hold {self.dim} real values, got shape {q.shape} of {q.dtype}")
        q = q.astype(np.float64).reshape(1, -1)
        if not np.isfinite(q).all():
            raise ValueError("the query vector holds NaN or infinite values")
        if self._model == "lorentz":
            faults = _lorentz_faults(q, self._curvature)
            if faults is not None:
                raise ValueError(f"the query vector: {faults[1]}")
            q = _lorentz_to_ball(q, self._curvature)
        u = _unit(q, self._curvature)[0]
        if not float(u @ u) < 1.0:
            norm = math.sqrt(float(q[0] @ q[0]))
            raise ValueError(f"the query vector has norm {norm:.17g}: it must lie strictly inside "
                             f"{_ball_name(self._curvature)}")
        return q

    def _user(self, distance: Any) -> Any:
        """Distances in the unit ball as distances of the curvature given."""
        return distance if self._root == 1.0 else distance / self._root

    def distance(self, key_a: str, key_b: str) -> float:
        """The hyperbolic distance between two keys' points (float64)."""
        return float(self._user(_poincare64(self._vectors[self.get_index(key_a)],
                                            self._vectors[self.get_index(key_b)])))

    def norm(self, key_or_vector: Any) -> float:
        """The Euclidean norm of a key's point, or of a vector, in the Poincaré ball (under "lorentz" of
        its image there, |xs| / (1 + sqrt(c) x0)): 0 at the top of a hierarchy, towards 1/sqrt(c) deeper
        down; it orders points as their distance from the origin does."""
        if isinstance(key_or_vector, str):
            return float(self._norms[self.get_index(key_or_vector)])
        return float(np.linalg.norm(self._query_ball(key_or_vector)[0]))

    def most_similar(self, key_or_vector: Any, topn: int | None = 10, *, exact: bool = False,
                     ef: int = 100) -> list[tuple[str, float]]:
        """The ``topn`` nearest keys with their distances, nearest first, as gensim's
        ``PoincareKeyedVectors.most_similar``: for a key query the key itself is left out.

        ``exact=False`` ranks what the graph walk of width ``ef`` finds; ``exact=True`` scores every node
        and returns exactly gensim's answer. ``topn=None`` ranks every node (exactly).
        """
        q, node = self._query(key_or_vector)
        ef = _integer(ef, "ef", 1)
        n = len(self)
        if topn is None:
            topn, exact = n, True
        topn = _integer(topn, "topn", 0)
        want = min(topn + (node is not None), n)
        if want == 0 or topn == 0:
            return []
        width = min(n, want + max(8, want // 2))  # spare candidates for the float64 order to reshuffle
        while True:
            if exact:
                ids, dists = self._index.exact_search(q, width, num_threads=1)
            else:
                ids, dists = self._index.search(q, width, ef=max(ef, width), num_threads=1)
            found = ids[ids >= 0]
            found = found[found != node] if node is not None else found
            d64 = _poincare64(q, self._vectors[found])
            order = np.lexsort((found, d64))[:topn]
            if (not exact or width == n or len(order) < topn
                    or dists[-1] > self._bounds(q, d64[order[-1]])[1][0]):
                break
            width = min(n, width * _WIDEN)
        return [(self._keys[int(found[i])], float(self._user(d64[i]))) for i in order]

    def closest_child(self, key: str, *, exact: bool = True, ef: int = 100) -> str | None:
        """The key nearest to ``key`` among those with a larger norm (lower in the hierarchy), or None,
        as gensim's ``closest_child``. ``exact=False`` looks through the graph, falling back to the exact
        scan when the walk meets no such key."""
        return self._closest(key, below=False, exact=exact, ef=ef)

    def closest_parent(self, key: str, *, exact: bool = True, ef: int = 100) -> str | None:
        """The key nearest to ``key`` among those with a smaller norm (higher in the hierarchy), or None,
        as gensim's ``closest_parent``."""
        return self._closest(key, below=True, exact=exact, ef=ef)

    def _closest(self, key: str, *, below: bool, exact: bool, ef: int) -> str | None:
        node = self.get_index(key)
        ef = _integer(ef, "ef", 1)
        q, r = self._vectors[node], float(self._norms[node])
        # The index's norm bounds are inclusive and read its own rounding of the norm (in its unit ball):
        # ask a little wider and keep the strictly smaller (or larger) float64 norms.
        if below:
            bounds = dict(max_norm=(r * (1.0 + 1e-6) + 1e-12) * self._root)
            eligible = self._norms < r
        else:
            bounds = dict(min_norm=max(0.0, r * (1.0 - 1e-6) - 1e-12) * self._root)
            eligible = self._norms > r
        if not eligible.any():
            return None
        n = len(self)
        width = min(n, 16)
        graph = not exact
        while True:
            if graph:
                ids, dists = self._index.filtered_search(q, width, ef=max(ef, width), num_threads=1, **bounds)
            else:
                ids, dists = self._index.exact_search(q, width, num_threads=1, **bounds)
            found = ids[ids >= 0]
            found = found[eligible[found]]
            full = ids[-1] >= 0 and width < n
            if found.size:
                d64 = _poincare64(q, self._vectors[found])
                best = np.lexsort((found, d64))[0]
                if graph or not full or dists[-1] > self._bounds(q, d64[best])[1][0]:
                    return self._keys[int(found[best])]
            elif graph:
                graph = False  # the walk met none: the scan decides
                continue
            elif not full:
                bounds = {}  # the index's norms excluded every eligible node: score them all instead
                continue
            width = min(n, width * _WIDEN)

    # ---- reconstruction -------------------------------------------------------------------------------

    def evaluate_reconstruction(self, relations: PathLike | Iterable[tuple[str, str]], *, exact: bool = True,
                                ef: int = 100, num_threads: int = 0) -> dict[str, Any]:
        """Mean rank and mean average precision of reconstructing ``relations``, as gensim's
        ``ReconstructionEvaluation``.

        ``relations`` is the path of a file of tab-separated (child, parent) pairs, as gensim's
        ``PoincareRelations`` reads it, or an iterable of pairs. For every key with relations, each of its
        positives (the keys it relates to) is ranked among its non-positives, every other node including
        the key itself: its rank is one plus the number of non-positives nearer than it. "mean_rank" is the
        mean of these ranks over all pairs, "MAP" the mean over keys of the average precision of the key's
        positives in the ranking of all nodes.

        ``exact=True`` scores every node once per block of keys, on ``num_threads`` native threads (0: every
        core), deciding with the float64 formula wherever the index's float32 copies cannot, and returns
        gensim's figures ({"mean_rank", "MAP"}). ``exact=False`` ranks the ``ef`` nodes the graph walk
        finds for each key; positives it does not find are ranked behind the non-positives it found nearer
        than them, so "mean_rank" is then a lower bound. The answer adds "positives" (pairs ranked) and
        "positives_outside" (how many of them the walk did not find).
        """
        return reconstruction(self, relations, exact, ef, num_threads)

    # ---- files ----------------------------------------------------------------------------------------

    def to_bytes(self) -> bytes:
        """The keyed index file's contents (see :meth:`save`)."""
        encoded = [k.encode("utf-8") for k in self._keys]
        ends = np.cumsum([len(b) for b in encoded], dtype=np.uint64)
        blob = b"".join(encoded)
        index = self._index.to_bytes()
        fields = (self.dim, len(self._keys), len(blob), len(index))
        if self._model == "poincare" and self._curvature == 1.0:
            header = _HEADERS[1].pack(_MAGIC, 1, *fields)
        else:
            header = _HEADERS[2].pack(_MAGIC, 2, *fields, _MODEL_CODES[self._model], self._curvature)
        parts = (header, ends.astype("<u8").tobytes(), blob, self._given.astype("<f8").tobytes(), index)
        crc = 0
        for part in parts:
            crc = zlib.crc32(part, crc)
        return b"".join((*parts, _CHECKSUM.pack(crc)))

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> KeyedIndex:
        """A keyed index from :meth:`to_bytes` output; a damaged or foreign buffer raises RuntimeError."""
        return cls._parse(data, "<bytes>")

    def save(self, path: PathLike) -> None:
        """Writes the keys, the float64 vectors and the index to one file (magic, format version, counts,
        CRC-32), atomically as :meth:`quellix.Index.save` does."""
        _write_atomically(path, self.to_bytes())

    @classmethod
    def load(cls, path: PathLike) -> KeyedIndex:
        """Reads a file written by :meth:`save`, checking all of it; raises RuntimeError for a bad file."""
        name = os.fspath(path)
        return cls._parse(_read_file(name), name)

    def __reduce__(self):
        return (_from_bytes, (self.to_bytes(),))

    @classmethod
    def _parse(cls, data: Any, name: str) -> KeyedIndex:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"keyed index data must be bytes, not {type(data).__name__}")
        data = bytes(data)

        def invalid(why: str) -> RuntimeError:
            return RuntimeError(f"Invalid keyed index file: {name}: {why}")

        if len(data) < _HEADERS[1].size or data[:8] != _MAGIC:
            raise invalid("not a quellix keyed index file (for a quellix.Index file use quellix.Index.load)")
        version = struct.unpack_from("<I", data, len(_MAGIC))[0]
        if version not in _HEADERS:
            raise invalid(f"format version {version} is not supported (this quellix reads 1 to {_FORMAT_VERSION})")
        header = _HEADERS[version]
        if len(data) < header.size + _CHECKSUM.size:
            raise invalid("too short")
        _, version, dim, n, n_blob, n_index, *more = header.unpack_from(data)
        code, curvature = tuple(more) + (0, 1.0)[len(more):]
        model = _MODELS[code] if code < len(_MODELS) else None
        if model is None:
            raise invalid(f"unknown model code {code}")
        try:
            curvature = _curvature(curvature)
        except ValueError:
            raise invalid(f"curvature {curvature!r} is not a finite number > 0") from None
        if dim < (1 if model == "poincare" else 2):
            raise invalid(f"dimension {dim}")
        expected = header.size + 8 * n + n_blob + 8 * n * dim + n_index + _CHECKSUM.size
        if expected != len(data):
            raise invalid(f"{len(data)} bytes where the header announces {expected}")
        (crc,) = _CHECKSUM.unpack_from(data, len(data) - _CHECKSUM.size)
        if zlib.crc32(memoryview(data)[:-_CHECKSUM.size]) != crc:
            raise invalid("checksum mismatch")
        at = header.size
        ends = np.frombuffer(data, dtype="<u8", count=n, offset=at).astype(np.int64)
        at += 8 * n
        if n and (np.any(np.diff(ends) < 0) or ends[0] < 0 or ends[-1] != n_blob):
            raise invalid("damaged key offsets")
        try:
            text = data[at:at + n_blob]
            starts = np.concatenate(([0], ends[:-1])).tolist()
            keys = [text[s:e].decode("utf-8") for s, e in zip(starts, ends.tolist())]
        except UnicodeDecodeError:
            raise invalid("a key is not UTF-8") from None
        at += n_blob
        vectors = np.frombuffer(data, dtype="<f8", count=n * dim, offset=at).astype(np.float64).reshape(n, dim)
        at += 8 * n * dim
        try:
            keys, ids, given, ball = _checked(keys, vectors, model, curvature)
        except ValueError as exc:
            raise invalid(str(exc)) from None
        unit = _unit(ball, curvature)
        try:
            index = Index.from_bytes(data[at:at + n_index])
        except RuntimeError as exc:
            raise invalid(f"the index: {exc}") from None
        if index.metric != "poincare" or index.curvature != 1.0 or index.dim != unit.shape[1] or len(index) != n:
            raise invalid(f"the index ({index.metric}, curvature {index.curvature}, dim {index.dim}, {len(index)} "
                          f"nodes) does not hold these {n} {model} vectors of dimension {dim}")
        if n and not np.array_equal(index.get_vectors(np.arange(n)), unit.astype(np.float32)):
            raise invalid("the index's vectors are not these vectors")
        self = cls.__new__(cls)
        self._set(keys, ids, given, ball, unit, index, model, curvature)
        return self


def _from_bytes(data: bytes) -> KeyedIndex:
    return KeyedIndex.from_bytes(data)



def _model(model: Any) -> str:
    if not isinstance(model, str) or model not in _MODELS:
        raise ValueError(f"unknown model {model!r}: valid models are " + ", ".join(map(repr, _MODELS)))
    return model


def _ball_name(curvature: float) -> str:
    return "the unit ball" if curvature == 1.0 else f"the ball of radius {1.0 / math.sqrt(curvature):.17g}"


def _unit(ball: np.ndarray, curvature: float) -> np.ndarray:
    """Points of the ball of radius 1/sqrt(c) scaled into the unit ball the index holds."""
    return ball if curvature == 1.0 else ball * math.sqrt(curvature)


def _checked(keys: Iterable[str], vectors: Any, model: str = "poincare",
             curvature: float = 1.0) -> tuple[list[str], dict[str, int], np.ndarray, np.ndarray]:
    """Keys, their nodes, the float64 vectors as given and their points in the ball of radius
    1/sqrt(c), refusing what an index of named hyperbolic points cannot hold: non-string or duplicate
    keys, a shape that does not match, NaN or infinite values, points outside the model (for the ball,
    on or outside its sphere; see _lorentz_faults for the hyperboloid)."""
    if isinstance(keys, (str, bytes)):
        raise TypeError("keys must be an iterable of strings, not one string")
    keys = list(keys)
    for number, key in enumerate(keys):
        if not isinstance(key, str):
            raise TypeError(f"key {number} is {type(key).__name__} {key!r}: keys must be strings")
    arr = _as_array(vectors, "vectors")
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"vectors must hold real numbers, not {arr.dtype}")
    least = 1 if model == "poincare" else 2
    if arr.ndim != 2 or arr.shape[0] != len(keys) or arr.shape[1] < least:
        shape = "dim" if model == "poincare" else "1 + dim"
        raise ValueError(f"vectors must have shape ({len(keys)}, {shape}) for {len(keys)} keys, got {arr.shape}")
    ids = {key: i for i, key in enumerate(keys)}
    if len(ids) != len(keys):
        seen, repeated = set(), []
        for key in keys:
            if key in seen and key not in repeated:
                repeated.append(key)
            seen.add(key)
        raise ValueError(f"duplicate keys: {_named(repeated, np.arange(len(repeated)))}")
    vectors = np.array(arr, dtype=np.float64, order="C")
    bad = np.flatnonzero(~np.isfinite(vectors).all(axis=1))
    if bad.size:
        raise ValueError(f"vectors of {_named(keys, bad)} hold NaN or infinite values")
    ball = vectors
    if model == "lorentz":
        faults = _lorentz_faults(vectors, curvature)
        if faults is not None:
            bad, why = faults
            raise ValueError(f"{len(bad)} vectors are not points of the Lorentz model of curvature {curvature!r}: "
                             f"{_named(keys, bad)} ({keys[int(bad[0])]!r}: {why})")
        ball = _lorentz_to_ball(vectors, curvature)
    unit = _unit(ball, curvature)
    bad = np.flatnonzero(~(np.einsum("ij,ij->i", unit, unit) < 1.0))
    if bad.size:
        sq = np.einsum("ij,ij->i", ball[bad], ball[bad])
        worst = int(bad[np.argmax(sq)])
        sphere = "the unit sphere" if curvature == 1.0 else f"the sphere of radius {1.0 / math.sqrt(curvature):.17g}"
        raise ValueError(f"{len(bad)} vectors lie on or outside {sphere}: {_named(keys, bad)} "
                         f"(largest norm {math.sqrt(sq.max()):.17g}, of {keys[worst]!r}); Poincaré vectors must "
                         f"lie strictly inside {_ball_name(curvature)}")
    return keys, ids, vectors, ball

