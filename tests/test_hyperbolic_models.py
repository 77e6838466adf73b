"""Curvature and the Lorentz model: quellix.Index(curvature=c), the converters of quellix.hyperbolic and
KeyedIndex(model="lorentz"), against float64 references of geoopt's two distance formulas written here."""

from __future__ import annotations

import pickle
import struct
import zlib

import numpy as np
import pytest

import quellix
import quellix_layout as layout
from quellix.hyperbolic import KeyedIndex, lorentz_to_poincare, poincare_to_lorentz

CURVATURES = [0.1, 1.0, 3.7]
KEYED_V2 = struct.Struct("<8sIIQQQId")  # magic, version, dim, count, key and index bytes, model, curvature


def ball_distance(x, y, c):
    """geoopt's PoincareBall(c).dist: (2/sqrt(c)) artanh(sqrt(c) |(-x) (+)_c y|), Möbius addition (+)_c."""
    a, b = -np.asarray(x, np.float64), np.asarray(y, np.float64)
    ab, a2, b2 = (a * b).sum(-1), (a * a).sum(-1), (b * b).sum(-1)
    num = (1 + 2 * c * ab + c * b2)[..., None] * a + (1 - c * a2)[..., None] * b
    den = 1 + 2 * c * ab + c * c * a2 * b2
    return 2 / np.sqrt(c) * np.arctanh(np.sqrt(c) * np.linalg.norm(num / den[..., None], axis=-1))


def lorentz_distance(x, y, c):
    """geoopt's Lorentz(k=1/c).dist: sqrt(k) arcosh(-<x, y>_L / k), <x, y>_L = -x0 y0 + xs . ys."""
    x, y, k = np.asarray(x, np.float64), np.asarray(y, np.float64), 1.0 / c
    inner = -x[..., 0] * y[..., 0] + (x[..., 1:] * y[..., 1:]).sum(-1)
    return np.sqrt(k) * np.arccosh(np.maximum(-inner / k, 1.0))


def hyperboloid(n, dim, c, farthest, seed):
    """n points of <x, x>_L = -1/c at distances from the origin up to `farthest` (in units of curvature
    1), in random directions; and those distances."""
    rng = np.random.default_rng(seed)
    r = rng.uniform(0.0, farthest, n)
    r[:3] = [0.0, farthest, farthest * 0.999]
    u = rng.normal(size=(n, dim))
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    return np.column_stack([np.cosh(r), np.sinh(r)[:, None] * u]) / np.sqrt(c), r


class DLPackOnly:
    """An array reachable through DLPack alone, as a CPU tensor of a library NumPy does not know is."""

    def __init__(self, array):
        self._array = np.ascontiguousarray(array)

    def __dlpack__(self, **kwargs):
        return self._array.__dlpack__(**kwargs)

    def __dlpack_device__(self):
        return self._array.__dlpack_device__()


@pytest.mark.parametrize("c", CURVATURES)
def test_converters_carry_distances_between_the_two_references(c):
    # Near the origin both references hold every digit: the ball's and the hyperboloid's distances of
    # converted points agree, and both conversions come back to within a few roundings.
    y, _ = hyperboloid(200, 4, c, 10.0, seed=1)
    p = lorentz_to_poincare(y, c)
    x = poincare_to_lorentz(p, c)
    np.testing.assert_allclose(x, y, rtol=1e-11, atol=1e-14 / np.sqrt(c))
    np.testing.assert_allclose(lorentz_to_poincare(x, c), p, rtol=1e-13, atol=1e-17)
    time, space = c * x[:, 0] ** 2, c * (x[:, 1:] ** 2).sum(1)
    assert (x[:, 0] > 0).all() and (np.abs(time - space - 1) <= 1e-14 * (time + space)).all()
    i, j = np.random.default_rng(2).integers(0, 200, (2, 500))
    keep = i != j
    np.testing.assert_allclose(ball_distance(p[i[keep]], p[j[keep]], c), lorentz_distance(y[i[keep]], y[j[keep]], c),
                               rtol=1e-6)
    assert poincare_to_lorentz(p[5], c).shape == (5,) and lorentz_to_poincare(y[5], c).shape == (4,)
    # Far out the ball holds 1 - c|p|^2 only to an absolute rounding: the way back to the hyperboloid
    # loses what the README states, a relative eps cosh(r).
    far, r = hyperboloid(200, 4, c, 30.0, seed=3)
    back = poincare_to_lorentz(lorentz_to_poincare(far, c), c)
    moved = np.abs(back - far).max(axis=1) / np.abs(far).max(axis=1)
    assert (moved <= 4 * np.finfo(float).eps * np.cosh(r)).all()


