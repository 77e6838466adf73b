"""The index file: exact bytes, round trips, what loading replaces, open and save failures, and loading
damaged or hostile files (run in child processes, so a crash fails a test instead of the whole run)."""

from __future__ import annotations

import copy
import json
import os
import struct

import numpy as np
import pytest

import vek_core
from conftest import METRICS, build_index, chain_graph, complete_graph, float_bits, load_crafted, load_file, run_child
from indexfile import HEADER, IndexFile
from reference import sqnorm

F32 = np.float32
U64 = np.uint64


# --------------------------------------------------------------------------------------------------
# Helpers


def mixed_index(metric, seed=0, n=160, dim=10, M=5, flat_every=7, curvature=0.5):
    """Linked nodes with flat ones mixed in, masks using the whole 64-bit range."""
    rng = np.random.default_rng(seed)
    vectors = rng.normal(0, 0.15, (n, dim)).astype(F32)
    masks = rng.integers(0, 2**63, n, dtype=U64) | (rng.integers(0, 2, n, dtype=U64) << U64(63))
    index = build_index(vectors, metric, masks=masks, linked=[i % flat_every != 3 for i in range(n)], M=M,
                        curvature=curvature, ef_construction=40)
    return index, vectors


def answers(index, queries):
    """Everything a caller can observe, compared exactly (floats by bit pattern)."""
    stats = index.get_stats()
    n = stats["num_nodes"]
    out = [stats, [float_bits(index.get_stored_norm(i)) for i in range(n)]]
    for q in queries:
        out.append([float_bits(index.compute_distance(q, i)) for i in range(n)])
        out.append(index.custom_hnsw_search(q, 10))
        out.append(index.custom_hnsw_search(q, 5, 1, 8, 1.5, 0.3))
        out.append(index.custom_hnsw_search(q, 0, 1 << 63))
        out.append(index.filtered_search(q, 10))
        out.append(index.filtered_search(q, 3, 2, 20, 1.0, 0.05))
        out.append(index.filtered_search(q, 0))
        out.append(index.hardware_flat_search(q, 10, 0))
        out.append(index.hardware_flat_search(q, 7, 1 << 63, 2.0, 0.1))
    return out


def graph_offset(f: IndexFile) -> int:
    return HEADER.size + f.n * (4 * f.dimension + 4) + 8 * f.n


def record_offsets(f: IndexFile):
    """Byte offset of every node's graph record, plus the end of the file."""
    pos = graph_offset(f)
    out = []
    for layers in f.links:
        out.append(pos)
        pos += 4 + sum(8 + 4 * len(ids) for ids in layers)
    return out + [pos]


def count_offset(f: IndexFile, node: int, layer: int) -> int:
    pos = record_offsets(f)[node] + 4
    for ids in f.links[node][:layer]:
        pos += 8 + 4 * len(ids)
    return pos


def multilevel_file() -> IndexFile:
    """Twelve nodes on three layers, entry node 7; deterministic."""
    rng = np.random.default_rng(21)
    levels = [2, 0, 1, 0, 0, 1, 0, 2, 0, 0, 1, 0]
    n, dim = len(levels), 3
    links = []
    for i, level in enumerate(levels):
        layers = []
        for layer in range(level + 1):
            pool = [j for j in range(n) if j != i and levels[j] >= layer]
            want = min(len(pool), (4, 2, 1)[layer])
            layers.append(sorted(int(j) for j in rng.choice(pool, want, replace=False)))
        links.append(layers)
    vectors = rng.uniform(-0.45, 0.45, (n, dim)).astype(F32)
    masks = rng.integers(0, 2**63, n, dtype=U64)
    masks[::3] |= U64(1)
    return IndexFile(dimension=dim, curvature=1.0, max_m=4, ep_id=7, ep_layer=2, vectors=vectors,
                     norms=np.array([sqnorm(v) for v in vectors], F32), masks=masks, levels=levels, links=links)


# --------------------------------------------------------------------------------------------------
# Exact bytes


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dim,curvature,M", [(7, 2.5, 5), (0, 1.0, 16), (128, -0.75, 1)])
def test_empty_index_is_the_28_byte_header(tmp_path, metric, dim, curvature, M):
    path = tmp_path / "empty.bin"
    vek_core.HyperbolicIndex(dim, curvature, M, metric).save_index(str(path))
    assert path.read_bytes() == struct.pack("<ifiiiQ", dim, curvature, M, -1, -1, 0)


