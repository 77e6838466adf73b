"""Churn: quellix under removals, additions and replacements, against a fresh build of the same live
set and against hnswlib and USearch doing the same.

Three sets (`--datasets`): generated clusters (64-d, 200 Gaussian clusters, squared Euclidean), the
WordNet gloss LSA rows (cosine) and the WordNet nouns placed in the Poincare ball (no peer has that
metric). Each starts from `--n` rows of a pool of twice as many; queries are held-out rows. Three
workloads (`--workloads`), `--rounds` rounds each, 5 % of the live set per round:
- random: remove a random 5 %, add as many rows not live at the time (each under a new id);
- window: remove the oldest 5 %, add the next rows of the pool (cycling through it, new ids);
- replace: re-add 5 % of the live ids with replace=True, each vector moved a little.
Every call runs on `--threads` threads (1 and 2). After every round: recall@10 at two fixed widths
against the exact answer over the live set (quellix's exact_search, which is exhaustive), removed ids
returned, short answers (fewer than k), and quellix's `unreachable`; at rounds 0, 20, 40, ... the
same from a fresh quellix build of the live set with the same ids, with both indexes' queries/s and
memory (memory_bytes and file bytes per live vector). The widths: the smallest of WIDTHS at which the
first build reaches recall 0.98, and 64. Rows/s: the rows removed plus added (or replaced) per second
of the calls that did it.

Peers: hnswlib with `replace_deleted` (deleted slots reused), hnswlib with `mark_deleted` and new
slots (the index grows), USearch `remove` + `add`; for the replace workload hnswlib's update of an
existing label and USearch remove + add. M 16, ef_construction 200 everywhere.

The sharded workload ("sharded") is the random one on quellix.distributed.ShardedIndex with two shards
on two local Dask workers, against the in-process index doing the same calls (at the last `--threads`
value): recall at the same widths against a fresh sharded build of the live set every 20 rounds, removed
ids returned, short answers, unreachable nodes over the shards, and rows/s of remove + add against the
in-process index's (Dask's cost).

A default run writes out/churn.md and its section of bench/RESULTS.md.
"""
import sys
from pathlib import Path

# The folder's distributed.py would shadow Dask's `distributed` package (which the sharded workload
# and its worker processes import): the folder goes last on the path.
_here = Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _here] + [str(_here)]

import common  # noqa: E402, I001  (pins BLAS threads before NumPy loads)

import datetime  # noqa: E402
import os  # noqa: E402
import shlex  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import peer_data  # noqa: E402

K = 10
M = 16
EF_CONSTRUCTION = 200
SHARE = 0.05
WIDTHS = (10, 12, 16, 20, 24, 32, 40, 48, 64, 96, 128, 192, 256)
RECALL_FOR_WIDTH = 0.98
FIXED_EF = 64
FRESH_EVERY = 20
DATASETS = ("clusters", "lsa", "nouns")
WORKLOADS = ("random", "window", "replace", "sharded")
METRIC = {"clusters": "euclidean", "lsa": "cosine", "nouns": "poincare"}
TARGET_GAP, TARGET_MEMORY, TARGET_QPS, TARGET_ROWS = 0.002, 1.05, 0.95, 1.0
TARGET_SHARDED_GAP, TARGET_DASK_COST = 0.005, 1.3


# --- data -------------------------------------------------------------------------------------

def load(name, pool, n_queries):
    """(pool rows, queries) of a set, float32."""
    if name == "clusters":
        rng = np.random.default_rng(common.DATA_SEED)
        centres = rng.normal(size=(200, 64)).astype(np.float32)
        draw = lambda m: (centres[rng.integers(0, 200, m)] + 0.3 * rng.normal(size=(m, 64))).astype(np.float32)  # noqa: E731
        return draw(pool), draw(n_queries)
    ds = peer_data.load("lsa-cosine" if name == "lsa" else "wordnet-poincare", pool, n_queries)
    if len(ds.base) < pool:
        raise SystemExit(f"{name}: the set has {len(ds.base)} rows, the run needs {pool}")
    return ds.base, ds.queries


