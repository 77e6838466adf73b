"""Bit-exact checks of the distance kernels, stored norms and the float32 reference they are measured against."""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np
import pytest

import reference as R
from conftest import METRICS, build_index, flat_file, float_bits, load_crafted, node_distances, stored_norms

DIMS = [1, 3, 4, 7, 8, 11, 13, 16, 17, 31, 100]
F32_MAX = float(np.finfo(np.float32).max)


# --------------------------------------------------------------------------------------------------------------
# Exact arithmetic helpers (independent of NumPy's rounding)


def round_fraction_to_f32(value: Fraction, negative_zero: bool = False) -> float:
    """Round an exact rational to the nearest float32, ties to even, with overflow to ±inf and subnormals."""
    if value == 0:
        return -0.0 if negative_zero else 0.0
    sign = -1 if value < 0 else 1
    mag = abs(value)
    e = mag.numerator.bit_length() - mag.denominator.bit_length()
    if Fraction(2) ** e > mag:
        e -= 1
    assert Fraction(2) ** e <= mag < Fraction(2) ** (e + 1)
    ulp = Fraction(2) ** (max(e, -126) - 23)
    m = round(mag / ulp)  # Fraction.__round__ rounds half to even
    result = m * ulp
    if result >= Fraction(2) ** 128:
        return sign * math.inf
    # The rounded value is a float32, hence exact in a double.
    return sign * float(result)


def exact_fma(a: float, b: float, c: float) -> float:
    """a*b + c rounded once to float32, from exact rational arithmetic. Inputs must be finite float32 values."""
    prod_negative = (math.copysign(1.0, a) * math.copysign(1.0, b)) < 0
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    if exact == 0:
        # IEEE: an exact zero sum is -0 only when both addends are zeros of negative sign.
        prod_is_zero = a == 0 or b == 0
        neg = prod_is_zero and c == 0 and prod_negative and math.copysign(1.0, c) < 0
        return -0.0 if neg else 0.0
    r = round_fraction_to_f32(exact)
    if r == 0:
        return math.copysign(0.0, float(exact.numerator))  # underflow keeps the sign of the exact value
    return r


def random_f32(rng, n, lo_exp=-30, hi_exp=30):
    mant = rng.uniform(1.0, 2.0, n)
    exps = rng.integers(lo_exp, hi_exp, n)
    signs = rng.choice([-1.0, 1.0], n)
    return (signs * np.ldexp(mant, exps)).astype(np.float32)


# --------------------------------------------------------------------------------------------------------------
# fma32 against exact rational arithmetic


def _check_fma_cases(a, b, c):
    got = np.asarray(R.fma32(a, b, c), dtype=np.float32)
    bad = []
    for ai, bi, ci, gi in zip(a.tolist(), b.tolist(), c.tolist(), got.tolist()):
        want = exact_fma(ai, bi, ci)
        if float_bits(want) != float_bits(gi):
            bad.append((ai, bi, ci, want, gi))
    assert not bad, bad[:5]


@pytest.mark.parametrize("lo_exp,hi_exp", [(-3, 3), (-30, 30), (-70, 60), (-126, 127)], ids=["near1", "mid", "wide", "full"])
def test_fma32_random_matches_exact(lo_exp, hi_exp):
    rng = np.random.default_rng(1000 + hi_exp)
    n = 3000
    a = random_f32(rng, n, lo_exp, hi_exp)
    b = random_f32(rng, n, lo_exp, hi_exp)
    # Addends of the product's own magnitude make cancellation and midpoint cases common.
    with np.errstate(over="ignore"):
        near = (-(a.astype(np.float64) * b) * rng.uniform(0.5, 2.0, n)).astype(np.float32)
    c = np.where(rng.random(n) < 0.5, random_f32(rng, n, lo_exp, hi_exp), near)
    c = np.where(np.isfinite(c), c, np.float32(1.0)).astype(np.float32)
    _check_fma_cases(a, b, c)