def test_three_flat_nodes_of_dimension_4(tmp_path):
    vectors = np.array([[1, 2, 3, 4], [0.5, -1.5, 2, 0.25], [0, 0, 0, 0]], F32)
    masks = [0, 5, 2**64 - 1]
    index = vek_core.HyperbolicIndex(4, 0.75, 9, "cosine")
    for v, m in zip(vectors, masks):
        index.add_item_flat(v, m)
    path = tmp_path / "flat.bin"
    index.save_index(str(path))
    data = path.read_bytes()
    assert len(data) == 28 + 3 * 20 + 3 * 8 + 3 * 12 == 148
    expected = IndexFile(dimension=4, curvature=0.75, max_m=9, ep_id=-1, ep_layer=-1, vectors=vectors,
                         norms=np.array([30.0, 6.5625, 0.0], F32), masks=np.array(masks, U64),
                         levels=[0, 0, 0], links=[[[]], [[]], [[]]])
    assert data == expected.to_bytes()


def test_record_of_a_level_2_node(tmp_path):
    levels = [2, 2, 1, 1, 0, 0]
    links = [[[1, 2, 3, 4, 5], [1, 2, 3], [1]], [[0], [0], [0]], [[0], [0]], [[0], []], [[0]], [[]]]
    f = IndexFile(dimension=2, curvature=1.0, max_m=3, ep_id=0, ep_layer=2,
                  vectors=np.arange(12, dtype=F32).reshape(6, 2) / F32(16),
                  norms=np.zeros(6, F32), masks=np.zeros(6, U64), levels=levels, links=links)
    f.norms = np.array([sqnorm(v) for v in f.vectors], F32)
    src = tmp_path / "src.bin"
    f.write(src)
    out = tmp_path / "out.bin"
    load_file(src).save_index(str(out))
    data = out.read_bytes()
    assert data == src.read_bytes()
    start, end = record_offsets(f)[:2]
    assert end - start == 4 + (8 + 20) + (8 + 12) + (8 + 4) == 64
    record = data[start:end]
    assert struct.unpack_from("<i", record, 0) == (2,)
    assert struct.unpack_from("<Q", record, 4) == (5,)
    assert struct.unpack_from("<5i", record, 12) == (1, 2, 3, 4, 5)
    assert struct.unpack_from("<Q", record, 32) == (3,)
    assert struct.unpack_from("<Q", record, 52) == (1,)


@pytest.mark.parametrize("metric", METRICS)
def test_file_describes_the_index(tmp_path, metric):
    index, vectors = mixed_index(metric)
    path = tmp_path / "a.bin"
    index.save_index(str(path))
    f = IndexFile.read(path)  # also checks that the records account for every byte
    stats = index.get_stats()
    assert (f.dimension, f.max_m, f.ep_id, f.ep_layer, f.n) == (
        stats["dimension"], stats["max_m"], stats["ep_id"], stats["ep_layer"], stats["num_nodes"])
    assert float_bits(f.curvature) == float_bits(0.5)
    assert np.array_equal(f.vectors, vectors)
    assert [float_bits(x) for x in f.norms] == [float_bits(index.get_stored_norm(i)) for i in range(f.n)]
    for i, (level, layers) in enumerate(zip(f.levels, f.links)):
        assert len(layers) == level + 1
        if i % 7 == 3:
            assert layers == [[]]  # flat nodes: level 0, one empty list


# --------------------------------------------------------------------------------------------------
# Round trips


@pytest.mark.parametrize("metric", METRICS)
def test_save_load_save_is_byte_identical(tmp_path, metric):
    index, _ = mixed_index(metric, seed=1)
    first, second, third = (tmp_path / f"{i}.bin" for i in range(3))
    index.save_index(str(first))
    load_file(first, metric).save_index(str(second))
    assert second.read_bytes() == first.read_bytes()
    # The metric is not in the file: another metric's instance writes the same bytes back.
    other = METRICS[(METRICS.index(metric) + 1) % 3]
    load_file(first, other).save_index(str(third))
    assert third.read_bytes() == first.read_bytes()


