"""The corpora package: WordNet parsing, the tree placement in the Poincaré ball, the LSA gloss
vectors, the build cache and the generated data.

Parser cases are real WordNet 3.0 lines (some with their pointer lists shortened, counts adjusted);
a miniature WordNet directory built from them exercises the builders end to end. Tests on the
installed WordNet are skipped when it is absent.
"""

from __future__ import annotations

import itertools
import math
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import corpora  # noqa: E402
from corpora import cache, generated, glosses, wordnet  # noqa: E402

HAVE_WORDNET = wordnet.wordnet_available()
try:
    import sklearn  # noqa: F401
    HAVE_SKLEARN = True
except ImportError:
    HAVE_SKLEARN = False
needs_wordnet = pytest.mark.skipif(not HAVE_WORDNET, reason="WordNet 3.0 database files not installed")
needs_sklearn = pytest.mark.skipif(not HAVE_SKLEARN, reason="scikit-learn not installed")

LICENCE = [
    "  1 This software and database is being provided to you, the LICENSEE, by  ",
    "  2 Princeton University under the following license.  By obtaining, using  ",
    "  5   ",
]

ENTITY = ("00001740 03 n 01 entity 0 003 ~ 00001930 n 0000 ~ 00002137 n 0000 ~ 04424418 n 0000 | that "
          "which is perceived or known or inferred to have its own distinct existence (living or nonliving)  ")
PHYSICAL = "00001930 03 n 01 physical_entity 0 001 @ 00001740 n 0000 | an entity that has physical existence  "
ABSTRACTION = ("00002137 03 n 02 abstraction 0 abstract_entity 0 001 @ 00001740 n 0000 | a general concept "
               "formed by extracting common features from specific examples  ")
KERNEL = ("05921123 09 n 10 kernel 0 substance 1 core 0 center 0 centre 0 essence 0 gist 0 heart 1 "
          "heart_and_soul 0 inwardness 2 marrow 0 meat 0 nub 0 pith 0 sum 0 nitty-gritty 0 002 @ 00002137 "
          "n 0000 + 02378201 v 0f01 | the choicest or most essential or most vital part of some idea or "
          "experience  ")
CITY = ("08524735 15 n 03 city 0 metropolis 0 urban_center 0 002 @ 00001930 n 0000 + 02865173 a 0201 | a "
        "large and densely populated urban area; may include several independent administrative "
        'districts; "Ancient Troy was a great city"  ')
SPAIN = ("09023321 15 n 03 Spain 0 Kingdom_of_Spain 0 Espana 0 001 @ 00001930 n 0000 | a parliamentary "
         "monarchy in southwestern Europe on the Iberian Peninsula; a former colonial power  ")
LOGRONO = ("09026499 15 n 01 Logrono 0 002 @i 08524735 n 0000 @ 09023321 n 0000 | a city in northern "
           "Spain on the Ebro River  ")
NOUNS = [ENTITY, PHYSICAL, ABSTRACTION, KERNEL, CITY, SPAIN, LOGRONO]
NOUN_INDEX = [
    "  1 This software and database is being provided to you, the LICENSEE, by  ",
    "abstraction n 6 3 @ ~ + 6 4 05854150 00392848 05780104 02669001 05700625 00002137  ",
    "city n 3 4 @ ~ %p + 3 3 08524735 08540903 08226335  ",
    "entity n 1 1 ~ 1 1 00001740  ",
    "kernel n 3 3 @ ~ #p 3 0 13137010 12157056 05921123  ",
    "logrono n 1 1 @ 1 0 09026499  ",
    "physical_entity n 1 2 @ ~ 1 0 00001930  ",
    "spain n 1 7 @ ~ #m #p %m %p - 1 1 09023321  ",
]
NOUN_NAMES = ["entity.n.01", "physical_entity.n.01", "abstraction.n.06", "kernel.n.03", "city.n.01",
              "spain.n.01", "logrono.n.01"]

BOODLE = ("13385216 21 n 13 boodle 0 bread 0 cabbage 0 clams 0 dinero 0 dough 0 gelt 0 kale 0 lettuce 0 "
          "lolly 0 lucre 2 loot 1 moolah 0 pelf 0 scratch 0 shekels 0 simoleons 0 sugar 0 wampum 0 002 @ "
          "13384557 n 0000 + 02276884 v 0302 | informal terms for money  ")