def _adversarial_midpoint_cases():
    """Triples whose exact result lies on, or a hair away from, a float32 rounding midpoint."""
    rng = np.random.default_rng(7)
    cases = []
    u = 2.0 ** -23
    for _ in range(400):
        e = int(rng.integers(-40, 40))
        cm = int(rng.integers(2 ** 23, 2 ** 24))
        c = math.ldexp(cm, e - 23)  # float32 with ulp 2^(e-23)
        half_ulp = math.ldexp(1.0, e - 24)
        sign = float(rng.choice([-1.0, 1.0]))
        # products equal to half an ulp times (1 + k1 u)(1 + k2 u): exact ties and off-by-2^-46 neighbours
        k1, k2 = (int(x) for x in rng.integers(-3, 4, 2))
        a = (1.0 + k1 * u) * sign
        b = half_ulp * (1.0 + k2 * u)
        cases.append((a, b, c))
        cases.append((a, b, -c))
        cases.append((-a, b, c))
    # hand-picked: below-midpoint by 2^-70 with an odd addend (naive double rounding lands on the tie)
    cases += [
        (1.0 + u, 2.0 ** -24 * (1.0 - u), 1.0 + u),
        (1.0 + u, 2.0 ** -24 * (1.0 - u), -(1.0 + u)),
        (1.0 - u / 2, 2.0 ** -24 * (1.0 + u), 1.0 + u),
        (1.0, 2.0 ** -24, 1.0),  # exact tie, even addend stays
        (1.0, 2.0 ** -24, 1.0 + u),  # exact tie, odd addend rounds up to even
        (1.0, -(2.0 ** -25), 1.0),  # exact tie below a power of two
    ]
    a, b, c = (np.array(col, dtype=np.float64) for col in zip(*cases))
    assert np.all(a.astype(np.float32) == a) and np.all(b.astype(np.float32) == b) and np.all(c.astype(np.float32) == c)
    return a.astype(np.float32), b.astype(np.float32), c.astype(np.float32)


def test_fma32_midpoints_match_exact_and_beat_double_rounding():
    a, b, c = _adversarial_midpoint_cases()
    _check_fma_cases(a, b, c)
    # The set must contain cases where a plain double computation rounded to float32 is wrong,
    # otherwise it would not exercise the midpoint correction at all.
    naive = (a.astype(np.float64) * b.astype(np.float64) + c.astype(np.float64)).astype(np.float32)
    exact = np.array([exact_fma(*t) for t in zip(a.tolist(), b.tolist(), c.tolist())], dtype=np.float32)
    assert np.count_nonzero(R.bits(naive) != R.bits(exact)) >= 3


TINY = 2.0 ** -149
EDGE_TRIPLES = [
    # signed zeros
    (0.0, 5.0, 0.0, 0.0),
    (-0.0, 5.0, 0.0, 0.0),
    (-0.0, 5.0, -0.0, -0.0),
    (-0.0, -5.0, -0.0, 0.0),
    (0.0, -5.0, -0.0, -0.0),
    (1.0, 1.0, -1.0, 0.0),
    (-1.0, 1.0, 1.0, 0.0),
    (3.0, 0.5, -1.5, 0.0),
    # subnormal region: half the smallest subnormal ties to zero (even), just above rounds up
    (2.0 ** -75, 2.0 ** -75, 0.0, 0.0),
    (-(2.0 ** -75), 2.0 ** -75, 0.0, -0.0),
    (2.0 ** -75 * (1 + 2.0 ** -23), 2.0 ** -75, 0.0, TINY),
    (2.0 ** -75, 2.0 ** -74 * 1.5, 0.0, 2 * TINY),  # 1.5 ulp -> tie -> even (2)
    (2.0 ** -100, 2.0 ** -60, TINY, TINY),
    (2.0 ** -70, 2.0 ** -70, -(2.0 ** -126), -(2.0 ** -126) + 2.0 ** -140),
    # huge: the fused product does not overflow before the addend cancels it
    (2.0 ** 64, 2.0 ** 64, -F32_MAX, 2.0 ** 104),
    (2.0 ** 100, 2.0 ** 100, -F32_MAX, math.inf),
    (F32_MAX, 1.0, 2.0 ** 103, math.inf),  # exactly the overflow midpoint: ties away to inf
    (F32_MAX, 1.0, 2.0 ** 102, F32_MAX),
    (F32_MAX, -1.0, -(2.0 ** 103), -math.inf),
    (F32_MAX, 2.0, -F32_MAX, F32_MAX),
    # non-finite inputs propagate
    (math.inf, 0.0, 1.0, math.nan),
    (math.inf, 1.0, -math.inf, math.nan),
    (math.inf, -1.0, 1.0, -math.inf),
    (1.0, 1.0, math.inf, math.inf),
    (math.nan, 1.0, 1.0, math.nan),
]