def test_unusual_stored_values_round_trip(tmp_path):
    f = multilevel_file()
    f.curvature = float("nan")
    f.max_m = -7
    f.vectors[0] = [np.nan, np.inf, -0.0]
    f.vectors[4] = [-np.inf, 3e38, -1e-45]
    f.norms[[1, 2, 3, 5]] = [-1.0, -0.0, np.nan, -np.inf]
    f.masks[:] = [2**64 - 1, 0, 2**63, 1] * 3
    f.links[3][0] = [3, 3, 1, 1]  # a self-link and duplicates are kept as stored
    src, out = tmp_path / "src.bin", tmp_path / "out.bin"
    f.write(src)
    index = load_file(src)
    index.save_index(str(out))
    assert out.read_bytes() == src.read_bytes()
    assert float_bits(index.get_stored_norm(2)) == float_bits(-0.0)
    assert np.isnan(index.get_stored_norm(3))
    stats = index.get_stats()
    assert (stats["max_m"], stats["max_m_0"]) == (-7, -14)


@pytest.mark.parametrize("metric", METRICS)
def test_loaded_index_answers_as_the_saved_one(tmp_path, metric):
    index, vectors = mixed_index(metric, seed=2)
    path = tmp_path / "a.bin"
    index.save_index(str(path))
    rng = np.random.default_rng(3)
    queries = list(vectors[::23]) + list(rng.normal(0, 0.15, (6, vectors.shape[1])).astype(F32))
    loaded = load_file(path, metric, dim=3)
    assert answers(loaded, queries) == answers(index, queries)
    assert loaded.get_metric() == index.get_metric()


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("max_m", [2, 0])
def test_lists_longer_than_the_file_limit(tmp_path, metric, max_m):
    """A file's lists may be longer than its M allows: they answer as stored, and a list that a new
    linked node would join is cut back to the limit."""
    index, vectors = mixed_index(metric, seed=5, M=8)
    path = tmp_path / "a.bin"
    index.save_index(str(path))
    f = IndexFile.read(path)
    assert max(len(layers[0]) for layers in f.links) > 2 * max_m
    f.max_m = max_m
    short = load_crafted(tmp_path, f, metric, "short.bin")
    queries = list(vectors[::31])
    assert answers(short, queries)[2:] == answers(index, queries)[2:]  # all but the stats and norms
    rng = np.random.default_rng(6)
    for v in rng.normal(0, 0.15, (12, vectors.shape[1])).astype(F32):
        short.add_item_and_link(v, 0, 40)
    out = tmp_path / "out.bin"
    short.save_index(str(out))
    g = IndexFile.read(out)
    assert all(now[0] == old[0] or len(now[0]) <= 2 * max_m for old, now in zip(f.links, g.links))
    assert max_m == 0 or any(len(old[0]) > len(now[0]) for old, now in zip(f.links, g.links))
    assert all(len(layers[0]) <= 2 * max_m for layers in g.links[f.n:])
    load_file(out, metric).save_index(str(tmp_path / "again.bin"))
    assert (tmp_path / "again.bin").read_bytes() == out.read_bytes()


def test_cosine_file_loads_into_default_instance(tmp_path):
    index, vectors = mixed_index("cosine", seed=4, n=60)
    path = tmp_path / "cos.bin"
    index.save_index(str(path))
    loaded = vek_core.HyperbolicIndex(5)
    loaded.load_index(str(path))
    assert loaded.get_metric() == "poincare"
    assert loaded.get_stats() == index.get_stats()
    # The loaded graph is measured with the loading instance's metric.
    poincare = vek_core.HyperbolicIndex(vectors.shape[1])
    for v in vectors:
        poincare.add_item_flat(v)
    q = vectors[7] * F32(0.5)
    got = [float_bits(loaded.compute_distance(q, i)) for i in range(len(vectors))]
    assert got == [float_bits(poincare.compute_distance(q, i)) for i in range(len(vectors))]
    assert loaded.hardware_flat_search(q, 10, 0) == poincare.hardware_flat_search(q, 10, 0)
    assert loaded.hardware_flat_search(q, 10, 0) != index.hardware_flat_search(q, 10, 0)


