"""Data and builders shared by the quellix tests, and a float64 model of the Poincaré distance."""

from __future__ import annotations

import numpy as np

import quellix

METRICS = ("poincare", "euclidean", "cosine")


def points(n: int, dim: int, metric: str, seed: int = 0, dtype=np.float32) -> np.ndarray:
    """n clustered points; inside the unit ball (norms spread up to 0.999) for "poincare"."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(max(n // 50, 1), dim))
    x = centres[rng.integers(0, len(centres), n)] + 0.3 * rng.normal(size=(n, dim))
    if metric == "poincare":
        x = x / np.linalg.norm(x, axis=1, keepdims=True) * rng.uniform(0.0, 0.999, size=(n, 1))
    return x.astype(dtype)


def built(n: int = 600, dim: int = 12, metric: str = "euclidean", seed: int = 0, masks=None, **kw) -> tuple:
    data = points(n, dim, metric, seed)
    index = quellix.Index(dim, metric, seed=seed, **kw)
    index.add(data, masks)
    return index, data


def poincare64(q: np.ndarray, x: np.ndarray) -> np.ndarray:
    """arcosh(1 + 2|q-x|^2 / ((1-|q|^2)(1-|x|^2))) in float64 from the values given, rows of x."""
    q = np.asarray(q, dtype=np.float64)
    x = np.asarray(x, dtype=np.float64)
    diff = ((x - q) ** 2).sum(axis=-1)
    den = (1.0 - (q * q).sum()) * (1.0 - (x * x).sum(axis=-1))
    return np.arccosh(1.0 + 2.0 * diff / den)


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    hits = sum(len(set(f[f >= 0]) & set(t[t >= 0])) for f, t in zip(found, truth))
    return hits / max(1, int((truth >= 0).sum()))


def boundary_points(n: int, dim: int, seed: int = 0, smallest_factor: float = 1e-7) -> np.ndarray:
    """float64 points the way trained hyperbolic embeddings lie: clustered directions, 80 % with
    1 - |x|^2 between `smallest_factor` and 0.005, the rest further in."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(40, dim))
    x = centres[rng.integers(0, 40, n)] + 0.4 * rng.normal(size=(n, dim))
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    factor = 10 ** rng.uniform(np.log10(smallest_factor), np.log10(0.005), size=n)
    inner = rng.random(n) < 0.2
    factor[inner] = rng.uniform(0.005, 0.9, size=inner.sum())
    return x * np.sqrt(1.0 - factor)[:, None]
