"""Exact search: one query at memory speed, batches at compute speed, against FAISS and NumPy.

On one random data set (100k x 128 by default) the script measures, in one run and with the sides
taking turns: the single-thread read bandwidth of the machine (bandwidth_probe.cpp, built here with
g++), vek_core's hardware_flat_search one query per call, FAISS IndexFlat one query per call,
quellix exact_search over a batch at 1 and 2 threads, FAISS IndexFlat over the same batch at 1 and 2
threads, and NumPy's BLAS form (|x|^2 - 2 X q, argpartition) over the batch; for squared Euclidean,
cosine and Poincare (Poincare has no FAISS or NumPy side; its rates are set against the same
code's squared-Euclidean rates on the same vectors).
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import ctypes
import os
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np
import vek_core

K = 10
HERE = Path(__file__).resolve().parent


def probe_library(tmp):
    lib = Path(tmp) / "probe.so"
    subprocess.run(["g++", "-O2", "-mavx2", "-shared", "-fPIC", str(HERE / "bandwidth_probe.cpp"), "-o", str(lib)],
                   check=True)
    probe = ctypes.CDLL(str(lib))
    probe.read_gb_per_s.restype = ctypes.c_double
    probe.read_gb_per_s.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    return probe


def read_bandwidth(probe, base):
    flat = np.ascontiguousarray(base, dtype=np.float32).ravel()
    return probe.read_gb_per_s(flat.ctypes.data, flat.size, 5)


def random_data(n, m, dim, poincare):
    rng = np.random.default_rng(common.DATA_SEED)
    base = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((m, dim), dtype=np.float32)
    if poincare:  # uniform directions, norms spread over [0, 0.9]
        for x in (base, queries):
            x /= np.linalg.norm(x, axis=1, keepdims=True)
            x *= rng.uniform(0.0, 0.9, size=(len(x), 1)).astype(np.float32)
    return base, queries


def timed(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def faiss_index(faiss, base, metric):
    index = faiss.IndexFlatIP(base.shape[1]) if metric == "cosine" else faiss.IndexFlatL2(base.shape[1])
    index.add(normalised(base) if metric == "cosine" else base)
    return index


def normalised(x):
    return np.ascontiguousarray(x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-30), dtype=np.float32)


def numpy_batch(base, queries, metric):
    if metric == "cosine":
        b, q = normalised(base), normalised(queries)
        d = -(q @ b.T)
    else:
        d = (base * base).sum(1)[None, :] - 2.0 * (queries @ base.T)
    top = np.argpartition(d, K - 1, axis=1)[:, :K]
    return np.take_along_axis(top, np.argsort(np.take_along_axis(d, top, 1), 1), 1)


def main():
    p = common.parser(__doc__.splitlines()[0], n=100_000, queries=1_000, quick_n=10_000, quick_queries=100)
    p.add_argument("--single", type=int, default=100, help="queries timed one per call")
    p.add_argument("--repeat", type=int, default=3)
    args = common.resolve(p.parse_args())
    import faiss
    import quellix

    with tempfile.TemporaryDirectory() as tmp:
        probe = probe_library(tmp)
        rows, rates = [], {}
        for metric in ("euclidean", "cosine", "poincare"):
            base, queries = random_data(args.n, args.queries, common.DIM, metric == "poincare")
            single = list(queries[: args.single])
            vek = vek_core.HyperbolicIndex(common.DIM, metric=metric)
            for v in base:
                vek.add_item_flat(v)
            qx = quellix.Index(common.DIM, metric=metric)
            qx.add(base, link=False)
            fx = None if metric == "poincare" else faiss_index(faiss, base, metric)
            fq = normalised(queries) if metric == "cosine" else queries

            # The probe and the one-query scan take turns, so that both see the same memory system: on a
            # shared host the read bandwidth drifts by a fifth within minutes.
            bandwidth, one = 0.0, float("inf")
            for _ in range(args.repeat):
                bandwidth = max(bandwidth, read_bandwidth(probe, base))
                one = min(one, timed(lambda: [vek.hardware_flat_search(q, K, 0) for q in single], 1) / len(single))
            r = {"probe GB/s": bandwidth, "vek_core 1q q/s": 1 / one,
                 "vek_core 1q GB/s": base.nbytes / one / 1e9}
            for threads in (1, 2):
                r[f"quellix batch {threads}t"] = len(queries) / timed(
                    lambda: qx.exact_search(queries, K, num_threads=threads), args.repeat)
            if fx is not None:
                faiss.omp_set_num_threads(1)
                f_one = timed(lambda: [fx.search(q[None, :], K) for q in fq[: args.single]], args.repeat)
                r["faiss 1q q/s"] = len(single) / f_one
                for threads in (1, 2):
                    faiss.omp_set_num_threads(threads)
                    r[f"faiss batch {threads}t"] = len(queries) / timed(lambda: fx.search(fq, K), args.repeat)
                r["numpy batch 1t"] = len(queries) / timed(lambda: numpy_batch(base, queries, metric), args.repeat)
            rates[metric] = r
            rows.append([metric] + [f"{r[c]:,.1f}" if c in r else "—" for c in COLUMNS])

    lines = [f"# Exact search, N={args.n}, d={common.DIM}, k={K}, batch of {args.queries}, "
             f"{args.single} single queries, best of {args.repeat}", "", common.environment_line(),
             f"load average before: {os.getloadavg()[0]:.2f}", "",
             common.markdown_table(["metric"] + COLUMNS, rows), "", "Ratios:"]
    for metric, r in rates.items():
        lines.append(f"- {metric}: one query at {r['vek_core 1q GB/s'] / r['probe GB/s']:.0%} of the read bandwidth"
                     + (f", {r['vek_core 1q q/s'] / r['faiss 1q q/s']:.2f}x FAISS one query; batch "
                        f"{r['quellix batch 1t'] / r['faiss batch 1t']:.2f}x FAISS at 1 thread, "
                        f"{r['quellix batch 2t'] / r['faiss batch 2t']:.2f}x at 2" if "faiss 1q q/s" in r else ""))
    pe, eu = rates["poincare"], rates["euclidean"]
    lines.append(f"- poincare against euclidean on the same code: one query "
                 f"{pe['vek_core 1q q/s'] / eu['vek_core 1q q/s']:.2f}x, batch {pe['quellix batch 1t'] / eu['quellix batch 1t']:.2f}x "
                 "(the euclidean row uses other vectors of the same size)")
    text = "\n".join(lines)
    print(text)
    print(f"\nwritten to {common.write_report(common.report_name('exact', args), text)}")


COLUMNS = ["probe GB/s", "vek_core 1q q/s", "vek_core 1q GB/s", "faiss 1q q/s", "quellix batch 1t",
           "quellix batch 2t", "faiss batch 1t", "faiss batch 2t", "numpy batch 1t"]

if __name__ == "__main__":
    main()