@pytest.mark.parametrize("a,b,c,want", EDGE_TRIPLES)
def test_fma32_edge_values(a, b, c, want):
    got = R.fma32(np.float32(a), np.float32(b), np.float32(c))
    assert isinstance(got, np.float32)
    if math.isnan(want):
        assert np.isnan(got)
    else:
        assert float_bits(float(got)) == float_bits(want), (got, want)
    if all(math.isfinite(v) for v in (a, b, c)):
        assert float_bits(exact_fma(a, b, c)) == float_bits(want)


def test_fma32_broadcasts_and_keeps_scalars():
    a = np.float32(3.0)
    out = R.fma32(a, np.arange(4, dtype=np.float32), np.float32(1.0))
    assert out.dtype == np.float32 and out.tolist() == [1.0, 4.0, 7.0, 10.0]
    assert isinstance(R.fma32(1.0, 2.0, 3.0), np.float32)


# --------------------------------------------------------------------------------------------------------------
# Test data


def make_vectors(rng, n, d, boundary=0):
    """Rows with component magnitudes spread over a few binades and squared norms from 1e-3 to 10.

    The last `boundary` rows have squared norms straddling the Poincaré cap 0.999999.
    """
    base = rng.standard_normal((n, d)) * np.exp(rng.normal(0.0, 1.2, (n, d)))
    base[np.all(base == 0, axis=1)] = 1.0
    target = 10.0 ** rng.uniform(-3, 1, n)
    if boundary:
        target[-boundary:] = rng.uniform(0.99999, 1.00001, boundary)
    rows = base / np.linalg.norm(base, axis=1, keepdims=True) * np.sqrt(target)[:, None]
    return rows.astype(np.float32)


@pytest.fixture(scope="module")
def dataset():
    """Per dimension: stored vectors and queries (some of them copies of stored vectors)."""
    out = {}
    for d in DIMS:
        rng = np.random.default_rng(500 + d)
        vecs = make_vectors(rng, 40, d, boundary=4)
        queries = np.concatenate([make_vectors(rng, 6, d, boundary=1), vecs[[0, 7, 38]]])
        out[d] = (vecs, queries)
    return out


# --------------------------------------------------------------------------------------------------------------
# Stored norms and distances, bit for bit


@pytest.mark.parametrize("d", DIMS)
@pytest.mark.parametrize("metric", METRICS)
def test_stored_norms_bit_exact(dataset, metric, d):
    vecs, _ = dataset[d]
    idx = build_index(vecs, metric, linked=False)
    got = stored_norms(idx, len(vecs))
    want = np.asarray(R.sqnorm(vecs), dtype=np.float32)
    np.testing.assert_array_equal(R.bits(got), R.bits(want))


@pytest.mark.parametrize("d", DIMS)
@pytest.mark.parametrize("metric", METRICS)
def test_compute_distance_bit_exact(dataset, metric, d):
    vecs, queries = dataset[d]
    idx = build_index(vecs, metric, linked=False)
    norms = stored_norms(idx, len(vecs))
    for qi, q in enumerate(queries):
        got = node_distances(idx, q, len(vecs))
        want = R.distances(metric, q, vecs, norms)
        mismatch = np.nonzero(R.bits(got) != R.bits(want))[0]
        assert mismatch.size == 0, [(qi, int(i), float(got[i]), float(want[i])) for i in mismatch[:5]]


@pytest.mark.parametrize("d", [3, 8, 13, 100])
@pytest.mark.parametrize("metric", METRICS)
def test_linked_insertion_stores_the_same_norms(dataset, metric, d):
    vecs, queries = dataset[d]
    idx = build_index(vecs[:20], metric)
    np.testing.assert_array_equal(R.bits(stored_norms(idx, 20)), R.bits(R.sqnorm(vecs[:20])))
    np.testing.assert_array_equal(R.bits(node_distances(idx, queries[0], 20)),
                                  R.bits(R.distances(metric, queries[0], vecs[:20])))


