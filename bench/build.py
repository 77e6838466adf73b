"""Build time: vek_core, quellix on 1 and 2 threads, hnswlib and FAISS HNSW on 1 and 2 threads.

The build table of issue 13. For every data set, each build runs in a fresh process
(peer_systems.build_worker): wall seconds, CPU seconds of all the process's threads, resident-memory
growth across the build and the saved file's size. Builds, in this order, with M 16 and
ef_construction 200 everywhere (FAISS `efConstruction`):

- vek_core: one `add_item_and_link(v, 0, 200)` call per row (one thread: it starts none);
- quellix: `quellix.Index(d, metric, M=16, ef_construction=200, seed=1).add(rows, num_threads=T)`;
- hnswlib: `add_items` in chunks of 1,000 rows with `num_threads=T`;
- FAISS: `IndexHNSWFlat(d, 16)` with one `add` call after `faiss.omp_set_num_threads(T)`;

for T = 1 and 2. The Poincare set has no hnswlib or FAISS side; the same rows under squared Euclidean
are a row of their own. Ratios are of wall seconds: quellix / hnswlib at 1 and at 2 threads, and
quellix's 1-thread time over its 2-thread time (the speedup). Memory: RSS growth / n for each build,
and quellix's against the bytes per vector vek_core needed in the recorded run of bench/RESULTS.md
(RECORDED_BYTES; comparable at the full sizes only). Recall@10 of quellix's 1- and 2-thread graphs
(loaded back from their files, searched in batches) against the exact float64 answers (common.py,
ties counted) at one ef: the smallest of EF_SWEEP where the 1-thread graph reaches 0.95 (or --ef).
common.py's float64 Poincare formula carries vek_core's clamps; on the noun placement (|x|^2 <= 0.99)
they only touch pairs closer than arcosh(1.000001) = 0.0014, which the tie rule counts alike.

Full run (default sizes, every data set and build): bench/out/build.md and a section of
bench/RESULTS.md (between markers, kept when peers.py rewrites that file). Any other run writes
bench/out/build_<tag>.md only. Each build is timed once: run it on a quiet machine (the report gives
the load average before and after every build and every data set).
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse
import datetime
import filecmp
import os
import shlex
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import peer_data
import peer_systems as ps

HERE = Path(__file__).resolve().parent
K = ps.K
TARGET_RECALL = 0.95
EF_SWEEP = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)

# row name -> (peer_data set, metric under which its rows are indexed; None: the set's own)
DATASETS = {
    "clusters-l2": ("clusters-l2", None),
    "lsa-cosine": ("lsa-cosine", None),
    "wordnet-poincare": ("wordnet-poincare", None),
    "wordnet-l2": ("wordnet-poincare", "l2"),
    "lsa-l2": ("lsa-l2", None),  # not in the table; accepted so that peers.py's --datasets work here too
}
TABLE = ["clusters-l2", "lsa-cosine", "wordnet-poincare", "wordnet-l2"]
# build name -> (peer_systems system, threads); the order is the order of the builds and the columns.
BUILDS = {
    "vek_core": ("vek_core", 1),
    "quellix-1": ("quellix", 1),
    "quellix-2": ("quellix", 2),
    "hnswlib-1": ("hnswlib", 1),
    "hnswlib-2": ("hnswlib", 2),
    "faiss-1": ("FAISS HNSW", 1),
    "faiss-2": ("FAISS HNSW", 2),
}
LABELS = {"vek_core": "vek_core", "quellix-1": "quellix 1t", "quellix-2": "quellix 2t",
          "hnswlib-1": "hnswlib 1t", "hnswlib-2": "hnswlib 2t", "faiss-1": "FAISS 1t", "faiss-2": "FAISS 2t"}
# vek_core's bytes per stored vector (RSS growth / n) and its n in the full peers.py run recorded in
# bench/RESULTS.md (2026-12-08, commit 64d61a5), before issue 13's work.
RECORDED_BYTES = {"clusters-l2": (745, 100_000), "lsa-cosine": (742, 116_613), "wordnet-poincare": (366, 81_115)}
DEFAULTS = dict(n=None, queries=1000)
QUICK = dict(n=5000, queries=200)
RESULTS_KEY = "bench/build.py"


log = common.log


# --- measuring --------------------------------------------------------------------------------

def recall_sweep(index, ds, kth, efs):
    """ef -> recall@10 of a quellix index over the data set's queries (one batch per ef, all cores)."""
    out = {}
    for ef in efs:
        ids, _ = index.search(ds.queries, K, ef=ef, num_threads=0)
        out[ef] = common.recall_with_ties(ds.base, ds.queries, ids, kth, K, ds.metric)
    return out


