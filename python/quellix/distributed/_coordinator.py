"""ShardedIndex: the coordinator of a sharded index on a Dask cluster.

Every id lives on one shard, chosen from the id alone (see _files.owners), and each shard's index holds
the global ids as its own, so the coordinator never keeps a table of ids: it asks the shard that owns
an id whether it holds it. Every call goes to each shard once per batch, all shards at once.

What the coordinator keeps so that a shard can be rebuilt: where each shard was last saved (file and
checksum) and every change since (adds, replacements, removals), in order. A shard whose worker dies or
stops answering is rebuilt on a live worker from that file plus those changes, and the call that
noticed it is repeated on the new shard. Each change carries its number among the shard's changes
since its file, so a repeated call (the retry after a lost reply) is recognised and not applied twice.
"""

from __future__ import annotations

import asyncio
import logging
import math
import operator
import os
import threading
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import numpy as np
from distributed import Client

from quellix import Index
from quellix._index import _ids, _integer, _new_ids
from quellix import _native
from quellix._lists import IdLists
from quellix.distributed import _files, _ties
from quellix.distributed._files import ManifestError, owners
from quellix.distributed._shard import Shard, _OutOfStep

log = logging.getLogger("quellix.distributed")

_REPLAY_BYTES = 64 << 20  # plain adds replayed into a rebuilt shard are joined into pieces of about this size
_SPAWN_TIMEOUT = 20.0  # seconds for a worker to start a shard's actor (at least three heartbeats)


class ShardUnavailableError(RuntimeError):
    """A shard that is gone and could not be rebuilt; ``shard`` is its number."""

    def __init__(self, shard: int, reason: str) -> None:
        super().__init__(f"shard {shard} is unavailable: {reason}")
        self.shard = shard
        self.reason = reason


@dataclass(eq=False)
class _Handle:
    """The coordinator's handle to one shard's actor. A rebuilt shard gets a new handle."""

    shard: int
    worker: str
    token: str
    future: Any
    actor: Any


class _Fault(Exception):
    """A call the worker or the network failed; the shard must be checked or rebuilt."""

    def __init__(self, handle: _Handle, reason: str) -> None:
        super().__init__(reason)
        self.handle = handle
        self.reason = reason


def _merge(parts: list[tuple[int, np.ndarray, np.ndarray]], n_shards: int, k: int) -> tuple[np.ndarray, np.ndarray]:
    """The k nearest of the shards' (m, k') answers by (distance, global id); padding sorts last."""
    ids = np.concatenate([found for _, found, _ in parts], axis=1)
    dists = np.concatenate([d for _, _, d in parts], axis=1)
    tiebreak = np.where(ids >= 0, ids, np.iinfo(np.int64).max)
    order = np.lexsort((tiebreak, ids < 0, dists), axis=-1)[:, :k]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(dists, order, axis=1)


def _cut_at_gaps(ids: np.ndarray, dists: np.ndarray) -> None:
    """Cuts each ranked row at its first large jump in distance, as the index's filtered search does
    with cut_gaps=True, in place."""
    for row in range(len(ids)):
        d = dists[row]
        for i in range(1, len(d)):
            if ids[row, i] < 0:
                break
            if (d[i - 1] > np.float32(0.01) and d[i] - d[i - 1] > np.float32(0.6)) or d[i] > np.float32(2.0):
                ids[row, i:] = -1
                dists[row, i:] = np.inf
                break


