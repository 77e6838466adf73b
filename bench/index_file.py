"""The index file: its size, the time to save it and the time to load it into a fresh instance.

The index is the filtered search benchmark's (cosine, M 16, ef_construction 200 over the cluster
mixture, three mask bits per node). A save writes a temporary file, flushes it to disk and renames it
over the target; a load reads the whole file, checks it and replaces the instance. The fastest of
three of each counts, and the loaded copy must answer exactly as the saved index does.
"""
import common  # noqa: I001  (pins BLAS threads before NumPy loads)

import os
import tempfile
import time

import vek_core

K = 10
REPEAT = 3
CHECKED = 50  # queries whose answers are compared between the saved and the loaded index


def fastest(fn, repeat=REPEAT):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    args = common.resolve(common.parser(__doc__.splitlines()[0], 100_000, 300, 5_000, 50).parse_args())
    base, queries = common.make_dataset(args.n, args.queries)
    masks = common.make_masks(args.n)
    index, build_s = common.build_linked(base, "cosine", masks, progress=not args.quick)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index.vek")
        save_s = fastest(lambda: index.save_index(path))
        size = os.path.getsize(path)
        loaded = vek_core.HyperbolicIndex(base.shape[1], metric="cosine")
        load_s = fastest(lambda: loaded.load_index(path))
    same = all(loaded.filtered_search(q, K, 2) == index.filtered_search(q, K, 2)
               and loaded.custom_hnsw_search(q, K) == index.custom_hnsw_search(q, K) for q in queries[:CHECKED])

    text = "\n".join([
        f"# The index file ({args.n} x {base.shape[1]}, cosine, M 16)",
        "", common.environment_line(), f"CPU: {common.cpu_model()}", "",
        f"Build (add_item_and_link, ef_construction 200): {build_s:.1f} s", "",
        f"Index file: {size / 1e6:.1f} MB ({size / args.n:.0f} bytes per node), saved in {save_s:.3f} s "
        f"(written, flushed to disk, renamed), loaded and checked in {load_s:.3f} s (fastest of {REPEAT}); "
        f"the loaded copy answers identically on {min(CHECKED, len(queries))} queries: {same}",
    ])
    print(text)
    print("written to", common.write_report(common.report_name("index_file", args), text))


if __name__ == "__main__":
    main()