ENLIGHTENMENT = ("08472590 14 n 02 Enlightenment 0 Age_of_Reason 0 002 @ 08473623 n 0000 @i 15254028 n 0000 "
                 "| a movement in Europe from about 1650 until 1800 that advocated the use of reason and "
                 "individualism instead of tradition and established doctrine  ")
HEGIRA = ("00060548 04 n 02 Hegira 1 Hejira 1 001 @i 00058743 n 0000 | the flight of Muhammad from Mecca "
          "to Medina in 622 which marked the beginning of the Muslim era  ")
RESPIRE = ("00002573 29 v 01 respire 2 003 $ 00001740 v 0000 @ 00001740 v 0000 + 03110323 a 0101 01 + 02 00 "
           "| breathe easily again, as after exertion or anxiety  ")
ABOUNDING = ('00014358 00 s 02 abounding 0 galore(ip) 0 001 & 00013887 a 0000 | existing in abundance; '
             '"abounding confidence"; "whiskey galore"  ')
A_CAPPELLA = ('00001740 02 r 01 a_cappella 0 000 | without musical accompaniment; "they performed a '
              'cappella"  ')
AD = ("00001837 02 r 03 AD 0 A.D. 0 anno_Domini 0 000 | in the Christian era; used before dates after the "
      'supposed year Christ was born; "in AD 200"  ')


# --- parsing ------------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "line, offset, lex, pos, n_words, last_word, hyper, inst, primary, gloss_start",
    [
        (ENTITY, 1740, 3, "n", 1, "entity", (), (), None, "that which is perceived"),
        (KERNEL, 5921123, 9, "n", 16, "nitty-gritty", (2137,), (), 2137, "the choicest"),  # w_cnt "10" is 16
        (BOODLE, 13385216, 21, "n", 19, "wampum", (13384557,), (), 13384557, "informal terms"),
        (LOGRONO, 9026499, 15, "n", 1, "Logrono", (9023321,), (8524735,), 8524735, "a city in northern"),
        (ENLIGHTENMENT, 8472590, 14, "n", 2, "Age_of_Reason", (8473623,), (15254028,), 8473623, "a movement"),
        (HEGIRA, 60548, 4, "n", 2, "Hejira", (), (58743,), 58743, "the flight of"),
        (RESPIRE, 2573, 29, "v", 1, "respire", (1740,), (), 1740, "breathe easily"),  # frames follow
        (ABOUNDING, 14358, 0, "s", 2, "galore", (), (), None, "existing in abundance"),  # marker dropped
        (AD, 1837, 2, "r", 3, "anno_Domini", (), (), None, "in the Christian era"),
    ],
)
def test_data_line(line, offset, lex, pos, n_words, last_word, hyper, inst, primary, gloss_start):
    s = wordnet.parse_data_line(line)
    assert (s.offset, s.lex_filenum, s.pos) == (offset, lex, pos)
    assert len(s.words) == n_words and s.words[-1] == last_word
    assert (s.hypernyms, s.instance_hypernyms, s.primary_parent) == (hyper, inst, primary)
    assert s.gloss.startswith(gloss_start) and s.gloss == s.gloss.strip()


def test_licence_header_and_blank_lines_are_skipped():
    assert [s.offset for s in wordnet.parse_data(LICENCE + [ENTITY, "", PHYSICAL])] == [1740, 1930]


@pytest.mark.parametrize("line", [
    PHYSICAL.replace(" 001 @", " 002 @"),  # announces a pointer that is not there
    PHYSICAL.replace(" 001 @", " 000 @"),  # a pointer it does not announce
    KERNEL.replace(" 10 kernel", " 0a kernel"),  # w_cnt too small
    "00001930 03 n 03 physical_entity 0 001 @ 00001740 n 0000 | too few words",
    RESPIRE.replace(" 01 + 02 00", " 02 + 02 00"),  # a verb frame missing
    "0000193x 03 n 01 physical_entity 0 000 | bad offset",
    "00001930 03 q 01 physical_entity 0 000 | unknown part of speech",
])
def test_malformed_data_lines_raise(line):
    with pytest.raises(ValueError, match="malformed WordNet data line"):
        wordnet.parse_data_line(line)