def moved(rows, metric, rng):
    """The rows moved a little: within their cluster, their direction, their place in the ball."""
    scale = np.float32(0.1 if metric == "euclidean" else 0.02)
    out = rows + scale * rng.standard_normal(rows.shape).astype(np.float32) * (
        1.0 if metric == "euclidean" else np.linalg.norm(rows, axis=1, keepdims=True) / np.sqrt(rows.shape[1]))
    if metric == "poincare":
        norms = np.linalg.norm(out, axis=1, keepdims=True)
        out *= np.minimum(1.0, np.linalg.norm(rows, axis=1, keepdims=True).max() / np.maximum(norms, 1e-12))
    return np.ascontiguousarray(out, np.float32)


# --- the systems, each behind add / remove / replace / search -----------------------------------

class Quellix:
    name = "quellix"

    def __init__(self, dim, metric, threads):
        import quellix
        self.index = quellix.Index(dim, metric, M=M, ef_construction=EF_CONSTRUCTION, seed=1)
        self.threads = threads

    def add(self, ids, rows):
        self.index.add(rows, ids=ids, num_threads=self.threads)

    def remove(self, ids):
        self.index.remove(ids, num_threads=self.threads)

    def replace(self, ids, rows):
        self.index.add(rows, ids=ids, replace=True, num_threads=self.threads)

    def search(self, queries, ef):
        return self.index.search(queries, K, ef=ef, num_threads=self.threads)[0]


class Hnswlib:
    def __init__(self, dim, metric, threads, capacity, reuse):
        import hnswlib
        self.index = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=dim)
        self.index.init_index(max_elements=capacity, ef_construction=EF_CONSTRUCTION, M=M, random_seed=100,
                              allow_replace_deleted=reuse)
        self.reuse, self.threads, self.name = reuse, threads, "hnswlib " + ("replace_deleted" if reuse else
                                                                          "mark_deleted")

    def add(self, ids, rows):
        if not self.reuse and self.index.get_current_count() + len(ids) > self.index.get_max_elements():
            self.index.resize_index(self.index.get_current_count() + len(ids))
        self.index.add_items(rows, ids, num_threads=self.threads, replace_deleted=self.reuse)

    def remove(self, ids):
        for i in ids.tolist():
            self.index.mark_deleted(i)

    def replace(self, ids, rows):
        self.index.add_items(rows, ids, num_threads=self.threads)  # an existing label is updated in place

    def search(self, queries, ef):
        self.index.set_ef(ef)
        out = np.full((len(queries), K), -1, np.int64)
        try:
            out[:] = self.index.knn_query(queries, k=K, num_threads=self.threads)[0]
        except RuntimeError:  # fewer than k found for some query: ask one by one
            for i, q in enumerate(queries):
                try:
                    out[i] = self.index.knn_query(q, k=K)[0][0]
                except RuntimeError:
                    pass
        return out


class Usearch:
    name = "USearch"

    def __init__(self, dim, metric, threads):
        from usearch.index import Index
        self.index = Index(ndim=dim, metric="cos" if metric == "cosine" else "l2sq", connectivity=M,
                           expansion_add=EF_CONSTRUCTION)
        self.threads = threads

    def add(self, ids, rows):
        self.index.add(ids, rows, threads=self.threads)

    def remove(self, ids):
        self.index.remove(ids)

    def replace(self, ids, rows):
        self.index.remove(ids)
        self.index.add(ids, rows, threads=self.threads)

    def search(self, queries, ef):
        self.index.expansion_search = ef
        found = self.index.search(queries, K, threads=self.threads)
        out = np.full((len(queries), K), -1, np.int64)
        for i in range(len(queries)):
            keys = np.asarray(found.keys[i][: found.counts[i]], np.int64)
            out[i, : len(keys)] = keys
        return out


def systems(dim, metric, threads, n, workload):
    out = [Quellix(dim, metric, threads)]
    if metric != "poincare":
        out.append(Hnswlib(dim, metric, threads, n, reuse=True))
        if workload != "replace":
            out.append(Hnswlib(dim, metric, threads, n, reuse=False))
        out.append(Usearch(dim, metric, threads))
    return out


class Sharded:
    """quellix.distributed.ShardedIndex, two shards on the two workers of `client`."""

    name = "sharded"

    def __init__(self, client, dim, metric):
        from quellix.distributed import ShardedIndex
        self.index = ShardedIndex(client, 2, dim, metric, M=M, ef_construction=EF_CONSTRUCTION, seed=1)

    def add(self, ids, rows):
        self.index.add(rows, ids=ids)

    def remove(self, ids):
        self.index.remove(ids)

    def search(self, queries, ef):
        return self.index.search(queries, K, ef=ef)[0]

    def unreachable(self):
        return sum(s["unreachable"] for s in self.index.stats()["shards"])


