"""Compressed storage (float16, bfloat16, int8): the stored values against a NumPy encoding written here,
every distance bit for bit against the reference over those values, through changes, files and refusals."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

import quellix
import quellix_layout as layout
from reference import bits, distances, fma32, sqnorm

F32 = np.float32


def encode_decode(x: np.ndarray, dtype: str, low=None, high=None) -> np.ndarray:
    """The float32 values an index of `dtype` keeps for the float32 rows `x` (int8: codes over [low, high])."""
    if dtype == "float16":
        return x.astype(np.float16).astype(F32)
    if dtype == "bfloat16":
        b = x.view(np.uint32).astype(np.uint64)
        b = ((b + 0x7FFF + ((b >> 16) & 1)) >> 16) << 16  # nearest, ties to even
        return b.astype(np.uint32).view(F32)
    step = ((high - low) / F32(255)).astype(F32)
    with np.errstate(divide="ignore", invalid="ignore"):
        code = np.where(step > 0, np.rint(((x - low) / step).astype(F32)), F32(0))
    code = np.clip(code, 0, 255).astype(F32)
    return fma32(code, np.broadcast_to(step, code.shape), np.broadcast_to(low, code.shape))


def _data(dim, n, seed):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 3, (20, dim))
    return (centres[rng.integers(0, 20, n)] + rng.normal(size=(n, dim))).astype(F32)


def _check_exact(index, queries, kept, ids, metric, k=10):
    """exact_search and distances against the reference brute force over the kept (decoded) rows."""
    norms = sqnorm(kept)
    got_ids, got = index.exact_search(queries, k)
    for q, row_ids, row_d in zip(queries, got_ids, got):
        ref = distances(metric, q, kept, norms)
        order = np.lexsort((ids, ref))[:k]  # ties in id order
        np.testing.assert_array_equal(row_ids, ids[order])
        np.testing.assert_array_equal(bits(row_d), bits(ref[order]))
        np.testing.assert_array_equal(bits(index.distances(q, ids[:50])), bits(ref[:50]))


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
@pytest.mark.parametrize("dtype,dim,explicit", [("float16", 37, False), ("bfloat16", 70, False), ("int8", 37, False),
                                                ("int8", 13, True)])
def test_every_distance_is_the_reference_over_the_stored_values(dtype, dim, explicit, metric, tiles, tmp_path):
    x = _data(dim, 1500, 5)
    queries = _data(dim, 12, 6)
    bounds = None
    if dtype == "int8":
        # An explicit range narrower than the data: the values beyond it take its nearest end.
        low, high = (x.min(0), x.max(0)) if not explicit else (F32(-2.5), F32(3.0))
        bounds = (np.broadcast_to(low, (dim,)).astype(F32), np.broadcast_to(high, (dim,)).astype(F32))
    index = quellix.Index(dim, metric, dtype=dtype, seed=3, int8_range=bounds if explicit else None)
    masks = np.arange(1500, dtype=np.uint64) % 4
    index.add(x, masks, num_threads=2)
    kept = encode_decode(x, dtype, *(bounds or (None, None)))
    np.testing.assert_array_equal(bits(index.get_vectors(np.arange(1500))), bits(kept))
    if dtype == "int8":
        np.testing.assert_array_equal(index.int8_range[0], bounds[0])
    assert index.stats()["dtype"] == dtype and index.dtype == dtype
    ids = np.arange(1500)
    _check_exact(index, queries, kept, ids, metric)

    # The graph searches score with the same distances, filters and threads included.
    found, dist = index.search(queries, 10, ef=80, filter_mask=1, num_threads=2)
    for q, row_ids, row_d in zip(queries, found, dist):
        assert (masks[row_ids] & 1).all()
        np.testing.assert_array_equal(bits(row_d), bits(distances(metric, q, kept[row_ids], sqnorm(kept[row_ids]))))
    exact = index.exact_search(queries, 10, filter_mask=1)[0]
    assert np.mean([len(set(a) & set(b)) for a, b in zip(found, exact)]) >= 9.0

    # Removals move rows into the freed places and compact() reorders them; replacements encode anew.
    gone = np.arange(0, 1500, 7)
    index.remove(gone)
    fresh = _data(dim, 30, 7)
    index.add(fresh, ids=np.arange(1, 61, 2), replace=True)
    kept = kept.copy()
    kept[np.arange(1, 61, 2)] = encode_decode(fresh, dtype, *(bounds or (None, None)))
    index.compact()
    live = np.union1d(np.setdiff1d(ids, gone), np.arange(1, 61, 2))  # the replacing add brings removed ids back
    np.testing.assert_array_equal(index.ids, live)
    _check_exact(index, queries, kept[live], live, metric)

    # Files, bytes and pickles keep the stored values, and the vek_core file holds them as float32.
    index.save(tmp_path / "i.qx")
    for copy in (quellix.Index.load(tmp_path / "i.qx"), pickle.loads(pickle.dumps(index))):
        assert copy.dtype == dtype
        np.testing.assert_array_equal(bits(copy.get_vectors(live)), bits(kept[live]))
        _check_exact(copy, queries[:3], kept[live], live, metric)
        assert copy.to_bytes() == index.to_bytes()
    # A vek_core file holds the stored values as float32.
    small = quellix.Index(dim, metric, dtype=dtype, int8_range=bounds)
    small.add(x[:40])
    small.save_vek_core(tmp_path / "v.bin")
    from_core = quellix.Index.load_vek_core(tmp_path / "v.bin", metric)
    np.testing.assert_array_equal(bits(from_core.get_vectors(np.arange(40))),
                                  bits(encode_decode(x[:40], dtype, *(bounds or (None, None)))))

    # Each vector takes its dtype's bytes in memory.
    plain = quellix.Index(dim, metric, seed=3)
    plain.add(kept[live])
    saved = (4 - (1 if dtype == "int8" else 2)) * dim
    assert index.stats()["memory_bytes"] / len(index) <= plain.stats()["memory_bytes"] / len(plain) - saved + 4


def test_refusals_change_nothing():
    with pytest.raises(ValueError, match="poincare vectors are stored as float32"):
        quellix.Index(4, "poincare", dtype="float16")
    with pytest.raises(ValueError, match="unknown dtype"):
        quellix.Index(4, "euclidean", dtype="float64")
    with pytest.raises(ValueError, match="int8_range is for dtype='int8'"):
        quellix.Index(4, "euclidean", dtype="float16", int8_range=(0, 1))
    with pytest.raises(ValueError, match="low <= high"):
        quellix.Index(4, "euclidean", dtype="int8", int8_range=(1, 0))
    assert quellix.Index(4, "cosine", dtype=np.float16).dtype == "float16"

    index = quellix.Index(3, "euclidean", dtype="float16")
    index.add(np.ones((2, 3), F32))
    with pytest.raises(ValueError, match="row 1 holds a value of magnitude 65520"):
        index.add(np.array([[1, 2, 3], [1, -7e4, 0]], F32))
    assert len(index) == 2
    wide = quellix.Index(3, "euclidean", dtype="bfloat16")
    wide.add(np.array([[3.3e38, -3.3e38, 1]], F32))  # bfloat16 spans float32's exponents
    with pytest.raises(ValueError, match="bfloat16"):
        wide.add(np.array([[3.4e38, 0, 0]], F32))

    # A first add that fails trains no range: the next one does.
    trained = quellix.Index(2, "euclidean", dtype="int8")
    with pytest.raises(ValueError, match="repeated"):
        trained.add(np.array([[0, 0], [9, 9]], F32), ids=[1, 1])
    assert trained.int8_range is None and len(trained) == 0
    trained.add(np.array([[0, 1], [2, 5]], F32))
    np.testing.assert_array_equal(trained.int8_range[0], [0, 1])
    np.testing.assert_allclose(trained.int8_range[1], [2, 5], rtol=1e-6)


def test_damaged_compressed_files_are_refused():
    index = quellix.Index(8, "euclidean", dtype="int8")
    index.add(_data(8, 50, 1))
    fields, sections = layout.parse(index.to_bytes())
    assert fields["storage"] == 3 and len(sections["ranges"]) == 64 and len(sections["vectors"]) == 50 * 8
    ranges = np.frombuffer(sections["ranges"], "<f4").copy()
    ranges[0] = np.inf
    for changes, parts, message in [({"storage": 7}, {}, "unknown storage code 7"),
                                    ({}, {"ranges": sections["ranges"][:60]}, "bytes of int8 ranges"),
                                    ({}, {"ranges": ranges.tobytes()}, "too wide"),
                                    ({"code": 0}, {}, "compressed vectors under 'poincare'")]:
        with pytest.raises(RuntimeError, match=message):
            quellix.Index.from_bytes(layout.build(fields | changes, sections | parts))
    half = quellix.Index(4, "euclidean", dtype="float16")
    half.add(np.ones((3, 4), F32))
    fields, sections = layout.parse(half.to_bytes())
    rows = np.frombuffer(sections["vectors"], np.float16).copy()
    rows[5] = np.inf  # a stored infinity
    with pytest.raises(RuntimeError, match="not finite"):
        quellix.Index.from_bytes(layout.build(fields, sections | {"vectors": rows.tobytes()}))