# --------------------------------------------------------------------------------------------------
# What loading replaces


def lattice_file(dim, n, seed, max_m=6) -> IndexFile:
    """Vectors on a 1/8 grid, so norms and Euclidean distances are exact whatever the summation order."""
    rng = np.random.default_rng(seed)
    vectors = (rng.integers(-8, 9, (n, dim)) / 8).astype(F32)
    return complete_graph(vectors, norms=(vectors.astype(np.float64) ** 2).sum(axis=1).astype(F32),
                          masks=np.arange(n, dtype=U64), max_m=max_m)


@pytest.mark.parametrize("populated", [False, True])
def test_loading_takes_the_file_dimension(tmp_path, populated):
    index = vek_core.HyperbolicIndex(3, metric="euclidean")
    if populated:
        for v in np.random.default_rng(5).normal(size=(40, 3)).astype(F32):
            index.add_item_and_link(v)
    f = lattice_file(5, 6, seed=6)
    path = tmp_path / "five.bin"
    f.write(path)
    index.load_index(str(path))
    stats = index.get_stats()
    assert (stats["dimension"], stats["num_nodes"], stats["max_m"], stats["max_m_0"]) == (5, 6, 6, 12)
    q = np.zeros(5, F32)
    for i in range(6):
        assert index.compute_distance(q, i) == float(f.norms[i])
        assert index.get_stored_norm(i) == float(f.norms[i])
    short = np.zeros(3, F32)
    for call in (lambda: index.add_item_flat(short), lambda: index.add_item_and_link(short),
                 lambda: index.custom_hnsw_search(short, 3), lambda: index.filtered_search(short, 3),
                 lambda: index.hardware_flat_search(short, 3, 0)):
        with pytest.raises(RuntimeError, match="^Vector dimension mismatch$"):
            call()
    assert index.get_stats()["num_nodes"] == 6
    index.add_item_flat(np.ones(5, F32))
    index.add_item_and_link(np.full(5, 0.5, F32))
    assert index.get_stats()["num_nodes"] == 8
    assert index.hardware_flat_search(np.ones(5, F32), 1, 0) == [6]
    assert index.custom_hnsw_search(np.full(5, 0.5, F32), 1, 0, 50) == [7]


def test_empty_file_empties_a_populated_instance(tmp_path):
    index, _ = mixed_index("euclidean", seed=7, n=50)
    empty = tmp_path / "empty.bin"
    vek_core.HyperbolicIndex(4, 3.0, 9, "cosine").save_index(str(empty))
    index.load_index(str(empty))
    assert index.get_stats() == {"num_nodes": 0, "ep_id": -1, "ep_layer": -1, "max_m": 9, "max_m_0": 18,
                                 "dimension": 4, "avg_degree_layer0": 0.0, "layer_distribution": [0]}
    q = np.zeros(4, F32)
    assert index.custom_hnsw_search(q, 5) == []
    assert index.filtered_search(q, 5) == []
    assert index.hardware_flat_search(q, 5, 0) == []
    out = tmp_path / "out.bin"
    index.save_index(str(out))
    assert out.read_bytes() == empty.read_bytes()


# --------------------------------------------------------------------------------------------------
# Open and save failures


def test_missing_file_and_directory_cannot_be_loaded(tmp_path):
    index, vectors = mixed_index("poincare", seed=8, n=30)
    before = answers(index, vectors[:3])
    for path in (tmp_path / "missing.bin", tmp_path / "no_dir" / "x.bin", tmp_path, tmp_path / "é ü.bin"):
        with pytest.raises(RuntimeError) as e:
            index.load_index(str(path))
        assert str(e.value) == f"Cannot open file for loading: {path}"
    assert answers(index, vectors[:3]) == before


def test_save_into_missing_directory(tmp_path):
    index, _ = mixed_index("euclidean", seed=9, n=20)
    blocker = tmp_path / "plain_file"
    blocker.write_bytes(b"x")
    for path in (tmp_path / "no_dir" / "x.bin", tmp_path / "no_dir" / "é.bin", blocker / "x.bin"):
        with pytest.raises(RuntimeError) as e:
            index.save_index(str(path))
        assert str(e.value) == f"Cannot open file for saving: {path}"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plain_file"]
    assert blocker.read_bytes() == b"x"