def local_cluster():
    from distributed import Client, LocalCluster
    cluster = LocalCluster(host="127.0.0.1", n_workers=2, threads_per_worker=1, processes=True,
                           dashboard_address="127.0.0.1:0")
    return cluster, Client(cluster)


# --- one run ------------------------------------------------------------------------------------

def recall(found, truth):
    return float(np.mean([len(set(f[f >= 0].tolist()) & set(t[t >= 0].tolist())) / K for f, t in zip(found, truth)]))


def qps(searches, queries, ef, repeat=5, least=0.1):
    """Queries/s of each search: best of `repeat` timings, each of as many passes over the queries as
    take `least` seconds, the searches taking turns so that a burst of load falls on all of them alike."""
    passes = []
    for search in searches:
        search(queries[:50], ef)
        passes.append(max(1, int(np.ceil(least / max(_timed(search, queries, ef), 1e-6)))))
    best = [np.inf] * len(searches)
    for _ in range(repeat):
        for i, search in enumerate(searches):
            best[i] = min(best[i], sum(_timed(search, queries, ef) for _ in range(passes[i])))
    return [p * len(queries) / b for p, b in zip(passes, best)]


def _timed(search, queries, ef):
    start = time.perf_counter()
    search(queries, ef)
    return time.perf_counter() - start


def churn(sides, gone, new, rows, seconds):
    """Removes `gone` and adds `rows` under the ids `new` on every side, in turns (so that a burst of
    load falls on all of them alike), adding each side's time to `seconds`."""
    for side in sides:
        t = time.perf_counter()
        side.remove(gone)
        side.add(new, rows)
        seconds[side.name] += time.perf_counter() - t


def follow(vectors, row_of, gone, new, taken, pool):
    """The model of the live set after a round: `gone` removed, `new` holding the pool rows `taken`."""
    for i in gone.tolist():
        del vectors[i], row_of[i]
    for i, j in zip(new.tolist(), taken):
        vectors[i], row_of[i] = pool[j], j


def run(name, workload, threads, args, pool, queries):
    metric = METRIC[name]
    n, step = args.n, max(1, int(round(SHARE * args.n)))
    rng = np.random.default_rng(7)
    vectors = {}  # id -> the row it holds now
    row_of = {}  # id -> its row of the pool
    live = list(range(n))  # ids in insertion order
    for i in live:
        vectors[i], row_of[i] = pool[i], i
    next_id, next_row = n, n
    sides = systems(pool.shape[1], metric, threads, n, workload)
    for s in sides:
        s.add(np.arange(n), pool[:n])
    main = sides[0]
    truth = main.index.exact_search(queries, K)[0]
    width = next((ef for ef in WIDTHS if recall(main.search(queries, ef), truth) >= RECALL_FOR_WIDTH), WIDTHS[-1])
    efs = sorted({width, FIXED_EF})
    seconds = {s.name: 0.0 for s in sides}
    rows_done = 0
    rounds, fresh = [], []
    for r in range(args.rounds + 1):
        gone = np.empty(0, np.int64)
        if r > 0:
            if workload == "replace":
                ids = rng.choice(live, step, replace=False)
                rows = moved(np.stack([vectors[i] for i in ids.tolist()]), metric, rng)
                for s in sides:
                    t = time.perf_counter()
                    s.replace(ids, rows)
                    seconds[s.name] += time.perf_counter() - t
                for i, v in zip(ids.tolist(), rows):
                    vectors[i] = v
                rows_done += step
            else:
                if workload == "random":
                    gone = rng.choice(live, step, replace=False)
                    held = {row_of[i] for i in live}
                    taken = [j for j in rng.permutation(len(pool)).tolist() if j not in held][:step]
                else:
                    gone = np.asarray(live[:step], np.int64)
                    taken = [(next_row + j) % len(pool) for j in range(step)]
                    next_row += step
                rows = pool[taken]
                new = np.arange(next_id, next_id + step)
                next_id += step
                churn(sides, gone, new, rows, seconds)
                dropped = set(gone.tolist())
                live = [i for i in live if i not in dropped] + new.tolist()
                follow(vectors, row_of, gone, new, taken, pool)
                rows_done += 2 * step
        truth = main.index.exact_search(queries, K)[0]
        row = {"round": r, "unreachable": main.index.stats()["unreachable"]}
        removed = set(gone.tolist())
        for s in sides:
            for ef in efs:
                found = s.search(queries, ef)
                row[(s.name, ef)] = recall(found, truth)
                row[(s.name, "short")] = row.get((s.name, "short"), 0) + int((found < 0).any(axis=1).sum())
                row[(s.name, "removed")] = row.get((s.name, "removed"), 0) + int(np.isin(found, list(removed)).sum())
        rounds.append(row)
        if r % FRESH_EVERY == 0 or r == args.rounds:
            ids = np.asarray(sorted(vectors), np.int64)
            other = Quellix(pool.shape[1], metric, threads)
            other.add(ids, np.stack([vectors[i] for i in ids.tolist()]))
            entry = {"round": r, "live": len(ids)}
            speeds = {ef: qps([main.search, other.search], queries, ef) for ef in efs}
            for i, (label, side) in enumerate((("churned", main), ("fresh", other))):
                stats = side.index.stats()
                entry[label] = {"recall": {ef: recall(side.search(queries, ef), truth) for ef in efs},
                                "qps": {ef: speeds[ef][i] for ef in efs},
                                "memory": stats["memory_bytes"] / len(ids),
                                "file": len(side.index.to_bytes()) / len(ids)}
            fresh.append(entry)
        common.log(f"{name} {workload} {threads}t round {r}: " + ", ".join(
            f"{s.name} {row[(s.name, efs[0])]:.4f}" for s in sides) + f", unreachable {row['unreachable']}")
    return {"efs": efs, "rounds": rounds, "fresh": fresh, "sides": [s.name for s in sides],
            "rows_per_s": {name_: rows_done / max(sec, 1e-9) for name_, sec in seconds.items()}}


