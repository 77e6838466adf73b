"""Reads and writes index files independently of the module, to inspect graphs and craft files."""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

import numpy as np

HEADER = struct.Struct("<ifiiiQ")


@dataclass
class IndexFile:
    dimension: int
    curvature: float = 1.0
    max_m: int = 16
    ep_id: int = -1
    ep_layer: int = -1
    vectors: np.ndarray = None  # (n, dimension) float32
    norms: np.ndarray = None  # (n,) float32, stored as given
    masks: np.ndarray = None  # (n,) uint64
    levels: list[int] = field(default_factory=list)
    links: list[list[list[int]]] = field(default_factory=list)  # node -> layer -> ids

    @property
    def n(self) -> int:
        return len(self.levels)

    def to_bytes(self) -> bytes:
        n = self.n
        vectors = np.asarray(self.vectors, dtype=np.float32).reshape(n, self.dimension)
        norms = np.asarray(self.norms, dtype=np.float32).reshape(n)
        masks = np.asarray(self.masks if self.masks is not None else np.zeros(n), dtype=np.uint64)
        out = [HEADER.pack(self.dimension, self.curvature, self.max_m, self.ep_id, self.ep_layer, n)]
        for i in range(n):
            out.append(vectors[i].tobytes() + norms[i].tobytes())
        out.append(masks.tobytes())
        for level, layers in zip(self.levels, self.links):
            out.append(struct.pack("<i", level))
            for ids in layers:
                out.append(struct.pack("<Q", len(ids)) + np.asarray(ids, dtype="<i4").tobytes())
        return b"".join(out)

    def write(self, path) -> None:
        with open(path, "wb") as f:
            f.write(self.to_bytes())

    @classmethod
    def from_bytes(cls, data: bytes) -> "IndexFile":
        dimension, curvature, max_m, ep_id, ep_layer, n = HEADER.unpack_from(data, 0)
        pos = HEADER.size
        rec = np.frombuffer(data, dtype="<f4", count=n * (dimension + 1), offset=pos).reshape(n, dimension + 1)
        pos += rec.nbytes
        masks = np.frombuffer(data, dtype="<u8", count=n, offset=pos)
        pos += masks.nbytes
        levels, links = [], []
        for _ in range(n):
            (level,) = struct.unpack_from("<i", data, pos)
            pos += 4
            layers = []
            for _ in range(level + 1):
                (count,) = struct.unpack_from("<Q", data, pos)
                pos += 8
                layers.append(np.frombuffer(data, dtype="<i4", count=count, offset=pos).tolist())
                pos += 4 * count
            levels.append(level)
            links.append(layers)
        if pos != len(data):
            raise ValueError(f"{len(data) - pos} trailing bytes")
        return cls(dimension, curvature, max_m, ep_id, ep_layer, rec[:, :dimension].copy(), rec[:, dimension].copy(),
                   masks.copy(), levels, links)

    @classmethod
    def read(cls, path) -> "IndexFile":
        with open(path, "rb") as f:
            return cls.from_bytes(f.read())