def run_dataset(row, args, tmp):
    t0 = time.perf_counter()
    load_start = os.getloadavg()
    source, metric = DATASETS[row]
    n = args.n if args.n is not None else (100_000 if source == "clusters-l2" else 10**9)
    ds = peer_data.load(source, n, args.queries, metric=metric)
    log(f"{row}: {len(ds.base):,} x {ds.dim} rows, {len(ds.queries)} queries, metric {ds.metric}")
    data_path = Path(tmp) / f"{row}.npy"
    np.save(data_path, ds.base)

    builds, files = {}, {}
    for key in args.builds:
        system, threads = BUILDS[key]
        if ds.metric not in ps.SYSTEMS[system].metrics:
            continue
        index_path = Path(tmp) / f"{row}-{key}{ps.SUFFIX[system]}"
        log(f"{row}: building {LABELS[key]}")
        builds[key] = ps.build_in_subprocess(system, ds.metric, data_path, index_path, threads)
        log(f"{row}: {LABELS[key]} built in {builds[key]['build_s']:.1f} s (CPU {builds[key]['cpu_s']:.1f} s)")
        if system == "quellix":
            files[key] = index_path
        else:
            os.unlink(index_path)
    os.unlink(data_path)

    recall, same_file = {}, None
    if files:
        log(f"{row}: exact answers and quellix recall")
        _, truth_dist = common.exact_topk_dist(ds.base, ds.queries, K, ds.metric)
        efs = [args.ef] if args.ef else list(EF_SWEEP)
        for key, path in files.items():
            system = ps.Quellix(ds.dim, ds.metric, len(ds.base))
            system.load(str(path))
            recall[key] = recall_sweep(system.index, ds, truth_dist[:, -1], efs)
        if len(files) == 2:
            same_file = filecmp.cmp(*files.values(), shallow=False)
        for path in files.values():
            os.unlink(path)
    return {"name": row, "metric": ds.metric, "description": ds.description, "n": len(ds.base), "dim": ds.dim,
            "queries": len(ds.queries), "builds": builds, "recall": recall, "same_file": same_file,
            "load_start": load_start, "load_end": os.getloadavg(), "seconds": time.perf_counter() - t0}


# --- report -----------------------------------------------------------------------------------

def chosen_ef(res):
    """The ef of the recall comparison: the smallest swept ef where quellix's 1-thread graph reaches
    TARGET_RECALL (the largest swept if none does), with its recall per graph."""
    rec = res["recall"]
    if not rec:
        return None, {}
    base = rec.get("quellix-1") or next(iter(rec.values()))
    efs = sorted(base)
    ef = next((e for e in efs if base[e] >= TARGET_RECALL), efs[-1])
    return ef, {key: r[ef] for key, r in rec.items()}


def ratio(res, num, den):
    b = res["builds"]
    return f"{b[num]['build_s'] / b[den]['build_s']:.2f}" if num in b and den in b else "—"


def fmt_load(la):
    return "/".join(f"{x:.2f}" for x in la)


