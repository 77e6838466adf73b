"""Hyperbolic embeddings with quellix.hyperbolic: gensim's Poincaré model of the WordNet mammals,
searched and evaluated next to gensim's own answers.

gensim trains PoincareModel on the mammal closure (every mammal synset paired with each of its
ancestors below mammal.n.01 and with itself, built from the installed WordNet by corpora/) on first
use; the vectors are cached in the user's cache directory, so later runs start at once. Without
WordNet the section uses the mammal sample that gensim ships; without gensim it says how to get it.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import corpora  # noqa: E402
from quellix.hyperbolic import KeyedIndex  # noqa: E402

QUERIES = ["dog.n.01", "domestic_cat.n.01", "kangaroo.n.01", "sperm_whale.n.01"]
SAMPLE_QUERIES = ["kangaroo.n.01", "striped_skunk.n.01", "mastiff_bat.n.01"]


def banner(text: str) -> None:
    print(f"\n{'=' * 100}\n{text}\n{'=' * 100}")


def timed(call, repeat: int = 1):
    start = time.perf_counter()
    for _ in range(repeat):
        out = call()
    return out, (time.perf_counter() - start) / repeat


def embedding(gensim) -> tuple[list[str], np.ndarray, list[tuple[str, str]], list[str]]:
    """Keys, float64 vectors, the pairs they were trained on, and the mammals to query."""
    if corpora.wordnet_available():
        print(f"Data: WordNet 3.0's mammal closure, from {corpora.find_wordnet()}")
        start = time.perf_counter()
        trained = corpora.trained_mammals()
        how = (f"read from the cache in {corpora.user_cache_dir()} ({time.perf_counter() - start:.1f} s; "
               f"gensim trained it in {trained.train_seconds:.0f} s on first use)" if trained.cached else
               f"trained by gensim in {trained.train_seconds:.0f} s and cached in {corpora.user_cache_dir()}")
        params = corpora.mammals.TRAINING
        print(f"Embedding: PoincareModel, {params['size']}-d, {params['epochs']} epochs, {how}")
        return trained.keys, trained.vectors, trained.pairs, QUERIES
    from gensim.models.poincare import PoincareModel, PoincareRelations
    path = Path(gensim.__file__).parent / "test" / "test_data" / "poincare_hypernyms_large.tsv"
    print("Data: gensim's sample of mammal hypernyms (install wordnet-base for the whole closure)")
    pairs = list(PoincareRelations(str(path)))
    model = PoincareModel(pairs, size=10, negative=5, seed=0)
    (_, took) = timed(lambda: model.train(epochs=100, batch_size=10, print_every=10**9))
    print(f"Embedding: PoincareModel, 10-d, 100 epochs, trained by gensim in {took:.1f} s")
    return list(model.kv.index_to_key), model.kv.vectors, pairs, SAMPLE_QUERIES


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ef", type=int, default=100, help="graph search width")
    args = parser.parse_args()

    banner("Hyperbolic embeddings: quellix.hyperbolic.KeyedIndex on a Poincaré model trained by gensim")
    try:
        import gensim
        from gensim.models.poincare import PoincareKeyedVectors, ReconstructionEvaluation
    except ImportError:
        print("This section needs gensim, which trains the embedding and gives the figures to compare with:\n"
              "  .venv/bin/pip install 'gensim>=4.3'     (or: pip install 'quellix[gensim]'; `make test` installs it)")
        return

    keys, vectors, pairs, queries = embedding(gensim)
    sq = np.einsum("ij,ij->i", vectors, vectors)
    print(f"{len(keys)} nodes, {len(pairs)} pairs; {np.mean(sq >= 0.995):.0%} of the nodes at squared norm >= 0.995, "
          f"the largest 1 - {1 - sq.max():.1e}")

    # gensim's own view of the same vectors, for every comparison below.
    gkv = PoincareKeyedVectors(vectors.shape[1], 0, dtype=np.float64)
    gkv.add_vectors(keys, vectors)
    kv, took = timed(lambda: KeyedIndex.from_gensim(gkv, seed=0))
    print(f"KeyedIndex.from_gensim: {len(kv)} keys linked into the graph in {took * 1e3:.0f} ms\n")

    for key in queries:
        if key not in kv:
            continue
        near = kv.most_similar(key, topn=5, ef=args.ef)
        # gensim leaves the query out of its answer except when it is its key at index 0.
        same = [k for k, _ in near] == [k for k, _ in gkv.most_similar(key, topn=6) if k != key][:5]
        parent = kv.closest_parent(key)
        print(f"{key}: closest parent {parent} (gensim: {gkv.closest_parent(key)}), norm {kv.norm(key):.5f}")
        print("  most_similar: " + ", ".join(f"{k} {d:.3f}" for k, d in near)
              + f"   [gensim's top 5 {'the same' if same else 'differs'}]")

    # Reconstruction: every node's positives ranked among all other nodes.
    with tempfile.TemporaryDirectory() as tmp:
        tsv = Path(tmp) / "closure.tsv"
        tsv.write_text("".join(f"{a}\t{b}\n" for a, b in pairs), encoding="utf-8")
        ours, exact_s = timed(lambda: kv.evaluate_reconstruction(tsv), repeat=3)
        graph, graph_s = timed(lambda: kv.evaluate_reconstruction(tsv, exact=False, ef=args.ef), repeat=3)
        theirs, gensim_s = timed(lambda: ReconstructionEvaluation(str(tsv), gkv).evaluate())
    print(f"\nReconstruction of the {len(pairs)} pairs (mean rank of each positive among the non-positives; MAP):")
    print(f"  {'':44} {'mean rank':>10} {'MAP':>8} {'time':>10}")
    rows = [("gensim ReconstructionEvaluation", theirs, gensim_s),
            ("quellix exact scan (every core)", ours, exact_s),
            (f"quellix graph, ef {args.ef}", graph, graph_s)]
    for name, figures, secs in rows:
        print(f"  {name:44} {figures['mean_rank']:10.4f} {figures['MAP']:8.4f} {secs * 1e3:8.1f} ms")
    print(f"  exact scan {gensim_s / exact_s:,.0f}x as fast as gensim, same figures: "
          f"{round(ours['mean_rank'], 4) == round(float(theirs['mean_rank']), 4) and round(ours['MAP'], 4) == round(float(theirs['MAP']), 4)}; "
          f"the graph walk left {graph['positives_outside']} of {graph['positives']} positives unranked")

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "mammals.qlx"
        kv.save(path)
        copy = KeyedIndex.load(path)
        print(f"\nSaved with its keys to one file of {path.stat().st_size / 1e3:.0f} kB; the copy answers identically: "
              f"{all(copy.most_similar(k, topn=5) == kv.most_similar(k, topn=5) for k in queries if k in kv)}")


if __name__ == "__main__":
    main()
