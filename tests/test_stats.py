"""Graph statistics: keys, types and values, checked against the graph as the index file records it."""

from __future__ import annotations

import numpy as np
import pytest

import vek_core
from conftest import METRICS, build_index, load_crafted, saved
from indexfile import IndexFile

F32 = np.float32
U64 = np.uint64
KEYS = ["num_nodes", "ep_id", "ep_layer", "max_m", "max_m_0", "dimension", "avg_degree_layer0",
        "layer_distribution"]
INT_KEYS = KEYS[:6]


def expected_stats(f: IndexFile) -> dict:
    """What the statistics must say about the graph in a parsed index file."""
    slots = f.ep_layer + 2
    distribution = [0] * slots
    for level in f.levels:
        if level + 1 < slots:
            distribution[level + 1] += 1
    degree = float(sum(len(layers[0]) for layers in f.links))
    return {"num_nodes": f.n, "ep_id": f.ep_id, "ep_layer": f.ep_layer, "max_m": f.max_m, "max_m_0": 2 * f.max_m,
            "dimension": f.dimension, "avg_degree_layer0": degree / f.n if f.n else 0.0,
            "layer_distribution": distribution}


def check_shape(stats):
    assert list(stats) == KEYS
    for key in INT_KEYS:
        assert type(stats[key]) is int, key
    assert type(stats["avg_degree_layer0"]) is float
    assert type(stats["layer_distribution"]) is list
    assert all(type(c) is int for c in stats["layer_distribution"])


def linked_index(metric, n, M, seed, dim=4):
    rng = np.random.default_rng(seed)
    vectors = rng.normal(0, 0.2, (n, dim)).astype(F32)
    return build_index(vectors, metric, M=M, ef_construction=32), rng


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("dim,M", [(8, 16), (3, 5), (4, 2), (0, 1), (12, 0), (2, -3), (-4, 7)])
def test_fresh_index(metric, dim, M):
    stats = vek_core.HyperbolicIndex(dim, M=M, metric=metric).get_stats()
    check_shape(stats)
    assert stats == {"num_nodes": 0, "ep_id": -1, "ep_layer": -1, "max_m": M, "max_m_0": 2 * M,
                     "dimension": dim, "avg_degree_layer0": 0.0, "layer_distribution": [0]}


def test_flat_nodes_only():
    index = vek_core.HyperbolicIndex(3, M=6)
    for v in np.random.default_rng(1).normal(0, 0.2, (5, 3)).astype(F32):
        index.add_item_flat(v)
    stats = index.get_stats()
    check_shape(stats)
    assert stats == {"num_nodes": 5, "ep_id": -1, "ep_layer": -1, "max_m": 6, "max_m_0": 12, "dimension": 3,
                     "avg_degree_layer0": 0.0, "layer_distribution": [0]}


@pytest.mark.parametrize("metric,n,M,seed", [("poincare", 300, 3, 1), ("euclidean", 200, 2, 2),
                                             ("cosine", 250, 4, 3), ("euclidean", 1, 16, 4),
                                             ("poincare", 2, 16, 5)])
def test_linked_index_matches_its_file(tmp_path, metric, n, M, seed):
    index, _ = linked_index(metric, n, M, seed)
    stats = index.get_stats()
    check_shape(stats)
    f = saved(index, tmp_path / "index.bin")
    assert stats == expected_stats(f)
    distribution = stats["layer_distribution"]
    assert len(distribution) == stats["ep_layer"] + 2
    assert distribution[0] == 0
    assert sum(distribution) == n  # every inserted node lies at or below the entry's layer
    assert distribution[-1] >= 1
    if n > 1:
        assert stats["avg_degree_layer0"] > 0


def test_flat_nodes_mixed_into_a_linked_index(tmp_path):
    index, rng = linked_index("euclidean", 120, 3, 6)
    before = index.get_stats()
    linked_degree = before["avg_degree_layer0"] * 120
    for v in rng.normal(0, 0.2, (30, 4)).astype(F32):
        index.add_item_flat(v)
    after = index.get_stats()
    check_shape(after)
    assert after["num_nodes"] == 150
    assert after["layer_distribution"][1] == before["layer_distribution"][1] + 30
    assert after["layer_distribution"][2:] == before["layer_distribution"][2:]
    assert sum(after["layer_distribution"]) == 150
    # The flat nodes' empty lists count towards the mean.
    assert after["avg_degree_layer0"] == round(linked_degree) / 150 < before["avg_degree_layer0"]
    assert after == expected_stats(saved(index, tmp_path / "index.bin"))
    for key in ("ep_id", "ep_layer", "max_m", "max_m_0", "dimension"):
        assert after[key] == before[key]


def crafted(levels, ep_id, ep_layer, links=None, max_m=5, dim=2) -> IndexFile:
    n = len(levels)
    if links is None:
        links = [[[] for _ in range(level + 1)] for level in levels]
    vectors = np.arange(n * dim, dtype=F32).reshape(n, dim) / F32(n * dim)
    return IndexFile(dimension=dim, curvature=1.0, max_m=max_m, ep_id=ep_id, ep_layer=ep_layer, vectors=vectors,
                     norms=np.zeros(n, F32), masks=np.zeros(n, U64), levels=levels, links=links)


def test_distribution_90_9_1(tmp_path):
    levels = [0] * 100
    levels[40] = 2
    for i in range(60, 69):
        levels[i] = 1
    stats = load_crafted(tmp_path, crafted(levels, 40, 2)).get_stats()
    check_shape(stats)
    assert stats["layer_distribution"] == [0, 90, 9, 1]
    assert (stats["num_nodes"], stats["ep_id"], stats["ep_layer"]) == (100, 40, 2)
    assert (stats["max_m"], stats["max_m_0"], stats["dimension"]) == (5, 10, 2)


def test_nodes_above_the_entry_layer_are_not_counted(tmp_path):
    # Only a file can hold nodes higher than the entry point; they fall outside the list.
    levels = [0, 3, 0, 1, 0]
    stats = load_crafted(tmp_path, crafted(levels, 0, 0)).get_stats()
    assert stats["layer_distribution"] == [0, 3]
    stats = load_crafted(tmp_path, crafted(levels, 3, 1)).get_stats()
    assert stats["layer_distribution"] == [0, 3, 1]


def test_entryless_file_with_linked_nodes(tmp_path):
    levels = [0, 1, 0]
    links = [[[1, 2]], [[0], []], [[0, 1]]]
    stats = load_crafted(tmp_path, crafted(levels, -1, -1, links)).get_stats()
    assert stats["layer_distribution"] == [0]
    assert stats["avg_degree_layer0"] == 5 / 3


@pytest.mark.parametrize("degrees", [[1, 1, 0], [7], [0, 0, 0, 0, 3], [2] * 7 + [1] * 4])
def test_average_degree_is_a_double_division(tmp_path, degrees):
    n = len(degrees)
    links = [[[j % n for j in range(d)]] for d in degrees]  # repeated ids count like any others
    stats = load_crafted(tmp_path, crafted([0] * n, 0, 0, links)).get_stats()
    assert stats["avg_degree_layer0"] == sum(degrees) / n
    assert stats["layer_distribution"] == [0, n]


def test_upper_layers_do_not_count_towards_the_degree(tmp_path):
    levels = [2, 1, 0]
    links = [[[1], [1], []], [[0, 2], [0]], [[1]]]
    stats = load_crafted(tmp_path, crafted(levels, 0, 2, links)).get_stats()
    assert stats["avg_degree_layer0"] == 4 / 3
    assert stats["layer_distribution"] == [0, 1, 1, 1]