class ShardedIndex:
    """An index split into ``n_shards`` shards, each a :class:`quellix.Index` in a Dask actor.

    ``client`` is a :class:`distributed.Client`; shards are spread over its workers. ``dim``, ``metric``,
    ``M``, ``ef_construction`` are those of every shard; with a ``seed`` each shard gets its own seed
    derived from it, so that a shard rebuilt from the start is the same graph. ``storage`` is the
    directory :meth:`save` writes to when given no path; shards are rebuilt from the files of the last
    save, so on a real cluster it must be visible to every worker. ``heartbeat`` is how many seconds a
    call waits before checking that the shard's worker still answers (and how long that check may
    take); ``retries`` is how many times one call rebuilds the same shard before giving up.
    """

    def __init__(self, client: Client, n_shards: int, dim: int, metric: str = "poincare", *, M: int = 16,
                 ef_construction: int = 200, seed: int | None = None, storage: str | os.PathLike | None = None,
                 heartbeat: float = 10.0, retries: int = 2) -> None:
        self._setup(client, _integer(n_shards, "n_shards", 1), Index(dim, metric, M=M, ef_construction=ef_construction,
                                                                   seed=seed), seed, storage, heartbeat, retries)
        self._start_shards()

    def _setup(self, client, n_shards, probe, seed, storage, heartbeat, retries) -> None:
        if not isinstance(client, Client):
            raise TypeError(f"client must be a distributed.Client, not {type(client).__name__}")
        heartbeat = float(heartbeat)
        if not heartbeat > 0 or math.isinf(heartbeat):
            raise ValueError(f"heartbeat must be a positive number of seconds, got {heartbeat}")
        self._client = client
        self._n = n_shards
        self._probe = probe  # never holds a vector: checks arguments exactly as a shard will
        self._seed = seed
        self._storage = None if storage is None else os.fspath(storage)
        self._heartbeat = heartbeat
        self._retries = _integer(retries, "retries", 0)
        self._name = uuid.uuid4().hex[:12]
        self._lock = threading.RLock()
        self._count = 0
        self._next = 0  # the id of the next row added without one: past every id ever held
        self._legacy = 0  # ids below it were placed by the first layout (see _files.owners)
        self._counts = [0] * n_shards  # vectors per shard
        # Changes since the last save, in order: ("add", ids, vectors, masks, replace, owners) or
        # ("remove", ids, owners); and how many of them each shard took part in.
        self._log: list[tuple] = []
        self._changes = [0] * n_shards
        # (file, sha256, count, first-layout (shard, n_shards) or None) of each shard's last save
        self._snapshots: list[tuple[str, str, int, tuple[int, int] | None] | None] = [None] * n_shards
        self._lost: dict[int, str] = {}
        self._recoveries = 0
        self._last_save: str | None = None
        self._handles: list[_Handle] = []
        self._closed = False

    # ---- properties ---------------------------------------------------------------------------------

    @property
    def n_shards(self) -> int:
        return self._n

    @property
    def dim(self) -> int:
        return self._probe.dim

    @property
    def metric(self) -> str:
        return self._probe.metric

    @property
    def M(self) -> int:
        return self._probe.M

    @property
    def ef_construction(self) -> int:
        return self._probe.ef_construction

    def __len__(self) -> int:
        return self._count

    def __repr__(self) -> str:
        return (f"quellix.distributed.ShardedIndex(n_shards={self._n}, dim={self.dim}, metric={self.metric!r}, "
                f"M={self.M}, ef_construction={self.ef_construction}) with {self._count} vectors")

    def __reduce__(self):
        raise TypeError("a ShardedIndex holds a Dask client and cannot be pickled; save() it and load() it instead")

    # ---- shards and workers -----------------------------------------------------------------------------

    def _shard_seed(self, shard: int) -> int | None:
        if self._seed is None:
            return None
        return int(np.random.SeedSequence([self._seed, shard]).generate_state(1, np.uint64)[0])

    def _workers(self, exclude: set[str] = frozenset()) -> list[str]:
        """Live workers, those holding the fewest shards first."""
        info = self._client.scheduler_info(n_workers=-1)["workers"]
        live = [w for w, meta in info.items() if meta.get("status", "running") == "running" and w not in exclude]
        held = {w: 0 for w in live}
        for h in self._handles:
            if h.worker in held and h.shard not in self._lost:
                held[h.worker] += 1
        return sorted(live, key=lambda w: (held[w], w))

    def _spawn(self, shards: list[int], workers: list[str]) -> list[_Handle]:
        """New, empty shard actors, shard shards[i] on workers[i]."""
        handles = []
        for s, w in zip(shards, workers):
            token = uuid.uuid4().hex
            future = self._client.submit(Shard, s, token, self.dim, self.metric, self.M, self.ef_construction,
                                         self._shard_seed(s), actor=True, workers=[w], allow_other_workers=False,
                                         pure=False, key=f"quellix-shard-{self._name}-{s}-{token[:8]}")
            handles.append(_Handle(s, w, token, future, None))
        for h in handles:
            try:
                h.actor = h.future.result(timeout=max(_SPAWN_TIMEOUT, 3 * self._heartbeat))
            except Exception as exc:
                for other in handles:
                    other.future.cancel()
                raise _Fault(h, f"worker {h.worker} could not start it ({type(exc).__name__}: {exc})") from exc
        return handles

    def _start_shards(self) -> None:
        workers = self._workers()
        if not workers:  # a cluster that has just been started may still be bringing its workers up
            try:
                self._client.wait_for_workers(1, timeout=_SPAWN_TIMEOUT)
            except (Exception, asyncio.CancelledError):
                pass
            workers = self._workers()
        if not workers:
            raise RuntimeError(f"the Dask cluster has no running workers (waited {_SPAWN_TIMEOUT:.0f} s)")
        try:
            self._handles = self._spawn(list(range(self._n)), [workers[s % len(workers)] for s in range(self._n)])
        except _Fault as fault:
            raise ShardUnavailableError(fault.handle.shard, fault.reason) from None

    def _alive(self, h: _Handle) -> bool:
        try:
            return h.actor.ping().result(timeout=self._heartbeat) == h.token
        except (Exception, asyncio.CancelledError):
            return False

    @staticmethod
    def _send(h: _Handle, method: str, *args: Any):
        """Starts a call on a shard's actor; _Fault when Dask already knows its worker is gone."""
        try:
            return getattr(h.actor, method)(*args)
        except (Exception, asyncio.CancelledError) as exc:
            raise _Fault(h, f"its worker {h.worker} is gone ({type(exc).__name__}: {exc})") from exc

    def _wait(self, h: _Handle, future) -> tuple[str, Any]:
        """A call's answer; _Fault when the worker fails or stops answering while it runs."""
        while True:
            try:
                status, value = future.result(timeout=self._heartbeat)
            except TimeoutError:
                if self._alive(h):
                    continue
                raise _Fault(h, f"its worker {h.worker} stopped answering") from None
            except (Exception, asyncio.CancelledError) as exc:
                raise _Fault(h, f"its worker {h.worker} failed ({type(exc).__name__}: {exc})") from exc
            if status == "error" and isinstance(value, _OutOfStep):
                raise _Fault(h, str(value))
            return status, value

    def _call(self, shards: list[int], method: str, args: Callable[[int], tuple],
              on_error: Callable[[int, Exception], Exception] | None = None) -> dict[int, Any]:
        """Calls `method` on every shard in `shards` at once and answers {shard: value}. A shard whose
        worker fails is rebuilt and asked again; an exception a shard raises itself is raised here (or
        what `on_error` makes of it), once every shard has answered."""
        results: dict[int, Any] = {}
        attempts = dict.fromkeys(shards, 0)
        todo = list(shards)
        while todo:
            handles = {s: self._handles[s] for s in todo}
            futures = {}
            faults = []
            for s, h in handles.items():
                try:
                    futures[s] = self._send(h, method, *args(s))
                except _Fault as fault:
                    faults.append(fault)
            error = None
            for s, future in futures.items():
                try:
                    status, value = self._wait(handles[s], future)
                except _Fault as fault:
                    faults.append(fault)
                    continue
                if status == "ok":
                    results[s] = value
                elif error is None:
                    error = value if on_error is None else on_error(s, value)
            for fault in faults:
                s = fault.handle.shard
                attempts[s] += 1
                if attempts[s] > self._retries:
                    self._lost[s] = f"it failed {attempts[s]} times in one call, last: {fault.reason}"
                    raise ShardUnavailableError(s, self._lost[s])
                self._recover(fault.handle, fault.reason)
            if error is not None:
                raise error
            todo = [fault.handle.shard for fault in faults]
        return results

    def _check_lost(self) -> None:
        """Tries once more to rebuild every shard known to be gone; raises for the first that stays gone."""
        if self._closed:
            raise RuntimeError("this ShardedIndex is closed")
        for s in sorted(self._lost):
            self._recover(self._handles[s], self._lost[s])

    # ---- rebuilding ----------------------------------------------------------------------------------

    def _recover(self, failed: _Handle, reason: str) -> None:
        """Rebuilds a failed shard on a live worker from its last saved file and the adds since."""
        with self._lock:
            s = failed.shard
            if self._handles[s] is not failed:  # another call rebuilt it already
                return
            log.warning("quellix.distributed: rebuilding shard %d (%s)", s, reason)
            try:
                failed.future.cancel()
            except Exception:
                pass
            exclude = {failed.worker} if not self._alive(failed) else set()
            problems = []
            for worker in self._workers(exclude)[:3]:
                try:
                    handle = self._spawn([s], [worker])[0]
                    self._fill(handle)
                except _Fault as fault:
                    problems.append(fault.reason)
                    continue
                except _Unrecoverable as exc:
                    self._lost[s] = str(exc)
                    raise ShardUnavailableError(s, f"{reason}; it cannot be rebuilt: {exc}") from None
                self._handles[s] = handle
                self._lost.pop(s, None)
                self._recoveries += 1
                log.warning("quellix.distributed: shard %d rebuilt on %s", s, worker)
                return
            why = "; ".join(problems) if problems else "no live worker could take it"
            self._lost[s] = f"{reason}; rebuilding failed: {why}"
            raise ShardUnavailableError(s, self._lost[s])

    def _fill(self, h: _Handle) -> None:
        """Loads a new shard actor with the shard's last saved file and replays the changes since."""
        s = h.shard
        snapshot = self._snapshots[s]
        if snapshot is not None:
            status, value = self._wait(h, self._send(h, "restore", *snapshot))
            if status == "error":
                h.future.cancel()
                raise _Unrecoverable(f"its last saved file cannot be used: {value}")
        for seq, count, change in self._replay_pieces(s):
            status, value = self._wait(h, self._send(h, "apply", self._base(s), seq, change, count))
            if status == "error":
                h.future.cancel()
                raise _Unrecoverable(f"replaying the changes since the last save failed: {value!r}")
        status, have = self._wait(h, self._send(h, "count"))
        if have != self._counts[s]:
            h.future.cancel()
            raise _Unrecoverable(f"rebuilt with {have} vectors where {self._counts[s]} belong to it")

    def _base(self, s: int) -> str | None:
        """The file shard s's changes count from (None: from its start)."""
        return None if self._snapshots[s] is None else self._snapshots[s][0]

    @staticmethod
    def _part(change: tuple, s: int) -> tuple | None:
        """Shard s's part of a logged change, or None when it has none."""
        mine = change[-1] == s
        if not mine.any():
            return None
        if change[0] == "add":
            _, ids, vectors, masks, replace, _ = change
            return "add", ids[mine], vectors[mine], masks[mine], replace
        return "remove", change[1][mine]

    def _replay_pieces(self, s: int):
        """Shard s's parts of the logged changes, in order, as (number of the first, how many, change):
        runs of plain adds (no replacement, rows of one dtype) joined into pieces of about
        _REPLAY_BYTES."""
        seq, run, size = 0, [], 0

        def joined():
            ids, vectors, masks = (np.concatenate([part[i] for part in run]) for i in (1, 2, 3))
            return seq - len(run), len(run), ("add", ids, vectors, masks, False)

        for change in self._log:
            part = self._part(change, s)
            if part is None:
                continue
            plain = part[0] == "add" and not part[4]
            if run and (not plain or size >= _REPLAY_BYTES or part[2].dtype != run[0][2].dtype):
                yield joined()
                run, size = [], 0
            if plain:
                run.append(part)
                size += part[2].nbytes
            else:
                yield seq, 1, part
            seq += 1
        if run:
            yield joined()

    def _apply(self, change: tuple, counts: np.ndarray) -> None:
        """Logs `change` and applies it on every shard it concerns, after which shard s holds counts[s]
        vectors. A change that cannot reach one of them raises and is forgotten: the shards it reached
        are rebuilt without it."""
        shards = sorted(set(change[-1].tolist()))
        seqs = {s: self._changes[s] for s in shards}
        before = list(self._counts)
        # A shard rebuilt while the change runs replays it, and is checked against the counts after it.
        self._log.append(change)
        self._counts = [int(c) for c in counts]
        for s in shards:
            self._changes[s] += 1
        try:
            self._call(shards, "apply", lambda s: (self._base(s), seqs[s], self._part(change, s), 1))
        except BaseException:
            # Which shards applied it is not known for sure: forget it, and have every shard it went to
            # rebuilt without it before the next call.
            self._log.pop()
            self._counts = before
            for s in shards:
                self._changes[s] -= 1
                self._lost.setdefault(s, f"it is rebuilt without a failed {change[0]} of {len(change[1])} ids")
            raise
        self._count = sum(self._counts)

    def _held(self, ids: np.ndarray, owner: np.ndarray) -> np.ndarray:
        """Which of `ids` (placed on the shards `owner`) the index holds."""
        held = np.zeros(len(ids), dtype=bool)
        shards = sorted(set(owner.tolist()))
        answers = self._call(shards, "held", lambda s: (ids[owner == s],))
        for s in shards:
            held[owner == s] = answers[s]
        return held

    # ---- building -------------------------------------------------------------------------------------

    def add(self, vectors: Any, masks: Any = None, *, ids: Any = None, replace: bool = False) -> np.ndarray:
        """Adds one vector (dim,) or a batch (n, dim) and answers their ids (int64). Without ``ids`` the
        rows take the ids past every id ever held, in order (0, 1, 2, ... for an index given none of its
        own). With ``ids`` a row whose id the index holds is a ValueError, unless ``replace``: then it
        replaces that vector. Rows, masks and ids are checked as :meth:`quellix.Index.add` checks them,
        before any shard is called; a bad batch adds nothing. An add that cannot reach every shard raises
        and changes nothing: the shards that took their rows are rebuilt without them."""
        scratch = Index(self.dim, self.metric)
        scratch.add(vectors, masks, link=False)  # refuses what a shard would refuse, naming the row
        mask_rows = scratch.masks
        del scratch
        arr = np.asarray(vectors)
        # A copy: the coordinator replays these rows into a rebuilt shard, whatever the caller does to
        # its array afterwards. Float64 stays float64, for the poincare factor.
        rows = np.array(arr.reshape(1, -1) if arr.ndim == 1 else arr, dtype=np.float64 if arr.dtype.kind == "O" else None)
        n = len(rows)
        given = None if ids is None else _new_ids(ids, n)
        with self._lock:
            self._check_lost()
            if n == 0:
                return np.empty(0, dtype=np.int64)
            new = given if given is not None else np.arange(self._next, self._next + n, dtype=np.int64)
            owner = owners(new, self._n, self._legacy)
            held = self._held(new, owner) if given is not None else np.zeros(n, dtype=bool)
            if held.any() and not replace:
                raise ValueError(f"id {int(new[held][0])} is already in the index (replace=True replaces it)")
            counts = np.array(self._counts) + np.bincount(owner[~held], minlength=self._n)
            self._apply(("add", new, rows, mask_rows, bool(replace), owner), counts)
            self._next = max(self._next, int(new.max()) + 1)
        return new.copy()

    def remove(self, ids: Any, *, missing_ok: bool = False) -> int:
        """Removes the vectors ``ids``; answers how many were removed (a repeated id counts once). An id
        the index does not hold is a quellix._native.UnknownIdError (a KeyError) naming it, and nothing
        is removed, unless ``missing_ok``."""
        wanted = np.unique(_ids(ids))
        with self._lock:
            self._check_lost()
            valid = wanted[wanted >= 0]
            owner = owners(valid, self._n, self._legacy)
            held = self._held(valid, owner) if len(valid) else np.zeros(0, dtype=bool)
            if not missing_ok and (len(valid) < len(wanted) or not held.all()):
                missing = wanted[0] if len(valid) < len(wanted) else valid[~held][0]
                raise _native.UnknownIdError(f"id {int(missing)} is not in the index")
            gone, owner = valid[held], owner[held]
            if not len(gone):
                return 0
            self._apply(("remove", gone, owner), np.array(self._counts) - np.bincount(owner, minlength=self._n))
        return len(gone)

    @property
    def ids(self) -> np.ndarray:
        """The ids held, ascending (int64)."""
        with self._lock:
            self._check_lost()
            answers = self._call(list(range(self._n)), "ids", lambda s: ())
        return np.sort(np.concatenate([answers[s] for s in range(self._n)]))

    def __contains__(self, id: object) -> bool:
        try:
            value = operator.index(id)
        except TypeError:
            return False
        if not 0 <= value < 2**63:
            return False
        ids = np.array([value], dtype=np.int64)
        with self._lock:
            self._check_lost()
            return bool(self._held(ids, owners(ids, self._n, self._legacy))[0])

    def compact(self) -> None:
        """Compacts every shard (see :meth:`quellix.Index.compact`); ids and answers do not change."""
        with self._lock:
            self._check_lost()
            self._call(list(range(self._n)), "compact", lambda s: ())

    # ---- searching ------------------------------------------------------------------------------------

    def _queries(self, queries: Any) -> tuple[np.ndarray, bool]:
        arr = np.asarray(queries)
        if arr.dtype.kind == "O":
            arr = arr.astype(np.float64)
        return (arr.reshape(1, -1), True) if arr.ndim == 1 else (arr, False)

    def _search(self, kind: str, queries: Any, k: int, options: dict[str, Any]):
        # The empty probe index checks every argument exactly as a shard will, and gives the padded answer.
        empty = getattr(self._probe, kind)(queries, k, **options)
        rows, single = self._queries(queries)
        k = int(k)
        lists = IdLists.of(options.pop("ids"), options.pop("exclude_ids"), len(rows))
        with self._lock:
            self._check_lost()
            shards = [s for s in range(self._n) if self._counts[s]]
            if k == 0 or not shards or len(rows) == 0:
                return empty
            return self._search_shards(kind, rows, single, k, options, shards, lists)

    def _local_lists(self, lists: IdLists | None, shard: int, picked: np.ndarray | None = None) -> dict[str, Any]:
        """The id lists of the rows ``picked`` (all by default), as far as shard ``shard`` owns the ids."""
        if lists is None:
            return {}
        if picked is not None and lists.per_row:
            lists = lists.take(picked)
        return lists.select(lambda ids: np.where(owners(ids, self._n, self._legacy) == shard, ids, -1)).kwargs()

    def _search_shards(self, kind, rows, single, k, options, shards, lists):
        shard_k = k + 1 if kind == "exact_search" and k < 2**31 - 1 else k
        shard_options = dict(options, cut_gaps=False) if kind == "filtered_search" else options
        answers = self._call(shards, "search",
                             lambda s: (kind, rows, shard_k, dict(shard_options, **self._local_lists(lists, s))))
        ids, dists = _merge([(s, *answers[s]) for s in shards], self._n, shard_k)
        if kind == "exact_search":
            ids, dists = self._settle_ties(rows, k, options, ids, dists, shards, lists)
        ids, dists = np.ascontiguousarray(ids[:, :k]), np.ascontiguousarray(dists[:, :k])
        if kind == "filtered_search" and options.get("cut_gaps"):
            _cut_at_gaps(ids, dists)
        return (ids[0], dists[0]) if single else (ids, dists)

    def _settle_ties(self, rows, k, options, ids, dists, shards, lists):
        """Rows whose k + 1 nearest are not all at different distances depend on how the single index's
        heap orders equal distances: they are replayed (see _ties)."""
        width = min(k + 1, ids.shape[1])
        real = ids[:, 1:width] >= 0
        tied = np.flatnonzero((real & ~(dists[:, 1:width] > dists[:, :width - 1])).any(axis=1))
        if not tied.size:
            return ids, dists
        answers = self._call(shards, "exact_candidates",
                             lambda s: (rows[tied], k, dict(options, **self._local_lists(lists, s, tied))))
        ids = ids[:, :k].copy()
        dists = dists[:, :k].copy()
        for i, row in enumerate(tied):
            scans = [None] * self._n
            for s in shards:
                held, per_query = answers[s]
                scans[s] = _ties.ShardScan(*per_query[i], held)
            ids[row], dists[row] = _ties.replay(scans, k)
        return ids, dists

    def search(self, queries: Any, k: int = 10, *, ef: int = 50, filter_mask: int = 0, filter_any: int = 0,
               ids: Any = None, exclude_ids: Any = None, max_distance: float | None = None,
               min_norm: float | None = None, max_norm: float | None = None, strategy: str = "auto",
               num_threads: int = 0) -> tuple[np.ndarray, np.ndarray]:
        """Graph search on every shard at width ``ef``, merged by (distance, global id). Arguments and
        results as for :meth:`quellix.Index.search`; ``num_threads`` is each shard's, and so is the
        planner's choice under ``strategy="auto"``."""
        return self._search("search", queries, k, dict(ef=ef, filter_mask=filter_mask, filter_any=filter_any,
                                                       ids=ids, exclude_ids=exclude_ids,
                                                       max_distance=max_distance, min_norm=min_norm,
                                                       max_norm=max_norm, strategy=strategy, num_threads=num_threads))

    def filtered_search(self, queries: Any, k: int = 10, *, ef: int | None = None, filter_mask: int = 0,
                        filter_any: int = 0, ids: Any = None, exclude_ids: Any = None,
                        max_distance: float | None = None, min_norm: float | None = None,
                        max_norm: float | None = None, cut_gaps: bool = False, strategy: str = "auto",
                        num_threads: int = 0) -> tuple[np.ndarray, np.ndarray]:
        """Filtered graph search on every shard, merged; ``ef=None`` lets each shard pick its width from
        the share of its nodes that pass the mask, and ``strategy="auto"`` lets each shard's planner walk
        or scan; ``cut_gaps`` cuts the merged ranking."""
        return self._search("filtered_search", queries, k,
                            dict(ef=ef, filter_mask=filter_mask, filter_any=filter_any, ids=ids,
                                 exclude_ids=exclude_ids, max_distance=max_distance,
                                 min_norm=min_norm, max_norm=max_norm, cut_gaps=cut_gaps, strategy=strategy,
                                 num_threads=num_threads))

    def exact_search(self, queries: Any, k: int = 10, *, filter_mask: int = 0, filter_any: int = 0,
                     ids: Any = None, exclude_ids: Any = None, max_distance: float | None = None,
                     min_norm: float | None = None, max_norm: float | None = None,
                     num_threads: int = 0) -> tuple[np.ndarray, np.ndarray]:
        """Exact search: the same ids and distances as :meth:`quellix.Index.exact_search` on one index
        holding the same vectors in the same order, equal distances included."""
        return self._search("exact_search", queries, k, dict(filter_mask=filter_mask, filter_any=filter_any,
                                                             ids=ids, exclude_ids=exclude_ids,
                                                             max_distance=max_distance, min_norm=min_norm,
                                                             max_norm=max_norm, num_threads=num_threads))

    # ---- files ----------------------------------------------------------------------------------------

    def save(self, path: str | os.PathLike | None = None) -> str:
        """Writes every shard to its own quellix file in the directory ``path`` (default: ``storage``),
        then the manifest (count, dim, metric, the shard files with their sizes and SHA-256) atomically,
        then removes the files of earlier saves there. Answers the directory. From then on shards are
        rebuilt from these files and the coordinator forgets the changes before the save."""
        if path is None:
            if self._storage is None:
                raise ValueError("save() needs a path: this ShardedIndex was made without storage")
            path = self._storage
        directory = Path(path).resolve()
        directory.mkdir(parents=True, exist_ok=True)
        with self._lock:
            self._check_lost()
            generation = _files.new_generation()
            names = [_files.shard_file_name(s, generation) for s in range(self._n)]
            counts = list(self._counts)
            try:
                written = self._call(list(range(self._n)), "save", lambda s: (str(directory / names[s]),))
            except BaseException:
                _files.remove_unreferenced(directory, self._referenced(directory))
                raise
            entries = []
            for s in range(self._n):
                c, size, digest = written[s]
                if c != counts[s]:
                    raise RuntimeError(f"shard {s} saved {c} vectors where {counts[s]} belong to it")
                entries.append({"shard": s, "file": names[s], "count": c, "bytes": size, "sha256": digest})
            _files.write_atomically(directory / _files.MANIFEST, _files.manifest_bytes(
                count=sum(counts), dim=self.dim, metric=self.metric, M=self.M, ef_construction=self.ef_construction,
                next_id=self._next, legacy=self._legacy, shards=entries))
            self._snapshots = [(str(directory / e["file"]), e["sha256"], e["count"], None) for e in entries]
            self._log = []
            self._changes = [0] * self._n
            self._last_save = str(directory)
            _files.remove_unreferenced(directory, {e["file"] for e in entries})
        return str(directory)

    def _referenced(self, directory: Path) -> set[str]:
        """Files in `directory` that a manifest there or this index's recovery still needs."""
        keep = {Path(snap[0]).name for snap in self._snapshots if snap and Path(snap[0]).parent == directory}
        try:
            keep |= {e["file"] for e in _files.read_manifest(directory)["shards"]}
        except ManifestError:
            pass
        return keep

    @classmethod
    def load(cls, client: Client, path: str | os.PathLike, *, storage: str | os.PathLike | None = None,
             heartbeat: float = 10.0, retries: int = 2) -> ShardedIndex:
        """A ShardedIndex from a directory written by :meth:`save`, with as many shards as it was saved
        with, spread over the client's workers. Each shard file must have the size, checksum and count
        the manifest records, and the manifest's dim, metric and M; otherwise ManifestError names the
        shard. ``storage`` defaults to ``path``."""
        doc = _files.read_manifest(path)
        probe = Index(doc["dim"], doc["metric"], M=doc["M"], ef_construction=doc["ef_construction"])
        self = cls.__new__(cls)
        self._setup(client, doc["n_shards"], probe, None, path if storage is None else storage, heartbeat, retries)
        directory = Path(doc["directory"])
        self._count, self._next, self._legacy = doc["count"], doc["next_id"], doc["legacy"]
        self._counts = [e["count"] for e in doc["shards"]]
        # Shard files of the first layout hold local ids, which each shard turns into global ones.
        self._snapshots = [(str(directory / e["file"]), e["sha256"], e["count"],
                            (s, self._n) if doc["local_ids"] else None) for s, e in enumerate(doc["shards"])]
        self._last_save = str(directory)
        self._start_shards()

        def refused(s: int, exc: Exception) -> Exception:
            return ManifestError(f"Invalid sharded index: {directory / _files.MANIFEST}: shard {s}: {exc}")

        try:
            self._call(list(range(self._n)), "restore", lambda s: self._snapshots[s], on_error=refused)
        except BaseException:
            self.close()
            raise
        return self

    # ---- the rest ------------------------------------------------------------------------------------

    def stats(self) -> dict[str, Any]:
        """count, dim, metric, M, ef_construction, n_shards; unsaved_vectors (added since the last save,
        kept by the coordinator), recoveries (shards rebuilt so far), storage, last_save; and shards: per
        shard its worker and its index's stats."""
        with self._lock:
            self._check_lost()
            shard_stats = self._call(list(range(self._n)), "stats", lambda s: ())
            return {
                "count": self._count, "dim": self.dim, "metric": self.metric, "M": self.M,
                "ef_construction": self.ef_construction, "n_shards": self._n,
                "unsaved_vectors": sum(len(c[1]) for c in self._log if c[0] == "add"),
                "unsaved_removals": sum(len(c[1]) for c in self._log if c[0] == "remove"), "recoveries": self._recoveries,
                "storage": self._storage, "last_save": self._last_save,
                "shards": [{"shard": s, "worker": self._handles[s].worker, **shard_stats[s]} for s in range(self._n)],
            }

    def close(self) -> None:
        """Releases the shards' actors; the workers then drop the shards. Saved files stay."""
        if self._closed:
            return
        self._closed = True
        for h in self._handles:
            try:
                h.future.cancel()
            except Exception:
                pass
        self._handles = []

    def __enter__(self) -> ShardedIndex:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class _Unrecoverable(Exception):
    """A shard that a live worker cannot rebuild: its saved file or its adds cannot be used."""