# --------------------------------------------------------------------------------------------------------------
# The data has teeth: each plausible deviation from the kernel order changes some results


def variant_sum(u, w, *, fused_blocks=True, reduction="pairwise", tail4="products", scalar="fma"):
    """Σ u_i w_i over the last axis with one step of the kernel order changed."""
    n = u.shape[-1]
    with np.errstate(over="ignore", invalid="ignore"):
        lanes = np.zeros(u.shape[:-1] + (8,), dtype=np.float32)
        i = 0
        while n - i >= 8:
            if fused_blocks:
                lanes = np.asarray(R.fma32(u[..., i:i + 8], w[..., i:i + 8], lanes))
            else:
                lanes = lanes + u[..., i:i + 8] * w[..., i:i + 8]
            i += 8
        if reduction == "pairwise":
            s = lanes[..., :4] + lanes[..., 4:]
            r = (s[..., 0] + s[..., 1]) + (s[..., 2] + s[..., 3])
        else:
            r = lanes[..., 0]
            for j in range(1, 8):
                r = r + lanes[..., j]
        if n - i >= 4:
            for k in range(4):
                if tail4 == "products":
                    r = r + u[..., i + k] * w[..., i + k]
                else:
                    r = np.asarray(R.fma32(u[..., i + k], w[..., i + k], r))
            i += 4
        while i < n:
            if scalar == "fma":
                r = np.asarray(R.fma32(u[..., i], w[..., i], r))
            else:
                r = r + u[..., i] * w[..., i]
            i += 1
    return np.asarray(r, dtype=np.float32)


VARIANTS = {
    "unfused_blocks": dict(fused_blocks=False),
    "sequential_lane_reduction": dict(reduction="sequential"),
    "fused_four_product_step": dict(tail4="fma"),
    "unfused_scalar_tail": dict(scalar="product"),
}


def _all_sums(dataset, d, **kw):
    vecs, queries = dataset[d]
    sums = [variant_sum(vecs, vecs, **kw)]
    for q in queries:
        diff = q[None, :] - vecs
        sums.append(variant_sum(diff, diff, **kw))
        sums.append(variant_sum(np.broadcast_to(q, vecs.shape), vecs, **kw))
    return np.concatenate(sums)


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_data_distinguishes_kernel_order_from_variant(dataset, variant):
    """Every dimension where the variant would change the arithmetic shows at least one differing sum."""
    changed = {}
    for d in DIMS:
        exact = _all_sums(dataset, d)
        other = _all_sums(dataset, d, **VARIANTS[variant])
        changed[d] = int(np.count_nonzero(R.bits(exact) != R.bits(other)))
    applicable = {
        "unfused_blocks": [d for d in DIMS if d >= 16],  # a first block adds to zero lanes: no difference
        "sequential_lane_reduction": [d for d in DIMS if d >= 8],
        "fused_four_product_step": [d for d in DIMS if d % 8 >= 4],
        "unfused_scalar_tail": [d for d in DIMS if d % 4 and d > 1],
    }[variant]
    assert all(changed[d] > 0 for d in applicable), changed
    # and the reference sums agree with the independently written variant runner when nothing is changed
    for d in DIMS:
        vecs, _ = dataset[d]
        np.testing.assert_array_equal(R.bits(variant_sum(vecs, vecs)), R.bits(R.sqnorm(vecs)))


@pytest.mark.parametrize("d", [d for d in DIMS if d > 4])
def test_data_distinguishes_kernel_order_from_numpy_sum(dataset, d):
    vecs, queries = dataset[d]
    with np.errstate(over="ignore"):
        naive32 = np.sum(vecs * vecs, axis=1, dtype=np.float32)
        naive64 = np.sum(vecs.astype(np.float64) ** 2, axis=1).astype(np.float32)
    ref = np.asarray(R.sqnorm(vecs), dtype=np.float32)
    assert np.count_nonzero(R.bits(ref) != R.bits(naive32)) > 0
    assert np.count_nonzero(R.bits(ref) != R.bits(naive64)) > 0


