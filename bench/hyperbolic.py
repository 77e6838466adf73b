"""Hyperbolic embeddings: quellix.hyperbolic against gensim's Poincaré code, in one run.

Two embeddings: WordNet's 82,115 nouns as placed in the ball by corpora (32-d; relations: every noun
with each of its ancestors in the placement's tree) and gensim's PoincareModel of the mammal closure
(10-d, trained and cached by corpora on first use). For each:

- reconstruction (mean rank, MAP): gensim's ReconstructionEvaluation against KeyedIndex's exact
  evaluation at 1 and 2 threads, from the same relations file, with the figures side by side; and the
  graph evaluation at ef 100;
- most_similar(key, topn=10), one query per call on one thread: gensim's against KeyedIndex's graph
  search (ef 100) and exact scan and GensimIndexer (ef 100), with the recall of gensim's answer.

Then gensim's cosine most_similar(positive=[key], topn=10) on a plain KeyedVectors of WordNet's gloss
LSA vectors (corpora, raw rows; 10,000 sampled with `--quick`): gensim's brute force against the same
call through gensim's indexer hook with a GensimIndexer, with the recall of gensim's answer and the
share of answers identical to it, similarities included.

gensim scores every node for every key in Python and NumPy on one core: on the 82k nouns it takes tens
of minutes. `--nodes N` evaluates the relations of N sampled keys only (ranked among all nodes, on both
sides); `--quick` sets small sizes for a smoke run.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from gensim.models import KeyedVectors
from gensim.models.poincare import PoincareKeyedVectors, ReconstructionEvaluation

from quellix.hyperbolic import GensimIndexer, KeyedIndex

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import corpora  # noqa: E402

SEED = 7
EF = 100
TOPN = 10


def noun_tree_pairs(h: corpora.Hierarchy) -> list[tuple[str, str]]:
    """(noun, ancestor) for every noun and each ancestor in the placement's tree."""
    pairs = []
    for i in range(len(h)):
        pairs += [(h.names[i], h.names[a]) for a in h.ancestors(i)]
    return pairs


def sampled(pairs, nodes, rng):
    """The pairs of `nodes` keys drawn at random among those with relations (all of them for None)."""
    children = sorted({a for a, _ in pairs})
    if nodes is None or nodes >= len(children):
        return pairs, len(children)
    keep = set(rng.choice(children, nodes, replace=False).tolist())
    return [p for p in pairs if p[0] in keep], nodes


def timed(fn, repeat=1):
    best, out = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - start)
    return out, best


def reconstruction(name, keys, vectors, pairs, args, rng):
    pairs, n_keys = sampled(pairs, args.nodes, rng)
    gkv = PoincareKeyedVectors(vectors.shape[1], 0, dtype=np.float64)
    gkv.add_vectors(keys, vectors)
    kv, build_s = timed(lambda: KeyedIndex.from_gensim(gkv, seed=0, progress=args.progress))
    with tempfile.TemporaryDirectory() as tmp:
        tsv = Path(tmp) / "relations.tsv"
        tsv.write_text("".join(f"{a}\t{b}\n" for a, b in pairs), encoding="utf-8")
        print(f"[{name}] gensim ReconstructionEvaluation over {n_keys:,} keys ...", flush=True)
        theirs, gensim_s = timed(lambda: ReconstructionEvaluation(str(tsv), gkv).evaluate())
        ours = {t: timed(lambda t=t: kv.evaluate_reconstruction(tsv, num_threads=t), args.repeat) for t in (1, 2)}
        graph, graph_s = timed(lambda: kv.evaluate_reconstruction(tsv, exact=False, ef=EF, num_threads=2),
                               args.repeat)
    g = (float(theirs["mean_rank"]), float(theirs["MAP"]))
    rows = [("gensim ReconstructionEvaluation", 1, f"{g[0]:.4f}", f"{g[1]:.4f}", f"{gensim_s:.2f}", "1.0", "")]
    for t, (figures, secs) in ours.items():
        same = round(figures["mean_rank"], 4) == round(g[0], 4) and round(figures["MAP"], 4) == round(g[1], 4)
        rows.append(("quellix exact", t, f"{figures['mean_rank']:.4f}", f"{figures['MAP']:.4f}", f"{secs:.3f}",
                     f"{gensim_s / secs:,.0f}", "same" if same else "DIFFERENT"))
    rows.append((f"quellix graph, ef {EF}", 2, f"{graph['mean_rank']:.4f}", f"{graph['MAP']:.4f}", f"{graph_s:.3f}",
                 f"{gensim_s / graph_s:,.0f}", f"{graph['positives_outside']:,} of {graph['positives']:,} positives "
                 "not found"))
    table = common.markdown_table(["evaluation", "threads", "mean rank", "MAP", "seconds", "× gensim", "figures"],
                                  rows)
    head = (f"## {name}: reconstruction of {len(pairs):,} pairs of {n_keys:,} keys among {len(keys):,} nodes "
            f"({vectors.shape[1]}-d)\n\nKeyedIndex built (linked) in {build_s:.1f} s.\n")
    return kv, gkv, head + "\n" + table


