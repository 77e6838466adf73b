"""The quellix index file, bytes and pickles: round trips, reproducible builds, and refusal of every
damaged or foreign file with a clear error."""

from __future__ import annotations

import copy
import os
import pickle
import struct
import zlib
from pathlib import Path

import numpy as np
import pytest

import quellix
import vek_core
from conftest import run_child
import quellix_layout as layout
from quellix_data import METRICS, built, points

CODES = {"poincare": 0, "euclidean": 1, "cosine": 2}
CORPUS = Path(__file__).resolve().parent.parent / "fuzz" / "quellix_corpus"


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
    index, data_rows = built(n=40, dim=7, metric="cosine", M=5, ef_construction=21, masks=np.arange(40) % 3)
    data = index.to_bytes()
    fields, sections = layout.parse(data)  # every section where its length says, and the CRC-32 at the end
    assert {k: fields[k] for k in ("magic", "version", "code", "dim", "M", "ef", "storage", "count", "next_id")} == \
        dict(magic=b"QUELLIX\0", version=6, code=CODES["cosine"], dim=7, M=5, ef=21, storage=0, count=40, next_id=40)
    # Each array as the engine holds it: the rows, their squared norms, the masks, the layer-0 slots.
    np.testing.assert_array_equal(np.frombuffer(sections["vectors"], "<f4").reshape(40, 7), data_rows)
    assert np.frombuffer(sections["masks"], "<u8").tolist() == (np.arange(40) % 3).tolist()
    slots = np.frombuffer(sections["slots"], "<i4").reshape(40, 1 + fields["room"])
    assert slots[:, 0].max() == fields["room"] <= 10 and slots[:, 0].mean() > 2  # as wide as the longest list
    upper = layout.upper_lists(sections["upper"])
    levels = np.zeros(40, int)
    levels[list(upper)] = [len(v) for v in upper.values()]
    assert index.stats()["nodes_per_level"] == np.bincount(levels).tolist()
    assert fields["ep_layer"] == levels.max() == levels[fields["ep_id"]]
    assert not sections["terms"] + sections["remainders"] + sections["ids"] + sections["ranges"]


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
    for pos in list(range(0, layout.HEADER_BYTES)) + rng.integers(layout.HEADER_BYTES, len(good), 60).tolist():
        bad = bytearray(good)
        bad[pos] ^= 0x10
        with pytest.raises(RuntimeError, match="Invalid index file: <bytes>"):
            quellix.Index.from_bytes(bytes(bad))
    for length in (0, 7, layout.HEADER_BYTES, layout.HEADER_BYTES + 30, len(good) - 1):
        with pytest.raises(RuntimeError, match="Invalid index file"):
            quellix.Index.from_bytes(good[:length])
    with pytest.raises(RuntimeError, match="Invalid index file"):
        quellix.Index.from_bytes(good + b"\0")


def _with_header(data: bytes, **changes) -> bytes:
    fields, sections = layout.parse(data)
    raw = bytearray(layout.build(fields | changes, sections))
    if "magic" in changes:
        raw[:8] = changes["magic"]
    return _reseal(bytes(raw))


@pytest.mark.parametrize("fields, message", [
    (dict(version=7), "format version 7"),
    (dict(code=9), "metric code 9"),
    (dict(dim=0), "out of range"),
    (dict(M=1), "out of range"),
    (dict(dim=5), "bytes of vectors"),
    (dict(count=31), "bytes of vectors"),
    (dict(storage=4), "unknown storage code 4"),
    (dict(ep_id=29, ep_layer=9), "invalid entry point"),
    (dict(magic=b"QUELLIY\0"), "not a quellix index file"),
    (dict(code=0), "boundary factors"),  # a euclidean file relabelled poincare carries no factors
])
def test_sealed_but_inconsistent_headers(fields, message):
    index, _ = built(n=30, dim=4, metric="euclidean")
    with pytest.raises(RuntimeError, match=message):
        quellix.Index.from_bytes(_with_header(index.to_bytes(), **fields))


@pytest.mark.parametrize("name", ["version-1", "version-2", "v3-euclidean-linked", "v3-poincare-remainders",
                                  "v5-float16", "v5-bfloat16"])
