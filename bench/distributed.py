"""Sharded index on Dask: two local workers against one, and the cost of Dask against an in-process Index.

On one generated cluster data set (200k x 128, squared Euclidean by default), batches of 1,000 queries,
k 10, one search width for every side, every worker one thread and every search one native thread:

- in-process: one quellix.Index of all the vectors, searched in this process;
- 1 shard, 1 worker: a ShardedIndex holding that same index (the same file) in a Dask actor; its
  time over the in-process time is what going through Dask costs (target: at most 1.3x);
- 2 shards, 1 worker and 2 shards, 2 workers: one two-shard index (the same files) on a cluster of
  one worker and on one of two; the second's queries/s over the first's is how one more worker pays
  (target: at least 1.6x);
- 2 shards in-process, one thread and two threads: the same two shard files searched in this process,
  one after the other or both at once on two threads, merged as the coordinator merges. Their ratio is
  what the machine itself gives for splitting this work over two cores, without Dask: the ceiling of
  the workers' ratio (two searches at once share the last-level cache and memory bandwidth).

The 1-shard index is built on the one worker and saved, and the in-process Index loaded from its file;
the 2-shard index is built on the two workers, saved, and loaded into the one-worker cluster. Sides take
turns pass by pass and the fastest of --repeat passes counts. On a virtual machine a process's search
speed depends on where its memory lands, by up to a third (the same shard file searched in fresh
processes here: 104 to 152 ms per 1,000 queries), so the race runs --rounds times, each time on fresh
clusters and a freshly loaded in-process Index, and each side's fastest pass of all rounds counts. All
cluster traffic stays on 127.0.0.1.
Report: bench/out/distributed.md (sizes in the name for other than the defaults); a run at the default
sizes also puts it into its section of bench/RESULTS.md.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

# This script's name would shadow Dask's `distributed` package: its folder goes last on the path (the
# worker processes, which run this file again, start from this path too).
_here = Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _here] + [str(_here)]

import numpy as np  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import quellix  # noqa: E402
from quellix.distributed import ShardedIndex  # noqa: E402
from quellix.distributed._coordinator import _merge  # noqa: E402

K = 10
BATCH = 1000


def cluster(n_workers):
    return LocalCluster(host="127.0.0.1", n_workers=n_workers, threads_per_worker=1, processes=True,
                        dashboard_address="127.0.0.1:0")


def build(client, n_shards, base, args, directory):
    sx = ShardedIndex(client, n_shards, base.shape[1], args.metric, M=args.M, ef_construction=args.ef_construction,
                      seed=1)
    start = time.perf_counter()
    for begin in range(0, len(base), args.add_batch):
        sx.add(base[begin:begin + args.add_batch])
    seconds = time.perf_counter() - start
    sx.save(directory)
    return sx, seconds


def in_process_shards(files, pool, options):
    """A search over the shard files loaded here, one shard after the other (pool None) or all at once on
    the pool's threads, merged as ShardedIndex merges."""
    shards = [quellix.Index.load(f) for f in files]

    run = map if pool is None else pool.map

    def search(q):
        answers = run(lambda shard: shard.search(q, K, **options), shards)
        return _merge([(i, ids, d) for i, (ids, d) in enumerate(answers)], len(shards), K)[0]
    return search


def recall(found, truth):
    return float(np.mean([len(np.intersect1d(f[f >= 0], t)) / K for f, t in zip(found, truth)]))


