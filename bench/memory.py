"""Compressed vectors: bytes per vector and queries/s at recall per dtype, quellix against USearch and FAISS.

Per set (clusters 100k x 128 under L2, clusters 100k x 768 under L2, the LSA set under cosine; with
--million 1M x 128 clusters alone) every system is built with M 16 and ef_construction 200 on two
threads, in each storage it has: quellix float32, float16, bfloat16, int8; USearch f32, f16, bf16, i8;
FAISS IndexHNSWFlat and IndexHNSWSQ with QT_fp16, QT_bf16 and QT_8bit. Reported: bytes per vector in
memory (quellix: stats()["memory_bytes"], USearch: memory_usage; FAISS has no figure, so its file's) and
on disk (each system's own save), and queries/s of batch searches (all queries in one call on 1 and on
2 threads) at recall@10 >= 0.95 and >= 0.99 against the exact float32 answer, over a sweep of the
search width. The systems take turns at each width, so load from elsewhere hits them alike.

With --mapped (1M x 128 clusters, float32): the open time of the saved file by `load` and by
`load(mmap=True)` and the first query's latency after each (file in the page cache, fastest of three
opens in fresh processes), and four processes that map the file and search it (an exact search over
every vector and graph searches) at once: their total proportional set size (PSS, from
/proc/<pid>/smaps_rollup) against one such process alone.

    .venv/bin/python bench/memory.py [--n N] [--queries Q] [--quick] [--million | --mapped]
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse
import gc
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import peer_data
import quellix

K = 10
M = 16
EF_CONSTRUCTION = 200
BUILD_THREADS = 2
# Steps of about a fifth near the targets: a storage that crosses 0.95 between two widths is then timed
# within a fifth of the width it needs, not charged the next coarse step.
WIDTHS = (10, 16, 20, 24, 28, 32, 40, 48, 56, 64, 80, 96, 128, 160, 192, 256, 320, 384, 512, 768)
TARGETS = (0.95, 0.99)
# name -> (system, storage, bits per value)
SYSTEMS = {
    "quellix float32": ("quellix", "float32", 32), "quellix float16": ("quellix", "float16", 16),
    "quellix bfloat16": ("quellix", "bfloat16", 16), "quellix int8": ("quellix", "int8", 8),
    "USearch f32": ("usearch", "f32", 32), "USearch f16": ("usearch", "f16", 16),
    "USearch bf16": ("usearch", "bf16", 16), "USearch i8": ("usearch", "i8", 8),
    "FAISS HNSWFlat": ("faiss", None, 32), "FAISS SQfp16": ("faiss", "QT_fp16", 16),
    "FAISS SQbf16": ("faiss", "QT_bf16", 16), "FAISS SQ8": ("faiss", "QT_8bit", 8),
}


class Built:
    """One built index: its batch search at a width, and its sizes."""

    def __init__(self, name, base, metric, tmp):
        system, storage, self.bits = SYSTEMS[name]
        self.name, self.system = name, system
        n, d = base.shape
        start = time.perf_counter()
        path = os.path.join(tmp, "index")
        if system == "quellix":
            self.index = quellix.Index(d, "euclidean" if metric == "l2" else "cosine", M=M,
                                       ef_construction=EF_CONSTRUCTION, seed=1, dtype=storage)
            self.index.add(base, num_threads=BUILD_THREADS)
            self.build_s = time.perf_counter() - start
            self.memory = self.index.stats()["memory_bytes"]
            self.index.save(path)
        elif system == "usearch":
            from usearch.index import Index
            self.index = Index(ndim=d, metric="cos" if metric == "cosine" else "l2sq", dtype=storage,
                               connectivity=M, expansion_add=EF_CONSTRUCTION)
            self.index.add(np.arange(n, dtype=np.uint64), base, threads=BUILD_THREADS)
            self.build_s = time.perf_counter() - start
            self.memory = self.index.memory_usage
            self.index.save(path)
        else:
            import faiss
            faiss.omp_set_num_threads(BUILD_THREADS)
            kind = faiss.METRIC_INNER_PRODUCT if metric == "cosine" else faiss.METRIC_L2
            if storage is None:
                self.index = faiss.IndexHNSWFlat(d, M, kind)
            else:
                self.index = faiss.IndexHNSWSQ(d, getattr(faiss.ScalarQuantizer, storage), M, kind)
            self.index.hnsw.efConstruction = EF_CONSTRUCTION
            self.index.train(base)
            self.index.add(base)
            self.build_s = time.perf_counter() - start
            faiss.write_index(self.index, path)
            self.memory = os.path.getsize(path)
        self.disk = os.path.getsize(path)
        os.unlink(path)

    def searcher(self, ef, threads):
        if self.system == "quellix":
            return lambda q: self.index.search(q, K, ef=ef, num_threads=threads)[0]
        if self.system == "usearch":
            self.index.expansion_search = ef
            return lambda q: self.index.search(q, K, threads=threads).keys
        import faiss
        faiss.omp_set_num_threads(threads)
        self.index.hnsw.efSearch = ef
        return lambda q: self.index.search(q, K)[1]


def sweep(built, queries, truth, threads, repeat):
    """name -> [(recall, q/s, ef)] over the widths, each system until it passes the last target."""
    points = {b.name: [] for b in built}
    live = list(built)
    for ef in WIDTHS:
        if not live:
            break
        # Each side's width is set here, once: FAISS's and USearch's belong to their own index.
        timed = common.race({b.name: (b.searcher(ef, threads), [queries]) for b in live}, repeat, warmup=1)
        for b in list(live):
            found, secs = timed[b.name]
            recall = common.recall_at_k(np.asarray(found[0]), truth, K)
            pts = points[b.name]
            pts.append((recall, len(queries) / secs, ef))
            # Done past the last target twice, or on a plateau (a storage's own ceiling below it).
            if (recall >= 0.995 or (len(pts) > 1 and min(pts[-1][0], pts[-2][0]) >= TARGETS[-1]) or
                    (len(pts) > 3 and recall <= pts[-4][0] + 0.002)):
                live.remove(b)
    return points


def sets(args):
    if args.sets:
        yield from (s for s in sets(argparse.Namespace(**{**vars(args), "sets": None}))
                    if s[0].split()[0].lower() in args.sets)
        return
    if args.million:
        base, queries = common.make_dataset(args.n, args.queries, dim=128)
        yield f"clusters {args.n // 1000}k x 128", "l2", base, queries
        return
    base, queries = common.make_dataset(args.n, args.queries, dim=128)
    yield f"clusters {args.n // 1000}k x 128", "l2", base, queries
    base, queries = common.make_dataset(args.n, args.queries, dim=768)
    yield f"clusters {args.n // 1000}k x 768", "l2", base, queries
    ds = peer_data.load("lsa-cosine", args.n, args.queries)
    yield f"LSA {len(ds.base) // 1000}k x {ds.dim} ({ds.description})", "cosine", ds.base, ds.queries


def report_set(title, built, points, n):
    lines = [f"## {title}", ""]
    f32 = {"quellix": "quellix float32", "usearch": "USearch f32", "faiss": "FAISS HNSWFlat"}
    rows = []
    for b in built:
        plain = next(x for x in built if x.name == f32[b.system])
        rows.append([b.name, f"{b.build_s:.1f}", f"{b.memory / n:,.0f}", f"{b.memory / plain.memory:.2f}",
                     f"{b.disk / n:,.0f}"])
    lines += [common.markdown_table(["system", "build s (2 threads)", "bytes/vector in memory",
                                     "of its float32", "bytes/vector on disk"], rows), ""]
    for threads in (1, 2):
        rows = []
        for target in TARGETS:
            best = {b.name: common.best_at(points[(b.name, threads)], target) for b in built}
            for b in built:
                if b.system != "quellix":
                    continue
                q = best[b.name]
                peers = [best[x.name][0] for x in built if x.system != "quellix" and x.bits == b.bits and best[x.name]]
                own = best["quellix float32"]
                cells = [f"{q[0]:,.0f} (ef {q[1]})" if q else "not reached",
                         f"{q[0] / own[0]:.2f}" if q and own else "n/a",
                         f"{max(peers):,.0f}" if peers else "not reached",
                         f"{q[0] / max(peers):.2f}" if q and peers else "n/a"]
                rows.append([f">= {target}", b.name, *cells])
        lines += [f"Queries/s, {threads} thread(s), batch of all queries:", "",
                  common.markdown_table(["recall@10", "quellix", "q/s", "/ quellix float32",
                                         "best peer of the same width", "/ best peer"], rows), ""]
        sweep_rows = [[name, ", ".join(f"{ef}: {r:.3f} @ {q:,.0f}" for r, q, ef in pts)]
                      for (name, t), pts in points.items() if t == threads]
        lines += ["<details><summary>sweep (ef: recall @ q/s)</summary>", "",
                  common.markdown_table(["system", "points"], sweep_rows), "", "</details>", ""]
    return "\n".join(lines)


OPEN_SCRIPT = """
import sys, time, numpy as np, quellix
queries = np.load(sys.argv[2])
start = time.perf_counter()
index = quellix.Index.load(sys.argv[1], mmap=sys.argv[3] == "1")
opened = time.perf_counter()
index.search(queries[0], 10, ef=64)
print(opened - start, time.perf_counter() - opened)
"""

SHARE_SCRIPT = """
import sys, numpy as np, quellix
index = quellix.Index.load(sys.argv[1], mmap=True)
queries = np.load(sys.argv[2])
index.exact_search(queries[:8], 10)
index.search(queries, 10, ef=64, num_threads=1)
print("ready", flush=True)
sys.stdin.readline()
"""


def pss_kib(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1])
    return 0


def searching_processes(count, path, query_path):
    """Total PSS (KiB) of `count` processes that map the file and search it, all alive at once."""
    procs = [subprocess.Popen([sys.executable, "-c", SHARE_SCRIPT, str(path), str(query_path)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for _ in range(count)]
    for p in procs:
        assert p.stdout.readline().strip() == "ready"
    total = sum(pss_kib(p.pid) for p in procs)
    for p in procs:
        p.stdin.write("\n")
        p.stdin.flush()
        p.wait()
    return total


def mapped_report(args, tmp):
    base, queries = common.make_dataset(args.n, args.queries, dim=128)
    common.log(f"mapped: building {len(base):,} x 128")
    index = quellix.Index(128, "euclidean", M=M, ef_construction=EF_CONSTRUCTION, seed=1)
    index.add(base, num_threads=BUILD_THREADS)
    path, query_path = os.path.join(tmp, "m.qlx"), os.path.join(tmp, "q.npy")
    index.save(path)
    np.save(query_path, queries)
    del index
    gc.collect()
    rows = []
    for mapped in (False, True):
        runs = []
        for _ in range(3):
            out = subprocess.run([sys.executable, "-c", OPEN_SCRIPT, path, query_path, "1" if mapped else "0"],
                                 check=True, capture_output=True, text=True).stdout.split()
            runs.append(tuple(map(float, out)))
        open_s, first_s = min(runs)
        rows.append(["load(mmap=True)" if mapped else "load", f"{open_s * 1e3:,.2f}", f"{first_s * 1e3:,.2f}"])
    common.log("mapped: processes sharing the file")
    one = searching_processes(1, path, query_path)
    four = searching_processes(4, path, query_path)
    size = os.path.getsize(path)
    return "\n".join([
        f"## Mapped file: {args.n:,} x 128 clusters, float32 ({size / 2**20:,.0f} MiB file)", "",
        common.markdown_table(["open", "ms to open", "ms to the first answer after"], rows), "",
        f"Four processes mapping the file and searching it (an exact search of 8 queries, graph searches of "
        f"{len(queries):,}): total PSS {four / 1024:,.0f} MiB against one process's {one / 1024:,.0f} MiB: "
        f"{four / one:.2f}x.", ""])


def main():
    p = common.parser(__doc__.splitlines()[0], 100_000, 2_000, 10_000, 200)
    p.add_argument("--million", action="store_true", help="1M x 128 clusters alone (sets --n 1000000)")
    p.add_argument("--mapped", action="store_true", help="open times and shared pages of a mapped 1M x 128 file")
    p.add_argument("--repeat", type=int, default=3, help="timed passes per width (the fastest counts)")
    p.add_argument("--systems", default=",".join(SYSTEMS), help="comma-separated names of SYSTEMS")
    p.add_argument("--sets", nargs="+", choices=("clusters", "lsa"),
                   help="only these sets (recorded as a section of their own)")
    args = p.parse_args()
    if (args.million or args.mapped) and args.n is None:
        args.n = 1_000_000
    args = common.resolve(args)
    if args.mapped:
        with tempfile.TemporaryDirectory() as tmp:
            text = f"{common.cpu_model()}; {common.environment_line()}\n\n" + mapped_report(args, tmp)
            text += f"\nLoad average at the end: {os.getloadavg()[0]:.2f}."
        print(text)
        common.write_report(common.report_name("memory_mapped", args), text)
        if not args.quick:
            common.record_section("memory.py --mapped", text)
        return
    names = [s.strip() for s in args.systems.split(",")]
    out = [f"# Compressed vectors: bytes and queries/s per dtype", "",
           f"{common.cpu_model()}; {common.environment_line()}; build on {BUILD_THREADS} threads, M {M}, "
           f"ef_construction {EF_CONSTRUCTION}; {args.queries} queries, recall@{K} against the exact float32 answer.", ""]
    with tempfile.TemporaryDirectory() as tmp:
        for title, metric, base, queries in sets(args):
            common.log(f"{title}: exact answers")
            truth = common.exact_topk(base, queries, K, metric)
            built = []
            for name in names:
                common.log(f"{title}: building {name}")
                built.append(Built(name, base, metric, tmp))
                gc.collect()
            points = {}
            for threads in (1, 2):
                common.log(f"{title}: sweeping on {threads} thread(s)")
                for name, pts in sweep(built, queries, truth, threads, args.repeat).items():
                    points[(name, threads)] = pts
            out.append(report_set(title, built, points, len(base)))
            del built
            gc.collect()
    out.append(f"Load average at the end: {os.getloadavg()[0]:.2f}.")
    text = "\n".join(out)
    print(text)
    stem = "memory" + ("_million" if args.million else "") + ("_" + "_".join(args.sets) if args.sets else "")
    path = common.write_report(common.report_name(stem, args), text)
    common.log(f"report: {path}")
    if not args.quick:
        common.record_section("memory.py" + (" --million" if args.million else "") +
                              (" --sets " + " ".join(args.sets) if args.sets else ""), text)


if __name__ == "__main__":
    main()
