"""Exact search across shards when neighbours tie.

A single index's exact search offers every node that passes the filters, in node order, to a bounded
max-heap with the behaviour of libstdc++'s push_heap/pop_heap, comparing distances only. Among equal
distances, which nodes survive and the order they come out in depend on the heap's layout, and so on
every node offered before, near or far. Merging the shards' answers by (distance, id) reproduces that
answer only when the nearest distances are all different; otherwise the coordinator replays the one
heap over the global id order.

It need not see every node for that. A node strictly farther than the heap's farthest when it arrives
is pushed and popped straight back out; that round trip reorders the heap in a way that depends only
on the heap, never on the node. Each shard scans its own nodes with the same rule against its own
k nearest so far, which are never nearer than the global ones, and sends the nodes its scan could not
rule out (a superset of those the global heap treats as near) and which of its nodes were offered at
all. The coordinator then pushes the candidates in global id order and applies the round trip once for
every other offered node in each gap, taking the count modulo the cycle the round trip falls into.
"""

from __future__ import annotations

import math

import numpy as np

_FAR = (math.inf, -1)  # pushed for a node known to be farther than everything held


# ---- libstdc++'s heap algorithms on a list of (distance, id), ordered by distance alone ----------------

def _sift_up(h: list, hole: int, top: int, value: tuple) -> None:
    parent = (hole - 1) // 2
    while hole > top and h[parent][0] < value[0]:
        h[hole] = h[parent]
        hole = parent
        parent = (hole - 1) // 2
    h[hole] = value


def heap_push(h: list, value: tuple) -> None:
    h.append(value)
    _sift_up(h, len(h) - 1, 0, value)


def heap_pop(h: list) -> tuple:
    """Removes and returns the front, as std::pop_heap followed by pop_back does."""
    top = h[0]
    value = h.pop()
    n = len(h)
    if n == 0:
        return top
    hole = child = 0
    while child < (n - 1) // 2:
        child = 2 * (child + 1)
        if h[child][0] < h[child - 1][0]:
            child -= 1
        h[hole] = h[child]
        hole = child
    if n % 2 == 0 and child == (n - 2) // 2:
        child = 2 * (child + 1)
        h[hole] = h[child - 1]
        hole = child - 1
    _sift_up(h, hole, 0, value)
    return top


def _round_trips(h: list, count: int) -> list:
    """The heap after `count` far nodes: the push-and-pop round trip is a map of the heap's layout onto
    itself, so it runs into a cycle, and only `count` modulo the cycle's length matters past that."""
    seen: dict[tuple, int] = {}
    step = 0
    while step < count:
        state = tuple(h)
        if state in seen:
            for _ in range((count - step) % (step - seen[state])):
                heap_push(h, _FAR)
                heap_pop(h)
            return h
        seen[state] = step
        heap_push(h, _FAR)
        heap_pop(h)
        step += 1
    return h


# ---- on a shard -----------------------------------------------------------------------------------------

def near_candidates(dists: np.ndarray, k: int) -> np.ndarray:
    """Positions, in scan order, of the offered nodes that a k-nearest heap over this scan could keep:
    every position left out holds a node strictly farther than the k nearest offered before it.

    The scan runs in blocks that double in length; a block's nodes are tested against the k-th
    nearest before the block, which is never nearer than the k-th nearest before the node itself.
    """
    n = len(dists)
    if n <= k or np.isnan(dists).any():  # NaN breaks the ordering the test relies on: keep everything
        return np.arange(n)
    kept = [np.arange(k)]
    best = np.sort(dists[:k])
    start = k
    while start < n:
        stop = min(n, 2 * start)
        block = dists[start:stop]
        near = np.flatnonzero(~(block > best[-1]))
        if near.size:
            kept.append(near + start)
            best = np.sort(np.concatenate([best, block[near]]))[:k]
        start = stop
    return np.concatenate(kept)


# ---- on the coordinator ---------------------------------------------------------------------------------

class ShardScan:
    """One shard's part of one query: its candidate nodes (ids ascending, with distances) and which of
    its nodes were offered: a packed bit per id of ``held`` (the shard's ids ascending), or None when all
    of them were."""

    __slots__ = ("ids", "dists", "held", "offered_prefix")

    def __init__(self, ids: np.ndarray, dists: np.ndarray, offered_bits: np.ndarray | None, held: np.ndarray):
        self.ids = ids
        self.dists = dists
        self.held = held
        if offered_bits is None:
            self.offered_prefix = None
        else:
            bits = np.unpackbits(offered_bits, count=len(held)).astype(np.int64)
            self.offered_prefix = np.concatenate([[0], np.cumsum(bits)])

    def offered_below(self, gids: np.ndarray, side: str) -> np.ndarray:
        """How many of this shard's offered nodes have an id below (side "left") or up to (side "right")
        each of `gids`."""
        at = np.searchsorted(self.held, gids, side=side)
        return at if self.offered_prefix is None else self.offered_prefix[at]

    def offered(self) -> int:
        return len(self.held) if self.offered_prefix is None else int(self.offered_prefix[-1])


def replay(scans: list[ShardScan | None], k: int) -> tuple[np.ndarray, np.ndarray]:
    """The single index's exact answer for one query, its nodes in id order, from every shard's
    ShardScan (None for a shard that holds no nodes): ids int64 and distances float32, nearest first,
    padded to k."""
    parts = [scan for scan in scans if scan is not None]
    gids = np.concatenate([scan.ids for scan in parts] or [np.empty(0, np.int64)])
    dists = np.concatenate([scan.dists for scan in parts] or [np.empty(0, np.float32)])
    order = np.argsort(gids, kind="stable")
    gids, dists = gids[order], dists[order]

    def offered_below(at: np.ndarray, side: str) -> np.ndarray:
        out = np.zeros(len(at), dtype=np.int64)
        for scan in parts:
            out += scan.offered_below(at, side)
        return out

    # Offered nodes strictly between consecutive candidates, and after the last one.
    upto = offered_below(gids, "right")
    gaps = (offered_below(gids, "left") - np.concatenate([[0], upto[:-1]])).tolist()
    gaps.append(sum(scan.offered() for scan in parts) - (int(upto[-1]) if len(upto) else 0))

    heap: list = []
    for d, g, gap in zip(dists.tolist(), gids.tolist(), gaps):
        if gap and len(heap) == k:
            _round_trips(heap, gap)
        heap_push(heap, (d, g))
        if len(heap) > k:
            heap_pop(heap)
    if gaps[-1] and len(heap) == k:
        _round_trips(heap, gaps[-1])
    out = [heap_pop(heap) for _ in range(len(heap))][::-1]
    ids = np.full(k, -1, dtype=np.int64)
    found = np.full(k, np.inf, dtype=np.float32)
    if out:
        ids[:len(out)] = [g for _, g in out]
        found[:len(out)] = [d for d, _ in out]
    return ids, found
