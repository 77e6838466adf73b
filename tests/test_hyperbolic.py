"""quellix.hyperbolic.KeyedIndex against gensim's own Poincaré code on embeddings gensim trains here:
reconstruction figures, most_similar, closest child and parent; input refusals, the keyed index
file and word2vec text."""

from __future__ import annotations

import gzip
import pickle
from pathlib import Path

import numpy as np
import pytest

from quellix import Index
from quellix.hyperbolic import KeyedIndex

gensim = pytest.importorskip("gensim")
from gensim.models.poincare import (PoincareKeyedVectors, PoincareModel, PoincareRelations,  # noqa: E402
                                    ReconstructionEvaluation)

HYPERNYMS = Path(gensim.__file__).parent / "test" / "test_data" / "poincare_hypernyms_large.tsv"


def _train(dim: int, epochs: int, alpha: float) -> PoincareModel:
    model = PoincareModel(PoincareRelations(str(HYPERNYMS)), size=dim, negative=5, alpha=alpha, seed=dim)
    model.train(epochs=epochs, batch_size=10, print_every=10**9)
    return model


# In 2-d with a large learning rate every node ends at squared norm >= 0.995 and most beyond 1 - 1e-4,
# next to gensim's clipping norm 1 - 1e-5; the 10-d one is half-trained, well inside the ball.
@pytest.fixture(scope="module", params=[(2, 300, 3.0), (10, 20, 0.1)], ids=["2d-boundary", "10d"])
def trained(request):
    model = _train(*request.param)
    return model, KeyedIndex.from_gensim(model, seed=0)


def _random_kv(n: int, dim: int, seed: int) -> tuple[PoincareKeyedVectors, list[str], np.ndarray]:
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, dim))
    x *= (rng.uniform(0.0, 1.0, size=(n, 1)) ** 0.3) / np.linalg.norm(x, axis=1, keepdims=True)
    keys = [f"n{i}" for i in range(n)]
    kv = PoincareKeyedVectors(dim, 0, dtype=np.float64)
    kv.add_vectors(keys, x)
    return kv, keys, x


# ---- reconstruction ------------------------------------------------------------------------------------

def test_exact_reconstruction_equals_gensim(trained):
    model, kv = trained
    expected = ReconstructionEvaluation(str(HYPERNYMS), model.kv).evaluate()
    got = kv.evaluate_reconstruction(HYPERNYMS)
    assert set(got) == {"mean_rank", "MAP"}
    assert got["mean_rank"] == pytest.approx(expected["mean_rank"], abs=5e-5)
    assert got["MAP"] == pytest.approx(expected["MAP"], abs=5e-5)


def test_exact_reconstruction_equals_gensim_where_ranks_run_deep(tmp_path):
    # Random points and random relations: positives rank anywhere, past any short candidate list; and
    # one key related to most nodes, itself included (gensim fails on a key related to all of them).
    kv, keys, x = _random_kv(900, 6, seed=3)
    rng = np.random.default_rng(4)
    path = tmp_path / "pairs.tsv"
    pairs = {(keys[a], keys[b]) for a, b in rng.integers(0, len(keys), size=(1500, 2))}
    pairs |= {(keys[5], key) for key in keys[:800]}
    path.write_text("".join(f"{a}\t{b}\n" for a, b in sorted(pairs)))
    expected = ReconstructionEvaluation(str(path), kv).evaluate()
    got = KeyedIndex.from_arrays(keys, x, seed=0).evaluate_reconstruction(path, num_threads=2)
    assert got["mean_rank"] == pytest.approx(expected["mean_rank"], abs=5e-5)
    assert got["MAP"] == pytest.approx(expected["MAP"], abs=5e-5)


