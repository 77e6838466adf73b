"""What several test modules share: the metric names, index builders, index files written or read
back, checks of a saved graph, and the child processes some tests run.

pytest imports this module as `conftest` with this directory on sys.path, the way the modules import
indexfile, reference and the other helpers here; so a test module takes what it needs with
`from conftest import ...`.
"""

from __future__ import annotations

import itertools
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vek_core
from indexfile import IndexFile
from reference import sqnorm

HERE = Path(__file__).resolve().parent

F32 = np.float32
U64 = np.uint64

# The three metrics by their canonical names.
METRICS = ["poincare", "euclidean", "cosine"]


# --------------------------------------------------------------------------------------------------
# Floats


def float_bits(x) -> int:
    """The float32 bit pattern of x, by struct (independent of NumPy's conversions)."""
    return struct.unpack("<I", struct.pack("<f", x))[0]


def below(x) -> float:
    """The float32 just below x."""
    return float(np.nextafter(F32(x), F32(-np.inf)))


def above(x) -> float:
    """The float32 just above x."""
    return float(np.nextafter(F32(x), F32(np.inf)))


# --------------------------------------------------------------------------------------------------
# Indexes


def build_index(vectors, metric="poincare", *, masks=None, linked=True, M=16, curvature=1.0, ef_construction=200):
    """An index holding the rows of `vectors` in order, node i with masks[i] (0 without masks).

    `linked` is True (every row linked into the graph), False (every row flat) or one flag per row.
    """
    vectors = np.asarray(vectors)
    n = len(vectors)
    index = vek_core.HyperbolicIndex(vectors.shape[1], curvature, M, metric)
    flags = itertools.repeat(linked, n) if isinstance(linked, bool) else linked
    for i, (v, link) in enumerate(zip(vectors, flags)):
        mask = 0 if masks is None else int(masks[i])
        if link:
            index.add_item_and_link(v, mask, ef_construction)
        else:
            index.add_item_flat(v, mask)
    return index


def stored_norms(index, n=None) -> np.ndarray:
    """The cached squared norms of the first n nodes (all of them by default), as float32."""
    n = index.get_stats()["num_nodes"] if n is None else n
    return np.array([index.get_stored_norm(i) for i in range(n)], dtype=F32)


def node_distances(index, q, n=None) -> np.ndarray:
    """compute_distance from q to each of the first n nodes (all of them by default), as float32."""
    n = index.get_stats()["num_nodes"] if n is None else n
    return np.array([index.compute_distance(q, i) for i in range(n)], dtype=F32)


# --------------------------------------------------------------------------------------------------
# Index files


def saved(index, path) -> IndexFile:
    """Saves the index to path and reads the file back."""
    index.save_index(str(path))
    return IndexFile.read(path)


def load_file(path, metric="poincare", dim=1):
    """A fresh instance of this metric (and a dimension the file then replaces) loaded from path."""
    index = vek_core.HyperbolicIndex(dim, metric=metric)
    index.load_index(str(path))
    return index


def load_crafted(tmp_path, f: IndexFile, metric="poincare", name="graph.bin"):
    """Writes f to tmp_path / name and loads it into a fresh instance of the metric."""
    path = tmp_path / name
    f.write(path)
    return load_file(path, metric, f.dimension)


def flat_file(vectors, norms=None, masks=None) -> IndexFile:
    """Flat nodes only (level 0, no links, no entry point); norms cached as given (default: exact)."""
    vectors = np.asarray(vectors, dtype=F32)
    n = len(vectors)
    return IndexFile(dimension=vectors.shape[1], vectors=vectors,
                     norms=np.array([sqnorm(v) for v in vectors], F32) if norms is None else np.asarray(norms, F32),
                     masks=np.zeros(n, U64) if masks is None else np.asarray(masks, U64),
                     levels=[0] * n, links=[[[]] for _ in range(n)])


def complete_graph(vectors, norms=None, masks=None, ep=0, max_m=16) -> IndexFile:
    """One layer, every node linked to every other node, so expanding the entry scores everything."""
    vectors = np.asarray(vectors, dtype=F32)
    n, dim = vectors.shape
    if norms is None:
        norms = [sqnorm(v) for v in vectors]
    links = [[[j for j in range(n) if j != i]] for i in range(n)]
    return IndexFile(dimension=dim, curvature=1.0, max_m=max_m, ep_id=ep, ep_layer=0, vectors=vectors,
                     norms=np.asarray(norms, dtype=F32),
                     masks=np.zeros(n, U64) if masks is None else np.asarray(masks, dtype=U64),
                     levels=[0] * n, links=links)


