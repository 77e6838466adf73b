"""The quellix index file, bytes and pickles: round trips, reproducible builds, and refusal of every
damaged or foreign file with a clear error."""

from __future__ import annotations

import copy
import os
import pickle
import struct
import zlib

import numpy as np
import pytest

import quellix
import vek_core
from conftest import run_child
from indexfile import IndexFile
from quellix_data import METRICS, built, points

HEADER = struct.Struct("<8sIIIIIQQQQQQq")
HEADER_V2 = struct.Struct("<8sIIIIIQQQQQ")  # version 2: no ids
HEADER_V1 = struct.Struct("<8sIIIIIQQQQ")  # version 1: no remainders either
CODES = {"poincare": 0, "euclidean": 1, "cosine": 2}


def _same(a: quellix.Index, b: quellix.Index, queries) -> None:
    for x, y in zip(a.search(queries, 5), b.search(queries, 5)):
        np.testing.assert_array_equal(x, y)
    np.testing.assert_array_equal(a.masks, b.masks)


def _reseal(data: bytes) -> bytes:
    """The buffer with its trailing CRC-32 recomputed, to get past the checksum to the checks behind it."""
    body = data[:-4]
    return body + struct.pack("<I", zlib.crc32(body))


@pytest.mark.parametrize("metric", METRICS)
def test_round_trips_keep_everything(metric, tmp_path):
    index, data = built(n=300, dim=9, metric=metric, masks=np.arange(300) % 7, M=6, ef_construction=33)
    path = tmp_path / "i.qlx"
    index.save(path)
    copies = [quellix.Index.load(path), quellix.Index.from_bytes(index.to_bytes()),
              pickle.loads(pickle.dumps(index)), copy.deepcopy(index)]
    for other in copies:
        assert (other.dim, other.metric, other.M, other.ef_construction, len(other)) == (9, metric, 6, 33, 300)
        assert other.to_bytes() == index.to_bytes() == path.read_bytes()
        _same(index, other, data[:10])
    assert os.listdir(tmp_path) == ["i.qlx"]  # no temporary file left behind


def test_the_header_describes_the_file():
    index, _ = built(n=40, dim=7, metric="cosine", M=5, ef_construction=21)
    data = index.to_bytes()
    magic, version, code, dim, M, ef, count, n_records, n_terms, n_state, n_rest, n_ids, next_id = \
        HEADER.unpack_from(data)
    assert (magic, version, code, dim, M, ef, count, n_terms, n_rest, n_ids, next_id) == (
        b"QUELLIX\0", 3, CODES["cosine"], 7, 5, 21, 40, 0, 0, 0, 40)
    assert HEADER.size + n_records + n_state + 4 == len(data)
    assert struct.unpack("<I", data[-4:])[0] == zlib.crc32(data[:-4])
    # The records are vek_core's record layout: an IndexFile parser reads them.
    records = IndexFile.from_bytes(data[HEADER.size:HEADER.size + n_records])
    assert (records.dimension, records.max_m, records.n) == (7, 5, 40)


@pytest.mark.parametrize("metric", METRICS)
def test_a_seed_gives_byte_identical_files_and_builds_continue_alike(metric):
    data = points(400, 8, metric, seed=3)
    a, b = (quellix.Index(8, metric, seed=42) for _ in range(2))
    a.add(data[:300], num_threads=1)
    b.add(data[:300], num_threads=1)
    assert a.to_bytes() == b.to_bytes()
    c = quellix.Index.from_bytes(a.to_bytes())  # the level generator's state travels with the file
    a.add(data[300:], num_threads=1)
    c.add(data[300:], num_threads=1)
    assert a.to_bytes() == c.to_bytes()
    other = quellix.Index(8, metric, seed=43)
    other.add(data[:300], num_threads=1)
    assert other.to_bytes() != b.to_bytes()


def test_every_damaged_byte_and_every_truncation_is_refused():
    index, _ = built(n=30, dim=4, metric="euclidean")
    good = index.to_bytes()
    rng = np.random.default_rng(0)
    for pos in list(range(0, HEADER.size)) + rng.integers(HEADER.size, len(good), 60).tolist():
        bad = bytearray(good)
        bad[pos] ^= 0x10
        with pytest.raises(RuntimeError, match="Invalid index file: <bytes>"):
            quellix.Index.from_bytes(bytes(bad))
    for length in (0, 7, HEADER.size, HEADER.size + 30, len(good) - 1):
        with pytest.raises(RuntimeError, match="Invalid index file"):
            quellix.Index.from_bytes(good[:length])
    with pytest.raises(RuntimeError, match="Invalid index file"):
        quellix.Index.from_bytes(good + b"\0")


