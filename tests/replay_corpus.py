"""Child process of test_fuzz_corpus: loads each file into an instance of each metric and prints one
JSON object of what happened: refused (with the error, and whether the instance was left as it was)
or loaded (its statistics, whether saving it gives the file's bytes back, what a few searches return,
and whether the file saved after one more insertion reloads the same). Progress goes to stderr, so
the last line there names the file a crash happened on.

argv[1]: JSON [paths, metrics, searches as (k, filter_mask, ef, max_radius, min_norm), scratch dir].
"""

import json
import sys

import numpy as np

import vek_core

paths, metrics, searches, out_dir = json.loads(sys.argv[1])
ALLOWED = (RuntimeError, ValueError, MemoryError)
results = {}
for path in paths:
    entry = results[path] = {}
    for metric in metrics:
        print("loading", path, metric, file=sys.stderr, flush=True)
        index = vek_core.HyperbolicIndex(3, 1.0, 4, metric)
        index.add_item_flat(np.array([0.1, 0.2, 0.3], dtype=np.float32), 1)
        index.add_item_flat(np.array([-0.3, 0.0, 0.2], dtype=np.float32), 2)
        before = index.get_stats()
        try:
            index.load_index(path)
        except ALLOWED as e:
            entry[metric] = {"error": type(e).__name__, "message": str(e),
                             "unchanged": index.get_stats() == before}
            continue
        stats = index.get_stats()
        saved = f"{out_dir}/{metric}.idx"
        index.save_index(saved)
        with open(saved, "rb") as f, open(path, "rb") as g:
            same_bytes = f.read() == g.read()
        found = []
        d = stats["dimension"]
        if d <= 1 << 16:
            rng = np.random.default_rng(7)
            for q in (np.zeros(d, np.float32), rng.uniform(-0.6, 0.6, d).astype(np.float32)):
                for k, mask, ef, radius, min_norm in searches:
                    bound = min_norm * min_norm if min_norm >= 0 else -1.0
                    found.append(["custom", k, mask, index.custom_hnsw_search(q, k, mask, ef, radius, min_norm)])
                    found.append(["filtered", k, mask, index.filtered_search(q, k, mask, ef, radius, min_norm)])
                    found.append(["flat", k, mask, index.hardware_flat_search(q, k, mask, radius, bound)])
            index.add_item_and_link(np.full(d, 0.05, np.float32), 1, 16)
            index.save_index(saved)
            again = vek_core.HyperbolicIndex(1, 1.0, 16, metric)
            again.load_index(saved)
            reloaded = again.get_stats() == index.get_stats()
        else:
            reloaded = True
        entry[metric] = {"stats": stats, "same_bytes": same_bytes, "found": found, "reloaded": reloaded}
print(json.dumps(results))