def main():
    p = common.parser(__doc__.splitlines()[0], n=200_000, queries=2_000, quick_n=20_000, quick_queries=1_000)
    p.add_argument("--dim", type=int, default=common.DIM)
    p.add_argument("--metric", default="euclidean", choices=["euclidean", "cosine", "poincare"])
    p.add_argument("--ef", type=int, default=64, help="search width of every side")
    p.add_argument("--M", type=int, default=16)
    p.add_argument("--ef-construction", type=int, default=200)
    p.add_argument("--add-batch", type=int, default=20_000, help="rows per add call while building")
    p.add_argument("--repeat", type=int, default=5, help="passes per side in each round")
    p.add_argument("--rounds", type=int, default=3, help="races, each on fresh clusters and processes")
    args = common.resolve(p.parse_args())
    base, queries = common.make_dataset(args.n, args.queries, args.dim, poincare=args.metric == "poincare")
    batches = [queries[i:i + BATCH] for i in range(0, len(queries), BATCH)]
    print(f"{args.n} x {args.dim} {args.metric}, {len(queries)} queries in batches of {BATCH}, ef {args.ef}")

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        with cluster(1) as one, Client(one) as c1:
            sx, build_one = build(c1, 1, base, args, tmp / "one")
            sx.close()
        print(f"1 shard built on 1 worker in {build_one:.1f} s")
        with cluster(2) as two, Client(two) as c2:
            sx, build_two = build(c2, 2, base, args, tmp / "two")
            sx.close()
        print(f"2 shards built on 2 workers in {build_two:.1f} s")
        one_file = next((tmp / "one").glob("shard-*.quellix"))
        two_files = sorted((tmp / "two").glob("shard-*.quellix"))
        truth = quellix.Index.load(one_file).exact_search(queries, K, num_threads=0)[0]
        results = {}
        for r in range(max(1, args.rounds)):
            with cluster(1) as one, Client(one) as c1, cluster(2) as two, Client(two) as c2, \
                    ThreadPoolExecutor(2) as pool:
                local = quellix.Index.load(one_file)
                one_shard = ShardedIndex.load(c1, tmp / "one")
                on_one_worker = ShardedIndex.load(c1, tmp / "two")
                two_shards = ShardedIndex.load(c2, tmp / "two")
                options = dict(ef=args.ef, num_threads=1)
                sides = {
                    "in-process Index": (lambda q: local.search(q, K, **options)[0], batches),
                    "1 shard, 1 worker": (lambda q: one_shard.search(q, K, **options)[0], batches),
                    "2 shards, 1 worker": (lambda q: on_one_worker.search(q, K, **options)[0], batches),
                    "2 shards, 2 workers": (lambda q: two_shards.search(q, K, **options)[0], batches),
                    "2 shards in-process, 1 thread": (in_process_shards(two_files, None, options), batches),
                    "2 shards in-process, 2 threads": (in_process_shards(two_files, pool, options), batches),
                }
                for name, (found, secs) in common.race(sides, args.repeat, warmup=1).items():
                    if secs < results.get(name, (None, float("inf")))[1]:
                        results[name] = (found, secs)
                print(f"best after round {r + 1}: " + ", ".join(f"{n} {len(queries) / s:,.0f} q/s" for n, (_, s) in results.items()))
                for sx in (one_shard, two_shards, on_one_worker):
                    sx.close()
                del local

    qps = {name: len(queries) / secs for name, (_, secs) in results.items()}
    rows = []
    for name, (found, _) in results.items():
        rows.append([name, f"{qps[name]:,.0f}", f"{recall(np.concatenate(found), truth):.4f}"])
    overhead = qps["in-process Index"] / qps["1 shard, 1 worker"]
    scaling = qps["2 shards, 2 workers"] / qps["2 shards, 1 worker"]
    against_one = qps["2 shards, 2 workers"] / qps["1 shard, 1 worker"]
    ceiling = qps["2 shards in-process, 2 threads"] / qps["2 shards in-process, 1 thread"]
    text = "\n".join([
        "# Sharded index on Dask", "",
        f"{args.n:,} x {args.dim} generated clusters, {args.metric}; {len(queries):,} queries in batches of {BATCH}, "
        f"k {K}, ef {args.ef}, M {args.M}, ef_construction {args.ef_construction}; every worker one thread, every "
        f"search one native thread; fastest of {args.repeat} passes in each of {args.rounds} rounds on fresh "
        "clusters.", "",
        common.markdown_table(["side", "queries/s", "recall@10"], rows), "",
        f"- Dask's cost: the in-process Index answers {overhead:.2f}x the queries/s of the same index as one shard "
        "(target: at most 1.3x).",
        f"- Two workers answer {scaling:.2f}x the queries/s of one worker holding the same two shards (target: at "
        f"least 1.6x), and {against_one:.2f}x that of one worker holding one shard of everything. Without "
        f"Dask, the same two shards searched at once on two threads answer {ceiling:.2f}x the queries/s of "
        f"one after the other: the workers reach {scaling / ceiling:.0%} of what this machine gives.",
        f"- Building: one shard on one worker {build_one:.1f} s, two shards on two workers {build_two:.1f} s "
        f"(adds of {args.add_batch:,} rows).", "",
        common.environment_line(),
    ])
    name = common.report_name("distributed", args)
    path = common.write_report(name, text)
    print(text)
    print(f"report: {path}")
    if name == "distributed":  # the default sizes are the recorded run
        print(f"and its section of {common.record_section('distributed.py', text)}")


if __name__ == "__main__":
    main()