def test_exact_figures_hold_where_float32_misplaces_the_points(tmp_path):
    # A cluster at squared norm 1 - 4e-5, points a few 1e-6 apart: float32 coordinates move them by a
    # few percent of their gaps, so the index's order differs from the float64 formula's well beyond
    # its arithmetic error (a fixed 1e-3 margin gets the mean rank wrong in the second decimal).
    rng = np.random.default_rng(11)
    centre = rng.normal(size=3)
    x = centre / np.linalg.norm(centre) * (1 - 2e-5) + rng.normal(size=(600, 3)) * 3e-6
    keys = [f"n{i}" for i in range(len(x))]
    gkv = PoincareKeyedVectors(3, 0, dtype=np.float64)
    gkv.add_vectors(keys, x)
    path = tmp_path / "pairs.tsv"
    pairs = {(keys[a], keys[b]) for a, b in rng.integers(0, len(keys), size=(1200, 2))}
    path.write_text("".join(f"{a}\t{b}\n" for a, b in sorted(pairs)))
    kv = KeyedIndex.from_arrays(keys, x, seed=0)
    expected = ReconstructionEvaluation(str(path), gkv).evaluate()
    got = kv.evaluate_reconstruction(path)
    assert (got["mean_rank"], got["MAP"]) == pytest.approx((expected["mean_rank"], expected["MAP"]), abs=5e-5)
    for key in keys[1:100]:
        assert [k for k, _ in kv.most_similar(key, topn=10, exact=True)] == [k for k, _ in gkv.most_similar(key, 10)]
        assert kv.closest_parent(key) == gkv.closest_parent(key)