# --------------------------------------------------------------------------------------------------------------
# logf: the platform's single-precision logarithm, not a correctly rounded one


def test_platform_logf_within_one_ulp_of_correctly_rounded(dataset):
    args = []
    for d in DIMS:
        vecs, queries = dataset[d]
        for q in queries:
            o = np.asarray(R.l2sq(np.broadcast_to(q, vecs.shape), vecs))
            t = np.maximum((o + o) / R.POINCARE_DEN_FLOOR + R.ONE, R.POINCARE_T_FLOOR).astype(np.float32)
            t = t[np.isfinite(t)]
            args.append(t + np.asarray(R.sqrtf(R.fma32(t, t, -R.ONE))))
    args = np.concatenate(args + [np.linspace(1.0, 4.0, 2000, dtype=np.float32)])
    plat = R.bits(R.logf(args)).astype(np.int64)
    cr = R.bits(R.logf_correctly_rounded(args)).astype(np.int64)
    assert np.all(np.abs(plat - cr) <= 1)


def _logf_sensitive_nodes():
    """1-d nodes a whose Poincaré distance from the origin lands on an argument where logf is not correctly rounded."""
    rng = np.random.default_rng(2)
    a = rng.uniform(0.0, 0.5, 6000).astype(np.float32).reshape(-1, 1)
    t = ((R.sqnorm(a) * 2) / (R.ONE - R.sqnorm(a)) + R.ONE).astype(np.float32)
    t = np.maximum(t, R.POINCARE_T_FLOOR)
    arg = (t + np.asarray(R.sqrtf(R.fma32(t, t, -R.ONE)))).astype(np.float32)
    hit = np.nonzero(R.bits(R.logf(arg)) != R.bits(R.logf_correctly_rounded(arg)))[0]
    return a[hit[:12]]


def test_poincare_uses_single_precision_logf():
    nodes = _logf_sensitive_nodes()
    assert len(nodes) >= 5
    idx = build_index(nodes, "poincare", linked=False)
    q = np.zeros(1, dtype=np.float32)
    got = node_distances(idx, q, len(nodes))
    np.testing.assert_array_equal(R.bits(got), R.bits(R.distances("poincare", q, nodes)))


# --------------------------------------------------------------------------------------------------------------
# Metric edge cases


def test_euclidean_is_squared():
    idx = build_index(np.array([[3.0, 4.0]], dtype=np.float32), "euclidean", linked=False)
    assert idx.compute_distance(np.zeros(2, np.float32), 0) == 25.0
    assert idx.get_stored_norm(0) == 25.0


@pytest.mark.parametrize("d", [1, 5, 8, 13])
def test_cosine_zero_vectors_give_exactly_one(d):
    rng = np.random.default_rng(d)
    v = make_vectors(rng, 1, d)[0]
    z = np.zeros(d, np.float32)
    idx = build_index(np.stack([v, z]), "cosine", linked=False)
    assert idx.compute_distance(z, 0) == 1.0
    assert idx.compute_distance(v, 1) == 1.0
    assert idx.compute_distance(z, 1) == 1.0
    # a denominator just under the 1e-8 floor also gives 1.0; one above it gives a real cosine (about 0)
    e0 = np.zeros(d, np.float32)
    e0[0] = 1.0
    idx2 = build_index(np.stack([e0 * np.float32(9e-5), e0 * np.float32(1e-4)]), "cosine", linked=False)
    assert idx2.compute_distance(e0 * np.float32(9e-5), 0) == 1.0  # den = 8.1e-9
    assert abs(idx2.compute_distance(e0 * np.float32(2e-4), 1)) < 1e-6  # den = 2e-8


@pytest.mark.parametrize("d", [2, 9, 31])
def test_cosine_same_and_opposite(d):
    rng = np.random.default_rng(40 + d)
    vecs = make_vectors(rng, 5, d)
    idx = build_index(vecs, "cosine", linked=False)
    for i, v in enumerate(vecs):
        same = idx.compute_distance(v, i)
        opposite = idx.compute_distance(-v, i)
        assert abs(same) < 1e-6 and abs(opposite - 2.0) < 1e-6
        assert R.bits(np.float32(same)) == R.bits(R.distance("cosine", v, v))
        assert R.bits(np.float32(opposite)) == R.bits(R.distance("cosine", -v, v))
        assert 0.0 <= idx.compute_distance(rng.standard_normal(d).astype(np.float32), i) <= 2.0


