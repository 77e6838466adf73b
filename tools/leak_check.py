"""Every method of vek_core once or a few times, success and failure paths, for a run under valgrind:

    PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite \
        .venv/bin/python tools/leak_check.py

Small on purpose (valgrind runs it some fifty times slower). Blocks "definitely lost" whose stacks
pass through vek_core are the module's; the interpreter reports a few of its own at exit. Pass a
repeat count (`tools/leak_check.py 3`) to run everything that many times: a leak per call grows with
it, one-time allocations of the interpreter and the binding library do not.
All files go to a temporary directory that is removed at the end.
"""
import os
import struct
import sys
import tempfile
import threading

import numpy as np
import vek_core

F32 = np.float32
U64 = np.uint64
HEADER = struct.Struct("<ifiiiQ")


def expect(exc_type, call, *args):
    try:
        call(*args)
    except exc_type:
        return
    raise AssertionError(f"{call.__name__}{args!r} did not raise {exc_type.__name__}")


def vectors(rng, n, dim, metric):
    v = rng.normal(0.0, 1.0, (n, dim))
    if metric == "poincare":
        v *= (rng.uniform(0.0, 0.9, n) / np.linalg.norm(v, axis=1))[:, None]
    return v.astype(F32)


def exercise(metric, workdir, rng):
    dim = 11  # one block of eight and a tail
    index = vek_core.HyperbolicIndex(dim, 1.0, 4, metric)
    data = vectors(rng, 120, dim, metric)
    q = data[0] * F32(0.9)

    # empty index
    assert index.custom_hnsw_search(q, 5) == [] and index.filtered_search(q, 5) == []
    assert index.hardware_flat_search(q, 5, 0) == [] and index.get_stats()["num_nodes"] == 0
    index.save_index(os.path.join(workdir, f"empty-{metric}.bin"))

    # insertion: flat, linked (lists fill up and get rebuilt), converted and longer arrays
    for i, v in enumerate(data):
        if i % 6 == 5:
            index.add_item_flat(v, i)
        else:
            index.add_item_and_link(v, i, 0 if i % 7 == 0 else 24)
    index.add_item_and_link(np.concatenate([data[1], data[2]]), 3, 10)
    index.add_item_flat(data[3].astype(np.float16), 1)
    index.add_item_and_link(data[4].tolist())
    index.add_item_flat(data[5][None, :].ravel())

    # searches with their filters and conversions
    for query in (q, q.tolist(), np.concatenate([q, q])[::2], q.astype(np.float16)):
        index.custom_hnsw_search(query, 10)
        index.custom_hnsw_search(query, 4, 1, 0, 0.9, 0.01)
        index.custom_hnsw_search(query, 0)
        index.filtered_search(query, 10)
        index.filtered_search(query, 3, 2, 8, 1.5, 0.05)
        index.filtered_search(query, 0, 1 << 63)
        index.hardware_flat_search(query, 10, 0)
        index.hardware_flat_search(query, 4, 4, 1.0, 0.1)

    # accessors
    n = index.get_stats()["num_nodes"]
    index.get_metric()
    for node in (0, n // 2, n - 1):
        index.compute_distance(q, node)
        index.get_stored_norm(node)
    index.update_masks(np.arange(n, dtype=U64))

    # files
    path = os.path.join(workdir, f"{metric}.bin")
    index.save_index(path)
    index.save_index(path)  # replaces the previous one
    index.save_index(os.devnull)
    other = vek_core.HyperbolicIndex(1, metric=metric)
    other.load_index(path)
    other.load_index(os.path.join(workdir, f"empty-{metric}.bin"))
    other.load_index(path)
    assert other.custom_hnsw_search(q, 5) == index.custom_hnsw_search(q, 5)

    # failures
    short = np.zeros(dim - 1, F32)
    expect(RuntimeError, index.add_item_flat, short)
    expect(RuntimeError, index.add_item_flat, np.zeros((1, dim), F32))
    expect(RuntimeError, index.add_item_and_link, short)
    expect(RuntimeError, index.custom_hnsw_search, short, 3)
    expect(RuntimeError, index.filtered_search, short, 3)
    expect(RuntimeError, index.hardware_flat_search, short, 3, 0)
    expect(RuntimeError, index.compute_distance, short, 0)
    expect(ValueError, index.custom_hnsw_search, q, -1)
    expect(ValueError, index.hardware_flat_search, q, -1, 0)
    expect(IndexError, index.compute_distance, q, n)
    expect(IndexError, index.get_stored_norm, -1)
    expect(RuntimeError, index.update_masks, np.zeros(n + 1, U64))
    expect(TypeError, index.update_masks, np.zeros(n, np.int64))
    expect(TypeError, index.add_item_and_link, np.zeros(dim))
    expect(TypeError, index.custom_hnsw_search, q, 2.0)
    expect(RuntimeError, index.save_index, os.path.join(workdir, "missing", "x.bin"))
    expect(RuntimeError, index.save_index, workdir)
    expect(RuntimeError, index.load_index, os.path.join(workdir, "missing.bin"))
    expect(RuntimeError, index.load_index, workdir)
    good = open(path, "rb").read()
    bad_files = {
        "truncated": good[:-3],
        "trailing": good + b"\0\0",
        "negative-dimension": HEADER.pack(-1, 1.0, 4, -1, -1, 0),
        "huge-count": good[:20] + struct.pack("<Q", 1 << 40) + good[28:],
        "bad-entry": good[:12] + struct.pack("<ii", n + 5, 0) + good[20:],
    }
    for name, content in bad_files.items():
        p = os.path.join(workdir, f"{name}-{metric}.bin")
        with open(p, "wb") as f:
            f.write(content)
        expect(RuntimeError, index.load_index, p)
    assert index.get_stats()["num_nodes"] == n  # failed loads changed nothing

    # degenerate parameters
    for M in (1, 0, -2):
        odd = vek_core.HyperbolicIndex(dim, 1.0, M, metric)
        for v in data[:6]:
            odd.add_item_and_link(v, 0, 4)
        odd.custom_hnsw_search(q, 3)
        odd.filtered_search(q, 3)
    return index


def threads(index, workdir):
    """Searches from short-lived threads (per-thread walk storage released at their exit), beside
    writers and a load, all on one index."""
    dim = index.get_stats()["dimension"]
    q = np.full(dim, 0.05, F32)
    path = os.path.join(workdir, "threads.bin")
    index.save_index(path)

    def searcher():
        for _ in range(3):
            index.custom_hnsw_search(q, 5)
            index.filtered_search(q, 5, 0, 20)
            index.hardware_flat_search(q, 5, 0)

    def writer():
        for v in vectors(np.random.default_rng(1), 5, dim, "euclidean") * F32(0.1):
            index.add_item_and_link(v, 1, 10)
        index.get_stats()
        index.load_index(path)

    workers = [threading.Thread(target=searcher) for _ in range(3)] + [threading.Thread(target=writer)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()


def main():
    repeat = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    rng = np.random.default_rng(20240607)
    for _ in range(repeat):
        with tempfile.TemporaryDirectory() as workdir:
            kept = [exercise(metric, workdir, rng) for metric in ("poincare", "euclidean", "cosine", "l2")]
            threads(kept[0], workdir)
            del kept
    print(f"leak_check: every method exercised {repeat} time(s)", file=sys.stderr)


if __name__ == "__main__":
    main()
