"""A tour of vek_core on a generated hierarchy in the Poincare ball.

Each node of a random tree sits a little farther from the origin than its parent, in a direction
close to its parent's, so depth maps to norm and subtrees form cones; every node carries the mask
bit of its top-level branch. The tour builds a flat index and a linked index over the same points and
shows the exhaustive scan with its screens, the graph search, the filtered search, the index file
and the statistics.
"""

from __future__ import annotations

import tempfile
import time
from pathlib import Path

import numpy as np

import vek_core

DIM = 16
BRANCHES = 8
MAX_DEPTH = 8
STEP = 0.3  # geodesic length of one parent-to-child step, in units of the ball's radius scale
SEED = 7


def make_hierarchy(n_nodes: int, rng: np.random.Generator):
    """Returns (points, depth, branch): node 0 is the root, branches hang off it."""
    points = np.zeros((n_nodes, DIM), dtype=np.float64)
    depth = np.zeros(n_nodes, dtype=np.int64)
    branch = np.full(n_nodes, -1, dtype=np.int64)
    can_parent: list[int] = []  # nodes above the deepest level, beyond the root
    for i in range(1, n_nodes):
        parent = 0 if i <= BRANCHES else can_parent[int(rng.integers(len(can_parent)))]
        direction = points[parent] if parent else rng.normal(size=DIM)
        # Children spread around their parent's direction by a similar geodesic amount at every depth,
        # which in the ball's coordinates shrinks with the conformal factor (1 - |parent|^2).
        spread = 0.6 * (1.0 - float(points[parent] @ points[parent])) / np.sqrt(DIM)
        direction = direction / np.linalg.norm(direction) + rng.normal(scale=spread, size=DIM)
        direction /= np.linalg.norm(direction)
        depth[i] = depth[parent] + 1
        branch[i] = i - 1 if parent == 0 else branch[parent]
        points[i] = np.tanh(STEP * depth[i]) * direction  # equal geodesic steps outwards
        if depth[i] < MAX_DEPTH:
            can_parent.append(i)
    return points.astype(np.float32), depth, branch


def show(title: str, index: vek_core.HyperbolicIndex, query: np.ndarray, ids: list[int], depth, branch) -> None:
    print(f"  {title}")
    for i in ids:
        d = index.compute_distance(query, i)
        print(f"    node {i:5d}  distance {d:8.5f}  depth {depth[i]}  branch {branch[i]}")


def main() -> None:
    rng = np.random.default_rng(SEED)
    points, depth, branch = make_hierarchy(20_000, rng)
    masks = np.array([0 if b < 0 else 1 << int(b) for b in branch], dtype=np.uint64)
    print(f"vek_core: {vek_core.__doc__}")
    print(f"{len(points)} points of dimension {DIM}, deepest level {depth.max()}, max norm {np.linalg.norm(points, axis=1).max():.4f}\n")

    flat = vek_core.HyperbolicIndex(DIM)
    for p, m in zip(points, masks):
        flat.add_item_flat(p, int(m))

    query = points[1234]
    print(f"Exhaustive scan around node 1234 (depth {depth[1234]}, branch {branch[1234]}):")
    show("nearest 5", flat, query, flat.hardware_flat_search(query, 5, 0), depth, branch)
    show("nearest 5 in branch 3 (mask screen)", flat, query, flat.hardware_flat_search(query, 5, 1 << 3), depth, branch)
    deep = float(np.tanh(STEP * 6) ** 2)
    show("nearest 5 at depth >= 6 (squared-norm screen)", flat, query,
         flat.hardware_flat_search(query, 5, 0, min_norm_sq=deep + 0.15), depth, branch)
    within = flat.hardware_flat_search(query, 1000, 0, max_radius=1.0)
    print(f"  {len(within)} nodes lie within geodesic distance 1.0\n")

    graph = vek_core.HyperbolicIndex(DIM, M=16)
    start = time.perf_counter()
    for p, m in zip(points, masks):
        graph.add_item_and_link(p, int(m), ef_construction=100)
    print(f"Linked {len(points)} points in {time.perf_counter() - start:.2f} s")

    queries = points[rng.choice(len(points), 200, replace=False)] + rng.normal(scale=0.01, size=(200, DIM)).astype(np.float32)
    hits = sum(len(set(graph.custom_hnsw_search(q, 10, ef_search=64)) & set(flat.hardware_flat_search(q, 10, 0))) for q in queries)
    print(f"Graph search recall@10 against the exhaustive scan: {hits / 2000:.3f}")
    show("graph search around node 1234", graph, query, graph.custom_hnsw_search(query, 5), depth, branch)
    show("filtered search in branch 5", graph, query, graph.filtered_search(query, 5, filter_mask=1 << 5), depth, branch)
    print()

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "hierarchy.vek"
        graph.save_index(str(path))
        loaded = vek_core.HyperbolicIndex(DIM)
        loaded.load_index(str(path))
        same = all(loaded.custom_hnsw_search(q, 10) == graph.custom_hnsw_search(q, 10) for q in queries[:50])
        print(f"Saved {path.stat().st_size / 1e6:.2f} MB; the loaded copy answers identically: {same}")
    print("Statistics:", loaded.get_stats())


if __name__ == "__main__":
    main()
