"""Indexes opened with load(mmap=True): the same answers as the loaded file, every write refused, older
files refused for mapping, damaged files that never crash the process, and processes sharing a file."""

from __future__ import annotations

import pickle
import struct
from pathlib import Path

import numpy as np
import pytest

import quellix
from conftest import run_child
from quellix_data import built, points

CORPUS = Path(__file__).resolve().parent.parent / "fuzz" / "quellix_corpus"


def _answers(index, queries):
    out = [index.search(queries, 6, ef=30), index.search(queries, 6, ef=30, filter_mask=1),
           index.filtered_search(queries, 5, filter_mask=2, strategy="graph"),
           index.filtered_search(queries, 5, filter_mask=2, strategy="scan"),
           index.exact_search(queries, 7, max_distance=50.0),
           (index.ids, index.masks, index.get_vectors(index.ids[::7]), index.distances(queries[0], index.ids[:9]))]
    return [np.asarray(a) for group in out for a in group]


@pytest.mark.parametrize("metric,dtype", [("poincare", "float32"), ("euclidean", "float32"), ("euclidean", "int8"),
                                          ("cosine", "float16")])
def test_a_mapped_index_answers_as_the_loaded_one(metric, dtype, tmp_path):
    index, data = built(n=500, dim=10, metric=metric, masks=np.arange(500, dtype=np.uint64) % 4, dtype=dtype)
    index.remove(np.arange(0, 500, 9))  # ids that are not positions
    if metric == "poincare":
        index.add(points(20, 10, metric, seed=4, dtype=np.float64), ids=np.arange(900, 920))  # remainders
    index.save(tmp_path / "i.qlx")
    loaded = quellix.Index.load(tmp_path / "i.qlx")
    mapped = quellix.Index.load(tmp_path / "i.qlx", mmap=True)
    assert mapped.mapped and not loaded.mapped and mapped.dtype == dtype
    queries = points(9, 10, metric, seed=5)
    for a, b in zip(_answers(loaded, queries), _answers(mapped, queries)):
        np.testing.assert_array_equal(a, b)
    s_loaded, s_mapped = loaded.stats(), mapped.stats()
    assert {k: v for k, v in s_loaded.items() if k != "memory_bytes"} == \
           {k: v for k, v in s_mapped.items() if k != "memory_bytes"}
    mapped.verify()
    assert mapped.to_bytes() == loaded.to_bytes() == index.to_bytes()

    # Every write is refused and changes nothing; a copy can change.
    before = mapped.to_bytes()
    for write in (lambda: mapped.add(data[:2]), lambda: mapped.add(data[:1], ids=[7], replace=True),
                  lambda: mapped.remove(mapped.ids[:1]), mapped.compact, lambda: mapped.set_masks(3),
                  lambda: mapped.set_masks(np.zeros(len(mapped), np.uint64))):
        with pytest.raises(RuntimeError, match="read-only memory-mapped index"):
            write()
    assert mapped.to_bytes() == before
    copy = pickle.loads(pickle.dumps(mapped))
    assert not copy.mapped
    copy.add(data[:3], ids=[5000, 5001, 5002])
    assert len(copy) == len(mapped) + 3


def test_older_files_load_but_are_not_mapped(tmp_path):
    old = CORPUS / "version-2.qlx"
    assert struct.unpack_from("<I", old.read_bytes(), 8)[0] == 2
    with pytest.raises(RuntimeError, match="format version 2 cannot be mapped: load it and save it again"):
        quellix.Index.load(old, mmap=True)
    index = quellix.Index.load(old)
    index.save(tmp_path / "new.qlx")
    assert quellix.Index.load(tmp_path / "new.qlx", mmap=True).to_bytes() == index.to_bytes()


def test_damaged_mapped_files_raise_and_never_crash(tmp_path):
    index, _ = built(n=300, dim=6, metric="euclidean", masks=np.arange(300, dtype=np.uint64) % 3)
    index.save(tmp_path / "base.qlx")
    data = bytearray((tmp_path / "base.qlx").read_bytes())
    rng = np.random.default_rng(3)
    paths = []
    # Truncations, and damage everywhere: the header, every section, ids and counts in the slots.
    cuts = [0, 10, 100, 191, 192, len(data) // 2, len(data) - 5, len(data) - 1]
    spots = sorted(set(rng.integers(0, len(data), 60).tolist()) | set(range(8, 192, 4)))
    for i, cut in enumerate(cuts):
        paths.append(tmp_path / f"cut{i}.qlx")
        paths[-1].write_bytes(bytes(data[:cut]))
    for i, at in enumerate(spots):
        for value in (0xFF, 0x7F):
            damaged = bytearray(data)
            damaged[at] = value
            paths.append(tmp_path / f"bad{i}-{value}.qlx")
            paths[-1].write_bytes(bytes(damaged))
    run = run_child("map_each_file.py", 6, *paths, timeout=600)
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-2000:]
    lines = run.stdout.splitlines()
    outcome = dict(zip(lines[0::2], lines[1::2]))
    assert len(outcome) == len(paths)
    assert all(outcome[f"file {p}"].startswith("refused") for p in paths[:len(cuts)])
    # What the checks at open let through, verify finds.
    opened = [p for p in paths[len(cuts):] if outcome[f"file {p}"] == "answered" and p.read_bytes() != bytes(data)]
    assert opened
    for path in opened[:10]:
        with pytest.raises(RuntimeError, match="checksum mismatch"):
            quellix.Index.load(path, mmap=True).verify()


def test_processes_share_a_mapped_file(tmp_path):
    index, _ = built(n=400, dim=8, metric="cosine")
    index.save(tmp_path / "s.qlx")
    mapped = quellix.Index.load(tmp_path / "s.qlx", mmap=True)
    queries = points(5, 8, "cosine", seed=2)
    np.save(tmp_path / "q.npy", queries)
    script = tmp_path / "child.py"
    script.write_text(
        "import sys, numpy as np, quellix\n"
        "i = quellix.Index.load(sys.argv[1], mmap=True)\n"
        "ids, d = i.search(np.load(sys.argv[2]), 5, ef=40)\n"
        "np.save(sys.argv[3], ids)\n")
    import subprocess
    import sys
    child = subprocess.Popen([sys.executable, str(script), str(tmp_path / "s.qlx"), str(tmp_path / "q.npy"),
                              str(tmp_path / "ids.npy")])
    mine = [mapped.search(queries, 5, ef=40)[0] for _ in range(20)]  # the parent searches meanwhile
    assert child.wait(timeout=300) == 0
    theirs = np.load(tmp_path / "ids.npy")
    for ids in mine:
        np.testing.assert_array_equal(ids, theirs)