def summary_tables(results, keys):
    rows = []
    for res in results:
        b = res["builds"]
        rows.append([res["name"], f"{res['n']:,} × {res['dim']}", res["metric"]]
                    + [f"{b[k]['build_s']:.1f}" if k in b else "—" for k in keys]
                    + [ratio(res, "quellix-1", "hnswlib-1"), ratio(res, "quellix-2", "hnswlib-2"),
                       ratio(res, "quellix-1", "quellix-2")])
    build = common.markdown_table(["data", "n × d", "metric"] + [f"{LABELS[k]} s" for k in keys]
                                  + ["quellix 1t / hnswlib 1t", "quellix 2t / hnswlib 2t",
                                     "quellix 1t / 2t (speedup)"], rows)
    rows = []
    for res in results:
        b, n = res["builds"], res["n"]
        per = {k: b[k]["rss_growth"] / n for k in ("vek_core", "quellix-1", "quellix-2") if k in b}
        rec_bytes, rec_n = RECORDED_BYTES.get(res["name"], (None, None))
        comparable = rec_bytes is not None and rec_n == n
        ef, at = chosen_ef(res)
        q1, q2 = at.get("quellix-1"), at.get("quellix-2")
        rows.append([res["name"]] + [f"{per[k]:.0f}" if k in per else "—" for k in ("vek_core", "quellix-1", "quellix-2")]
                    + [f"{rec_bytes}" + ("" if comparable else f" (n {rec_n:,})") if rec_bytes else "—",
                       f"{per['quellix-1'] / rec_bytes:.2f}" if comparable and "quellix-1" in per else "—",
                       f"{per['quellix-2'] / rec_bytes:.2f}" if comparable and "quellix-2" in per else "—",
                       ef if ef is not None else "—", f"{q1:.4f}" if q1 is not None else "—",
                       f"{q2:.4f}" if q2 is not None else "—",
                       f"{q2 - q1:+.4f}" if q1 is not None and q2 is not None else "—"])
    memory = common.markdown_table(
        ["data", "vek_core B/vector", "quellix 1t B/vector", "quellix 2t B/vector", "recorded vek_core B/vector",
         "quellix 1t / recorded", "quellix 2t / recorded", "ef", "recall@10 quellix 1t", "recall@10 quellix 2t",
         "2t − 1t"], rows)
    return build, memory


def dataset_section(res):
    lines = [f"### {res['name']} — {res['metric']}", "",
             f"{res['description']}. n = {res['n']:,}, d = {res['dim']}, {res['queries']} held-out queries. Load "
             f"average (1/5/15 min) {fmt_load(res['load_start'])} at the start, {fmt_load(res['load_end'])} at "
             f"the end; section took {res['seconds'] / 60:.1f} min.", ""]
    rows = []
    for key, b in res["builds"].items():
        rows.append([LABELS[key], b["threads"], f"{b['build_s']:.2f}", f"{b['cpu_s']:.2f}",
                     f"{b['cpu_s'] / b['build_s']:.2f}", f"{b['rss_growth'] / 2**20:.1f}",
                     f"{b['rss_growth'] / res['n']:.0f}", f"{b['file_bytes'] / 2**20:.1f}",
                     f"{b['degree0']:.1f}" if b.get("degree0") is not None else "—",
                     f"{b.get('load_before', float('nan')):.2f}", f"{b['load']:.2f}"])
    lines += [common.markdown_table(["build", "threads", "wall s", "CPU s", "CPU / wall", "RSS growth MiB",
                                     "B/vector", "file MiB", "layer-0 degree", "load before", "load after"], rows), ""]
    if res["recall"]:
        keys = list(res["recall"])
        efs = sorted(res["recall"][keys[0]])
        rows = [[ef] + [f"{res['recall'][k][ef]:.4f}" for k in keys] for ef in efs]
        same = {True: "byte-identical", False: "different", None: "not compared"}[res["same_file"]]
        lines += [f"quellix recall@{K} by ef (files of the 1- and 2-thread builds: {same}):", "",
                  common.markdown_table(["ef"] + [LABELS[k] for k in keys], rows), ""]
    return "\n".join(lines)


