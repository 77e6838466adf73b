"""Id allow- and deny-lists of the searches (``ids=`` and ``exclude_ids=``): one list for every query, or
one list per query row, checked and turned into the arrays the native searches read."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np

from quellix import _native

_INT64_MAX = np.iinfo(np.int64).max


def _id_values(value: Any, name: str) -> np.ndarray:
    """One list's ids as int64; ids beyond int64 cannot be held by any index and are dropped."""
    if isinstance(value, (set, frozenset)):
        value = list(value)
    arr = np.asarray(value)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be a list of ids, or one list per query; got shape {arr.shape}")
    if not arr.size:
        return np.zeros(0, np.int64)
    if arr.dtype.kind == "O":  # Python integers beyond 64 bits
        try:
            values = [operator.index(v) for v in arr.tolist()]
        except TypeError:
            raise TypeError(f"{name} must hold integers") from None
        negative = next((v for v in values if v < 0), None)
        if negative is not None:
            raise ValueError(f"{name} must be non-negative: id {negative}")
        return np.array([v for v in values if v <= _INT64_MAX], dtype=np.int64)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, not {arr.dtype}")
    if arr.dtype.kind == "u":
        return np.ascontiguousarray(arr[arr <= _INT64_MAX], dtype=np.int64)  # a new array
    arr = np.require(arr, dtype=np.int64, requirements=["C_CONTIGUOUS", "ALIGNED"])
    negative = np.flatnonzero(arr < 0)
    if negative.size:
        raise ValueError(f"{name} must be non-negative: id {int(arr[negative[0]])}")
    return arr


def _parse(value: Any, name: str) -> np.ndarray | list[np.ndarray]:
    """One array of ids serving every query, or a list of them, one per query."""
    if isinstance(value, (list, tuple)) and value and (isinstance(value[0], (set, frozenset)) or np.ndim(value[0])):
        return [_id_values(v, name) for v in value]
    if isinstance(value, np.ndarray) and value.ndim == 2:
        return [_id_values(row, name) for row in value]
    if not isinstance(value, (set, frozenset, np.ndarray)):
        arr = np.asarray(value)
        if arr.ndim == 2:
            return [_id_values(row, name) for row in arr]
    return _id_values(value, name)


def _csr(per_row: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    starts = np.zeros(len(per_row) + 1, np.int64)
    np.cumsum([len(v) for v in per_row], out=starts[1:])
    values = np.concatenate(per_row) if per_row else np.zeros(0, np.int64)
    return np.ascontiguousarray(values, dtype=np.int64), starts


class IdLists:
    """A search's allow-list (``ids``) and deny-list (``exclude_ids``), each None, one list for every row,
    or one per row."""

    __slots__ = ("allow", "deny", "rows")

    def __init__(self, allow, deny, rows: int):
        self.allow, self.deny, self.rows = allow, deny, rows

    @classmethod
    def of(cls, ids: Any, exclude_ids: Any, rows: int | None) -> IdLists | None:
        """The lists for ``rows`` queries (None: as many as lists given per query, else one)."""
        parsed = {name: None if value is None else _parse(value, name)
                  for name, value in (("ids", ids), ("exclude_ids", exclude_ids))}
        if all(p is None for p in parsed.values()):
            return None
        for name, p in parsed.items():
            if isinstance(p, list):
                if rows is None:
                    rows = len(p)
                if len(p) != rows:
                    raise ValueError(f"{name} must hold one list per query ({rows}), got {len(p)}")
        parts = [None if p is None else _csr(p) if isinstance(p, list) else (p, None) for p in parsed.values()]
        return cls(parts[0], parts[1], 1 if rows is None else rows)

    @property
    def per_row(self) -> bool:
        return any(part is not None and part[1] is not None for part in (self.allow, self.deny))

    def native(self) -> _native.IdLists:
        parts = []
        for part in (self.allow, self.deny):
            parts += [None, None] if part is None else list(part)
        return _native.IdLists(*parts)

    def allow_lengths(self) -> np.ndarray | None:
        """The allow-list's length for each row of plans (one for a shared list), or None."""
        if self.allow is None:
            return None
        values, starts = self.allow
        lengths = np.array([len(values)]) if starts is None else np.diff(starts)
        return np.broadcast_to(lengths, (self.rows,)) if self.per_row and starts is None else lengths

    def take(self, picked: np.ndarray) -> IdLists:
        """The lists of the rows ``picked`` (row numbers, ascending)."""
        def part(p):
            if p is None or p[1] is None:
                return p
            values, starts = p
            lengths = starts[picked + 1] - starts[picked]
            new_starts = np.zeros(len(picked) + 1, np.int64)
            np.cumsum(lengths, out=new_starts[1:])
            chosen = [values[starts[r]:starts[r + 1]] for r in picked]
            return (np.concatenate(chosen) if chosen else np.zeros(0, np.int64)), new_starts
        return IdLists(part(self.allow), part(self.deny), len(picked))

    def select(self, keep: Any) -> IdLists:
        """The lists with each id v replaced by keep(v) (an int64 array of the same length) where that is
        not negative, and dropped where it is: an id's place in another numbering, or none."""
        def part(p):
            if p is None:
                return None
            values, starts = p
            mapped = keep(values)
            kept = mapped >= 0
            if starts is not None:
                starts = np.concatenate([[0], np.cumsum(kept)])[starts].astype(np.int64)
            return np.ascontiguousarray(mapped[kept], dtype=np.int64), starts
        return IdLists(part(self.allow), part(self.deny), self.rows)

    def kwargs(self) -> dict[str, Any]:
        """The lists as a search takes them: ``ids`` and ``exclude_ids``, per query as lists of arrays."""
        out = {}
        for name, p in (("ids", self.allow), ("exclude_ids", self.deny)):
            if p is not None:
                values, starts = p
                out[name] = values if starts is None else [values[a:b] for a, b in zip(starts[:-1], starts[1:])]
        return out

    def keep(self, nodes: np.ndarray, row: int) -> np.ndarray:
        """The entries of ``nodes`` that row ``row``'s lists let through."""
        for p, allowed in ((self.allow, True), (self.deny, False)):
            if p is not None:
                values, starts = p
                listed = values if starts is None else values[starts[row]:starts[row + 1]]
                nodes = nodes[np.isin(nodes, listed) == allowed]
        return nodes
