"""Graph health: how navigable quellix's graph is, against hnswlib and FAISS HNSW, and across seeds.

clusters: the wide mixture of common.make_wide_clusters (1,000 clusters far apart, squared Euclidean),
where a graph that keeps too few links between clusters strands the queries of the clusters it cannot
reach. Every system is built once per `--build-threads` count in a fresh process
(peer_systems.build_in_subprocess; M 16, ef_construction 200, quellix seed 0), loaded back, and its
search width swept with whole query arrays per call on every `--threads` count, the three systems
taking turns (common.race, fastest of `--repeat` passes). Recall@10 against the exact float64 answers,
ties counted. Reported: build wall seconds, the best q/s reaching recall 0.95 and 0.99 with quellix
over the faster peer, and the queries left below recall 0.5 ("stranded") at ef 32, 64, 128 and at the
first ef where hnswlib reaches 0.99.

mammals: gensim's PoincareModel of the WordNet mammal closure (poincare_accuracy.train, cached under
out/), every node a query, graph search at ef 100 against exact_search; per build seed and thread
count, so that a graph one seed or one thread schedule leaves broken shows up. No peer has the metric.

A default run writes out/health.md and its section of bench/RESULTS.md; any other run out/health_*.md.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import datetime
import gc
import os
import shlex
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import peer_systems as ps

K = ps.K
EFS = (16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)
TARGETS = (0.95, 0.99)
STRANDED_BELOW = 0.5
STRANDED_EFS = (32, 64, 128)
SYSTEMS = ("quellix", "hnswlib", "FAISS HNSW")
QUELLIX_SEED = 0
MAMMAL_EF = 100
MAMMAL_TRAIN_SEED = 0
SPEED_TARGET, BUILD_TARGET, MAMMAL_RECALL_TARGET = 1.3, 1.0, 0.995
PARTS = ("clusters", "mammals")
DEFAULTS = dict(parts=list(PARTS), threads=[1, 2], build_threads=[2], repeat=3, epochs=400, dims=[2, 5, 10],
                seeds=20)


def _hnswlib_search(index, queries, ef, threads):
    index.set_ef(ef)
    return index.knn_query(queries, k=K, num_threads=threads)[0]


def _faiss_search(index, queries, ef, threads):
    import faiss
    faiss.omp_set_num_threads(threads)
    index.hnsw.efSearch = ef
    return index.search(queries, K)[1]


SEARCH = {"quellix": lambda index, queries, ef, threads: index.search(queries, K, ef=ef, num_threads=threads)[0],
          "hnswlib": _hnswlib_search, "FAISS HNSW": _faiss_search}


def verdict(ok):
    return "met" if ok else "missed"


# --- clusters ---------------------------------------------------------------------------------

def build_all(base, build_threads, tmp):
    """Each system built in a fresh process and loaded back: (measurements, indexes) by system."""
    data = Path(tmp) / "base.npy"
    if not data.exists():
        np.save(data, base)
    builds, indexes = {}, {}
    for name in SYSTEMS:
        path = Path(tmp) / f"index{ps.SUFFIX[name]}"
        common.log(f"building {name} on {build_threads} threads")
        builds[name] = ps.build_in_subprocess(name, "l2", data, path, build_threads,
                                              QUELLIX_SEED if name == "quellix" else None)
        system = ps.SYSTEMS[name](base.shape[1], "l2", len(base))
        system.load(str(path))
        os.unlink(path)
        indexes[name] = system.index
        common.log(f"{name}: built in {builds[name]['build_s']:.1f} s")
    return builds, indexes


def sweep(indexes, base, queries, kth, threads, repeat):
    """points (system, threads) -> [(recall, q/s, ef)] and stranded (system, threads, ef) -> count."""
    points, stranded = {}, {}
    for ef in EFS:
        for t in threads:
            sides = {name: (lambda q, f=SEARCH[name], i=index: f(i, q, ef, t), [queries])
                     for name, index in indexes.items()}
            for name, (found, secs) in common.race(sides, repeat, warmup=1).items():
                per = common.query_recall_with_ties(base, queries, found[0], kth, K, "l2")
                points.setdefault((name, t), []).append((float(per.mean()), len(queries) / secs, ef))
                stranded[(name, t, ef)] = int((per < STRANDED_BELOW).sum())
        common.log(f"ef {ef} swept")
    return points, stranded


def clusters_round(base, queries, kth, bt, args, tmp):
    """Builds on bt threads, sweeps, frees the indexes: the report section and its target checks."""
    builds, indexes = build_all(base, bt, tmp)
    quellix_bytes = indexes["quellix"].stats()["memory_bytes"] / len(base)
    points, stranded = sweep(indexes, base, queries, kth, args.threads, args.repeat)
    del indexes
    gc.collect()
    rows = [[name, bt, f"{b['build_s']:.1f}", f"{b['cpu_s']:.1f}", f"{b['load_before']:.2f}",
             f"{b['degree0']:.1f}" if b.get("degree0") is not None else "—", f"{b['rss_growth'] / len(base):.0f}",
             f"{b['file_bytes'] / len(base):.0f}"] for name, b in builds.items()]
    build_ratio = builds["quellix"]["build_s"] / builds["hnswlib"]["build_s"]
    text = [f"### Built on {bt} thread{'s' if bt > 1 else ''}", "",
            common.markdown_table(["system", "build threads", "wall s", "CPU s", "load before", "layer-0 degree",
                                   "B/vector (RSS growth)", "file B/vector"], rows), "",
            f"Build wall seconds quellix / hnswlib: {build_ratio:.2f}. quellix's own count "
            f"(`stats()['memory_bytes']`): {quellix_bytes:.0f} B/vector.", ""]
    rows = [[ef, t] + [f"{rec:.4f} / {qps:,.0f} / {stranded[(name, t, ef)]}"
                       for name in SYSTEMS for rec, qps, e in points[(name, t)] if e == ef]
            for t in args.threads for ef in EFS]
    text += [f"Sweep (cells: recall@{K} / queries/s / queries below recall {STRANDED_BELOW}):", "",
             common.markdown_table(["ef", "search threads", *SYSTEMS], rows), ""]
    table, ratios = common.target_table(points, list(SYSTEMS), args.threads, TARGETS)
    text += ["Best queries/s reaching each recall:", "", table, ""]
    t0 = args.threads[0]
    ef99 = next((ef for rec, _, ef in points[("hnswlib", t0)] if rec >= 0.99), None)
    efs = ([ef99] if ef99 else []) + [ef for ef in STRANDED_EFS if ef != ef99]
    rows = [[f"{ef}" + (" (hnswlib first reaches 0.99)" if ef == ef99 else "")]
            + [stranded[(name, t0, ef)] for name in SYSTEMS] for ef in efs]
    text += [f"Queries with recall@{K} below {STRANDED_BELOW} ({t0}-thread sweep"
             + ("" if ef99 else "; hnswlib never reaches 0.99") + "):", "",
             common.markdown_table(["ef", *SYSTEMS], rows), ""]
    speed_ok = all(r is not None and r >= SPEED_TARGET for r in ratios.values())
    strand_ok = all(stranded[("quellix", t0, ef)] <= stranded[("hnswlib", t0, ef)] for ef in efs)
    speed = ", ".join(f"{r:.2f}" if r is not None else "n/a" for r in ratios.values())
    text += [f"**Targets (built on {bt} threads):** quellix ≥ {SPEED_TARGET}× best peer at "
             f"{' and '.join(map(str, TARGETS))} on {'/'.join(map(str, args.threads))} threads: {verdict(speed_ok)} "
             f"({speed}); stranded queries ≤ hnswlib's: {verdict(strand_ok)}; build ≤ {BUILD_TARGET}× hnswlib: "
             f"{verdict(build_ratio <= BUILD_TARGET)} ({build_ratio:.2f}).", ""]
    return "\n".join(text)


def clusters(args):
    common.log(f"wide clusters: {args.n:,} x {common.DIM}, {args.queries:,} queries")
    base, queries = common.make_wide_clusters(args.n, args.queries)
    start = time.perf_counter()
    _, dist = common.exact_topk_dist(base, queries, K, "l2")
    common.log(f"exact answers in {time.perf_counter() - start:.0f} s")
    text = [f"## Wide clusters: {args.n:,} × {common.DIM}, squared Euclidean", "",
            f"{common.WIDE_CLUSTERS:,} Gaussian clusters, centres N(0, {common.WIDE_CENTRE_SCALE:g}²) and noise "
            f"N(0, {common.WIDE_NOISE_SCALE:g}²) per component; {args.queries:,} fresh queries, k = {K}, "
            f"best of {args.repeat} passes.", ""]
    with tempfile.TemporaryDirectory(prefix="quellix_health_") as tmp:
        for bt in args.build_threads:
            text.append(clusters_round(base, queries, dist[:, -1], bt, args, tmp))
    return "\n".join(text)


# --- mammals ----------------------------------------------------------------------------------

def mammals(args):
    import quellix
    from poincare_accuracy import mammal_closure, train
    pairs = mammal_closure()
    rows, stranded_total, lowest, unreachable_all = [], 0, 1.0, []
    for dim in args.dims:
        start = time.perf_counter()
        x = train(pairs, dim, args.epochs, MAMMAL_TRAIN_SEED)
        common.log(f"mammals {dim}-d: {len(x):,} nodes, vectors in {time.perf_counter() - start:.0f} s")
        for t in args.threads:
            means, stranded, unreachable = [], [], []
            for seed in range(args.seeds):
                index = quellix.Index(dim, "poincare", seed=seed)
                index.add(x, num_threads=t)
                if not means:
                    kth = index.exact_search(x, K)[1][:, -1]
                per = common.recall_by_distance(index.search(x, K, ef=MAMMAL_EF, num_threads=t)[1], kth, K)
                means.append(per.mean())
                stranded.append(int((per < STRANDED_BELOW).sum()))
                unreachable.append(index.stats().get("unreachable"))
            known = None not in unreachable
            rows.append([f"{dim}-d", t, args.seeds, f"{np.mean(means):.4f}", f"{min(means):.4f}",
                         sum(s > 0 for s in stranded), sum(stranded), sum(unreachable) if known else "n/a"])
            stranded_total += sum(stranded)
            lowest = min(lowest, float(np.mean(means)))
            unreachable_all += unreachable
    unreach = "n/a (no `unreachable` in stats())" if None in unreachable_all else (
        f"{verdict(sum(unreachable_all) == 0)} ({sum(unreachable_all)})")
    return "\n".join([
        f"## WordNet mammals in the Poincaré ball (gensim, {args.epochs} epochs)", "",
        f"{len(x):,} nodes, every node a query; `quellix.Index(dim, 'poincare', seed=s)` for seeds "
        f"0..{args.seeds - 1}, float64 `add` on T threads, `search` at ef {MAMMAL_EF} against `exact_search` "
        f"(a found id counts when its distance is within the tolerances of the exact {K}th).", "",
        common.markdown_table(["set", "threads", "builds", f"mean recall@{K}", "lowest build mean",
                               f"builds with a query < {STRANDED_BELOW}", f"queries < {STRANDED_BELOW}",
                               "unreachable (sum)"], rows), "",
        f"**Targets:** no build leaves a query below {STRANDED_BELOW}: {verdict(stranded_total == 0)} "
        f"({stranded_total}); mean recall ≥ {MAMMAL_RECALL_TARGET}: {verdict(lowest >= MAMMAL_RECALL_TARGET)} "
        f"(lowest {lowest:.4f}); unreachable 0: {unreach}.", ""])


# --- command line -----------------------------------------------------------------------------

def int_list(text):
    return [int(v) for v in text.split(",")]


def main():
    p = common.parser(__doc__.splitlines()[0], 1_000_000, 2000, 20_000, 200)
    p.add_argument("--parts", type=lambda s: s.split(","), default=DEFAULTS["parts"], help="clusters,mammals")
    p.add_argument("--threads", type=int_list, default=DEFAULTS["threads"], help="search threads, e.g. 1,2")
    p.add_argument("--build-threads", type=int_list, default=DEFAULTS["build_threads"],
                   help="build the systems once per count (default 2); every build is swept on --threads")
    p.add_argument("--repeat", type=int, default=None, help="timed passes per point (default 3, quick 1)")
    p.add_argument("--epochs", type=int, default=None, help="gensim epochs (default 400, quick 20)")
    p.add_argument("--dims", type=int_list, default=DEFAULTS["dims"], help="mammal dimensions, e.g. 2,5,10")
    p.add_argument("--seeds", type=int, default=None, help="mammal builds per set and thread count "
                   "(default 20, quick 2)")
    args = common.resolve(p.parse_args())
    for key, quick in (("repeat", 1), ("epochs", 20), ("seeds", 2)):
        if getattr(args, key) is None:
            setattr(args, key, quick if args.quick else DEFAULTS[key])
    if set(args.parts) - set(PARTS):
        p.error(f"--parts takes {','.join(PARTS)}")
    full = (not args.quick and (args.n, args.queries) == args._sizes[:2]
            and all(getattr(args, k) == v for k, v in DEFAULTS.items()))
    started = datetime.datetime.now(datetime.timezone.utc)
    t0, load0 = time.perf_counter(), os.getloadavg()
    sections = [clusters(args) if part == "clusters" else mammals(args) for part in args.parts]
    text = "\n".join([
        "# Graph health: quellix, hnswlib, FAISS HNSW", "",
        f"Generated by `bench/health.py` ({shlex.join(sys.argv[1:]) or 'default sizes'}) on "
        f"{started:%Y-%m-%d %H:%M} UTC in {(time.perf_counter() - t0) / 60:.1f} min; {common.cpu_model()}; "
        f"{common.environment_line()}; quellix {ps.versions()['quellix']}, faiss-cpu {ps.versions()['faiss-cpu']}. "
        f"Load average (1/5/15 min) {'/'.join(f'{v:.2f}' for v in load0)} before, "
        f"{'/'.join(f'{v:.2f}' for v in os.getloadavg())} after.", "", *sections])
    name = "health" if full else common.report_name("health_" + "_".join(args.parts), args)
    print(text)
    print(f"report: {common.write_report(name, text)}")
    if full:  # the default run is the recorded one
        print(f"and its section of {common.record_section('health.py', text)}")


if __name__ == "__main__":
    main()