def test_poincare_minimum_constant():
    t = R.POINCARE_T_FLOOR
    value = R.logf(t + R.sqrtf(R.fma32(t, t, -R.ONE)))
    assert R.bits(value) == R.bits(np.float32(0.0013810392701998353))
    assert float(value) == pytest.approx(math.acosh(float(R.POINCARE_T_FLOOR)), rel=1e-4)


@pytest.mark.parametrize("d", [1, 4, 8, 17])
@pytest.mark.parametrize("scale", [0.0, 0.3, 1.0, 2.0, 100.0])
def test_poincare_self_distance_is_floor(d, scale):
    rng = np.random.default_rng(int(scale * 10) + d)
    v = rng.standard_normal(d).astype(np.float32)
    v = (v / np.linalg.norm(v) * scale).astype(np.float32)
    for curvature in (1.0, 0.5, 2.0):
        idx = build_index(v[None, :], "poincare", linked=False, curvature=curvature)
        assert idx.compute_distance(v, 0) == 0.0013810392701998353


def test_poincare_near_points_share_the_floor():
    v = np.array([0.1, 0.2, 0.3], np.float32)
    idx = build_index(v[None, :], "poincare", linked=False)
    near = v.copy()
    near[0] = np.nextafter(near[0], np.float32(1.0))
    assert not np.array_equal(near, v)
    assert idx.compute_distance(near, 0) == 0.0013810392701998353


@pytest.mark.parametrize("q_scale", [1.0, 2.0, 1.0000005])
def test_poincare_clamps_outside_the_ball(q_scale):
    """Queries and nodes with squared norm >= 0.999999 hit the norm cap and the 1e-6 denominator floor."""
    rng = np.random.default_rng(11)
    d = 6
    node = rng.standard_normal(d).astype(np.float32)
    node = (node / np.linalg.norm(node) * 1.5).astype(np.float32)  # squared norm 2.25
    q = rng.standard_normal(d).astype(np.float32)
    q = (q / np.linalg.norm(q) * q_scale).astype(np.float32)
    assert R.sqnorm(q) >= R.POINCARE_NORM_CAP
    idx = build_index(node[None, :], "poincare", linked=False)
    o = R.l2sq(q, node)
    t = np.float32((o + o) / R.POINCARE_DEN_FLOOR + R.ONE)
    want = R.logf(t + R.sqrtf(R.fma32(t, t, -R.ONE)))
    assert R.bits(np.float32(idx.compute_distance(q, 0))) == R.bits(want)


def test_poincare_query_norm_four_is_capped():
    # With a node near the origin, the capped query norm gives den = 1.0132789e-06 * (1 - g), above the floor;
    # an uncapped norm 4 would give a negative den and hence the floor: the two answers differ.
    node = np.array([0.0, 0.05], np.float32)
    q = np.array([2.0, 0.0], np.float32)
    idx = build_index(node[None, :], "poincare", linked=False)
    o = R.l2sq(q, node)
    g = R.sqnorm(node)
    assert float(R.ONE - R.POINCARE_NORM_CAP) == 1.0132789611816406e-06
    den = np.float32((R.ONE - R.POINCARE_NORM_CAP) * (R.ONE - g))
    assert den > R.POINCARE_DEN_FLOOR

    def arcosh_of(den_):
        t = np.float32((o + o) / den_ + R.ONE)
        return R.logf(t + R.sqrtf(R.fma32(t, t, -R.ONE)))

    got = np.float32(idx.compute_distance(q, 0))
    assert R.bits(got) == R.bits(arcosh_of(den))
    assert R.bits(got) != R.bits(arcosh_of(R.POINCARE_DEN_FLOOR))


@pytest.mark.parametrize("metric", METRICS)
def test_curvature_has_no_effect(dataset, metric):
    vecs, queries = dataset[11]
    results = []
    for curvature in (0.5, 1.0, 2.0, -3.0):
        idx = build_index(vecs, metric, linked=False, curvature=curvature)
        results.append(np.concatenate([node_distances(idx, q, len(vecs)) for q in queries]))
    for r in results[1:]:
        np.testing.assert_array_equal(R.bits(r), R.bits(results[0]))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("where", ["query", "node"])