def test_older_files_load_as_they_did(name):
    # Files of versions 1 to 5, kept as written: they load, answer as their copies in the newest version
    # do, and save as version 6.
    data = (CORPUS / f"{name}.qlx").read_bytes()
    assert struct.unpack_from("<I", data, 8)[0] < 6
    old = quellix.Index.from_bytes(data)
    new = quellix.Index.from_bytes(old.to_bytes())
    assert layout.parse(old.to_bytes())[0]["version"] == 6
    _same(old, new, old.get_vectors(old.ids[:5]))
    assert new.to_bytes() == old.to_bytes()


def test_remainders_travel_with_the_file_and_damaged_ones_are_refused():
    rng = np.random.default_rng(8)
    x = rng.normal(size=(80, 3))
    x *= (rng.uniform(0.3, 0.999, 80) / np.linalg.norm(x, axis=1))[:, None]
    # Points whose float32 copies round onto the sphere: the file's own factors hold them.
    x[:10] *= (np.sqrt(1.0 - 1e-12) / np.linalg.norm(x[:10], axis=1))[:, None]
    index = quellix.Index(3, "poincare", M=6, seed=1)
    index.add(x, num_threads=1)
    data = index.to_bytes()
    fields, sections = layout.parse(data)
    assert len(sections["remainders"]) == 4 * 80 * 3
    other = quellix.Index.from_bytes(data)
    for a, b in zip(index.exact_search(x[:20], 5), other.exact_search(x[:20], 5)):
        np.testing.assert_array_equal(a, b)
    bad = sections | {"remainders": struct.pack("<f", np.inf) + sections["remainders"][4:]}
    with pytest.raises(RuntimeError, match="remainder is not finite"):
        quellix.Index.from_bytes(layout.build(fields, bad))
    plain, _ = built(n=30, dim=4, metric="euclidean")  # only poincare vectors carry remainders
    fields, sections = layout.parse(plain.to_bytes())
    with pytest.raises(RuntimeError, match="bytes of remainders for 30 nodes"):
        quellix.Index.from_bytes(layout.build(fields, sections | {"remainders": bytes(4 * 30 * 4)}))


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
    fields, sections = layout.parse(index.to_bytes())
    assert (np.frombuffer(sections["ids"], "<i8").tolist(), fields["next_id"]) == ([5, 9, 7], 10)
    raw = b"" if ids is None else np.asarray(ids, "<i8").tobytes()
    damaged = layout.build(fields | {"next_id": next_id}, sections | {"ids": raw})
    with pytest.raises(RuntimeError, match=f"Invalid index file: <bytes>: .*{message}"):
        quellix.Index.from_bytes(damaged)


def _slot_of(node):
    def damage(fields, sections):
        slots = np.frombuffer(sections["slots"], "<i4").reshape(fields["count"], -1).copy()
        slots[node, 1] = 999
        return sections | {"slots": slots.tobytes()}
    return damage


def _value(section, at, value, dtype="<f4"):
    def damage(fields, sections):
        arr = np.frombuffer(sections[section], dtype).copy()
        arr[at] = value if not callable(value) else value(arr[at])
        return sections | {section: arr.tobytes()}
    return damage


@pytest.mark.parametrize("metric, damage, message", [
    ("euclidean", _slot_of(3), "missing node"),
    ("euclidean", _value("norms", 2, lambda v: v * 2), "stored norm"),
    ("poincare", _value("vectors", 2 * 4, 1.5), "outside the unit ball"),
    ("cosine", _value("vectors", 1 * 4, np.nan), "not finite"),
    ("euclidean", _value("slots", 0, 200, "<i4"), "layer-0 list of 200 ids"),
    ("euclidean", _value("upper", 1, 99, "<i4"), "damaged upper lists|has level 99"),
])
def test_sealed_but_unsound_records(metric, damage, message):
    index, _ = built(n=30, dim=4, metric=metric)
    fields, sections = layout.parse(index.to_bytes())
    with pytest.raises(RuntimeError, match=message):
        quellix.Index.from_bytes(layout.build(fields, damage(fields, sections)))


@pytest.mark.parametrize("term, message", [(0.5, "invalid boundary factor"), (np.inf, "invalid boundary factor"),
                                           (np.nan, "invalid boundary factor")])
def test_sealed_but_unsound_boundary_factors(term, message):
    index, _ = built(n=30, dim=4, metric="poincare")
    fields, sections = layout.parse(index.to_bytes())
    with pytest.raises(RuntimeError, match=message):
        quellix.Index.from_bytes(layout.build(fields, _value("terms", 2, term)(fields, sections)))


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