def test_save_over_existing_file_replaces_it(tmp_path):
    index, _ = mixed_index("cosine", seed=10, n=40)
    reference = tmp_path / "ref" / "a.bin"
    reference.parent.mkdir()
    index.save_index(str(reference))
    target = tmp_path / "out" / "a.bin"
    target.parent.mkdir()
    target.write_bytes(b"\xff" * (len(reference.read_bytes()) * 3))
    index.save_index(str(target))
    assert target.read_bytes() == reference.read_bytes()
    assert os.listdir(target.parent) == ["a.bin"]  # no temporary file left behind


def test_save_through_symlink_keeps_the_link(tmp_path):
    index, _ = mixed_index("euclidean", seed=11, n=40)
    expected = tmp_path / "expected.bin"
    index.save_index(str(expected))
    real_dir, link_dir = tmp_path / "real", tmp_path / "links"
    real_dir.mkdir()
    link_dir.mkdir()
    (real_dir / "a.bin").write_bytes(b"old contents")
    os.symlink("../real/a.bin", link_dir / "rel.bin")
    os.symlink(real_dir / "a.bin", link_dir / "abs.bin")
    for name, target in (("rel.bin", "../real/a.bin"), ("abs.bin", str(real_dir / "a.bin"))):
        (real_dir / "a.bin").write_bytes(b"old contents")
        index.save_index(str(link_dir / name))
        assert os.path.islink(link_dir / name)
        assert os.readlink(link_dir / name) == target
        assert (real_dir / "a.bin").read_bytes() == expected.read_bytes()
    assert sorted(os.listdir(real_dir)) == ["a.bin"]
    assert sorted(os.listdir(link_dir)) == ["abs.bin", "rel.bin"]


def test_save_onto_things_that_are_not_regular_files(tmp_path):
    """Devices and dangling links are written in place, never renamed over."""
    index, _ = mixed_index("euclidean", seed=13, n=20)
    expected = tmp_path / "expected.bin"
    index.save_index(str(expected))
    index.save_index("/dev/null")
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")
    with pytest.raises(RuntimeError, match="/dev/full"):
        index.save_index("/dev/full")
    assert not os.path.isfile("/dev/full")
    os.symlink(tmp_path / "later.bin", tmp_path / "dangling.bin")
    index.save_index(str(tmp_path / "dangling.bin"))
    assert os.path.islink(tmp_path / "dangling.bin")
    assert (tmp_path / "later.bin").read_bytes() == expected.read_bytes()


@pytest.mark.parametrize("contents", [False, True])
def test_save_onto_a_directory_fails_cleanly(tmp_path, contents):
    index, _ = mixed_index("poincare", seed=12, n=20)
    target = tmp_path / "target.bin"
    target.mkdir()
    if contents:
        (target / "inner").write_bytes(b"keep")
    with pytest.raises(RuntimeError) as e:
        index.save_index(str(target))
    assert str(target) in str(e.value)
    assert target.is_dir()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["target.bin"]
    assert sorted(p.name for p in target.iterdir()) == (["inner"] if contents else [])


