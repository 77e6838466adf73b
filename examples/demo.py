"""A tour of vek_core: a hierarchy in the Poincare ball, searched every way the index offers.

With WordNet installed (Debian's wordnet-base) the hierarchy is WordNet's 82,115 noun synsets, each
placed at a distance from the origin that grows with its depth and in a direction near its parent's,
with one mask bit per lexicographer file (noun.animal, noun.plant, ...). Without it, a generated tree
of the same kind stands in. Everything is built offline; the WordNet placement is cached on first use.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from tqdm import tqdm

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import corpora  # noqa: E402
import vek_core  # noqa: E402

WORDNET_QUERIES = ["dog.n.01", "oak.n.02", "violin.n.01", "hurricane.n.01"]
FILTERED = ("cat.n.01", "noun.plant")  # a query, and the one category its answers must come from
GENERATED_QUERIES = ["node1234", "node4321"]


def load(use_wordnet: bool) -> tuple[corpora.Hierarchy, list[str], tuple[str, str]]:
    if use_wordnet and corpora.wordnet_available():
        print("Data: WordNet 3.0 noun hierarchy placed in the Poincare ball")
        return corpora.noun_hierarchy(), WORDNET_QUERIES, FILTERED
    hint = "" if not use_wordnet else " (install wordnet-base for the WordNet tour)"
    print(f"Data: a generated hierarchy{hint}")
    return corpora.generated_hierarchy(), GENERATED_QUERIES, ("node777", "branch3")


def show(h: corpora.Hierarchy, index: vek_core.HyperbolicIndex, q: np.ndarray, ids: list[int]) -> None:
    for i in ids:
        gloss = h.glosses[i][:60]
        print(f"    {index.compute_distance(q, i):7.4f}  {h.names[i]:<28} depth {h.depth[i]:2d}  {gloss}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--generated", action="store_true", help="use the generated hierarchy even if WordNet is there")
    parser.add_argument("--ef-construction", type=int, default=100)
    args = parser.parse_args()

    print(vek_core.__doc__)
    start = time.perf_counter()
    h, query_names, (filter_query, category) = load(not args.generated)
    sq = np.einsum("ij,ij->i", h.points, h.points)
    print(f"{len(h)} points of dimension {h.dim}, depth up to {h.depth.max()}, squared norms up to {sq.max():.4f} "
          f"(ready in {time.perf_counter() - start:.1f} s)\n")

    index = vek_core.HyperbolicIndex(h.dim, M=16, metric="poincare")
    start = time.perf_counter()
    for p, m in tqdm(zip(h.points, h.masks), total=len(h), desc="linking", unit="node", mininterval=0.5):
        index.add_item_and_link(p, int(m), ef_construction=args.ef_construction)
    print(f"Built the graph in {time.perf_counter() - start:.1f} s\n")

    for name in query_names:
        q = h.points[h.id(name)]
        print(f"Nearest to {name} (graph search):")
        show(h, index, q, index.custom_hnsw_search(q, 6, ef_search=64))

    bit = h.mask_bit(category)
    q = h.points[h.id(filter_query)]
    print(f"\nNearest to {filter_query} among {category} (filtered search, mask bit {bit}):")
    show(h, index, q, index.filtered_search(q, 6, filter_mask=1 << bit))
    print("  (the filtered search ends its answer at the first large jump in distance, or past 2.0)")
    print("The same with the exhaustive scan, which returns all k:")
    show(h, index, q, index.hardware_flat_search(q, 6, 1 << bit))

    rng = np.random.default_rng(0)
    sample = rng.choice(len(h), 300, replace=False)
    start = time.perf_counter()
    graph = [index.custom_hnsw_search(h.points[i], 10, ef_search=64) for i in sample]
    graph_s = time.perf_counter() - start
    start = time.perf_counter()
    exact = [index.hardware_flat_search(h.points[i], 10, 0) for i in sample]
    exact_s = time.perf_counter() - start
    recall = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(graph, exact)])
    print(f"\nRecall@10 of the graph search against the exhaustive scan over {len(sample)} queries: {recall:.3f}")
    print(f"  graph search {len(sample) / graph_s:,.0f} queries/s, exhaustive scan {len(sample) / exact_s:,.0f} queries/s")

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "hierarchy.vek"
        start = time.perf_counter()
        index.save_index(str(path))
        loaded = vek_core.HyperbolicIndex(h.dim)
        loaded.load_index(str(path))
        took = time.perf_counter() - start
        same = all(loaded.custom_hnsw_search(h.points[i], 10, ef_search=64) == g for i, g in zip(sample, graph))
        print(f"\nSaved and loaded {path.stat().st_size / 1e6:.1f} MB in {took:.2f} s; the copy answers identically: {same}")
    print("Statistics:", loaded.get_stats())


if __name__ == "__main__":
    main()