def run_sharded(name, threads, args, pool, queries, client):
    """The random workload on the sharded index and on the in-process one, side by side."""
    metric = METRIC[name]
    n, step = args.n, max(1, int(round(SHARE * args.n)))
    rng = np.random.default_rng(7)
    vectors = {i: pool[i] for i in range(n)}
    row_of = {i: i for i in range(n)}
    next_id = n
    single, sharded = Quellix(pool.shape[1], metric, threads), Sharded(client, pool.shape[1], metric)
    for side in (single, sharded):
        side.add(np.arange(n), pool[:n])
    truth = single.index.exact_search(queries, K)[0]
    width = next((ef for ef in WIDTHS if recall(sharded.search(queries, ef), truth) >= RECALL_FOR_WIDTH), WIDTHS[-1])
    efs = sorted({width, FIXED_EF})
    seconds = {"sharded": 0.0, "quellix": 0.0}
    rows_done, rounds, fresh = 0, [], []
    for r in range(args.rounds + 1):
        gone = np.empty(0, np.int64)
        if r > 0:
            live = np.fromiter(vectors, np.int64, len(vectors))
            gone = rng.choice(live, step, replace=False)
            held = set(row_of.values())
            taken = [j for j in rng.permutation(len(pool)).tolist() if j not in held][:step]
            new = np.arange(next_id, next_id + step)
            next_id += step
            churn((single, sharded), gone, new, pool[taken], seconds)
            follow(vectors, row_of, gone, new, taken, pool)
            rows_done += 2 * step
        truth = single.index.exact_search(queries, K)[0]
        row = {"round": r, "unreachable": sharded.unreachable()}
        removed = set(gone.tolist())
        for ef in efs:
            found = sharded.search(queries, ef)
            row[("sharded", ef)] = recall(found, truth)
            row[("sharded", "short")] = row.get(("sharded", "short"), 0) + int((found < 0).any(axis=1).sum())
            row[("sharded", "removed")] = row.get(("sharded", "removed"), 0) + int(np.isin(found, list(removed)).sum())
        rounds.append(row)
        if r % FRESH_EVERY == 0 or r == args.rounds:
            ids = np.asarray(sorted(vectors), np.int64)
            other = Sharded(client, pool.shape[1], metric)
            other.add(ids, np.stack([vectors[i] for i in ids.tolist()]))
            fresh.append({"round": r, "live": len(ids),
                          "churned": {ef: row[("sharded", ef)] for ef in efs},
                          "fresh": {ef: recall(other.search(queries, ef), truth) for ef in efs}})
            other.index.close()
        common.log(f"{name} sharded {threads}t round {r}: {row[('sharded', efs[0])]:.4f}, "
                   f"unreachable {row['unreachable']}")
    sharded.index.close()
    return {"efs": efs, "rounds": rounds, "fresh": fresh,
            "rows_per_s": {k: rows_done / max(v, 1e-9) for k, v in seconds.items()}}


