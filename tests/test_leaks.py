"""Memory comes back: building and dropping indexes and running every method, on its success paths and
on its failure paths, thousands of times must not grow the process.

Each scenario runs a few rounds to warm up (first-call caches of the interpreter, NumPy and the
binding; the allocators' free lists), then enough rounds that every call in it is made at least
LEAST_CALLS more times. Three meters are read before and after, each after a garbage collection and
a trim of the C heap:

- the resident set from /proc/self/statm (less its file-backed pages: code of a path run for the first
  time is not a leak). Python's small-object arenas keep their high-water mark resident, so this meter
  has some hundred KiB of noise; it catches leaks of a vector, a list or a file buffer per call;
- the bytes the C allocator has handed out and not taken back (glibc's mallinfo2): the smallest block
  it hands out takes 32 bytes, so a native leak of anything at all on every call would add at least
  32 * LEAST_CALLS bytes, about four times HEAP_SLACK;
- the number of Python small-object blocks in use (sys.getallocatedblocks): a reference leaked on
  every call keeps at least LEAST_CALLS objects alive.

Refusals by argument conversion (TypeError) are left out: they happen in the binding library before
any of the module's code runs, and the library's error text carries NumPy reprs with caches of their
own.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import threading

import numpy as np
import pytest

import vek_core
from conftest import build_index
from indexfile import HEADER, IndexFile

# Under AddressSanitizer the allocator is replaced and freed blocks sit in quarantine, so neither the
# C heap meter nor the resident set says anything about leaks there.
pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="memory meters are meaningless under AddressSanitizer")

F32 = np.float32
U64 = np.uint64
PAGE = os.sysconf("SC_PAGE_SIZE")
LEAST_CALLS = 2000  # times each call of a scenario is made in its measured rounds
RSS_SLACK = 256 * 1024
HEAP_SLACK = 16 * 1024
BLOCK_SLACK = 400

_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]
_libc.free.argtypes = [ctypes.c_void_p]
_mallinfo2 = getattr(_libc, "mallinfo2", None)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def rss() -> int:
    """Resident memory not backed by a file."""
    with open("/proc/self/statm") as f:
        _size, resident, shared = (int(x) for x in f.read().split()[:3])
    return (resident - shared) * PAGE


def heap_in_use() -> int:
    """Bytes handed out by malloc and not freed, over every arena and mmapped block (0 without glibc)."""
    if _mallinfo2 is None:
        return 0
    m = _mallinfo2()
    return m.uordblks + m.hblkhd


def settle():
    """Collects garbage and hands the C heap's free pages back, so that the resident set counts memory
    in use rather than whatever the allocator keeps cached."""
    gc.collect()
    if hasattr(_libc, "malloc_trim"):
        _libc.malloc_trim(0)


def meters():
    settle()
    return np.array([rss(), heap_in_use(), sys.getallocatedblocks()])


def growth(round_, warmup, rounds):
    for _ in range(warmup):
        round_()
    before = meters()
    for _ in range(rounds):
        round_()
    return meters() - before


def raises(exc_type, call, *args):
    """Like pytest.raises, without keeping exception info alive between rounds."""
    try:
        call(*args)
    except exc_type:
        return
    raise AssertionError(f"{call.__name__}{args!r} did not raise {exc_type}")


def vectors(rng, n, dim, metric="euclidean"):
    v = rng.normal(0.0, 1.0, (n, dim))
    if metric == "poincare":
        v *= (rng.uniform(0.0, 0.9, n) / np.linalg.norm(v, axis=1))[:, None]
    return v.astype(F32)


def populated(metric="euclidean", n=300, dim=12, M=6, seed=0):
    rng = np.random.default_rng(seed)
    return build_index(vectors(rng, n, dim, metric), metric, masks=np.arange(n) % 4,
                       linked=[i % 5 != 2 for i in range(n)], M=M, ef_construction=24)


def rounds_for(repeats_per_round):
    return -(-LEAST_CALLS // repeats_per_round)


# --------------------------------------------------------------------------------------------------
# Scenarios: each prepares its data and returns one round and the number of rounds to measure.


def lifecycle(tmp_path):
    """Indexes of every metric (and degenerate parameters) built, filled a little and dropped."""
    rng = np.random.default_rng(1)
    data = {m: vectors(rng, 6, 5, m) for m in ("poincare", "euclidean", "cosine")}
    names = {"poincare": "poincare", "l2": "euclidean", "cosine": "cosine", "euclidean": "euclidean",
             "Cosine": "poincare"}

    def round_():
        for _ in range(100):
            for metric, kind in names.items():
                index = vek_core.HyperbolicIndex(5, 1.0, 4, metric)
                for v in data[kind][:3]:
                    index.add_item_and_link(v, 1, 8)
                for v in data[kind][3:]:
                    index.add_item_flat(v, 2)
                index.get_metric()
                del index
            one = vek_core.HyperbolicIndex(5, 1.0, 1)  # every level 0, link limit 2
            for v in data["euclidean"]:
                one.add_item_and_link(v)
            vek_core.HyperbolicIndex(0, 1.0, 0)
            vek_core.HyperbolicIndex(-3, 2.0, -1)

    return round_, rounds_for(100)


def insertion(tmp_path):
    """Fresh indexes grown by linked and flat insertions (full lists rebuilt over and over), dropped."""
    rng = np.random.default_rng(2)
    data = vectors(rng, 300, 16)

    def round_():
        for metric in ("euclidean", "cosine", "poincare"):
            index = vek_core.HyperbolicIndex(16, 1.0, 4, metric)
            vs = data if metric != "poincare" else data * F32(0.05)
            for i, v in enumerate(vs):
                index.add_item_and_link(v, i, 16 if i % 3 else 0)
            for v in vs[:100]:
                index.add_item_flat(v, 7)
            index.add_item_and_link(np.concatenate([vs[0], vs[1]]))  # longer array: first 16 values

    return round_, rounds_for(100)


def searches(tmp_path):
    """The three searches with their filters on every metric, converted queries, empty answers."""
    indexes = [populated(m, seed=3) for m in ("euclidean", "cosine", "poincare")]
    empty = vek_core.HyperbolicIndex(12)
    flat_only = vek_core.HyperbolicIndex(12)
    flat_only.add_item_flat(np.ones(12, F32))
    rng = np.random.default_rng(3)
    queries = vectors(rng, 40, 12) * F32(0.2)
    longer = vectors(rng, 1, 30)[0] * F32(0.2)

    def round_():
        for index in indexes:
            for q in queries:
                index.custom_hnsw_search(q, 10)
                index.custom_hnsw_search(q, 3, 1, 0, 0.5, 0.1)
                index.custom_hnsw_search(q, 0)
                index.filtered_search(q, 8, 0, 40)
                index.filtered_search(q, 2, 3, 10, 1.0, 0.01)
                index.filtered_search(q, 0, 1 << 63)
                index.hardware_flat_search(q, 10, 0)
                index.hardware_flat_search(q, 4, 2, 0.8, 0.2)
                index.hardware_flat_search(q, 5, 1 << 63)
            index.custom_hnsw_search(longer, 5)
            index.filtered_search(longer.tolist(), 5)  # built into a new array
            index.hardware_flat_search(longer[::2], 5, 0)  # strided: copied
        for q in queries:
            empty.custom_hnsw_search(q, 5)
            empty.filtered_search(q, 5)
            empty.hardware_flat_search(q, 5, 0)
            flat_only.custom_hnsw_search(q, 5)
            flat_only.filtered_search(q, 5)

    return round_, rounds_for(3 * 40)


def accessors(tmp_path):
    """Stats, metric, distances, norms and mask updates."""
    indexes = [populated(m, n=200, seed=4) for m in ("euclidean", "cosine", "poincare")]
    rng = np.random.default_rng(4)
    queries = vectors(rng, 16, 12) * F32(0.2)
    masks = rng.integers(0, 2**63, 200, dtype=U64)

    def round_():
        for index in indexes:
            for j in range(100):
                q = queries[j % 16]
                index.get_stats()
                index.get_metric()
                index.compute_distance(q, j)
                index.compute_distance(q.astype(np.float16), j)  # converted copy
                index.get_stored_norm(j)
                index.update_masks(masks)

    return round_, rounds_for(3 * 100)


def files(tmp_path):
    """Saves (atomic ones into a directory, in-place ones onto a device) and loads of good files."""
    index = populated("cosine", n=120, seed=5)
    path, empty_path = tmp_path / "index.bin", tmp_path / "empty.bin"
    index.save_index(str(path))
    vek_core.HyperbolicIndex(3).save_index(str(empty_path))
    other = vek_core.HyperbolicIndex(1, metric="cosine")

    def round_():
        for _ in range(20):  # each of these waits for the disk
            index.save_index(str(path))
        for _ in range(200):
            index.save_index(os.devnull)
            other.load_index(str(path))
            other.load_index(str(empty_path))

    return round_, rounds_for(200)


def failures(tmp_path):
    """Every refusal the module makes: wrong lengths, negative k, ids out of range, wrong mask counts,
    files that cannot be opened or are not sound index files, saves that cannot be opened."""
    index = populated("poincare", n=60, dim=8, seed=6)
    good = tmp_path / "good.bin"
    index.save_index(str(good))
    f = IndexFile.read(good)
    data = good.read_bytes()
    bad = {}

    def craft(name, content):
        p = tmp_path / name
        p.write_bytes(content)
        bad[name] = str(p)

    craft("truncated", data[:-5])
    craft("header-only", data[:20])
    craft("trailing", data + b"\0" * 7)
    dangling = IndexFile(**{**f.__dict__, "links": [[list(layer) for layer in node] for node in f.links]})
    dangling.links[3][0] = dangling.links[3][0][:-1] + [999]
    craft("bad-id", dangling.to_bytes())
    craft("bad-entry", IndexFile(**{**f.__dict__, "ep_layer": f.ep_layer + 1}).to_bytes())
    craft("negative-dimension", HEADER.pack(-2, 1.0, 16, -1, -1, 0))
    craft("huge-count", data[:20] + np.uint64(1 << 40).tobytes() + data[28:])
    directory = tmp_path / "a-directory"
    directory.mkdir()
    bad["directory"] = str(directory)
    bad["missing"] = str(tmp_path / "missing.bin")
    unsaveable = [str(tmp_path / "no-such-dir" / "x.bin"), str(directory)]
    short, q = np.zeros(7, F32), np.full(8, 0.1, F32)
    short_masks = np.zeros(59, U64)

    def round_():
        for _ in range(10):
            for p in bad.values():
                raises(RuntimeError, index.load_index, p)
            for p in unsaveable:
                raises(RuntimeError, index.save_index, p)
            raises(RuntimeError, index.add_item_flat, short)
            raises(RuntimeError, index.add_item_flat, np.zeros((1, 8), F32))
            raises(RuntimeError, index.add_item_and_link, short)
            raises(RuntimeError, index.custom_hnsw_search, short, 3)
            raises(RuntimeError, index.filtered_search, short, 3)
            raises(RuntimeError, index.hardware_flat_search, short, 3, 0)
            raises(RuntimeError, index.compute_distance, short, 0)
            raises(ValueError, index.custom_hnsw_search, q, -1)
            raises(ValueError, index.hardware_flat_search, q, -2, 0)
            raises(IndexError, index.compute_distance, q, 60)
            raises(IndexError, index.get_stored_norm, -1)
            raises(RuntimeError, index.update_masks, short_masks)
        index.load_index(str(good))  # failed loads left it as it was; this one must still work

    return round_, rounds_for(10)


def thread_exits(tmp_path):
    """Short-lived threads that search: each leaves per-thread walk storage behind (a mark per node of
    the largest index it searched, several KiB here), which must be released when it exits."""
    big = populated("euclidean", n=3000, dim=8, M=8, seed=7)
    other = populated("cosine", n=500, dim=8, M=8, seed=8)
    q = np.full(8, 0.3, F32)

    def work():
        big.custom_hnsw_search(q, 5)
        other.custom_hnsw_search(q, 5)
        big.filtered_search(q, 5, 0, 20)

    def round_():
        # one at a time, so the C library needs no more per-thread arenas than the warm-up made
        for _ in range(10):
            t = threading.Thread(target=work)
            t.start()
            t.join()

    return round_, 30


SCENARIOS = [lifecycle, insertion, searches, accessors, files, failures, thread_exits]


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s.__name__ for s in SCENARIOS])
def test_memory_is_returned(tmp_path, scenario):
    round_, rounds = scenario(tmp_path)
    resident, heap, blocks = growth(round_, warmup=3, rounds=rounds)
    assert heap < HEAP_SLACK, f"the C heap holds {heap} more bytes after {rounds} rounds"
    assert blocks < BLOCK_SLACK, f"{blocks} more Python objects alive after {rounds} rounds"
    assert resident < RSS_SLACK, f"the resident set grew by {resident} bytes after {rounds} rounds"


@pytest.mark.parametrize("leak,meter,slack", [
    ("malloc", 1, HEAP_SLACK),  # one smallest native block per call
    ("object", 2, BLOCK_SLACK),  # one Python object per call
    ("vector", 0, RSS_SLACK),  # one array of 256 floats per call
])
def test_the_meters_see_a_leak(leak, meter, slack):
    """The measurement itself: memory kept alive on purpose, LEAST_CALLS times, as a leak would keep
    it, must show on its meter beyond the slack allowed above; otherwise those tests prove nothing."""
    if meter == 1 and _mallinfo2 is None:
        pytest.skip("no mallinfo2 in this C library")
    kept = []
    data = np.full(12, 0.5, F32)

    def leaky():
        for _ in range(LEAST_CALLS // 10):
            vek_core.HyperbolicIndex(12).add_item_flat(data)
            if leak == "malloc":
                kept.append(_libc.malloc(24))
            elif leak == "object":
                kept.append(object())
            else:
                kept.append(np.full(256, 1.0, F32))

    try:
        assert growth(leaky, warmup=1, rounds=10)[meter] >= slack
    finally:
        if leak == "malloc":
            for p in kept:
                _libc.free(p)
