"""Writes the seed corpus of the index file fuzzer: small valid index files of every shape.

Run with the interpreter that has vek_core installed:

    .venv/bin/python fuzz/make_seeds.py [--out fuzz/corpus]

Vectors and masks come from fixed seeds. Linked insertion draws node levels from each index's own
random device, so the files of linked indexes with several levels differ from run to run in their bytes
(never in their shape, which is checked below); the committed files are the reference set. Files built
with M = 1 (every level is then 0) and the crafted files are byte-for-byte reproducible.

Every file written is loaded back and must save to the same bytes.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import numpy as np

import vek_core

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from indexfile import IndexFile  # noqa: E402

F32 = np.float32


def ball_points(rng, n, d, max_norm=0.9):
    """Points inside the unit ball, at radii spread up to max_norm."""
    v = rng.standard_normal((n, d)).astype(F32)
    v /= np.linalg.norm(v, axis=1, keepdims=True).astype(F32)
    return (v * rng.uniform(0.05, max_norm, (n, 1)).astype(F32)).astype(F32)


def save(index, path: Path) -> None:
    index.save_index(str(path))


def linked(rng, n, d, m, metric, vectors=None, masks=None, ef=32):
    index = vek_core.HyperbolicIndex(d, 1.0, m, metric)
    vectors = ball_points(rng, n, d) if vectors is None else vectors
    for i in range(n):
        index.add_item_and_link(vectors[i], int(masks[i]) if masks is not None else i % 8, ef)
    return index


def linked_with_levels(rng, n, d, m, metric, min_layer, tries=200):
    """A linked index whose entry point sits at least on layer min_layer."""
    vectors = ball_points(rng, n, d)
    for _ in range(tries):
        index = linked(rng, n, d, m, metric, vectors=vectors)
        if index.get_stats()["ep_layer"] >= min_layer:
            return index
    raise RuntimeError(f"no index reached layer {min_layer} in {tries} tries")


def nearest(vectors, i, among, k):
    """The k nodes of `among` nearest to node i (Euclidean, ties by id), i itself excluded."""
    others = [j for j in among if j != i]
    d = [(float(np.sum((vectors[i] - vectors[j]) ** 2)), j) for j in others]
    return [j for _, j in sorted(d)[:k]]


def crafted_levels(rng) -> IndexFile:
    """A multi-layer graph assembled by hand: fixed levels, k-nearest links per layer, and a few
    uncached (negative) norms that searches must recompute."""
    n, d = 24, 2
    vectors = ball_points(rng, n, d, max_norm=0.8)
    levels = [0] * n
    levels[5], levels[11], levels[17], levels[2] = 3, 2, 1, 1
    norms = np.einsum("ij,ij->i", vectors, vectors).astype(F32)
    norms[[1, 7, 19]] = F32(-1.0)
    links = []
    for i in range(n):
        layers = []
        for layer in range(levels[i] + 1):
            among = [j for j in range(n) if levels[j] >= layer]
            layers.append(nearest(vectors, i, among, 4 if layer == 0 else 2))
        links.append(layers)
    masks = np.array([(1 << (i % 4)) | (1 << 63) * (i % 2) for i in range(n)], dtype=np.uint64)
    return IndexFile(d, 1.0, 4, 5, 3, vectors, norms, masks, levels, links)


def crafted_odd_lists() -> IndexFile:
    """Valid but unusual neighbour lists: a self-link, repeated ids, an over-full list and a node
    with no links at all, under an entry point on layer 1."""
    vectors = np.array([[0.1, 0.0, 0.2], [0.3, -0.1, 0.0], [-0.2, 0.2, 0.1], [0.0, 0.0, 0.0], [0.5, 0.5, 0.5]],
                       dtype=F32)
    norms = np.einsum("ij,ij->i", vectors, vectors).astype(F32)
    levels = [1, 0, 1, 0, 0]
    links = [[[0, 1, 1, 2], [2]], [[0, 2, 3, 4, 0, 2, 3, 4]], [[1], [0, 0]], [[]], [[3]]]
    masks = np.array([1, 2, 3, 0, 0xFFFFFFFFFFFFFFFF], dtype=np.uint64)
    return IndexFile(3, 1.0, 2, 0, 1, vectors, norms, masks, levels, links)


def build_all(out: Path) -> list[Path]:
    rng = np.random.default_rng(20240611)
    written = []

    def keep(name, make):
        path = out / f"seed-{name}.idx"
        make(path)
        written.append(path)

    keep("empty-d4", lambda p: save(vek_core.HyperbolicIndex(4), p))
    keep("empty-d0-m2", lambda p: save(vek_core.HyperbolicIndex(0, 0.5, 2, "cosine"), p))

    def flat(d, n, metric="poincare"):
        def make(p):
            index = vek_core.HyperbolicIndex(d, 1.0, 16, metric)
            vectors = ball_points(rng, n, d) if d else np.zeros((n, 0), dtype=F32)
            for i in range(n):
                index.add_item_flat(vectors[i], (1 << i) - 1 if i < 64 else 0)
            save(index, p)
        return make

    keep("flat-d4-n3", flat(4, 3))
    keep("flat-d13-n10", flat(13, 10, "euclidean"))
    keep("flat-d0-n5", flat(0, 5))

    # M = 1: every level is 0, so this linked graph is reproducible byte for byte.
    keep("linked-m1-d3-n40", lambda p: save(linked(rng, 40, 3, 1, "euclidean"), p))
    keep("linked-layers-cosine-d5-n60", lambda p: save(linked_with_levels(rng, 60, 5, 3, "cosine", 2), p))

    def near_boundary(p):
        vectors = ball_points(rng, 30, 4, max_norm=0.9)
        vectors[::3] *= F32(0.9985) / np.linalg.norm(vectors[::3], axis=1, keepdims=True).astype(F32)
        save(linked(rng, 30, 4, 4, "poincare", vectors=vectors.astype(F32)), p)

    keep("linked-boundary-poincare-d4-n30", near_boundary)

    def mixed(p):
        index = linked(rng, 20, 6, 4, "poincare")
        for v in ball_points(rng, 10, 6):
            index.add_item_flat(v, 5)
        save(index, p)

    keep("mixed-linked-flat-d6-n30", mixed)
    keep("crafted-levels-d2-n24", lambda p: crafted_levels(rng).write(p))
    keep("crafted-odd-lists-d3-n5", lambda p: crafted_odd_lists().write(p))
    return written


def check(paths: list[Path]) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        for path in paths:
            data = path.read_bytes()
            IndexFile.from_bytes(data)
            index = vek_core.HyperbolicIndex(1)
            index.load_index(str(path))
            again = Path(tmp) / path.name
            index.save_index(str(again))
            assert again.read_bytes() == data, f"{path.name} does not survive a load and a save"
            print(f"{path.name}: {len(data)} bytes, {index.get_stats()['num_nodes']} nodes, "
                  f"entry layer {index.get_stats()['ep_layer']}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "corpus")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    paths = build_all(args.out)
    check(paths)
    print(f"{len(paths)} seeds, {sum(p.stat().st_size for p in paths)} bytes in {args.out}")


if __name__ == "__main__":
    main()