@pytest.mark.parametrize("line, lemma, pos, offsets", [
    (NOUN_INDEX[1], "abstraction", "n", (5854150, 392848, 5780104, 2669001, 5700625, 2137)),
    (NOUN_INDEX[7], "spain", "n", (9023321,)),  # seven pointer symbols, "-" among them
    ("dog n 7 5 @ ~ #m #p %p 7 1 02084071 10114209 10023039 09886220 07676602 03901548 02710044  ", "dog", "n",
     (2084071, 10114209, 10023039, 9886220, 7676602, 3901548, 2710044)),
    ("a_cappella r 1 0 1 0 00001740  ", "a_cappella", "r", (1740,)),  # no pointer symbols
])
def test_index_line(line, lemma, pos, offsets):
    assert wordnet.parse_index_line(line) == (lemma, pos, offsets)


def test_index_header_and_short_lines():
    assert wordnet.parse_index_line(NOUN_INDEX[0]) is None
    with pytest.raises(ValueError, match="malformed WordNet index line"):
        wordnet.parse_index_line("city n 3 4 @ ~ %p + 3 3 08524735 08540903  ")


def test_synset_names_follow_index_sense_order():
    senses = wordnet.parse_index(NOUN_INDEX)
    assert [wordnet.synset_name(s, senses) for s in wordnet.parse_data(NOUNS)] == NOUN_NAMES
    # satellites are numbered among the adjective senses, verbs and adverbs in their own index
    other = wordnet.parse_index(["abounding a 1 1 & 1 1 00014358  ", "galore a 2 1 & 2 0 01552162 00014358  ",
                                 "respire v 3 5 @ ~ * $ + 3 0 00002573 00002325 00001740  ",
                                 "ad r 1 0 1 0 00001837  "])
    assert [wordnet.synset_name(wordnet.parse_data_line(x), other) for x in (ABOUNDING, RESPIRE, AD)] == [
        "abounding.s.01", "respire.v.01", "ad.r.01"]
    with pytest.raises(ValueError, match="no sense"):
        wordnet.synset_name(wordnet.parse_data_line(A_CAPPELLA), other)


# --- a miniature WordNet directory ----------------------------------------------------------------

def write_wordnet(root: Path, nouns=NOUNS) -> Path:
    files = {
        "data.noun": LICENCE + nouns, "index.noun": NOUN_INDEX,
        "data.verb": LICENCE + [RESPIRE], "index.verb": ["respire v 3 5 @ ~ * $ + 3 0 00002573 00002325 00001740  "],
        "data.adj": LICENCE + [ABOUNDING], "index.adj": ["abounding a 1 1 & 1 1 00014358  "],
        "data.adv": LICENCE + [A_CAPPELLA, AD], "index.adv": ["a_cappella r 1 0 1 0 00001740  ",
                                                              "ad r 1 0 1 0 00001837  "],
    }
    root.mkdir(parents=True, exist_ok=True)
    for name, lines in files.items():
        (root / name).write_text("\n".join(lines) + "\n")
    return root


def test_missing_wordnet_is_reported(tmp_path):
    assert wordnet.find_wordnet(tmp_path) is None and not corpora.wordnet_available(tmp_path)
    write_wordnet(tmp_path / "partial")
    (tmp_path / "partial" / "index.adv").unlink()
    assert wordnet.find_wordnet(tmp_path / "partial") is None
    for build in (corpora.noun_hierarchy, corpora.gloss_vectors):
        with pytest.raises(corpora.WordNetNotFound):
            build(wordnet_dir=tmp_path, cache_dir=None)
    assert issubclass(corpora.WordNetNotFound, FileNotFoundError)
    assert list(tmp_path.iterdir()) == [tmp_path / "partial"]