def test_nan_propagates(metric, where):
    v = np.array([0.1, 0.2, 0.3], np.float32)
    bad = v.copy()
    bad[1] = np.nan
    idx = build_index((bad if where == "node" else v)[None, :], metric, linked=False)
    q = v if where == "node" else bad
    assert math.isnan(idx.compute_distance(q, 0))


# --------------------------------------------------------------------------------------------------------------
# Nodes whose cached norm is missing (negative in the index file)


@pytest.mark.parametrize("d", [3, 8, 13])
@pytest.mark.parametrize("bad_norm", [-1.0, -0.5, -1e-30, -np.inf])
@pytest.mark.parametrize("metric", METRICS)
def test_negative_stored_norm_is_recomputed(tmp_path, dataset, metric, d, bad_norm):
    vecs, queries = dataset[d]
    vecs = vecs[:10]
    true_norms = np.asarray(R.sqnorm(vecs), dtype=np.float32)
    norms = true_norms.copy()
    norms[::2] = bad_norm
    idx = load_crafted(tmp_path, flat_file(vecs, norms), metric, "neg.idx")
    reference_idx = build_index(vecs, metric, linked=False)
    for q in queries:
        got = node_distances(idx, q, 10)
        np.testing.assert_array_equal(R.bits(got), R.bits(R.distances(metric, q, vecs, true_norms)))
        np.testing.assert_array_equal(R.bits(got), R.bits(node_distances(reference_idx, q, 10)))
    # the entry stays as loaded: nothing is written back
    np.testing.assert_array_equal(R.bits(stored_norms(idx, 10)), R.bits(norms))


@pytest.mark.parametrize("metric", METRICS)
def test_cached_norm_is_trusted_when_not_negative(tmp_path, metric):
    """A non-negative cached norm, even a wrong one, is used as is, without looking at the vector."""
    vecs = np.array([[0.3, 0.4], [0.3, 0.4], [0.3, 0.4]], np.float32)
    norms = np.array([0.25, 0.5, 0.0], np.float32)
    idx = load_crafted(tmp_path, flat_file(vecs, norms), metric, "wrong.idx")
    q = np.array([0.1, -0.2], np.float32)
    got = node_distances(idx, q, 3)
    want = np.array([R.distance(metric, q, vecs[i], v_norm=norms[i]) for i in range(3)], np.float32)
    np.testing.assert_array_equal(R.bits(got), R.bits(want))
    if metric == "euclidean":
        assert got[0] == got[1] == got[2]
    else:
        assert got[0] != got[1]  # the wrong cache changes the answer, proving it is read
    if metric == "cosine":
        assert got[2] == 1.0  # a cached zero norm means a zero denominator


@pytest.mark.parametrize("metric", METRICS)
def test_negative_zero_norm_is_not_missing(tmp_path, metric):
    """-0.0 does not compare below 0, so it counts as a cached (zero) norm and is not recomputed."""
    vecs = np.array([[0.3, 0.4]], np.float32)
    idx = load_crafted(tmp_path, flat_file(vecs, [-0.0]), metric, "negzero.idx")
    q = np.array([0.1, -0.2], np.float32)
    got = np.float32(idx.compute_distance(q, 0))
    assert R.bits(got) == R.bits(R.distance(metric, q, vecs[0], v_norm=np.float32(-0.0)))
    assert R.bits(np.float32(idx.get_stored_norm(0))) == R.bits(np.float32(-0.0))


def test_reference_helpers_agree():
    rng = np.random.default_rng(3)
    vecs = make_vectors(rng, 12, 9)
    q = make_vectors(rng, 1, 9)[0]
    for metric in ("poincare", "l2", "cosine", "other"):
        ds = R.distances(metric, q, vecs)
        one_by_one = np.array([R.distance(metric, q, v) for v in vecs], np.float32)
        np.testing.assert_array_equal(R.bits(ds), R.bits(one_by_one))
        order = R.brute_force_order(metric, q, vecs)
        assert np.all(np.diff(ds[order]) >= 0)
