"""quellix.hyperbolic.GensimIndexer through gensim's own most_similar: Poincaré answers on the mammal
embeddings gensim trains here, cosine answers through gensim's indexer hook against gensim's brute
force, the models it takes, what it refuses, and its file."""

from __future__ import annotations

import pickle
from pathlib import Path

import numpy as np
import pytest

from quellix.hyperbolic import GensimIndexer

gensim = pytest.importorskip("gensim")
from gensim.models import Doc2Vec, FastText, KeyedVectors, Word2Vec  # noqa: E402
from gensim.models.doc2vec import TaggedDocument  # noqa: E402
from gensim.models.poincare import PoincareKeyedVectors, PoincareModel, PoincareRelations  # noqa: E402

HYPERNYMS = Path(gensim.__file__).parent / "test" / "test_data" / "poincare_hypernyms_large.tsv"
SENTENCES = [["cat", "say", "meow"], ["dog", "say", "woof"], ["cow", "say", "moo"]] * 20
# gensim divides by the zero norm of a zero vector in its brute force; the indexer never does.
GENSIM_ZERO_NORM = "ignore:invalid value encountered in divide:RuntimeWarning:gensim\\.models\\.keyedvectors"


@pytest.fixture(scope="module", params=[(2, 300, 3.0), (10, 20, 0.1)], ids=["2d-boundary", "10d"])
def mammals(request) -> PoincareModel:
    dim, epochs, alpha = request.param
    model = PoincareModel(PoincareRelations(str(HYPERNYMS)), size=dim, negative=5, alpha=alpha, seed=dim)
    model.train(epochs=epochs, batch_size=10, print_every=10**9)
    return model


def _clustered_kv(n: int = 3000, dim: int = 24, dtype=np.float32, zero: bool = False) -> KeyedVectors:
    rng = np.random.default_rng(3)
    centres = rng.normal(size=(40, dim))
    x = centres[rng.integers(0, 40, n)] + 0.4 * rng.normal(size=(n, dim))
    if zero:
        x[17] = 0.0  # a key with no direction
    kv = KeyedVectors(dim, dtype=dtype)
    kv.add_vectors([f"w{i}" for i in range(n)], x.astype(dtype))
    return kv


def _through_hook(kv: KeyedVectors, indexer: GensimIndexer, positive, negative=(), topn: int = 10):
    """gensim's answer through the indexer, the input keys left out as gensim's brute force leaves them."""
    given = set(positive) | set(negative)
    found = kv.most_similar(positive=list(positive), negative=list(negative), topn=topn + len(given),
                            indexer=indexer)
    return [pair for pair in found if pair[0] not in given][:topn]


def _assert_same(got, expected, what=None):
    """The same keys in the same order, and gensim's similarities: equal here, and within float32 rounding
    wherever BLAS sums a slice of rows in another order than the whole matrix."""
    assert [k for k, _ in got] == [k for k, _ in expected], what
    np.testing.assert_allclose([s for _, s in got], [s for _, s in expected], rtol=1e-6, atol=1e-7)


# ---- answers equal to gensim's ----------------------------------------------------------------------------

def test_poincare_answers_are_gensim_s(mammals):
    kv = mammals.kv
    for source in (mammals, kv):
        indexer = GensimIndexer(source, seed=0, num_threads=1)
        assert indexer.metric == "poincare" and len(indexer) == len(kv)
        # gensim keeps the query in its answer when the query's index is 0 (it tests the index for truth).
        for key in kv.index_to_key[1:]:
            got, expected = indexer.most_similar(key, 10), kv.most_similar(key, topn=10)
            assert [k for k, _ in got] == [k for k, _ in expected], key
            np.testing.assert_allclose([d for _, d in got], [d for _, d in expected], rtol=1e-12, atol=1e-12)
    q = kv.vectors[5] * 0.5
    assert [k for k, _ in indexer.most_similar(q, 8)] == [k for k, _ in kv.most_similar(q, topn=8)]


@pytest.mark.filterwarnings(GENSIM_ZERO_NORM)
@pytest.mark.parametrize("dtype, zero", [(np.float32, False), (np.float32, True), (np.float64, False)],
                         ids=["float32", "float32-zero-vector", "float64"])
def test_cosine_through_gensims_hook_equals_brute_force(dtype, zero):
    kv = _clustered_kv(dtype=dtype, zero=zero)
    indexer = GensimIndexer(kv, seed=0, num_threads=1)
    assert kv.norms is None  # the caller's model is left as it was
    for key in kv.index_to_key[::3]:
        if key == "w17" and zero:
            continue
        _assert_same(_through_hook(kv, indexer, [key]), kv.most_similar(positive=[key], topn=10), key)
    rng = np.random.default_rng(4)
    for _ in range(100):
        a, b, c = (f"w{i}" for i in rng.choice(np.arange(18, len(kv)), 3, replace=False))
        _assert_same(_through_hook(kv, indexer, [a, b], [c]), kv.most_similar(positive=[a, b], negative=[c], topn=10))
    # Called directly, a vector of any length asks for the direction: the similarities are cosines.
    v = kv.vectors[40].astype(np.float64) * 7.0
    direct = indexer.most_similar(v, 5)
    x = kv.vectors.astype(np.float64)
    norms = np.linalg.norm(x, axis=1) * np.linalg.norm(v)
    ranked = np.divide(x @ v, norms, out=np.full(len(x), -np.inf), where=norms > 0)
    top = np.argsort(-ranked)[:5]
    assert [k for k, _ in direct] == [kv.index_to_key[i] for i in top]
    np.testing.assert_allclose([s for _, s in direct], ranked[top], rtol=1e-5)
    if zero:
        assert "w17" not in {k for k, _ in indexer.most_similar(kv.vectors[18] / np.linalg.norm(kv.vectors[18]),
                                                                len(kv))}


