"""Child process of test_index_file: loads every file of a job into one index, one after the other,
and prints a JSON line per file: refused (with the error, and whether the index was left as it was)
or loaded (with the problems found saving, searching and inserting on it, and whether loading the
base file afterwards restores the base answers). A line before each file names it, so a crash tells
which file caused it.

The job (a JSON file, argv[1]): {"metric", "base": path, "scratch": path, "queries": [[...]],
"cases": [[name, path], ...]}.
"""

import json
import sys

import numpy as np

import vek_core


def answers(index, queries):
    """Everything the index answers to the queries, as one comparable string."""
    stats = index.get_stats()
    n = stats["num_nodes"]
    out = [stats, [index.get_stored_norm(i) for i in range(n)]]
    for q in queries:
        out.append([index.compute_distance(q, i) for i in range(n)])
        out += [index.custom_hnsw_search(q, 5), index.custom_hnsw_search(q, 3, 1, 2, 1.5, 0.1),
                index.filtered_search(q, 5), index.filtered_search(q, 0), index.filtered_search(q, 4, 1, 3, 2.0, 0.05),
                index.hardware_flat_search(q, 5, 0), index.hardware_flat_search(q, 4, 1, 1.5, 0.1)]
    return repr(out)


def exercise(index, rng, path, scratch):
    """Every method on a loaded index; returns the problems met (an exception is one)."""
    problems = []

    def attempt(label, fn):
        try:
            fn()
        except Exception as e:
            problems.append(f"{label}: {type(e).__name__}: {e}")

    stats = index.get_stats()
    d, n = stats["dimension"], stats["num_nodes"]

    def roundtrip():
        index.save_index(scratch)
        with open(scratch, "rb") as saved, open(path, "rb") as loaded:
            if saved.read() != loaded.read():
                problems.append("save after load is not byte-identical")

    attempt("roundtrip", roundtrip)
    if d > 4096:
        short = np.zeros(1, np.float32)
        for label, fn in (("search", lambda: index.custom_hnsw_search(short, 3)),
                          ("filtered", lambda: index.filtered_search(short, 3)),
                          ("flat", lambda: index.hardware_flat_search(short, 3, 0)),
                          ("add", lambda: index.add_item_and_link(short))):
            try:
                fn()
                problems.append(label + ": short vector accepted")
            except RuntimeError as e:
                if str(e) != "Vector dimension mismatch":
                    problems.append(f"{label}: {e}")
        return problems
    qs = rng.uniform(-0.6, 0.6, (3, d)).astype(np.float32)

    def searches():
        m = index.get_stats()["num_nodes"]
        for q in qs:
            index.custom_hnsw_search(q, 5)
            index.custom_hnsw_search(q, 3, 1, 1, 1.0, 0.1)
            index.filtered_search(q, 5)
            index.filtered_search(q, 0)
            index.filtered_search(q, 4, 1, 3, 2.0, 0.0)
            index.filtered_search(q, 2, 0, 0)
            index.hardware_flat_search(q, 5, 0)
            index.hardware_flat_search(q, 3, 1, 1.0, 0.5)
            for i in range(m):
                index.compute_distance(q, i)
                index.get_stored_norm(i)

    attempt("searches", searches)
    attempt("update_masks", lambda: index.update_masks(np.arange(n, dtype=np.uint64)))
    attempt("add_item_flat", lambda: index.add_item_flat(qs[0], 1))
    attempt("add_item_and_link", lambda: index.add_item_and_link(qs[1], 3))
    attempt("add_item_and_link", lambda: index.add_item_and_link(qs[2], 1, 1))
    attempt("searches after insertion", searches)
    attempt("stats", index.get_stats)
    return problems


def main():
    with open(sys.argv[1]) as f:
        job = json.load(f)
    rng = np.random.default_rng(0)
    queries = np.array(job["queries"], dtype=np.float32)
    index = vek_core.HyperbolicIndex(1, metric=job["metric"])
    index.load_index(job["base"])
    baseline = answers(index, queries)
    for name, path in job["cases"]:
        print(json.dumps({"begin": name}), flush=True)
        record = {"case": name}
        try:
            index.load_index(path)
        except Exception as e:
            record.update(outcome="refused", type=type(e).__name__, message=str(e),
                          unchanged=answers(index, queries) == baseline)
        else:
            record.update(outcome="loaded", problems=exercise(index, rng, path, job["scratch"]))
            index.load_index(job["base"])
            record["restored"] = answers(index, queries) == baseline
        print(json.dumps(record), flush=True)
    print(json.dumps({"done": True}), flush=True)


if __name__ == "__main__":
    main()
