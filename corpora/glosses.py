"""WordNet's glosses as dense float32 vectors: TF-IDF, then a 128-dimensional LSA projection.

Every synset of all four data files (117,659 in WordNet 3.0) becomes one document: its words
(underscores read as spaces) followed by its gloss, definition and examples. The words are part of
the text because many glosses never name what they define, and two synsets sharing a word are
usually related. TF-IDF keeps alphabetic tokens of two or more letters, drops English stop words,
words in fewer than 2 documents and words in more than half of them, and uses sublinear term
frequency. TruncatedSVD (randomized, 7 power iterations, fixed random_state) projects onto 128
components; sklearn fixes the signs of the components, so the output is reproducible.

Two forms, both float32:
- normalised (`normalize=True`, for the cosine metric): every row divided by its Euclidean norm.
- raw (`normalize=False`, for squared Euclidean): the LSA coordinates U·Σ as they come. On unit
  rows the squared Euclidean distance is 2 − 2·cos, which would only repeat the cosine neighbours;
  the raw rows keep LSA's spread of norms (short glosses lie near the origin), a different and
  more uneven distribution for the Euclidean metric.
Rows of norm at most 1e-6 are left out (46 synsets: texts that keep no token, or whose only kept
token lies outside the 128 components, e.g. three synsets glossed "one of the three Furies"); their
direction would be rounding noise. `names` lists the rows kept.
The raw rows are cached; the normalised form is computed from them in float64 and rounded once.
"""

from __future__ import annotations

import os
import time
from dataclasses import dataclass, field
from typing import Sequence

import numpy as np

from . import cache
from .wordnet import POS_FILES, read_synsets, require_wordnet, source_files

DEFAULT_DIM = 128
SEED = 0
TFIDF = dict(lowercase=True, token_pattern=r"(?u)\b[a-zA-Z][a-zA-Z]+\b", stop_words="english",
             min_df=2, max_df=0.5, sublinear_tf=True, dtype=np.float64)
SVD_ITERATIONS = 7
MIN_NORM = 1e-6  # rows shorter than this carry no LSA signal, only rounding noise


@dataclass
class GlossVectors:
    vectors: np.ndarray  # (n, dim) float32
    names: list[str]  # "dog.n.01", "run.v.01", "good.a.01", "ablaze.s.01", "well.r.01", ...
    pos: np.ndarray  # (n,) "<U1": n, v, a, s or r
    glosses: list[str]
    seconds: float = 0.0  # time spent building, parsing included (0 when read from the cache)
    ids: dict[str, int] = field(init=False, repr=False)

    def __post_init__(self) -> None:
        self.ids = {name: i for i, name in enumerate(self.names)}

    def __len__(self) -> int:
        return len(self.names)

    def id(self, name: str) -> int:
        return self.ids[name]


def lsa(texts: Sequence[str], dim: int = DEFAULT_DIM, seed: int = SEED) -> np.ndarray:
    """Raw LSA coordinates (float32, len(texts) × dim) of the documents, TF-IDF then TruncatedSVD."""
    from sklearn.decomposition import TruncatedSVD
    from sklearn.feature_extraction.text import TfidfVectorizer

    tfidf = TfidfVectorizer(**TFIDF).fit_transform(texts)
    svd = TruncatedSVD(n_components=dim, algorithm="randomized", n_iter=SVD_ITERATIONS, random_state=seed)
    return svd.fit_transform(tfidf).astype(np.float32)


def normalize_rows(x: np.ndarray) -> np.ndarray:
    """Rows scaled to unit length, computed in float64 and rounded once to float32; zero rows stay zero."""
    x64 = x.astype(np.float64)
    norms = np.sqrt(np.einsum("ij,ij->i", x64, x64))[:, None]
    return np.divide(x64, norms, out=np.zeros_like(x64), where=norms > 0).astype(np.float32)


def document(words: Sequence[str], gloss: str) -> str:
    return " ".join(w.replace("_", " ") for w in words) + " ; " + gloss


def _build(wn, dim: int, seed: int) -> cache.Arrays:
    names, pos, glosses, texts = [], [], [], []
    for p in POS_FILES:
        synsets, part_names = read_synsets(p, wn)
        names += part_names
        pos += [s.pos for s in synsets]
        glosses += [s.gloss for s in synsets]
        texts += [document(s.words, s.gloss) for s in synsets]
    raw = lsa(texts, dim, seed)
    raw64 = raw.astype(np.float64)
    keep = np.flatnonzero(np.sqrt(np.einsum("ij,ij->i", raw64, raw64)) > MIN_NORM)
    name_blob, name_ends = cache.pack_strings(names[i] for i in keep)
    gloss_blob, gloss_ends = cache.pack_strings(glosses[i] for i in keep)
    return {"raw": np.ascontiguousarray(raw[keep]), "pos": np.array(pos, dtype="<U1")[keep],
            "name_blob": name_blob, "name_ends": name_ends, "gloss_blob": gloss_blob,
            "gloss_ends": gloss_ends}


def gloss_vectors(normalize: bool = True, dim: int = DEFAULT_DIM, seed: int = SEED,
                  wordnet_dir: str | os.PathLike | None = None,
                  cache_dir: str | os.PathLike | None = cache.DEFAULT_DIR) -> GlossVectors:
    """LSA vectors of all WordNet glosses (module docstring), built once and cached.

    Raises WordNetNotFound when the WordNet files are missing.
    """
    wn = require_wordnet(wordnet_dir)
    params = {"dim": dim, "seed": seed, "tfidf": repr(sorted(TFIDF.items())), "iterations": SVD_ITERATIONS,
              "min_norm": MIN_NORM,
              "source": cache.fingerprint(source_files(wn, POS_FILES))}
    built = []

    def build():
        start = time.perf_counter()
        arrays = _build(wn, dim, seed)
        built.append(time.perf_counter() - start)
        return arrays

    a = cache.load_or_build("wordnet_glosses", params, build, cache_dir)
    vectors = normalize_rows(a["raw"]) if normalize else a["raw"]
    return GlossVectors(vectors=vectors, names=cache.unpack_strings(a["name_blob"], a["name_ends"]),
                        pos=a["pos"], glosses=cache.unpack_strings(a["gloss_blob"], a["gloss_ends"]),
                        seconds=built[0] if built else 0.0)
