"""Linked insertion on several threads into one graph: sound under every metric, the same levels and
stored rows as one thread, as good a graph, and undisturbed by interruptions and concurrent calls."""

from __future__ import annotations

import threading
from collections import deque

import numpy as np
import pytest

import quellix
from conftest import check_graph
from indexfile import IndexFile
from quellix_data import METRICS, points, recall


def graph_of(index, tmp_path, name="g.bin") -> IndexFile:
    path = tmp_path / name
    index.save_vek_core(path)
    return IndexFile.read(path)


def unreachable(f: IndexFile) -> int:
    """Linked nodes that no walk over layer 0 from the entry point reaches."""
    if f.ep_id < 0:
        return 0
    seen = np.zeros(f.n, bool)
    seen[f.ep_id] = True
    todo = deque([f.ep_id])
    while todo:
        for y in f.links[todo.popleft()][0]:
            if not seen[y]:
                seen[y] = True
                todo.append(y)
    return int((~seen).sum())


def build(data, metric, threads, seed=7, **kw):
    index = quellix.Index(data.shape[1], metric, seed=seed, **kw)
    ids = index.add(data, num_threads=threads)
    assert ids.tolist() == list(range(len(data)))
    return index


@pytest.mark.parametrize("metric", METRICS)
# M 70: layer-0 lists of up to 140, longer than a node's slot in the table holds.
@pytest.mark.parametrize("M, threads", [(16, 2), (4, 3), (2, 2), (70, 2)])
def test_concurrent_graph_is_sound_and_keeps_rows_and_levels(tmp_path, metric, M, threads):
    data = points(2500, 10, metric, seed=M)
    masks = np.arange(len(data), dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
    seq = quellix.Index(10, metric, M=M, ef_construction=60, seed=5)
    seq.add(data, masks, num_threads=1)
    par = quellix.Index(10, metric, M=M, ef_construction=60, seed=5)
    par.add(data, masks, num_threads=threads)
    f, g = graph_of(par, tmp_path, "par.bin"), graph_of(seq, tmp_path, "seq.bin")
    check_graph(f, M, first_at_top=False)
    assert f.levels == g.levels  # drawn in row order, whatever the threads
    np.testing.assert_array_equal(f.vectors, g.vectors)
    np.testing.assert_array_equal(par.masks, masks)
    assert unreachable(f) <= unreachable(g) + len(data) // 500
    # The generator ends where one thread leaves it, so later rows get the same levels.
    more = points(300, 10, metric, seed=99)
    seq.add(more, num_threads=1)
    par.add(more, num_threads=1)
    assert graph_of(par, tmp_path, "par2.bin").levels == graph_of(seq, tmp_path, "seq2.bin").levels


@pytest.mark.parametrize("metric", METRICS)
def test_concurrent_graph_finds_as_much_as_the_sequential_one(metric):
    data = points(5000, 16, metric, seed=1)
    queries = points(300, 16, metric, seed=2)
    if metric == "poincare":
        queries *= 0.99
    seq, par = build(data, metric, 1, ef_construction=40), build(data, metric, 2, ef_construction=40)
    truth, _ = seq.exact_search(queries, 10)
    for ef in (10, 40):
        r_seq = recall(seq.search(queries, 10, ef=ef)[0], truth)
        r_par = recall(par.search(queries, 10, ef=ef)[0], truth)
        assert r_par >= r_seq - 0.02, (ef, r_seq, r_par)


def test_one_thread_builds_the_graph_of_one_row_per_call():
    data = points(700, 6, "euclidean", seed=4)
    whole = quellix.Index(6, "euclidean", seed=9)
    whole.add(data, num_threads=1)
    rows = quellix.Index(6, "euclidean", seed=9)
    for row in data:
        rows.add(row, num_threads=2)  # a single row has nothing to share out
    assert whole.to_bytes() == rows.to_bytes()


@pytest.mark.parametrize("flat_first", [0, 5])
@pytest.mark.parametrize("count", [1, 2, 3, 40])
def test_small_concurrent_batches_link_every_row(tmp_path, flat_first, count):
    data = points(flat_first + count, 4, "cosine", seed=count)
    index = quellix.Index(4, "cosine", M=4, seed=1)
    if flat_first:
        index.add(data[:flat_first], link=False)
    index.add(data[flat_first:], num_threads=2)
    f = graph_of(index, tmp_path)
    check_graph(f, 4, first_at_top=False)
    linked = [i for i in range(f.n) if any(f.links[i]) or i == f.ep_id]
    assert linked == list(range(flat_first, f.n)) or count == 1
    assert f.ep_id >= flat_first
    found, _ = index.search(data[flat_first:], 1, ef=16)
    assert (found[:, 0] == np.arange(flat_first, f.n)).mean() >= 0.9


def test_an_interrupted_concurrent_add_keeps_whole_slices(tmp_path):
    data = points(20000, 8, "euclidean", seed=3)
    index = quellix.Index(8, "euclidean", seed=2)
    calls = []

    def stop(done, total):
        calls.append(done)
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as info:
        index.add(data, num_threads=2, progress=stop)
    kept = len(index)
    assert calls == [kept] and 0 < kept < len(data)
    assert f"{kept} of {len(data)} vectors were added" in "".join(getattr(info.value, "__notes__", []))
    np.testing.assert_array_equal(index.get_vectors(np.arange(kept)), data[:kept])
    check_graph(graph_of(index, tmp_path), 16, first_at_top=False)
    index.add(data[kept:], num_threads=2)
    assert len(index) == len(data)


def test_searches_from_other_threads_wait_for_a_concurrent_add():
    data = points(6000, 12, "euclidean", seed=8)
    index = quellix.Index(12, "euclidean", seed=3)
    index.add(data[:500], num_threads=1)
    errors, sizes = [], []
    stop = threading.Event()

    def search():
        try:
            while True:  # at least one search, however late this thread gets going
                n_before = len(index)
                ids, dists = index.search(data[:20], 5, ef=20)
                assert ids.max() < len(index) and np.all(np.diff(dists, axis=1) >= 0)
                sizes.append(n_before)
                if stop.is_set():
                    break
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    readers = [threading.Thread(target=search) for _ in range(2)]
    for t in readers:
        t.start()
    try:
        index.add(data[500:], num_threads=2)
    finally:
        stop.set()
        for t in readers:
            t.join()
    assert not errors and sizes
    assert len(index) == len(data)