@pytest.mark.parametrize("limit", [0, 100, 8192])
def test_failed_write_keeps_previous_file(tmp_path, limit):
    target = tmp_path / "index.bin"
    previous = multilevel_file().to_bytes()
    target.write_bytes(previous)
    run = run_child("save_under_size_limit.py", target, limit, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("RuntimeError:") and str(target) in run.stdout
    assert target.read_bytes() == previous
    assert os.listdir(tmp_path) == ["index.bin"]


# --------------------------------------------------------------------------------------------------
# Negative (uncached) norms in a loaded file


def lattice_chain(vectors, norms) -> IndexFile:
    # max_m 1: every linked node gets level 0 and layer-0 lists hold at most 2, so lists are rebuilt often.
    return chain_graph(vectors, norms, max_m=1)


def distinct_lattice(rng, count, dim, exclude=()):
    """Distinct non-zero vectors on a 1/64 grid inside the ball: every norm is exact in float32."""
    seen = {tuple(v) for v in exclude}
    out = []
    while len(out) < count:
        v = tuple(int(x) for x in rng.integers(-32, 33, dim))
        if any(v) and v not in seen:
            seen.add(v)
            out.append(v)
    return np.array(out, dtype=F32) / F32(64)


MISSING = np.array([-1.0, -0.5, -3e38, -np.inf], F32)


@pytest.mark.parametrize("metric", ["cosine", "poincare"])
def test_uncached_norms_build_the_same_graph(tmp_path, metric):
    rng = np.random.default_rng(13)
    base = distinct_lattice(rng, 24, 3)
    extra = distinct_lattice(rng, 40, 3, exclude=[tuple(v) for v in base])
    true_norms = (base.astype(np.float64) ** 2).sum(axis=1).astype(F32)
    assert all(sqnorm(v) == g for v, g in zip(base, true_norms))
    missing = np.resize(MISSING, len(base))

    results = {}
    for label, norms in (("cached", true_norms), ("missing", missing)):
        path = tmp_path / f"{label}.bin"
        lattice_chain(base, norms).write(path)
        index = load_file(path, metric)
        for i, v in enumerate(extra):
            index.add_item_and_link(v, i, 200 if i % 3 else 4)
        out = tmp_path / f"{label}_out.bin"
        index.save_index(str(out))
        results[label] = (index, IndexFile.read(out))

    (_, cached), (index, missed) = results["cached"], results["missing"]
    assert missed.links == cached.links
    assert missed.levels == cached.levels == [0] * 64
    assert (missed.ep_id, missed.ep_layer) == (cached.ep_id, cached.ep_layer) == (0, 0)
    # The missing norms were used, not stored back; the new nodes' norms are computed as usual.
    assert missed.norms[:24].tobytes() == missing.tobytes()
    assert [float_bits(index.get_stored_norm(i)) for i in range(24)] == [float_bits(x) for x in missing]
    assert missed.norms[24:].tobytes() == cached.norms[24:].tobytes()
    # The insertions did rebuild old lists: some chain neighbours were dropped.
    chain = lattice_chain(base, true_norms).links
    assert any(set(chain[i][0]) - set(cached.links[i][0]) for i in range(24))
    assert all(len(layers[0]) <= 2 for layers in cached.links)


@pytest.mark.parametrize("metric", METRICS)
def test_uncached_norms_search_as_cached(tmp_path, metric):
    rng = np.random.default_rng(14)
    base = distinct_lattice(rng, 24, 3)
    true_norms = (base.astype(np.float64) ** 2).sum(axis=1).astype(F32)
    indexes = []
    for label, norms in (("cached", true_norms), ("missing", np.resize(MISSING, 24))):
        path = tmp_path / f"{label}.bin"
        lattice_chain(base, norms).write(path)
        indexes.append(load_file(path, metric))
    for q in list(base[::5]) + list(rng.uniform(-0.5, 0.5, (4, 3)).astype(F32)):
        a, b = indexes
        assert [float_bits(a.compute_distance(q, i)) for i in range(24)] == \
            [float_bits(b.compute_distance(q, i)) for i in range(24)]
        assert a.custom_hnsw_search(q, 5) == b.custom_hnsw_search(q, 5)
        assert a.filtered_search(q, 5) == b.filtered_search(q, 5)
        assert a.hardware_flat_search(q, 5, 0) == b.hardware_flat_search(q, 5, 0)


# --------------------------------------------------------------------------------------------------
# Damaged and hostile files, loaded in a child process


def run_load_cases(tmp_path, cases, metric="poincare"):
    """Loads every (name, bytes, expected) case in one child process; expected: refused/loaded/either."""
    base = multilevel_file()
    base_path = tmp_path / "base.bin"
    base.write(base_path)
    case_dir = tmp_path / "cases"
    case_dir.mkdir()
    listed, expected, paths = [], {}, {}
    for i, (name, data, outcome) in enumerate(cases):
        path = case_dir / f"{i}.bin"
        path.write_bytes(data)
        listed.append([name, str(path)])
        expected[name] = outcome
        paths[name] = str(path)
    assert len(expected) == len(cases), "case names must be unique"
    queries = np.random.default_rng(1).uniform(-0.4, 0.4, (3, base.dimension)).astype(F32)
    job = {"metric": metric, "base": str(base_path), "scratch": str(tmp_path / "scratch.bin"),
            "queries": queries.tolist(), "cases": listed}
    job_path = tmp_path / "job.json"
    job_path.write_text(json.dumps(job))
    run = run_child("load_each_file.py", job_path, timeout=300)
    lines = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("{")]
    records = {r["case"]: r for r in lines if "case" in r}
    begun = [r["begin"] for r in lines if "begin" in r]
    if run.returncode != 0 or not lines or not lines[-1].get("done"):
        crashed = begun[-1] if begun else "<before the first case>"
        pytest.fail(f"child process ended with status {run.returncode} while loading case {crashed!r}\n"
                    f"{run.stderr[-3000:]}")

    failures = []
    for name, outcome in expected.items():
        r = records[name]
        if outcome != "either" and r["outcome"] != outcome:
            failures.append(f"{name}: expected {outcome}, got {r}")
        elif r["outcome"] == "refused":
            prefix = f"Invalid index file: {paths[name]}: "
            if r["type"] != "RuntimeError" or not r["message"].startswith(prefix):
                failures.append(f"{name}: refused with {r['type']}: {r['message']}")
            if not r["unchanged"]:
                failures.append(f"{name}: a refused load changed the instance")
        else:
            if r["problems"] or not r["restored"]:
                failures.append(f"{name}: loaded, then {r['problems']} restored={r['restored']}")
    assert not failures, "\n".join(failures[:40])
    return records


