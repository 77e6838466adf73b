"""UMAP's nearest-neighbour step against quellix.umap.precomputed_knn, and scikit-learn's
KNeighborsTransformer against quellix.sklearn.KNNTransformer.

umap: the 15 nearest neighbours (UMAP's default n_neighbors, the row itself included) of every row of
50,000 x 64 generated clusters under "euclidean", and of 50,000 WordNet gloss LSA rows under "cosine"
(generated unit rows when WordNet is not installed; the report says so). UMAP's side is
umap.umap_.nearest_neighbors called as UMAP.fit calls it with its default parameters (PyNNDescent,
random_state None, low_memory, angular trees under cosine), once with compatibility_layout=True (what
UMAP does today when it is not set) and once with False (the coming default, 0.6 settings); quellix's
side is precomputed_knn with its defaults (neighbour descent). Every side runs
with n_jobs -1 (UMAP's default: every core) and 1, each in a fresh process of its own. A side's first
call there is "cold" (for UMAP it includes numba compiling or loading PyNNDescent, which happens in every
new process); the fastest of --repeat calls after it counts ("warm"). Recall@15 against the exact float64
neighbours of --sample rows, ties counted.

sklearn: fit_transform of 20,000 x 64 clusters (n_neighbors 15, "distance" mode), KNNTransformer against
KNeighborsTransformer(algorithm="auto") on one thread and on every core (scikit-learn's OpenMP pool is
let out of common's one-thread pin for that), taking turns; the share of scikit-learn's (exact) entries
that quellix's graph holds.

Report: bench/out/integrations.md (integrations_quick.md for --quick); a run at the default sizes also
puts it into its section of bench/RESULTS.md.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse
import os
import time
import warnings

import numpy as np

import peer_data

K = 15
DIM = 64
PAUSE = 1.0


def _cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def _timed(fn):
    time.sleep(PAUSE)
    start = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - start


def _turns(sides, repeat):
    """Runs every side once alone (cold), then `repeat` times taking turns; answers name -> (result,
    cold seconds, fastest warm seconds). Each call starts after a pause of PAUSE seconds: numba's
    worker threads keep their cores busy for a while after UMAP's parallel step, and whichever side
    came next measured about twice its time."""
    out = {}
    for name, fn in sides.items():
        result, secs = _timed(fn)
        out[name] = [result, secs, float("inf")]
        common.log(f"  {name}: first call {secs:.2f} s")
    for _ in range(repeat):
        for name, fn in sides.items():
            result, secs = _timed(fn)
            out[name][0], out[name][2] = result, min(out[name][2], secs)
    return {name: tuple(v) for name, v in out.items()}


UMAP_SIDES = ("UMAP nearest_neighbors, compatibility_layout=True",
              "UMAP nearest_neighbors, compatibility_layout=False", "quellix.umap.precomputed_knn")


def _umap_side(side, base, metric, threads):
    """One call of a side of the UMAP comparison: (knn ids, knn distances)."""
    if side == "quellix.umap.precomputed_knn":
        from quellix.umap import precomputed_knn

        return precomputed_knn(base, K, metric=metric, n_jobs=threads)
    from sklearn.utils import check_random_state
    from umap.umap_ import nearest_neighbors

    warnings.filterwarnings("ignore", message="Tensorflow not installed", category=ImportWarning)
    return nearest_neighbors(base, K, metric, {}, metric == "cosine", check_random_state(None), True,
                             use_pynndescent=True, n_jobs=threads, compatibility_layout=side.endswith("True"))[:2]


def _umap_alone(side, base, metric, threads, repeat):
    """In a process of its own: the side's first call, then `repeat` more; (ids, cold s, fastest warm s)."""
    (ids, _), cold = _timed(lambda: _umap_side(side, base, metric, threads))
    warm = min(_timed(lambda: _umap_side(side, base, metric, threads))[1] for _ in range(repeat))
    return ids, cold, warm


def umap_part(name, base, metric, args):
    """Each side runs in a fresh process: after UMAP's parallel step the next side in the same process
    ran up to twice as slowly for seconds afterwards (numba's worker threads, and whatever UMAP leaves in
    the process), so taking turns in one process measured that, not the side."""
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    exact_metric = "l2" if metric == "euclidean" else metric
    sample = np.sort(np.random.default_rng(1).choice(len(base), min(args.sample, len(base)), replace=False))
    _, truth = common.exact_topk_dist(base, base[sample], K, exact_metric)
    kth = truth[:, K - 1]
    rows = []
    for threads in args.threads:
        label = f"{threads} ({_cores()} cores)" if threads == -1 else str(threads)
        common.log(f"{name}, n_jobs {label}")
        results = {}
        for side in UMAP_SIDES:
            with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
                results[side] = pool.submit(_umap_alone, side, base, metric, threads, args.repeat).result()
            common.log(f"  {side}: first call {results[side][1]:.2f} s, warm {results[side][2]:.2f} s")
        ours = results["quellix.umap.precomputed_knn"][2]
        for side, (ids, cold, warm) in results.items():
            recall = common.query_recall_with_ties(base, base[sample], ids[sample], kth, K, exact_metric).mean()
            rows.append([name, label, side, f"{cold:.2f}", f"{warm:.2f}", f"{warm / ours:.2f}", f"{recall:.4f}"])
    return rows


