"""The width quellix's filtered_search picks for ef=None: recall@10 against exact_search with the same
mask, at 1 % and 10 % selectivity, for the picked width and a sweep of fixed widths, under all three
metrics, the walk forced (strategy="graph") so that the planner's scan does not stand in for it. The
first rule, k * (8 + 0.7 / share), was chosen from this measurement (20,000 rows, 32-d); on 100,000 rows
of 64 values it fell to 0.89 at 1 %, and the rule became k * (8 + 1.5 / share)."""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import argparse

import numpy as np

K = 10
SHARES = {1: 0.01, 2: 0.1}  # mask bit -> share of the rows carrying it
WIDTHS = (50, 100, 200, 400, 800)


def recall(found, truth):
    hits = sum(len(set(f[f >= 0]) & set(t[t >= 0])) for f, t in zip(found, truth))
    return hits / max(1, int((truth >= 0).sum()))


def main():
    import quellix
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--n", type=int, default=20_000)
    p.add_argument("--queries", type=int, default=300)
    p.add_argument("--dim", type=int, default=32)
    p.add_argument("--quick", action="store_true", help="3,000 rows, 100 queries")
    args = p.parse_args()
    if args.quick:
        args.n, args.queries = 3000, 100
    rng = np.random.default_rng(common.MASK_SEED)
    masks = np.zeros(args.n, dtype=np.uint64)
    for bit, share in SHARES.items():
        masks |= np.where(rng.random(args.n) < share, bit, 0).astype(np.uint64)
    rows = []
    for metric in ("euclidean", "cosine", "poincare"):
        base, queries = common.make_dataset(args.n, args.queries, dim=args.dim, poincare=metric == "poincare")
        index = quellix.Index(args.dim, metric, seed=0)
        index.add(base, masks)
        for bit, share in SHARES.items():
            truth, _ = index.exact_search(queries, K, filter_mask=bit)
            picked, _ = index.filtered_search(queries, K, filter_mask=bit, strategy="graph")
            sweep = [recall(index.filtered_search(queries, K, ef=ef, filter_mask=bit, strategy="graph")[0], truth)
                     for ef in WIDTHS]
            width = index.explain(K, filter_mask=bit, strategy="graph")["ef"]
            rows.append([metric, f"{share:.0%}", width, f"{recall(picked, truth):.3f}",
                         *(f"{r:.3f}" for r in sweep)])
    text = "\n".join([f"# quellix filtered_search width (ef=None)\n", common.environment_line(),
                      f"\n{args.n:,} rows, {args.dim}-d clusters, {args.queries} queries, k = {K}.\n",
                      common.markdown_table(["metric", "selectivity", "picked ef", "recall@10",
                                             *(f"ef {w}" for w in WIDTHS)], rows)])
    print(f"report: {common.write_report('filtered_width' + ('_quick' if args.quick else ''), text)}")


if __name__ == "__main__":
    main()
