"""Filtered search at three mask selectivities: filters during the walk, after it, or an exact scan.

One linked index (cosine, M 16, ef_construction 200) over the cluster mixture; every node carries
three independent mask bits set with probability 50 %, 10 % and 1 % (common.make_masks). For each bit, three ways to
answer "the 10 nearest nodes carrying this bit" are timed one query per call and scored against the
exhaustive filtered answer: filtered_search (filters during the walk), custom_hnsw_search (filters
its ef candidates afterwards) and hardware_flat_search (exact). Cosine is used because the filtered
search ends its answer at distances above 2.0, which squared Euclidean distances of this data exceed.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import numpy as np

K = 10


def main():
    args = common.resolve(common.parser(__doc__.splitlines()[0], 100_000, 300, 5_000, 50).parse_args())
    base, queries = common.make_dataset(args.n, args.queries)
    masks = common.make_masks(args.n)
    index, build_s = common.build_linked(base, "cosine", masks, progress=not args.quick)

    rows = []
    for bit, share in common.MASK_SHARES.items():
        mask = 1 << bit
        truth = [index.hardware_flat_search(q, K, mask) for q in queries]
        sides = {
            "filtered_search ef 2000": (lambda q: index.filtered_search(q, K, mask), queries),
            "filtered_search ef 200": (lambda q: index.filtered_search(q, K, mask, 200), queries),
            "custom_hnsw_search ef 200": (lambda q: index.custom_hnsw_search(q, K, mask, 200), queries),
            "hardware_flat_search": (lambda q: index.hardware_flat_search(q, K, mask), queries),
        }
        for name, (found, secs) in common.race(sides, repeat=2 if args.quick else 3).items():
            recall = np.mean([len(set(f) & set(t)) / max(1, len(t)) for f, t in zip(found, truth)])
            returned = np.mean([len(f) for f in found])
            rows.append([f"{share:.0%}", name, f"{recall:.4f}", f"{returned:.2f}", f"{len(queries) / secs:,.0f}"])

    text = "\n".join([
        f"# Filtered search ({args.n} x {base.shape[1]}, cosine, {len(queries)} queries)",
        "", common.environment_line(), f"CPU: {common.cpu_model()}", "",
        f"Build (add_item_and_link, ef_construction 200): {build_s:.1f} s", "",
        common.markdown_table(["selectivity", "method", "recall@10", "ids returned", "queries/s"], rows),
    ])
    print(text)
    print("written to", common.write_report(common.report_name("filtered", args), text))


if __name__ == "__main__":
    main()
