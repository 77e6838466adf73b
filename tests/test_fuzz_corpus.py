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
from pathlib import Path

import numpy as np
import pytest

from conftest import METRICS, run_child
from indexfile import HEADER, IndexFile

CORPUS = Path(__file__).resolve().parent.parent / "fuzz" / "corpus"
FILES = sorted(p for p in CORPUS.iterdir() if p.is_file()) if CORPUS.is_dir() else []
INT32_MAX = 2**31 - 1

# (k, filter_mask, ef, max_radius, min_norm): the graph searches take all five, the exhaustive scan
# takes k, filter_mask and max_radius, with min_norm squared into its own bound.
SEARCHES = [(1, 0, 1, -1.0, -1.0), (4, 1, 8, -1.0, -1.0), (50, 0, 4, 0.5, 0.1), (0, 0, 2, -1.0, -1.0)]

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
    proc = run_child("replay_corpus.py", arg, timeout=600, env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"})
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
