"""Exhaustive scan: vek_core.hardware_flat_search against a vectorised NumPy brute force.

One Python call per query on both sides, one thread each. Reports queries/s, the effective scan
bandwidth (bytes of base vectors per second) and how often the two top-k sets agree.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import numpy as np
import peer_systems
import vek_core

K = 10
SAMPLE = 200  # queries whose answers are compared between the two sides


class NumpyScan(peer_systems.NumpyScan):
    """The peer benchmark's NumPy brute force, plus the direct expression for comparison."""

    def __init__(self, base, metric):
        super().__init__(base.shape[1], metric, len(base))
        self.base = base
        self._prepare()

    def direct_distances(self, q):
        """The textbook expression: differences, squares and a row sum over the whole matrix."""
        d = ((self.base - q) ** 2).sum(axis=1)
        if self.metric == "l2":
            return d
        qn = min(np.float32(q @ q), np.float32(0.999999))
        den = np.maximum(self.one_minus_g * (np.float32(1.0) - qn), np.float32(1e-6))
        return np.arccosh(np.maximum(np.float32(1.0) + 2 * d / den, np.float32(1.000001)))

    def search(self, q, k=K, direct=False):
        d = self.direct_distances(q) if direct else self.distances(q)
        top = np.argpartition(d, k - 1)[:k]
        return top[np.argsort(d[top])]


def agreement(base, queries, vek_ids, np_ids, metric):
    """Compares top-k sets; a differing set counts as a near-tie when the k-th exact distances of the
    two answers match to 1e-5 relative (float32 rounding at the boundary)."""
    same = near_ties = 0
    overlap = 0
    worst = 0.0
    for q, a, b in zip(queries, vek_ids, np_ids):
        sa, sb = set(a), set(b.tolist())
        overlap += len(sa & sb)
        if sa == sb:
            same += 1
            continue
        d = common.distances64(base, q, metric)[0]
        kth_a, kth_b = d[list(sa)].max(), d[list(sb)].max()
        rel = abs(kth_a - kth_b) / max(abs(kth_b), 1e-30)
        worst = max(worst, rel)
        near_ties += rel <= 1e-5
    n = len(queries)
    return {"same": same, "n": n, "near_ties": near_ties, "overlap": overlap / (K * n), "worst_rel": worst}


def bench_metric(base, queries, metric, repeat):
    index = vek_core.HyperbolicIndex(base.shape[1], metric="l2" if metric == "l2" else "poincare")
    for v in base:
        index.add_item_flat(v)
    scan = NumpyScan(base, metric)
    rows = list(queries)

    timed = common.race({"vek_core": (lambda q: index.hardware_flat_search(q, K, 0), rows),
                         "numpy": (scan.search, rows),
                         "numpy direct": (lambda q: scan.search(q, direct=True), rows)}, repeat)
    (vek_ids, vek_s), (np_ids, np_s) = timed["vek_core"], timed["numpy"]

    sample = slice(0, min(SAMPLE, len(rows)))
    agree = agreement(base, queries[sample], vek_ids[sample], np_ids[sample], metric)
    scan_bytes = base.shape[0] * base.shape[1] * 4
    out = {}
    for name, secs in (("vek_core", vek_s), ("numpy", np_s), ("numpy direct", timed["numpy direct"][1])):
        per_query = secs / len(rows)
        out[name] = (1.0 / per_query, scan_bytes / per_query / 1e9)
    return out, agree


def main():
    p = common.parser(__doc__.splitlines()[0], n=100_000, queries=500, quick_n=20_000, quick_queries=50)
    p.add_argument("--repeat", type=int, default=3, help="timed passes per side; the fastest counts")
    p.add_argument("--metrics", nargs="+", default=["l2", "poincare"], choices=["l2", "poincare"])
    args = common.resolve(p.parse_args())

    lines = [f"# Exhaustive scan, N={args.n}, d={common.DIM}, k={K}, {args.queries} queries, "
             f"best of {args.repeat}", "", common.environment_line(), ""]
    rows, notes = [], []
    for metric in args.metrics:
        base, queries = common.make_dataset(args.n, args.queries, poincare=metric == "poincare")
        res, agree = bench_metric(base, queries, metric, args.repeat)
        (vq, vbw), (nq, nbw), (dq, _) = res["vek_core"], res["numpy"], res["numpy direct"]
        rows.append([metric, f"{vq:,.0f}", f"{vbw:.2f}", f"{nq:,.0f}", f"{nbw:.2f}", f"{vq / nq:.2f}x",
                     f"{dq:,.0f}", f"{vq / dq:.2f}x"])
        notes.append(f"- {metric}: identical top-{K} sets {agree['same']}/{agree['n']}, "
                     f"mean overlap {agree['overlap']:.4f}; differing sets that are near-ties "
                     f"{agree['near_ties']}/{agree['n'] - agree['same']}, "
                     f"largest relative gap of the k-th distance {agree['worst_rel']:.2e}")
    lines.append(common.markdown_table(
        ["metric", "vek_core q/s", "vek_core GB/s", "numpy q/s", "numpy GB/s", "vek/numpy",
         "numpy direct q/s", "vek/direct"], rows))
    lines += ["", "numpy: norms precomputed, one matrix-vector product per query (BLAS); numpy direct: "
              "((X - q) ** 2).sum(1) over the whole matrix, as most NumPy code writes it."]
    lines += ["", f"Agreement of vek_core and NumPy on the first {min(SAMPLE, args.queries)} queries:"] + notes
    text = "\n".join(lines)
    print(text)
    print(f"\nwritten to {common.write_report(common.report_name("flat_scan", args), text)}")


if __name__ == "__main__":
    main()
