"""Readers of what a keyed index is built from: gensim's saved files, word2vec text and relation files."""

from __future__ import annotations

import bz2
import csv
import gzip
import io
import os
from itertools import repeat
from operator import contains
from typing import Any, Union

import numpy as np

PathLike = Union[str, "os.PathLike[str]"]

GENSIM_HINT = "pip install 'quellix[gensim]'"


def _load_gensim(path: PathLike) -> Any:
    try:
        from gensim.utils import SaveLoad
    except ImportError:
        raise ImportError(f"reading a gensim file needs gensim ({GENSIM_HINT})") from None
    name = os.fspath(path)
    if not os.path.isfile(name):
        raise FileNotFoundError(f"no such file: {name}")
    try:
        return SaveLoad.load(name)
    except Exception as exc:  # gensim's unpickling raises whatever the bytes lead to
        raise ValueError(f"{name} is not a file saved by gensim ({type(exc).__name__}: {exc}); for word2vec "
                         "text use KeyedIndex.from_word2vec_text") from None


def _open_text(path: PathLike, encoding: str) -> io.TextIOBase:
    name = os.fspath(path)
    with open(name, "rb") as f:
        magic = f.read(3)
    if magic[:2] == b"\x1f\x8b":
        raw = gzip.open(name, "rb")
    elif magic == b"BZh":
        raw = bz2.open(name, "rb")
    else:
        raw = open(name, "rb")
    return io.TextIOWrapper(raw, encoding=encoding, newline=None)


def _read_word2vec_text(path: PathLike, encoding: str) -> tuple[list[str], np.ndarray]:
    name = os.fspath(path)
    keys: list[str] = []
    rows: list[list[float]] = []
    count = dim = None
    try:
        with _open_text(path, encoding) as f:
            for number, line in enumerate(f, start=1):
                line = line.rstrip("\r\n")
                if not line.strip():
                    continue
                if dim is None:
                    head = line.split()
                    if len(head) == 2 and all(t.isdigit() for t in head):
                        count, dim = int(head[0]), int(head[1])
                        if dim < 1:
                            raise ValueError(f"{name} line {number}: dimension {dim}")
                        continue
                    # Without a header the first line's trailing numbers say the dimension.
                    first = len(head)
                    while first > 1 and _is_number(head[first - 1]):
                        first -= 1
                    dim = len(head) - first
                    if dim < 1:
                        raise ValueError(f"{name} line {number}: a key without values")
                parts = line.rsplit(None, dim)
                if len(parts) != dim + 1 or not parts[0].strip():
                    raise ValueError(f"{name} line {number}: expected a key and {dim} values, got {len(parts) - 1} "
                                     "values")
                try:
                    rows.append([float(t) for t in parts[1:]])
                except ValueError:
                    raise ValueError(f"{name} line {number}: {line[:60]!r} does not end with {dim} numbers") from None
                keys.append(parts[0].strip())
    except UnicodeDecodeError as exc:
        raise ValueError(f"{name} is not {encoding} text (a binary word2vec file?): {exc}") from None
    if dim is None:
        raise ValueError(f"{name} holds no vectors")
    if count is not None and count != len(keys):
        raise ValueError(f"{name}: the header announces {count} vectors, the file holds {len(keys)}")
    if len(set(keys)) != len(keys):
        seen: dict[str, int] = {}
        for i, key in enumerate(keys):
            if key in seen:
                raise ValueError(f"{name}: key {key!r} appears twice (vectors {seen[key] + 1} and {i + 1})")
            seen[key] = i
    return keys, np.array(rows, dtype=np.float64).reshape(len(keys), dim)


def _is_number(token: str) -> bool:
    try:
        float(token)
    except ValueError:
        return False
    return True


def _read_relations(path: PathLike) -> tuple[list[str], list[str]]:
    """The two fields of every row of a tab-separated relations file as csv reads it, empty lines left
    out: the children, then the parents."""
    name = os.fspath(path)
    with _open_text(path, "utf-8") as f:
        text = f.read()
    # Without a quote csv's rows are the lines cut at the tabs. When every line holds a tab and there are
    # as many tabs as lines, each line holds one: two fields, all of them from one join and split.
    if '"' not in text:
        lines = list(filter(None, text.split("\n")))
        if text.count("\t") == len(lines) and all(map(contains, lines, repeat("\t"))):
            fields = "\t".join(lines).split("\t")
            return fields[0::2], fields[1::2]
    rows = []
    for number, row in enumerate(csv.reader(io.StringIO(text, newline=""), delimiter="\t"), start=1):
        if row and len(row) != 2:
            raise ValueError(f"{name} line {number}: a relation has two tab-separated fields, got {len(row)}")
        if row:
            rows.append(row)
    return [row[0] for row in rows], [row[1] for row in rows]
