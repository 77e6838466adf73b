"""Build-once storage for the corpora: one uncompressed .npz file per data set and parameter set.

A file's name carries a digest of the builder's name, its parameters, `VERSION` and a fingerprint of
the source files, so changing any of them builds a new file instead of reading a stale one. Files
are written beside their final name and renamed into place, so a build that is interrupted, or two
processes building at once, never leave a half-written file behind. Nothing is ever downloaded.
Strings are kept as one UTF-8 byte blob plus offsets, so loading never needs pickle.
"""

from __future__ import annotations

import hashlib
import json
import os
import tempfile
import zipfile
from pathlib import Path
from typing import Callable, Iterable, Mapping

import numpy as np

# Raise whenever a builder's output changes for the same parameters.
VERSION = "4"

DEFAULT_DIR = Path(__file__).resolve().parent / "cache"

Arrays = dict[str, np.ndarray]


def fingerprint(paths: Iterable[str | os.PathLike]) -> str:
    """Digest of the files' names and contents (WordNet's data files are small enough to hash)."""
    h = hashlib.sha256()
    for p in paths:
        p = Path(p)
        h.update(p.name.encode())
        h.update(p.read_bytes())
    return h.hexdigest()[:16]


def key(name: str, params: Mapping[str, object]) -> str:
    blob = json.dumps({"name": name, "version": VERSION, "params": dict(params)}, sort_keys=True)
    return f"{name}-{hashlib.sha256(blob.encode()).hexdigest()[:16]}"


def load_or_build(name: str, params: Mapping[str, object], build: Callable[[], Arrays],
                  cache_dir: str | os.PathLike | None = DEFAULT_DIR) -> Arrays:
    """The arrays stored for (name, params), built by `build` and stored on first use.

    `cache_dir` None builds every time and writes nothing; so does a directory that cannot be
    created or written.
    """
    if cache_dir is None:
        return build()
    path = Path(cache_dir) / (key(name, params) + ".npz")
    if path.exists():
        try:
            with open(path, "rb") as f, np.load(f, allow_pickle=False) as z:
                return {k: z[k] for k in z.files}
        except (OSError, ValueError, EOFError, zipfile.BadZipFile):
            pass  # unreadable: build again and replace it
    arrays = build()
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=path.stem + ".", suffix=".tmp")
    except OSError:
        return arrays  # a read-only checkout still gets its data, only not kept
    try:
        with os.fdopen(fd, "wb") as f:
            np.savez(f, **arrays)
        os.chmod(tmp, 0o644)  # mkstemp creates it private; the data is not
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if not isinstance(e, OSError):
            raise  # a full disk only costs the copy; anything else is a bug to see
    return arrays


def pack_strings(strings: Iterable[str]) -> tuple[np.ndarray, np.ndarray]:
    """(blob, ends): UTF-8 bytes of all strings back to back and each string's end offset."""
    encoded = [s.encode("utf-8") for s in strings]
    ends = np.cumsum([len(b) for b in encoded], dtype=np.int64)
    return np.frombuffer(b"".join(encoded), dtype=np.uint8).copy(), ends


def unpack_strings(blob: np.ndarray, ends: np.ndarray) -> list[str]:
    data = blob.tobytes()
    starts = np.concatenate(([0], ends[:-1])).tolist()
    return [data[s:e].decode("utf-8") for s, e in zip(starts, ends.tolist())]
