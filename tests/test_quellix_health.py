"""quellix.Index graph health: stats()["unreachable"] against a descent over the saved graph, and check()."""

from __future__ import annotations

import numpy as np
import pytest

import quellix
from indexfile import IndexFile
from quellix_data import METRICS, points


def graph(index, path) -> IndexFile:
    index.save_vek_core(path)
    return IndexFile.read(path)


def unreachable(f: IndexFile) -> int:
    """Nodes that hold or receive a link but that no descent from the entry point reaches: on each layer
    from the entry's down, everything the layer's lists lead to from the nodes reached so far."""
    reached = np.zeros(f.n, bool)
    if f.ep_id >= 0:
        reached[f.ep_id] = True
    for layer in range(f.ep_layer, -1, -1):
        todo = np.flatnonzero(reached).tolist()
        while todo:
            for y in f.links[todo.pop()][layer]:
                if not reached[y]:
                    reached[y] = True
                    todo.append(y)
    linked = np.zeros(f.n, bool)
    for x, layers in enumerate(f.links):
        for ids in layers:
            linked[ids] = True
            linked[x] |= bool(ids)
    return int((linked & ~reached).sum())


def cut_off(index, path, metric) -> tuple[quellix.Index, int]:
    """The index with every link into one level-0 node removed (its own links stay), and that node."""
    f = graph(index, path)
    node = next(i for i, level in enumerate(f.levels) if level == 0 and i != f.ep_id)
    for layers in f.links:
        for ids in layers:
            if node in ids:
                ids.remove(node)
    f.write(path)
    return quellix.Index.load_vek_core(path, metric), node


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("case", ["built", "unlinked rows", "cut off"])
def test_unreachable_matches_a_descent_over_the_file(tmp_path, metric, case):
    data = points(300, 6, metric, seed=3)
    index = quellix.Index(6, metric, M=4, ef_construction=12, seed=1)
    index.add(data, num_threads=1)
    if case == "unlinked rows":
        index.add(data[:30] * 0.5, link=False)
    if case == "cut off":
        index, _ = cut_off(index, tmp_path / "cut.vek", metric)
    expected = unreachable(graph(index, tmp_path / "g.vek"))
    assert case != "cut off" or expected > 0
    stats = index.stats()
    assert list(stats)[-1] == "unreachable" and stats["unreachable"] == expected


def test_unreachable_counts_what_the_upper_layers_lead_to(tmp_path):
    # Node 2 hangs off node 1, which only the upper layer joins to the entry point 0; node 3 links out
    # and node 4 is linked into, but no walk comes to either; node 5 holds no link at all.
    links = [[[], [1]], [[2], [0]], [[1]], [[2, 4]], [[]], [[]]]
    f = IndexFile(dimension=2, max_m=4, ep_id=0, ep_layer=1, vectors=np.eye(6, 2, dtype=np.float32),
                  norms=np.zeros(6, np.float32), levels=[1, 1, 0, 0, 0, 0], links=links)
    f.write(tmp_path / "g.vek")
    assert quellix.Index.load_vek_core(tmp_path / "g.vek", "euclidean").stats()["unreachable"] == unreachable(f) == 2


KEYS = ["sample", "ef", "k", "self_found", "recall", "low_recall", "low_recall_values"]


@pytest.mark.parametrize("metric", METRICS)
def test_check_of_a_sound_graph_with_ties_and_unlinked_rows(metric):
    data = points(500, 8, metric, seed=5, dtype=np.float64)  # under "poincare" with remainders
    index = quellix.Index(8, metric, M=8, seed=2)
    index.add(data)
    index.add(data[:20])  # linked twins: each search finds two nodes at the first distance
    index.add(data[20:40], link=False)  # unlinked twins: in the exact answer, never in the graph's
    report = index.check(sample=10_000, ef=100)
    assert list(report) == KEYS
    expected = {"sample": 520, "ef": 100, "k": 10, "self_found": 1.0, "recall": 1.0}
    assert {key: report[key] for key in expected} == expected
    assert report["low_recall"].dtype == np.int64 and report["low_recall"].size == 0
    assert report["low_recall_values"].dtype == np.float64 and report["low_recall_values"].size == 0
    assert index.check(sample=7, seed=4)["sample"] == 7


def test_check_finds_a_node_cut_off_by_hand(tmp_path):
    index = quellix.Index(8, "euclidean", M=8, seed=2)
    index.add(points(400, 8, "euclidean", seed=6))
    damaged, node = cut_off(index, tmp_path / "cut.vek", "euclidean")
    report = damaged.check(sample=10_000, ef=100, k=1)
    assert report["sample"] == 400 and report["self_found"] == report["recall"] == 399 / 400
    assert report["low_recall"].tolist() == [node] and report["low_recall_values"].tolist() == [0.0]
    assert damaged.stats()["unreachable"] >= 1


def test_check_without_linked_nodes_and_its_arguments():
    index = quellix.Index(4, "euclidean")
    for _ in range(2):
        report = index.check()
        assert (report["sample"], report["self_found"], report["recall"], report["low_recall"].size) == (0, 1.0, 1.0, 0)
        index.add(points(5, 4, "euclidean"), link=False)
    for kw, error in [(dict(sample=0), ValueError), (dict(k=0), ValueError), (dict(ef=0), ValueError),
                      (dict(ef=True), TypeError), (dict(seed=-1), ValueError), (dict(num_threads=-1), ValueError)]:
        with pytest.raises(error):
            index.check(**kw)


def hierarchy(seed: int, dim: int = 5, depth: int = 7) -> np.ndarray:
    """A tree grown outward in the Poincaré ball, as trained hierarchies lie: each node's one to four
    children sit one hyperbolic step further out, in directions near its own, so most nodes end up near
    the boundary, where every list has nearer members than them."""
    rng = np.random.default_rng(seed)
    points, frontier = [np.zeros(dim)], [(np.zeros(dim), 0.0)]
    for level in range(depth):
        grown = []
        for direction, radius in frontier:
            for _ in range(6 if level == 0 else rng.integers(1, 5)):
                v = direction + rng.normal(size=dim) * (1.0 if level == 0 else 0.35)
                v /= np.linalg.norm(v)
                points.append(np.tanh((radius + 1.2) / 2) * v)
                grown.append((v, radius + 1.2))
        frontier = grown
    return np.array(points)


@pytest.mark.parametrize("threads", [1, 2])
def test_no_node_of_a_hierarchy_at_the_boundary_is_stranded(threads):
    x = hierarchy(0)
    index = quellix.Index(5, "poincare", seed=0)
    index.add(x, num_threads=threads)
    assert index.stats()["unreachable"] == 0
    report = index.check(sample=len(x), ef=100)
    assert report["recall"] >= 0.99 and report["low_recall"].size == 0


def test_flat_space_lists_keep_room_for_links_back():
    # Lists topped up to 2M make every later link back a rebuild that can drop a long link; a new node
    # takes at most M and the selection's own, so lists stay well below the limit on clustered data.
    rng = np.random.default_rng(8)
    data = rng.normal(size=(40, 16))[rng.integers(0, 40, 3000)] * 3 + rng.normal(size=(3000, 16))
    index = quellix.Index(16, "euclidean", M=8, seed=0)
    index.add(data, num_threads=1)
    assert index.stats()["mean_degree_layer0"] < 1.5 * 8
    assert index.check(sample=500, ef=64)["recall"] >= 0.99
