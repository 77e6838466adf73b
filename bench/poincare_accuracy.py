"""The two Poincare arithmetics on embeddings a new user would bring: gensim's PoincareModel trained on
the WordNet mammal closure (the transitive closure of the noun hypernyms below mammal.n.01) in 2, 5
and 10 dimensions.

For each set: the share of nodes at squared norm >= 0.995; then for vek_core's "poincare" (clamped
float32 kernel, boundary rule in the walks) and quellix's "poincare" (factors from the float64
values, no clamp, no boundary rule): the largest relative error of the exact search's distances
against the float64 formula (pairs at distance 0 left out), the agreement of the exact top 10 with the float64 top 10, and graph
recall@10 at ef 100, every node a query. Needs WordNet (Debian's wordnet-base) and gensim.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

K = 10
EF = 100


def mammal_closure():
    from corpora import wordnet
    synsets, names = wordnet.read_synsets("n")
    by_offset = {s.offset: (s, n) for s, n in zip(synsets, names)}
    root = next(s.offset for s, n in zip(synsets, names) if n == "mammal.n.01")
    ancestors = {}

    def up(offset):
        if offset not in ancestors:
            out = set()
            for parent in by_offset[offset][0].hypernyms:
                out |= {parent} | up(parent)
            ancestors[offset] = out
        return ancestors[offset]

    pairs = [(by_offset[o][1], by_offset[a][1]) for o in by_offset for a in up(o)
             if a == root or root in up(a)]
    return pairs


def train(pairs, dim, epochs, seed):
    """The trained vectors, kept under out/ so that a re-run measures without training again."""
    cached = common.OUT_DIR / f"gensim_mammal_{dim}d_{epochs}e_s{seed}.npy"
    if cached.exists():
        return np.load(cached)
    from gensim.models.poincare import PoincareModel
    model = PoincareModel(pairs, size=dim, negative=10, seed=seed)
    model.train(epochs=epochs, batch_size=10)
    x = np.asarray(model.kv.vectors, dtype=np.float64)
    common.OUT_DIR.mkdir(exist_ok=True)
    np.save(cached, x)
    return x


def poincare64(queries, base):
    """The formula in float64, with |u - v|^2 from the differences (no cancellation near a point itself)."""
    qn = np.einsum("ij,ij->i", queries, queries)[:, None]
    bn = np.einsum("ij,ij->i", base, base)[None, :]
    sq = np.stack([((base - q) ** 2).sum(axis=1) for q in queries])
    return np.arccosh(1.0 + 2.0 * sq / ((1.0 - qn) * (1.0 - bn)))


def agreement(found, truth):
    return np.mean([len(set(f[:K]) & set(t[:K])) / K for f, t in zip(found, truth)])


def measure(x):
    import quellix
    import vek_core
    n, dim = x.shape
    truth_d = poincare64(x, x)
    truth = np.argsort(truth_d, axis=1, kind="stable")[:, :K]
    x32 = x.astype(np.float32)
    legacy = vek_core.HyperbolicIndex(dim, M=16, metric="poincare")
    for v in x32:
        legacy.add_item_and_link(v, 0, 200)
    lex = [legacy.hardware_flat_search(v, K, 0) for v in x32]
    lgraph = [legacy.custom_hnsw_search(v, K, ef_search=EF) for v in x32]
    ldist = np.array([[legacy.compute_distance(v, j) for j in row] for v, row in zip(x32, lex)], dtype=np.float64)
    index = quellix.Index(dim, "poincare", seed=1)
    index.add(x)  # float64: the factors keep their precision
    qex, qdist = index.exact_search(x, K)
    qgraph, _ = index.search(x, K, ef=EF)

    def worst(d, ids):
        ref = np.take_along_axis(truth_d, np.asarray(ids), axis=1)
        rel = np.abs(d - ref) / np.where(ref > 0, ref, 1.0)
        return float(rel[ref > 0].max())

    return {
        "vek_core": (worst(ldist, lex), agreement(lex, truth), agreement(lgraph, truth)),
        "quellix": (worst(qdist.astype(np.float64), qex), agreement(qex, truth), agreement(qgraph, truth)),
    }


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--dims", type=int, nargs="+", default=[2, 5, 10])
    p.add_argument("--epochs", type=int, default=400)
    p.add_argument("--seed", type=int, default=0)
    args = p.parse_args()
    pairs = mammal_closure()
    nodes = len({a for pair in pairs for a in pair})
    out = ["# Poincare accuracy on gensim-trained WordNet mammal embeddings\n", common.environment_line(),
           f"\n{nodes:,} nodes, {len(pairs):,} closure pairs, {args.epochs} epochs; every node is a query, "
           f"k = {K}, graph searches at ef {EF}.\n"]
    rows = []
    for dim in args.dims:
        start = time.perf_counter()
        x = train(pairs, dim, args.epochs, args.seed)
        print(f"{dim}-d trained in {time.perf_counter() - start:.0f} s", flush=True)
        boundary = float((np.einsum("ij,ij->i", x, x) >= 0.995).mean())
        for system, (err, exact, graph) in measure(x).items():
            rows.append([f"{dim}-d", f"{boundary:.0%}", system, f"{err:.2e}", f"{exact:.3f}", f"{graph:.3f}"])
    out.append(common.markdown_table(["set", "|x|^2 >= 0.995", "arithmetic", "largest relative distance error",
                                      "exact top-10 agreement", "graph recall@10"], rows))
    print(f"report: {common.write_report('poincare_accuracy', chr(10).join(out))}")


if __name__ == "__main__":
    main()