@pytest.mark.parametrize("c", CURVATURES)
def test_an_index_of_curvature_c_answers_as_the_reference(c):
    # Out to 25 from the origin (in units of curvature 1), where the Lorentz formula keeps full
    # precision for points in random directions and the Möbius one no longer does.
    y, _ = hyperboloid(300, 4, c, 25.0, seed=4)
    p = lorentz_to_poincare(y, c)
    index = quellix.Index(4, "poincare", curvature=c, seed=0)
    index.add(p, num_threads=1)
    assert index.curvature == c and ("curvature" in repr(index)) == (c != 1.0)
    queries = np.arange(0, 300, 15)
    truth = lorentz_distance(y[queries, None], y[None], c)
    truth[np.arange(len(queries)), queries] = 0.0  # the formula's cancellation is total for a point and itself
    order = np.argsort(truth, axis=1, kind="stable")[:, :10]
    exact_ids, exact_d = index.exact_search(p[queries], 10)
    graph_ids, graph_d = index.search(p[queries], 10, ef=300)
    np.testing.assert_array_equal(exact_ids, order)
    np.testing.assert_array_equal(graph_ids, order)
    expected = np.take_along_axis(truth, order, axis=1)
    for got in (exact_d, graph_d):
        np.testing.assert_allclose(got, expected, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(index.distances(p[15], np.arange(300)), truth[1], rtol=1e-6, atol=1e-6)
    # Filters in the caller's units: max_distance cuts exactly at the returned distances (a bound at
    # one keeps its node, a bound a hair below drops it); the norm bounds are Euclidean norms in the
    # ball of radius 1/sqrt(c).
    _, all_d = index.exact_search(p[1:41], 300)
    at = all_d[np.arange(40), np.arange(40) * 7 + 1].astype(np.float64)
    for row, bound in enumerate(np.concatenate([at, at * (1 - 2.0**-22)])):
        _, kept = index.exact_search(p[1 + row % 40], 300, max_distance=bound)
        kept = kept[np.isfinite(kept)]
        assert len(kept) == int((all_d[row % 40] <= bound).sum()) and (kept <= bound).all()
    norms = np.sort(np.linalg.norm(p, axis=1))
    lo, hi = (norms[40] + norms[41]) / 2, (norms[120] + norms[121]) / 2  # norms float32 tells apart
    ids, _ = index.exact_search(np.zeros(4), 300, min_norm=lo, max_norm=hi)
    assert len(ids[ids >= 0]) == 80
    found = ids[ids >= 0]
    assert ((np.linalg.norm(p[found], axis=1) > lo) & (np.linalg.norm(p[found], axis=1) < hi)).all()
    # The caller's coordinates come back: float32 input bit for bit, float64 input rounded to float32.
    near = p[np.linalg.norm(p, axis=1) * np.sqrt(c) < 0.999]
    single = quellix.Index(4, "poincare", curvature=c)
    single.add(near.astype(np.float32))
    assert single.get_vectors(np.arange(len(near))).tobytes() == near.astype(np.float32).tobytes()
    np.testing.assert_array_equal(index.get_vectors(np.arange(300)), p.astype(np.float32))


@pytest.mark.parametrize("c", [0.1, 3.7, 4.0])
def test_files_and_pickles_keep_the_curvature(c, tmp_path):
    y, _ = hyperboloid(120, 3, c, 12.0, seed=5)
    p = lorentz_to_poincare(y, c)
    index = quellix.Index(3, "poincare", curvature=c, seed=2, M=6)
    index.add(p, num_threads=1)
    data = index.to_bytes()
    fields, sections = layout.parse(data)
    assert fields["curvature"] == c
    index.save(tmp_path / "c.qlx")
    for other in (quellix.Index.load(tmp_path / "c.qlx"), pickle.loads(pickle.dumps(index)),
                  quellix.Index.from_bytes(data), quellix.Index.load(tmp_path / "c.qlx", mmap=True)):
        assert other.curvature == c and other.to_bytes() == data
        for a, b in zip(index.exact_search(p[:10], 5), other.exact_search(p[:10], 5)):
            np.testing.assert_array_equal(a, b)
    with pytest.raises(ValueError, match="vek_core file holds no curvature"):
        index.save_vek_core(tmp_path / "c.vek")
    # The curvature field is read with distrust.
    for bad in (np.nan, 0.0, -2.0, np.inf):
        with pytest.raises(RuntimeError, match="Invalid index file: <bytes>: curvature"):
            quellix.Index.from_bytes(layout.build(fields | {"curvature": bad}, sections))
    flat = quellix.Index(3, "euclidean", seed=2)
    flat.add(p)
    fields, sections = layout.parse(flat.to_bytes())
    assert fields["curvature"] == 1.0
    with pytest.raises(RuntimeError, match="under 'euclidean', which has none"):
        quellix.Index.from_bytes(layout.build(fields | {"curvature": c}, sections))
    unit = quellix.Index(3, "poincare", seed=2, M=6, curvature=1.0)
    unit.add(p * np.sqrt(c), num_threads=1)
    plain = quellix.Index(3, "poincare", seed=2, M=6)
    plain.add(p * np.sqrt(c), num_threads=1)
    assert unit.to_bytes() == plain.to_bytes() and quellix.Index.from_bytes(unit.to_bytes()).curvature == 1.0


def _reference_ranks(d, pairs):
    """gensim's mean rank and MAP from a full float64 distance matrix: a positive's rank is one plus the
    non-positives strictly nearer, the key itself among them."""
    ranks, precisions = [], []
    for child in sorted({a for a, _ in pairs}):
        positives = sorted({b for a, b in pairs if a == child})
        negative = np.ones(len(d), bool)
        negative[positives] = False
        own = sorted(1 + int((d[child][negative] < d[child, b]).sum()) for b in positives)
        ranks += own
        precisions.append(np.mean([(i + 1) / (rank + i) for i, rank in enumerate(own)]))
    return np.mean(ranks), np.mean(precisions)


@pytest.mark.parametrize("c", CURVATURES)
def test_keyed_lorentz_points_answer_as_the_reference(c, tmp_path):
    y, _ = hyperboloid(300, 4, c, 12.0, seed=6)
    keys = [f"k{i}" for i in range(300)]
    kv = KeyedIndex.from_arrays(keys, y, model="lorentz", curvature=c, seed=0)
    d = lorentz_distance(y[:, None], y[None], c)
    np.fill_diagonal(d, 0.0)  # the formula's cancellation is total for a point and itself
    assert (kv.model, kv.curvature, kv.dim) == ("lorentz", c, 5) and np.array_equal(kv.vectors, y)
    assert np.array_equal(kv["k9"], y[9])
    ball = KeyedIndex.from_arrays(keys, lorentz_to_poincare(y, c), curvature=c, seed=0)
    kv.save(tmp_path / "k.qlxk")
    copies = [kv, KeyedIndex.load(tmp_path / "k.qlxk"), pickle.loads(pickle.dumps(kv))]
    for node in range(0, 300, 37):
        rest = np.delete(np.arange(300), node)
        best = rest[np.lexsort((rest, d[node, rest]))][:10]
        for copy in copies:
            got = copy.most_similar(keys[node], 10, exact=True)
            assert [k for k, _ in got] == [keys[i] for i in best]
            np.testing.assert_allclose([v for _, v in got], d[node, best], rtol=1e-6)
        assert ball.most_similar(keys[node], 10, exact=True) == got  # the same points in the other model
        assert copies[2].model == "lorentz" and copies[1].curvature == c
        graph = kv.most_similar(y[node], 5)
        np.testing.assert_allclose([v for _, v in graph], d[node, [keys.index(k) for k, _ in graph]],
                                   rtol=1e-6, atol=1e-12)
        # Parents and children by distance from the origin, the order of x0 and of the ball's norm.
        for below, call in ((True, kv.closest_parent), (False, kv.closest_child)):
            eligible = np.flatnonzero(y[:, 0] < y[node, 0] if below else y[:, 0] > y[node, 0])
            expected = keys[eligible[np.argmin(d[node, eligible])]] if eligible.size else None
            assert call(keys[node]) == call(keys[node], exact=False) == expected
        s = np.sqrt(c) * y[node, 0]
        assert kv.norm(keys[node]) == pytest.approx(np.sqrt((s - 1) / (s + 1) / c), rel=1e-9, abs=1e-7)
        assert kv.distance(keys[node], keys[(node + 1) % 300]) == pytest.approx(d[node, (node + 1) % 300], rel=1e-6)
    # The file names the model and the curvature (version 2), and distrusts both; the unit ball's
    # Poincaré points keep version 1, the file earlier releases read.
    data = kv.to_bytes()
    fields = KEYED_V2.unpack_from(data)
    assert fields[1] == 2 and fields[-2:] == (1, c)
    for code, curvature in ((2, c), (1, np.nan), (1, -c)):
        body = KEYED_V2.pack(*fields[:-2], code, curvature) + data[KEYED_V2.size:-4]
        with pytest.raises(RuntimeError, match="Invalid keyed index file: <bytes>: (unknown model|curvature)"):
            KeyedIndex.from_bytes(body + struct.pack("<I", zlib.crc32(body)))
    unit = KeyedIndex.from_bytes(KeyedIndex.from_arrays(keys, lorentz_to_poincare(y, c) * np.sqrt(c)).to_bytes())
    assert struct.unpack_from("<I", unit.to_bytes(), 8)[0] == 1 and (unit.model, unit.curvature) == ("poincare", 1.0)
    rng = np.random.default_rng(7)
    pairs = sorted({(int(a), int(b)) for a, b in rng.integers(0, 300, (400, 2))})
    mean_rank, mean_ap = _reference_ranks(d, pairs)
    got = kv.evaluate_reconstruction([(keys[a], keys[b]) for a, b in pairs], num_threads=1)
    assert got == pytest.approx({"mean_rank": mean_rank, "MAP": mean_ap}, rel=1e-12)


def _off(y, c):
    bad = y.copy()
    bad[2, 0] *= 1 + 1e-3
    return bad


@pytest.mark.parametrize("edit, why", [
    (_off, "off the hyperboloid"),
    (lambda y, c: y * np.where(np.arange(len(y)) == 2, -1.0, 1.0)[:, None], "upper sheet"),
    (lambda y, c: np.vstack([y[:2], [np.r_[np.cosh(40.0), np.sinh(40.0), np.zeros(2)] / np.sqrt(c)], y[3:]]),
     "no float64 point"),
    (lambda y, c: np.vstack([y[:2], [[np.nan, 0, 0, 0]], y[3:]]), "NaN"),
])
@pytest.mark.parametrize("c", [1.0, 3.7])
def test_points_outside_a_model_are_refused_naming_them(edit, why, c):
    y, _ = hyperboloid(6, 3, c, 5.0, seed=8)
    bad = edit(y, c)
    with pytest.raises(ValueError, match=f"row 2.*{why}"):
        lorentz_to_poincare(bad, c)
    with pytest.raises(ValueError, match=f"'k2'.*{why}"):
        KeyedIndex.from_arrays([f"k{i}" for i in range(6)], bad, model="lorentz", curvature=c)
    kv = KeyedIndex.from_arrays([f"k{i}" for i in range(6)], y, model="lorentz", curvature=c)
    with pytest.raises(ValueError, match=why):
        kv.most_similar(bad[2])
    # The ball of radius 1/sqrt(c), in every entry point.
    p = lorentz_to_poincare(y, c)
    p[2] *= (1 + 1e-12) / (np.sqrt(c) * np.linalg.norm(p[2]))  # onto the sphere, give or take a rounding
    ball = "unit ball" if c == 1.0 else "ball of radius 0.519"
    with pytest.raises(ValueError, match=f"row 2\\b.*{ball}"):
        poincare_to_lorentz(p, c)
    index = quellix.Index(3, "poincare", curvature=c)
    with pytest.raises(ValueError, match=f"row 2\\b.*{ball}"):
        index.add(p)
    assert len(index) == 0
    with pytest.raises(ValueError, match=f"'k2'.*{ball}"):
        KeyedIndex.from_arrays([f"k{i}" for i in range(6)], p, curvature=c)


@pytest.mark.parametrize("call", [
    lambda c: quellix.Index(3, "poincare", curvature=c),
    lambda c: poincare_to_lorentz(np.zeros(3), c),
    lambda c: KeyedIndex.from_arrays(["a"], np.zeros((1, 3)), model="poincare", curvature=c),
])
@pytest.mark.parametrize("c, error", [(0.0, ValueError), (-1.0, ValueError), (np.nan, ValueError),
                                      (np.inf, ValueError), (1e-320, ValueError), ("1", TypeError),
                                      (True, TypeError), (None, TypeError)])
def test_the_curvature_is_a_finite_positive_number(call, c, error):
    with pytest.raises(error, match="curvature"):
        call(c)
    with pytest.raises(ValueError, match="'cosine' is flat"):
        quellix.Index(3, "cosine", curvature=2)
    with pytest.raises(ValueError, match="unknown model 'klein'"):
        KeyedIndex.from_arrays(["a"], np.zeros((1, 3)), model="klein")


def test_dlpack_only_inputs_read_as_arrays():
    y, _ = hyperboloid(50, 3, 2.0, 6.0, seed=9)
    p = lorentz_to_poincare(DLPackOnly(y), 2.0)
    np.testing.assert_array_equal(p, lorentz_to_poincare(y, 2.0))
    np.testing.assert_array_equal(poincare_to_lorentz(DLPackOnly(p), 2.0), poincare_to_lorentz(p, 2.0))
    index = quellix.Index(3, "poincare", curvature=2.0)
    index.add(DLPackOnly(p.astype(np.float32)))
    ids, dists = index.search(DLPackOnly(p[:4]), 3)
    np.testing.assert_array_equal(ids[:, 0], np.arange(4))
    np.testing.assert_array_equal(index.distances(DLPackOnly(p[0]), [1, 2]), index.distances(p[0], [1, 2]))
    kv = KeyedIndex.from_arrays([f"k{i}" for i in range(50)], DLPackOnly(y), model="lorentz", curvature=2.0)
    assert kv.most_similar(DLPackOnly(y[3]), 2, exact=True)[0] == ("k3", 0.0)
    with pytest.raises(TypeError, match="queries"):
        index.search(DLPackOnly(np.array(["a", "b", "c"])), 1)