def test_noun_hierarchy_of_a_miniature_wordnet(tmp_path):
    wn = write_wordnet(tmp_path / "wn")
    h = corpora.noun_hierarchy(dim=8, wordnet_dir=wn, cache_dir=None)
    assert h.names == NOUN_NAMES and h.points.shape == (7, 8) and h.points.dtype == np.float32
    parent_names = [None if p < 0 else h.names[p] for p in h.parent]
    assert parent_names == [None, "entity.n.01", "entity.n.01", "abstraction.n.06", "physical_entity.n.01",
                            "physical_entity.n.01", "city.n.01"]  # Logrono: instance of city, listed first
    assert h.depth.tolist() == [0, 1, 1, 2, 2, 2, 3]
    assert [h.names[i] for i in h.ancestors(h.id("logrono.n.01"))] == ["city.n.01", "physical_entity.n.01",
                                                                       "entity.n.01"]
    assert h.masks.dtype == np.uint64 and h.masks.tolist() == [1, 1, 1, 1 << 6, 1 << 12, 1 << 12, 1 << 12]
    assert (h.mask_names[0], h.mask_names[6], h.mask_names[12], len(h.mask_names)) == (
        "noun.Tops", "noun.cognition", "noun.location", 26)
    assert h.mask_bit("noun.location") == 12
    assert h.glosses[6] == "a city in northern Spain on the Ebro River"
    assert h.offsets.tolist() == [1740, 1930, 2137, 5921123, 8524735, 9023321, 9026499]
    assert not h.points[0].any()
    sq = (h.points.astype(np.float64) ** 2).sum(1)
    assert sq.max() == pytest.approx(wordnet.DEFAULT_MAX_SQ_NORM, abs=1e-6)


def test_builds_are_cached_and_keyed_by_source(tmp_path):
    wn = write_wordnet(tmp_path / "wn")
    store = tmp_path / "cache"
    first = corpora.noun_hierarchy(dim=8, wordnet_dir=wn, cache_dir=store)
    again = corpora.noun_hierarchy(dim=8, wordnet_dir=wn, cache_dir=store)
    assert len(list(store.glob("*.npz"))) == 1 and not list(store.glob("*.tmp"))
    assert again.points.tobytes() == first.points.tobytes() and again.names == first.names
    corpora.noun_hierarchy(dim=4, wordnet_dir=wn, cache_dir=store)
    assert len(list(store.glob("*.npz"))) == 2
    # an edited data file is a different source: a new build, not the stored one
    write_wordnet(wn, NOUNS[:-1] + [LOGRONO.replace("Ebro River", "river Ebro")])
    edited = corpora.noun_hierarchy(dim=8, wordnet_dir=wn, cache_dir=store)
    assert edited.glosses[-1] == "a city in northern Spain on the river Ebro"
    assert len(list(store.glob("*.npz"))) == 3


@needs_sklearn
def test_gloss_vectors_of_a_miniature_wordnet(tmp_path):
    wn = write_wordnet(tmp_path / "wn")
    unit = corpora.gloss_vectors(dim=3, wordnet_dir=wn, cache_dir=tmp_path / "cache")
    raw = corpora.gloss_vectors(normalize=False, dim=3, wordnet_dir=wn, cache_dir=tmp_path / "cache")
    assert len(list((tmp_path / "cache").glob("*.npz"))) == 1  # one build serves both forms
    assert unit.names == raw.names and set(unit.names) <= set(NOUN_NAMES) | {
        "respire.v.01", "abounding.s.01", "a_cappella.r.01", "ad.r.01"}
    order = {"n": 0, "v": 1, "s": 2, "a": 2, "r": 3}
    assert [order[p] for p in unit.pos] == sorted(order[p] for p in unit.pos)
    assert [n.split(".")[1] for n in unit.names] == unit.pos.tolist()
    assert unit.vectors.dtype == np.float32 and unit.vectors.shape == (len(unit), 3)
    norms = np.linalg.norm(raw.vectors.astype(np.float64), axis=1)
    assert norms.min() > glosses.MIN_NORM
    np.testing.assert_allclose(np.linalg.norm(unit.vectors.astype(np.float64), axis=1), 1.0, rtol=1e-6)
    np.testing.assert_allclose(unit.vectors, raw.vectors / norms[:, None], rtol=1e-5, atol=1e-6)


# --- placement ------------------------------------------------------------------------------------

def random_tree(n, seed):
    rng = np.random.default_rng(seed)
    return np.array([-1] + [int(rng.integers(i)) for i in range(1, n)], dtype=np.int32)


TREES = {
    "random": random_tree(2000, 1),  # depth about 20, uneven fan-out
    "chain": np.arange(-1, 24, dtype=np.int32),  # one node per level
    "star": np.array([-1] + [0] * 300, dtype=np.int32),
    "forest": np.array([-1, -1, 0, 1, 2, 3, 4, 4], dtype=np.int32),
}


