"""vek_core side by side with hnswlib, FAISS, USearch and NumPy: one run, the same data, one thread each.

For every data set (peer_data.DATASETS):
- each system is built in a fresh process (peer_systems.build_worker): build time, resident-memory
  growth across the build (/proc/self/statm) and the size of the file its own save writes;
- this process loads every saved index and searches it one query per Python call; the systems take
  turns pass by pass (common.race) for each search width, so load from elsewhere hits them alike,
  and the fastest pass counts;
- recall@10 against the exact float64 top 10, with ties counted (common.recall_with_ties);
- query rate with one and with two Python threads sharing the queries, for each system at the
  smallest search width that reaches recall 0.95 (searches that release the GIL can overlap).
The Poincare set has no peer with that metric: vek_core's graph search runs against its own
exhaustive scan and a NumPy brute force computing the same clamped arcosh distance.

Full run (no size or subset flags): bench/RESULTS.md and bench/plots/*.png. Any other run (--quick,
--n, a subset of data sets or systems) writes bench/out/peers_<tag>.md and bench/out/plots/ unless
--report says otherwise. Every run leaves its record in bench/out/peers/run_<tag>.json: --report-only
rewrites a report from it, and --rerun-of adds a later run (typically a subset of systems measured
again at a quieter moment) to it and to its report, beside the first numbers rather than over them.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse
import datetime
import json
import os
import shlex
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

import peer_data
import peer_systems as ps

HERE = Path(__file__).resolve().parent
K = ps.K
EF_SEARCH = [10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 512]
TARGET_RECALL = 0.95
MIN_PASS_S = 0.3
GRAPH = ["vek_core", "hnswlib", "FAISS HNSW", "USearch"]
EXACT = ["vek_core exhaustive", "FAISS flat", "NumPy brute force"]
DEFAULTS = dict(n=None, queries=1000, exact_queries=200, clusters_n=100_000, repeat=5)
QUICK = dict(n=10_000, queries=200, exact_queries=100, clusters_n=10_000, repeat=2)


log = common.log


# --- timing -----------------------------------------------------------------------------------

def _runqueue_ns():
    """Nanoseconds this thread has spent runnable but waiting for a core (/proc schedstat)."""
    try:
        with open("/proc/thread-self/schedstat") as f:
            return int(f.read().split()[1])
    except (OSError, IndexError, ValueError):
        return 0


def threaded_pass(fn, items, n_threads):
    """n_threads Python threads answer items between them (interleaved shares).

    Returns (wall seconds, CPU seconds of the process, seconds the threads spent waiting for a core):
    CPU near n_threads x wall means the threads did run side by side; CPU near wall with a large wait
    means the machine had no core to spare, CPU near wall with no wait means they took turns (a lock).
    """
    shares = [items[i::n_threads] for i in range(n_threads)]
    gate = threading.Barrier(n_threads + 1)
    waits = [0] * n_threads

    def work(i):
        gate.wait()
        w0 = _runqueue_ns()
        for x in shares[i]:
            fn(x)
        waits[i] = _runqueue_ns() - w0

    threads = [threading.Thread(target=work, args=(i,)) for i in range(n_threads)]
    for t in threads:
        t.start()
    cpu0 = time.process_time()
    gate.wait()
    start = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - start, time.process_time() - cpu0, sum(waits) / 1e9


def thread_scaling(fn, items, repeat):
    """Queries/s with 1 and with 2 threads (passes alternate, the fastest of each counts), and the CPU
    use and core wait, per second of wall time, of the fastest 2-thread pass."""
    for x in items[:5]:
        fn(x)
    best = {1: (float("inf"), 0.0, 0.0), 2: (float("inf"), 0.0, 0.0)}
    for _ in range(max(1, repeat)):
        for n in (1, 2):
            best[n] = min(best[n], threaded_pass(fn, items, n))
    wall2, cpu2, wait2 = best[2]
    return len(items) / best[1][0], len(items) / wall2, cpu2 / wall2, wait2 / wall2


# --- one data set -----------------------------------------------------------------------------

def systems_for(metric, wanted):
    return [name for name in GRAPH + EXACT if name in wanted and metric in ps.SYSTEMS[name].metrics]


def run_dataset(name, args, tmp):
    t0 = time.perf_counter()
    load_start = os.getloadavg()
    n = args.clusters_n if name == "clusters-l2" else (args.n or 10**9)
    ds = peer_data.load(name, n, args.queries)
    log(f"{name}: {len(ds.base)} x {ds.dim} base rows, {len(ds.queries)} queries, metric {ds.metric}")
    data_path = Path(tmp) / f"{name}.npy"
    np.save(data_path, ds.base)

    start = time.perf_counter()
    _, truth_dist = common.exact_topk_dist(ds.base, ds.queries, K, ds.metric)
    truth_s = time.perf_counter() - start
    kth = truth_dist[:, -1]
    n_exact = min(args.exact_queries, len(ds.queries))

    def recall(found, n_q=None):
        n_q = len(found) if n_q is None else n_q
        return common.recall_with_ties(ds.base, ds.queries[:n_q], found, kth[:n_q], K, ds.metric)

    names = systems_for(ds.metric, args.systems)
    builds, loaded = {}, {}
    for sys_name in names:
        index_path = Path(tmp) / f"{name}-{sys_name.replace(' ', '_')}{ps.SUFFIX[sys_name]}"
        log(f"{name}: building {sys_name}")
        builds[sys_name] = ps.build_in_subprocess(sys_name, ds.metric, data_path, index_path)
        log(f"{name}: {sys_name} built in {builds[sys_name]['build_s']:.1f} s")
        system = ps.SYSTEMS[sys_name](ds.dim, ds.metric, len(ds.base))
        system.load(str(index_path))
        os.unlink(index_path)
        loaded[sys_name] = system
    os.unlink(data_path)

    graph = [s for s in names if s in GRAPH]
    exact = [s for s in names if s in EXACT]
    rows = {s: loaded[s].rows(ds.queries) for s in names}

    # One untimed pass each first: the first timed pass of a freshly loaded index would otherwise pay
    # for cold caches and page faults that later passes do not see.
    mid = args.ef[len(args.ef) // 2]
    for s in graph:
        common.run_timed(loaded[s].searcher(mid), rows[s])
    for s in exact:
        common.run_timed(loaded[s].searcher(), rows[s][:n_exact])

    sweep = {s: [] for s in graph}
    for ef in args.ef:
        log(f"{name}: ef_search {ef}")
        timed = common.race({s: (loaded[s].searcher(ef), rows[s]) for s in graph}, args.repeat)
        for s, (found, secs) in timed.items():
            sweep[s].append({"ef": ef, "recall": recall(found), "qps": len(found) / secs})

    exact_res = {}
    if exact:
        log(f"{name}: exhaustive searches, {n_exact} queries")
        timed = common.race({s: (loaded[s].searcher(), rows[s][:n_exact]) for s in exact}, args.repeat)
        for s, (found, secs) in timed.items():
            exact_res[s] = {"recall": recall(found, n_exact), "qps": len(found) / secs}

    scaling = {}
    for s in names:
        if s in graph:
            reached = [p for p in sweep[s] if p["recall"] >= TARGET_RECALL]
            point = reached[0] if reached else sweep[s][-1]
            ef, items, qps = point["ef"], rows[s], point["qps"]
        else:
            ef, items, qps = None, rows[s][:n_exact], exact_res[s]["qps"]
        # Passes of at least ~MIN_PASS_S, so that starting the threads and the scheduler's time slices
        # do not weigh on the ratio.
        items = items * max(1, int(np.ceil(MIN_PASS_S * qps / len(items))))
        log(f"{name}: 1 vs 2 threads, {s}")
        q1, q2, cpu, wait = thread_scaling(loaded[s].searcher(ef) if ef else loaded[s].searcher(), items,
                                           args.repeat)
        scaling[s] = {"ef": ef, "qps1": q1, "qps2": q2, "ratio": q2 / q1, "queries": len(items),
                      "cpu2": cpu, "wait2": wait}

    return {"name": name, "metric": ds.metric, "description": ds.description, "n": len(ds.base),
            "dim": ds.dim, "queries": len(ds.queries), "exact_queries": n_exact, "total_rows": ds.total_rows,
            "truth_s": truth_s, "builds": builds, "sweep": sweep, "exact": exact_res, "threads": scaling,
            "load_start": load_start, "load_end": os.getloadavg(), "seconds": time.perf_counter() - t0}


# --- report -----------------------------------------------------------------------------------

def read_bandwidth(mib=512, repeat=3):
    """GB/s one thread streams from memory: a NumPy matrix-vector product over a matrix far larger
    than the caches, the fastest of a few passes."""
    a = np.ones((mib * 2**20 // 512, 128), dtype=np.float32)
    q = np.ones(128, dtype=np.float32)
    best = float("inf")
    for _ in range(repeat + 1):  # the first pass also faults the pages in
        start = time.perf_counter()
        a @ q
        best = min(best, time.perf_counter() - start)
    return a.nbytes / best / 1e9


def build_seconds(b):
    """CPU seconds of a build where recorded (every system builds on one thread), else wall seconds."""
    return b.get("cpu_s", b["build_s"])


def best_at_target(points):
    """The fastest sweep point with recall >= TARGET_RECALL, or None."""
    ok = [p for p in points if p["recall"] >= TARGET_RECALL]
    return max(ok, key=lambda p: p["qps"]) if ok else None


def plot(res, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    # x is the miss rate 1 - recall on a log scale (drawn as recall), so that 0.9, 0.99 and 0.999 are
    # equally far apart; a perfect recall sits at half the smallest measurable miss rate.
    floor = 0.5 / (K * res["queries"])
    miss = lambda r: max(1.0 - r, floor)  # noqa: E731
    fig, ax = plt.subplots(figsize=(6.4, 4.2), dpi=90)
    styles = {"vek_core": ("tab:red", "o"), "hnswlib": ("tab:blue", "s"), "FAISS HNSW": ("tab:green", "^"),
              "USearch": ("tab:purple", "D"), "vek_core exhaustive": ("tab:red", "*"),
              "FAISS flat": ("tab:green", "*"), "NumPy brute force": ("black", "X")}
    for s, points in res["sweep"].items():
        color, marker = styles[s]
        ax.plot([miss(p["recall"]) for p in points], [p["qps"] for p in points], marker=marker, color=color,
                label=s, markersize=4, linewidth=1.2)
    for s, e in res["exact"].items():
        color, marker = styles[s]
        ax.plot([miss(e["recall"])], [e["qps"]], marker=marker, color=color, linestyle="none", markersize=9,
                label=s)
    ax.axvline(1.0 - TARGET_RECALL, color="grey", linestyle=":", linewidth=1)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.invert_xaxis()
    ticks = [t for t in (0.5, 0.2, 0.1, 0.05, 0.01, 1e-3, 1e-4) if t > floor] + [floor]
    ax.xaxis.set_major_locator(FixedLocator(ticks))
    ax.xaxis.set_minor_locator(NullLocator())
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: "1" if x <= floor * 1.01 else f"{1 - x:g}"))
    ax.set_xlabel(f"recall@{K} (axis: log of 1 - recall)")
    ax.set_ylabel("queries/s (1 thread, 1 query per call)")
    ax.set_title(f"{res['name']}: N={res['n']:,}, d={res['dim']}, {res['metric']}", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7, loc="lower left")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=90)
    plt.close(fig)


def fmt_load(la):
    return "/".join(f"{x:.2f}" for x in la)


def dataset_section(res, plot_rel):
    lines = [f"## {res['name']} — {res['metric']}", "",
             f"{res['description']}. Base N = {res['n']:,} rows (of {res['total_rows']:,}), d = {res['dim']}, "
             f"{res['queries']} held-out queries ({res['exact_queries']} for the exhaustive searches). "
             f"Load average (1/5/15 min) {fmt_load(res['load_start'])} at the start, "
             f"{fmt_load(res['load_end'])} at the end; section took {res['seconds'] / 60:.1f} min.", ""]

    hn = res["builds"].get("hnswlib")
    rows = []
    for s, b in res["builds"].items():
        ratio = f"{build_seconds(b) / build_seconds(hn):.2f}x" if hn and s in GRAPH else ""
        cpu = f"{b['cpu_s']:.1f}" if "cpu_s" in b else "-"
        rows.append([s, f"{b['build_s']:.1f}", cpu, ratio, f"{b['rss_growth'] / 2**20:.1f}",
                     f"{b['rss_growth'] / res['n']:.0f}", f"{b['file_bytes'] / 2**20:.1f}", f"{b['load']:.2f}"])
    lines += ["Build (each in a fresh process; wall and CPU seconds, the ratio is of CPU seconds, which "
              "other jobs on the machine disturb less than wall time):", "",
              common.markdown_table(["system", "build s", "CPU s", "vs hnswlib", "RSS growth MiB",
                                     "bytes/vector", "file MiB", "load after"], rows), ""]

    graph = list(res["sweep"])
    if graph:
        headers = ["ef_search"] + [h for s in graph for h in (f"{s} recall", f"{s} q/s")]
        table = []
        for i, ef in enumerate(p["ef"] for p in res["sweep"][graph[0]]):
            row = [ef]
            for s in graph:
                p = res["sweep"][s][i]
                row += [f"{p['recall']:.4f}", f"{p['qps']:,.0f}"]
            table.append(row)
        lines += [f"Graph search, recall@{K} and queries/s (one thread, one query per call):", "",
                  common.markdown_table(headers, table), ""]
        rows = []
        for s in graph:
            b = best_at_target(res["sweep"][s])
            rows.append([s] + ([b["ef"], f"{b['recall']:.4f}", f"{b['qps']:,.0f}"] if b else ["-", "-", "not reached"]))
        lines += [f"Fastest measured point with recall@{K} >= {TARGET_RECALL}:", "",
                  common.markdown_table(["system", "ef_search", "recall", "q/s"], rows), ""]

    if res["exact"]:
        npq = res["exact"].get("NumPy brute force", {}).get("qps")
        row_bytes = res["n"] * res["dim"] * 4
        rows = [[s, f"{e['recall']:.4f}", f"{e['qps']:,.1f}", f"{e['qps'] * row_bytes / 1e9:.1f}",
                 f"{e['qps'] / npq:.2f}x" if npq else ""] for s, e in res["exact"].items()]
        lines += [f"Exhaustive search (GB/s: float32 rows scanned per second, {row_bytes / 1e6:.0f} MB a query):",
                  "", common.markdown_table(["system", f"recall@{K}", "q/s", "GB/s", "vs NumPy"], rows), ""]

    rows, diag = [], any("cpu2" in t for t in res["threads"].values())
    for s, t in res["threads"].items():
        row = [s, t["ef"] if t["ef"] else "exact", f"{t['qps1']:,.0f}", f"{t['qps2']:,.0f}", f"{t['ratio']:.2f}x"]
        if diag:
            row += [f"{t['cpu2']:.2f}" if "cpu2" in t else "-", f"{t['wait2']:.2f}" if "wait2" in t else "-"]
        rows.append(row)
    headers = ["system", "ef_search", "1 thread q/s", "2 threads q/s", "2 / 1"]
    if diag:
        headers += ["2 threads: CPU s per s", "2 threads: core wait s per s"]
    lines += ["Python threads sharing the queries (graph searches at their first ef_search with recall >= "
              f"{TARGET_RECALL}). CPU and core wait of the 2-thread pass, per second of wall time: CPU near "
              "2 means both threads were running (a ratio well below 2 then means time went into handing "
              "the GIL over between short calls); CPU near 1 with a large core wait means no second core "
              "was free; CPU near 1 with little wait means the threads took turns.", "",
              common.markdown_table(headers, rows), ""]
    if plot_rel:
        lines += [f"![recall vs queries/s, {res['name']}]({plot_rel})", ""]
    return "\n".join(lines)


def targets_section(results):
    rows = []
    for res in results:
        name = res["name"]
        v = best_at_target(res["sweep"].get("vek_core", []))
        for peer in ("hnswlib", "FAISS HNSW"):
            if peer in res["sweep"] and "vek_core" in res["sweep"]:
                p = best_at_target(res["sweep"][peer])
                if v and p:
                    met = v["qps"] >= p["qps"]
                    rows.append([name, f"graph q/s at recall >= {TARGET_RECALL} vs {peer}",
                                 f"{v['qps']:,.0f} vs {p['qps']:,.0f} ({v['qps'] / p['qps']:.2f}x)",
                                 "met" if met else "missed"])
                else:
                    rows.append([name, f"graph q/s at recall >= {TARGET_RECALL} vs {peer}",
                                 "recall not reached", "missed" if not v else "met"])
        b = res["builds"]
        if "vek_core" in b and "hnswlib" in b:
            vb, hb = build_seconds(b["vek_core"]), build_seconds(b["hnswlib"])
            r = vb / hb
            unit = "CPU s" if "cpu_s" in b["vek_core"] and "cpu_s" in b["hnswlib"] else "s"
            rows.append([name, "build time <= 1.2x hnswlib", f"{vb:.1f} vs {hb:.1f} {unit} ({r:.2f}x)",
                         "met" if r <= 1.2 else "missed"])
        e = res["exact"]
        if "vek_core exhaustive" in e and "NumPy brute force" in e:
            r = e["vek_core exhaustive"]["qps"] / e["NumPy brute force"]["qps"]
            rows.append([name, "exhaustive >= 3x NumPy brute force",
                         f"{e['vek_core exhaustive']['qps']:,.1f} vs {e['NumPy brute force']['qps']:,.1f} q/s "
                         f"({r:.2f}x)", "met" if r >= 3 else "missed"])
        for s in ("vek_core", "vek_core exhaustive"):
            t = res["threads"].get(s)
            if t:
                rows.append([name, f"{s}: 2 threads >= 1.8x one thread",
                             f"{t['qps1']:,.0f} -> {t['qps2']:,.0f} q/s ({t['ratio']:.2f}x)",
                             "met" if t["ratio"] >= 1.8 else "missed"])
    return common.markdown_table(["data set", "target", "measured", "verdict"], rows)


def report(run, report_path, plot_dir):
    """Writes the Markdown report of a run record (see main) and its plots."""
    v = ps.versions()
    results = run["results"]
    started = datetime.datetime.fromisoformat(run["started"])
    header = [
        "# vek_core against its peers", "",
        f"Generated by `bench/peers.py` ({shlex.join(run['argv']) or 'default sizes'}) on "
        f"{started:%Y-%m-%d %H:%M} UTC; the whole run took {run['seconds'] / 60:.1f} min.", "",
        f"- Machine: {os.cpu_count()} cores, {common.cpu_model()} (x86-64, AVX2/FMA), "
        f"{os.sysconf('SC_PHYS_PAGES') * os.sysconf('SC_PAGE_SIZE') / 2**30:.0f} GiB RAM; the cores are "
        "shared with other jobs, so the load average is given per section (a load above ~1 means another "
        "process competed for the second core; alternating passes keep the comparison fair, not the "
        "absolute numbers or the two-thread ratios).",
        f"- Python {sys.version.split()[0]}; vek_core {v['vek_core']}, hnswlib {v['hnswlib']}, "
        f"faiss-cpu {v['faiss-cpu']}, usearch {v['usearch']}, numpy {v['numpy']}.",
        f"- One thread per system: BLAS/OpenMP pinned to 1 (`OPENBLAS_NUM_THREADS`, `OMP_NUM_THREADS`, "
        "`faiss.omp_set_num_threads(1)`), hnswlib `num_threads=1`, USearch `threads=1`; vek_core starts no "
        "threads.",
        f"- Graph indexes: M = 16 (USearch `connectivity`), ef_construction = 200 (`efConstruction`, "
        "`expansion_add`), float32 storage everywhere (USearch `dtype=\"f32\"`). vek_core builds with one "
        "`add_item_and_link` call per vector; hnswlib with `add_items` in chunks of 1000, FAISS and USearch "
        "with one `add` call (all single-threaded, so insertion is row by row in every system).",
        "- Searches: one query per Python call for every system (vek_core `custom_hnsw_search(q, 10, 0, ef)`, "
        "hnswlib `knn_query`, FAISS `search` on a (1, d) array, USearch `search`, NumPy one matrix-vector "
        "product + `argpartition`), so each includes its binding's per-call overhead. Systems alternate pass "
        f"by pass for each ef_search and the fastest of {run['repeat']} passes counts.",
        "- Cosine: rows and queries are unit vectors; FAISS uses inner product (IndexHNSWFlat / IndexFlatIP "
        "with METRIC_INNER_PRODUCT), hnswlib `cosine`, USearch `cos`, vek_core `cosine`.",
        f"- Recall@{K}: against the exact float64 top {K}; a returned id counts when its exact distance is "
        f"within {common.TIE_RTOL:g} (relative) of the true {K}th distance, so duplicates (the gloss set has "
        "~500 duplicate rows) and float32 near-ties are not counted as misses.",
        "- Build memory: resident-set growth (/proc/self/statm) from just before to just after the build, "
        "each system in a fresh process after a warm-up build of 8 rows (so library start-up is not "
        "counted); the input rows are loaded before the first reading and not counted. The NumPy brute "
        "force's \"index\" is its own copy of the rows plus the row norms. File size: each system's own "
        "save (`save_index`, `save_index`, `faiss.write_index`, `Index.save`, `np.save`). Searches run on "
        "the indexes loaded back from those files.",
        *([f"- Memory: one thread streams about {run['bandwidth_gbs']:.1f} GB/s from RAM here (NumPy "
           "matrix-vector product over 512 MiB). An exhaustive scan of a set "
           f"larger than the {l3_cache()} L3 cache reads every row from memory, so its rate is capped near "
           "that bandwidth for every system, NumPy's BLAS included; only sets that fit in the cache "
           "(the 10 MiB noun hierarchy) leave room for a kernel to beat another by a wide margin."]
          if "bandwidth_gbs" in run else []),
        "- Thread scaling: the same queries split between two Python threads, against one thread; "
        "vek_core's, hnswlib's and FAISS's searches release the GIL, as does NumPy's matrix product; "
        "USearch's Python `search` keeps it, so its two threads take turns (checked on a quiet machine "
        "with long calls, 50,000 generated rows and ef_search 2000: CPU per wall second 1.85-1.98 for the "
        "others, 1.02 with no core wait for USearch). Ratios below 2x on this 2-core machine also come "
        "from other jobs taking the second core (the core-wait column) and, for short graph searches, "
        "from handing the GIL over twice per call.", "",
        "## Targets", "", load_note(results), "", targets_section(results), "",
    ]
    for i, rerun in enumerate(run.get("reruns", []), 1):
        header += [f"Rerun {i} ({rerun_title(rerun)}); {load_note(rerun['results'])}", "",
                   targets_section(rerun["results"]), ""]
    body = []
    for res in results:
        png = plot_dir / f"peers_{res['name']}.png"
        plot(res, png)
        body.append(dataset_section(res, os.path.relpath(png, report_path.parent)))
    for i, rerun in enumerate(run.get("reruns", []), 1):
        body += [f"# Rerun {i}: {rerun_title(rerun)}", "",
                 "The same measurements repeated later for a subset of systems (same data, same settings), "
                 "to judge how much the load of the machine moved the first run's numbers.", ""]
        for res in rerun["results"]:
            section = dataset_section(res, None)
            body.append(section.replace("## ", f"## Rerun {i}: ", 1))
    # Sections other scripts keep in the same file (build.py's, between markers) are carried over.
    kept = common.marked_sections(report_path)
    report_path.parent.mkdir(parents=True, exist_ok=True)
    report_path.write_text("\n".join(header + body + ["", *kept, ""]) if kept else "\n".join(header + body))
    return report_path


def load_note(results):
    loads = [x for res in results for x in (res["load_start"][0], res["load_end"][0])]
    return f"1-minute load average {min(loads):.1f} to {max(loads):.1f} at the section boundaries."


def l3_cache():
    try:
        return Path("/sys/devices/system/cpu/cpu0/cache/index3/size").read_text().strip().replace("K", " KiB")
    except OSError:
        return "last-level"


def rerun_title(rerun):
    started = datetime.datetime.fromisoformat(rerun["started"])
    systems = sorted({s for res in rerun["results"] for s in res["builds"]})
    return f"{', '.join(systems)} on {started:%Y-%m-%d %H:%M} UTC, `{shlex.join(rerun['argv'])}`"




# --- command line -----------------------------------------------------------------------------

def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="small sizes for a smoke run (about 2 minutes)")
    p.add_argument("--n", type=int, default=None,
                   help="base rows per data set (default: every row of the corpora, 100000 generated)")
    p.add_argument("--queries", type=int, default=None, help=f"held-out queries (default {DEFAULTS['queries']})")
    p.add_argument("--exact-queries", type=int, default=None,
                   help=f"queries for the exhaustive searches (default {DEFAULTS['exact_queries']})")
    p.add_argument("--repeat", type=int, default=None, help="timed passes; the fastest counts (default 5)")
    p.add_argument("--ef", type=int, nargs="+", default=EF_SEARCH, help="ef_search values of the sweep")
    p.add_argument("--datasets", nargs="+", default=list(peer_data.DATASETS), choices=list(peer_data.DATASETS))
    p.add_argument("--systems", nargs="+", default=GRAPH + EXACT, choices=GRAPH + EXACT)
    p.add_argument("--report", type=Path, default=None, help="Markdown report path (plots go beside it)")
    p.add_argument("--rerun-of", type=Path, default=None, metavar="RUN_JSON",
                   help="add this run as a rerun to an earlier run's record and rewrite that run's report")
    p.add_argument("--report-only", type=Path, default=None, metavar="RUN_JSON",
                   help="measure nothing; rewrite the report of a recorded run")
    argv = sys.argv[1:]
    args = p.parse_args()

    if args.report_only:
        run = json.loads(args.report_only.read_text())
        path = report(run, Path(run["report"]), Path(run["plots"]))
        print(f"written to {path}")
        return

    sizes = QUICK if args.quick else DEFAULTS
    full = (not args.quick and args.n is None and args.queries is None and args.exact_queries is None
            and args.repeat is None and args.ef == EF_SEARCH and args.datasets == list(peer_data.DATASETS)
            and args.systems == GRAPH + EXACT)
    for key in ("queries", "exact_queries", "repeat"):
        if getattr(args, key) is None:
            setattr(args, key, sizes[key])
    args.clusters_n = args.n or sizes["clusters_n"]
    if args.n is None:
        args.n = sizes["n"]

    tag = "full" if full else "quick" if args.quick else "custom"
    if args.report is not None:
        report_path = args.report.resolve()
        plot_dir = report_path.parent / "plots"
    elif full:
        report_path, plot_dir = HERE / "RESULTS.md", HERE / "plots"
    else:
        report_path, plot_dir = common.OUT_DIR / f"peers_{tag}.md", common.OUT_DIR / "plots"
    record = common.OUT_DIR / "peers" / f"run_{tag}.json"

    started = datetime.datetime.now(datetime.timezone.utc)
    t0 = time.perf_counter()
    bandwidth = read_bandwidth()
    log(f"one-thread read bandwidth {bandwidth:.1f} GB/s")
    results = []
    with tempfile.TemporaryDirectory(prefix="vek_peers_") as tmp:
        for name in args.datasets:
            results.append(run_dataset(name, args, tmp))
            print(dataset_section(results[-1], None), flush=True)
    run = {"started": started.isoformat(), "seconds": time.perf_counter() - t0, "argv": argv,
           "repeat": args.repeat, "bandwidth_gbs": bandwidth, "results": results}

    if args.rerun_of:
        record = args.rerun_of
        main_run = json.loads(record.read_text())
        main_run.setdefault("reruns", []).append(run)
        run = main_run
        report_path, plot_dir = Path(run["report"]), Path(run["plots"])
    else:
        run.update(report=str(report_path), plots=str(plot_dir))
    record.parent.mkdir(parents=True, exist_ok=True)
    record.write_text(json.dumps(run, indent=1))
    path = report(run, report_path, plot_dir)
    print(f"written to {path} and {record} (this run took {(time.perf_counter() - t0) / 60:.1f} min)")


if __name__ == "__main__":
    main()
