"""Filtered search at several mask selectivities, and the cost of the index file.

One linked index (cosine, M 16, ef_construction 200) over the cluster mixture; every node carries
three independent mask bits set with probability 50 %, 10 % and 1 %. For each bit, three ways to
answer "the 10 nearest nodes carrying this bit" are timed one query per call and scored against the
exhaustive filtered answer: filtered_search (filters during the walk), custom_hnsw_search (filters
its ef candidates afterwards) and hardware_flat_search (exact). Cosine is used because the filtered
search ends its answer at distances above 2.0, which squared Euclidean distances of this data exceed.
Then the index is saved, loaded into a fresh instance and the file measured.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import os
import tempfile
import time

import numpy as np
import vek_core
from tqdm import tqdm

K = 10
SELECTIVITY = {0: 0.5, 1: 0.1, 2: 0.01}  # mask bit -> share of nodes carrying it
MASK_SEED = 7


def main():
    args = common.resolve(common.parser(__doc__.splitlines()[0], 100_000, 300, 5_000, 50).parse_args())
    base, queries = common.make_dataset(args.n, args.queries)
    rng = np.random.default_rng(MASK_SEED)
    masks = np.zeros(args.n, dtype=np.uint64)
    for bit, share in SELECTIVITY.items():
        masks |= (rng.random(args.n) < share).astype(np.uint64) << np.uint64(bit)

    index = vek_core.HyperbolicIndex(base.shape[1], M=16, metric="cosine")
    start = time.perf_counter()
    for v, m in tqdm(zip(base, masks), total=len(base), desc="build", mininterval=2.0, disable=args.quick):
        index.add_item_and_link(v, int(m), 200)
    build_s = time.perf_counter() - start

    rows = []
    for bit, share in SELECTIVITY.items():
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

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index.vek")
        start = time.perf_counter()
        index.save_index(path)
        save_s = time.perf_counter() - start
        size = os.path.getsize(path)
        loaded = vek_core.HyperbolicIndex(base.shape[1], metric="cosine")
        start = time.perf_counter()
        loaded.load_index(path)
        load_s = time.perf_counter() - start
        same = all(loaded.filtered_search(q, K, 2) == index.filtered_search(q, K, 2) for q in queries[:50])

    text = "\n".join([
        f"# Filtered search and the index file ({args.n} x {base.shape[1]}, cosine, {len(queries)} queries)",
        "", common.environment_line(), f"CPU: {common.cpu_model()}", "",
        f"Build (add_item_and_link, ef_construction 200): {build_s:.1f} s", "",
        common.markdown_table(["selectivity", "method", "recall@10", "ids returned", "queries/s"], rows), "",
        f"Index file: {size / 1e6:.1f} MB, saved in {save_s:.2f} s (written, flushed to disk, renamed), "
        f"loaded and checked in {load_s:.2f} s; the loaded copy answers identically: {same}",
    ])
    print(text)
    print("written to", common.write_report(common.report_name("filtered_io", args), text))


if __name__ == "__main__":
    main()
