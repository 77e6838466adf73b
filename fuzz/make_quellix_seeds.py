"""Writes the seed corpus of the quellix index file fuzzer: small quellix files of every shape (each
metric, linked and unlinked rows, masks, ids of their own and after removals, float64 Poincare rows with
remainders, a curvature other than 1, vectors stored in float16, bfloat16 and int8, an empty index), in
the format version this quellix writes. Files of older versions (version-1, version-2, v3-*, v4-*, v5-*)
stay in the corpus as they were written; nothing here writes them any more.

Run with the interpreter that has quellix installed:

    .venv/bin/python fuzz/make_quellix_seeds.py [--out fuzz/quellix_corpus]

Every index is seeded and built on one thread, so the files are the same on every run.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

import quellix

def seeds() -> dict[str, bytes]:
    rng = np.random.default_rng(11)
    out = {}

    def ball(n, d, scale=0.9):
        x = rng.normal(size=(n, d))
        return x * (rng.uniform(0.05, scale, (n, 1)) / np.linalg.norm(x, axis=1, keepdims=True))

    for metric in ("poincare", "euclidean", "cosine"):
        index = quellix.Index(4, metric, M=4, seed=1)
        index.add(ball(30, 4).astype(np.float32), rng.integers(0, 8, 30).astype(np.uint64), num_threads=1)
        out[f"{metric}-linked"] = index.to_bytes()
        index.add(ball(5, 4).astype(np.float32), link=False)
        out[f"{metric}-unlinked-rows"] = index.to_bytes()
        index.remove([3, 7, 11])
        out[f"{metric}-after-removals"] = index.to_bytes()
    index = quellix.Index(3, "euclidean", M=3, seed=2)
    index.add(ball(12, 3).astype(np.float32), ids=rng.choice(10**9, 12, replace=False), num_threads=1)
    out["euclidean-own-ids"] = index.to_bytes()
    index = quellix.Index(3, "poincare", M=4, seed=3)
    index.add(ball(20, 3, 0.999), num_threads=1)  # float64 rows: remainders
    out["poincare-remainders"] = index.to_bytes()
    index = quellix.Index(3, "poincare", M=4, seed=4, curvature=2.5)
    index.add(ball(15, 3, 0.6), num_threads=1)
    out["poincare-curvature"] = index.to_bytes()
    out["empty"] = quellix.Index(5, "cosine", seed=5).to_bytes()
    ball(10, 4)  # the draws of the rows of the version 1 and 2 files, so that the seeds after stay the same
    for dtype in ("float16", "bfloat16", "int8"):
        index = quellix.Index(5, "euclidean" if dtype != "bfloat16" else "cosine", M=4, seed=7, dtype=dtype)
        index.add(ball(16, 5).astype(np.float32), num_threads=1)
        out[f"{dtype}"] = index.to_bytes()
    return out


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--out", default=str(Path(__file__).resolve().parent / "quellix_corpus"))
    out = Path(p.parse_args().out)
    out.mkdir(parents=True, exist_ok=True)
    for name, data in seeds().items():
        assert quellix.Index.from_bytes(data) is not None
        (out / f"{name}.qlx").write_bytes(data)
        print(f"{out / name}.qlx: {len(data)} bytes")


if __name__ == "__main__":
    main()
