"""Data sets of the peer benchmark: WordNet corpora when they can be built here, generated ones else.

Each set is a base (the indexed rows) and held-out queries drawn from the same rows, so no query is
its own neighbour. Rows are taken in one fixed random order, the same for every system, so that
subsampling with --n keeps a random subset and no build sees WordNet's file order (grouped by
lexicographer file), which would favour no one in particular but is not what a user inserts.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import sys
from dataclasses import dataclass, replace
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
SPLIT_SEED = 20240611

# name -> (metric, what it is); the order is the order of the report.
DATASETS = {
    "lsa-cosine": ("cosine", "WordNet gloss LSA vectors, 128-d, unit rows"),
    "lsa-l2": ("l2", "the same WordNet gloss LSA rows before normalisation, squared Euclidean"),
    "wordnet-poincare": ("poincare", "WordNet noun hierarchy placed in the Poincare ball, 32-d"),
    "clusters-l2": ("l2", "generated Gaussian clusters (bench/common.py), 128-d"),
}


@dataclass
class Dataset:
    name: str
    metric: str
    description: str
    base: np.ndarray  # (n, d) float32, C-contiguous
    queries: np.ndarray  # (q, d) float32, C-contiguous
    total_rows: int  # rows the source had before the split and any subsampling

    @property
    def dim(self):
        return self.base.shape[1]


def split_rows(total, n, n_queries, seed=SPLIT_SEED):
    """Which source rows become the base and which the queries (two index arrays), as load splits a
    source of `total` rows: so that per-row data (labels, masks) can follow the same split."""
    order = np.random.default_rng(seed).permutation(total)
    n_queries = min(n_queries, total // 10)
    return order[n_queries:n_queries + n], order[:n_queries]


def _split(rows, n, n_queries, seed=SPLIT_SEED):
    b, q = split_rows(len(rows), n, n_queries, seed)
    return np.ascontiguousarray(rows[b], np.float32), np.ascontiguousarray(rows[q], np.float32)


def _corpora():
    """The corpora package and why WordNet cannot be used (None when it can)."""
    if str(ROOT) not in sys.path:
        sys.path.insert(0, str(ROOT))
    try:
        import corpora
    except ImportError as e:
        return None, f"corpora not importable ({e})"
    return corpora, None if corpora.wordnet_available() else "WordNet files not installed"


def load(name, n, n_queries, metric=None):
    """The named set with at most n base rows and n_queries queries.

    Without WordNet, the LSA sets fall back to generated clusters (unit rows for cosine) and the
    noun hierarchy to corpora's generated hierarchy (or, without corpora, to clusters scaled into the
    ball); the description then says so. `metric` measures the very same rows under another metric
    (the noun hierarchy under "l2", say); the set's own metric still decides the rows.
    """
    ds = _load(name, n, n_queries)
    if metric is None or metric == ds.metric:
        return ds
    return replace(ds, metric=metric, description=f"{ds.description}; measured under {metric}")


def _load(name, n, n_queries):
    metric, description = DATASETS[name]
    corpora, why = _corpora() if name != "clusters-l2" else (None, None)
    if corpora is not None and why is None:
        if name == "wordnet-poincare":
            rows = corpora.noun_hierarchy().points
        else:
            rows = corpora.gloss_vectors(normalize=metric == "cosine").vectors
        base, queries = _split(rows, n, n_queries)
        return Dataset(name, metric, description, base, queries, len(rows))
    if name == "wordnet-poincare" and corpora is not None:
        rows = corpora.generated_hierarchy(n_nodes=n + n_queries).points
        base, queries = _split(rows, n, n_queries)
        return Dataset(name, metric, f"FALLBACK to corpora's generated hierarchy ({why}) instead of: "
                       f"{description}", base, queries, len(rows))
    if why:
        description = f"FALLBACK to generated clusters ({why}) instead of: {description}"
    base, queries = common.make_dataset(n, n_queries, poincare=metric == "poincare")
    if metric == "cosine":
        # Unit rows, as the LSA set has them, so that an inner-product index is a cosine index.
        base /= np.linalg.norm(base, axis=1, keepdims=True)
        queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    return Dataset(name, metric, description, base, queries, n + n_queries)


def lexfiles(names):
    """Each named synset's lexicographer file, as its number in corpora.wordnet.LEXNAMES (int64)."""
    from corpora.wordnet import POS_FILES, read_synsets
    number = {}
    for pos in POS_FILES:
        synsets, part = read_synsets(pos)
        number.update(zip(part, (s.lex_filenum for s in synsets)))
    return np.array([number[name] for name in names], dtype=np.int64)


def labelled_glosses(n, n_queries):
    """The lsa-cosine set, with each base row's lexicographer file number and part of speech ("n", "v",
    "a", "s" or "r"): real labels that go with the vectors. Both are None on the fallback set."""
    corpora, why = _corpora()
    if why is not None:
        return load("lsa-cosine", n, n_queries), None, None
    gv = corpora.gloss_vectors(normalize=True)
    b, _ = split_rows(len(gv), n, n_queries)
    base, queries = _split(gv.vectors, n, n_queries)
    ds = Dataset("lsa-cosine", "cosine", DATASETS["lsa-cosine"][1], base, queries, len(gv))
    return ds, lexfiles(gv.names)[b], gv.pos[b]
