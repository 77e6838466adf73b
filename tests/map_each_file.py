"""Child process of test_quellix_mapped: maps each file given (argv[2:]) read-only and, when it opens,
runs every read on it: the three searches with and without filters, stats, check, get_vectors and a
copy. Prints one line per file ("refused: <error>" or "answered"); a crash names the file it died on
in the line before it. argv[1] is the dimension of the queries."""

import sys

import numpy as np

import quellix


def exercise(index, dim):
    q = np.random.default_rng(0).normal(size=(7, dim)).astype(np.float32) * 0.1
    index.search(q, 5, ef=20)
    index.search(q[0], 3)
    index.filtered_search(q, 4, filter_mask=1)
    index.filtered_search(q, 4, filter_mask=1, strategy="graph")
    index.exact_search(q, 5)
    index.stats()
    index.check(sample=20)
    ids = index.ids[:5]
    index.get_vectors(ids)
    index.distances(q[0], ids)
    quellix.Index.from_bytes(index.to_bytes())


def main():
    dim = int(sys.argv[1])
    for path in sys.argv[2:]:
        print(f"file {path}", flush=True)
        try:
            index = quellix.Index.load(path, mmap=True)
        except RuntimeError as exc:
            print(f"refused: {exc}", flush=True)
            continue
        try:
            exercise(index, dim)
        except (RuntimeError, ValueError, KeyError) as exc:
            print(f"refused later: {type(exc).__name__}: {exc}", flush=True)
            continue
        print("answered", flush=True)


if __name__ == "__main__":
    main()
