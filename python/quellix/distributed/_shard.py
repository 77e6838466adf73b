"""One shard: a quellix.Index held by a Dask actor on a worker.

Every method answers ("ok", value) or ("error", exception): an exception the shard raised itself comes
back as a value, so the coordinator can tell it apart from a failure of the worker or the network,
which Dask raises from the call.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Callable

import numpy as np

from quellix import Index
from quellix._lists import IdLists
from quellix.distributed import _files, _ties

_SEARCHES = ("search", "filtered_search", "exact_search")
_CANDIDATE_CHUNK = 8  # queries scanned at once when the offered nodes come from an exact search


def _answer(fn: Callable[[], Any]) -> tuple[str, Any]:
    try:
        return "ok", fn()
    except Exception as exc:  # noqa: BLE001 - handed back to the coordinator, which raises it
        return "error", exc


class Shard:
    """A shard's index (holding the global ids as its own), the token of the coordinator's handle to it,
    and how many of the coordinator's changes it has applied since its last file."""

    def __init__(self, shard: int, token: str, dim: int, metric: str, M: int, ef_construction: int,
                 seed: int | None) -> None:
        self.shard = shard
        self.token = token
        self.index = Index(dim, metric, M=M, ef_construction=ef_construction, seed=seed)
        self.base: str | None = None  # the file the index was last read from or written to
        self.applied = 0  # the coordinator's changes applied since

    async def ping(self) -> str:
        # Runs on the worker's event loop, not behind a long call in the actor's thread, and touches
        # no index lock: it answers whether the worker lives, not whether the shard is idle.
        return self.token

    def pid(self) -> tuple[str, Any]:
        return _answer(os.getpid)

    def restore(self, path: str, digest: str, count: int, layout: tuple[int, int] | None = None) -> tuple[str, Any]:
        """Replaces the index with the shard file `path`, which must have SHA-256 `digest` and hold
        `count` vectors of this shard's dim, metric and M. A file of the first layout (``layout`` =
        (shard, n_shards)) holds local ids: node i takes the global id i * n_shards + shard."""
        def run() -> int:
            try:
                data = Path(path).read_bytes()
            except OSError as exc:
                raise RuntimeError(f"cannot read {path} ({exc.strerror or exc})") from None
            if _files.sha256(data) != digest:
                raise RuntimeError(f"{path} does not have the checksum the manifest records")
            index = Index.from_bytes(data)
            want = (self.index.dim, self.index.metric, self.index.M, self.index.ef_construction, count)
            have = (index.dim, index.metric, index.M, index.ef_construction, len(index))
            if have != want:
                raise RuntimeError(f"{path} holds dim, metric, M, ef_construction, count {have}; the manifest says {want}")
            if layout is not None and count:
                shard, n_shards = layout
                if not index._engine.ids_are_positions():
                    raise RuntimeError(f"{path} holds ids of its own, where its manifest's layout has none")
                index._engine.set_labels(np.arange(count, dtype=np.int64) * n_shards + shard,
                                         (count - 1) * n_shards + shard + 1)
            self.index = index
            self.base, self.applied = path, 0
            return len(index)
        return _answer(run)

    def apply(self, base: str | None, seq: int, change: tuple, count: int = 1) -> tuple[str, Any]:
        """Applies the coordinator's changes number `seq` .. seq + count - 1 since the file `base` (None:
        since the shard began), joined into one: ("add", ids, vectors, masks, replace) or ("remove",
        ids). Changes already applied (a retried call) are not applied again. Answers the shard's count."""
        def run() -> int:
            if base != self.base:
                raise _OutOfStep(f"shard {self.shard} comes from {self.base}, a change since {base} arrived")
            if seq + count <= self.applied:
                return len(self.index)
            if seq != self.applied:
                raise _OutOfStep(f"shard {self.shard} has applied {self.applied} changes, change {seq} arrived")
            if change[0] == "add":
                _, ids, vectors, masks, replace = change
                self.index.add(vectors, masks, ids=ids, replace=replace)
            else:
                self.index.remove(change[1], missing_ok=True)
            self.applied += count
            return len(self.index)
        return _answer(run)

    def held(self, ids: np.ndarray) -> tuple[str, Any]:
        """Which of `ids` the shard holds (a bool per id)."""
        def run() -> np.ndarray:
            if 16 * len(ids) < len(self.index):  # a few ids: one lookup each
                return np.fromiter((int(i) in self.index for i in ids), bool, len(ids))
            return np.isin(ids, self.index.ids)
        return _answer(run)

    def ids(self) -> tuple[str, Any]:
        """The global ids held, ascending."""
        return _answer(lambda: np.sort(self.index.ids))

    def compact(self) -> tuple[str, Any]:
        return _answer(self.index.compact)

    def search(self, kind: str, queries: np.ndarray, k: int, options: dict[str, Any]) -> tuple[str, Any]:
        if kind not in _SEARCHES:
            return "error", ValueError(f"unknown search {kind!r}")
        return _answer(lambda: getattr(self.index, kind)(queries, k, **options))

    def exact_candidates(self, queries: np.ndarray, k: int, options: dict[str, Any]) -> tuple[str, Any]:
        """The shard's ids ascending and, for each query, the nodes an exact search over all shards could
        keep and which nodes it offers (see _ties): (ids, distances, packed offered bits or None)."""
        return _answer(lambda: self._candidates(queries, k, options))

    def _candidates(self, queries: np.ndarray, k: int, options: dict[str, Any]) -> tuple[np.ndarray, list]:
        """The shard's ids ascending, and per query the candidates of _ties: (ids, distances, packed
        offered bits over those ids or None)."""
        held = np.sort(self.index.ids)
        n = len(held)
        out = []
        if n == 0:
            return held, [(np.empty(0, np.int64), np.empty(0, np.float32), None)] * len(queries)
        lists = IdLists.of(options.get("ids"), options.get("exclude_ids"), len(queries))
        if options.get("min_norm") is not None or options.get("max_norm") is not None:
            # The norm screens compare the index's own cached norms: let the index apply every filter
            # and hand back all it offers.
            for begin in range(0, len(queries), _CANDIDATE_CHUNK):
                chunk = np.arange(begin, min(begin + _CANDIDATE_CHUNK, len(queries)))
                if lists is not None and lists.per_row:
                    options = dict(options, **lists.take(chunk).kwargs())
                ids, dists = self.index.exact_search(queries[chunk], n, **options)
                for row_ids, row_dists in zip(ids, dists):
                    keep = row_ids >= 0
                    order = np.argsort(row_ids[keep], kind="stable")
                    out.append(self._scan(held, row_ids[keep][order], row_dists[keep][order], k))
            return held, out
        mask, any_of = int(options.get("filter_mask", 0)), int(options.get("filter_any", 0))
        screened = held
        if mask or any_of:
            masks = self.index.masks[np.argsort(self.index.ids, kind="stable")]
            keep = (masks & np.uint64(mask)) == np.uint64(mask)
            if any_of:
                keep &= (masks & np.uint64(any_of)) != 0
            screened = held[keep]
        radius = options.get("max_distance")
        for row, q in enumerate(queries):
            ids = screened if lists is None else lists.keep(screened, row)
            dists = self.index.distances(q, ids) if ids.size else np.empty(0, np.float32)
            if radius is not None:
                within = dists <= np.float32(radius)
                ids, dists = ids[within], dists[within]
            out.append(self._scan(held, ids, dists, k))
        return held, out

    @staticmethod
    def _scan(held: np.ndarray, ids: np.ndarray, dists: np.ndarray, k: int) -> tuple:
        near = _ties.near_candidates(dists, k)
        if len(ids) == len(held):
            bits = None
        else:
            offered = np.zeros(len(held), dtype=bool)
            offered[np.searchsorted(held, ids)] = True
            bits = np.packbits(offered)
        return ids[near], dists[near], bits

    def save(self, path: str) -> tuple[str, Any]:
        """Writes the index file to `path` atomically; answers (count, bytes, sha256)."""
        def run() -> tuple[int, int, str]:
            count = len(self.index)
            data = self.index.to_bytes()
            _files.write_atomically(path, data)
            self.base, self.applied = path, 0
            return count, len(data), _files.sha256(data)
        return _answer(run)

    def count(self) -> tuple[str, Any]:
        return _answer(lambda: len(self.index))

    def stats(self) -> tuple[str, Any]:
        return _answer(self.index.stats)


class _OutOfStep(RuntimeError):
    """A shard that has not applied the changes the coordinator's log says it must have."""