def poincare64(u, v):
    u = u.astype(np.float64)
    v = v.astype(np.float64)
    num = 2.0 * ((u - v) ** 2).sum(-1)
    return np.arccosh(1.0 + num / ((1.0 - (u * u).sum(-1)) * (1.0 - (v * v).sum(-1))))


@pytest.mark.parametrize("tree", TREES)
@pytest.mark.parametrize("dim, max_sq_norm", [(2, 0.5), (8, 0.99), (32, 0.99), (32, 0.9949)])
def test_placement_stays_inside_with_equal_steps(tree, dim, max_sq_norm):
    parent = TREES[tree]
    points, depth, step = corpora.place_tree(parent, dim=dim, max_sq_norm=max_sq_norm)
    assert points.dtype == np.float32 and points.shape == (len(parent), dim) and points.flags.c_contiguous
    sq32 = np.einsum("ij,ij->i", points, points)  # float32, as the index sees it
    assert sq32.max() < wordnet.WALK_LIMIT_SQ_NORM
    sq = (points.astype(np.float64) ** 2).sum(1)
    assert sq.max() <= max_sq_norm * (1 + 1e-6) and sq[depth == depth.max()].min() >= max_sq_norm * (1 - 1e-6)
    assert not points[parent < 0].any()  # roots at the origin
    has = parent >= 0
    assert (depth[has] == depth[parent[has]] + 1).all()
    assert (sq[has] > sq[parent[has]]).all()  # children strictly farther out
    # geodesic distance from the origin is depth * step
    origin = np.zeros(dim, dtype=np.float32)
    np.testing.assert_allclose(poincare64(points, origin), depth * step, rtol=2e-5, atol=1e-6)
    assert step == pytest.approx(2 * math.atanh(math.sqrt(max_sq_norm)) / depth.max())


def test_subtrees_form_cones():
    parent = TREES["random"]
    points, depth, _ = corpora.place_tree(parent, dim=32)
    # every node is nearer its own parent than any other node of the parent's level
    for i in np.flatnonzero(depth >= 2):
        level = np.flatnonzero(depth == depth[i] - 1)
        assert level[np.argmin(poincare64(points[level], points[i]))] == parent[i]
    # siblings are distinct points, and no two children sit at exactly the same distance from a parent
    d = poincare64(points[1:], points[parent[1:]])
    assert len(np.unique(points, axis=0)) == len(points) and len(np.unique(d)) == len(d)


def test_placement_is_deterministic():
    parent = TREES["random"]
    a = corpora.place_tree(parent, dim=16, seed=3)[0]
    assert corpora.place_tree(parent, dim=16, seed=3)[0].tobytes() == a.tobytes()
    assert corpora.place_tree(parent, dim=16, seed=4)[0].tobytes() != a.tobytes()


@pytest.mark.parametrize("kwargs, message", [
    ({"parent": [1, 0]}, "cycle"),
    ({"parent": [-1, 2, 1]}, "cycle"),
    ({"parent": [-1, 5]}, r"\[-1, n\)"),
    ({"parent": [-1, 0], "max_sq_norm": 1.0}, "max_sq_norm"),
    ({"parent": [-1, 0, 1], "step": 3.0}, "beyond"),
    ({"parent": [-1, 0], "dim": 1}, "dim"),
])
def test_placement_refuses(kwargs, message):
    with pytest.raises(ValueError, match=message):
        corpora.place_tree(**kwargs)


def test_explicit_step_within_bound():
    points, depth, step = corpora.place_tree(np.arange(-1, 4), dim=4, step=0.5)
    assert step == 0.5
    np.testing.assert_allclose(np.linalg.norm(points.astype(np.float64), axis=1), np.tanh(0.25 * depth), rtol=1e-6)


def test_closure_of_a_miniature_wordnet(tmp_path):
    wn = write_wordnet(tmp_path / "wn")
    names, pairs = corpora.mammal_closure("physical_entity.n.01", wordnet_dir=wn)
    assert names == ["physical_entity.n.01", "city.n.01", "spain.n.01", "logrono.n.01"]
    # Logrono sits under both parents, one of them through an instance link; entity lies outside the root
    assert pairs == [(n, n) for n in names[:1]] + [("city.n.01", "city.n.01"), ("city.n.01", names[0]),
                                                  ("spain.n.01", "spain.n.01"), ("spain.n.01", names[0]),
                                                  ("logrono.n.01", "logrono.n.01"), ("logrono.n.01", names[0]),
                                                  ("logrono.n.01", "city.n.01"), ("logrono.n.01", "spain.n.01")]
    assert corpora.mammal_closure("physical_entity.n.01", wordnet_dir=wn, reflexive=False)[1] == [
        (a, b) for a, b in pairs if a != b]


