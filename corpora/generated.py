"""Generated data that needs nothing installed: a random hierarchy in the Poincaré ball and Gaussian
clusters for the cosine and squared Euclidean metrics.

The hierarchy: node 0 is the root at the origin and the first `branches` nodes hang off it; every
later node picks a random parent among the nodes above the deepest level. A node of depth k sits at
Euclidean norm tanh(step·k) in a direction close to its parent's: the parent's unit direction plus a
Gaussian offset whose size shrinks with the parent's conformal factor (1 − |parent|²), so children
spread by a similar geodesic amount at every depth and subtrees form cones. Each node carries the
mask bit of its top-level branch (the root carries none).

The clusters: `n_clusters` centres drawn from N(0, centre_scale²) per component, every point a centre
plus N(0, noise_scale²) noise; queries are fresh draws from the same mixture. With the default
arguments the arrays are the benchmarks' own (bench/common.py `make_dataset`), value for value.
"""

from __future__ import annotations

import numpy as np

from .wordnet import Hierarchy

DIM = 16
BRANCHES = 8
MAX_DEPTH = 8
STEP = 0.3  # geodesic length of one parent-to-child step, in units of the ball's radius scale
SEED = 7
N_NODES = 20_000


def _make_tree(n_nodes: int, rng: np.random.Generator, dim: int, branches: int, max_depth: int,
               step: float):
    points = np.zeros((n_nodes, dim), dtype=np.float64)
    depth = np.zeros(n_nodes, dtype=np.int64)
    branch = np.full(n_nodes, -1, dtype=np.int64)
    parents = np.full(n_nodes, -1, dtype=np.int64)
    can_parent: list[int] = []  # nodes above the deepest level, beyond the root
    for i in range(1, n_nodes):
        parent = 0 if i <= branches else can_parent[int(rng.integers(len(can_parent)))]
        direction = points[parent] if parent else rng.normal(size=dim)
        # Children spread around their parent's direction by a similar geodesic amount at every depth,
        # which in the ball's coordinates shrinks with the conformal factor (1 - |parent|^2).
        spread = 0.6 * (1.0 - float(points[parent] @ points[parent])) / np.sqrt(dim)
        direction = direction / np.linalg.norm(direction) + rng.normal(scale=spread, size=dim)
        direction /= np.linalg.norm(direction)
        depth[i] = depth[parent] + 1
        branch[i] = i - 1 if parent == 0 else branch[parent]
        parents[i] = parent
        points[i] = np.tanh(step * depth[i]) * direction  # equal geodesic steps outwards
        if depth[i] < max_depth:
            can_parent.append(i)
    return points.astype(np.float32), depth, branch, parents


def make_hierarchy(n_nodes: int, rng: np.random.Generator, dim: int = DIM, branches: int = BRANCHES,
                   max_depth: int = MAX_DEPTH, step: float = STEP):
    """Returns (points, depth, branch): node 0 is the root, branches hang off it.

    points is float32 (n_nodes × dim), depth and branch int64 (branch -1 at the root).
    """
    points, depth, branch, _ = _make_tree(n_nodes, rng, dim, branches, max_depth, step)
    return points, depth, branch


def generated_hierarchy(n_nodes: int = N_NODES, seed: int = SEED, dim: int = DIM, branches: int = BRANCHES,
                        max_depth: int = MAX_DEPTH, step: float = STEP) -> Hierarchy:
    """The same tree as make_hierarchy(n_nodes, np.random.default_rng(seed)) as a Hierarchy: names
    "node<i>", mask bit b for branch b (mask names "branch<b>"), no glosses."""
    points, depth, branch, parents = _make_tree(n_nodes, np.random.default_rng(seed), dim, branches,
                                                max_depth, step)
    masks = np.array([0 if b < 0 else 1 << int(b) for b in branch], dtype=np.uint64)
    return Hierarchy(points=points, parent=parents.astype(np.int32), depth=depth.astype(np.int32),
                     masks=masks, names=[f"node{i}" for i in range(n_nodes)],
                     mask_names=[f"branch{b}" for b in range(branches)], glosses=[""] * n_nodes,
                     step=2.0 * step)  # norm tanh(step·k) is geodesic distance 2·step·k


# --- Gaussian clusters ------------------------------------------------------------------------

CLUSTER_DIM = 128
N_CLUSTERS = 100
CENTRE_SCALE = 1.0
NOISE_SCALE = 0.5
DATA_SEED = 20240601
QUERY_SEED = 20240602


def _cluster_points(rng, centres, n, noise_scale):
    labels = rng.integers(0, len(centres), size=n)
    noise = rng.standard_normal((n, centres.shape[1]), dtype=np.float32) * np.float32(noise_scale)
    return centres[labels] + noise, labels


def gaussian_clusters(n: int, n_queries: int, dim: int = CLUSTER_DIM, n_clusters: int = N_CLUSTERS,
                      centre_scale: float = CENTRE_SCALE, noise_scale: float = NOISE_SCALE,
                      seed: int = DATA_SEED, query_seed: int = QUERY_SEED, labels: bool = False):
    """(base, queries) float32 arrays (n × dim, n_queries × dim) from one Gaussian mixture.

    Base points use the generators seeded `seed` (centres) and `seed + 1` (points), queries the one
    seeded `query_seed`. With `labels`, returns (base, queries, base_labels, query_labels): the
    cluster of every point.
    """
    centres = np.random.default_rng(seed).standard_normal((n_clusters, dim), dtype=np.float32)
    centres *= np.float32(centre_scale)
    base, base_labels = _cluster_points(np.random.default_rng(seed + 1), centres, n, noise_scale)
    queries, query_labels = _cluster_points(np.random.default_rng(query_seed), centres, n_queries, noise_scale)
    base, queries = np.ascontiguousarray(base, np.float32), np.ascontiguousarray(queries, np.float32)
    if labels:
        return base, queries, base_labels, query_labels
    return base, queries
