"""Pure NumPy float32 model of the index's distance arithmetic, written independently of the C++ kernels.

Every value here is rounded to float32 exactly where the native kernels round, so results are meant to be
compared bit for bit (``x.view(np.uint32)``), never approximately.

Public API::

    fma32(a, b, c)                      correctly rounded float32 a*b + c (scalars or arrays)
    dot(a, b)                           kernel-order dot product over the last axis
    l2sq(a, b)                          kernel-order sum of (a_i - b_i)^2
    sqnorm(a)                           kernel-order sum of a_i^2 (the stored / query norm)
    logf(x)                             the platform's single-precision logarithm
    metric_kind(name)                   constructor name -> "poincare" | "euclidean" | "cosine"
    distance(metric, q, v, q_norm=None, v_norm=None)
                                        query-to-node distance; v may be (n, d) for n nodes
    distances(metric, query, vectors, norms=None)
                                        float32 array of the distances from one query to every row
    brute_force_order(metric, query, vectors, norms=None)
                                        node ids sorted by distance (stable: ties keep id order)

The summation order (shared by dot, l2sq and sqnorm): eight float32 lanes, each updated with one fused
multiply-add per block of eight components; lanes reduced as s_j = lane_j + lane_{j+4}, then
(s_0 + s_1) + (s_2 + s_3); then, if four or more components remain, four individually rounded products are
added one at a time; each of the last 0..3 components is folded in with a fused multiply-add.
"""

from __future__ import annotations

import ctypes
import ctypes.util

import numpy as np

F32 = np.float32

# Constants of the metrics, as the float32 values the kernels use.
ONE = F32(1.0)
COSINE_DEN_FLOOR = F32(1e-8)  # 9.99999993922529e-09
POINCARE_NORM_CAP = F32(0.999999)  # 0.9999989867210388
POINCARE_DEN_FLOOR = F32(1e-6)  # 9.999999974752427e-07
POINCARE_T_FLOOR = F32(1.000001)  # 1.0000009536743164
# arcosh(1.000001) in float32: the smallest Poincaré distance, also every vector's distance to itself.
POINCARE_MIN = F32(0.0013810392701998353)

_INF = np.float64(np.inf)


def _as_f32(x) -> np.ndarray:
    return np.asarray(x, dtype=np.float32)


def _unwrap(x):
    """0-d arrays become NumPy scalars so scalar callers get np.float32 back."""
    return x[()] if isinstance(x, np.ndarray) and x.ndim == 0 else x


# --------------------------------------------------------------------------------------------------------------
# Fused multiply-add


