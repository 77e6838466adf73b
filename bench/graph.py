"""HNSW graph search: vek_core against hnswlib on the same data, one thread and one query per call.

For each metric: build time, then recall@10 and queries/s for a range of ef_search. Poincare has no
hnswlib counterpart and runs on vek_core alone, with the data scaled into the unit ball.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import time

import hnswlib
import numpy as np
import vek_core
from tqdm import tqdm

K = 10
M = 16
EF_CONSTRUCTION = 200
EF_SEARCH = [10, 20, 40, 80, 160, 320]
HNSW_SEED = 100
# metric -> (vek_core metric name, hnswlib space or None)
METRICS = {"l2": ("l2", "l2"), "cosine": ("cosine", "cosine"), "poincare": ("poincare", None)}


def build_vek(base, metric, progress):
    index = vek_core.HyperbolicIndex(base.shape[1], M=M, metric=metric)
    start = time.perf_counter()
    for v in tqdm(base, desc="vek_core build", disable=not progress, mininterval=2.0):
        index.add_item_and_link(v, 0, EF_CONSTRUCTION)
    return index, time.perf_counter() - start


def build_hnsw(base, space, progress, chunk=1000):
    index = hnswlib.Index(space=space, dim=base.shape[1])
    index.init_index(max_elements=len(base), ef_construction=EF_CONSTRUCTION, M=M, random_seed=HNSW_SEED)
    index.set_num_threads(1)
    start = time.perf_counter()
    # Chunks only feed the progress bar; hnswlib inserts them one by one either way.
    for s in tqdm(range(0, len(base), chunk), desc="hnswlib build", disable=not progress, mininterval=2.0):
        index.add_items(base[s:s + chunk], np.arange(s, min(s + chunk, len(base))), num_threads=1)
    return index, time.perf_counter() - start


def sweep(sides, truth, repeat):
    """(recall@K, queries/s) per side and ef; sides maps a name to (searcher(ef), query rows)."""
    out = {name: [] for name in sides}
    for ef in EF_SEARCH:
        timed = common.race({name: (at(ef), rows) for name, (at, rows) in sides.items()}, repeat)
        for name, (found, secs) in timed.items():
            out[name].append((common.recall_at_k(found, truth, K), len(found) / secs))
    return out


def hnsw_searcher(index):
    def at(ef):
        index.set_ef(ef)
        return lambda q: index.knn_query(q, k=K, num_threads=1)[0][0]
    return at


def run_metric(name, args):
    vek_metric, space = METRICS[name]
    base, queries = common.make_dataset(args.n, args.queries, poincare=name == "poincare")
    truth = common.exact_topk(base, queries, K, name)
    single_rows = list(queries)  # (d,) rows for vek_core
    batch_rows = [queries[i:i + 1] for i in range(len(queries))]  # (1, d) rows for hnswlib

    vek, vek_build = build_vek(base, vek_metric, args.progress)
    stats = vek.get_stats()
    sides = {"vek_core": (lambda ef: lambda q: vek.custom_hnsw_search(q, K, 0, ef), single_rows)}
    hnsw_build = None
    if space is not None:
        hnsw, hnsw_build = build_hnsw(base, space, args.progress)
        sides["hnswlib"] = (hnsw_searcher(hnsw), batch_rows)
    res = sweep(sides, truth, args.repeat)
    vek_res, hnsw_res = res["vek_core"], res.get("hnswlib")

    headers = ["ef_search", "vek_core recall@10", "vek_core q/s"]
    if hnsw_res:
        headers += ["hnswlib recall@10", "hnswlib q/s"]
    rows = []
    for i, ef in enumerate(EF_SEARCH):
        row = [ef, f"{vek_res[i][0]:.4f}", f"{vek_res[i][1]:,.0f}"]
        if hnsw_res:
            row += [f"{hnsw_res[i][0]:.4f}", f"{hnsw_res[i][1]:,.0f}"]
        rows.append(row)

    build = f"build (s): vek_core {vek_build:.1f}"
    if hnsw_build is not None:
        build += f", hnswlib {hnsw_build:.1f} (ratio {vek_build / hnsw_build:.2f}x)"
    lines = [f"# Graph search, metric {name}, N={args.n}, d={common.DIM}, M={M}, "
             f"ef_construction={EF_CONSTRUCTION}, {args.queries} queries, best of {args.repeat}", "",
             common.environment_line(), "", build,
             f"vek_core graph: avg layer-0 degree {stats['avg_degree_layer0']:.2f}, "
             f"entry layer {stats['ep_layer']}", "", common.markdown_table(headers, rows)]
    text = "\n".join(lines)
    print(text, flush=True)
    path = common.write_report(common.report_name(f"graph_{name}", args), text)
    print(f"\nwritten to {path}\n", flush=True)


def main():
    p = common.parser(__doc__.splitlines()[0], n=100_000, queries=1000, quick_n=5000, quick_queries=100)
    p.add_argument("--metrics", nargs="+", default=list(METRICS), choices=list(METRICS))
    p.add_argument("--repeat", type=int, default=3, help="timed passes per ef; the fastest counts")
    p.add_argument("--no-progress", dest="progress", action="store_false", help="hide build progress bars")
    args = common.resolve(p.parse_args())
    for name in args.metrics:
        run_metric(name, args)


if __name__ == "__main__":
    main()