def report(run, keys):
    v = ps.versions()
    started = datetime.datetime.fromisoformat(run["started"])
    build, memory = summary_tables(run["results"], keys)
    lines = [
        "## Build: vek_core, quellix, hnswlib and FAISS HNSW on 1 and 2 threads", "",
        f"Generated by `bench/build.py` ({shlex.join(run['argv']) or 'default sizes'}) on "
        f"{started:%Y-%m-%d %H:%M} UTC; the run took {run['seconds'] / 60:.1f} min. {os.cpu_count()} cores, "
        f"{common.cpu_model()}; Python {sys.version.split()[0]}, quellix {v['quellix']}, hnswlib {v['hnswlib']}, "
        f"faiss-cpu {v['faiss-cpu']}, numpy {v['numpy']}. Load average (1/5/15 min) "
        f"{fmt_load(run['load_start'])} before the run, {fmt_load(run['load_end'])} after it.", "",
        "Each build in a fresh process, timed once; M 16, ef_construction 200 (FAISS `efConstruction`). "
        "vek_core: one `add_item_and_link` call per row; quellix: one `Index.add(rows, num_threads=T)` "
        "(seed 1); hnswlib: `add_items` in chunks of 1,000 rows, `num_threads=T`; FAISS: `IndexHNSWFlat` "
        "`add` after `faiss.omp_set_num_threads(T)`. Wall seconds; ratios of wall seconds (below 1: quellix "
        "faster; the speedup is quellix's 1-thread time over its 2-thread time).", "",
        build, "",
        "Memory: RSS growth across the build / n (bytes per stored vector, including the graph). "
        "\"Recorded\" is vek_core's figure in the full peers.py run of bench/RESULTS.md (2026-12-08), before "
        "issue 13's work; the ratios are given only where n is that run's. Recall@10 of quellix's graphs "
        f"(loaded back from their files) against the exact float64 top {K}, ties counted, at the smallest "
        f"swept ef where the 1-thread graph reaches {TARGET_RECALL}"
        + (f" (here fixed by --ef {run['ef']})" if run.get("ef") else "") + ".", "",
        memory, "",
        "Layer-0 degree (per data set below): the mean number of layer-0 neighbours per node of each "
        "built graph. Every insertion searches through these lists and joins each neighbour it picks, so "
        "the work per row grows with it: quellix and vek_core keep every list topped up to 2M with "
        "candidates the heuristic pruned, hnswlib and FAISS keep only the ones it left.", "",
    ]
    for res in run["results"]:
        lines.append(dataset_section(res))
    return "\n".join(lines)


# --- command line -----------------------------------------------------------------------------

def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help=f"{QUICK['n']:,} rows a set, {QUICK['queries']} queries: "
                   "a smoke run")
    p.add_argument("--n", type=int, default=None,
                   help="base rows per data set (default: every row of the corpora, 100000 generated)")
    p.add_argument("--queries", type=int, default=None, help=f"held-out queries (default {DEFAULTS['queries']})")
    p.add_argument("--datasets", nargs="+", default=TABLE, choices=list(DATASETS))
    p.add_argument("--builds", nargs="+", default=list(BUILDS), choices=list(BUILDS),
                   help="a subset of the builds (the columns)")
    p.add_argument("--ef", type=int, default=None,
                   help=f"the search width of the recall comparison (default: the smallest of the sweep "
                        f"where quellix's 1-thread graph reaches {TARGET_RECALL})")
    p.add_argument("--report", type=Path, default=None, help="Markdown report path")
    argv = sys.argv[1:]
    args = p.parse_args()
    full = (not args.quick and args.n is None and args.queries is None and args.ef is None
            and args.datasets == TABLE and args.builds == list(BUILDS))
    sizes = QUICK if args.quick else DEFAULTS
    if args.n is None:
        args.n = sizes["n"]
    if args.queries is None:
        args.queries = sizes["queries"]
    tag = "build" if full else "build_quick" if args.quick and argv == ["--quick"] else "build_custom"
    report_path = args.report.resolve() if args.report else common.OUT_DIR / f"{tag}.md"

    started = datetime.datetime.now(datetime.timezone.utc)
    t0, load_start = time.perf_counter(), os.getloadavg()
    results = []
    with tempfile.TemporaryDirectory(prefix="quellix_build_") as tmp:
        for row in args.datasets:
            results.append(run_dataset(row, args, tmp))
            print(dataset_section(results[-1]), flush=True)
    run = {"started": started.isoformat(), "seconds": time.perf_counter() - t0, "argv": argv, "ef": args.ef,
           "load_start": load_start, "load_end": os.getloadavg(), "results": results}
    text = report(run, args.builds)
    report_path.parent.mkdir(parents=True, exist_ok=True)
    report_path.write_text(text + "\n")
    print(text)
    print(f"\nwritten to {report_path}", end="")
    if full and args.report is None:
        common.replace_section(HERE / "RESULTS.md", RESULTS_KEY, text)
        print(f" and to its section of {HERE / 'RESULTS.md'}", end="")
    print(f" (this run took {(time.perf_counter() - t0) / 60:.1f} min)")


if __name__ == "__main__":
    main()
