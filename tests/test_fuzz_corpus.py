"""The fuzzer's corpus replayed through the module: every file in fuzz/corpus loads or is refused
exactly as an independent reading of the format says, and nothing crashes.

The committed seeds are valid files of every shape (empty, flat only, one layer, several layers, odd
but legal neighbour lists); the others are inputs the fuzzer found, mostly damaged files. All of them
run in one child interpreter, so a crash or a sanitizer abort fails these tests instead of the whole
session, and the child's last progress line names the file it died on.

What counts as valid is decided here from the bytes alone: a complete parse, then dimension >= 0,
n <= 2**31 - 1, levels >= 0, every neighbour id in [0, n) on a node that reaches the layer, and an
entry point that is (-1, -1) or a node whose level equals its layer.
"""

from __future__ import annotations

import json
import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from indexfile import HEADER, IndexFile

CORPUS = Path(__file__).resolve().parent.parent / "fuzz" / "corpus"
FILES = sorted(p for p in CORPUS.iterdir() if p.is_file()) if CORPUS.is_dir() else []
METRICS = ("poincare", "euclidean", "cosine")
INT32_MAX = 2**31 - 1

# (k, filter_mask, ef, max_radius, min_norm): the graph searches take all five, the exhaustive scan
# takes k, filter_mask and max_radius, with min_norm squared into its own bound.
SEARCHES = [(1, 0, 1, -1.0, -1.0), (4, 1, 8, -1.0, -1.0), (50, 0, 4, 0.5, 0.1), (0, 0, 2, -1.0, -1.0)]

CHILD = r"""
import json, sys
import numpy as np
import vek_core

paths, metrics, searches, out_dir = json.loads(sys.argv[1])
ALLOWED = (RuntimeError, ValueError, MemoryError)
results = {}
for path in paths:
    entry = results[path] = {}
    for metric in metrics:
        print("loading", path, metric, file=sys.stderr, flush=True)
        index = vek_core.HyperbolicIndex(3, 1.0, 4, metric)
        index.add_item_flat(np.array([0.1, 0.2, 0.3], dtype=np.float32), 1)
        index.add_item_flat(np.array([-0.3, 0.0, 0.2], dtype=np.float32), 2)
        before = index.get_stats()
        try:
            index.load_index(path)
        except ALLOWED as e:
            entry[metric] = {"error": type(e).__name__, "message": str(e),
                             "unchanged": index.get_stats() == before}
            continue
        stats = index.get_stats()
        saved = f"{out_dir}/{metric}.idx"
        index.save_index(saved)
        with open(saved, "rb") as f, open(path, "rb") as g:
            same_bytes = f.read() == g.read()
        found = []
        d = stats["dimension"]
        if d <= 1 << 16:
            rng = np.random.default_rng(7)
            for q in (np.zeros(d, np.float32), rng.uniform(-0.6, 0.6, d).astype(np.float32)):
                for k, mask, ef, radius, min_norm in searches:
                    bound = min_norm * min_norm if min_norm >= 0 else -1.0
                    found.append(["custom", k, mask, index.custom_hnsw_search(q, k, mask, ef, radius, min_norm)])
                    found.append(["filtered", k, mask, index.filtered_search(q, k, mask, ef, radius, min_norm)])
                    found.append(["flat", k, mask, index.hardware_flat_search(q, k, mask, radius, bound)])
            index.add_item_and_link(np.full(d, 0.05, np.float32), 1, 16)
            index.save_index(saved)
            again = vek_core.HyperbolicIndex(1, 1.0, 16, metric)
            again.load_index(saved)
            reloaded = again.get_stats() == index.get_stats()
        else:
            reloaded = True
        entry[metric] = {"stats": stats, "same_bytes": same_bytes, "found": found, "reloaded": reloaded}
print(json.dumps(results))
"""


def verdict(data: bytes) -> str | None:
    """None when the file is valid, else why not (for the failure message)."""
    if len(data) < HEADER.size:
        return "shorter than the header"
    dimension, _, _, ep_id, ep_layer, n = HEADER.unpack_from(data, 0)
    if dimension < 0:
        return "negative dimension"
    if n > INT32_MAX:
        return "node count past the id range"
    try:
        f = IndexFile.from_bytes(data)
    except (ValueError, OverflowError, struct.error) as e:
        return f"does not parse: {e}"
    if any(level < 0 for level in f.levels):
        return "negative level"
    for i, layers in enumerate(f.links):
        for layer, ids in enumerate(layers):
            for j in ids:
                if not 0 <= j < n or f.levels[j] < layer:
                    return f"node {i} has a bad link to {j} on layer {layer}"
    if (ep_id, ep_layer) != (-1, -1) and not (0 <= ep_id < n and f.levels[ep_id] == ep_layer):
        return "bad entry point"
    return None


@pytest.fixture(scope="module")
def replay(tmp_path_factory):
    assert FILES, f"no corpus files in {CORPUS}"
    out_dir = tmp_path_factory.mktemp("replay")
    arg = json.dumps([[str(p) for p in FILES], METRICS, SEARCHES, str(out_dir)])
    proc = subprocess.run([sys.executable, "-c", CHILD, arg], capture_output=True, text=True, timeout=600,
                          env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})
    assert proc.returncode == 0, (
        f"the replay child died with status {proc.returncode}; its last lines:\n{proc.stderr[-4000:]}")
    return json.loads(proc.stdout)


def test_seeds_cover_every_shape():
    """Empty, flat-only, single-layer and multi-layer files are all present and valid."""
    shapes = set()
    for path in FILES:
        data = path.read_bytes()
        if not path.name.startswith("seed-"):
            continue
        assert verdict(data) is None, f"{path.name}: {verdict(data)}"
        f = IndexFile.from_bytes(data)
        if f.n == 0:
            shapes.add("empty")
        elif f.ep_id == -1:
            shapes.add("flat")
        else:
            shapes.add("layers" if f.ep_layer >= 1 else "one layer")
    assert shapes == {"empty", "flat", "one layer", "layers"}


@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_replay(replay, path):
    data = path.read_bytes()
    why_invalid = verdict(data)
    outcomes = replay[str(path)]
    assert set(outcomes) == set(METRICS)
    for metric, got in outcomes.items():
        if why_invalid is not None:
            assert "error" in got, f"{metric}: accepted a file that is invalid ({why_invalid})"
            assert got["error"] == "RuntimeError", got
            assert got["message"].startswith(f"Invalid index file: {path}: "), got["message"]
            assert got["unchanged"], f"{metric}: the refused load changed the instance"
            continue
        assert "stats" in got, f"{metric}: refused a valid file: {got.get('message')}"
        f = IndexFile.from_bytes(data)
        stats = got["stats"]
        assert (stats["num_nodes"], stats["dimension"], stats["ep_id"], stats["ep_layer"], stats["max_m"]) == (
            f.n, f.dimension, f.ep_id, f.ep_layer, f.max_m)
        assert got["same_bytes"], f"{metric}: saving the loaded file changed its bytes"
        assert got["reloaded"], f"{metric}: the file saved after an insertion reloads differently"
        masks = np.asarray(f.masks, dtype=np.uint64)
        for kind, k, mask, ids in got["found"]:
            limit = k if kind == "flat" else max(k, 1)  # the graph searches keep one id for k = 0
            assert len(ids) <= limit, (kind, k, ids)
            assert len(set(ids)) == len(ids), (kind, ids)
            assert all(0 <= i < f.n for i in ids), (kind, ids)
            assert all(int(masks[i]) & mask == mask for i in ids), (kind, mask, ids)