def _formula(u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """arcosh(1 + 2|u-v|^2 / ((1-|u|^2)(1-|v|^2))) in float64 from u to every row of v, each sum taken column
    by column so that bit-identical rows get bit-identical distances."""
    sq, uu, vv = 0.0, 0.0, 0.0
    for c in range(len(u)):
        t = u[c] - v[:, c]
        sq, uu, vv = sq + t * t, uu + u[c] * u[c], vv + v[:, c] * v[:, c]
    return np.arccosh(1.0 + 2.0 * sq / ((1.0 - uu) * (1.0 - vv)))


def _ranked_set(case: str, rng: np.random.Generator) -> np.ndarray:
    if case == "float32 values":
        x = rng.normal(size=(700, 4))
        x *= rng.uniform(0.0, 1.0, size=(700, 1)) ** 0.2 / np.linalg.norm(x, axis=1, keepdims=True)
        return x.astype(np.float32).astype(np.float64)
    if case == "cluster at the boundary":  # float32 moves the points by a few percent of their gaps
        centre = rng.normal(size=3)
        return centre / np.linalg.norm(centre) * (1 - 2e-5) + rng.normal(size=(700, 3)) * 3e-6
    if case == "cluster at the origin":  # distances of 1e-7: 1 + 2K keeps few bits, equal float64 distances abound
        return rng.normal(size=(700, 2)) * 3e-8
    # 64-d: the scan takes the nodes in several slices
    x = rng.normal(size=(3000, 64))
    return x * rng.uniform(0.5, 0.999, size=(3000, 1)) / np.linalg.norm(x, axis=1, keepdims=True)


@pytest.mark.parametrize("case", ["float32 values", "cluster at the boundary", "cluster at the origin", "64-d"])
def test_native_ranks_equal_the_float64_formula_and_figures_gensim_s(case, tmp_path):
    rng = np.random.default_rng(21)
    x = _ranked_set(case, rng)
    n = len(x)
    # Duplicates of queries, of positives and of non-positives: exact ties on every side.
    x[rng.choice(n, n // 10, replace=False)] = x[rng.choice(n, n // 10, replace=False)]
    keys = [f"n{i}" for i in range(n)]
    children = np.sort(rng.choice(n, 90, replace=False))
    rows = [np.unique(rng.choice(n, rng.integers(1, 12))) for _ in children]
    rows[0] = np.union1d(rows[0], [children[0]])  # a key related to itself
    for r in range(1, 4):  # positives with a duplicate among the non-positives, one duplicating the key
        twin = int(rng.integers(n))
        x[twin] = x[rows[r][0]]
        x[rows[r][-1]] = x[children[r]]
    starts = np.cumsum([0] + [len(p) for p in rows])
    positives = np.concatenate(rows)
    kv = KeyedIndex.from_arrays(keys, x, seed=0)

    nearer, place = kv.index._engine.rank_counts(kv.vectors, children, starts, positives, 2)
    want_nearer, want_place = [], []
    for c, pos in zip(children, rows):
        d = _formula(x[c], x)
        d_neg = np.delete(d, pos)
        counts = np.array([np.count_nonzero(d_neg < d[p]) for p in pos])
        want_nearer.append(counts)
        want_place.append(np.argsort(np.argsort(counts, kind="stable"), kind="stable"))
    np.testing.assert_array_equal(nearer, np.concatenate(want_nearer))
    np.testing.assert_array_equal(place, np.concatenate(want_place))

    path = tmp_path / "pairs.tsv"
    path.write_text("".join(f"{keys[c]}\t{keys[p]}\n" for c, pos in zip(children, rows) for p in pos))
    got = kv.evaluate_reconstruction(path, num_threads=1)
    ranks = [np.sort(cnt) + 1 for cnt in want_nearer]
    assert got["mean_rank"] == pytest.approx(np.concatenate(ranks).mean(), rel=1e-12)
    assert got["MAP"] == pytest.approx(np.mean([np.mean(np.arange(1, len(r) + 1) / (r + np.arange(len(r))))
                                                for r in ranks]), rel=1e-12)
    gkv = PoincareKeyedVectors(x.shape[1], 0, dtype=np.float64)
    gkv.add_vectors(keys, x)
    expected = ReconstructionEvaluation(str(path), gkv).evaluate()
    assert (got["mean_rank"], got["MAP"]) == pytest.approx((expected["mean_rank"], expected["MAP"]), abs=5e-5)


def _edited(x, row, value):
    x = x.copy()
    x[row] = value
    return x


@pytest.mark.parametrize("edit, error, match", [
    (lambda x, c, s, p: (x[:-1], c, s, p), ValueError, "shape"),
    (lambda x, c, s, p: (x[:, :2], c, s, p), ValueError, "shape"),
    (lambda x, c, s, p: (_edited(x, 3, x[3] * (1 + 1e-4)), c, s, p), ValueError, "vector 3 is not"),
    (lambda x, c, s, p: (_edited(x, 2, np.nan), c, s, p), ValueError, "vector 2"),
    (lambda x, c, s, p: (x.astype(np.complex128), c, s, p), TypeError, None),
    (lambda x, c, s, p: (x, c, s[:-1], p), ValueError, "final end"),
    (lambda x, c, s, p: (x, c, s + 1, p), ValueError, "begin at 0"),
    (lambda x, c, s, p: (x, c, np.array([0, 3, 1, 5]), p), ValueError, "decrease"),
    (lambda x, c, s, p: (x, c, s, p[:-1]), ValueError, "end at"),
    (lambda x, c, s, p: (x, c, s, np.array([1, 4, 2, 1, 2])), ValueError, "row 0 must be ascending and distinct"),
    (lambda x, c, s, p: (x, c, np.array([0, 3, 3, 5]), np.array([1, 2, 4, 3, 3])), ValueError, "row 2 must be"),
    (lambda x, c, s, p: (x, c, s, np.array([1, 2, 4, 2, 6])), IndexError, "id 6"),
    (lambda x, c, s, p: (x, np.array([0, -1, 3]), s, p), IndexError, "id -1"),
    (lambda x, c, s, p: (x, c[:, None], s, p), ValueError, "one-dimensional"),
    (lambda x, c, s, p: (x, c, s, p.astype(np.float64)), TypeError, None),
])
def test_rank_counts_refuses_bad_arrays(edit, error, match):
    keys, x = _arrays()
    engine = KeyedIndex.from_arrays(keys, x).index._engine
    good = (x, np.array([0, 1, 3]), np.array([0, 3, 4, 5]), np.array([1, 2, 4, 2, 2]))
    assert [len(a) for a in engine.rank_counts(*good, 1)] == [5, 5]
    with pytest.raises(error, match=match):
        engine.rank_counts(*edit(*good), 1)
    with pytest.raises(ValueError, match="num_threads"):
        engine.rank_counts(*good, -1)
    with pytest.raises(ValueError, match="poincare"):
        Index(3, "euclidean")._engine.rank_counts(*good, 1)


def test_graph_reconstruction_bounds_the_exact_figures(trained):
    _, kv = trained
    exact = kv.evaluate_reconstruction(HYPERNYMS)
    wide = kv.evaluate_reconstruction(HYPERNYMS, exact=False, ef=len(kv))
    assert wide["positives_outside"] == 0 and wide["positives"] == 95
    assert (wide["mean_rank"], wide["MAP"]) == pytest.approx((exact["mean_rank"], exact["MAP"]), abs=1e-12)
    narrow = kv.evaluate_reconstruction(HYPERNYMS, exact=False, ef=3)
    assert narrow["positives_outside"] > 0
    assert narrow["mean_rank"] <= exact["mean_rank"] and narrow["MAP"] >= exact["MAP"]


def test_relations_as_pairs_equal_the_file_and_repeat_freely(trained, tmp_path):
    _, kv = trained
    pairs = list(PoincareRelations(str(HYPERNYMS)))
    expected = kv.evaluate_reconstruction(HYPERNYMS)
    assert kv.evaluate_reconstruction(pairs + pairs[:10]) == expected
    messy = tmp_path / "messy.tsv"
    messy.write_text("\n".join(f"{a}\t{b}" for a, b in pairs[::-1] + pairs[:5]) + "\n\n")
    assert kv.evaluate_reconstruction(messy) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("relations, error", [
    ([("kangaroo.n.01", "no_such.n.01")], KeyError),
    ([("kangaroo.n.01", "mammal.n.01", "animal.n.01")], ValueError),
    (["kangaroo.n.01"], ValueError),
    ([], ValueError),
])
def test_bad_relations(trained, relations, error):
    with pytest.raises(error):
        trained[1].evaluate_reconstruction(relations)


@pytest.mark.parametrize("text, line", [
    ("kangaroo.n.01\tmammal.n.01\nkangaroo.n.01\tmammal.n.01\textra\n", 2),
    ("kangaroo.n.01\tmammal.n.01\n\nkangaroo.n.01\n", 3),
    ("kangaroo.n.01\n\tmammal.n.01\tkangaroo.n.01\n", 1),  # as many tabs as lines, two on one
    ('"kangaroo.n.01"\tmammal.n.01\n"a\tb"\n', 2),
])
def test_relations_file_with_other_field_counts_names_the_line(trained, tmp_path, text, line):
    path = tmp_path / "bad.tsv"
    path.write_text(text)
    with pytest.raises(ValueError, match=f"line {line}:"):
        trained[1].evaluate_reconstruction(path)


def test_relations_file_is_read_as_csv_reads_it(trained, tmp_path):
    # Quoted fields (a quoted tab and quote marks that csv takes away), CRLF and blank lines.
    _, kv = trained
    pairs = list(PoincareRelations(str(HYPERNYMS)))
    path = tmp_path / "quoted.tsv"
    with open(path, "w", newline="") as f:
        f.write('"' + pairs[0][0] + '"\t' + pairs[0][1] + "\r\n\r\n")
        f.write("".join(f"{a}\t{b}\r\n" for a, b in pairs[1:]))
    assert kv.evaluate_reconstruction(path) == kv.evaluate_reconstruction(pairs)
    path.write_text('"a\tb"\tmammal.n.01\n')
    with pytest.raises(KeyError) as refused:
        kv.evaluate_reconstruction(path)
    assert refused.value.args[0] == "relation 0: key 'a\\tb' not present"


# ---- queries against gensim -----------------------------------------------------------------------------

def test_most_similar_agrees_with_gensim(trained):
    model, kv = trained
    # gensim keeps the query in its answer when the query's index is 0 (it tests the index for truth).
    for key in model.kv.index_to_key[1:]:
        expected = model.kv.most_similar(key, topn=5)
        for exact in (True, False):
            got = kv.most_similar(key, topn=5, exact=exact, ef=len(kv))
            assert [k for k, _ in got] == [k for k, _ in expected], key
            np.testing.assert_allclose([d for _, d in got], [d for _, d in expected], rtol=1e-12, atol=1e-12)


def test_most_similar_to_a_vector_and_of_everything(trained):
    model, kv = trained
    q = model.kv.vectors[7] * 0.5
    assert [k for k, _ in kv.most_similar(q, topn=8, exact=True)] == [k for k, _ in model.kv.most_similar(q, topn=8)]
    every = kv.most_similar("mammal.n.01", topn=None)
    assert len(every) == len(kv) - 1 and "mammal.n.01" not in dict(every)
    assert [d for _, d in every] == sorted(d for _, d in every)
    assert kv.most_similar("mammal.n.01", topn=0) == []


def test_closest_child_and_parent_agree_with_gensim(trained):
    model, kv = trained
    for key in model.kv.index_to_key:
        for exact in (True, False):
            assert kv.closest_child(key, exact=exact) == model.kv.closest_child(key), key
            assert kv.closest_parent(key, exact=exact) == model.kv.closest_parent(key), key


def test_distance_and_norm_are_gensim_s(trained):
    model, kv = trained
    for a, b in [("kangaroo.n.01", "mammal.n.01"), ("mammal.n.01", "mammal.n.01")]:
        assert kv.distance(a, b) == pytest.approx(model.kv.distance(a, b), rel=1e-12, abs=1e-12)
        assert kv.norm(a) == pytest.approx(model.kv.norm(a), rel=1e-14)


@pytest.mark.parametrize("call", [
    lambda kv: kv.most_similar("no_such.n.01"),
    lambda kv: kv.distance("mammal.n.01", "no_such.n.01"),
    lambda kv: kv.closest_child("no_such.n.01"),
    lambda kv: kv.closest_parent("no_such.n.01"),
    lambda kv: kv.norm("no_such.n.01"),
    lambda kv: kv["no_such.n.01"],
])
def test_unknown_keys_are_key_errors(trained, call):
    with pytest.raises(KeyError, match="no_such"):
        call(trained[1])


@pytest.mark.parametrize("query", [np.zeros(3), np.full(10, 0.5), np.full(2, np.nan), 5])
def test_bad_query_vectors(trained, query):
    kv = trained[1]
    if isinstance(query, np.ndarray) and query.shape == (kv.dim,) and not np.isnan(query).any():
        query = np.full(kv.dim, 0.9)  # outside the ball in both dimensions
    with pytest.raises((ValueError, TypeError)):
        kv.most_similar(query)


# ---- construction ---------------------------------------------------------------------------------------

def _arrays(n=6, dim=3):
    rng = np.random.default_rng(0)
    return [f"k{i}" for i in range(n)], rng.uniform(-0.3, 0.3, size=(n, dim))


@pytest.mark.parametrize("edit, error, named", [
    (lambda k, x: (k[:4] + ["k1", "k2"], x), ValueError, "'k1', 'k2'"),
    (lambda k, x: (k, np.vstack([x[:5], [[0.6, 0.6, 0.6]]])), ValueError, "'k5'"),
    (lambda k, x: (k, np.vstack([x[:5], [[1.0, 0.0, 0.0]]])), ValueError, "'k5'"),
    (lambda k, x: (k, np.vstack([[[np.nan, 0, 0]], x[1:]])), ValueError, "'k0'"),
    (lambda k, x: (k, x[:5]), ValueError, "shape"),
    (lambda k, x: (k[:5] + [5], x), TypeError, "key 5"),
    (lambda k, x: ("abcdef", x), TypeError, "string"),
])
def test_construction_refusals_name_the_culprits(edit, error, named):
    keys, x = edit(*_arrays())
    with pytest.raises(error, match=named):
        KeyedIndex.from_arrays(keys, x)


def test_float64_vectors_are_kept_and_an_empty_index_answers():
    keys, x = _arrays()
    x[0] = [1 - 1e-12, 0.0, 0.0]  # float32 would round it onto the sphere
    kv = KeyedIndex.from_arrays(keys, x)
    np.testing.assert_array_equal(kv.vectors, x)
    assert kv.norm("k0") == 1 - 1e-12 and np.isfinite(kv.distance("k0", "k1"))
    empty = KeyedIndex.from_arrays([], np.zeros((0, 3)))
    assert len(empty) == 0 and empty.most_similar(np.zeros(3)) == []


def test_from_gensim_takes_a_model_its_vectors_and_saved_files(trained, tmp_path):
    model, kv = trained
    model.save(str(tmp_path / "model"))
    model.kv.save(str(tmp_path / "vectors"))
    for source in (model.kv, tmp_path / "model", str(tmp_path / "vectors")):
        other = KeyedIndex.from_gensim(source)
        assert other.keys == kv.keys and np.array_equal(other.vectors, kv.vectors)
    (tmp_path / "junk").write_bytes(b"not a pickle")
    with pytest.raises(ValueError, match="from_word2vec_text"):
        KeyedIndex.from_gensim(tmp_path / "junk")
    with pytest.raises(TypeError):
        KeyedIndex.from_gensim(object())


# ---- files ---------------------------------------------------------------------------------------------

def test_save_load_round_trip(trained, tmp_path):
    _, kv = trained
    path = tmp_path / "mammals.qlx"
    kv.save(path)
    for copy in (KeyedIndex.load(path), pickle.loads(pickle.dumps(kv))):
        assert copy.keys == kv.keys and np.array_equal(copy.vectors, kv.vectors)
        assert copy.vectors.dtype == np.float64
        for key in kv.keys[:20]:
            assert copy.most_similar(key, 4) == kv.most_similar(key, 4)
        assert copy.evaluate_reconstruction(HYPERNYMS) == kv.evaluate_reconstruction(HYPERNYMS)


def test_load_refuses_damaged_and_foreign_files(trained, tmp_path):
    _, kv = trained
    data = kv.to_bytes()
    flipped = bytearray(data)
    flipped[len(data) // 2] ^= 0x40
    index_file = tmp_path / "plain.qix"
    Index(2, "poincare").save(index_file)
    for name, blob in [("flipped", bytes(flipped)), ("short", data[:-9]), ("empty", b""),
                       ("index", index_file.read_bytes())]:
        (tmp_path / name).write_bytes(blob)
        with pytest.raises(RuntimeError, match="Invalid keyed index file"):
            KeyedIndex.load(tmp_path / name)
    with pytest.raises(RuntimeError, match="Cannot open"):
        KeyedIndex.load(tmp_path / "missing")


def test_word2vec_text_as_gensim_writes_it(trained, tmp_path):
    model, kv = trained
    plain, packed = tmp_path / "vectors.txt", tmp_path / "vectors.txt.gz"
    model.kv.save_word2vec_format(str(plain))
    model.kv.save_word2vec_format(str(packed))
    assert gzip.open(packed).read(2)  # gensim compressed it
    for path in (plain, packed):
        other = KeyedIndex.from_word2vec_text(path)  # gensim writes the keys by count
        assert sorted(other.keys) == sorted(kv.keys)
        order = [kv.get_index(key) for key in other.keys]
        np.testing.assert_array_equal(other.vectors, kv.vectors[order])  # float64 text is read back exactly


def test_word2vec_text_without_header_and_keys_with_spaces(tmp_path):
    path = tmp_path / "v.txt"
    path.write_text("new york 0.1 0.2\nparis -0.3 0.25\n")
    kv = KeyedIndex.from_word2vec_text(path)
    assert kv.keys == ["new york", "paris"]
    np.testing.assert_array_equal(kv["new york"], [0.1, 0.2])


@pytest.mark.parametrize("text, match", [
    ("3 2\na 0.1 0.2\nb 0.1 0.3\n", "announces 3"),
    ("2 2\na 0.1 0.2\nb 0.1\n", "line 3"),
    ("2 2\na 0.1 0.2\nb 0.1 zero\n", "line 3"),
    ("2 2\na 0.1 0.2\na 0.1 0.3\n", "'a' appears twice"),
    ("1 2\na 0.9 0.9\n", "outside the unit sphere"),
    ("", "no vectors"),
])
def test_bad_word2vec_text(tmp_path, text, match):
    path = tmp_path / "v.txt"
    path.write_text(text)
    with pytest.raises(ValueError, match=match):
        KeyedIndex.from_word2vec_text(path)


def test_binary_word2vec_is_refused(trained, tmp_path):
    path = tmp_path / "v.bin"
    trained[0].kv.save_word2vec_format(str(path), binary=True)
    with pytest.raises(ValueError):
        KeyedIndex.from_word2vec_text(path)


# ---- changes ------------------------------------------------------------------------------------------

@pytest.mark.parametrize("model", ["poincare", "lorentz"])
def test_adds_replacements_and_removals_keep_to_a_dict_model(model, tmp_path):
    from quellix.hyperbolic import lorentz_to_poincare, poincare_to_lorentz

    rng = np.random.default_rng(7)

    def points(count):
        x = rng.normal(size=(count, 4))
        x *= rng.uniform(0.1, 0.95, size=(count, 1)) / np.linalg.norm(x, axis=1, keepdims=True)
        return x if model == "poincare" else poincare_to_lorentz(x)

    names = iter(f"k{i}" for i in range(10**6))
    start = [next(names) for _ in range(300)]
    kv = KeyedIndex.from_arrays(start, points(300), model=model, M=8, seed=1)
    truth = dict(zip(start, kv.vectors))
    for step in range(8):
        keys = [next(names) for _ in range(40)] + list(rng.choice(sorted(truth), 20, replace=False))
        values = points(len(keys))
        replace = step % 2 == 1
        kv.add_vectors(keys, values, replace=replace)
        for key, value in zip(keys, values):
            if replace or key not in truth:
                truth[key] = value
        gone = list(rng.choice(sorted(truth), 30, replace=False))
        assert kv.remove(gone + ["never.held"], missing_ok=True) == 30
        for key in gone:
            del truth[key]
        # A refused call changes nothing.
        for refused in (lambda: kv.remove([gone[0]]), lambda: kv.add_vectors(["a", "a"], points(2)),
                        lambda: kv.add_vectors(["a"], points(1)[:, :-1])):
            with pytest.raises((KeyError, ValueError)):
                refused()
        assert kv.keys == list(truth) and np.array_equal(kv.vectors, np.array(list(truth.values())))
        assert len(kv.index) == len(kv) and "a" not in kv and all(key not in kv for key in gone)
    # The answers are gensim's over the live keys alone, exact and through the graph.
    reference = PoincareKeyedVectors(4, 0, dtype=np.float64)
    reference.add_vectors(kv.keys, kv.vectors if model == "poincare" else lorentz_to_poincare(kv.vectors))
    for key in kv.keys[1::25]:  # (gensim keeps the query in its answer when it is key 0)
        expected = [k for k, _ in reference.most_similar(key, topn=5)]
        assert [k for k, _ in kv.most_similar(key, 5, exact=True)] == expected
        assert [k for k, _ in kv.most_similar(key, 5, ef=len(kv))] == expected
    pairs = [(kv.keys[i], kv.keys[j]) for i, j in rng.integers(0, len(kv), size=(200, 2))]
    fresh = KeyedIndex.from_arrays(kv.keys, kv.vectors, model=model, M=8, seed=1)
    assert kv.evaluate_reconstruction(pairs) == fresh.evaluate_reconstruction(pairs)
    # Interrupted part way, an add leaves everything as it was.
    before = (kv.keys, kv.vectors.copy())

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        kv.add_vectors([next(names) for _ in range(500)] + kv.keys[:5], points(505), replace=True, progress=stop)
    assert (kv.keys, len(kv.index)) == (before[0], len(before[0])) and np.array_equal(kv.vectors, before[1])
    kv.save(tmp_path / "changed.qlx")
    for copy in (KeyedIndex.load(tmp_path / "changed.qlx"), pickle.loads(pickle.dumps(kv))):
        assert copy.keys == kv.keys and np.array_equal(copy.vectors, kv.vectors)
        assert copy.most_similar(kv.keys[3], 6) == kv.most_similar(kv.keys[3], 6)