def _pattern(graph):
    """Which entries a CSR graph holds, as ones (a neighbour at distance 0 counts too)."""
    import scipy.sparse as sp

    return sp.csr_matrix((np.ones(graph.nnz), graph.indices, graph.indptr), shape=graph.shape)


def sklearn_part(base, args):
    from sklearn.neighbors import KNeighborsTransformer
    from threadpoolctl import threadpool_limits

    from quellix.sklearn import KNNTransformer

    rows = []
    for threads in args.threads:
        pool = _cores() if threads == -1 else threads

        def theirs(t=threads, pool=pool):
            with threadpool_limits(limits=pool):
                return KNeighborsTransformer(n_neighbors=K, algorithm="auto", n_jobs=t).fit_transform(base)

        sides = {"quellix.sklearn.KNNTransformer": lambda t=threads: KNNTransformer(K, n_jobs=t).fit_transform(base),
                 "sklearn KNeighborsTransformer(algorithm='auto')": theirs}
        label = f"{threads} ({_cores()} cores)" if threads == -1 else str(threads)
        common.log(f"sklearn, n_jobs {label}")
        results = _turns(sides, args.repeat)
        exact = _pattern(results["sklearn KNeighborsTransformer(algorithm='auto')"][0])
        ours = results["quellix.sklearn.KNNTransformer"][2]
        for side, (graph, _, warm) in results.items():
            held = _pattern(graph).multiply(exact).nnz / exact.nnz
            rows.append([label, side, f"{warm:.2f}", f"{warm / ours:.2f}", f"{held:.4f}"])
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--n", type=int, default=50_000, help="rows of each UMAP data set")
    p.add_argument("--sklearn-n", type=int, default=20_000, help="rows of the scikit-learn comparison")
    p.add_argument("--sample", type=int, default=2000, help="rows whose neighbours are checked against exact")
    p.add_argument("--threads", type=int, nargs="+", default=[-1, 1], help="n_jobs values (-1: every core)")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--quick", action="store_true", help="5,000 and 3,000 rows, 300 checked, one pass: a smoke run")
    args = p.parse_args()
    defaults = (args.n, args.sklearn_n, args.sample, args.repeat) == (50_000, 20_000, 2000, 3)
    if args.quick:
        args.n, args.sklearn_n, args.sample, args.repeat = 5000, 3000, 300, 1
    # umap-learn warns on import without TensorFlow (for ParametricUMAP, not used here).
    warnings.filterwarnings("ignore", message="Tensorflow not installed", category=ImportWarning)

    clusters, _ = common.make_dataset(args.n, 0, dim=DIM)
    lsa = peer_data.load("lsa-cosine", args.n, 0)
    umap_rows = umap_part(f"clusters {len(clusters):,} x {DIM}", clusters, "euclidean", args)
    umap_rows += umap_part(f"LSA {len(lsa.base):,} x {lsa.dim}", lsa.base, "cosine", args)
    sk_base, _ = common.make_dataset(args.sklearn_n, 0, dim=DIM)
    sk_rows = sklearn_part(sk_base, args)

    text = "\n".join([
        "# UMAP and scikit-learn neighbour graphs: their own search against quellix's", "",
        common.environment_line(), f"CPU: {common.cpu_model()}", "",
        f"## UMAP's nearest-neighbour step ({K} neighbours per row, the row itself included)", "",
        f"Cluster rows: bench/common.py's mixture in {DIM} dimensions, euclidean. LSA rows: {lsa.description}, "
        f"cosine. Each side runs in a fresh process of its own. Cold: its first call there; warm: the fastest "
        f"of the {args.repeat} calls after it; side / quellix: its warm seconds over quellix's (above 1: quellix is faster). Recall@{K} of "
        f"{args.sample:,} rows against the exact float64 neighbours.", "",
        common.markdown_table(["data", "n_jobs", "side", "cold s", "warm s", "side / quellix", f"recall@{K}"],
                              umap_rows),
        "",
        f"## scikit-learn: fit_transform of {args.sklearn_n:,} x {DIM} clusters, n_neighbors {K}", "",
        common.markdown_table(["n_jobs", "side", "seconds", "side / quellix", "exact entries held"], sk_rows),
    ])
    print(text)
    name = "integrations_quick" if args.quick else "integrations" if defaults else (
        f"integrations_n{args.n}_s{args.sklearn_n}")
    print("written to", common.write_report(name, text))
    if name == "integrations" and args.threads == [-1, 1]:  # the default run is the recorded one
        print(f"and its section of {common.record_section('integrations.py', text)}")


if __name__ == "__main__":
    main()