def patched(data: bytes, offset: int, fmt: str, *values) -> bytes:
    out = bytearray(data)
    struct.pack_into(fmt, out, offset, *values)
    return bytes(out)


def test_every_truncation_is_refused(tmp_path):
    data = multilevel_file().to_bytes()
    cases = [(f"first {size} bytes", data[:size], "refused") for size in range(len(data))]
    run_load_cases(tmp_path, cases)


def test_random_corruption_never_crashes(tmp_path):
    f = multilevel_file()
    data = f.to_bytes()
    graph = graph_offset(f)
    rng = np.random.default_rng(1234)
    cases = []
    for c in range(300):
        out = bytearray(data)
        for _ in range(int(rng.integers(1, 4))):
            # Half of the hits go to the header and the graph block, where the structure lives.
            if rng.random() < 0.5:
                pos = int(rng.choice([int(rng.integers(0, 28)), int(rng.integers(graph, len(data)))]))
            else:
                pos = int(rng.integers(0, len(data)))
            out[pos] = (out[pos] + int(rng.integers(1, 256))) % 256
        cases.append((f"corruption {c}", bytes(out), "either"))
    records = run_load_cases(tmp_path, cases)
    outcomes = {r["outcome"] for r in records.values()}
    assert outcomes == {"refused", "loaded"}