def test_trained_closure_is_cached(tmp_path):
    pytest.importorskip("gensim")
    wn = write_wordnet(tmp_path / "wn")
    store = tmp_path / "cache"
    args = dict(root="entity.n.01", wordnet_dir=wn, cache_dir=store, epochs=2, size=3, negative=1)
    first = corpora.trained_mammals(**args)
    again = corpora.trained_mammals(**args)
    assert not first.cached and again.cached and len(list(store.glob("*.npz"))) == 1
    assert again.keys == first.keys and again.vectors.tobytes() == first.vectors.tobytes()
    assert sorted(first.keys) == sorted({a for a, _ in first.pairs}) and first.vectors.shape == (7, 3)
    assert first.vectors.dtype == np.float64 and again.train_seconds == first.train_seconds


# --- installed WordNet ------------------------------------------------------------------------------

@needs_wordnet
def test_wordnet_nouns(tmp_path):
    h = corpora.noun_hierarchy(cache_dir=tmp_path)
    assert len(h) == 82115 and len(h.ids) == len(h) and h.dim == wordnet.DEFAULT_DIM
    assert h.names[0] == "entity.n.01" and np.flatnonzero(h.parent < 0).tolist() == [0]
    sq32 = np.einsum("ij,ij->i", h.points, h.points)
    assert sq32.max() < wordnet.WALK_LIMIT_SQ_NORM and h.depth.max() == 19
    sq = (h.points.astype(np.float64) ** 2).sum(1)
    has = h.parent >= 0
    assert (sq[has] > sq[h.parent[has]]).all()
    dog = h.id("dog.n.01")
    assert h.offsets[dog] == 2084071 and h.glosses[dog].startswith("a member of the genus Canis")
    assert {"canine.n.02", "mammal.n.01", "animal.n.01", "entity.n.01"} <= {h.names[a] for a in h.ancestors(dog)}
    assert h.masks[dog] == 1 << h.mask_bit("noun.animal")
    assert h.masks[h.id("oak.n.02")] == 1 << h.mask_bit("noun.plant")
    assert (np.bitwise_count(h.masks) == 1).all()
    # cones: for nearly every synset the nearest synset one level up is its own parent
    sample = np.random.default_rng(0).choice(np.flatnonzero(h.depth >= 2), 300, replace=False)
    own = [h.parent[i] == (lvl := np.flatnonzero(h.depth == h.depth[i] - 1))[np.argmin(
        poincare64(h.points[lvl], h.points[i]))] for i in sample]
    assert np.mean(own) >= 0.98
    # rebuilt from the same tree: the same bytes; read back from the cache: the same again
    assert corpora.place_tree(h.parent, dim=h.dim)[0].tobytes() == h.points.tobytes()
    again = corpora.noun_hierarchy(cache_dir=tmp_path)
    assert again.points.tobytes() == h.points.tobytes() and again.names == h.names


@needs_wordnet
@needs_sklearn
def test_lsa_of_real_glosses_is_deterministic():
    with open(wordnet.find_wordnet() / "data.noun") as f:
        synsets = wordnet.parse_data(itertools.islice(f, 1529))  # the licence, then 1500 synsets
    texts = [glosses.document(s.words, s.gloss) for s in synsets]
    a = glosses.lsa(texts, dim=24)
    assert a.shape == (1500, 24) and a.dtype == np.float32
    assert glosses.lsa(texts, dim=24).tobytes() == a.tobytes()
    unit = glosses.normalize_rows(a)
    norms = np.linalg.norm(a.astype(np.float64), axis=1)
    assert unit.dtype == np.float32 and not unit[norms == 0].any()
    np.testing.assert_allclose(np.linalg.norm(unit[norms > 0].astype(np.float64), axis=1), 1.0, rtol=1e-6)


# --- cache ------------------------------------------------------------------------------------------