def chain_graph(vectors, norms=None, masks=None, max_m=16) -> IndexFile:
    """One layer, node i linked to nodes i - 1 and i + 1; entry node 0. A flat sequence of numbers
    is taken as one-dimensional vectors (positions on a line)."""
    vectors = np.asarray(vectors, dtype=F32)
    n = len(vectors)
    vectors = vectors.reshape(n, -1) if vectors.ndim == 2 else vectors.reshape(n, 1)
    if norms is None:
        norms = [sqnorm(v) for v in vectors]
    links = [[[j for j in (i - 1, i + 1) if 0 <= j < n]] for i in range(n)]
    return IndexFile(dimension=vectors.shape[1], curvature=1.0, max_m=max_m, ep_id=0, ep_layer=0, vectors=vectors,
                     norms=np.asarray(norms, dtype=F32),
                     masks=np.zeros(n, U64) if masks is None else np.asarray(masks, dtype=U64),
                     levels=[0] * n, links=links)


def check_graph(f: IndexFile, M: int, *, first_at_top: bool = True):
    """What every graph the index builds satisfies: levels >= 0 with one list per layer, lists within
    their limits (2M on layer 0, M above, none for M <= 0) without duplicates or self-links, ids of
    nodes that reach the layer, and the entry point at the top level: one row after the other, the
    first node to reach it, since a node drawn at the entry's level does not replace the entry
    (rows inserted concurrently reach it in no fixed order: `first_at_top=False`)."""
    n = f.n
    assert f.max_m == M
    assert len(f.links) == n == len(f.norms) == len(f.masks) and f.vectors.shape == (n, f.dimension)
    levels = np.asarray(f.levels, dtype=np.int64)
    assert np.all(levels >= 0)
    assert [len(layers) for layers in f.links] == (levels + 1).tolist()
    lists = [(i, layer, ids) for i, layers in enumerate(f.links) for layer, ids in enumerate(layers)]
    owner = np.array([i for i, _, _ in lists], dtype=np.int64)
    layer = np.array([lay for _, lay, _ in lists], dtype=np.int64)
    length = np.array([len(ids) for _, _, ids in lists], dtype=np.int64)
    assert np.all(length <= np.maximum(np.where(layer == 0, 2 * M, M), 0)), "a list over its limit"
    target = np.fromiter(itertools.chain.from_iterable(ids for _, _, ids in lists), np.int64, int(length.sum()))
    owner, layer = np.repeat(owner, length), np.repeat(layer, length)
    assert np.all((target >= 0) & (target < n)), "an id outside the nodes"
    assert np.all(levels[target] >= layer), "a link to a node that does not reach the layer"
    assert not np.any(target == owner), "a node linked to itself"
    key = (owner * (int(levels.max(initial=0)) + 1) + layer) * n + target
    assert len(np.unique(key)) == len(key), "an id twice in one list"
    if f.ep_id == -1:
        assert f.ep_layer == -1 and len(target) == 0
    else:
        assert 0 <= f.ep_id < n
        top = int(levels.max())
        assert f.levels[f.ep_id] == f.ep_layer == top
        if not first_at_top:
            return
        if top > 0:
            assert f.ep_id == f.levels.index(top)
        elif len(target):  # flat nodes sit at level 0 too: the entry is the first node in the graph
            in_graph = set(target.tolist()) | {i for i, layers in enumerate(f.links) if any(layers)}
            assert f.ep_id == min(in_graph)


# --------------------------------------------------------------------------------------------------
# Child processes


def run_child(script, *args, timeout, env=None) -> subprocess.CompletedProcess:
    """Runs tests/<script> in a fresh interpreter, so that a crash fails a test instead of the whole
    run; its output is captured as text."""
    return subprocess.run([sys.executable, str(HERE / script), *map(str, args)], check=False, capture_output=True,
                          text=True, timeout=timeout, env=env)


@pytest.fixture
def short_slices():
    """Adds cut into slices of one row: an add looks at signals and calls its progress callback between
    slices of about 50 ms, which a fast machine could fill with a whole test's add."""
    from quellix import _native

    before = _native._slice_time(0.0)
    yield
    _native._slice_time(before)


@pytest.fixture(params=["512-bit tiles", "256-bit tiles"])
def tiles(request):
    """Runs a test under each batch tile kernel this processor has, and restores the default after."""
    from quellix import _native

    wide = request.param == "512-bit tiles"
    if _native._wide_tiles(wide) != wide:
        _native._wide_tiles(True)
        pytest.skip("this processor has no 512-bit tiles")
    yield request.param
    _native._wide_tiles(True)