def _with_header(data: bytes, **fields) -> bytes:
    names = ("magic", "version", "code", "dim", "M", "ef", "count", "n_records", "n_terms", "n_state", "n_rest",
             "n_ids", "next_id")
    values = dict(zip(names, HEADER.unpack_from(data))) | fields
    return _reseal(HEADER.pack(*(values[n] for n in names)) + data[HEADER.size:])


@pytest.mark.parametrize("fields, message", [
    (dict(version=6), "format version 6"),
    (dict(code=9), "metric code 9"),
    (dict(dim=0), "out of range"),
    (dict(M=1), "out of range"),
    (dict(dim=5), "does not match"),
    (dict(count=31), "does not match"),
    (dict(magic=b"QUELLIY\0"), "not a quellix index file"),
    (dict(code=0), "boundary factors"),  # a euclidean file relabelled poincare carries no factors
])
def test_sealed_but_inconsistent_headers(fields, message):
    index, _ = built(n=30, dim=4, metric="euclidean")
    with pytest.raises(RuntimeError, match=message):
        quellix.Index.from_bytes(_with_header(index.to_bytes(), **fields))


@pytest.mark.parametrize("version", [1, 2])
def test_older_files_load_as_they_did(version):
    index, data = built(n=60, dim=5, metric="poincare")
    v3 = index.to_bytes()
    fields = HEADER.unpack_from(v3)
    assert fields[-3:] == (0, 0, 60)  # float32 vectors leave no remainders; ids are positions
    header, end = {1: (HEADER_V1, 10), 2: (HEADER_V2, 11)}[version]
    old = quellix.Index.from_bytes(_reseal(header.pack(fields[0], version, *fields[2:end]) + v3[HEADER.size:]))
    _same(index, old, data[:10])
    assert old.to_bytes() == v3


def test_remainders_travel_with_the_file_and_damaged_ones_are_refused():
    rng = np.random.default_rng(8)
    x = rng.normal(size=(80, 3))
    x *= (rng.uniform(0.3, 0.999, 80) / np.linalg.norm(x, axis=1))[:, None]
    # Points whose float32 copies round onto the sphere: the file's own factors hold them.
    x[:10] *= (np.sqrt(1.0 - 1e-12) / np.linalg.norm(x[:10], axis=1))[:, None]
    index = quellix.Index(3, "poincare", M=6, seed=1)
    index.add(x, num_threads=1)
    data = index.to_bytes()
    n_rest = HEADER.unpack_from(data)[10]
    assert n_rest == 4 * 80 * 3
    other = quellix.Index.from_bytes(data)
    for a, b in zip(index.exact_search(x[:20], 5), other.exact_search(x[:20], 5)):
        np.testing.assert_array_equal(a, b)
    bad = bytearray(data)
    bad[-4 - n_rest:-4 - n_rest + 4] = struct.pack("<f", np.inf)
    with pytest.raises(RuntimeError, match="remainder is not finite"):
        quellix.Index.from_bytes(_reseal(bytes(bad)))
    plain, _ = built(n=30, dim=4, metric="euclidean")  # only poincare vectors carry remainders
    grown = plain.to_bytes()[:-4] + bytes(4 * 30 * 4) + bytes(4)
    with pytest.raises(RuntimeError, match="remainders for 30 nodes"):
        quellix.Index.from_bytes(_with_header(grown, n_rest=4 * 30 * 4))


@pytest.mark.parametrize("ids, next_id, message", [
    ([5, 9, 5], 10, "id 5 held twice"),
    ([5, -9, 7], 10, "negative id -9"),
    ([5, 9, 7], 9, "next id 9 is not past every id"),
    (None, 2, "next id 2 is not past every id"),  # positions as ids, yet a next id among them
    ([5, 9], 10, "16 bytes of ids for 3 nodes"),
])
def test_sealed_but_unsound_ids(ids, next_id, message):
    index = quellix.Index(4, "euclidean", seed=1)
    index.add(points(3, 4, "euclidean"), ids=[5, 9, 7])
    data = index.to_bytes()
    fields = dict(zip(("n_rest", "n_ids", "next_id"), HEADER.unpack_from(data)[10:]))
    assert fields == {"n_rest": 0, "n_ids": 24, "next_id": 10}
    raw = b"" if ids is None else np.asarray(ids, "<i8").tobytes()
    damaged = data[:-4 - 24] + raw + data[-4:]
    with pytest.raises(RuntimeError, match=f"Invalid index file: <bytes>: .*{message}"):
        quellix.Index.from_bytes(_with_header(damaged, n_ids=len(raw), next_id=next_id))


def _records_of(index):
    data = index.to_bytes()
    n_records = HEADER.unpack_from(data)[7]
    return data, IndexFile.from_bytes(data[HEADER.size:HEADER.size + n_records])


