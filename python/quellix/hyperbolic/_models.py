"""The Poincaré ball and the Lorentz model of one curvature: converters, and the checks of Lorentz points
that the converters and KeyedIndex share.

Curvature c > 0 means sectional curvature -c in both models: the ball of radius 1/sqrt(c) (geoopt's
``PoincareBall(c)``) and the upper sheet of the hyperboloid <x, x>_L = -1/c, <x, y>_L = -x0 y0 + xs . ys
(geoopt's ``Lorentz(k=1/c)``). The maps between them are isometries, so distances agree across models.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quellix._index import _as_array, _curvature

#: How far off the hyperboloid a Lorentz point may lie: |c (x0^2 - |xs|^2) - 1| at most this times
#: c (x0^2 + |xs|^2), the size of the terms that cancel. float32 points are off by about 1e-7 by this
#: measure; a point within it is read as (sqrt(1/c + |xs|^2), xs), as geoopt's projx projects.
HYPERBOLOID_TOLERANCE = 1e-5


def _points(x: Any, what: str, least: int) -> tuple[np.ndarray, bool]:
    """float64 rows (n, d) of real values, d >= ``least``, and whether one vector was given; NaN or
    infinity is refused naming its row."""
    arr = _as_array(x, what)
    if arr.dtype.kind not in "iuf":
        raise TypeError(f"{what} must hold real numbers, not {arr.dtype}")
    single = arr.ndim == 1
    rows = np.array(arr.reshape(1, -1) if single else arr, dtype=np.float64)
    if rows.ndim != 2 or rows.shape[1] < least:
        raise ValueError(f"{what} must be one vector of at least {least} values or an (n, d) array of them, "
                         f"got shape {arr.shape}")
    bad = np.flatnonzero(~np.isfinite(rows).all(axis=1))
    if bad.size:
        raise ValueError(f"{what} row {int(bad[0])} holds NaN or infinite values")
    return rows, single


def _ball_faults(p: np.ndarray, curvature: float) -> tuple[np.ndarray, str] | None:
    """The rows of ``p`` on or outside the sphere of radius 1/sqrt(c) and why, or None. The test is the
    one quellix.Index makes of the float64 values (|p|^2 < 1/c), so that every point passed is one the
    index takes."""
    sq = np.einsum("ij,ij->i", p, p)
    bad = np.flatnonzero(~(sq < 1.0 / curvature))
    if not bad.size:
        return None
    norm = float(np.sqrt(sq[bad[0]]))
    ball = "the unit ball" if curvature == 1.0 else f"the ball of radius {1.0 / np.sqrt(curvature):.17g}"
    return bad, f"norm {norm:.17g}: Poincaré points of curvature {curvature!r} must lie strictly inside {ball}"


def _lorentz_faults(x: np.ndarray, curvature: float) -> tuple[np.ndarray, str] | None:
    """The first failing check of Lorentz rows ``x`` (finite float64): the rows that fail it and why, or
    None. The checks: the upper sheet (x0 > 0), the hyperboloid within HYPERBOLOID_TOLERANCE, and an
    image strictly inside the ball in float64 (points up to about 38/sqrt(c) from the origin)."""
    x0, xs = x[:, 0], x[:, 1:]
    bad = np.flatnonzero(~(x0 > 0.0))
    if bad.size:
        return bad, f"x0 = {float(x0[bad[0]])!r}: Lorentz points lie on the upper sheet, x0 > 0"
    with np.errstate(over="ignore", invalid="ignore"):
        time, space = curvature * x0 * x0, curvature * np.einsum("ij,ij->i", xs, xs)
        off = np.abs(time - space - 1.0) / (time + space)
    bad = np.flatnonzero(~(off <= HYPERBOLOID_TOLERANCE))
    if bad.size:
        inner = float((space[bad[0]] - time[bad[0]]) / curvature)
        return bad, (f"<x, x>_L = {inner:.17g}, not -1/c = {-1.0 / curvature:.17g}: the point is off "
                     f"the hyperboloid of curvature {curvature!r} by {float(off[bad[0]]):.3g} relative "
                     f"(at most {HYPERBOLOID_TOLERANCE:g})")
    far = _ball_faults(_lorentz_to_ball(x, curvature), curvature)
    if far is not None:
        bad = far[0]
        distance = float(np.arccosh(np.sqrt(curvature) * x0[bad[0]]) / np.sqrt(curvature))
        return bad, (f"it lies {distance:.6g} from the origin, where the Poincaré ball has no float64 point "
                     "(its image rounds onto the sphere)")
    return None


def _lorentz_to_ball(x: np.ndarray, curvature: float) -> np.ndarray:
    """p = xs / (1 + sqrt(1 + c |xs|^2)): the image in the ball of radius 1/sqrt(c) of the point with
    spatial part xs, every step within a rounding of the exact value (no difference of large numbers)."""
    xs = x[:, 1:]
    return xs / (1.0 + np.sqrt(1.0 + curvature * np.einsum("ij,ij->i", xs, xs)))[:, None]


def _ball_to_lorentz(p: np.ndarray, curvature: float) -> np.ndarray:
    """(x0, xs) = ((2/f - 1)/sqrt(c), 2p/f), f = 1 - c |p|^2, for rows strictly inside the ball."""
    f = 1.0 - curvature * np.einsum("ij,ij->i", p, p)
    out = np.empty((p.shape[0], p.shape[1] + 1))
    out[:, 0] = (2.0 / f - 1.0) / np.sqrt(curvature)
    out[:, 1:] = 2.0 * p / f[:, None]
    return out


def _refuse(faults: tuple[np.ndarray, str] | None, what: str) -> None:
    if faults is not None:
        bad, why = faults
        raise ValueError(f"{what} row {int(bad[0])}: {why}")


def poincare_to_lorentz(x: Any, curvature: float = 1.0) -> np.ndarray:
    """Points of the Poincaré ball of radius 1/sqrt(c) as points of the hyperboloid <x, x>_L = -1/c.

    ``x`` is one vector (d,) or an (n, d) array (anything with ``__array__`` or DLPack); returns float64
    (d + 1,) or (n, d + 1), x0 first: ((1 + c|p|^2) / (sqrt(c) (1 - c|p|^2)), 2p / (1 - c|p|^2)).
    ``curvature`` is c > 0 (sectional curvature -c). A row with NaN or infinity, or on or outside the
    sphere, is a ValueError naming it. Exact to a few roundings of the result, given 1 - c|p|^2: that
    factor, computed from the float64 values, is what limits a point far out (see the README).
    """
    c = _curvature(curvature)
    p, single = _points(x, "x", 1)
    _refuse(_ball_faults(p, c), "x")
    out = _ball_to_lorentz(p, c)
    return out[0] if single else out


def lorentz_to_poincare(x: Any, curvature: float = 1.0) -> np.ndarray:
    """Points of the hyperboloid <x, x>_L = -1/c (x0 first) as points of the Poincaré ball of radius 1/sqrt(c).

    ``x`` is one vector (d + 1,) or an (n, d + 1) array (anything with ``__array__`` or DLPack); returns
    float64 (d,) or (n, d): p = xs / (1 + sqrt(1 + c|xs|^2)), which is xs / (1 + sqrt(c) x0) on the
    hyperboloid, each coordinate within a few roundings of the exact image. Refused with a ValueError
    naming the row: NaN or infinity, x0 <= 0 (the lower sheet), a point off the hyperboloid by more
    than HYPERBOLOID_TOLERANCE relative, and a point so far out (about 38/sqrt(c) from the origin) that
    its image rounds onto the sphere.
    """
    c = _curvature(curvature)
    rows, single = _points(x, "x", 2)
    _refuse(_lorentz_faults(rows, c), "x")
    out = _lorentz_to_ball(rows, c)
    return out[0] if single else out