def similar(name, kv, gkv, args, rng):
    # gensim keeps the query in its answer when it is the node at index 0; leave that one out.
    keys = rng.choice(np.arange(1, len(kv)), min(args.queries, len(kv) - 1), replace=False)
    keys = [kv.keys[int(i)] for i in keys]
    sides = {"gensim most_similar": lambda k: gkv.most_similar(k, topn=TOPN),
             f"quellix graph, ef {EF}": lambda k: kv.most_similar(k, topn=TOPN, ef=EF),
             "quellix exact": lambda k: kv.most_similar(k, topn=TOPN, exact=True)}
    indexer = GensimIndexer(gkv, seed=0, ef=EF)  # PoincareKeyedVectors.most_similar takes no indexer: call it
    sides[f"quellix GensimIndexer, ef {EF}"] = lambda k: indexer.most_similar(k, TOPN)
    timed_sides = common.race({side: (fn, keys) for side, fn in sides.items()}, args.repeat)
    truth = [[k for k, _ in answer] for answer in timed_sides["gensim most_similar"][0]]
    rows = []
    base = len(keys) / timed_sides["gensim most_similar"][1]
    for side, (answers, secs) in timed_sides.items():
        hits = sum(len(set(t) & {k for k, _ in a}) for t, a in zip(truth, answers))
        rate = len(keys) / secs
        rows.append((side, f"{rate:,.0f}", f"{rate / base:,.1f}", f"{hits / (TOPN * len(keys)):.4f}"))
    return (f"## {name}: most_similar, top {TOPN}, {len(keys):,} keys, one per call, one thread\n\n"
            + common.markdown_table(["side", "queries/s", "× gensim", "recall of gensim's top 10"], rows))


def through_hook(name, keys, vectors, args, rng):
    """gensim's cosine most_similar(positive=[key]) on a plain KeyedVectors, by brute force and through
    its indexer hook with a GensimIndexer."""
    gkv = KeyedVectors(vectors.shape[1])
    gkv.add_vectors(keys, vectors)
    gkv.fill_norms()
    indexer, build_s = timed(lambda: GensimIndexer(gkv, seed=0, ef=EF, progress=args.progress))
    queries = [keys[int(i)] for i in rng.choice(len(keys), min(args.queries, len(keys)), replace=False)]

    def hooked(key):
        # The indexer answers for gensim's mean vector, the key itself included, as AnnoyIndexer does.
        found = gkv.most_similar(positive=[key], topn=TOPN + 1, indexer=indexer)
        return [pair for pair in found if pair[0] != key][:TOPN]

    sides = {"gensim most_similar": lambda k: gkv.most_similar(positive=[k], topn=TOPN),
             f"gensim most_similar, indexer=GensimIndexer (ef {EF})": hooked}
    timed_sides = common.race({side: (fn, queries) for side, fn in sides.items()}, args.repeat)
    truth, gensim_s = timed_sides["gensim most_similar"]
    rows = []
    for side, (answers, secs) in timed_sides.items():
        hits = sum(len({k for k, _ in t} & {k for k, _ in a}) for t, a in zip(truth, answers))
        same = sum(t == a for t, a in zip(truth, answers))
        rate = len(queries) / secs
        rows.append((side, f"{rate:,.0f}", f"{gensim_s / secs:,.1f}", f"{hits / (TOPN * len(queries)):.4f}",
                     f"{same / len(queries):.4f}"))
    return (f"## {name}: most_similar(positive=[key]), top {TOPN}, {len(queries):,} keys among {len(keys):,} "
            f"({vectors.shape[1]}-d), one per call, one thread\n\nGensimIndexer built (linked) in {build_s:.1f} s.\n\n"
            + common.markdown_table(["side", "queries/s", "× gensim", "recall of gensim's top 10",
                                     "answers identical to gensim's"], rows))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--nodes", type=int, default=None, help="keys whose relations are evaluated (default all)")
    p.add_argument("--queries", type=int, default=1000, help="most_similar queries (default 1000)")
    p.add_argument("--repeat", type=int, default=3, help="timed passes of the quellix sides (the best counts)")
    p.add_argument("--quick", action="store_true", help="300 noun keys, 200 queries, one pass")
    p.add_argument("--progress", action="store_true", help="progress bar while linking")
    args = p.parse_args()
    if args.quick:
        args.nodes = 300 if args.nodes is None else args.nodes
        args.queries, args.repeat = min(args.queries, 200), 1

    rng = np.random.default_rng(SEED)
    sections = ["# Hyperbolic embeddings: quellix.hyperbolic against gensim",
                f"Environment: {common.environment_line()}; {common.cpu_model()}"]
    h = corpora.noun_hierarchy()
    kv, gkv, text = reconstruction("WordNet nouns, placed", h.names, h.points.astype(np.float64), noun_tree_pairs(h),
                                   args, rng)
    sections += [text, similar("WordNet nouns, placed", kv, gkv, args, rng)]
    mammals = corpora.trained_mammals()
    # The mammal closure is small: it is always evaluated whole.
    whole = argparse.Namespace(**{**vars(args), "nodes": None})
    kv, gkv, text = reconstruction("WordNet mammals, trained by gensim", mammals.keys, mammals.vectors,
                                   mammals.pairs, whole, rng)
    sections += [text, similar("WordNet mammals, trained by gensim", kv, gkv, args, rng)]
    glosses = corpora.gloss_vectors(normalize=False)
    rows = np.sort(rng.choice(len(glosses), 10_000, replace=False)) if args.quick else np.arange(len(glosses))
    sections.append(through_hook("WordNet gloss LSA vectors, cosine", [glosses.names[i] for i in rows],
                                 glosses.vectors[rows], args, rng))
    report = "\n\n".join(sections)
    print(report)
    stem = "hyperbolic" + ("_quick" if args.quick else "" if args.nodes is None else f"_nodes{args.nodes}")
    print(f"\nwritten to {common.write_report(stem, report)}")
    if stem == "hyperbolic":  # the whole evaluation is the recorded one
        print(f"and its section of {common.record_section('hyperbolic.py', report)}")


if __name__ == "__main__":
    main()
