"""The WordNet mammal closure, and a Poincaré embedding of it trained by gensim.

`mammal_closure()` reads the installed WordNet: mammal.n.01 and every noun synset below it through
hypernym or instance-hypernym links (1,182 synsets in WordNet 3.0), and the pairs (synset, ancestor)
of the transitive closure inside that set, each synset also paired with itself, as the Poincaré
embedding experiments train on it (7,724 pairs: 6,542 to proper ancestors and 1,182 to themselves).

`trained_mammals()` trains gensim's PoincareModel on those pairs once and keeps the float64 vectors
in the user's cache directory (`user_cache_dir()`, outside any checkout); later calls read them back.
Training needs gensim (`pip install 'quellix[gensim]'`); `GensimMissing` says so.
"""

from __future__ import annotations

import functools
import os
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import cache
from .wordnet import read_synsets, require_wordnet, source_files

ROOT = "mammal.n.01"
# Ten dimensions as in the Poincaré embedding papers' small runs; 100 epochs after gensim's burn-in
# reach a MAP near 0.9 on this closure in under a minute on one core.
TRAINING = {"size": 10, "negative": 10, "epochs": 100, "batch_size": 50, "seed": 0}


class GensimMissing(ImportError):
    """Training the embedding needs gensim."""


def user_cache_dir() -> Path:
    """$QUELLIX_CACHE_DIR, else $XDG_CACHE_HOME/quellix, else ~/.cache/quellix."""
    if os.environ.get("QUELLIX_CACHE_DIR"):
        return Path(os.environ["QUELLIX_CACHE_DIR"])
    base = os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache"
    return Path(base) / "quellix"


def mammal_closure(root: str = ROOT, wordnet_dir: str | os.PathLike | None = None,
                   reflexive: bool = True) -> tuple[list[str], list[tuple[str, str]]]:
    """(synsets, pairs): the synsets at or below `root`, in WordNet's file order, and the closure pairs
    (synset, ancestor) among them, each synset's ancestors in file order; with `reflexive` each synset's
    pair with itself comes first. Raises WordNetNotFound without WordNet."""
    synsets, names = read_synsets("n", require_wordnet(wordnet_dir))
    row = {s.offset: i for i, s in enumerate(synsets)}
    top = names.index(root)

    @functools.cache
    def above(i: int) -> frozenset[int]:  # WordNet's noun DAG is under 20 links deep
        return frozenset().union(*({row[p]} | above(row[p]) for p in synsets[i].parents))

    members = [i for i in range(len(synsets)) if i == top or top in above(i)]
    inside = set(members)
    pairs = []
    for i in members:
        if reflexive:
            pairs.append((names[i], names[i]))
        pairs += [(names[i], names[a]) for a in sorted(above(i) & inside)]
    return [names[i] for i in members], pairs


@dataclass
class TrainedEmbedding:
    keys: list[str]  # gensim's vocabulary order
    vectors: np.ndarray  # (n, dim) float64, as gensim trained them
    pairs: list[tuple[str, str]]  # what it was trained on
    train_seconds: float  # how long gensim trained (on the run that filled the cache)
    cached: bool  # read back from the cache rather than trained now


def trained_mammals(root: str = ROOT, wordnet_dir: str | os.PathLike | None = None,
                    cache_dir: str | os.PathLike | None = None, **training) -> TrainedEmbedding:
    """gensim's PoincareModel trained on `mammal_closure(root)` with TRAINING (overridden by `training`),
    trained on first use and cached in `cache_dir` (default `user_cache_dir()`)."""
    try:
        import gensim
        from gensim.models.poincare import PoincareModel
    except ImportError:
        raise GensimMissing("training the mammal embedding needs gensim: pip install 'quellix[gensim]'") from None
    params = {**TRAINING, **training}
    wn = require_wordnet(wordnet_dir)
    _, pairs = mammal_closure(root, wordnet_dir=wn)
    key_params = {**params, "root": root, "gensim": gensim.__version__, "numpy": np.__version__,
                  "source": cache.fingerprint(source_files(wn, "n"))}
    built = []

    def train() -> cache.Arrays:
        start = time.perf_counter()
        model = PoincareModel(pairs, size=params["size"], negative=params["negative"], seed=params["seed"])
        model.train(epochs=params["epochs"], batch_size=params["batch_size"], print_every=10**9)
        seconds = time.perf_counter() - start
        built.append(seconds)
        blob, ends = cache.pack_strings(model.kv.index_to_key)
        return {"vectors": np.asarray(model.kv.vectors, dtype=np.float64), "key_blob": blob, "key_ends": ends,
                "train_seconds": np.float64(seconds)}

    a = cache.load_or_build("gensim_poincare_mammals", key_params, train,
                            user_cache_dir() if cache_dir is None else cache_dir)
    return TrainedEmbedding(keys=cache.unpack_strings(a["key_blob"], a["key_ends"]), vectors=a["vectors"],
                            pairs=pairs, train_seconds=float(a["train_seconds"]), cached=not built)