def test_load_or_build(tmp_path):
    calls = []

    def build():
        calls.append(1)
        return {"x": np.arange(5, dtype=np.float32), "s": np.float64(2.5)}

    assert cache.load_or_build("t", {"a": 1}, build, None)["x"].tolist() == [0, 1, 2, 3, 4]
    assert not list(tmp_path.iterdir())
    for _ in range(2):
        out = cache.load_or_build("t", {"a": 1}, build, tmp_path / "c")
    assert len(calls) == 2 and out["x"].dtype == np.float32 and out["s"] == 2.5
    cache.load_or_build("t", {"a": 2}, build, tmp_path / "c")
    assert len(calls) == 3
    # a damaged file is rebuilt and replaced
    (path,) = [p for p in (tmp_path / "c").iterdir() if p.name.startswith(cache.key("t", {"a": 1}))]
    path.write_bytes(b"PK\x03\x04 not a zip")
    assert cache.load_or_build("t", {"a": 1}, build, tmp_path / "c")["x"].tolist() == [0, 1, 2, 3, 4]
    assert len(calls) == 4
    assert cache.load_or_build("t", {"a": 1}, build, tmp_path / "c")["x"].size == 5 and len(calls) == 4
    assert sorted(p.suffix for p in (tmp_path / "c").iterdir()) == [".npz", ".npz"]
    # a cache directory that cannot be created: the data still comes back
    (tmp_path / "file").write_text("")
    assert cache.load_or_build("t", {"a": 1}, build, tmp_path / "file" / "c")["x"].size == 5
    assert len(calls) == 5


@pytest.mark.parametrize("strings", [[], [""], ["dog.n.01", "", "Espa\u00f1a \u2014 \u00e9t\u00e9", "x" * 5000]])
def test_pack_strings_round_trip(strings):
    blob, ends = cache.pack_strings(strings)
    assert blob.dtype == np.uint8 and ends.dtype == np.int64
    assert cache.unpack_strings(blob, ends) == strings


# --- generated data ---------------------------------------------------------------------------------

def test_generated_hierarchy():
    points, depth, branch = corpora.make_hierarchy(600, np.random.default_rng(7))
    h = corpora.generated_hierarchy(600)
    assert h.points.tobytes() == points.tobytes() and h.depth.tolist() == depth.tolist()
    assert points.dtype == np.float32 and points.shape == (600, generated.DIM)
    has = h.parent >= 0
    assert h.parent[0] == -1 and has[1:].all()
    assert (depth[1:] == depth[h.parent[1:]] + 1).all() and depth.max() == generated.MAX_DEPTH
    assert (branch[1:] >= 0).all() and (branch[h.parent[9:]] == branch[9:]).all()
    assert h.masks[0] == 0 and (h.masks[1:] == np.left_shift(1, branch[1:]).astype(np.uint64)).all()
    sq = (points.astype(np.float64) ** 2).sum(1)
    assert sq.max() < wordnet.WALK_LIMIT_SQ_NORM and (sq[1:] > sq[h.parent[1:]]).all()
    np.testing.assert_allclose(poincare64(points, np.zeros(generated.DIM)), depth * h.step, rtol=2e-5)


def test_gaussian_clusters():
    base, queries, base_labels, query_labels = corpora.gaussian_clusters(3000, 50, dim=64, n_clusters=5,
                                                                         labels=True)
    assert base.shape == (3000, 64) and queries.shape == (50, 64)
    assert base.dtype == queries.dtype == np.float32 and base.flags.c_contiguous
    again = corpora.gaussian_clusters(3000, 50, dim=64, n_clusters=5)
    assert again[0].tobytes() == base.tobytes() and again[1].tobytes() == queries.tobytes()
    # each point lies nearest the mean of its own cluster
    means = np.stack([base[base_labels == c].mean(0) for c in range(5)])
    for pts, lab in ((base, base_labels), (queries, query_labels)):
        assert (np.argmin(((pts[:, None, :] - means[None]) ** 2).sum(-1), axis=1) == lab).all()


@needs_wordnet
def test_wordnet_mammal_closure():
    names, pairs = corpora.mammal_closure()
    assert len(names) == 1182 and "mammal.n.01" in names and len(pairs) == 7724
    assert sum(a == b for a, b in pairs) == 1182
    assert {("dog.n.01", "canine.n.02"), ("dog.n.01", "mammal.n.01")} <= set(pairs)
    assert not any(b == "animal.n.01" for _, b in pairs)