def _replace_records(data: bytes, records: IndexFile) -> bytes:
    n_records = HEADER.unpack_from(data)[7]
    raw = records.to_bytes()
    assert len(raw) == n_records
    return _reseal(data[:HEADER.size] + raw + data[HEADER.size + n_records:])


@pytest.mark.parametrize("metric, damage, message", [
    ("euclidean", lambda f: f.links[3][0].__setitem__(0, 999), "missing node"),
    ("euclidean", lambda f: f.norms.__setitem__(2, f.norms[2] * 2), "stored norm"),
    ("poincare", lambda f: f.vectors.__setitem__((2, 0), 1.5), "outside the unit ball"),
    ("cosine", lambda f: f.vectors.__setitem__((1, 0), np.nan), "not finite"),
])
def test_sealed_but_unsound_records(metric, damage, message):
    index, _ = built(n=30, dim=4, metric=metric)
    data, records = _records_of(index)
    damage(records)
    with pytest.raises(RuntimeError, match=message):
        quellix.Index.from_bytes(_replace_records(data, records))


@pytest.mark.parametrize("term, message", [(0.5, "invalid boundary factor"), (np.inf, "invalid boundary factor"),
                                           (np.nan, "invalid boundary factor")])
def test_sealed_but_unsound_boundary_factors(term, message):
    index, _ = built(n=30, dim=4, metric="poincare")
    data = bytearray(index.to_bytes())
    n_records = HEADER.unpack_from(data)[7]
    data[HEADER.size + n_records + 8:HEADER.size + n_records + 12] = np.float32(term).tobytes()  # node 2
    with pytest.raises(RuntimeError, match=message):
        quellix.Index.from_bytes(_reseal(bytes(data)))


def test_foreign_inputs(tmp_path):
    with pytest.raises(TypeError):
        quellix.Index.from_bytes("not bytes")
    legacy = vek_core.HyperbolicIndex(3)
    legacy.save_index(str(tmp_path / "legacy.vek"))
    with pytest.raises(RuntimeError, match="load_vek_core"):
        quellix.Index.load(tmp_path / "legacy.vek")
    with pytest.raises(RuntimeError, match="Cannot open file for loading: "):
        quellix.Index.load(tmp_path / "missing.qlx")
    with pytest.raises(RuntimeError, match="Cannot open file for loading: "):
        quellix.Index.load(tmp_path)
    with pytest.raises(RuntimeError, match="Cannot open file for loading: "):
        quellix.Index.load_vek_core(tmp_path / "missing.vek", "cosine")


def test_saves_that_cannot_happen_leave_what_was_there(tmp_path):
    index, _ = built(n=20, dim=4)
    with pytest.raises(RuntimeError, match="Cannot open file for saving: "):
        index.save(tmp_path / "no" / "such" / "dir.qlx")
    with pytest.raises(RuntimeError, match="Cannot open file for saving: "):
        index.save(tmp_path)
    target = tmp_path / "kept.qlx"
    target.write_bytes(b"previous")
    target.chmod(0o444)
    if os.access(target, os.W_OK):
        pytest.skip("running with permission to write a read-only file")
    with pytest.raises(RuntimeError, match="Cannot open file for saving: "):
        index.save(target)
    assert target.read_bytes() == b"previous"


@pytest.mark.parametrize("room", [0, 100, 8192, -2])
def test_a_save_that_fails_midway_leaves_the_previous_file(tmp_path, room):
    target = tmp_path / "kept.qlx"
    probe = tmp_path / "probe.qlx"
    run = run_child("save_under_size_limit.py", probe, 1 << 30, "quellix", timeout=120)
    size = probe.stat().st_size
    probe.unlink()
    target.write_bytes(b"previous")
    # A file-size limit fails the writes as a full disk does: at the start, in the records, at the checksum.
    run = run_child("save_under_size_limit.py", target, room % size, "quellix", timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("RuntimeError:Failed to write index file: ") and str(target) in run.stdout
    assert target.read_bytes() == b"previous"
    assert os.listdir(tmp_path) == ["kept.qlx"]


def test_a_device_is_written_in_place():
    index, _ = built(n=20, dim=4)
    index.save("/dev/null")
    with pytest.raises(RuntimeError, match="Failed to write index file: /dev/full"):
        index.save("/dev/full")


def test_a_save_through_a_link_replaces_the_file_it_points_to(tmp_path):
    index, _ = built(n=20, dim=4)
    real = tmp_path / "real.qlx"
    real.write_bytes(b"old")
    link = tmp_path / "link.qlx"
    link.symlink_to(real)
    index.save(link)
    assert link.is_symlink() and real.read_bytes() == index.to_bytes()
