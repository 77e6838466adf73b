"""Reconstruction figures (gensim's mean rank and MAP) of a keyed index, exact or through the walk."""

from __future__ import annotations

import os
from operator import itemgetter
from typing import Any

import numpy as np

from quellix._index import _integer
from quellix.hyperbolic._formulas import _poincare64
from quellix.hyperbolic._readers import _read_relations

# Candidate lists are fetched in slices of about this many (query, candidate) entries.
_ENTRIES_PER_SLICE = 1 << 22
_ROWS_PER_SLICE = 1024


def reconstruction(kv: Any, relations: Any, exact: bool, ef: int, num_threads: int) -> dict[str, Any]:
    """What KeyedIndex.evaluate_reconstruction returns."""
    ef = _integer(ef, "ef", 1)
    num_threads = _integer(num_threads, "num_threads", 0)
    children, starts, positives = _relations(kv, relations)
    counts = np.diff(starts)
    if exact:
        # Every node scored once per block of keys on native threads; the float64 formula decides
        # wherever the index's float32 copies cannot.
        nearer, place = kv._index._engine.rank_counts(kv._vectors, children, starts, positives, num_threads)
        ranks = nearer + 1
        # gensim: the i-th best rank (from 0) stands at place rank + i among all nodes.
        precisions = np.add.reduceat((place + 1) / (ranks + place), starts[:-1]) / counts
        return {"mean_rank": float(ranks.mean()), "MAP": float(precisions.mean())}
    ranks = np.empty(len(positives), dtype=np.int64)
    precisions = np.empty(len(children))
    width = min(len(kv), ef)
    rows_per_slice = max(1, min(_ROWS_PER_SLICE, _ENTRIES_PER_SLICE // width))
    outside = 0
    for s in range(0, len(children), rows_per_slice):
        rows = np.arange(s, min(s + rows_per_slice, len(children)))
        ids, dists = kv._index.search(kv._vectors[children[rows]], width, ef=ef, num_threads=num_threads)
        outside += _rank_rows(kv, rows, children, starts, positives, ids, dists, ranks, precisions)
    return {"mean_rank": float(ranks.mean()), "MAP": float(precisions.mean()), "positives": int(len(positives)),
            "positives_outside": int(outside)}


def _relations(kv, relations: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The keys with relations (nodes, ascending), where each one's positives start in ``positives``
    (with a final end), and the positives: distinct nodes, ascending per key."""
    # Keys are looked up in bulk; where that fails, or for pairs other than lists and tuples of two, the
    # loop of _relation_nodes names the relation at fault.
    firsts = seconds = child = None
    if isinstance(relations, (str, os.PathLike)):
        firsts, seconds = _read_relations(relations)
        pairs: Any = zip(firsts, seconds)
    else:
        if isinstance(relations, bytes):
            raise TypeError("relations must be a path or an iterable of (child, parent) pairs, not bytes")
        pairs = list(relations)
        if set(map(type, pairs)) <= {list, tuple} and set(map(len, pairs)) <= {2}:
            firsts, seconds = list(map(itemgetter(0), pairs)), list(map(itemgetter(1), pairs))
    if firsts is not None:
        get = kv._ids.__getitem__
        try:
            child = np.fromiter(map(get, firsts), np.int64, len(firsts))
            parent = np.fromiter(map(get, seconds), np.int64, len(seconds))
        except (KeyError, TypeError):
            child = None
    if child is None:
        child, parent = (np.asarray(nodes, dtype=np.int64) for nodes in _relation_nodes(kv, list(pairs)))
    if not len(child):
        raise ValueError("there are no relations to evaluate")
    n = len(kv)
    codes = np.sort(child * n + parent)
    codes = codes[np.flatnonzero(np.diff(codes, prepend=-1))]  # each pair once
    owners, positives = np.divmod(codes, n)
    starts = np.flatnonzero(np.diff(owners, prepend=-1))
    return owners[starts], np.append(starts, len(codes)), positives

def _relation_nodes(kv, pairs: list[Any]) -> tuple[list[int], list[int]]:
    """The nodes of each (child, parent) pair, one at a time; the first bad pair is named."""
    ids, child, parent = kv._ids, [], []
    for number, pair in enumerate(pairs):
        try:
            if isinstance(pair, (str, bytes)):
                raise ValueError
            a, b = pair
        except (TypeError, ValueError):
            raise ValueError(f"relation {number}: {pair!r} is not a (child, parent) pair") from None
        try:
            child.append(ids[a])
            parent.append(ids[b])
        except (KeyError, TypeError):
            raise KeyError(f"relation {number}: key {a if a not in ids else b!r} not present") from None
    return child, parent

def _rank_rows(kv, rows, children, starts, positives, ids, dists, ranks, precisions):
    """Ranks the positives of the keys ``rows`` (positions in ``children``) against the candidate lists
    ``ids``/``dists`` the graph walk found for them; returns how many positives were not in the lists."""
    n = len(kv)
    counts = starts[rows + 1] - starts[rows]
    pair_row = np.repeat(np.arange(len(rows)), counts)
    pair_at = np.arange(len(pair_row)) + np.repeat(starts[rows] - (np.cumsum(counts) - counts), counts)
    owner = children[rows][pair_row]
    d_pos = _poincare64(kv._vectors[owner], kv._vectors[positives[pair_at]])
    dmax = np.full(len(rows), -np.inf)
    np.maximum.at(dmax, pair_row, d_pos)
    reach = kv._bounds(kv._vectors[children[rows]], dmax)[1]
    # The candidates that can rank ahead of a positive: found, and not beyond the farthest positive.
    near = (ids >= 0) & (dists <= reach[:, None])
    cand_row, cand_col = np.nonzero(near)
    cand = ids[cand_row, cand_col]
    # A candidate is a positive of its row when (key, candidate) is one of the relation pairs.
    codes = children[rows][cand_row] * n + cand
    is_pos = _member(codes, owner * n + positives[pair_at])
    found_pos = int(np.count_nonzero(is_pos))
    keep = ~is_pos
    cand_row, cand = cand_row[keep], cand[keep]
    d_neg = _poincare64(kv._vectors[children[rows][cand_row]], kv._vectors[cand])
    # One sorted run per row: non-positives and positives by distance, a positive before a non-positive
    # at the same distance (only strictly nearer non-positives count).
    row_all = np.concatenate([cand_row, pair_row])
    d_all = np.concatenate([d_neg, d_pos])
    is_p = np.concatenate([np.zeros(len(cand_row), bool), np.ones(len(pair_row), bool)])
    order = np.lexsort((~is_p, d_all, row_all))
    row_sorted, p_sorted = row_all[order], is_p[order]
    neg_before = np.cumsum(~p_sorted) - (~p_sorted)  # non-positives before each entry, over all rows
    pos_before = np.cumsum(p_sorted) - p_sorted
    run_start = np.searchsorted(row_sorted, row_sorted, side="left")
    neg_in_row = neg_before - (neg_before[run_start] if len(run_start) else 0)
    pos_in_row = pos_before - (pos_before[run_start] if len(run_start) else 0)
    neg_in_row, pos_in_row = neg_in_row[p_sorted], pos_in_row[p_sorted]
    rank = neg_in_row + 1
    ranks[pair_at[order[p_sorted] - len(cand_row)]] = rank
    # Average precision: the i-th nearest positive (from 0) stands at place rank + i among all nodes.
    prec = (pos_in_row + 1) / (rank + pos_in_row)
    sums = np.zeros(len(rows))
    np.add.at(sums, row_sorted[p_sorted], prec)
    precisions[rows] = sums / np.maximum(counts, 1)
    return len(pair_row) - found_pos


def _member(values: np.ndarray, table: np.ndarray) -> np.ndarray:
    """values[i] in table, for int64 arrays."""
    table = np.unique(table)
    if table.size == 0:
        return np.zeros(values.shape, dtype=bool)
    at = np.minimum(np.searchsorted(table, values), table.size - 1)
    return table[at] == values

