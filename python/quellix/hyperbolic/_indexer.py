"""GensimIndexer: a quellix index behind gensim's ``most_similar(..., indexer=...)``, and its file."""

from __future__ import annotations

import json
import os
import struct
import sys
import zlib
from typing import Any, Union

import numpy as np

from quellix._index import Index, _integer, _read_file, _write_atomically
from quellix.hyperbolic._keyed import KeyedIndex, _named

PathLike = Union[str, "os.PathLike[str]"]

# Against gensim's brute force on 20,000 keys, 300 key queries each: clustered 100-d vectors under cosine
# keep every top 10 identical from ef 100 (99.7 % at ef 50), random 10-d Poincaré points reaching for the
# boundary 99.3 % with recall 0.9993 (98 % at ef 50); ef 200 buys nothing more there.
_EF = 100
_EF_LIMIT = 2**31 - 1
# gensim's most_similar hands over unitvec(mean) in float32, whose norm strays from 1 by float32 rounding
# only: such a query is scored as given, so that its similarities are gensim's to the last bit.
_UNIT_SLACK = 1e-6

# The indexer file: header, the keys as JSON (cosine only), the vectors in their own dtype when they are
# not float32 (the index keeps float32 copies), the quellix index file or, under "poincare", the keyed
# index file, then a CRC-32 of everything before it.
_MAGIC = b"QLXGNSM\0"
_FORMAT_VERSION = 1
_HEADER = struct.Struct("<8sII8sQQQQ")  # magic, version, metric, vectors' dtype, ef, key/vector/index bytes
_CHECKSUM = struct.Struct("<I")
_METRIC_CODES = {"cosine": 0, "poincare": 1}