def _word2vec():
    return Word2Vec(SENTENCES, min_count=1, vector_size=8, seed=1, workers=1)


def _fasttext():
    return FastText(SENTENCES, min_count=1, vector_size=8, seed=1, workers=1)


def _doc2vec():
    return Doc2Vec([TaggedDocument(s, [i]) for i, s in enumerate(SENTENCES)], min_count=1, vector_size=8, seed=1,
                   workers=1)


@pytest.mark.parametrize("build, vectors_of, query", [
    (_word2vec, lambda m: m.wv, "cat"),
    (_fasttext, lambda m: m.wv, "cat"),
    (_doc2vec, lambda m: m.dv, 0),  # integer tags, the document vectors as AnnoyIndexer takes them
    (lambda: _word2vec().wv, lambda kv: kv, "dog"),
])
def test_takes_gensim_models_and_their_vectors(build, vectors_of, query):
    model = build()
    kv = vectors_of(model)
    indexer = GensimIndexer(model, seed=0)
    assert indexer.metric == "cosine" and len(indexer) == len(kv)
    _assert_same(_through_hook(kv, indexer, [query], topn=3), kv.most_similar(positive=[query], topn=3))


# ---- refusals ------------------------------------------------------------------------------------------------

def _nan_kv():
    kv = _clustered_kv(n=50)
    kv.vectors[7, 2] = np.nan
    return kv


def _outside_ball():
    kv = PoincareKeyedVectors(2, 0, dtype=np.float64)
    kv.add_vectors(["a", "b"], np.array([[0.1, 0.2], [0.8, 0.8]]))
    return kv


@pytest.mark.parametrize("call, error, match", [
    (lambda: GensimIndexer(object()), TypeError, "not object"),
    (lambda: GensimIndexer(np.zeros((3, 3))), TypeError, "not ndarray"),
    (lambda: GensimIndexer(_nan_kv()), ValueError, "'w7'"),
    (lambda: GensimIndexer(_outside_ball()), ValueError, "'b'"),
    (lambda: GensimIndexer(_clustered_kv(n=50), ef=0), ValueError, "ef"),
    (lambda: GensimIndexer(_clustered_kv(n=50)).most_similar("w1"), TypeError, "positive=\\[key\\]"),
    (lambda: GensimIndexer(_clustered_kv(n=50)).most_similar(np.ones(5)), ValueError, "24 real values"),
    (lambda: GensimIndexer(_clustered_kv(n=50)).most_similar(np.zeros(24)), ValueError, "zero"),
    (lambda: GensimIndexer(_clustered_kv(n=50)).most_similar(np.full(24, np.inf)), ValueError, "infinite"),
    (lambda: GensimIndexer(_clustered_kv(n=50)).most_similar(np.ones(24), -1), ValueError, "topn"),
    (lambda: setattr(GensimIndexer(_clustered_kv(n=50)), "ef", 2.5), TypeError, "ef"),
])
def test_refusals_name_the_culprit(call, error, match):
    with pytest.raises(error, match=match):
        call()


# ---- files -----------------------------------------------------------------------------------------------

@pytest.mark.filterwarnings(GENSIM_ZERO_NORM)
@pytest.mark.parametrize("source", ["cosine-zero-vector", "cosine-float64", "poincare"])
def test_file_and_pickle_round_trip(source, mammals, tmp_path):
    if source == "poincare":
        kv, queries = mammals.kv, mammals.kv.index_to_key[1:30]
    else:
        kv = _clustered_kv(n=400, dtype=np.float64 if source == "cosine-float64" else np.float32, zero=True)
        queries = list(kv.get_normed_vectors()[18:48])
    indexer = GensimIndexer(kv, seed=0, ef=64)
    path = tmp_path / "indexer.qgi"
    indexer.save(path)
    for copy in (GensimIndexer.load(path), pickle.loads(pickle.dumps(indexer))):
        assert (copy.metric, copy.ef, len(copy)) == (indexer.metric, 64, len(indexer))
        for q in queries:
            assert copy.most_similar(q, 7) == indexer.most_similar(q, 7)
    data = path.read_bytes()
    flipped = bytearray(data)
    flipped[len(data) // 2] ^= 0x10
    for blob in (bytes(flipped), data[:-3], b"", indexer.index.to_bytes()):
        (tmp_path / "bad").write_bytes(blob)
        with pytest.raises(RuntimeError, match="Invalid gensim indexer file"):
            GensimIndexer.load(tmp_path / "bad")
