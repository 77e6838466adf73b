"""The files of a saved sharded index: one quellix index file per shard and a manifest naming them.

A save writes every shard file under a name that no earlier save used, then the manifest, then
removes the files the new manifest no longer names. A reader therefore sees either the old manifest
with its files or the new one with its files, whatever step a crash interrupts.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import secrets
from pathlib import Path
from typing import Any

import numpy as np

MANIFEST = "manifest.json"
FORMAT = "quellix-sharded-index"
VERSION = 2
_SHARD_FILE = re.compile(r"^shard-(\d{5})-([0-9a-f]{8})\.quellix$")


class ManifestError(RuntimeError):
    """A saved sharded index that cannot be loaded: its manifest is damaged or its shards disagree with it."""


def new_generation() -> str:
    return secrets.token_hex(4)


def shard_file_name(shard: int, generation: str) -> str:
    return f"shard-{shard:05d}-{generation}.quellix"


def local_count(shard: int, n_shards: int, total: int) -> int:
    """How many of the global ids 0 .. total-1 lived on `shard` in the first layout (id g on shard
    g % n_shards)."""
    return max(0, (total - shard + n_shards - 1) // n_shards)


def owners(ids: np.ndarray, n_shards: int, legacy: int) -> np.ndarray:
    """The shard of each id: ids below `legacy` were placed by an earlier release (id % n_shards) and
    stay there; every other id by a 64-bit mix of its bits (splitmix64's finaliser), so that sequential
    and strided ids spread evenly."""
    ids = np.asarray(ids, dtype=np.int64)
    z = ids.astype(np.uint64) + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    z ^= z >> np.uint64(31)
    mixed = (z % np.uint64(n_shards)).astype(np.int64)
    return np.where(ids < legacy, ids % n_shards, mixed)


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def write_atomically(path: str | os.PathLike, data: bytes) -> None:
    """Writes `data` to a temporary file beside `path`, flushes it to disk, renames it over `path` and
    flushes the directory, so that `path` holds either its old contents or all of `data`."""
    path = Path(path)
    tmp = path.with_name(f".{path.name}.tmp-{os.getpid()}-{secrets.token_hex(4)}")
    try:
        with open(tmp, "xb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            tmp.unlink()
        except OSError:
            pass
        raise
    fsync_directory(path.parent)


def fsync_directory(directory: Path) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:  # a file system without directory handles: the rename is as durable as it gets
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def manifest_bytes(*, count: int, dim: int, metric: str, M: int, ef_construction: int, next_id: int, legacy: int,
                   shards: list[dict[str, Any]]) -> bytes:
    doc = {"format": FORMAT, "version": VERSION, "count": count, "dim": dim, "metric": metric, "M": M,
           "ef_construction": ef_construction, "next_id": next_id, "legacy": legacy, "n_shards": len(shards),
           "shards": shards}
    return (json.dumps(doc, indent=1) + "\n").encode()


def _field(doc: dict, name: str, kind: type, where: str, fail) -> Any:
    if name not in doc:
        raise fail(f"{where}has no {name!r}")
    value = doc[name]
    if kind is int and (isinstance(value, bool) or not isinstance(value, int)):
        raise fail(f"{where}{name!r} is not an integer")
    if kind is str and not isinstance(value, str):
        raise fail(f"{where}{name!r} is not a string")
    return value


def read_manifest(directory: str | os.PathLike) -> dict[str, Any]:
    """The manifest in `directory`, checked for everything it can say about itself: its format, its
    fields, one entry per shard with plain file names in the directory, and shard counts that add up
    to the count under the id layout. The shard files are checked by whoever loads them."""
    directory = Path(directory)
    path = directory / MANIFEST

    def fail(why: str) -> ManifestError:
        return ManifestError(f"Invalid sharded index: {path}: {why}")

    try:
        raw = path.read_bytes()
    except OSError as exc:
        raise ManifestError(f"Cannot read sharded index manifest: {path} ({exc.strerror or exc})") from None
    try:
        doc = json.loads(raw)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise fail(f"not JSON ({exc})") from None
    if not isinstance(doc, dict) or doc.get("format") != FORMAT:
        raise fail("not a quellix sharded index manifest")
    version = _field(doc, "version", int, "", fail)
    if version not in (1, VERSION):
        raise fail(f"format version {version} is not supported (this quellix reads 1 to {VERSION})")
    count = _field(doc, "count", int, "", fail)
    n_shards = _field(doc, "n_shards", int, "", fail)
    for name in ("dim", "M", "ef_construction"):
        _field(doc, name, int, "", fail)
    _field(doc, "metric", str, "", fail)
    if count < 0 or n_shards < 1:
        raise fail(f"count {count} and n_shards {n_shards} out of range")
    shards = doc.get("shards")
    if not isinstance(shards, list) or len(shards) != n_shards:
        raise fail(f"n_shards is {n_shards} but {len(shards) if isinstance(shards, list) else 'no'} shards are listed")
    seen = set()
    for s, entry in enumerate(shards):
        where = f"shard {s}: "
        if not isinstance(entry, dict):
            raise fail(f"{where}not an object")
        if _field(entry, "shard", int, where, fail) != s:
            raise fail(f"{where}listed as shard {entry['shard']}")
        name = _field(entry, "file", str, where, fail)
        if not _SHARD_FILE.match(name) or name in seen:
            raise fail(f"{where}file name {name!r} is not a shard file of this directory")
        seen.add(name)
        c = _field(entry, "count", int, where, fail)
        if version == 1 and c != local_count(s, n_shards, count):
            raise fail(f"{where}holds {c} vectors, but {local_count(s, n_shards, count)} of the {count} ids "
                       f"belong to it")
        if c < 0:
            raise fail(f"{where}holds {c} vectors")
        _field(entry, "bytes", int, where, fail)
        if not re.fullmatch(r"[0-9a-f]{64}", _field(entry, "sha256", str, where, fail)):
            raise fail(f"{where}sha256 is not a SHA-256 digest")
    if version == 1:
        # The first layout: ids 0..count-1, id g on shard g % n_shards as its local id g // n_shards.
        doc.update(next_id=count, legacy=count, local_ids=True)
    else:
        for name in ("next_id", "legacy"):
            if _field(doc, name, int, "", fail) < 0:
                raise fail(f"{name} {doc[name]} out of range")
        if sum(entry["count"] for entry in shards) != count:
            raise fail(f"the shards hold {sum(entry['count'] for entry in shards)} vectors, not {count}")
        doc["local_ids"] = False
    doc["directory"] = str(directory.resolve())
    return doc


def remove_unreferenced(directory: Path, keep: set[str]) -> None:
    """Removes the shard files (and leftover temporary files) of earlier saves in `directory`."""
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        stale_tmp = name.startswith(".shard-") and ".tmp-" in name
        if (stale_tmp or _SHARD_FILE.match(name)) and name not in keep:
            try:
                os.unlink(directory / name)
            except OSError:
                pass