class GensimIndexer:
    """A quellix index of a gensim model's vectors, for gensim's ``most_similar(..., indexer=...)`` hook,
    as gensim's own ``AnnoyIndexer``.

    ``model`` is a ``PoincareModel`` or ``PoincareKeyedVectors`` (searched under "poincare", through a
    :class:`KeyedIndex`), any other ``KeyedVectors``, or a model holding them (``Word2Vec`` and
    ``FastText``: their ``wv``; ``Doc2Vec``: its ``dv``, as ``AnnoyIndexer`` takes it), searched under
    "cosine". ``M``, ``ef_construction`` and ``seed`` are the index's, ``num_threads`` and ``progress`` go
    to :meth:`quellix.Index.add`; ``ef`` is the width of every graph walk (:attr:`ef`).

    The vectors are copied when the indexer is built: after the model changes, build it again. Under
    "cosine", keys whose vector is zero are left out, as gensim ranks their NaN similarity last; NaN or
    infinite values are refused with a ValueError naming the keys.
    """

    __slots__ = ("_metric", "_keys", "_index", "_keyed", "_exact", "_norms", "_ef")

    def __init__(self, model: Any, *, M: int = 16, ef_construction: int = 200, ef: int = _EF,
                 seed: int | None = None, num_threads: int = 0, progress: Any = False) -> None:
        kv = _keyed_vectors(model)
        self._ef = _integer(ef, "ef", 1, _EF_LIMIT)
        if _is_poincare(kv):
            self._set_poincare(KeyedIndex.from_gensim(kv, M=M, ef_construction=ef_construction, seed=seed,
                                                      num_threads=num_threads, progress=progress))
            return
        keys = list(kv.index_to_key)
        vectors = np.asarray(kv.vectors)
        if vectors.dtype.kind != "f" or vectors.ndim != 2 or vectors.shape[0] != len(keys):
            raise ValueError(f"the model's vectors must be a ({len(keys)}, dim) array of floats, got "
                             f"{vectors.shape} of {vectors.dtype}")
        bad = np.flatnonzero(~np.isfinite(vectors).all(axis=1))
        if bad.size:
            raise ValueError(f"vectors of {_named(keys, bad)} hold NaN or infinite values")
        # gensim's fill_norms, computed here rather than on the caller's model, which stays as it was.
        norms = np.linalg.norm(vectors, axis=1)
        index = Index(vectors.shape[1], "cosine", M=M, ef_construction=ef_construction, seed=seed)
        kept = np.flatnonzero(norms > 0)
        if kept.size:
            index.add(vectors[kept], ids=kept, num_threads=num_threads, progress=progress)
        exact = None if vectors.dtype == np.float32 else vectors.copy()
        self._set_cosine(keys, index, norms, exact)

    def _set_poincare(self, keyed: KeyedIndex) -> None:
        self._metric, self._keyed, self._index = "poincare", keyed, keyed.index
        self._keys, self._exact, self._norms = None, None, None

    def _set_cosine(self, keys: list, index: Index, norms: np.ndarray, exact: np.ndarray | None) -> None:
        self._metric, self._keyed, self._index = "cosine", None, index
        self._keys, self._norms, self._exact = keys, norms, exact
        norms.flags.writeable = False
        if exact is not None:
            exact.flags.writeable = False

    # ---- what it holds --------------------------------------------------------------------------------

    @property
    def metric(self) -> str:
        """"poincare" (the answers are gensim's Poincaré distances) or "cosine" (gensim's similarities)."""
        return self._metric

    @property
    def index(self) -> Index:
        """The quellix.Index searched; a node's id is its key's position in the model's ``index_to_key``."""
        return self._index

    @property
    def ef(self) -> int:
        """The width of the graph walk of every query; larger finds more of the exact answer, slower."""
        return self._ef

    @ef.setter
    def ef(self, value: int) -> None:
        self._ef = _integer(value, "ef", 1, _EF_LIMIT)

    def __len__(self) -> int:
        return len(self._keyed) if self._keyed is not None else len(self._keys)

    def __repr__(self) -> str:
        return f"quellix.hyperbolic.GensimIndexer({len(self)} keys, metric={self._metric!r}, ef={self._ef})"

    # ---- queries --------------------------------------------------------------------------------------

    def most_similar(self, query: Any, topn: int | None = 10) -> list[tuple[Any, float]]:
        """The ``topn`` keys nearest to ``query``, as gensim's ``most_similar`` reports them.

        Under "poincare", as ``PoincareKeyedVectors.most_similar``: ``query`` is a key or a vector, the
        answer (key, Poincaré distance) pairs, nearest first, a key query leaving the key out (see
        :meth:`KeyedIndex.most_similar`). Under "cosine", as ``AnnoyIndexer``: ``query`` is the vector
        gensim's ``most_similar(..., indexer=self)`` hands over, the answer (key, cosine similarity)
        pairs, most similar first, with nothing left out, so the keys given to gensim come back too.
        A vector whose norm is not 1 is scaled to unit length first. The graph walk finds the candidates;
        their order and values are gensim's formula on them, float64 Poincaré distances or
        ``dot(vector, query) / norm`` in the model's dtype.
        """
        if self._keyed is not None:
            return self._keyed.most_similar(query, topn, ef=self._ef)
        q = self._cosine_query(query)
        topn = _integer(topn, "topn", 0)
        n = len(self._index)
        if topn == 0 or n == 0:
            return []
        width = min(n, topn + max(8, topn // 2))  # spare candidates for the exact order to reshuffle
        ids, _ = self._index.search(q, width, ef=max(self._ef, width), num_threads=1)
        found = ids[ids >= 0]
        rows = self._index.get_vectors(found) if self._exact is None else self._exact[found]
        sims = np.dot(rows, q) / self._norms[found]
        order = np.lexsort((found, -sims))[:topn]
        return [(self._keys[int(found[i])], float(sims[i])) for i in order]

    def _cosine_query(self, query: Any) -> np.ndarray:
        dim = self._index.dim
        if isinstance(query, str) or not isinstance(query, (np.ndarray, list, tuple)):
            raise TypeError(f"query must be a vector of {dim} values, not {type(query).__name__}; for a key "
                            "use the model's most_similar(positive=[key], indexer=...)")
        q = np.asarray(query)
        if q.dtype.kind not in "iuf" or q.shape != (dim,):
            raise ValueError(f"query must hold {dim} real values, got shape {q.shape} of {q.dtype}")
        if q.dtype.kind != "f":
            q = q.astype(np.float32)
        if not np.isfinite(q).all():
            raise ValueError("the query vector holds NaN or infinite values")
        wide = q.astype(np.float64)
        top = float(np.abs(wide).max())
        if top == 0.0:
            raise ValueError("the query vector is zero: it has no direction to compare")
        if not 1e-150 < top < 1e150:  # squares beyond float64's range: measure it rescaled
            q = wide = wide / top
        norm = float(np.linalg.norm(wide))
        if abs(norm - 1.0) > _UNIT_SLACK:
            q = (q / norm).astype(q.dtype)
        return q

    # ---- files ----------------------------------------------------------------------------------------

    def to_bytes(self) -> bytes:
        """The indexer file's contents (see :meth:`save`)."""
        if self._keyed is not None:
            keys, vectors, dtype, index = b"", b"", b"", self._keyed.to_bytes()
        else:
            for number, key in enumerate(self._keys):
                if isinstance(key, bool) or not isinstance(key, (str, int, np.integer, type(None))):
                    raise TypeError(f"key {number} is {type(key).__name__} {key!r}: only string and integer "
                                    "keys can be saved")
            # None names a slot gensim allocated and never filled (its vector is zero).
            keys = json.dumps([k if k is None or isinstance(k, str) else int(k) for k in self._keys],
                              ensure_ascii=False).encode("utf-8")
            exact = self._exact
            dtype = b"" if exact is None else exact.dtype.newbyteorder("<").str.encode("ascii")
            vectors = b"" if exact is None else exact.astype(exact.dtype.newbyteorder("<")).tobytes()
            index = self._index.to_bytes()
        header = _HEADER.pack(_MAGIC, _FORMAT_VERSION, _METRIC_CODES[self._metric], dtype, self._ef, len(keys),
                              len(vectors), len(index))
        parts = (header, keys, vectors, index)
        crc = 0
        for part in parts:
            crc = zlib.crc32(part, crc)
        return b"".join((*parts, _CHECKSUM.pack(crc)))

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> GensimIndexer:
        """An indexer from :meth:`to_bytes` output; a damaged or foreign buffer raises RuntimeError."""
        return cls._parse(data, "<bytes>")

    def save(self, path: PathLike) -> None:
        """Writes the indexer to one file (the keys, the index and its ef, and the vectors where the index
        does not keep them exactly), atomically as :meth:`quellix.Index.save` does. Unlike
        ``AnnoyIndexer.save``, the file needs no model to be read back."""
        _write_atomically(path, self.to_bytes())

    @classmethod
    def load(cls, path: PathLike) -> GensimIndexer:
        """Reads a file written by :meth:`save`, checking all of it; raises RuntimeError for a bad file."""
        name = os.fspath(path)
        return cls._parse(_read_file(name), name)

    def __reduce__(self):
        return (_from_bytes, (self.to_bytes(),))

    @classmethod
    def _parse(cls, data: Any, name: str) -> GensimIndexer:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"indexer data must be bytes, not {type(data).__name__}")
        data = bytes(data)

        def invalid(why: str) -> RuntimeError:
            return RuntimeError(f"Invalid gensim indexer file: {name}: {why}")

        if len(data) < _HEADER.size + _CHECKSUM.size or data[:8] != _MAGIC:
            raise invalid("not a quellix gensim indexer file")
        _, version, code, dtype, ef, n_keys, n_vectors, n_index = _HEADER.unpack_from(data)
        if version != _FORMAT_VERSION:
            raise invalid(f"format version {version} is not supported (this quellix reads {_FORMAT_VERSION})")
        metric = {c: m for m, c in _METRIC_CODES.items()}.get(code)
        if metric is None:
            raise invalid(f"unknown metric code {code}")
        expected = _HEADER.size + n_keys + n_vectors + n_index + _CHECKSUM.size
        if expected != len(data):
            raise invalid(f"{len(data)} bytes where the header announces {expected}")
        (crc,) = _CHECKSUM.unpack_from(data, len(data) - _CHECKSUM.size)
        if zlib.crc32(memoryview(data)[:-_CHECKSUM.size]) != crc:
            raise invalid("checksum mismatch")
        if not 1 <= ef <= _EF_LIMIT:
            raise invalid(f"ef {ef}")
        at = _HEADER.size
        keys_text = data[at:at + n_keys]
        at += n_keys
        vectors = data[at:at + n_vectors]
        at += n_vectors
        body = data[at:at + n_index]
        self = cls.__new__(cls)
        self._ef = int(ef)
        if metric == "poincare":
            if n_keys or n_vectors or dtype.rstrip(b"\0"):
                raise invalid("keys or vectors next to a keyed index")
            try:
                self._set_poincare(KeyedIndex.from_bytes(body))
            except RuntimeError as exc:
                raise invalid(str(exc)) from None
            return self
        try:
            keys = json.loads(keys_text.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            raise invalid("damaged keys") from None
        if not isinstance(keys, list) or not all(k is None or isinstance(k, (str, int)) and not isinstance(k, bool)
                                                  for k in keys):
            raise invalid("damaged keys")
        try:
            index = Index.from_bytes(body)
        except RuntimeError as exc:
            raise invalid(f"the index: {exc}") from None
        ids = index.ids
        if index.metric != "cosine" or (ids.size and (ids.min() < 0 or ids.max() >= len(keys))):
            raise invalid(f"the index ({index.metric}, ids up to {ids.max(initial=-1)}) does not index these "
                          f"{len(keys)} keys")
        dim = index.dim
        exact = None
        if dtype.rstrip(b"\0"):
            try:
                kind = np.dtype(dtype.rstrip(b"\0").decode("ascii"))
            except (UnicodeDecodeError, TypeError):
                raise invalid(f"unknown vector type {dtype!r}") from None
            if kind.kind != "f" or n_vectors != len(keys) * dim * kind.itemsize:
                raise invalid(f"{n_vectors} bytes of {kind} vectors for {len(keys)} keys of dimension {dim}")
            exact = np.frombuffer(vectors, dtype=kind).reshape(len(keys), dim).astype(kind.newbyteorder("="))
            if not np.isfinite(exact).all():
                raise invalid("vectors hold NaN or infinite values")
        elif n_vectors:
            raise invalid("vectors without their type")
        held = index.get_vectors(ids)
        if exact is not None:
            norms = np.linalg.norm(exact, axis=1)
            if not np.array_equal(held, exact[ids].astype(np.float32)) or not np.array_equal(
                    np.sort(ids), np.flatnonzero(norms > 0)):
                raise invalid("the index's vectors are not these vectors")
        else:
            norms = np.zeros(len(keys), np.float32)
            norms[ids] = np.linalg.norm(held, axis=1)
            if not (norms[ids] > 0).all():
                raise invalid("the index holds a zero vector")
        self._set_cosine(keys, index, norms, exact)
        return self


def _from_bytes(data: bytes) -> GensimIndexer:
    return GensimIndexer.from_bytes(data)


def _keyed_vectors(model: Any) -> Any:
    """The KeyedVectors a gensim model answers most_similar from: the model itself, a PoincareModel's
    ``kv``, a Doc2Vec's ``dv`` or a Word2Vec's or FastText's ``wv``."""
    for kv in (model, *(getattr(model, name, None) for name in ("kv", "dv", "wv"))):
        if hasattr(kv, "index_to_key") and hasattr(kv, "vectors"):
            return kv
    raise TypeError("GensimIndexer takes a gensim PoincareModel, KeyedVectors or a model holding them "
                    f"(Word2Vec, FastText, Doc2Vec), not {type(model).__name__}")


def _is_poincare(kv: Any) -> bool:
    # A PoincareKeyedVectors exists only once gensim's poincare module is loaded: quellix never imports it.
    poincare = sys.modules.get("gensim.models.poincare")
    return poincare is not None and isinstance(kv, poincare.PoincareKeyedVectors)