def sharded_section(name, threads, res):
    efs = res["efs"]
    lines = [f"### {name}, sharded (2 shards on 2 local Dask workers), random churn, {threads} threads "
             "in process", ""]
    head = ["round", "live"] + [f"{label} recall ef {ef}" for label in ("churned", "fresh") for ef in efs]
    rows = [[e["round"], f"{e['live']:,}"] + [f"{e['churned'][ef]:.4f}" for ef in efs] +
            [f"{e['fresh'][ef]:.4f}" for ef in efs] for e in res["fresh"]]
    lines += [common.markdown_table(head, rows), ""]
    gaps = [e["fresh"][ef] - e["churned"][ef] for e in res["fresh"] for ef in efs]
    unreachable = max(row["unreachable"] for row in res["rounds"])
    removed = sum(row[("sharded", "removed")] for row in res["rounds"])
    short = sum(row[("sharded", "short")] for row in res["rounds"])
    rate = res["rows_per_s"]
    cost = rate["quellix"] / rate["sharded"]
    checks = [f"recall within {TARGET_SHARDED_GAP} of a fresh sharded build: "
              f"{verdict(max(gaps) <= TARGET_SHARDED_GAP)} (largest gap {max(gaps):+.4f})",
              f"unreachable 0: {verdict(unreachable == 0)} ({unreachable})",
              f"removed returned 0: {verdict(removed == 0)}", f"short answers 0: {verdict(short == 0)}",
              f"Dask's cost on churn calls ≤ {TARGET_DASK_COST}×: {verdict(cost <= TARGET_DASK_COST)} "
              f"({rate['sharded']:,.0f} rows/s sharded, {rate['quellix']:,.0f} in process: {cost:.2f}×)"]
    lines += ["**Targets:** " + "; ".join(checks) + ".", ""]
    return "\n".join(lines)


# --- report -------------------------------------------------------------------------------------

def verdict(ok):
    return "met" if ok else "**missed**"


def section(name, workload, threads, res):
    efs, sides = res["efs"], res["sides"]
    lines = [f"### {name}, {workload}, {threads} thread{'s' if threads > 1 else ''}", ""]
    head = ["round", "live"] + [f"{label} recall ef {ef}" for label in ("churned", "fresh") for ef in efs] + \
           ["q/s churned / fresh (ef %d)" % efs[0], "memory B/vector churned / fresh", "file B/vector churned / fresh"]
    rows = []
    for e in res["fresh"]:
        c, f = e["churned"], e["fresh"]
        rows.append([e["round"], f"{e['live']:,}"] + [f"{c['recall'][ef]:.4f}" for ef in efs] +
                    [f"{f['recall'][ef]:.4f}" for ef in efs] +
                    [f"{c['qps'][efs[0]]:,.0f} / {f['qps'][efs[0]]:,.0f}", f"{c['memory']:,.0f} / {f['memory']:,.0f}",
                     f"{c['file']:,.0f} / {f['file']:,.0f}"])
    lines += [common.markdown_table(head, rows), ""]
    head = ["system"] + [f"recall ef {ef} round {r}" for ef in efs for r in (1, len(res["rounds"]) - 1)] + \
           ["removed returned", "short answers", "rows/s"]
    rows = []
    for s in sides:
        rows.append([s] + [f"{res['rounds'][r][(s, ef)]:.4f}" for ef in efs for r in (1, len(res["rounds"]) - 1)] +
                    [sum(row[(s, "removed")] for row in res["rounds"]), sum(row[(s, "short")] for row in res["rounds"]),
                     f"{res['rows_per_s'][s]:,.0f}"])
    lines += [common.markdown_table(head, rows), ""]
    gaps = [e["fresh"]["recall"][ef] - e["churned"]["recall"][ef] for e in res["fresh"] for ef in efs]
    memory = max(e["churned"]["memory"] / e["fresh"]["memory"] for e in res["fresh"])
    speed = min(e["churned"]["qps"][ef] / e["fresh"]["qps"][ef] for e in res["fresh"] for ef in efs)
    unreachable = max(row["unreachable"] for row in res["rounds"])
    removed = sum(row[("quellix", "removed")] for row in res["rounds"])
    short = sum(row[("quellix", "short")] for row in res["rounds"])
    last = res["rounds"][-1]
    checks = [f"recall within {TARGET_GAP} of fresh: {verdict(max(gaps) <= TARGET_GAP)} (largest gap {max(gaps):+.4f})",
              f"unreachable 0: {verdict(unreachable == 0)} ({unreachable})",
              f"removed returned 0: {verdict(removed == 0)}", f"short answers 0: {verdict(short == 0)}",
              f"memory ≤ {TARGET_MEMORY}× fresh: {verdict(memory <= TARGET_MEMORY)} ({memory:.3f}×)",
              f"q/s ≥ {TARGET_QPS}× fresh: {verdict(speed >= TARGET_QPS)} ({speed:.2f}×)"]
    peer = "hnswlib replace_deleted"
    if peer in sides:
        ratio = res["rows_per_s"]["quellix"] / res["rows_per_s"][peer]
        ahead = all(last[("quellix", ef)] >= last[(peer, ef)] for ef in efs)
        checks += [f"rows/s ≥ {TARGET_ROWS}× {peer}: {verdict(ratio >= TARGET_ROWS)} ({ratio:.2f}×)",
                   f"recall ahead of hnswlib at the last round: {verdict(ahead)}"]
    lines += ["**Targets:** " + "; ".join(checks) + ".", ""]
    return "\n".join(lines)


