"""The float64 Poincaré formulas that decide every keyed answer."""

from __future__ import annotations

import numpy as np


def _poincare64(u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """arcosh(1 + 2|u-v|^2 / ((1-|u|^2)(1-|v|^2))) in float64, row by row (broadcasting u against v)."""
    diff = u - v
    sq_diff = np.einsum("...i,...i->...", diff, diff)
    den = (1.0 - np.einsum("...i,...i->...", u, u)) * (1.0 - np.einsum("...i,...i->...", v, v))
    return np.arccosh(1.0 + 2.0 * sq_diff / den)


def _rounding(vectors: np.ndarray) -> np.ndarray:
    """How far each row moves when rounded to float32, in float64."""
    if not len(vectors):
        return np.zeros(0)
    return np.linalg.norm(vectors - vectors.astype(np.float32).astype(np.float64), axis=1)