def fma32(a, b, c):
    """float32 fma: a*b + c with a single rounding to nearest-even.

    The product of two float32 values is exact in double (48 significant bits, exponent far inside double's
    range).  p + c is split exactly into s + err by Knuth's two-sum.  s rounded to float32 would be wrong only
    when err != 0 and s sits exactly on a float32 rounding midpoint; rounding s to odd in double first
    (step one double ulp towards err when s's last bit is even) removes every such double-rounding case,
    because double carries more than float32's 24 bits + 2.
    """
    a64 = _as_f32(a).astype(np.float64)
    b64 = _as_f32(b).astype(np.float64)
    c64 = _as_f32(c).astype(np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        p = a64 * b64
        s = p + c64
        bv = s - p
        err = (p - (s - bv)) + (c64 - bv)
        err = np.where(np.isfinite(s), err, 0.0)
        s = np.asarray(s)
        even = (s.view(np.int64) & 1) == 0
        nudge = (err != 0.0) & even
        if np.any(nudge):
            s = np.where(nudge, np.nextafter(s, np.copysign(_INF, err)), s)
        out = np.asarray(s).astype(np.float32)
    return _unwrap(out)


# --------------------------------------------------------------------------------------------------------------
# Kernel-order sums


def _ordered_sum(u: np.ndarray, w: np.ndarray):
    """Σ u_i·w_i over the last axis in the kernels' order; u, w float32 of equal shape (..., n)."""
    n = u.shape[-1]
    batch = u.shape[:-1]
    with np.errstate(over="ignore", invalid="ignore"):
        lanes = np.zeros(batch + (8,), dtype=np.float32)
        i = 0
        while n - i >= 8:
            lanes = np.asarray(fma32(u[..., i:i + 8], w[..., i:i + 8], lanes))
            i += 8
        s = lanes[..., 0:4] + lanes[..., 4:8]
        r = (s[..., 0] + s[..., 1]) + (s[..., 2] + s[..., 3])
        if n - i >= 4:
            p = u[..., i:i + 4] * w[..., i:i + 4]
            for k in range(4):
                r = r + p[..., k]
            i += 4
        while i < n:
            r = np.asarray(fma32(u[..., i], w[..., i], r))
            i += 1
    return _unwrap(np.asarray(r, dtype=np.float32))


def dot(a, b):
    a, b = np.broadcast_arrays(_as_f32(a), _as_f32(b))
    return _ordered_sum(a, b)


def sqnorm(a):
    a = _as_f32(a)
    return _ordered_sum(a, a)


def l2sq(a, b):
    """Σ (a_i − b_i)², each difference rounded to float32 before it is squared inside the fma / product."""
    a, b = np.broadcast_arrays(_as_f32(a), _as_f32(b))
    with np.errstate(over="ignore", invalid="ignore"):
        d = a - b
    return _ordered_sum(d, d)


# --------------------------------------------------------------------------------------------------------------
# Single-precision logarithm
#
# The kernels call the C library's logf.  glibc's logf is accurate to about 0.82 ulp but is NOT correctly
# rounded: over all float32 inputs >= 1 it differs from the correctly rounded logarithm for roughly 2e5
# values, about 1.2 % of the inputs in [1, 2) -- exactly the range of arcosh arguments of close Poincaré
# neighbours.  A float64 log rounded to float32 would therefore not reproduce the native distances bit for
# bit, so the reference calls the platform's logf itself.  `logf_correctly_rounded` keeps the float64 route
# for the tests that check logf stays within one ulp of it.

_libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
_c_logf = _libm.logf
_c_logf.restype = ctypes.c_float
_c_logf.argtypes = [ctypes.c_float]


def logf(x):
    x = _as_f32(x)
    flat = x.reshape(-1)
    out = np.fromiter((_c_logf(float(v)) for v in flat), dtype=np.float32, count=flat.size).reshape(x.shape)
    return _unwrap(out)


def logf_correctly_rounded(x):
    """log in float64 rounded once to float32 (the double-rounding cases are negligible for these inputs)."""
    x = _as_f32(x)
    with np.errstate(divide="ignore", invalid="ignore"):
        return _unwrap(np.log(x.astype(np.float64)).astype(np.float32))


def sqrtf(x):
    # IEEE sqrt is correctly rounded, and NumPy's float32 sqrt is the hardware instruction.
    with np.errstate(invalid="ignore"):
        return _unwrap(np.sqrt(_as_f32(x)))


# --------------------------------------------------------------------------------------------------------------
# Metrics


def metric_kind(name) -> str:
    """The metric selected by a constructor name: exact, case-sensitive match; anything else is Poincaré."""
    if isinstance(name, bytes):
        name = name.decode("utf-8", "surrogateescape")
    if name in ("euclidean", "l2"):
        return "euclidean"
    if name == "cosine":
        return "cosine"
    return "poincare"


def _node_norm(v: np.ndarray, v_norm):
    """The node's cached squared norm; a negative (missing) entry is recomputed for this call only."""
    if v_norm is None:
        return np.asarray(sqnorm(v), dtype=np.float32)
    g = np.asarray(_as_f32(v_norm))
    g = np.broadcast_to(g, v.shape[:-1]).astype(np.float32)
    missing = g < 0
    if np.any(missing):
        g = np.where(missing, np.asarray(sqnorm(v), dtype=np.float32), g)
    return g


def _arcosh_clamped(t: np.ndarray) -> np.ndarray:
    t = np.where(t < POINCARE_T_FLOOR, POINCARE_T_FLOOR, t).astype(np.float32)
    with np.errstate(over="ignore", invalid="ignore"):
        root = np.asarray(sqrtf(np.asarray(fma32(t, t, -ONE))))
        return np.asarray(logf(t + root), dtype=np.float32)


def distance(metric, q, v, q_norm=None, v_norm=None):
    """Distance from query q (first len-d values used, d = v.shape[-1]) to node vector(s) v.

    q_norm defaults to the query's kernel-order squared norm; v_norm to the node's (a negative v_norm is
    recomputed, as the kernels do for a missing cached norm).  v of shape (n, d) gives n distances.
    """
    kind = metric_kind(metric)
    v = _as_f32(v)
    d = v.shape[-1]
    q = _as_f32(q).reshape(-1)[:d]
    if q.shape[0] != d:
        raise ValueError("query shorter than the node vectors")
    qb = np.broadcast_to(q, v.shape)

    if kind == "euclidean":
        return _unwrap(np.asarray(l2sq(qb, v), dtype=np.float32))

    x = F32(sqnorm(q)) if q_norm is None else F32(q_norm)
    g = _node_norm(v, v_norm)

    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        if kind == "cosine":
            dp = np.asarray(dot(qb, v), dtype=np.float32)
            den = np.asarray(sqrtf(x), dtype=np.float32) * np.asarray(sqrtf(g), dtype=np.float32)
            out = np.where(den < COSINE_DEN_FLOOR, ONE, ONE - dp / den).astype(np.float32)
            return _unwrap(out)

        o = np.asarray(l2sq(qb, v), dtype=np.float32)
        xc = np.where(x > POINCARE_NORM_CAP, POINCARE_NORM_CAP, x).astype(np.float32)
        gc = np.where(g > POINCARE_NORM_CAP, POINCARE_NORM_CAP, g).astype(np.float32)
        den = ((ONE - xc) * (ONE - gc)).astype(np.float32)
        den = np.where(den < POINCARE_DEN_FLOOR, POINCARE_DEN_FLOOR, den).astype(np.float32)
        t = ((o + o) / den + ONE).astype(np.float32)
        return _unwrap(_arcosh_clamped(t))


def distances(metric, query, vectors, norms=None) -> np.ndarray:
    """float32 distances from one query to every row of vectors (norms: cached squared norms, may be None)."""
    vectors = _as_f32(vectors)
    if vectors.ndim == 1:
        vectors = vectors.reshape(1, -1)
    out = distance(metric, query, vectors, v_norm=norms)
    return np.atleast_1d(np.asarray(out, dtype=np.float32))


def brute_force_order(metric, query, vectors, norms=None) -> np.ndarray:
    """Node ids by ascending distance; equal distances keep increasing id order."""
    return np.argsort(distances(metric, query, vectors, norms), kind="stable")


def bits(x) -> np.ndarray:
    """uint32 bit patterns of float32 values, for exact comparisons that also tell -0.0 and NaNs apart."""
    return np.asarray(x, dtype=np.float32).view(np.uint32)


def ball_exact_keys(q64, x64):
    """The accurate Poincaré metric's keys and distances from float64 query and rows: each point held
    as float32 values plus float32 remainders, |u - v|^2 summed in float64 in coordinate order and
    rounded to float32, times the float32 product of the two terms 1 / (1 - |x|^2) (float64 factors);
    the distance arcosh(1 + 2 key) as log1p in float64, rounded to float32."""
    q64 = np.asarray(q64, dtype=np.float64)
    x64 = np.atleast_2d(np.asarray(x64, dtype=np.float64))

    def split(a):
        hi = a.astype(np.float32)
        return hi.astype(np.float64), (a - hi).astype(np.float32).astype(np.float64)

    (qh, ql), (xh, xl) = split(q64), split(x64)
    d = (qh - xh) + (ql - xl)
    sums = np.add.accumulate(d * d, axis=-1)[:, -1].astype(np.float32)  # in coordinate order
    term = lambda a: (1.0 / (1.0 - np.einsum("...i,...i->...", a, a))).astype(np.float32)  # noqa: E731
    keys = (sums * (term(q64) * term(x64)).astype(np.float32)).astype(np.float32)
    x = 2.0 * keys.astype(np.float64)
    return keys, np.log1p(x + np.sqrt(x * (x + 2.0))).astype(np.float32)