def hostile_cases():
    f = multilevel_file()
    data = f.to_bytes()
    n = f.n
    cases = []

    def add(name, payload, outcome):
        cases.append((name, payload, outcome))

    def variant(**changes):
        g = copy.deepcopy(f)
        for key, value in changes.items():
            setattr(g, key, value)
        return g

    # Header fields.
    for value in (2**64 - 1, 2**63, 2**32, 2**31, 2**31 - 1, n + 1, n - 1, 0):
        add(f"n={value}", patched(data, 20, "<Q", value), "refused")
    for value in (-1, -(2**31), 2**31 - 1, f.dimension + 1, f.dimension - 1, 0):
        add(f"dimension={value}", patched(data, 0, "<i", value), "refused")
    empty = struct.pack("<ifiiiQ", 3, 1.0, 4, -1, -1, 0)
    for dim, outcome in ((-1, "refused"), (-(2**31), "refused"), (2**31 - 1, "loaded"), (0, "loaded")):
        add(f"header only, dimension={dim}", patched(empty, 0, "<i", dim), outcome)
    for value in (2**63, 2**64 - 1, 1):
        add(f"header only, dimension 0, n={value}", patched(patched(empty, 0, "<i", 0), 20, "<Q", value), "refused")
    add("header only, entry 0", patched(empty, 12, "<ii", 0, 0), "refused")

    # Neighbour counts.
    for node, layer in ((0, 0), (7, 2), (11, 0)):
        pos = count_offset(f, node, layer)
        c = len(f.links[node][layer])
        for value in (2**64 - 1, 2**63, 2**62 + c, 2**32 + c, 2**31, c + 1, c - 1 if c else c + 2):
            add(f"count of node {node} layer {layer} = {value}", patched(data, pos, "<Q", value), "refused")

    # Neighbour ids.
    for bad in (n, n + 5, 2**31 - 1, -1, -(2**31)):
        links = copy.deepcopy(f.links)
        links[3][0][0] = bad
        add(f"node 3 links to {bad}", variant(links=links).to_bytes(), "refused")
    lower = [i for i, level in enumerate(f.levels) if level == 0]
    middle = [i for i, level in enumerate(f.levels) if level == 1]
    for node, layer, target in ((7, 2, middle[0]), (7, 1, lower[0]), (middle[0], 1, lower[1]), (0, 2, middle[1])):
        links = copy.deepcopy(f.links)
        links[node][layer][0] = target
        add(f"node {node} links on layer {layer} to node {target} of level {f.levels[target]}",
            variant(links=links).to_bytes(), "refused")

    # Levels.
    for level in (-1, -2, -(2**31)):
        links = copy.deepcopy(f.links)
        links[4] = []
        levels = list(f.levels)
        levels[4] = level
        add(f"node 4 level {level}", variant(levels=levels, links=links).to_bytes(), "refused")
    for level in (2**31 - 1, 1):
        levels = list(f.levels)
        levels[4] = level  # the one list written no longer matches the level
        add(f"node 4 level {level} with one list", variant(levels=levels).to_bytes(), "refused")

    # Entry points.
    for ep_id, ep_layer in ((n, 2), (2**31 - 1, 2), (-2, 2), (-(2**31), 2), (lower[0], 2), (7, 1), (7, 3),
                            (7, -1), (-1, 0), (-1, 2), (middle[0], 2), (lower[0], -1)):
        add(f"entry ({ep_id}, {ep_layer})", variant(ep_id=ep_id, ep_layer=ep_layer).to_bytes(), "refused")

    # Trailing bytes.
    for extra in (b"\0", b"\0" * 7, bytes(range(100)), data[record_offsets(f)[-2]:]):
        add(f"{len(extra)} trailing bytes", data + extra, "refused")

    # Odd but sound files.
    add("entry (-1, -1)", variant(ep_id=-1, ep_layer=-1).to_bytes(), "loaded")
    add("entry (0, 2)", variant(ep_id=0, ep_layer=2).to_bytes(), "loaded")
    links = copy.deepcopy(f.links)
    links[3][0] = [3, 3, 1, 1, 3]
    links[7][2] = [7]
    add("self-links and duplicates", variant(links=links).to_bytes(), "loaded")
    levels = list(f.levels)
    levels[4] = 1
    links = copy.deepcopy(f.links)
    links[4].append([])
    add("level above all links", variant(levels=levels, links=links).to_bytes(), "loaded")
    levels = list(f.levels)
    levels[1] = 5
    links = copy.deepcopy(f.links)
    links[1] += [[0], [], [], [], []]
    add("node above the entry layer", variant(levels=levels, links=links).to_bytes(), "loaded")
    add("no links at all", variant(links=[[[] for _ in layers] for layers in f.links]).to_bytes(), "loaded")
    vectors = f.vectors.copy()
    vectors[[0, 7]] = [[np.nan, 1, 2], [np.inf, -np.inf, 0]]
    norms = f.norms.copy()
    norms[[1, 2, 3]] = [np.nan, -1.0, 7.0]
    add("non-finite vectors and norms", variant(vectors=vectors, norms=norms).to_bytes(), "loaded")
    for max_m in (0, 1, -7, 2**31 - 1):
        add(f"max_m {max_m}", variant(max_m=max_m).to_bytes(), "loaded")
    add("dimension 0", variant(dimension=0, vectors=np.zeros((n, 0), F32)).to_bytes(), "loaded")
    add("curvature nan", variant(curvature=float("nan")).to_bytes(), "loaded")
    return cases


def test_hostile_files(tmp_path):
    run_load_cases(tmp_path, hostile_cases())


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_hostile_files_other_metrics(tmp_path, metric):
    cases = [c for c in hostile_cases() if c[2] == "loaded"]
    run_load_cases(tmp_path, cases, metric)