def main():
    p = common.parser(__doc__.splitlines()[0], 30_000, 1000, 3000, 200)
    p.add_argument("--rounds", type=int, default=None, help="rounds per workload (default 60, quick 4)")
    p.add_argument("--datasets", type=lambda s: s.split(","), default=list(DATASETS), help=",".join(DATASETS))
    p.add_argument("--workloads", type=lambda s: s.split(","), default=list(WORKLOADS), help=",".join(WORKLOADS))
    p.add_argument("--threads", type=lambda s: [int(v) for v in s.split(",")], default=[1, 2])
    args = common.resolve(p.parse_args())
    if args.rounds is None:
        args.rounds = 4 if args.quick else 60
    default = (not args.quick and (args.n, args.queries) == args._sizes[:2] and args.rounds == 60 and
               args.datasets == list(DATASETS) and args.threads == [1, 2])
    full = default and args.workloads == list(WORKLOADS)
    # The sharded workload alone (it needs a Dask cluster) keeps a section of its own.
    sharded_only = default and args.workloads == ["sharded"]
    started = datetime.datetime.now(datetime.timezone.utc)
    t0, load0 = time.perf_counter(), os.getloadavg()
    parts = []
    cluster = client = None
    for name in args.datasets:
        pool, queries = load(name, 2 * args.n, args.queries)
        parts.append(f"## {name} ({METRIC[name]}, {pool.shape[1]}-d): {args.n:,} live rows of a pool of {len(pool):,}")
        for workload in args.workloads:
            if workload == "sharded":
                if client is None:
                    cluster, client = local_cluster()
                res = run_sharded(name, args.threads[-1], args, pool, queries, client)
                parts.append(sharded_section(name, args.threads[-1], res))
                continue
            for threads in args.threads:
                parts.append(section(name, workload, threads, run(name, workload, threads, args, pool, queries)))
    if client is not None:
        client.close()
        cluster.close()
    text = "\n".join([
        "# Churn: quellix, hnswlib, USearch", "",
        f"Generated by `bench/churn.py` ({shlex.join(sys.argv[1:]) or 'default sizes'}) on "
        f"{started:%Y-%m-%d %H:%M} UTC in {(time.perf_counter() - t0) / 60:.1f} min; {common.cpu_model()}; "
        f"{common.environment_line()}. {args.rounds} rounds of {SHARE:.0%} of the live set, {args.queries:,} "
        f"queries, k = {K}, M {M}, ef_construction {EF_CONSTRUCTION}. Load average (1/5/15 min) "
        f"{'/'.join(f'{v:.2f}' for v in load0)} before, {'/'.join(f'{v:.2f}' for v in os.getloadavg())} after.", "",
        *parts])
    name = "churn" if full else common.report_name("churn", args) + f"_r{args.rounds}"
    print(text)
    print(f"report: {common.write_report(name, text)}")
    if full or sharded_only:
        key = "churn.py" if full else "churn.py --workloads sharded"
        print(f"and its section of {common.record_section(key, text)}")


if __name__ == "__main__":
    main()
