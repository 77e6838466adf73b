"""Batch search: quellix `Index.search` against hnswlib `knn_query` and FAISS HNSW `search`, each given
the whole query array at once, on 1 and 2 threads; and quellix's Poincare graph search against its own
Euclidean search on the same vectors.

For every system and thread count the search width sweeps a fixed list; the report gives, at recall@10
targets 0.95 and 0.99 (against the exact float64 answers, ties counted), the best queries/s among
the widths that reach the target, and quellix's ratio to the faster peer. Passes of all sides take
turns and the fastest of `--repeat` passes counts. Graphs: M 16, ef_construction 200 everywhere.
The default run also writes its section of bench/RESULTS.md (between markers, kept when peers.py
rewrites that file).
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse
import os
import time

import numpy as np

import peer_data

K = 10
M = 16
EF_CONSTRUCTION = 200
# Steps of about an eighth at the high widths: near recall 0.99 every system's curve is flat, and a
# coarser grid would compare the widths the grid happens to hold more than the systems.
WIDTHS = (10, 12, 16, 20, 24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 288, 320,
          352, 384, 448, 512)
TARGETS = (0.95, 0.99)
DATASETS = ["clusters-l2", "lsa-cosine"]


def build_quellix(base, metric):
    import quellix
    index = quellix.Index(base.shape[1], "euclidean" if metric == "l2" else metric, M=M,
                          ef_construction=EF_CONSTRUCTION, seed=1)
    index.add(base)
    return lambda queries, ef, threads: index.search(queries, K, ef=ef, num_threads=threads)[0]


def build_hnswlib(base, metric):
    import hnswlib
    index = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=base.shape[1])
    index.init_index(max_elements=len(base), ef_construction=EF_CONSTRUCTION, M=M, random_seed=100)
    index.add_items(base, np.arange(len(base)), num_threads=os.cpu_count())

    def search(queries, ef, threads):
        index.set_ef(ef)
        return index.knn_query(queries, k=K, num_threads=threads)[0]
    return search


def build_faiss(base, metric):
    import faiss
    faiss.omp_set_num_threads(os.cpu_count())
    kind = faiss.METRIC_INNER_PRODUCT if metric == "cosine" else faiss.METRIC_L2  # cosine sets hold unit rows
    index = faiss.IndexHNSWFlat(base.shape[1], M, kind)
    index.hnsw.efConstruction = EF_CONSTRUCTION
    index.add(base)

    def search(queries, ef, threads):
        faiss.omp_set_num_threads(threads)
        index.hnsw.efSearch = ef
        return index.search(queries, K)[1]
    return search


BUILDERS = {"quellix": build_quellix, "hnswlib": build_hnswlib, "FAISS HNSW": build_faiss}


def timed(search, queries, ef, threads, repeat):
    search(queries[: min(len(queries), 50)], ef, threads)  # warm-up
    best, found = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        found = search(queries, ef, threads)
        best = min(best, time.perf_counter() - start)
    return found, len(queries) / best


def run_dataset(ds, args):
    truth, kth = common.exact_topk_dist(ds.base, ds.queries, K, ds.metric)
    systems = {}
    for name, build in BUILDERS.items():
        if name != "quellix" and ds.metric == "poincare":
            continue
        start = time.perf_counter()
        systems[name] = build(ds.base, ds.metric)
        print(f"  {name}: built in {time.perf_counter() - start:.1f} s", flush=True)
    points = {}  # (system, threads) -> [(recall, q/s, ef)]
    for ef in WIDTHS:
        for threads in args.threads:
            for name, search in systems.items():  # sides take turns at every width
                found, qps = timed(search, ds.queries, ef, threads, args.repeat)
                rec = common.recall_with_ties(ds.base, ds.queries, found, kth[:, K - 1], K, ds.metric)
                points.setdefault((name, threads), []).append((rec, qps, ef))
        print(f"  ef {ef} done", flush=True)
    return points


def poincare_ratio(ds, args):
    """quellix Poincare against quellix Euclidean on the same ball vectors, both at the width that
    gives the Poincare search recall@10 >= 0.95."""
    import quellix
    sides = {}
    for metric in ("poincare", "euclidean"):
        index = quellix.Index(ds.dim, metric, M=M, ef_construction=EF_CONSTRUCTION, seed=1)
        index.add(ds.base)
        sides[metric] = index
    truth, kth = common.exact_topk_dist(ds.base, ds.queries, K, "poincare")
    rows = []
    for ef in (16, 32, 64, 128):
        rates = {}
        for metric, index in sides.items():
            found, rates[metric] = timed(lambda q, e, t: index.search(q, K, ef=e, num_threads=t)[0], ds.queries,
                                         ef, 1, args.repeat)
            if metric == "poincare":
                rec = common.recall_with_ties(ds.base, ds.queries, found, kth[:, K - 1], K, "poincare")
        rows.append((ef, f"{rec:.3f}", f"{rates['poincare']:,.0f}", f"{rates['euclidean']:,.0f}",
                     f"{rates['poincare'] / rates['euclidean']:.2f}"))
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--datasets", nargs="+", default=DATASETS,
                   choices=[d for d in peer_data.DATASETS if d != "wordnet-poincare"])
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--queries", type=int, default=2000)
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--quick", action="store_true", help="5,000 rows, 200 queries, one pass: a smoke run")
    args = p.parse_args()
    if args.quick:
        args.n, args.queries, args.repeat = 5000, 200, 1

    out = [f"# Batch search: quellix, hnswlib, FAISS HNSW\n", common.environment_line(),
           f"\n{args.n:,} base rows (at most), {args.queries:,} queries, k = {K}, best of {args.repeat} passes.\n"]
    for name in args.datasets:
        ds = peer_data.load(name, args.n, args.queries)
        print(f"{name}: {len(ds.base):,} x {ds.dim}", flush=True)
        points = run_dataset(ds, args)
        out.append(f"## {name} ({ds.description}; {len(ds.base):,} rows)\n")
        out.append(common.target_table(points, list(BUILDERS), args.threads, TARGETS)[0])
        out.append("")
    ball = peer_data.load("wordnet-poincare", args.n, args.queries)
    out.append(f"## quellix Poincare against quellix Euclidean ({ball.description}; {len(ball.base):,} rows, "
               "1 thread)\n")
    out.append(common.markdown_table(["ef", "Poincare recall@10", "Poincare q/s", "Euclidean q/s", "ratio"],
                                     poincare_ratio(ball, args)))
    full = not args.quick and args.n == 100_000 and args.queries == 2000 and args.datasets == DATASETS
    tag = "batch" if full else f"batch_{args.n}x{args.queries}"
    print(f"report: {common.write_report(tag, chr(10).join(out))}")
    if full:  # the default run is the recorded one
        print(f"and its section of {common.record_section('batch.py', chr(10).join(out))}")


if __name__ == "__main__":
    main()
